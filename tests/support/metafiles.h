#pragma once

// The metafile fixtures: tests/data/metafile/make_metafiles.py writes them into a
// temporary folder the first time a test asks, once per test program; the folder is
// removed when the program ends.

#include "support/process.h"
#include "support/temphome.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace tolvar::test {

// The path of a generated metafile fixture, such as "shapes.wmf".
inline std::string MetafileFixture(const std::string& name) {
    static const std::unique_ptr<TempFolder> folder = [] {
        auto made = std::make_unique<TempFolder>();
        Child script("/usr/bin/env",
                     {"python3", DataPath("metafile/make_metafiles.py"), made->Path()});
        if (script.ExitCode() != 0)
            throw std::runtime_error("make_metafiles.py failed");
        return made;
    }();
    return folder->Path() + "/" + name;
}

} // namespace tolvar::test
