#include "common/tolvaripc.h"
#include "platform/bus.h"
#include "platform/registry.h"
#include "support/process.h"
#include "support/temphome.h"
#include "tolvaripc_helper.h"

#include <atomic>
#include <csignal>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ipchelper::Role;
using platform::Bus;
using platform::Hive;
using platform::Message;
using platform::WindowHandle;
using tolvar::test::Child;
using tolvar::test::HelperPath;
using tolvar::test::TempHome;

std::string S(WindowHandle h) {
    return std::to_string(h);
}

struct Helper {
    std::unique_ptr<Child> child;
    WindowHandle handle = 0;
};

class IpcTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus = std::make_unique<Bus>();
        self = bus->CreateWindow([this](WindowHandle, const Message& m) -> std::int64_t {
            calls.clear();
            const bool handled = IpcDispatch(m);
            seen.push_back(ipchelper::Describe(m, handled, calls));
            return 0;
        });
        IpcInit(IPC_QUEUE_KEY_PATH, IPC_MESSAGE_NAME);
        SaverWnd = 0;
        CtrlWnd = 0;
        IpcHandlers = {};
    }
    void TearDown() override {
        IpcHandlers = {};
        SaverWnd = 0;
        CtrlWnd = 0;
        helpers.clear();
        bus.reset();
    }

    Helper& StartHelper(const char* role) {
        Helper helper;
        helper.child = std::make_unique<Child>(HelperPath("tolvaripc_helper"),
                                               std::vector<std::string>{role}, true);
        auto line = helper.child->ReadLine(10s);
        EXPECT_TRUE(line && line->rfind("ready ", 0) == 0) << line.value_or("(nothing)");
        if (line && line->size() > 6) {
            helper.handle = std::stoll(line->substr(6));
        }
        helpers.push_back(std::move(helper));
        return helpers.back();
    }

    // The helper's next message line and the CtrlWnd it holds afterwards, while our own
    // bus keeps running.
    std::optional<std::pair<std::string, std::string>>
    Next(Helper& helper, std::chrono::milliseconds timeout = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::optional<std::string> message;
        while (std::chrono::steady_clock::now() < deadline) {
            bus->ProcessPending();
            auto line = helper.child->ReadLine(5ms);
            if (!line) {
                continue;
            }
            if (!message) {
                message = line;
            } else {
                return std::make_pair(*message, line->substr(5));
            }
        }
        return std::nullopt;
    }

    std::string NextLine(Helper& helper) {
        auto next = Next(helper);
        return next ? next->first : "(nothing)";
    }

    // What our own window received since the last call.
    std::vector<std::string> TakeSeen() {
        bus->ProcessPending();
        return std::exchange(seen, {});
    }

    static std::optional<platform::RegistryKey> QueueKey(bool create = true) {
        return platform::RegistryKey::Open(Hive::LocalMachine, IPC_QUEUE_KEY_PATH,
                                           platform::Access::ReadWrite, create);
    }
    static std::vector<std::string> QueueNames() {
        auto key = QueueKey(false);
        return key ? key->ValueNames() : std::vector<std::string>{};
    }

    TempHome home;
    std::unique_ptr<Bus> bus;
    WindowHandle self = 0;
    std::vector<std::string> calls;
    std::vector<std::string> seen;
    std::deque<Helper> helpers;
};

// ---- dispatch, in one process ----

