#include "platform/ui/session.h"

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace platform {

namespace {

std::atomic<int> gWriteEnd{-1};
struct sigaction gOldTerm {};
struct sigaction gOldHup {};

extern "C" void OnEndSignal(int) {
    const int saved = errno;
    const int fd = gWriteEnd.load();
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds a request: losing this byte loses nothing.
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

SessionEndWatcher::SessionEndWatcher() {
    if (gWriteEnd.load() >= 0) {
        throw std::logic_error("one session-end watcher per process");
    }
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error("session-end watcher: no pipe");
    }
    gWriteEnd = pipe_[1];
    notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { Drain(); });

    struct sigaction action {};
    action.sa_handler = OnEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &gOldTerm);
    ::sigaction(SIGHUP, &action, &gOldHup);

    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        QObject::connect(app, &QGuiApplication::commitDataRequest, notifier_.get(),
                         [this](QSessionManager&) {
                             if (OnSessionEnd) {
                                 OnSessionEnd();
                             }
                         });
    }
}

SessionEndWatcher::~SessionEndWatcher() {
    ::sigaction(SIGTERM, &gOldTerm, nullptr);
    ::sigaction(SIGHUP, &gOldHup, nullptr);
    gWriteEnd = -1;
    notifier_.reset();
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void SessionEndWatcher::Drain() {
    char buffer[64];
    bool any = false;
    while (::read(pipe_[0], buffer, sizeof buffer) > 0) {
        any = true;
    }
    if (any && OnSessionEnd) {
        OnSessionEnd();
    }
}

} // namespace platform
