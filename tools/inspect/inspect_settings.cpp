// tolvar-inspect settings: every value of the settings table, the System switches and the
// providers, read the way the programs read them now (machine hive, overridden by the
// user's). Like the programs, reading creates the user's main key when it is missing.

#include "command.h"
#include "common/tolvarsettings.h"
#include "json.h"

#include <iostream>

namespace {

int RunSettings(const std::vector<std::string>& args) {
    if (!args.empty()) {
        throw inspect::UsageError{"takes no arguments"};
    }
    const TolvarSettings s(kTolvarMaker, kTolvarProduct);
    // Everything is read before anything is printed, so a provider value of the wrong
    // type gives an error and no half document.
    const std::vector<std::string> names = s.GetProviderNames();
    const std::vector<std::string> folders = s.GetProviderValues();

    inspect::JsonWriter json(std::cout);
    json.BeginObject();
    json.Field("key", s.KeyPath());
    json.Key("values").BeginObject();
    json.Field("MessageInterval", s.GetMessageInterval())
        .Field("TickerSpeed", s.GetTickerSpeed())
        .Field("SyncInterval", s.GetSyncInterval())
        .Field("TolvarCtrl", s.GetBaseappPath())
        .Field("ActLANTolvar", s.GetActLANTolvar())
        .Field("ActLANSys", s.GetActLANSys())
        .Field("ActLANAuto", s.GetActLANAuto())
        .Field("ActLANAutoInterval", s.GetActLANAutoInterval())
        .Field("ActLANThumbs", s.GetActLANThumbs())
        .Field("ActLANTimeout", s.GetActLANTimeout())
        .Field("ActLANAlwaysOn", s.GetActLANAlwaysOn())
        .Field("UseDUN", s.GetUseDUN())
        .Field("ActDUNTolvar", s.GetActDUNTolvar())
        .Field("ActDUNSys", s.GetActDUNSys())
        .Field("ActDUNAuto", s.GetActDUNAuto())
        .Field("ActDUNAutoInterval", s.GetActDUNAutoInterval())
        .Field("ActDUNThumbs", s.GetActDUNThumbs())
        .Field("ActDUNMsgBox", s.GetActDUNMsgBox())
        .Field("ActDUNTimeout", s.GetActDUNTimeout())
        .Field("ActDUNAskOnlyIfSSActive", s.GetActDUNAskOnlyIfSSActive())
        .Field("SysAutostartBaseapp", s.GetSysAutostartBaseapp())
        .Field("SysAutoregisterSaver", s.GetSysAutoregisterSaver())
        .Field("CurrentProvider", s.GetCurrentProvider())
        .Field("SysUserID", s.GetSysUserID())
        .Field("SysHostID", s.GetSysHostID());
    json.EndObject();
    json.Key("switches").BeginObject();
    json.Field("TickerDrawOnScreenDC", s.GetTickerDrawOnScreenDC())
        .Field("ShowTNAIcon", s.GetShowTNAIcon())
        .Field("ShowDebug", s.GetShowDebug())
        .Field("HideQuit", s.GetHideQuit());
    json.EndObject();
    json.Key("providers").BeginArray();
    for (size_t i = 0; i < names.size(); ++i) {
        json.BeginObject()
            .Field("name", names[i])
            .Field("folder", i < folders.size() ? folders[i] : std::string())
            .EndObject();
    }
    json.EndArray();
    json.EndObject();
    json.Finish();
    return 0;
}

const inspect::Command kSettings("settings", "",
                                 "the settings, System switches and providers as read now",
                                 RunSettings);

} // namespace
