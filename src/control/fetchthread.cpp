#include "control/fetchthread.h"

#include "common/directories.h"
#include "common/internetconnection.h"
#include "common/tolvaripc.h"
#include "control/cachewriteaccess.h"
#include "control/httpgetobject.h"
#include "control/httpgetter.h"
#include "platform/fileio.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

namespace {

// The layout cached for a key, as far as it reads; nullptr when none is cached or its
// entry names no file of the cache folder.
std::unique_ptr<LF> LoadCachedLayout(const CC& cache, const std::string& uri) {
    const auto path = cache.NewestFile(uri);
    if (!path) {
        return nullptr;
    }
    auto layout = std::make_unique<LF>();
    try {
        layout->Load(*path);
    } catch (const std::exception&) {
        // A value error keeps what came before it; that much is fetched.
    }
    return layout;
}

bool HasFeed(const CF& cf, const std::string& uri) {
    return std::any_of(cf.channels.begin(), cf.channels.end(),
                       [&](const CFChannel& c) { return c.uri == uri; });
}

} // namespace

std::string SubscriptionsRequestText(const std::string& path) {
    std::optional<std::vector<std::string>> ids;
    try {
        ids = ReadSubscriptionIds(path);
    } catch (const std::exception&) {
    }
    std::string text;
    if (!ids) {
        return text;
    }
    for (const std::string& id : *ids) {
        if (!text.empty()) {
            text += ",+";
        }
        text += id;
    }
    return text;
}

void CleanControlFiles(CC& cache) {
    const std::string key = GetControlFileKey();
    try {
        cache.Update([&] {
            const auto serials = cache.ListSerials(key);
            if (!serials || serials->size() <= 2) {
                return;
            }
            for (std::size_t i = 0; i + 2 < serials->size(); ++i) {
                cache.Remove(key, (*serials)[i]);
            }
        });
    } catch (const std::exception&) {
        // An index that cannot be read or written keeps its versions for the next cycle.
    }
}

TFetchThread::TFetchThread(LogSink log, ChangedSink contentChanged)
    : log_(std::move(log)), contentChanged_(std::move(contentChanged)) {
    if (!log_) {
        log_ = [](const std::string& line) {
            // The debug window gains nothing from more, and the bus carries at most 1 MB.
            IpcSendLogText(line.substr(0, kMaxLogLineBytes));
        };
    }
    if (!contentChanged_) {
        contentChanged_ = [] { IpcSendContentChanged(); };
    }
    thread_ = std::thread(&TFetchThread::Execute, this);
}

TFetchThread::~TFetchThread() {
    Terminate();
    thread_.join();
}

bool TFetchThread::Resume() {
    std::lock_guard lock(mutex_);
    if (Busy.load() || stop_.load()) {
        return false;
    }
    // Set here, not only by the thread: the main thread polls Busy for the cycle's end.
    Busy = true;
    wakePending_ = true;
    wake_.notify_one();
    return true;
}

void TFetchThread::Terminate() {
    std::lock_guard lock(mutex_);
    stop_ = true;
    wake_.notify_one();
}

void TFetchThread::Execute() {
    HttpGetter::SetThreadStopFlag(&stop_);
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return wakePending_ || stop_.load(); });
            if (stop_.load()) {
                break;
            }
            wakePending_ = false;
        }
        Busy = true;
        Changed = false;
        GotNews = false;
        GotMandatoryNews = false;
        RunCycle();
        if (Changed.load()) {
            try {
                contentChanged_();
            } catch (const std::exception&) {
            }
        }
        // Cleared after the message, so that a cycle seen ended has done all it does.
        Busy = false;
    }
    Busy = false;
    HttpGetter::SetThreadStopFlag(nullptr);
    ended_ = true;
}

void TFetchThread::Log(const std::string& line) {
    // A stopping cycle says nothing more: its lines go to a main thread that may be
    // shutting down, and a send waits for the receiver.
    if (stop_.load()) {
        return;
    }
    try {
        log_(line);
    } catch (const std::exception&) {
        // A log line that cannot be delivered must not end the cycle.
    }
}

