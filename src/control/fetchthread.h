#pragma once

// TFetchThread: the one worker thread of the control program that brings the cache up to
// date. It is created asleep, runs one synchronisation cycle each time the main thread
// wakes it (Resume) and goes back to sleep afterwards. A cycle posts the subscriptions
// for a new control file, keeps "subscriptions.dir" in step with it, fetches the layouts
// and their pictures, the icon and feed of every subscribed channel whose current
// version is not cached, and reports each step as an English log line. When the cycle
// changed what the saver shows, the content-changed message goes out after it.
//
// Owns its std::thread; not copyable. The destructor asks the thread to stop, wakes it
// and joins it. A stop reaches every wait of a cycle at once: the request in flight is
// cancelled (HttpGetter's stop flag of this thread), the cycle checks the stop between
// all its steps (also between a channel's icon and its feed, between pictures and inside
// the host fail-over), and log lines of a stopping cycle are dropped, so none of them
// waits for a main thread that is shutting down. What a stopped cycle leaves is whole:
// every file is written aside and renamed, every index change saved atomically.
//
// Threads: the constructor, Resume, Terminate and the destructor belong to the main
// thread; the flags may be read from any thread. FetchThumbs and TimeoutSeconds are
// written by the main thread before Resume. The cycle itself, the log sink and the
// content-changed sink run on the fetch thread.

#include "common/cache.h"
#include "common/controlfile.h"
#include "common/layoutfile.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TFetchThread {
public:
    using LogSink = std::function<void(const std::string&)>;
    using ChangedSink = std::function<void()>;

    // A log line sent to the own main window is cut to this many bytes.
    static constexpr std::size_t kMaxLogLineBytes = std::size_t{64} * 1024;

    // Without sinks, log lines go to the own main window (IpcSendLogText) and the
    // content-changed message through IpcSendContentChanged.
    explicit TFetchThread(LogSink log = {}, ChangedSink contentChanged = {});
    TFetchThread(const TFetchThread&) = delete;
    TFetchThread& operator=(const TFetchThread&) = delete;
    ~TFetchThread();

    // Wakes the thread for one cycle. Refused (false) while a cycle runs. Busy is true
    // when it returns, so a poll of Busy right after never takes the cycle for ended.
    bool Resume();
    // Asks the thread to end; a running cycle stops at its next check point.
    void Terminate();
    bool Terminated() const { return stop_.load(); }
    // True once the thread body has returned (after Terminate); joining is then at once.
    bool Ended() const { return ended_.load(); }

    // True from Resume until the cycle has ended.
    std::atomic<bool> Busy{false};
    std::atomic<bool> FetchThumbs{false};
    // At least one feed, at least one mandatory channel's feed fetched in the cycle.
    std::atomic<bool> GotNews{false};
    std::atomic<bool> GotMandatoryNews{false};
    // Seconds for each send and read of the HTTP client.
    std::atomic<int> TimeoutSeconds{45};
    // The cycle changed what the saver shows.
    std::atomic<bool> Changed{false};

private:
    void Execute();
    void RunCycle();
    // The steps from the control file on; a return is the end of the cycle.
    void RunSteps(CC& cache);
    // The steps of RunSteps; those that give false have ended the cycle (said why).
    bool LoadPreviousControlFile(const CC& cache, const std::string& controlKey, CF& previous);
    bool RequestControlFile(const std::string& controlKey, const std::string& subscriptionsPath);
    bool LoadCurrentControlFile(const CC& cache, const std::string& controlKey, CF& current);
    void UpdateSubscriptions(CC& cache, CF& current, const std::string& subscriptionsPath);
    bool FetchLayoutsBasics(const CC& cache, const CF& current);
    // Changed when a channel came or went with the new control file.
    void NoteChannelChanges(const CF& previous, const CF& current);
    bool FetchChannels(const CF& current);
    bool FetchChannelIcon(const CFChannel& channel);
    bool FetchChannelFeed(const CFChannel& channel, bool thumbs,
                          const std::vector<std::string>& feeds);
    // True (and said) when the connection went down after a failed request.
    bool ConnectionLost();

    bool FetchLayoutImage(const std::string& label, const std::string& uri,
                          const std::string& serial);
    void FetchLayoutBasics(const LF& layout);
    void FetchLayoutRemainders(const LF& layout);
    // The picture walk of both steps: the pictures outside the screen (basics only) and
    // those of every screen that passes the size test.
    void FetchLayoutImages(const LF& layout, bool basics);

    void Log(const std::string& line);
    // Whether the cycle may go on: no stop request and the connection still up.
    bool Online() const;

    LogSink log_;
    ChangedSink contentChanged_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool wakePending_ = false; // guarded by mutex_
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

// The subscriptions text of the control-file request: the lines of the subscriptions
// file joined by ",+" (a missing or unreadable file, or one without ids, gives "").
std::string SubscriptionsRequestText(const std::string& path);

// Leaves the two greatest control-file serials in the index (with their files) and
// saves it; used by the cycle, public for tests.
void CleanControlFiles(CC& cache);
