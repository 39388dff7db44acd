#include "common/directories.h"
#include "common/tolvaripc.h"
#include "common/tolvarsettings.h"
#include "platform/bus.h"
#include "platform/namedlock.h"
#include "platform/screensaver.h"
#include "platform/ui/messagebox.h"
#include "saver/ssutils.h"
#include "saver/tolvar.h"
#include "support/guiapp.h"
#include "support/process.h"
#include "support/temphome.h"

#include <QColor>
#include <QCoreApplication>
#include <QImage>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using tolvar::test::Child;
using tolvar::test::HelperPath;
using tolvar::test::TempHome;
using tolvar::test::WriteFile;

constexpr const char* kLayoutKey = "#brimwald:///images/prov/base/layout.xml";
constexpr const char* kPreviewKey = "#brimwald:///images/prov/preview.bmp";

// ---- the decision ----

std::string Describe(const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& arg : args) {
        text += "[" + arg + "]";
    }
    return text.empty() ? "(none)" : text;
}

TEST(RunSaver, PreviewWithoutPriorityAndGuardEveryOtherModeAfterTheClaim) {
    struct Case {
        std::vector<std::string> args;
        bool claimSucceeds;
        const char* calls; // what the run did, in order
        int exitCode;
    };
    const Case cases[] = {
        {{}, true, "priority claim run 2", 0},
        {{"/c"}, true, "priority claim run 2", 0},
        {{"/x"}, true, "priority claim run 2", 0},
        {{"/s"}, true, "priority claim run 3", 0},
        {{"-S"}, true, "priority claim run 3", 0},
        {{"/a"}, true, "priority claim run 0", 0},
        {{"/p:1234"}, true, "preview 1234", 0},
        {{"/l", "77"}, true, "preview 77", 0},
        {{"/p"}, true, "preview 0", 0},
        // Another instance holds the guard: 4 at once, no form; the preview still runs, and
        // never with a raised priority.
        {{}, false, "priority claim", 4},
        {{"/s"}, false, "priority claim", 4},
        {{"/c"}, false, "priority claim", 4},
        {{"/a"}, false, "priority claim", 4},
        {{"/p", "5"}, false, "preview 5", 0},
        // What the mode's run returns is the exit code.
        {{"/s"}, true, "priority claim run 3", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Describe(c.args));
        std::string calls;
        auto note = [&calls](const std::string& call) {
            calls += calls.empty() ? call : " " + call;
        };
        SaverStart start;
        start.preview = [&](SaverWindowId parent) { note("preview " + std::to_string(parent)); };
        start.raisePriority = [&] { note("priority"); };
        start.claim = [&] {
            note("claim");
            return c.claimSucceeds;
        };
        start.run = [&](SaverMode mode) {
            note("run " + std::to_string(static_cast<int>(mode)));
            return c.exitCode;
        };
        SSUtils::SetProgramArguments(c.args);
        EXPECT_EQ(RunSaver(start), c.exitCode);
        EXPECT_EQ(calls, c.calls);
    }
    SSUtils::SetProgramArguments({});
}

TEST(SetSaverPriority, RaisesTheCallingThreadOnlyAndNeverLowersIt) {
    errno = 0;
    const int mainBefore = getpriority(PRIO_PROCESS, 0);
    ASSERT_EQ(errno, 0);
    int before = 0;
    int after = 0;
    // On a thread of its own, started below the normal level (raising a nice value needs
    // no right): the change may only bring it up to one step above normal.
    std::thread worker([&] {
        setpriority(PRIO_PROCESS, 0, std::min(mainBefore + 3, 19));
        before = getpriority(PRIO_PROCESS, 0);
        SetSaverPriority();
        after = getpriority(PRIO_PROCESS, 0);
    });
    worker.join();
    EXPECT_GE(before, mainBefore);
    EXPECT_LE(after, before);
    EXPECT_GE(after, -1);
    // Other threads (and so other processes) keep theirs.
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), mainBefore);
}