bool TFetchThread::Online() const {
    return !stop_.load() && IsInternetConnected();
}

void TFetchThread::RunCycle() {
    CacheWriteAccess::NewMessageCount = 0;
    const long long timeoutMs = std::clamp<long long>(TimeoutSeconds.load(), 0, INT_MAX / 1000);
    HttpGetter::SetTimeoutMs(static_cast<int>(timeoutMs * 1000));
    Log("Synchronization started width key=[" + HttpGetter::RequestKey() + "]");
    Log("Timeout value = " + std::to_string(TimeoutSeconds.load()) + "s");
    Log("Fetching Control file...");

    // The cycle is a writer of the cache folder from here on; when no other writer is at
    // work, what killed writers left there goes first.
    const CacheWriterClaim claim(GetCacheDir());
    CC cache(GetCacheDir());
    try {
        cache.Load();
    } catch (const std::exception&) {
        // An unreadable index is never overwritten: every save reads it first.
    }
    CacheWriteAccess::CurrentCache = &cache;
    try {
        RunSteps(cache);
    } catch (const std::exception& e) {
        Log(std::string("Synchronization aborted: ") + e.what());
    }
    CacheWriteAccess::CurrentCache = nullptr;
}

void TFetchThread::RunSteps(CC& cache) {
    const std::string controlKey = GetControlFileKey();
    const std::string subscriptionsPath = GetSubscriptionsPath();

    CF previous;
    if (!LoadPreviousControlFile(cache, controlKey, previous) || stop_.load()) {
        return;
    }
    CF current;
    if (!RequestControlFile(controlKey, subscriptionsPath) ||
        !LoadCurrentControlFile(cache, controlKey, current) || stop_.load()) {
        return;
    }
    UpdateSubscriptions(cache, current, subscriptionsPath);
    if (stop_.load() || !FetchLayoutsBasics(cache, current)) {
        return;
    }
    NoteChannelChanges(previous, current);
    if (stop_.load() || !FetchChannels(current)) {
        return;
    }
    Log("Fetching Layout remainders...");
    for (const CFLayout& layout : current.layouts) {
        if (const auto model = LoadCachedLayout(cache, layout.uri)) {
            FetchLayoutRemainders(*model);
        }
        if (stop_.load()) {
            return;
        }
    }
    Log("Synchronization finished.");
    Log("You have " + std::to_string(CacheWriteAccess::NewMessageCount.load()) + " new messages.");
}

bool TFetchThread::ConnectionLost() {
    if (IsInternetConnected()) {
        return false;
    }
    Log("Connection terminated.");
    return true;
}

bool TFetchThread::LoadPreviousControlFile(const CC& cache, const std::string& controlKey,
                                           CF& previous) {
    const CCObject* entry = cache.FindLatest(controlKey);
    if (entry == nullptr) {
        Log("Error fetching the control file (CO missing).");
        return false;
    }
    const std::string previousFile = entry->file;
    // A file that is not there or no document at all is a failed load; a document that
    // ends early still gives its hosts.
    const auto previousPath = cache.PathOf(*entry);
    if (!previousPath || !previous.Load(*previousPath).parsed) {
        Log("Error fetching the control file (Load failed).");
        return false;
    }
    CacheWriteAccess::CacheHostList = previous.hosts;
    if (previous.hosts.empty()) {
        Log("Error fetching the control file.");
        Log("No Brimwald hosts found in control file [" + previousFile + "].");
        return false;
    }
    return true;
}

bool TFetchThread::RequestControlFile(const std::string& controlKey,
                                      const std::string& subscriptionsPath) {
    if (CacheWriteAccess::HttpGetControlFile(controlKey,
                                             SubscriptionsRequestText(subscriptionsPath))) {
        return true;
    }
    Log("Error fetching the control file.");
    Log("HTTP Get failed: " + GetHttpGetError());
    if (ConnectionLost()) {
        return false;
    }
    Log("Trying to use previous control file.");
    return true;
}