TEST_F(IpcTest, DispatchCallsTheBoundHandlerOfEachCode) {
    ipchelper::BindHandlers(Role::All, calls);
    const std::uint32_t id = IpcMessageId();
    struct Case {
        Message message;
        bool handled;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {{id, 5, 0x0B}, true, {"StatusSyncing=1", "StatusOnline=1"}},
        {{id, 5, 0x01}, true, {"StatusSyncing=0", "StatusOnline=0"}},
        {{id, 5, 0x09}, true, {"StatusSyncing=0", "StatusOnline=1"}},
        {{id, 5, 0x400}, true, {"ContentChanged"}},
        {{id, 5, 0x401}, true, {"CancelReload"}},
        {{id, 5, 0x402}, true, {"DialRequest"}},
        {{id, 5, 0x403}, true, {"AskLan"}},
        {{id, 5, 0x480}, true, {"Hello"}},
        {{id, 5, 0x481}, true, {"SyncRequest"}},
        {{id, -1, 0x484}, true, {"ConnectionReady=-1"}},
        {{id, 1234, 0x484}, true, {"ConnectionReady=1234"}},
        {{id, 5, 0x485}, true, {"NoConnection"}},
        {{id, 5, 0x500}, true, {"ReloadAndSync"}},
        {{id, 5, 0x501}, true, {"SettingsChanged"}},
        {{id, 5, 0x580}, true, {"Quit"}},
        {{id, 5, 0x583}, true, {"SyncNow"}},
        // Codes outside the table are the protocol's, and do nothing.
        {{id, 5, 0x482}, true, {}},
        {{id, 5, 0x483}, true, {}},
        {{id, 5, 0x600}, true, {}},
        {{id, 5, -1}, true, {}},
        // Not the registered message.
        {{id + 1, 5, 0x400}, false, {}},
        {{0x8000, 5, 0x400}, false, {}},
        // Copy-data: codes 0 and 0x400 only; the text ends at the first zero byte and
        // never runs past the byte count.
        {platform::CopyDataMessage(5, 0, std::string("http://x/\0", 10)),
         true,
         {"DataUrl=http://x/"}},
        {platform::CopyDataMessage(5, 0x400, std::string("a\0b", 3)), true, {"DataLog=a"}},
        {platform::CopyDataMessage(5, 0x400, "no zero"), true, {"DataLog=no zero"}},
        {platform::CopyDataMessage(5, 0, ""), true, {"DataUrl="}},
        {platform::CopyDataMessage(5, 1, std::string("x\0", 2)), false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ipchelper::Describe(c.message, c.handled, c.calls));
        calls.clear();
        EXPECT_EQ(IpcDispatch(c.message), c.handled);
        EXPECT_EQ(calls, c.calls);
    }
}

TEST_F(IpcTest, CtrlWndIsLearnedOnlyThroughABoundHandler) {
    const std::uint32_t id = IpcMessageId();
    // Nothing bound: handled, but nothing learned.
    for (std::int64_t code : {0x0B, 0x400, 0x401}) {
        EXPECT_TRUE(IpcDispatch({id, 77, code}));
        EXPECT_EQ(CtrlWnd.load(), 0);
    }
    // Codes that are not learned from, even with a handler.
    ipchelper::BindHandlers(Role::All, calls);
    for (std::int64_t code : {0x402, 0x480, 0x481, 0x484, 0x500, 0x501, 0x580}) {
        EXPECT_TRUE(IpcDispatch({id, 77, code}));
        EXPECT_EQ(CtrlWnd.load(), 0) << code;
    }
    struct Case {
        std::int64_t code;
        std::function<void()> bindOnly;
    };
    const Case cases[] = {
        {0x01, [this] { IpcHandlers.OnStatusOnline = [this](bool) { calls.push_back("o"); }; }},
        {0x01, [this] { IpcHandlers.OnStatusSyncing = [this](bool) { calls.push_back("s"); }; }},
        {0x400, [this] { IpcHandlers.OnContentChanged = [this] { calls.push_back("c"); }; }},
        {0x401, [this] { IpcHandlers.OnCancelReload = [this] { calls.push_back("r"); }; }},
    };
    WindowHandle sender = 100;
    for (const Case& c : cases) {
        IpcHandlers = {};
        CtrlWnd = 0;
        c.bindOnly();
        EXPECT_TRUE(IpcDispatch({id, ++sender, c.code}));
        EXPECT_EQ(CtrlWnd.load(), sender) << c.code;
    }
}

