#include "bus_helper.h"
#include "platform/bus.h"
#include "platform/busframe.h"
#include "platform/fileio.h"
#include "platform/runtimefolder.h"
#include "support/process.h"
#include "support/temphome.h"

#include <atomic>
#include <csignal>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::Bus;
using platform::Message;
using platform::SendStatus;
using platform::WindowHandle;
using tolvar::test::Child;
using tolvar::test::HelperPath;
using tolvar::test::TempHome;
using tolvar::test::WaitUntil;

// Slack on top of a documented bound for a loaded machine; the bound itself is what a
// hang would exceed by far.
constexpr auto kSlack = 1500ms;

struct Peer {
    std::unique_ptr<Child> child;
    WindowHandle handle = 0;
};

struct Received {
    WindowHandle window;
    Message message;
    std::thread::id thread;
};

class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus = std::make_unique<Bus>();
        self = bus->CreateWindow(
            [this](WindowHandle window, const Message& m) { return Record(window, m); });
    }
    void TearDown() override {
        peers.clear();
        bus.reset();
    }

    std::int64_t Record(WindowHandle window, const Message& m) {
        received.push_back({window, m, std::this_thread::get_id()});
        if (m.number == bushelper::kPing) {
            auto r = bus->Send(m.first, {bushelper::kEcho, 1, 1});
            return r.Handled() ? 1 : 0;
        }
        if (m.number == bushelper::kEcho) {
            return m.first + m.second;
        }
        return 0;
    }

    Peer& StartPeer() {
        Peer peer;
        peer.child = std::make_unique<Child>(HelperPath("bus_helper"),
                                             std::vector<std::string>{"peer"}, true);
        auto line = peer.child->ReadLine(10s);
        EXPECT_TRUE(line && line->rfind("ready ", 0) == 0) << line.value_or("(nothing)");
        if (line && line->size() > 6) {
            peer.handle = std::stoll(line->substr(6));
        }
        peers.push_back(std::move(peer));
        return peers.back();
    }

    // The next line of the peer that starts with prefix, while our own bus keeps running.
    std::optional<std::string> Expect(Peer& peer, const std::string& prefix,
                                      std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            bus->ProcessPending();
            if (auto line = peer.child->ReadLine(5ms)) {
                if (line->rfind(prefix, 0) == 0) {
                    return line;
                }
            }
        }
        return std::nullopt;
    }

    std::size_t CountReceived(std::uint32_t number) const {
        std::size_t n = 0;
        for (const auto& r : received) {
            n += r.message.number == number ? 1 : 0;
        }
        return n;
    }

    static std::string GotLine(std::uint32_t number, std::int64_t first, std::int64_t second,
                               std::uint64_t code = 0, const std::string& hex = "-") {
        return "got " + std::to_string(number) + " " + std::to_string(first) + " " +
               std::to_string(second) + " " + std::to_string(code) + " " + hex;
    }

    TempHome home;
    std::unique_ptr<Bus> bus;
    WindowHandle self = 0;
    std::vector<Received> received;
    std::deque<Peer> peers; // StartPeer hands out references
};

TEST_F(BusTest, RegisteredNumbersAreTheSameInEveryProcessAndFreeOfCollisions) {
    const std::vector<std::string> names = {
        "{5B1E3C7A-92D4-4F0B-A6C8-3D7E1F9042B6}", "8e2d41b7-3a9c-4f65-b0d2-7c19e4a8f356",
        "{A47C2E19-6B3D-4E8F-9C05-D2B8F17E3A64}", "Some Other Name"};
    std::vector<std::string> args = {"register"};
    args.insert(args.end(), names.begin(), names.end());
    Child child(HelperPath("bus_helper"), args, true);
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto line = child.ReadLine();
        ASSERT_TRUE(line);
        const std::uint32_t here = platform::RegisterMessage(names[i]);
        EXPECT_EQ(std::to_string(here), *line) << names[i];
        EXPECT_GE(here, platform::kFirstRegisteredMessage);
        EXPECT_LE(here, platform::kLastRegisteredMessage);
    }
    // The names the system registers must not meet.
    EXPECT_NE(platform::RegisterMessage(names[0]), platform::RegisterMessage(names[1]));
    EXPECT_NE(platform::RegisterMessage(names[0]), platform::RegisterMessage(names[2]));
    EXPECT_NE(platform::RegisterMessage(names[1]), platform::RegisterMessage(names[2]));
    // Registration ignores letter case.
    EXPECT_EQ(platform::RegisterMessage("{a47c2e19-6b3d-4e8f-9c05-d2b8f17e3a64}"),
              platform::RegisterMessage(names[2]));
}