bool TFetchThread::LoadCurrentControlFile(const CC& cache, const std::string& controlKey,
                                          CF& current) {
    const CCObject* entry = cache.FindLatest(controlKey);
    if (entry == nullptr) {
        Log("Error fetching the control file (CO missing).");
        return false;
    }
    const auto currentPath = cache.PathOf(*entry);
    // Only a control file read to its end may rewrite the subscriptions: a half one would
    // drop every channel after its fault from "subscriptions.dir".
    if (currentPath && current.Load(*currentPath).complete) {
        return true;
    }
    Log("Fatal error parsing control file.");
    std::string text;
    if (currentPath) {
        try {
            text = platform::ReadFile(*currentPath).value_or(std::string());
        } catch (const std::exception&) {
        }
    }
    Log(text);
    Log("Synchronization aborted.");
    return false;
}

void TFetchThread::UpdateSubscriptions(CC& cache, CF& current,
                                       const std::string& subscriptionsPath) {
    try {
        current.LoadSubscriptions(subscriptionsPath);
        current.SaveSubscriptions(subscriptionsPath);
    } catch (const std::exception& e) {
        // A file that cannot be read is not rewritten from defaults.
        Log(std::string("Error updating subscriptions: ") + e.what());
    }
    ::CleanControlFiles(cache);
    Log("Control file and subscriptions loaded [" + current.time + "]");
    Log("Brimwald working host set to " + HttpGetter::WorkingHost());
}

bool TFetchThread::FetchLayoutsBasics(const CC& cache, const CF& current) {
    using namespace CacheWriteAccess;
    Log("Fetching Layout basics...");
    for (const CFLayout& layout : current.layouts) {
        std::string line =
            "LAYOUT: " + layout.key + " : " + layout.serial + " : " + layout.uri + "  - ";
        if (IsCached(layout.uri, layout.serial)) {
            line += "Cached.";
        } else if (HttpGetLayout(layout.uri, layout.serial)) {
            line += " - Fetched.";
        } else {
            line += " - HTTP Get failed: " + GetHttpGetError();
            if (ConnectionLost()) {
                return false;
            }
        }
        Log(line);
        if (const auto model = LoadCachedLayout(cache, layout.uri)) {
            FetchLayoutBasics(*model);
        }
        if (stop_.load()) {
            return false;
        }
    }
    return true;
}

void TFetchThread::NoteChannelChanges(const CF& previous, const CF& current) {
    const auto added = [](const CF& from, const CF& to) {
        return std::any_of(to.channels.begin(), to.channels.end(),
                           [&](const CFChannel& c) { return !HasFeed(from, c.uri); });
    };
    if (added(previous, current) || added(current, previous)) {
        Changed = true;
    }
}

bool TFetchThread::FetchChannels(const CF& current) {
    // Pictures that another channel's current items use are kept when a feed drops its
    // old versions.
    std::vector<std::string> feeds;
    feeds.reserve(current.channels.size());
    for (const CFChannel& channel : current.channels) {
        feeds.push_back(channel.uri);
    }
    const bool thumbs = FetchThumbs.load();
    Log("Fetching subscribed channels:");
    for (const CFChannel& channel : current.channels) {
        if (channel.subscribed) {
            Log("CHANNEL(" + channel.id + "): " + channel.title + " [" + channel.uri + "]");
            if (thumbs && (!FetchChannelIcon(channel) || stop_.load())) {
                return false;
            }
            if (!FetchChannelFeed(channel, thumbs, feeds)) {
                return false;
            }
        }
        if (stop_.load()) {
            return false;
        }
    }
    return true;
}

bool TFetchThread::FetchChannelIcon(const CFChannel& channel) {
    using namespace CacheWriteAccess;
    std::string line = "   Icon : Serial=" + channel.iconserial + ", URI=" + channel.iconuri;
    Log(line);
    if (channel.iconuri.empty()) {
        line += "  --> Error: Icon is defined but URI is empty.";
    } else if (IsCached(channel.iconuri, channel.iconserial)) {
        line += "  --> Cached.";
    } else if (HttpGetIcon(channel.iconuri, channel.iconserial)) {
        Changed = true;
        line += "  --> Fetched.";
    } else {
        line += "  --> HTTP Get failed: " + GetHttpGetError();
        if (ConnectionLost()) {
            return false;
        }
    }
    Log(line);
    return true;
}

