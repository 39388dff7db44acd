// libFuzzer target: the GIF decoder over any bytes, then a draw of the first kept frame
// (the image control's path). Nothing may crash, leak or read outside its buffers.

#include "platform/ui/drawing.h"
#include "saver/gifimage.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (file == nullptr) {
        return 0;
    }
    GIFData gif;
    gif.Load(file, "fuzz.gif");
    std::fclose(file);
    // Drawing is the same code for every size; huge screens only slow the search down
    // (a 29-byte file may ask for a 7424 x 5380 picture).
    if (gif.FrameCount() > 0 && int(gif.Width()) * int(gif.Height()) <= (1 << 20)) {
        QImage picture = platform::NewPicture(gif.Width(), gif.Height());
        platform::Canvas canvas(picture);
        gif.CurrentImage().Draw(canvas, 0, 0);
    }
    return 0;
}