TEST_F(BusTest, PostSendAndCopyDataReachAnotherProcess) {
    Peer& peer = StartPeer();

    EXPECT_TRUE(bus->Post(peer.handle, {bushelper::kSeq, 3, -4}));
    EXPECT_EQ(Expect(peer, "got "), GotLine(bushelper::kSeq, 3, -4));

    auto echo = bus->Send(peer.handle, {bushelper::kEcho, 5, 7});
    EXPECT_EQ(echo.status, SendStatus::Handled);
    EXPECT_EQ(echo.result, 12);
    EXPECT_EQ(Expect(peer, "got "), GotLine(bushelper::kEcho, 5, 7));

    // Copy-data carries its bytes with their count, zero bytes included.
    const std::string bytes("ab\0cd", 5);
    auto copy = bus->Send(peer.handle, platform::CopyDataMessage(self, 0x400, bytes));
    EXPECT_TRUE(copy.Handled());
    EXPECT_EQ(Expect(peer, "got "),
              GotLine(platform::kCopyDataMessage, self, 0, 0x400, "6162006364"));

    // A send from the peer back to us while we wait in our own send to it.
    auto nested = bus->Send(peer.handle, {bushelper::kNested, self, 0});
    EXPECT_EQ(nested.status, SendStatus::Handled);
    EXPECT_EQ(nested.result, 42);
    ASSERT_EQ(CountReceived(bushelper::kEcho), 1u);

    // And a send that the peer starts on its own, answered by our loop.
    ASSERT_TRUE(bus->Post(peer.handle, {bushelper::kSendTo, self, 9}));
    EXPECT_EQ(Expect(peer, "sent "), "sent 0 9");
}

TEST_F(BusTest, BroadcastReachesEveryWindowTheSendersOwnIncluded) {
    Peer& a = StartPeer();
    Peer& b = StartPeer();
    const WindowHandle second = bus->CreateWindow(
        [this](WindowHandle window, const Message& m) { return Record(window, m); });

    EXPECT_EQ(bus->Broadcast({bushelper::kEcho, 1, 2}), 4);
    EXPECT_TRUE(Expect(a, "got "));
    EXPECT_TRUE(Expect(b, "got "));
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].window, self);
    EXPECT_EQ(received[1].window, second);

    auto windows = bus->Windows();
    ASSERT_EQ(windows.size(), 4u);
    EXPECT_EQ(windows[0].handle, self);
    EXPECT_EQ(windows[0].pid, ::getpid());
    EXPECT_EQ(windows[1].handle, a.handle);
    EXPECT_EQ(windows[1].pid, a.child->Pid());
    EXPECT_EQ(windows[3].handle, second);
}