bool TFetchThread::FetchChannelFeed(const CFChannel& channel, bool thumbs,
                                    const std::vector<std::string>& feeds) {
    using namespace CacheWriteAccess;
    std::string line =
        "   Feed(" + channel.id + "): Serial=" + channel.serial + ", URI=" + channel.uri;
    Log(line);
    bool downloaded = false;
    const bool cached = IsCached(channel.uri, channel.serial);
    if (!cached && !HttpGetChannel(channel.uri, channel.id, channel.serial, thumbs, feeds, &stop_,
                                   &downloaded)) {
        line += "  --> HTTP Get failed: " + GetHttpGetError();
        if (ConnectionLost()) {
            return false;
        }
    } else if (!downloaded) {
        // Cached, or a newer version than the control file names is cached: nothing came,
        // so there is no news and nothing for the saver to reload.
        line += "  --> Cached.";
    } else {
        Changed = true;
        line += "  --> Fetched.";
        GotNews = true;
        if (channel.mandatory) {
            GotMandatoryNews = true;
        }
    }
    Log(line);
    return true;
}

bool TFetchThread::FetchLayoutImage(const std::string& label, const std::string& uri,
                                    const std::string& serial) {
    if (CacheWriteAccess::IsCached(uri, serial)) {
        return false;
    }
    const bool fetched = CacheWriteAccess::HttpGetIcon(uri, serial);
    std::string line = "   " + label + " : " + serial + " : " + uri + "  - ";
    if (fetched) {
        Log(line);
        return true;
    }
    line += "HTTP Get failed: " + GetHttpGetError();
    if (IsInternetConnected()) {
        Log(line);
    }
    return false;
}

void TFetchThread::FetchLayoutBasics(const LF& layout) {
    FetchLayoutImages(layout, true);
}

void TFetchThread::FetchLayoutRemainders(const LF& layout) {
    FetchLayoutImages(layout, false);
}

void TFetchThread::FetchLayoutImages(const LF& layout, bool basics) {
    // Each picture goes only while the connection is up (and no stop is asked for); the
    // first failed test ends the walk quietly.
    auto image = [this](const char* label, const std::string& src, const std::string& serial,
                        bool test) {
        if (test && !Online()) {
            return false;
        }
        if (!src.empty()) {
            FetchLayoutImage(label, src, serial);
        }
        return true;
    };
    if (basics) {
        const LFxScreenImg* const outside[] = {layout.configbanner.get(), layout.splashscreen.get(),
                                               layout.preview.get()};
        const char* const labels[] = {"ConfigBanner", "SplashScreen", "Preview"};
        for (int i = 0; i < 3; ++i) {
            if (outside[i] != nullptr &&
                !image(labels[i], outside[i]->src, outside[i]->serial, true)) {
                return;
            }
        }
    }
    for (const LFScreen& screen : layout.screens) {
        if (basics && (screen.width != 1024 || screen.height != 768)) {
            continue;
        }
        if (!Online()) {
            return;
        }
        if (screen.background &&
            !image("Background", screen.background->src, screen.background->serial, true)) {
            return;
        }
        if (screen.clock &&
            !image("Clockface", screen.clock->facesrc, screen.clock->faceserial, true)) {
            return;
        }
        for (const LFScreenButton& button : screen.buttons) {
            for (const LFScreenButtonFace& face : button.faces) {
                if (!image("Btn(default)", face.defaultsrc, face.defaultserial, true) ||
                    !image("Btn(hover)", face.hoversrc, face.hoverserial, true) ||
                    !image("Btn(pressed)", face.pressedsrc, face.pressedserial, true) ||
                    // The basics step goes straight on to a face's disabled picture.
                    !image("Btn(disabled)", face.disabledsrc, face.disabledserial, !basics)) {
                    return;
                }
            }
        }
    }
}
