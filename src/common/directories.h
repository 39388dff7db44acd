#pragma once

// Where the programs keep their data: the program data folder (inside the user's
// "Local AppData" shell folder, else "AppData", else the Windows folder's "Temp"), the
// cache folder inside it, the subscriptions file name, the control file's cache key, and
// unique names for cached objects. Folder texts are file-system paths with "/" and no
// trailing "/". Free functions without state; safe from any thread.

#include <string>

// The program data folder ".../Brimwald Tolvar", created with its parents when missing.
// A folder that cannot be created is not reported; the path is returned all the same.
std::string GetAppDataDir();

// GetAppDataDir() + "/Cache", created when missing (errors ignored as above).
std::string GetCacheDir();

// "#brimwald:///feeds/content.php".
std::string GetControlFileKey();

// "subscriptions.dir": the file name alone, to be joined to the program data folder.
std::string GetSubscriptionFileName();
// The subscriptions file: GetAppDataDir() + "/" + GetSubscriptionFileName().
std::string GetSubscriptionsPath();

// The cache key of a provider's base layout: "#brimwald:///images/" + the provider's
// layout folder + "/base/layout.xml".
std::string GetBaseLayoutKey(const std::string& providerFolder);

// A new GUID text in the registry form, such as "{0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9}".
std::string MakeGuidString();