TEST_F(BusTest, DeadAndHungPeersNeverHangASenderBeyondTheBound) {
    Peer& live = StartPeer();
    Peer& stopped = StartPeer();
    Peer& killed = StartPeer();
    killed.child->Kill(SIGKILL);
    ASSERT_TRUE(killed.child->Wait());
    stopped.child->Kill(SIGSTOP);
    const std::string killedEndpoint = bus->Folder() + "/" + std::to_string(killed.handle);
    ASSERT_TRUE(platform::FileExists(killedEndpoint));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(bus->Broadcast({bushelper::kEcho, 0, 0}), 2); // our window and the live peer
    EXPECT_LT(std::chrono::steady_clock::now() - start, Bus::kSendTimeout + kSlack);
    EXPECT_TRUE(Expect(live, "got "));
    EXPECT_EQ(CountReceived(bushelper::kEcho), 1u);
    // The dead peer's endpoint is gone; sending to it fails at once.
    EXPECT_FALSE(platform::FileExists(killedEndpoint));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(bus->Send(killed.handle, {bushelper::kEcho, 0, 0}).status, SendStatus::NotDelivered);
    EXPECT_FALSE(bus->Post(killed.handle, {bushelper::kSeq, 0, 0}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, Bus::kSendTimeout);

    // The hung peer: a send gives up after the bound, a post does not wait at all and is
    // delivered, after the send, once the peer runs again.
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(bus->Send(stopped.handle, {bushelper::kEcho, 1, 0}).status, SendStatus::NoAnswer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, Bus::kSendTimeout + kSlack);
    EXPECT_GE(std::chrono::steady_clock::now() - start, Bus::kSendTimeout);
    EXPECT_TRUE(bus->Post(stopped.handle, {bushelper::kSeq, 2, 0}));
    stopped.child->Kill(SIGCONT);
    EXPECT_EQ(Expect(stopped, "got "), GotLine(bushelper::kEcho, 0, 0)); // the broadcast
    EXPECT_EQ(Expect(stopped, "got "), GotLine(bushelper::kEcho, 1, 0));
    EXPECT_EQ(Expect(stopped, "got "), GotLine(bushelper::kSeq, 2, 0));
}

TEST_F(BusTest, NotifyBroadcastReachesEveryWindowWithoutWaiting) {
    Peer& live = StartPeer();
    Peer& stopped = StartPeer();
    stopped.child->Kill(SIGSTOP);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(bus->NotifyBroadcast({bushelper::kSeq, 7, 8}), 3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, Bus::kSendTimeout / 2);
    // Our own window is handled before the call returns.
    EXPECT_EQ(CountReceived(bushelper::kSeq), 1u);
    EXPECT_EQ(Expect(live, "got "), GotLine(bushelper::kSeq, 7, 8));
    stopped.child->Kill(SIGCONT);
    EXPECT_EQ(Expect(stopped, "got "), GotLine(bushelper::kSeq, 7, 8));
}

TEST_F(BusTest, TwoProgramsBroadcastingToEachOtherAtOnceBothFinish) {
    Peer& a = StartPeer();
    Peer& b = StartPeer();
    // Every ping sends back to its sender from inside the handler, so each broadcast
    // meets the other program's broadcast in both directions.
    constexpr int kRounds = 40;
    EXPECT_EQ(bus->NotifyBroadcast({bushelper::kGo, kRounds, 0}), 3);
    const std::string expected = "mutual " + std::to_string(kRounds * 3);
    for (Peer* peer : {&a, &b}) {
        auto line = Expect(*peer, "mutual ", 60s);
        ASSERT_TRUE(line);
        EXPECT_EQ(line->substr(0, expected.size() + 1), expected + " ") << *line;
    }
}

TEST_F(BusTest, APostToAFullQueueIsDroppedWithoutWaiting) {
    // Our own queue: the limit's worth is kept, the next post refused, nothing lost of
    // what was kept.
    for (std::size_t i = 0; i < Bus::kQueueLimit; ++i) {
        ASSERT_TRUE(bus->Post(self, {bushelper::kSeq, static_cast<std::int64_t>(i), 0})) << i;
    }
    EXPECT_FALSE(bus->Post(self, {bushelper::kSeq, -1, 0}));
    EXPECT_TRUE(bus->Send(self, {bushelper::kEcho, 1, 2}).Handled()); // sends still run
    bus->ProcessPending();
    EXPECT_EQ(CountReceived(bushelper::kSeq), Bus::kQueueLimit);
    EXPECT_EQ(received.back().message.first, static_cast<std::int64_t>(Bus::kQueueLimit - 1));

    // A stopped peer whose socket backlog fills: posts keep returning at once, and once
    // it is full they are refused instead of waiting for the peer.
    Peer& stopped = StartPeer();
    Peer& live = StartPeer();
    stopped.child->Kill(SIGSTOP);
    int accepted = 0;
    bool refused = false;
    for (int i = 0; i < 100000 && !refused; ++i) {
        if (bus->Post(stopped.handle, {bushelper::kSeq, i, 0})) {
            ++accepted;
        } else {
            refused = true;
        }
    }
    EXPECT_TRUE(refused);
    EXPECT_GT(accepted, 0);
    // Other windows are not affected.
    EXPECT_TRUE(bus->Post(live.handle, {bushelper::kSeq, 5, 6}));
    EXPECT_EQ(Expect(live, "got "), GotLine(bushelper::kSeq, 5, 6));
}

TEST_F(BusTest, PostsFromOneSenderArriveInOrder) {
    Peer& peer = StartPeer();
    constexpr int kCount = 500;
    ASSERT_TRUE(bus->Post(peer.handle, {bushelper::kPostBurst, self, kCount}));
    ASSERT_TRUE(bus->RunUntil([&] { return CountReceived(bushelper::kSeq) == kCount; }, 20s));
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(received[i].message.first, i + 1);
    }
}

