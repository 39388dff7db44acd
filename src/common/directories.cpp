#include "common/directories.h"

#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/ids.h"
#include "platform/registry.h"

#include <stdexcept>

namespace {

constexpr const char* kAppDataFolderName = "Brimwald Tolvar";
constexpr const char* kShellFoldersKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

// A shell-folder value; missing, unreadable or of another type reads as empty.
std::string ReadShellFolder(const platform::RegistryKey& key, const char* name) {
    try {
        return key.ValueExists(name) ? key.ReadString(name) : std::string();
    } catch (const std::runtime_error&) {
        return {};
    }
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

} // namespace

std::string GetAppDataDir() {
    std::string base;
    try {
        if (auto key = platform::RegistryKey::Open(platform::Hive::CurrentUser, kShellFoldersKey,
                                                   platform::Access::Read)) {
            base = ReadShellFolder(*key, "AppData");
            std::string local = ReadShellFolder(*key, "Local AppData");
            if (!local.empty()) {
                base = std::move(local);
            }
        }
    } catch (const std::runtime_error&) {
        base.clear(); // an unreadable hive counts as a missing key
    }
    if (base.empty()) {
        const std::string windows = platform::WindowsFolder();
        if (!windows.empty()) {
            base = windows + "/Temp";
            platform::MakeFolders(base);
        }
    }
    // Parents too: on a fresh account even the base folder may not exist yet.
    std::string folder = WithoutTrailingSlash(base) + "/" + kAppDataFolderName;
    platform::MakeFolders(folder);
    return folder;
}

std::string GetCacheDir() {
    std::string folder = GetAppDataDir() + "/Cache";
    platform::MakeFolders(folder);
    return folder;
}

std::string GetControlFileKey() {
    return "#brimwald:///feeds/content.php";
}

std::string GetSubscriptionFileName() {
    return "subscriptions.dir";
}

std::string GetSubscriptionsPath() {
    return GetAppDataDir() + "/" + GetSubscriptionFileName();
}

std::string GetBaseLayoutKey(const std::string& providerFolder) {
    return "#brimwald:///images/" + providerFolder + "/base/layout.xml";
}

std::string MakeGuidString() {
    return platform::UuidToGuidString(platform::NewRandomUuid());
}