// ---- across processes ----

TEST_F(IpcTest, EveryBroadcastReachesTheOtherProgramAndTheSendersOwnWindow) {
    ipchelper::BindHandlers(Role::All, calls);
    Helper& other = StartHelper("all");
    SaverWnd = self;
    const std::string me = S(self);
    struct Case {
        const char* name;
        std::function<void()> send;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"IpcBroadcastReload", IpcBroadcastReload, {"0x500 " + me + " 1 ReloadAndSync"}},
        {"IpcBroadcastSettingsChanged",
         IpcBroadcastSettingsChanged,
         {"0x501 " + me + " 1 SettingsChanged", "0x483 " + me + " 1 -"}},
        {"IpcReportConnectionReady(-1)",
         [] { IpcReportConnectionReady(-1); },
         {"0x484 -1 1 ConnectionReady=-1"}},
        {"IpcReportConnectionReady(7)",
         [] { IpcReportConnectionReady(7); },
         {"0x484 7 1 ConnectionReady=7"}},
        {"IpcReportNoConnection", IpcReportNoConnection, {"0x485 " + me + " 1 NoConnection"}},
        {"IpcBroadcastQuit", IpcBroadcastQuit, {"0x580 " + me + " 1 Quit"}},
        {"IpcBroadcastSyncRequest", IpcBroadcastSyncRequest, {"0x583 " + me + " 1 SyncNow"}},
        {"IpcRequestSaverAskLan", IpcRequestSaverAskLan, {"0x403 " + me + " 1 AskLan"}},
        {"IpcRequestSaverDial", IpcRequestSaverDial, {"0x402 " + me + " 1 DialRequest"}},
        {"IpcRequestSync without CtrlWnd", IpcRequestSync, {"0x481 " + me + " 1 SyncRequest"}},
        {"IpcKeepAlive, first call", IpcKeepAlive, {"0x480 " + me + " 1 Hello"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.send();
        std::vector<std::string> theirs;
        for (std::size_t i = 0; i < c.lines.size(); ++i) {
            theirs.push_back(NextLine(other));
        }
        EXPECT_EQ(theirs, c.lines);
        EXPECT_EQ(TakeSeen(), c.lines);
    }
}

TEST_F(IpcTest, TheSaverPostsAndSendsToAKnownControlWindow) {
    ipchelper::BindHandlers(Role::Saver, calls);
    Helper& ctrl = StartHelper("ctrl");
    SaverWnd = self;
    const std::string me = S(self);

    // Unknown control window: sync requests are broadcasts, URLs go to the queue, log
    // lines are dropped.
    IpcRequestSync();
    EXPECT_EQ(NextLine(ctrl), "0x481 " + me + " 1 SyncRequest");
    EXPECT_EQ(TakeSeen(), std::vector<std::string>{"0x481 " + me + " 1 -"});
    IpcSendURL("http://queued/");
    IpcSendLogText("dropped");
    ASSERT_EQ(QueueNames(), std::vector<std::string>{"URL1"});
    EXPECT_EQ(QueueKey()->ReadString("URL1"), "http://queued/");

    CtrlWnd = ctrl.handle;
    IpcRequestSync();
    IpcSendURL("http://direct/");
    IpcSendLogText("a log line");
    EXPECT_EQ(NextLine(ctrl), "0x481 " + me + " 1 SyncRequest");
    EXPECT_EQ(NextLine(ctrl), "copy0 " + me + " 1 DataUrl=http://direct/");
    EXPECT_EQ(NextLine(ctrl), "copy1024 " + me + " 1 DataLog=a log line");
    EXPECT_TRUE(TakeSeen().empty()); // posts and copy-data went to the control window only
    EXPECT_EQ(QueueNames(), std::vector<std::string>{"URL1"});

    // Unknown codes and other data codes reach the control program and do nothing there.
    bus->Broadcast({IpcMessageId(), 5, 0x482});
    bus->Broadcast({IpcMessageId(), 5, 0x600});
    bus->Send(ctrl.handle, platform::CopyDataMessage(5, 1, std::string("x\0", 2)));
    EXPECT_EQ(NextLine(ctrl), "0x482 5 1 -");
    EXPECT_EQ(NextLine(ctrl), "0x600 5 1 -");
    EXPECT_EQ(NextLine(ctrl), "copy1 5 0 -");
}

TEST_F(IpcTest, TheControlProgramBroadcastsAndTheSaverLearnsItsWindow) {
    ipchelper::BindHandlers(Role::Ctrl, calls);
    Helper& saver = StartHelper("saver");
    CtrlWnd = self;
    const std::string me = S(self);

    IpcSendContentChanged();
    auto next = Next(saver);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->first, "0x400 " + me + " 1 ContentChanged");
    EXPECT_EQ(next->second, me); // learned
    EXPECT_EQ(TakeSeen(), std::vector<std::string>{"0x400 " + me + " 1 -"});

    IpcSendStatus(true, false);
    EXPECT_EQ(NextLine(saver), "0x9 " + me + " 1 StatusSyncing=0,StatusOnline=1");
    EXPECT_EQ(TakeSeen(), std::vector<std::string>{"0x9 " + me + " 1 -"});

    // The control program's URLs and log lines go to its own window; the saver binds no
    // copy-data handler, so a URL sent to it is handled and does nothing.
    IpcSendURL("http://manual/");
    IpcSendLogText("log");
    EXPECT_EQ(TakeSeen(), (std::vector<std::string>{"copy0 0 1 DataUrl=http://manual/",
                                                    "copy1024 " + me + " 1 DataLog=log"}));
    bus->Send(saver.handle, platform::CopyDataMessage(self, 0, std::string("http://y/\0", 10)));
    EXPECT_EQ(NextLine(saver), "copy0 " + me + " 1 -");
}