TEST_F(BusTest, SendsFromASecondThreadRunOnTheMainThreadInOrder) {
    constexpr int kCount = 200;
    std::atomic<bool> finished{false};
    std::atomic<int> handled{0};
    std::thread worker([&] {
        for (int i = 1; i <= kCount; ++i) {
            auto r = bus->Send(self, {bushelper::kEcho, i, 0});
            if (r.Handled() && r.result == i) {
                ++handled;
            }
        }
        finished = true;
    });
    EXPECT_TRUE(bus->RunUntil([&] { return finished.load(); }, 30s));
    worker.join();
    EXPECT_EQ(handled, kCount);
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(received[i].message.first, i + 1);
        EXPECT_EQ(received[i].thread, std::this_thread::get_id());
    }
}

TEST_F(BusTest, SendToOwnWindowIsHandledAtOncePostWaitsForTheLoop) {
    auto r = bus->Send(self, {bushelper::kEcho, 2, 3});
    EXPECT_TRUE(r.Handled());
    EXPECT_EQ(r.result, 5);
    EXPECT_EQ(received.size(), 1u);

    EXPECT_TRUE(bus->Post(self, {bushelper::kSeq, 1, 0}));
    EXPECT_EQ(received.size(), 1u);
    bus->ProcessPending();
    EXPECT_EQ(received.size(), 2u);
}

TEST_F(BusTest, EventFdTellsAHostLoopWhenToProcess) {
    auto readable = [&] {
        pollfd fd{bus->EventFd(), POLLIN, 0};
        return ::poll(&fd, 1, 0) == 1;
    };
    bus->ProcessPending();
    EXPECT_FALSE(readable());
    Peer& peer = StartPeer();
    ASSERT_TRUE(bus->Post(peer.handle, {bushelper::kPostBurst, self, 3}));
    ASSERT_TRUE(WaitUntil(readable));
    // Only the watcher drives delivery: process while readable, as a host loop does.
    ASSERT_TRUE(WaitUntil([&] {
        if (readable()) {
            bus->ProcessPending();
        }
        return CountReceived(bushelper::kSeq) == 3;
    }));
    EXPECT_FALSE(readable());
}

TEST_F(BusTest, HandlesAreNeverReusedAndAGoneWindowIsUnreachable) {
    Peer& peer = StartPeer();
    EXPECT_GT(peer.handle, self);
    const WindowHandle old = bus->CreateWindow([](WindowHandle, const Message&) { return 0; });
    EXPECT_GT(old, peer.handle);
    bus->DestroyWindow(old);
    EXPECT_FALSE(platform::FileExists(bus->Folder() + "/" + std::to_string(old)));
    EXPECT_FALSE(bus->Post(old, {bushelper::kSeq, 0, 0}));
    EXPECT_EQ(bus->Send(old, {bushelper::kSeq, 0, 0}).status, SendStatus::NotDelivered);
    const WindowHandle fresh = bus->CreateWindow([](WindowHandle, const Message&) { return 0; });
    EXPECT_GT(fresh, old);
    // The peer learns nothing new from a handle that is gone.
    ASSERT_TRUE(bus->Post(peer.handle, {bushelper::kSendTo, old, 1}));
    EXPECT_EQ(Expect(peer, "sent "), "sent 1 0");
}

TEST_F(BusTest, BrokenFramesAreDroppedAndTheBusGoesOn) {
    const std::string path = bus->Folder() + "/" + std::to_string(self);
    auto connectRaw = [&] {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    };
    platform::busframe::Frame f;
    f.kind = platform::busframe::Kind::Post;
    f.target = self;
    f.message = bushelper::kSeq;
    const std::string whole = platform::busframe::Encode(f);
    const std::string cases[] = {"not a frame at all, just noise",
                                 whole.substr(0, whole.size() - 3)};
    for (const std::string& bytes : cases) {
        int fd = connectRaw();
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
    }
    // A frame addressed to another window than the endpoint it came through.
    f.target = self + 1000;
    const std::string misdirected = platform::busframe::Encode(f);
    int fd = connectRaw();
    ASSERT_EQ(::write(fd, misdirected.data(), misdirected.size()),
              static_cast<ssize_t>(misdirected.size()));
    ::close(fd);

    Peer& peer = StartPeer();
    ASSERT_TRUE(bus->Post(peer.handle, {bushelper::kPostBurst, self, 1}));
    ASSERT_TRUE(bus->RunUntil([&] { return !received.empty(); }, 10s));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].message.first, 1);
}