TEST(RunSaverApplication, EveryModeEndsAndNamesTheApplication) {
    tolvar::test::EnsureGuiApp();
    TempHome home; // no cache: the dialog mode shows the installation error instead
    std::vector<platform::MessageBoxRequest> boxes;
    platform::SetMessageBoxHandler(
        [&](const platform::MessageBoxRequest& box) { boxes.push_back(box); });
    int argc = 1;
    char name[] = "tolvar-test";
    char* argv[] = {name, nullptr};
    for (const SaverMode mode : {SaverModeNone, SaverModeConfig, SaverModeRun}) {
        SCOPED_TRACE(static_cast<int>(mode));
        EXPECT_EQ(RunSaverApplication(mode, argc, argv), kSaverExitOk);
    }
    platform::SetMessageBoxHandler({});
    EXPECT_EQ(QCoreApplication::applicationName().toStdString(), "Tolvar");
    // The dialog and the run mode reached their forms, which found no cache.
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(boxes[0].text.starts_with("Fehler:")) << boxes[0].text;
    EXPECT_NE(boxes[1].text.find("(-1)."), std::string::npos) << boxes[1].text;
}

// ---- the preview picture from the cache ----

// A cache with a control file, layouts and pictures, written into the test's home.
class PreviewCache {
public:
    PreviewCache() : folder_(GetCacheDir()) {}

    // Adds an object to the index (and its file unless content is nullopt).
    void Add(const std::string& file, const std::string& serial, const std::string& key,
             const std::optional<std::string>& content) {
        index_ += file + "|" + serial + "|" + key + "\r\n";
        if (content) {
            WriteFile(folder_ + "/" + file, *content);
        }
    }
    void AddControlFile(const std::string& layouts) {
        Add("control.xml", "1", GetControlFileKey(),
            "<?xml version=\"1.0\"?>\n<content>" + layouts + "</content>\n");
    }
    static std::string LayoutEntry(const std::string& key, const std::string& uri) {
        return "<layout key=\"" + key + "\" uri=\"" + uri + "\" serial=\"1\"/>";
    }
    void AddLayout(const std::string& file, const std::string& serial, const std::string& key,
                   const std::string& previewKey) {
        const std::string preview =
            previewKey.empty() ? "" : "<preview src=\"" + previewKey + "\" serial=\"9\"/>";
        Add(file, serial, key,
            "<?xml version=\"1.0\"?>\n<layout compat=\"2\">" + preview + "</layout>\n");
    }
    void AddPicture(const std::string& file, const std::string& key, QColor colour,
                    const std::string& serial = "1") {
        Add(file, serial, key, std::nullopt);
        QImage picture(8, 6, QImage::Format_RGB32);
        picture.fill(colour);
        ASSERT_TRUE(picture.save(QString::fromStdString(folder_ + "/" + file), "BMP"));
    }
    void WriteIndex() { WriteFile(folder_ + "/cache.dir", index_); }
    const std::string& Folder() const { return folder_; }

    // The whole chain for provider "prov", its preview red.
    void WriteComplete() {
        AddControlFile(LayoutEntry("prov", kLayoutKey));
        AddLayout("layout.xml", "1", kLayoutKey, kPreviewKey);
        AddPicture("preview.bmp", kPreviewKey, Qt::red);
        WriteIndex();
        SetProvider("prov");
    }

    static void SetProvider(const std::string& provider) {
        TolvarSettings("Brimwald", "Tolvar").SetCurrentProvider(provider);
    }

private:
    std::string folder_;
    std::string index_;
};

std::optional<QRgb> PictureColour(const QImage& picture) {
    if (picture.isNull()) {
        return std::nullopt;
    }
    return picture.pixel(picture.width() / 2, picture.height() / 2) & 0xFFFFFFu;
}

