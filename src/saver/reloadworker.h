#pragma once

// ReloadWorker runs the reading part of the saver's content reload on a thread of its own,
// so that the GUI thread, which presents the ticker's frames, never waits for it: the
// cache index, the newest control file with the subscriptions, the subscribed channels'
// feeds and their thumbnails (pictures decoded into QImage, never QPixmap). The finished
// result is handed to the GUI thread, which only swaps it in.
//
// At most one read runs and at most one waits: a request while one runs is merged into
// the waiting one (its input replaced by the newer one, its sync wish kept), so requests
// never pile up work. Destruction asks the running read to stop (it looks between feeds
// and between items), joins it and drops its result: ending the program never waits for
// a whole reload, and no result reaches a form that is gone.
//
// Owns its thread and the results in flight. Threads: construction, Request, Running,
// Pending and destruction on the GUI thread; OnDone is called there, from the event loop.

#include "common/cachedmodels.h"
#include "saver/axmessenger.h"

#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

class ReloadWorker {
public:
    // What one read needs, taken on the GUI thread when the read starts.
    struct Input {
        std::string cacheFolder;
        std::string subscriptionsPath;
        bool loadThumbnails = true;
    };

    // What one read made.
    struct Result {
        CachedModels models;
        // The subscribed channels' items; empty when the models are not usable (a missing
        // or unreadable index, no control file).
        std::vector<AXMessageRef> items;
        // The thread the read ran on.
        std::thread::id thread;
    };

    // done gets every finished result with the sync wish of its request, on the GUI
    // thread. It may call Request again.
    using Done = std::function<void(Result result, bool thenSync)>;

    explicit ReloadWorker(Done done);
    ~ReloadWorker();
    ReloadWorker(const ReloadWorker&) = delete;
    ReloadWorker& operator=(const ReloadWorker&) = delete;

    // Starts a read, or, while one runs, makes it the waiting one.
    void Request(Input input, bool thenSync);
    // A read runs (its result not yet handed over).
    bool Running() const { return running_; }
    // A read waits for the running one.
    bool Pending() const { return pending_.has_value(); }

    // Called on the worker thread as a read begins (tests).
    std::function<void()> OnReadStart;

    // The read itself: models, then the items of the subscribed channels. Any thread.
    static Result Read(const Input& input, const std::stop_token& stop);

private:
    struct Waiting {
        Input input;
        bool thenSync = false;
    };
    void Start(Input input, bool thenSync);
    void Finish(const std::shared_ptr<Result>& result, bool thenSync);

    Done done_;
    // Lives on the GUI thread; results are posted to it, and posts still queued when it
    // goes are dropped with it.
    std::unique_ptr<QObject> receiver_;
    std::jthread thread_;
    bool running_ = false;
    std::optional<Waiting> pending_;
};
