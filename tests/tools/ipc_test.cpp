// tolvar-ipc as a person runs it: a monitor process watching what other runs send.

#include "support/process.h"
#include "support/temphome.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tolvar::test::Child;
using tolvar::test::TempHome;

struct IpcRun {
    int code;
    std::string output; // standard output and error together
};

IpcRun Ipc(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-c", "exec \"$0\" \"$@\" 2>&1", TOLVAR_IPC_PATH};
    all.insert(all.end(), args.begin(), args.end());
    Child child("/bin/sh", all, true);
    std::string output = child.ReadAllOutput();
    return {child.ExitCode().value_or(-100), output};
}

TEST(TolvarIpc, MonitorPrintsWhatSendDeliversAndWindowsListsIt) {
    TempHome home;
    Child monitor(TOLVAR_IPC_PATH, {"monitor"}, true);
    auto first = monitor.ReadLine(10s);
    ASSERT_TRUE(first && first->rfind("monitor window ", 0) == 0) << first.value_or("(nothing)");
    const std::string handle = first->substr(15);

    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{"send", "IPC_SYNC_NOW"}, {"IPC_SYNC_NOW first=0"}},
        {{"send", "IPC_CONNECTION_READY", "7"}, {"IPC_CONNECTION_READY first=7"}},
        {{"send", "IPC_STATUS", "11"}, {"IPC_STATUS 0x0b first=0 syncing=1 online=1"}},
        {{"send", "IPC_SETTINGS_CHANGED"},
         {"IPC_SETTINGS_CHANGED first=0", "IPC_SETTINGS_FOLLOWUP first=0"}},
        {{"--saver", "12", "send", "IPC_RELOAD_AND_SYNC"}, {"IPC_RELOAD_AND_SYNC first=12"}},
        // Posted to the given control window, and copy-data sent to it.
        {{"--ctrl", handle, "send", "IPC_SYNC_REQUEST"}, {"IPC_SYNC_REQUEST first=0"}},
        {{"--ctrl", handle, "send", "IPC_DATA_URL", "http://x/"},
         {"IPC_DATA_URL first=0 text=http://x/"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        IpcRun r = Ipc(c.args);
        EXPECT_EQ(r.code, 0) << r.output;
        for (const auto& expected : c.lines) {
            EXPECT_EQ(monitor.ReadLine(10s).value_or("(nothing)"), expected);
        }
    }

    IpcRun list = Ipc({"windows"});
    EXPECT_EQ(list.code, 0);
    EXPECT_EQ(list.output, handle + " " + std::to_string(monitor.Pid()) + " tolvar-ipc\n");

    EXPECT_EQ(Ipc({"send", "IPC_NOTHING"}).code, 2);
    EXPECT_EQ(Ipc({"send", "IPC_QUIT", "x"}).code, 2);
    EXPECT_EQ(Ipc({"dance"}).code, 2);

    monitor.Kill(SIGTERM);
    EXPECT_EQ(monitor.ExitCode(10s), 0);
}

} // namespace
