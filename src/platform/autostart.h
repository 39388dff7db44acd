#pragma once

// The Run key at log-on, honoured the way the desktop honours it: an XDG autostart entry
// ($XDG_CONFIG_HOME/autostart/<name>.desktop) kept in step with a Run value. The
// registry calls UpdateAutostartEntry whenever the value changes; nothing else needs to.
//
// A Run value is one command line in the Windows way. It is split as the desktop splits
// an unquoted command: a first word in double quotes is the program; otherwise the
// program is the longest blank-delimited prefix that names an existing file (so an
// unquoted path with blanks still works), else the first word; the rest is split on
// blanks. Each argument is quoted in the entry's Exec line, so no character of the path
// is read as a field code or a shell character.
//
// Free functions without state; safe from any thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The program and its arguments; empty for a blank command.
std::vector<std::string> SplitRunCommand(std::string_view command);

// The Exec line value for the arguments, every one quoted and escaped.
std::string DesktopExecValue(const std::vector<std::string>& args);

// ConfigHome() + "/autostart/" + name + ".desktop".
std::string AutostartEntryPath(std::string_view name);

// Writes the entry for command atomically (making the folder when missing), or removes
// it when command is nullopt or blank. Throws FileError when the entry cannot be written
// and std::invalid_argument for a command that an entry cannot hold (control characters).
void UpdateAutostartEntry(std::string_view name, const std::optional<std::string>& command);

} // namespace platform
