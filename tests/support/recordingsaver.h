#pragma once

// A stand-in saver file for the tests of how the programs start the saver: a script that
// writes the arguments it was started with, one a line, beside itself (path + ".args").

#include "platform/fileio.h"
#include "support/temphome.h"

#include <string>
#include <sys/stat.h>

namespace tolvar::test {

// Writes the script at path; returns path.
inline std::string MakeRecordingSaver(const std::string& path) {
    WriteFile(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0.args\"\n");
    ::chmod(path.c_str(), 0755);
    return path;
}

// The arguments the script at saver was started with, once it has run; "(never ran)"
// when it does not run within the wait.
inline std::string WaitForSaverArgs(const std::string& saver) {
    const std::string argsFile = saver + ".args";
    if (!WaitUntil([&] { return platform::FileExists(argsFile); })) {
        return "(never ran)";
    }
    return ReadFileOrEmpty(argsFile);
}

} // namespace tolvar::test