TEST_F(IpcTest, TheSaverLearnsTheControlWindowOnlyFromItsThreeCodes) {
    ipchelper::BindHandlers(Role::Ctrl, calls);
    CtrlWnd = self;
    const std::string me = S(self);
    struct Case {
        const char* name;
        std::function<void(WindowHandle saver)> send;
        std::string line;  // what the saver's window dispatched
        bool learned;      // the saver's CtrlWnd is ours afterwards
        bool ownWindowToo; // a broadcast (else a post to the saver only)
    };
    const Case cases[] = {
        {"status word", [](WindowHandle) { IpcSendStatus(false, true); },
         "0x3 " + me + " 1 StatusSyncing=1,StatusOnline=0", true, true},
        {"content changed, broadcast", [](WindowHandle) { IpcSendContentChanged(); },
         "0x400 " + me + " 1 ContentChanged", true, true},
        {"content changed, posted to a known saver window",
         [](WindowHandle saver) {
             SaverWnd = saver;
             IpcSendContentChanged();
             SaverWnd = 0;
         },
         "0x400 " + me + " 1 ContentChanged", true, false},
        {"cancel reload (no sender in the programs)",
         [this](WindowHandle) {
             bus->Broadcast({IpcMessageId(), self, IPC_CANCEL_RELOAD});
         },
         "0x401 " + me + " 1 CancelReload", true, true},
        {"dial request", [](WindowHandle) { IpcRequestSaverDial(); }, "0x402 0 1 DialRequest",
         false, true},
        {"connection ready", [](WindowHandle) { IpcReportConnectionReady(5); }, "0x484 5 1 -",
         false, true},
        {"settings changed from another program",
         [this](WindowHandle) {
             bus->Broadcast({IpcMessageId(), self, IPC_SETTINGS_CHANGED});
         },
         "0x501 " + me + " 1 SettingsChanged", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Helper& saver = StartHelper("saver");
        c.send(saver.handle);
        auto next = Next(saver);
        ASSERT_TRUE(next);
        EXPECT_EQ(next->first, c.line);
        EXPECT_EQ(next->second, c.learned ? me : "0");
        EXPECT_EQ(TakeSeen().size(), c.ownWindowToo ? 1u : 0u);
        helpers.clear();
    }
}

TEST_F(IpcTest, TheFetchThreadsLogLinesAndBroadcastRunOnTheMainThread) {
    // The control program: its log lines, from a second thread, go to its own window in
    // order and each waits until it is in the list; its content-changed broadcast from
    // that thread reaches the saver and its own window.
    Helper& saver = StartHelper("saver");
    CtrlWnd = self;
    const auto mainThread = std::this_thread::get_id();
    std::vector<std::string> lines;
    std::atomic<int> listed{0};
    bool allOnMain = true;
    IpcHandlers.OnDataLog = [&](const std::string& text) {
        lines.push_back(text);
        allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
        ++listed;
    };
    constexpr int kLines = 50;
    std::atomic<bool> finished{false};
    std::atomic<int> waitedFor{0}; // lines that were listed when their send returned
    std::thread fetch([&] {
        for (int i = 1; i <= kLines; ++i) {
            IpcSendLogText("line " + std::to_string(i));
            if (listed.load() == i) {
                ++waitedFor;
            }
        }
        IpcSendContentChanged();
        finished = true;
    });
    const bool done = bus->RunUntil([&] { return finished.load(); }, 60s);
    fetch.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(waitedFor.load(), kLines);
    EXPECT_TRUE(allOnMain);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kLines));
    for (int i = 0; i < kLines; ++i) {
        EXPECT_EQ(lines[i], "line " + std::to_string(i + 1));
    }
    EXPECT_EQ(NextLine(saver), "0x400 " + S(self) + " 1 ContentChanged");
    const auto own = TakeSeen();
    ASSERT_FALSE(own.empty());
    EXPECT_EQ(own.back(), "0x400 " + S(self) + " 1 -");
}