TEST(ReadPreviewPicture, FollowsTheChainFromIndexToPicture) {
    tolvar::test::EnsureGuiApp();
    const QRgb red = 0xFF0000u;
    const QRgb green = 0x00FF00u;
    struct Case {
        const char* name;
        std::function<void(PreviewCache&)> make;
        std::optional<QRgb> colour;
    };
    const Case cases[] = {
        {"complete", [](PreviewCache& c) { c.WriteComplete(); }, red},
        {"no cache index", [](PreviewCache&) { PreviewCache::SetProvider("prov"); }, std::nullopt},
        {"no control file",
         [](PreviewCache& c) {
             c.AddLayout("layout.xml", "1", kLayoutKey, kPreviewKey);
             c.AddPicture("preview.bmp", kPreviewKey, Qt::red);
             c.WriteIndex();
             c.SetProvider("prov");
         },
         std::nullopt},
        {"provider not listed",
         [](PreviewCache& c) {
             c.WriteComplete();
             c.SetProvider("other");
         },
         std::nullopt},
        {"last layout entry of the provider wins",
         [](PreviewCache& c) {
             c.AddControlFile(PreviewCache::LayoutEntry("prov", "#first") +
                              PreviewCache::LayoutEntry("else", "#else") +
                              PreviewCache::LayoutEntry("prov", "#second"));
             c.AddLayout("first.xml", "1", "#first", "#red");
             c.AddLayout("second.xml", "1", "#second", "#green");
             c.AddPicture("red.bmp", "#red", Qt::red);
             c.AddPicture("green.bmp", "#green", Qt::green);
             c.WriteIndex();
             c.SetProvider("prov");
         },
         green},
        {"newest layout version",
         [](PreviewCache& c) {
             c.AddControlFile(PreviewCache::LayoutEntry("prov", kLayoutKey));
             c.AddLayout("new.xml", "2", kLayoutKey, "#green");
             c.AddLayout("old.xml", "1", kLayoutKey, "#red");
             c.AddPicture("red.bmp", "#red", Qt::red);
             c.AddPicture("green.bmp", "#green", Qt::green);
             c.WriteIndex();
             c.SetProvider("prov");
         },
         green},
        {"newest picture version, whatever the preview's serial",
         [](PreviewCache& c) {
             c.AddControlFile(PreviewCache::LayoutEntry("prov", kLayoutKey));
             c.AddLayout("layout.xml", "1", kLayoutKey, kPreviewKey);
             c.AddPicture("old.bmp", kPreviewKey, Qt::red, "9");
             c.AddPicture("new.bmp", kPreviewKey, Qt::green, "b");
             c.WriteIndex();
             c.SetProvider("prov");
         },
         green},
        {"layout not cached",
         [](PreviewCache& c) {
             c.AddControlFile(PreviewCache::LayoutEntry("prov", kLayoutKey));
             c.AddPicture("preview.bmp", kPreviewKey, Qt::red);
             c.WriteIndex();
             c.SetProvider("prov");
         },
         std::nullopt},
        {"layout without preview",
         [](PreviewCache& c) {
             c.AddControlFile(PreviewCache::LayoutEntry("prov", kLayoutKey));
             c.AddLayout("layout.xml", "1", kLayoutKey, "");
             c.AddPicture("preview.bmp", kPreviewKey, Qt::red);
             c.WriteIndex();
             c.SetProvider("prov");
         },
         std::nullopt},
        {"picture not cached",
         [](PreviewCache& c) {
             c.AddControlFile(PreviewCache::LayoutEntry("prov", kLayoutKey));
             c.AddLayout("layout.xml", "1", kLayoutKey, kPreviewKey);
             c.WriteIndex();
             c.SetProvider("prov");
         },
         std::nullopt},
        {"picture's file missing",
         [](PreviewCache& c) {
             c.AddControlFile(PreviewCache::LayoutEntry("prov", kLayoutKey));
             c.AddLayout("layout.xml", "1", kLayoutKey, kPreviewKey);
             c.Add("gone.bmp", "1", kPreviewKey, std::nullopt);
             c.WriteIndex();
             c.SetProvider("prov");
         },
         std::nullopt},
        {"picture is no bitmap",
         [](PreviewCache& c) {
             c.AddControlFile(PreviewCache::LayoutEntry("prov", kLayoutKey));
             c.AddLayout("layout.xml", "1", kLayoutKey, kPreviewKey);
             c.Add("broken.bmp", "1", kPreviewKey, std::string("BMnot a bitmap"));
             c.WriteIndex();
             c.SetProvider("prov");
         },
         std::nullopt},
        {"picture of a kind no reader takes",
         [](PreviewCache& c) {
             c.AddControlFile(PreviewCache::LayoutEntry("prov", kLayoutKey));
             c.AddLayout("layout.xml", "1", kLayoutKey, kPreviewKey);
             c.Add("preview.xyz", "1", kPreviewKey, std::string("anything"));
             c.WriteIndex();
             c.SetProvider("prov");
         },
         std::nullopt},
        {"entry naming a file outside the cache folder",
         [](PreviewCache& c) {
             c.AddControlFile(PreviewCache::LayoutEntry("prov", kLayoutKey));
             c.AddLayout("layout.xml", "1", kLayoutKey, kPreviewKey);
             c.AddPicture("inside.bmp", "#unused", Qt::red);
             c.Add("../outside.bmp", "1", kPreviewKey, std::nullopt);
             ::rename((c.Folder() + "/inside.bmp").c_str(),
                      (c.Folder() + "/../outside.bmp").c_str());
             c.WriteIndex();
             c.SetProvider("prov");
         },
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempHome home;
        PreviewCache cache;
        c.make(cache);
        EXPECT_EQ(PictureColour(ReadPreviewPicture()), c.colour);
    }
}

TEST(ShowPreview, EndsAtOnceWithoutANativeWindow) {
    // Offscreen has no native windows, and 0 names none: neither may wait for a window.
    tolvar::test::EnsureGuiApp();
    TempHome home;
    PreviewCache cache;
    cache.WriteComplete();
    for (const SaverWindowId window : {0u, 1234u}) {
        SCOPED_TRACE(window);
        ShowPreview(window);
    }
}

// ---- the program as a real process ----

std::string ProgramPath() {
    return HelperPath("tolvar_helper");
}

// Sets environment variables (nullptr: unset) for the scope; children inherit them.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const std::map<std::string, const char*>& values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name.c_str());
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            if (value) {
                ::setenv(name.c_str(), value, 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(SaverProcess, SecondInstanceEndsWithFourAndNotifiesTheFirst) {
    TempHome home;
    Child first(HelperPath("singletonapp_helper"), {platform::kSaverGuardName, "hold"}, true);
    ASSERT_EQ(first.ReadLine(), "claim 1");
    ASSERT_TRUE(first.ReadLine()); // its window

    struct Case {
        std::vector<std::string> args;
        int exitCode;
        bool notifies;
    };
    const Case cases[] = {
        {{"/s"}, 4, true}, {{"-S"}, 4, true},          {{"/c"}, 4, true},
        {{}, 4, true},     {{"/a"}, 4, true},          {{"/x"}, 4, true},
        {{"s"}, 4, true},  {{"/p", "1234"}, 0, false}, {{"/p:1234"}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Describe(c.args));
        Child second(ProgramPath(), c.args);
        EXPECT_EQ(second.ExitCode(), c.exitCode);
        if (c.notifies) {
            EXPECT_EQ(first.ReadLine(), "front");
        }
    }
    EXPECT_TRUE(first.Running());
}

TEST(SaverProcess, EachModeAloneEndsCleanlyAndFreesTheGuard) {
    TempHome home;
    for (const std::vector<std::string>& args :
         // The dialog and run modes are left out: without a cache their error box waits
         // for a user.
         std::vector<std::vector<std::string>>{{"/a"}, {"/p", "99"}}) {
        SCOPED_TRACE(Describe(args));
        Child run(ProgramPath(), args);
        EXPECT_EQ(run.ExitCode(), 0);
        EXPECT_FALSE(platform::NamedLock::IsHeldByAnotherProcess(platform::kSaverGuardName));
    }
}

TEST(SaverProcess, RunModeShowsItsScreenUntilTheQuitMessage) {
    TempHome home;
    PreviewCache cache;
    cache.AddControlFile(PreviewCache::LayoutEntry("prov", kLayoutKey));
    cache.AddLayout("layout.xml", "1", kLayoutKey, "");
    cache.WriteIndex();
    TolvarSettings("Brimwald", "Tolvar").SetProviderValue("prov", "prov");

    platform::Bus bus;
    const std::uint32_t protocol = platform::RegisterMessage(IPC_MESSAGE_NAME);
    bool hello = false;
    const platform::WindowHandle window =
        bus.CreateWindow([&](platform::WindowHandle, const platform::Message& m) {
            hello = hello || (m.number == protocol && m.second == IPC_HELLO);
            return std::int64_t{0};
        });
    Child run(ProgramPath(), {"/s"});
    ASSERT_TRUE(bus.RunUntil([&] { return hello; }, 30s));
    // The saver hears the protocol once its loop runs; until it ends, each broadcast waits
    // for its answer or its bound.
    std::optional<int> exitCode;
    for (int attempt = 0; attempt < 30 && !exitCode; ++attempt) {
        bus.Broadcast(platform::Message(protocol, 0, IPC_QUIT));
        exitCode = run.ExitCode(500ms);
    }
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(platform::NamedLock::IsHeldByAnotherProcess(platform::kSaverGuardName));
    bus.DestroyWindow(window);
}

TEST(SaverProcess, WithoutAnyDisplayFormsEndWithOneAndTheRestWithZero) {
    TempHome home;
    struct Case {
        std::vector<std::string> args;
        int exitCode;
    };
    const Case cases[] = {
        {{"/s"}, 1}, {{"/c"}, 1}, {{"/a"}, 0}, {{"/p", "1234"}, 0}, {{"/p"}, 0},
    };
    ScopedEnvironment noDisplay(
        {{"QT_QPA_PLATFORM", nullptr}, {"DISPLAY", nullptr}, {"WAYLAND_DISPLAY", nullptr}});
    for (const Case& c : cases) {
        SCOPED_TRACE(Describe(c.args));
        Child run(ProgramPath(), c.args);
        EXPECT_EQ(run.ExitCode(), c.exitCode);
    }
}

// ---- the preview into a real X window ----

// An X server of its own (Xvfb) on a free display number, stopped at the end.
class XServer {
public:
    XServer() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        // The server writes its display number into the write end, which it inherits.
        const int writeFd = ::fcntl(fds[1], F_DUPFD, 10);
        ::close(fds[1]);
        const std::string fdText = std::to_string(writeFd);
        std::vector<std::string> args = {"Xvfb",    "-displayfd", fdText,       "-nolisten", "tcp",
                                         "-screen", "0",          "320x240x24", "-noreset"};
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (::posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(writeFd);
        std::string number;
        if (pid_ > 0) {
            pollfd p{fds[0], POLLIN, 0};
            char c = 0;
            while (::poll(&p, 1, 20000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') {
                number += c;
            }
        }
        ::close(fds[0]);
        if (!number.empty()) {
            display_ = ":" + number;
        }
    }
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    ~XServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    // ":N", or empty when the server did not start.
    const std::string& Display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

class PreviewOnX : public ::testing::Test {
protected:
    void SetUp() override {
        if (server_.Display().empty()) {
            GTEST_SKIP() << "Xvfb could not start, so there is no X server to show a window";
        }
        environment_.emplace(
            std::map<std::string, const char*>{{"DISPLAY", server_.Display().c_str()},
                                               {"QT_QPA_PLATFORM", "xcb"},
                                               {"WAYLAND_DISPLAY", nullptr}});
    }

    // Starts the window's owner and returns its window number.
    std::string StartHost(std::unique_ptr<Child>& host, const std::vector<std::string>& args) {
        host = std::make_unique<Child>(HelperPath("previewhost_helper"), args, true);
        const auto line = host->ReadLine(20s);
        if (!line || line->rfind("window ", 0) != 0) {
            ADD_FAILURE() << "no window from the host: " << line.value_or("(nothing)");
            return {};
        }
        return line->substr(7);
    }

    XServer server_;
    TempHome home_;
    std::optional<ScopedEnvironment> environment_;
};

TEST_F(PreviewOnX, PaintsIntoTheWindowAndEndsWhenItIsDestroyed) {
    PreviewCache cache;
    cache.WriteComplete();
    std::unique_ptr<Child> host;
    const std::string window = StartHost(host, {"ff0000"});
    ASSERT_FALSE(window.empty());

    Child preview(ProgramPath(), {"/p", window});
    EXPECT_EQ(host->ReadLine(20s), "painted");
    EXPECT_TRUE(preview.Running());

    host->Kill(SIGUSR2);
    EXPECT_EQ(host->ReadLine(), "destroyed");
    EXPECT_EQ(preview.ExitCode(), 0);
}

TEST_F(PreviewOnX, EndsWhenTheWindowIsHiddenAfterAFrame) {
    PreviewCache cache;
    cache.WriteComplete();
    std::unique_ptr<Child> host;
    const std::string window = StartHost(host, {"ff0000"});
    ASSERT_FALSE(window.empty());

    Child preview(ProgramPath(), {"/p:" + window});
    EXPECT_EQ(host->ReadLine(20s), "painted");
    host->Kill(SIGUSR1);
    EXPECT_EQ(host->ReadLine(), "hidden");
    EXPECT_EQ(preview.ExitCode(), 0);
    EXPECT_TRUE(host->Running());
}

TEST_F(PreviewOnX, WaitsWhileTheWindowIsHiddenAndPaintsOnceItShows) {
    PreviewCache cache;
    cache.WriteComplete();
    std::unique_ptr<Child> host;
    const std::string window = StartHost(host, {"ff0000", "hidden"});
    ASSERT_FALSE(window.empty());

    Child preview(ProgramPath(), {"/l", window});
    // The preview waits for the window; it has not ended when the window shows.
    host->Kill(SIGUSR1);
    EXPECT_EQ(host->ReadLine(), "shown");
    EXPECT_EQ(host->ReadLine(20s), "painted");
    EXPECT_TRUE(preview.Running());

    host->Kill(SIGUSR2);
    EXPECT_EQ(host->ReadLine(), "destroyed");
    EXPECT_EQ(preview.ExitCode(), 0);
}

TEST_F(PreviewOnX, EndsAtOnceWhenTheWindowGoesWhileHidden) {
    PreviewCache cache;
    cache.WriteComplete();
    std::unique_ptr<Child> host;
    const std::string window = StartHost(host, {"ff0000", "hidden"});
    ASSERT_FALSE(window.empty());

    Child preview(ProgramPath(), {"/p", window});
    host->Kill(SIGUSR2);
    EXPECT_EQ(host->ReadLine(), "destroyed");
    EXPECT_EQ(preview.ExitCode(), 0);
}

TEST_F(PreviewOnX, EndsAtOnceWithoutAWindowOrAPicture) {
    // A number that names no window, and a window without a cached picture: nothing to
    // paint, and nothing to wait for.
    std::unique_ptr<Child> host;
    const std::string window = StartHost(host, {"ff0000"});
    ASSERT_FALSE(window.empty());
    {
        Child preview(ProgramPath(), {"/p", window}); // the cache is empty
        EXPECT_EQ(preview.ExitCode(), 0);
    }
    PreviewCache cache;
    cache.WriteComplete();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"/p", "123456789"}, {"/p", "4294967295"}, {"/p", "not-a-window"}, {"/p"}}) {
        SCOPED_TRACE(Describe(args));
        Child preview(ProgramPath(), args);
        EXPECT_EQ(preview.ExitCode(), 0);
    }
    EXPECT_TRUE(host->Running());
}

} // namespace
