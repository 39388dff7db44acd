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
    if (gif.FrameCount() > 0) {
        QImage picture = platform::NewPicture(gif.Width(), gif.Height());
        platform::Canvas canvas(picture);
        gif.CurrentImage().Draw(canvas, 0, 0);
    }
    return 0;
}
