#pragma once

// Where the system's state lives on Linux, from the XDG base directories. Every function
// reads the environment at each call, so tests can point HOME and the XDG variables at a
// temporary folder. Paths are returned without a trailing "/"; nothing is created here
// unless the function says so.
//
//   user hive      $XDG_CONFIG_HOME/tolvar/user.reg
//   system folder  $TOLVAR_SYSTEM_DIR, else $XDG_DATA_HOME/tolvar-system: the emulated
//                  machine, holding the machine hive ("machine.reg") and the Windows
//                  folder ("Windows", with "Temp" inside)
//   runtime folder $XDG_RUNTIME_DIR (endpoints of the message bus, named locks)

#include <string>

namespace platform {

// $HOME, else the password database's home folder.
std::string HomeFolder();
// $XDG_CONFIG_HOME when set to an absolute path, else ~/.config.
std::string ConfigHome();
// $XDG_DATA_HOME when set to an absolute path, else ~/.local/share.
std::string DataHome();
// $XDG_RUNTIME_DIR when set to an absolute path, else empty.
std::string RuntimeHome();

// The emulated machine: $TOLVAR_SYSTEM_DIR when set to an absolute path, else
// DataHome() + "/tolvar-system".
std::string SystemFolder();
// SystemFolder() + "/Windows": the folder the Parts call the Windows folder.
std::string WindowsFolder();

std::string UserHivePath();    // ConfigHome() + "/tolvar/user.reg"
std::string MachineHivePath(); // SystemFolder() + "/machine.reg"

// The process's working folder, whatever its length; empty when it cannot be read.
std::string CurrentFolder();
// This program's own file (from /proc/self/exe), whatever its length; empty when unknown.
std::string ExecutablePath();

// Turns a path the Windows way ("C:\a\b" style folder names joined with "\") into a
// file-system path: every "\" becomes "/".
std::string ToFileSystemPath(std::string path);

} // namespace platform
