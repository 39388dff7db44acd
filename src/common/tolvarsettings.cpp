#include "common/tolvarsettings.h"

#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/registry.h"
#include "platform/version.h"

#include <cstdint>
#include <optional>
#include <stdexcept>

namespace {

using platform::Access;
using platform::Hive;
using platform::RegistryKey;

constexpr const char* kRunKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kAutostartValue = "TolvarCtrl";
constexpr const char* kRightsValue = "CheckWriteRights";

// Opens a key; an unreadable hive counts as a key that does not open.
std::optional<RegistryKey> OpenKey(Hive hive, const std::string& path, Access access, bool create) {
    try {
        return RegistryKey::Open(hive, path, access, create);
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

// The user's main key as the read rule opens it: created when missing. A user hive that
// cannot be written still gives its values to reads.
std::optional<RegistryKey> OpenUserKeyForReading(const std::string& path) {
    if (auto key = OpenKey(Hive::CurrentUser, path, Access::ReadWrite, true)) {
        return key;
    }
    return OpenKey(Hive::CurrentUser, path, Access::Read, false);
}

// The read rule: the machine value replaces the default (a failing read gives the
// default), then the user's value replaces the result (a failing read keeps it).
template <typename T, typename Read>
T ReadRule(const std::string& path, std::string_view name, T defaultValue, Read read) {
    T result = defaultValue;
    if (auto key = OpenKey(Hive::LocalMachine, path, Access::Read, false)) {
        try {
            if (key->ValueExists(name)) {
                result = read(*key);
            }
        } catch (const std::runtime_error&) {
            result = defaultValue;
        }
    }
    if (auto key = OpenUserKeyForReading(path)) {
        try {
            if (key->ValueExists(name)) {
                result = read(*key);
            }
        } catch (const std::runtime_error&) {
        }
    }
    return result;
}

// Opens hive\path read-write, created when create is set, and runs write on it; every
// failure is swallowed (nothing is written).
template <typename Write>
void WriteRule(Hive hive, const std::string& path, bool create, Write write) {
    if (auto key = OpenKey(hive, path, Access::ReadWrite, create)) {
        try {
            write(*key);
        } catch (const std::runtime_error&) {
        }
    }
}

} // namespace

TolvarSettings::TolvarSettings(std::string_view maker, std::string_view product)
    : keyPath_("\\Software\\" + std::string(maker) + "\\" + std::string(product)) {}

int TolvarSettings::ReadInteger(std::string_view name, int defaultValue) const {
    return ReadRule(keyPath_, name, defaultValue, [&](const RegistryKey& key) {
        return static_cast<int>(static_cast<std::int32_t>(key.ReadInteger(name)));
    });
}

bool TolvarSettings::ReadBool(std::string_view name, bool defaultValue) const {
    return ReadRule(keyPath_, name, defaultValue,
                    [&](const RegistryKey& key) { return key.ReadInteger(name) != 0; });
}

std::string TolvarSettings::ReadString(std::string_view name,
                                       const std::string& defaultValue) const {
    return ReadRule(keyPath_, name, defaultValue,
                    [&](const RegistryKey& key) { return key.ReadString(name); });
}

int TolvarSettings::WriteInteger(std::string_view name, int value) const {
    WriteRule(Hive::CurrentUser, keyPath_, true, [&](const RegistryKey& key) {
        key.WriteInteger(name, static_cast<std::uint32_t>(value));
    });
    return value;
}

bool TolvarSettings::WriteBool(std::string_view name, bool value) const {
    WriteRule(Hive::CurrentUser, keyPath_, true,
              [&](const RegistryKey& key) { key.WriteInteger(name, value ? 1 : 0); });
    return value;
}

std::string TolvarSettings::WriteString(std::string_view name, const std::string& value) const {
    WriteRule(Hive::CurrentUser, keyPath_, true,
              [&](const RegistryKey& key) { key.WriteString(name, value); });
    return value;
}

// One getter and one setter per value of the table, with the value's default.
#define TOLVAR_INTEGER_VALUE(Name, Default)                                                        \
    int TolvarSettings::Get##Name() const {                                                        \
        return ReadInteger(#Name, Default);                                                        \
    }                                                                                              \
    int TolvarSettings::Set##Name(int value) const {                                               \
        return WriteInteger(#Name, value);                                                         \
    }
#define TOLVAR_BOOL_VALUE(Name, Default)                                                           \
    bool TolvarSettings::Get##Name() const {                                                       \
        return ReadBool(#Name, Default);                                                           \
    }                                                                                              \
    bool TolvarSettings::Set##Name(bool value) const {                                             \
        return WriteBool(#Name, value);                                                            \
    }
#define TOLVAR_STRING_VALUE(Name)                                                                  \
    std::string TolvarSettings::Get##Name() const {                                                \
        return ReadString(#Name, std::string());                                                   \
    }                                                                                              \
    std::string TolvarSettings::Set##Name(const std::string& value) const {                        \
        return WriteString(#Name, value);                                                          \
    }

TOLVAR_INTEGER_VALUE(MessageInterval, 15)
TOLVAR_INTEGER_VALUE(TickerSpeed, 0)
TOLVAR_INTEGER_VALUE(SyncInterval, 10)
TOLVAR_BOOL_VALUE(ActLANTolvar, false)
TOLVAR_BOOL_VALUE(ActLANSys, false)
TOLVAR_BOOL_VALUE(ActLANAuto, true)
TOLVAR_INTEGER_VALUE(ActLANAutoInterval, 10)
TOLVAR_BOOL_VALUE(ActLANThumbs, true)
TOLVAR_INTEGER_VALUE(ActLANTimeout, 25)
TOLVAR_BOOL_VALUE(ActLANAlwaysOn, false)
TOLVAR_BOOL_VALUE(UseDUN, true)
TOLVAR_BOOL_VALUE(ActDUNTolvar, false)
TOLVAR_BOOL_VALUE(ActDUNSys, false)
TOLVAR_BOOL_VALUE(ActDUNAuto, false)
TOLVAR_INTEGER_VALUE(ActDUNAutoInterval, 20)
TOLVAR_BOOL_VALUE(ActDUNThumbs, true)
TOLVAR_INTEGER_VALUE(ActDUNMsgBox, 0)
TOLVAR_INTEGER_VALUE(ActDUNTimeout, 45)
TOLVAR_BOOL_VALUE(ActDUNAskOnlyIfSSActive, false)
TOLVAR_BOOL_VALUE(SysAutostartBaseapp, true)
TOLVAR_BOOL_VALUE(SysAutoregisterSaver, true)
TOLVAR_STRING_VALUE(CurrentProvider)
TOLVAR_STRING_VALUE(SysUserID)

#undef TOLVAR_INTEGER_VALUE
#undef TOLVAR_BOOL_VALUE
#undef TOLVAR_STRING_VALUE

std::string TolvarSettings::GetBaseappPath() const {
    return ReadString("TolvarCtrl", std::string());
}

std::string TolvarSettings::SetBaseappPath(const std::string& value) const {
    return WriteString("TolvarCtrl", value);
}

std::string TolvarSettings::GetSysHostID() const {
    if (auto key = OpenKey(Hive::LocalMachine, keyPath_, Access::Read, false)) {
        try {
            if (key->ValueExists("SysHostID")) {
                return key->ReadString("SysHostID");
            }
        } catch (const std::runtime_error&) {
        }
    }
    return {};
}

std::string TolvarSettings::SetSysHostID(const std::string& value) const {
    WriteRule(Hive::LocalMachine, keyPath_, true,
              [&](const RegistryKey& key) { key.WriteString("SysHostID", value); });
    return value;
}

bool TolvarSettings::ReadSwitch(std::string_view name, bool userOverrides) const {
    const std::string path = keyPath_ + "\\System";
    std::string text;
    if (auto key = OpenKey(Hive::LocalMachine, path, Access::Read, false)) {
        try {
            if (key->ValueExists(name)) {
                text = key->ReadString(name);
            }
        } catch (const std::runtime_error&) {
            text.clear();
        }
    }
    if (userOverrides) {
        if (auto key = OpenKey(Hive::CurrentUser, path, Access::Read, false)) {
            try {
                if (key->ValueExists(name)) {
                    text = key->ReadString(name);
                }
            } catch (const std::runtime_error&) {
            }
        }
    }
    return text == "true";
}

bool TolvarSettings::GetTickerDrawOnScreenDC() const {
    return ReadSwitch("TickerDrawOnScreenDC", true);
}
bool TolvarSettings::GetShowTNAIcon() const {
    return ReadSwitch("ShowTNAIcon", false);
}
bool TolvarSettings::GetShowDebug() const {
    return ReadSwitch("ShowDebug", true);
}
bool TolvarSettings::GetHideQuit() const {
    return ReadSwitch("HideQuit", true);
}

std::vector<std::string> TolvarSettings::GetProviderNames() const {
    if (auto key = OpenKey(Hive::LocalMachine, keyPath_ + "\\Providers", Access::Read, false)) {
        try {
            return key->ValueNames();
        } catch (const std::runtime_error&) {
        }
    }
    return {};
}

std::vector<std::string> TolvarSettings::GetProviderValues() const {
    std::vector<std::string> values;
    auto key = OpenKey(Hive::LocalMachine, keyPath_ + "\\Providers", Access::Read, false);
    if (!key) {
        return values;
    }
    std::vector<std::string> names;
    try {
        names = key->ValueNames();
    } catch (const std::runtime_error&) {
        return values;
    }
    for (const auto& name : names) {
        // A value deleted since the names were read counts as empty; one of another type
        // is the registry read error the caller gets.
        values.push_back(key->ValueExists(name) ? key->ReadString(name) : std::string());
    }
    return values;
}

void TolvarSettings::SetProviderValue(const std::string& name, const std::string& value) const {
    WriteRule(Hive::LocalMachine, keyPath_ + "\\Providers", true,
              [&](const RegistryKey& key) { key.WriteString(name, value); });
}

void TolvarSettings::RegisterBaseappAutostart(const std::string& path) const {
    if (path.empty()) {
        return;
    }
    WriteRule(Hive::LocalMachine, kRunKey, false, [&](const RegistryKey& key) {
        key.WriteString(kAutostartValue, path + " --startup");
    });
}

void TolvarSettings::UnregisterBaseappAutostart() const {
    WriteRule(Hive::LocalMachine, kRunKey, false,
              [&](const RegistryKey& key) { key.DeleteValue(kAutostartValue); });
}

std::string TolvarSettings::GetBaseappVersion() const {
    const std::string path = GetBaseappPath();
    if (path.empty()) {
        return {};
    }
    const auto version = platform::ReadFileVersion(path);
    if (!version) {
        return {};
    }
    const std::uint32_t words[2] = {version->mostSignificant, version->leastSignificant};
    std::string text;
    for (std::uint32_t word : words) {
        for (std::uint32_t part : {word >> 16, word & 0xFFFF}) {
            if (!text.empty()) {
                text += '.';
            }
            text += std::to_string(part & 0xFF);
        }
    }
    return text;
}

bool TolvarSettings::CheckWriteRights() const {
    auto key = OpenKey(Hive::LocalMachine, keyPath_, Access::ReadWrite, true);
    if (!key) {
        return false;
    }
    try {
        key->WriteString(kRightsValue, "asdfgh");
        if (!key->DeleteValue(kRightsValue)) {
            return false;
        }
    } catch (const std::runtime_error&) {
        return false;
    }

    const std::string path = platform::ToFileSystemPath(GetBaseappPath());
    const size_t cut = path.rfind('/');
    if (cut == std::string::npos) {
        return false;
    }
    const std::string programFolder = path.substr(0, cut + 1);
    const std::string folder = programFolder + "tmp";
    // Only the tmp folder itself is made: a missing program folder fails the test.
    if (!platform::FolderExists(programFolder) || !platform::MakeFolders(folder)) {
        return false;
    }
    const std::string file = folder + "/" + kRightsValue;
    try {
        platform::AtomicWriteFile(file, "");
    } catch (const std::runtime_error&) {
        return false;
    }
    return platform::FileExists(file) && platform::RemoveFile(file);
}