TEST_F(IpcTest, CountdownBroadcastsOnTheFirstCallAndEveryTenthAfterIt) {
    ipchelper::BindHandlers(Role::All, calls);
    CtrlWnd = self;
    // No saver window: only calls 1, 11 and 21 send anything (a broadcast).
    std::vector<int> broadcastCalls;
    for (int call = 1; call <= 25; ++call) {
        IpcSendStatus(call % 2 == 0, call % 3 == 0);
        if (!TakeSeen().empty()) {
            broadcastCalls.push_back(call);
        }
    }
    EXPECT_EQ(broadcastCalls, (std::vector<int>{1, 11, 21}));

    // With a saver window: the same broadcasts, posts to it in between.
    Helper& saver = StartHelper("saver");
    IpcInit(IPC_QUEUE_KEY_PATH, IPC_MESSAGE_NAME);
    SaverWnd = saver.handle;
    broadcastCalls.clear();
    for (int call = 1; call <= 25; ++call) {
        IpcSendStatus(true, true);
        if (!TakeSeen().empty()) {
            broadcastCalls.push_back(call);
        }
    }
    EXPECT_EQ(broadcastCalls, (std::vector<int>{1, 11, 21}));
    for (int call = 1; call <= 25; ++call) {
        ASSERT_EQ(NextLine(saver), "0xb " + S(self) + " 1 StatusSyncing=1,StatusOnline=1") << call;
    }

    // The hello of the saver follows the same rule towards the control window.
    IpcInit(IPC_QUEUE_KEY_PATH, IPC_MESSAGE_NAME);
    Helper& ctrl = StartHelper("ctrl");
    SaverWnd = self;
    CtrlWnd = ctrl.handle;
    int own = 0;
    for (int call = 1; call <= 11; ++call) {
        IpcKeepAlive();
        own += static_cast<int>(TakeSeen().size());
        EXPECT_EQ(NextLine(ctrl), "0x480 " + S(self) + " 1 Hello");
    }
    EXPECT_EQ(own, 2);
}

