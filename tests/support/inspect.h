#pragma once

// Runs tolvar-inspect as a real program for black-box tests of its subcommands.

#include "support/process.h"

#include <string>
#include <vector>

namespace tolvar::test {

struct InspectRun {
    int status;      // exit code; -1000 when it did not end in time
    std::string out; // what it printed on stdout
};

inline InspectRun RunInspect(const std::vector<std::string>& args) {
    Child child(TOLVAR_INSPECT_PATH, args, true);
    std::string out = child.ReadAllOutput();
    return {child.ExitCode().value_or(-1000), std::move(out)};
}

} // namespace tolvar::test
