// The hive-file reader on arbitrary bytes: whatever parses must write back to a text that
// reads to the same keys and values, and writing that again must give the same text.

#include "platform/hivefile.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace hivefile = platform::hivefile;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const std::vector<hivefile::Section> sections = hivefile::Parse(text);
        const std::vector<hivefile::Section> again = hivefile::Parse(hivefile::Format(sections));
        if (again.size() != sections.size()) {
            std::abort();
        }
        for (size_t i = 0; i < sections.size(); ++i) {
            if (again[i].path != sections[i].path || again[i].values != sections[i].values) {
                std::abort();
            }
        }
    } catch (const hivefile::ParseError&) {
    }
    try {
        const hivefile::Key root = hivefile::LoadHive(text, "HKEY_CURRENT_USER");
        const std::string saved = hivefile::SaveHive(root, "HKEY_CURRENT_USER");
        const hivefile::Key reread = hivefile::LoadHive(saved, "HKEY_CURRENT_USER");
        if (!(reread == root) || hivefile::SaveHive(reread, "HKEY_CURRENT_USER") != saved) {
            std::abort();
        }
    } catch (const hivefile::ParseError&) {
    }
    return 0;
}