TEST_F(BusTest, NothingOfAnotherUserReachesTheEndpoints) {
    struct stat st {};
    ASSERT_EQ(::lstat(bus->Folder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    const std::string endpoint = bus->Folder() + "/" + std::to_string(self);
    ASSERT_EQ(::lstat(endpoint.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0077, 0u);

    // Another user (really: rights dropped in a child) cannot connect.
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(10);
        }
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", endpoint.c_str());
        int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::_exit(rc != 0 && errno == EACCES ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The folder checks, without a running bus.
class BusFolderTest : public ::testing::Test {
protected:
    TempHome home;
    std::string Folder() const { return home.RuntimeDir() + "/tolvar"; }
};

TEST_F(BusFolderTest, AFolderThatIsNotPrivateIsRefused) {
    struct Case {
        const char* name;
        std::function<void(const std::string&)> prepare;
    };
    const Case cases[] = {
        {"open to others", [](const std::string& p) { ::mkdir(p.c_str(), 0755); }},
        {"other owner",
         [](const std::string& p) {
             ::mkdir(p.c_str(), 0700);
             ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
         }},
        {"symbolic link",
         [this](const std::string& p) {
             const std::string target = home.Root() + "/elsewhere";
             ::mkdir(target.c_str(), 0700);
             ASSERT_EQ(::symlink(target.c_str(), p.c_str()), 0);
         }},
        {"a file", [](const std::string& p) { tolvar::test::WriteFile(p, "x"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tolvar::test::RemoveTree(Folder());
        c.prepare(Folder());
        EXPECT_THROW(Bus bus, platform::BusError);
    }
    tolvar::test::RemoveTree(Folder());
    EXPECT_NO_THROW(Bus bus);
}

TEST_F(BusFolderTest, WithoutARuntimeFolderAPrivateFolderInTheHomeIsUsed) {
    // Another local user made the old predictable folder in the shared temporary folder
    // first: it must neither be used nor keep the bus from starting.
    const std::string tmp = home.Root() + "/tmp";
    ::mkdir(tmp.c_str(), 01777);
    const std::string squatted = tmp + "/tolvar-" + std::to_string(::geteuid());
    ::mkdir(squatted.c_str(), 0777);
    const bool asOther = ::geteuid() == 0 && ::chown(squatted.c_str(), 65534, 65534) == 0;
    ::unsetenv("XDG_RUNTIME_DIR");
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string saved = oldTmp ? oldTmp : "";
    ::setenv("TMPDIR", tmp.c_str(), 1);
    const std::string own = home.Root() + "/" + platform::kHomeRuntimeFolderName;
    {
        Bus bus;
        EXPECT_EQ(bus.Folder(), own + "/bus");
        struct stat st {};
        ASSERT_EQ(::lstat(own.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(st.st_uid, ::geteuid());
        bus.CreateWindow([](WindowHandle, const Message&) { return 0; });
    }
    // The folder in the home is refused, with a message that says why, when it is not
    // ours or open to others.
    struct Case {
        const char* name;
        mode_t mode;
        bool otherOwner;
        const char* says;
    };
    const Case cases[] = {
        {"open to others", 0755, false, "is open to other users (mode 0755, must be 0700)"},
        {"another user's", 0700, true, "belongs to user 65534, not to this user"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.otherOwner && !asOther) {
            continue; // only root can make a folder of another user
        }
        tolvar::test::RemoveTree(own);
        ASSERT_EQ(::mkdir(own.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(own.c_str(), c.mode), 0);
        if (c.otherOwner) {
            ASSERT_EQ(::chown(own.c_str(), 65534, 65534), 0);
        }
        try {
            Bus bus;
            ADD_FAILURE() << "the folder was used";
        } catch (const platform::BusError& e) {
            EXPECT_NE(std::string(e.what()).find(own + " " + c.says), std::string::npos)
                << e.what();
        }
    }
    tolvar::test::RemoveTree(own);
    EXPECT_NO_THROW(Bus bus);
    if (oldTmp) {
        ::setenv("TMPDIR", saved.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
}

} // namespace
