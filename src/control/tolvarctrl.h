#pragma once

// TolvarCtrl's start: the one switch of its command line, the preparation every run
// needs (single-instance guard object, message protocol, machine and user identities),
// the command runs that act and end (quit, sync, install, uninstall, configure, provider
// profile, version box, write-rights box), and the normal start that claims the guard
// and hands over to the resident program.
//
// The installer functions (install and remove the saver file, make it the system's screen
// saver, open its dialogs, start it at once) have a module of their own, installer.h,
// which the main form uses too; this header brings them along for the command runs.
//
// Command runs never claim the guard, so they work while the resident copy runs.
//
// Threads: the program's main thread (the thread of the process's message bus and of
// the Qt application), before any other thread exists.

#include "control/installer.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Exit codes of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitAlreadyRunning = 4;
inline constexpr int kExitInstallFailed = -1;
// The display is missing or dead: Qt could not start.
inline constexpr int kExitNoDisplay = 1;

// The control program's single-instance name (guard lock and its registered message).
inline constexpr const char* kCtrlGuardName = "{A47C2E19-6B3D-4E8F-9C05-D2B8F17E3A64}";
inline constexpr const char* kApplicationTitle = "Tolvar";
inline constexpr const char* kVersionBoxCaption = "TolvarCtrl.exe";
inline constexpr const char* kWriteRightsBoxCaption = "InstallRights";

// The switch flags; at most one is set by ReadCtrlSwitches.
struct CtrlSwitches {
    bool quit = false;
    bool config = false;
    bool activateSaver = false;
    bool sync = false;
    bool uninstall = false;
    bool install = false;
    bool startup = false;
    bool profile = false;
    bool version = false;
    bool showSplash = false;
    bool writeRights = false;

    bool operator==(const CtrlSwitches&) const = default;
};

// Reads the switch from the program's arguments (args[0] is the first argument, not the
// program). Only args[0] counts, lower-cased: shorter than two characters it is ignored;
// after a double prefix ("--", "//", "-/", "/-") it is compared whole with the long
// names; after one prefix or none only its first letter counts.
CtrlSwitches ReadCtrlSwitches(const std::vector<std::string>& args);

// What a run does, in the order the switches are tested: the first that applies acts.
enum class CtrlCommand {
    Config,
    ActivateSaver, // then goes on to a normal start
    Sync,
    Quit,
    Install,
    Uninstall,
    Profile,
    Version,
    WriteRights,
    Startup, // a normal start when "SysAutostartBaseapp" holds, else the end
    NormalStart,
};
CtrlCommand ChooseCtrlCommand(const CtrlSwitches& switches);

// Fills an empty "SysHostID" (machine-wide) and then an empty "SysUserID" (the user's)
// with a new GUID text of 36 characters, without braces. Values already there stay.
void EnsureIdentities();

// How a normal start goes on after the switch runs. The default (DefaultResidentStart)
// claims the single-instance guard and runs RunResidentProgram; tests replace both.
struct ResidentStart {
    // True when this process now holds the single-instance guard.
    std::function<bool()> claim;
    // The resident program; returns the exit code.
    std::function<int()> run;
};

// The whole run after the bus exists: preparation, the switch, the command, or the normal
// start through start. args are the program's arguments without the program name.
// Returns the exit code.
int RunTolvarCtrl(const std::vector<std::string>& args, const ResidentStart& start);

// The resident program, entered once the guard is claimed and the URL queue dropped:
// makes the Qt application titled "Tolvar" and hooks the message bus into its loop.
//
// Creates the debug form and the main form, shows the splash and runs the loop until the
// program ends (quit message, the tray menu's close item, the end of a splash-only start,
// or the end of the session: SIGTERM, SIGHUP or the desktop session's request), then
// returns kExitOk. Without a display that answers it says so on standard error and
// returns kExitNoDisplay.
int RunResidentProgram(int& argc, char** argv);

// The guard claim and RunResidentProgram of the real program.
ResidentStart DefaultResidentStart(int& argc, char** argv);

// The program entry: makes the process's message bus (without one nothing is sent),
// runs RunTolvarCtrl with the real resident start, and shows what escapes it in the
// application's exception box.
int TolvarCtrlMain(int argc, char** argv);
