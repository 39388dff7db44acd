#include "saver/reloadworker.h"

#include "saver/layoutcontrol.h"

#include <QMetaObject>
#include <utility>

ReloadWorker::ReloadWorker(Done done)
    : done_(std::move(done)), receiver_(std::make_unique<QObject>()) {}

ReloadWorker::~ReloadWorker() {
    // The read stops at its next look and posts a result nobody takes: the receiver goes
    // after the join, and with it the post.
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
    receiver_.reset();
}

ReloadWorker::Result ReloadWorker::Read(const Input& input, const std::stop_token& stop) {
    Result result;
    result.thread = std::this_thread::get_id();
    result.models = LoadCachedModels(input.cacheFolder, input.subscriptionsPath);
    const CachedModelsStep failed = result.models.failed;
    if (failed != CachedModelsStep::Done && failed != CachedModelsStep::SubscriptionsUnreadable) {
        return result;
    }
    result.items = LayoutControl::ReadChannels(*result.models.controlFile,
                                               result.models.cache.get(), input.loadThumbnails,
                                               [&stop] { return stop.stop_requested(); });
    return result;
}

void ReloadWorker::Request(Input input, bool thenSync) {
    if (running_) {
        const bool sync = thenSync || (pending_ && pending_->thenSync);
        pending_ = Waiting{std::move(input), sync};
        return;
    }
    Start(std::move(input), thenSync);
}

void ReloadWorker::Start(Input input, bool thenSync) {
    running_ = true;
    if (thread_.joinable()) {
        thread_.join(); // the last read has posted its result: it is ending
    }
    QObject* receiver = receiver_.get();
    thread_ = std::jthread([this, receiver, input = std::move(input),
                            thenSync](const std::stop_token& stop) {
        if (OnReadStart) {
            OnReadStart();
        }
        auto result = std::make_shared<Result>(Read(input, stop));
        if (stop.stop_requested()) {
            return; // the worker is being destroyed: nobody waits for this result
        }
        QMetaObject::invokeMethod(
            receiver, [this, result, thenSync] { Finish(result, thenSync); }, Qt::QueuedConnection);
    });
}

void ReloadWorker::Finish(const std::shared_ptr<Result>& result, bool thenSync) {
    if (thread_.joinable()) {
        thread_.join();
    }
    running_ = false;
    if (done_) {
        done_(std::move(*result), thenSync);
    }
    if (!running_ && pending_) {
        Waiting next = std::move(*pending_);
        pending_.reset();
        Start(std::move(next.input), next.thenSync);
    }
}
