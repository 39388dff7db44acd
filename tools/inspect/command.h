#pragma once

// Subcommands of tolvar-inspect register themselves: each lives in its own file and
// defines one static Command, so adding a model to the tool touches no shared table.

#include <string>
#include <vector>

namespace inspect {

// Thrown for bad input; main prints it and exits with status 2.
struct UsageError {
    std::string message;
};

using CommandFunction = int (*)(const std::vector<std::string>& args);

struct Command {
    Command(const char* name, const char* usage, const char* summary, CommandFunction run);
    const char* name;
    const char* usage;   // the arguments, such as "FOLDER"
    const char* summary; // one line for the help text
    CommandFunction run;
};

const std::vector<const Command*>& Commands();

} // namespace inspect
