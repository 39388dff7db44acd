// tolvar-inspect settings, run as a program against a temporary home.

#include "common/tolvarsettings.h"
#include "platform/registry.h"
#include "support/inspect.h"
#include "support/temphome.h"

#include <gtest/gtest.h>

namespace {

using platform::Access;
using platform::Hive;
using platform::RegistryKey;

constexpr const char* kMain = "\\Software\\Brimwald\\Tolvar";

tolvar::test::InspectRun Inspect(std::vector<std::string> args) {
    args.insert(args.begin(), "settings");
    return tolvar::test::RunInspect(args);
}

TEST(InspectSettings, PrintsValuesSwitchesAndProvidersAsTheProgramsReadThem) {
    tolvar::test::TempHome home;
    const TolvarSettings settings("Brimwald", "Tolvar");
    RegistryKey::Open(Hive::LocalMachine, kMain, Access::ReadWrite, true)
        ->WriteInteger("MessageInterval", 30);
    settings.SetActLANAuto(false);
    settings.SetBaseappPath("/opt/t/TolvarCtrl");
    settings.SetSysHostID("{HOST}");
    RegistryKey::Open(Hive::LocalMachine, std::string(kMain) + "\\System", Access::ReadWrite, true)
        ->WriteString("ShowDebug", "true");
    settings.SetProviderValue("Zeta", "z");
    settings.SetProviderValue("Alpha", "a");

    const auto run = Inspect({});
    ASSERT_EQ(run.status, 0) << run.out;
    for (const char* expected : {
             "\"MessageInterval\": 30,",
             "\"TickerSpeed\": 0,",
             "\"ActLANAuto\": false,",
             "\"ActDUNTimeout\": 45,",
             "\"TolvarCtrl\": \"/opt/t/TolvarCtrl\",",
             "\"SysHostID\": \"{HOST}\"",
             "\"ShowDebug\": true,",
             "\"ShowTNAIcon\": false,",
             "\"name\": \"Zeta\",\n      \"folder\": \"z\"",
         }) {
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
    }
    EXPECT_LT(run.out.find("\"Zeta\""), run.out.find("\"Alpha\""));
}

TEST(InspectSettings, BadInput) {
    tolvar::test::TempHome home;
    EXPECT_EQ(Inspect({"extra"}).status, 2);
    RegistryKey::Open(Hive::LocalMachine, std::string(kMain) + "\\Providers", Access::ReadWrite,
                      true)
        ->WriteInteger("Broken", 1);
    const auto run = Inspect({});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "") << "no half document";
}

} // namespace
