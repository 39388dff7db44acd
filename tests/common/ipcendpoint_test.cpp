#include "common/ipcendpoint.h"
#include "common/tolvaripc.h"
#include "platform/bus.h"
#include "platform/registry.h"
#include "support/busfolder.h"
#include "support/temphome.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

using platform::Bus;
using platform::Hive;
using platform::Message;
using platform::SendStatus;
using tolvar::test::TempHome;

class IpcEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus.emplace();
        IpcHandlers = {};
        SaverWnd = 0;
        CtrlWnd = 0;
    }
    void TearDown() override {
        IpcHandlers = {};
        SaverWnd = 0;
        CtrlWnd = 0;
        bus.reset();
    }

    static void QueueUrl(const std::string& name, const std::string& url) {
        auto key = platform::RegistryKey::Open(Hive::LocalMachine, IPC_QUEUE_KEY_PATH,
                                               platform::Access::ReadWrite, true);
        ASSERT_TRUE(key);
        key->WriteString(name, url);
    }
    static std::vector<std::string> QueuedUrls() {
        std::vector<std::string> urls;
        IpcReadUrlQueue(urls);
        return urls;
    }

    TempHome home;
    std::optional<Bus> bus;
};

// Each role fills its own window field and leaves the other one alone; the window
// offers every message to the protocol first and the rest to the form.
TEST_F(IpcEndpointTest, WindowNamedInItsFieldProtocolFirstTheRestToTheForm) {
    struct Case {
        IpcEndpoint::Role role;
        std::atomic<platform::WindowHandle>* named;
        std::atomic<platform::WindowHandle>* other;
    };
    for (const Case& c : {Case{IpcEndpoint::Role::Saver, &SaverWnd, &CtrlWnd},
                          Case{IpcEndpoint::Role::Control, &CtrlWnd, &SaverWnd}}) {
        std::vector<std::uint32_t> own;
        int quits = 0;
        {
            IpcEndpoint endpoint(c.role, IpcEndpoint::Queue::Drop, "Test",
                                 [&own](const Message& m) -> std::int64_t {
                                     own.push_back(m.number);
                                     return 7;
                                 });
            IpcHandlerSlots handlers;
            handlers.OnQuit = [&quits] { ++quits; };
            endpoint.Bind(std::move(handlers));
            ASSERT_NE(endpoint.Window(), 0);
            EXPECT_TRUE(endpoint.Failure().empty());
            EXPECT_EQ(c.named->load(), endpoint.Window());
            EXPECT_EQ(c.other->load(), 0);

            const auto quit = bus->Send(endpoint.Window(), Message(IpcMessageId(), 0, IPC_QUIT));
            EXPECT_TRUE(quit.Handled());
            EXPECT_EQ(quit.result, 0);
            const auto power = bus->Send(endpoint.Window(), Message(0x218, 0, 0));
            EXPECT_TRUE(power.Handled());
            EXPECT_EQ(power.result, 7);
            // A copy-data message of another data code is not the protocol's either.
            EXPECT_EQ(bus->Send(endpoint.Window(), platform::CopyDataMessage(0, 1, "x")).result, 7);
        }
        EXPECT_EQ(quits, 1);
        EXPECT_EQ(own, (std::vector<std::uint32_t>{0x218, platform::kCopyDataMessage}));
        EXPECT_EQ(c.named->load(), 0) << "the field is cleared with the window";
    }
}

// Unbind leaves a window that still answers (a worker's last send is not left waiting)
// but reaches no handler; the destructor then removes the window.
TEST_F(IpcEndpointTest, UnbindKeepsTheWindowAnsweringTheDestructorRemovesIt) {
    int quits = 0;
    platform::WindowHandle window = 0;
    {
        IpcEndpoint endpoint(IpcEndpoint::Role::Control, IpcEndpoint::Queue::Drop, "Test");
        IpcHandlerSlots handlers;
        handlers.OnQuit = [&quits] { ++quits; };
        endpoint.Bind(std::move(handlers));
        window = endpoint.Window();
        endpoint.Unbind();
        EXPECT_EQ(CtrlWnd.load(), 0);
        EXPECT_FALSE(IpcHandlers.OnQuit);
        EXPECT_TRUE(bus->Send(window, Message(IpcMessageId(), 0, IPC_QUIT)).Handled());
    }
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(bus->Send(window, Message(IpcMessageId(), 0, IPC_QUIT)).status,
              SendStatus::NotDelivered);
}

// A field another window has taken meanwhile is left to it.
TEST_F(IpcEndpointTest, UnbindLeavesAFieldThatNamesAnotherWindow) {
    IpcEndpoint endpoint(IpcEndpoint::Role::Saver, IpcEndpoint::Queue::Drop, "Test");
    SaverWnd = endpoint.Window() + 1000;
    endpoint.Unbind();
    EXPECT_EQ(SaverWnd.load(), endpoint.Window() + 1000);
}

// The saver's form drops the queue at every start; the control program's form leaves it
// to its start, which attaches first and drops it only in the copy that claims.
TEST_F(IpcEndpointTest, QueueDroppedAsTheRoleSays) {
    struct Case {
        IpcEndpoint::Queue queue;
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {IpcEndpoint::Queue::Drop, {}},
        {IpcEndpoint::Queue::DropUnlessAttached, {"http://queued.test/"}},
    };
    for (const Case& c : cases) {
        IpcAttach(IPC_QUEUE_KEY_PATH, IPC_MESSAGE_NAME);
        QueueUrl("URL1", "http://queued.test/");
        {
            IpcEndpoint endpoint(IpcEndpoint::Role::Control, c.queue, "Test");
            EXPECT_NE(endpoint.Window(), 0);
        }
        EXPECT_EQ(QueuedUrls(), c.left);
    }
}

// A window that cannot be made is one line on stderr, never an exception: the form is
// made and sends still go out by broadcast.
TEST_F(IpcEndpointTest, NoWindowIsOneLineAndTheProgramGoesOn) {
    std::optional<IpcEndpoint> endpoint;
    {
        tolvar::test::BusFolderAway away(*bus);
        testing::internal::CaptureStderr();
        EXPECT_NO_THROW(
            endpoint.emplace(IpcEndpoint::Role::Control, IpcEndpoint::Queue::Drop, "TolvarCtrl"));
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(endpoint->Window(), 0);
        EXPECT_EQ(CtrlWnd.load(), 0);
        EXPECT_EQ(said, endpoint->Failure() + "\n");
        EXPECT_EQ(said.rfind("TolvarCtrl: no window on the message bus", 0), 0u) << said;
    }
    // The other windows of the process still hear the program's broadcasts.
    int quits = 0;
    IpcHandlerSlots handlers;
    handlers.OnQuit = [&quits] { ++quits; };
    endpoint->Bind(handlers);
    const platform::WindowHandle other = bus->CreateWindow(
        [](platform::WindowHandle, const Message& m) { return IpcDispatch(m) ? 0 : 1; });
    IpcBroadcastQuit();
    EXPECT_EQ(quits, 1);
    bus->DestroyWindow(other);
    endpoint.reset();
}

} // namespace
