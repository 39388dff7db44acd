// libFuzzer target: the bitmap and JPEG readers. The first byte chooses: even, the BMP
// reader; odd, the JPEG decoder at divisor (byte >> 1) (1, 2, 4, 8 scale; others full).

#include "platform/ui/pictures.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::uint8_t selector = data[0];
    ++data;
    --size;
    if ((selector & 1) == 0) {
        platform::DecodeBitmap(
            QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
        return 0;
    }
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (file == nullptr) {
        return 0;
    }
    platform::DecodeJpeg(file, selector >> 1);
    std::fclose(file);
    return 0;
}
