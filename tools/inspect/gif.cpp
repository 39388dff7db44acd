// tolvar-inspect gif FILE: what the GIF decoder made of a file, as JSON.

#include "command.h"
#include "json.h"
#include "saver/gifimage.h"

#include <iostream>

namespace {

int Run(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        throw inspect::UsageError{"expected one GIF file"};
    }
    GIFData gif;
    const bool complete = gif.Load(args[0]);
    inspect::JsonWriter json(std::cout);
    json.BeginObject();
    json.Field("file", args[0]);
    json.Field("complete", complete);
    json.Key("error");
    if (complete) {
        json.Null();
    } else {
        json.String(gif.ErrorText());
    }
    json.Field("width", unsigned(gif.Width()));
    json.Field("height", unsigned(gif.Height()));
    json.Field("colourBits", unsigned(gif.ColourBits()));
    json.Field("globalColours", unsigned(gif.GlobalColourCount()));
    json.Field("backgroundIndex", unsigned(gif.BackgroundColourIndex()));
    json.Key("frames").BeginArray();
    for (std::size_t i = 0; i < gif.FrameCount(); ++i) {
        const GIFImage& f = gif.Frame(i);
        json.BeginObject()
            .Field("left", unsigned(f.Left()))
            .Field("top", unsigned(f.Top()))
            .Field("width", unsigned(f.FrameWidth()))
            .Field("height", unsigned(f.FrameHeight()))
            .Field("delay", long(f.Delay()))
            .Field("disposal", f.DisposalMethod())
            .Field("transparentIndex", f.TransparentIndex())
            .Field("interlaced", f.Interlaced())
            .Field("pixelDepth", unsigned(f.PixelDepth()))
            .Field("colours", unsigned(f.ColourCount()))
            .EndObject();
    }
    json.EndArray().EndObject();
    json.Finish();
    return complete || gif.FrameCount() > 0 ? 0 : 1;
}

const inspect::Command command("gif", "FILE",
                               "prints the GIF decoder's result as JSON: the logical screen, the "
                               "kept frames (position, size, delay, disposal, transparent index) "
                               "and the error text (exit 1 when no frame was decoded)",
                               Run);

} // namespace
