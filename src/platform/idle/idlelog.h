#pragma once

// The idle watcher's log: each line goes to stderr and is appended, with the local time,
// to $XDG_STATE_HOME/tolvar/idle.log (~/.local/state/tolvar/idle.log), the place for a
// background program's history. The file is started anew once it passes 256 KB, the
// previous one kept as idle.log.old. A log that cannot be written loses only its line.
// Main thread only.

#include <string>
#include <string_view>

namespace idle {

// $XDG_STATE_HOME (absolute) or ~/.local/state, + "/tolvar/idle.log".
std::string IdleLogPath();

void LogLine(std::string_view text);

} // namespace idle