// ---- the URL queue ----

TEST_F(IpcTest, QueuedUrlsTakeTheNextNumberThatCannotOverflow) {
    struct Case {
        const char* name;
        std::vector<std::string> existing;
        std::string written;
    };
    const Case cases[] = {
        {"empty queue", {}, "URL1"},
        {"highest plus one, a rest that is no number counts 0", {"URL1", "URL7", "URLx"}, "URL8"},
        {"names not starting with URL do not count", {"url9", "XURL20", "URL2"}, "URL3"},
        {"a number too large counts 0", {"URL99999999999999999999999", "URL4"}, "URL5"},
        {"the largest number: the smallest free one", {"URL18446744073709551615", "URL1"}, "URL2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::DeleteRegistryKey(Hive::LocalMachine, IPC_QUEUE_KEY_PATH);
        auto key = QueueKey();
        ASSERT_TRUE(key);
        for (const auto& name : c.existing) {
            key->WriteString(name, "old");
        }
        IpcSendURL("http://new/");
        EXPECT_EQ(key->ReadString(c.written), "http://new/");
        EXPECT_EQ(key->ValueNames().size(), c.existing.size() + 1);
    }
}

TEST_F(IpcTest, ReadingTheQueueTakesEveryUrlValueAndSkipsValuesThatAreNoString) {
    auto key = QueueKey();
    ASSERT_TRUE(key);
    key->WriteString("URL1", "http://one/");
    key->WriteInteger("URL2", 5);        // not a string: skipped and deleted
    key->WriteBinary("URL3", {1, 2, 3}); // the same
    key->WriteString("URLx", "http://x/");
    key->WriteString("Other", "stays");
    key->WriteExpandString("URL9", "http://nine/");
    std::vector<std::string> list = {"before"};
    IpcReadUrlQueue(list);
    EXPECT_EQ(list,
              (std::vector<std::string>{"before", "http://one/", "http://x/", "http://nine/"}));
    EXPECT_EQ(QueueNames(), std::vector<std::string>{"Other"});
    IpcReadUrlQueue(list);
    EXPECT_EQ(list.size(), 4u);

    // No queue key: nothing, and the key is not created.
    platform::DeleteRegistryKey(Hive::LocalMachine, IPC_QUEUE_KEY_PATH);
    IpcReadUrlQueue(list);
    EXPECT_EQ(list.size(), 4u);
    EXPECT_FALSE(platform::RegistryKeyExists(Hive::LocalMachine, IPC_QUEUE_KEY_PATH));
}

TEST_F(IpcTest, InitDeletesTheQueue) {
    QueueKey()->WriteString("URL1", "http://old/");
    IpcInit(IPC_QUEUE_KEY_PATH, IPC_MESSAGE_NAME);
    EXPECT_FALSE(platform::RegistryKeyExists(Hive::LocalMachine, IPC_QUEUE_KEY_PATH));
    EXPECT_EQ(IpcMessageId(), platform::RegisterMessage(IPC_MESSAGE_NAME));
}

TEST_F(IpcTest, AUrlForAControlProgramThatHasEndedIsQueued) {
    Helper& ctrl = StartHelper("ctrl");
    CtrlWnd = ctrl.handle;
    ctrl.child->Kill(SIGKILL);
    ASSERT_TRUE(ctrl.child->Wait());
    IpcSendURL("http://late/");
    ASSERT_EQ(QueueNames(), std::vector<std::string>{"URL1"});
    EXPECT_EQ(QueueKey()->ReadString("URL1"), "http://late/");
    // A log line for it is dropped, and a post fails without effect.
    IpcSendLogText("gone");
    IpcRequestSync();
    EXPECT_EQ(QueueNames(), std::vector<std::string>{"URL1"});
}

} // namespace
