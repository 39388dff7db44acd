// Metafile reader and player: any bytes are read as a WMF or EMF and, when they pass,
// drawn onto a small picture through the drawing adapter (text included).

#include "platform/metafileparse.h"
#include "platform/ui/metafile.h"

#include <QGuiApplication>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

// fontconfig keeps its caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QGuiApplication* app = new QGuiApplication(*argc, *argv);
    (void)app;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto mf = platform::Metafile::Read(std::string(reinterpret_cast<const char*>(data), size));
    if (!mf)
        return 0;
    // The picture's own size up to 128 pixels a side, so that one input stays quick.
    const int width = std::clamp(mf->Width(), 1, 128);
    const int height = std::clamp(mf->Height(), 1, 128);
    QImage picture = platform::NewPicture(width, height);
    platform::DrawMetafile(picture, *mf, {0, 0, width, height});
    return 0;
}
