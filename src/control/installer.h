#pragma once

// The installer functions of the control program: where the saver file lies beside the
// program and where it is installed, copying it there and deleting it, making it the
// system's screen saver, starting it or its dialogs, and the path of a provider's seed
// batch file. Used by the command runs (tolvarctrl.h) and the main form.
//
// Threads: the main thread.

#include <string>
#include <string_view>

// The saver file: copied from the control program's own folder into the Windows folder.
inline constexpr const char* kSaverFileName = "Tolvar.scr";

// Whether a provider key from the command line may name a folder below "vorlk": not
// empty, no "/", "\", ".." or NUL, so the path built from it stays inside that folder.
bool IsSafeProviderKey(std::string_view key);
// "vorlk/" + key + "/copylcache.bat", relative to the working folder.
std::string ProviderBatchPath(const std::string& key);

// WindowsFolder() + "/Tolvar.scr": the installed saver file.
std::string InstalledSaverPath();
// "Tolvar.scr" in the folder of the program at programPath: where the build and the
// install put the saver file, whatever the working folder of a command run is.
std::string SaverFileBeside(const std::string& programPath);

// The installer functions.
//
// Starts the system screen saver now (the registered saver file with "/s"). False when
// none is registered or it cannot be started; that is written to stderr.
bool StartScreenSaver();
// Starts the registered saver file with "/c" (its dialogs) and does not wait for it.
// False when none is registered or it cannot be started; that is written to stderr.
bool OpenSaverConfig();
// Copies the saver file beside the program at programPath (this executable by default)
// over the installed saver file, atomically. False when the copy failed (the installed
// file, if any, is unchanged); the failure is written to stderr.
bool InstallSaverFile(const std::string& programPath = {});
// Deletes the installed saver file; when the system screen saver is that file, switches
// the screen saver off. True when the file was deleted.
bool UninstallSaverFile();
// Writes path as the system screen saver (the NT line's registry value, only when the
// user's "\Control Panel\Desktop" key opens; the 9x line's "system.ini" entry) and
// switches the screen saver on. Returns the previous entry (empty when none or when the
// key does not open).
std::string SetSystemScreenSaver(const std::string& path);
