#pragma once

// The system's screen-saver integration: the "SCRNSAVE.EXE" entry that names the system
// screen saver, the "active" switch, the "a screen saver runs" test, and starting the
// registered saver (run or dialogs).
//
// Where the entry lives: the NT line keeps it as the string value "SCRNSAVE.EXE" of the
// user hive's "\Control Panel\Desktop" key, the 9x line as the entry "SCRNSAVE.EXE" of
// section "boot" of "system.ini" in the Windows folder. This system behaves as the NT
// line (SystemScreenSaverStore); both stores can be read and written, and on the NT line
// the boot entry of "system.ini" is answered from the registry value, as the system maps
// it there. The active switch is the string value "ScreenSaveActive" ("1" or "0") of the
// same registry key.
//
// A screen saver runs while the saver shows its screen (in its own window or a screen-saver
// host's), which it marks with a named lock of its own (namedlock.h; its holder ends or
// crashes, and the lock is free at once), or while the desktop's own screen saver or lock
// screen is on, as far as the session tells: the GUI layer binds a probe that asks the
// X server and the session bus (desktopsaver.h). The saver's dialogs hold only its
// single-instance guard, so they are no running screen saver.
// Starting the registered saver spawns its file directly with an argument vector, never
// through a shell, and does not wait for it.
//
// Paths have no short (8.3) form here: they are stored as given. Free functions without
// state of their own besides the bound probe; safe from any thread (the probe is called
// on the thread that asks).

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The saver's single-instance name; the guard's named lock is held while it runs, in
// every mode but the preview.
inline constexpr const char* kSaverGuardName = "8e2d41b7-3a9c-4f65-b0d2-7c19e4a8f356";
// The named lock the saver holds while its screen is shown (run mode only).
inline constexpr const char* kSaverRunningLockName = "8e2d41b7-3a9c-4f65-b0d2-7c19e4a8f356.run";

enum class ScreenSaverStore {
    Registry,  // NT line: HKEY_CURRENT_USER\Control Panel\Desktop, value "SCRNSAVE.EXE"
    SystemIni, // 9x line: "system.ini", section "boot", entry "SCRNSAVE.EXE"
};

// The store the system uses: always the NT line's registry value on this system.
ScreenSaverStore SystemScreenSaverStore();

// WindowsFolder() + "/system.ini".
std::string SystemIniPath();

// A profile string of "system.ini": section and entry names match without regard to
// ASCII letter case; a missing file, section or entry gives defaultValue. Values are
// the text after the first "=" with blanks at both ends removed.
std::string ReadSystemIniString(std::string_view section, std::string_view entry,
                                std::string_view defaultValue = {});
// Writes one entry, keeping every other line; creates the file, its folder and the
// section when missing. The file is replaced atomically under a lock file beside it, so
// concurrent writers lose nothing. False when it cannot be written or a name or the value
// holds a line break (or a name holds "=" or "]"): nothing is changed then.
bool WriteSystemIniString(std::string_view section, std::string_view entry, std::string_view value);

// The "SCRNSAVE.EXE" entry of a store; empty when it is not set. The registry's key is
// only opened, never created; a value of another type counts as not set.
std::string ReadScreenSaverEntry(ScreenSaverStore store);
// Writes the entry of a store. The registry route writes only when "\Control
// Panel\Desktop" of the user hive opens (it is not created) and returns false otherwise;
// either route returns false when the write fails.
bool WriteScreenSaverEntry(ScreenSaverStore store, const std::string& path);

// The system screen saver: the entry of SystemScreenSaverStore() (the boot entry of
// "system.ini" as the system answers it).
std::string RegisteredScreenSaver();

// The "screen saver active" switch, stored for the user (the key is created when
// missing). False when it cannot be written. The idle start follows it (idlestart.h):
// switching it on writes the idle watcher's autostart entry and starts the watcher for
// this session, switching it off removes the entry.
bool SetScreenSaverActive(bool active);
// False when the switch is not stored or not "1".
bool IsScreenSaverActive();

// The wait before the system starts the screen saver: the string value
// "ScreenSaveTimeOut" of the same key, in seconds, as the system writes it.
// kDefaultScreenSaveTimeout when it is missing, not a whole number or out of range
// (1..kMaxScreenSaveTimeout).
inline constexpr int kDefaultScreenSaveTimeout = 600;
inline constexpr int kMaxScreenSaveTimeout = 2147483; // its milliseconds fit 32 bits
int ScreenSaveTimeout();

// True while another process shows the saver's screen (holds kSaverRunningLockName).
bool IsSaverScreenShown();
// Binds what tells whether the desktop's own screen saver or lock screen is on; an empty
// function unbinds it. Bind on the main thread before other threads ask.
void SetDesktopScreenSaverProbe(std::function<bool()> probe);
// True while IsSaverScreenShown() or the bound probe says the desktop's saver is on.
bool IsScreenSaverRunning();

// Starts the saver file at path with the one argument, as a process of its own
// (standard input from /dev/null, not waited for; it is reaped when it ends). Returns the
// process id, or nullopt when the path is empty or the file cannot be started.
std::optional<int> SpawnScreenSaver(const std::string& path, std::string_view argument);

// The registered saver started now with "/s" (the system's screen-saver command).
// nullopt when none is registered or it cannot be started.
std::optional<int> StartSystemScreenSaver();
// The registered saver started with "/c" (its dialogs). nullopt as above.
std::optional<int> OpenScreenSaverDialogs();

} // namespace platform
