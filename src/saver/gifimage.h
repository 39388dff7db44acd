#pragma once

// The GIF decoder: reads a whole GIF file at once into frames that each hold the composed
// logical screen as a packed bitmap (1, 4 or 8 bits per pixel, bottom row first), so any
// frame can be copied onto a picture on its own. The image control is its only user: it
// makes a GIFData, loads a file, draws the first kept frame and frees the decoder.
//
// Limits that keep any file from exhausting memory: a logical screen of at most
// 8192 x 8192, a frame of at most 8192 x 8192 pixels, at most 256 MB of frame bitmaps
// and 64 MB of the frames' colour tables and bookkeeping in one file; no buffer is
// allocated before its size is checked.
//
// Threads: a GIFData and its frames belong to the thread that made them.

#include "platform/ui/drawing.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

class QWidget;

// The one failure type of the decoder; Load catches it, so its text is never shown.
class ExceptionMessage : public std::runtime_error {
public:
    explicit ExceptionMessage(const std::string& text) : std::runtime_error(text) {}
};

// Reads count items of size bytes from file; throws ExceptionMessage unless all arrived.
void SafeRead(void* buffer, std::size_t size, std::size_t count, std::FILE* file);

class GIFData;

// One frame: the composed logical screen at the frame's pixel depth, with its own colour
// table. A copy owns its own table and bitmap.
class GIFImage {
public:
    // Blits the whole frame bitmap at x, y with a plain copy; false without a bitmap.
    bool Draw(platform::Canvas& canvas, int x, int y) const;

    int RowStride() const { return rowStride_; }
    std::uint32_t FrameWidth() const { return frameWidth_; }
    std::uint32_t FrameHeight() const { return frameHeight_; }
    std::uint32_t CanvasWidth() const { return canvasWidth_; }
    std::uint32_t CanvasHeight() const { return canvasHeight_; }
    std::uint16_t Left() const { return left_; }
    std::uint16_t Top() const { return top_; }
    std::uint8_t ColourBits() const { return colourBits_; }
    std::uint8_t PixelDepth() const { return pixelDepth_; }
    std::uint16_t ColourCount() const { return colourCount_; }
    // Red, green, blue per entry; room for 2 to the power of ColourBits entries.
    const std::vector<std::uint8_t>& ColourTable() const { return colourTable_; }
    bool Interlaced() const { return interlaced_; }
    int TransparentIndex() const { return transparentIndex_; }
    int BackgroundIndex() const { return backgroundIndex_; }
    // Milliseconds; ten times the file's value, kept whole.
    std::int32_t Delay() const { return delay_; }
    int DisposalMethod() const { return disposalMethod_; }
    // The packed pixels, bottom row first, RowStride() bytes per row.
    const std::vector<std::uint8_t>& Bits() const { return bits_; }
    // The colour index of a canvas pixel (x, y from the top left).
    std::uint8_t IndexAt(std::uint32_t x, std::uint32_t y) const;

private:
    friend class GIFData;
    GIFImage() = default;

    void SetColourBits(std::uint8_t bits);
    void SetBackgroundIndex(const GIFData& owner, bool firstFrame);
    void CreateBitmap(std::size_t bitmapBytesSoFar);
    // Decodes the frame's image data and composes it over what the earlier frames leave.
    void ReadBits(std::FILE* file, const GIFData& owner);
    // The display row of each stored row (the passes of an interlaced frame).
    std::vector<std::uint32_t> DisplayRows() const;
    // Fills the canvas with what lies under this frame: the last frame not to be
    // restored (its own area cleared when it is to be), else the background.
    void ComposeBase(const GIFData& owner, std::vector<std::uint8_t>& canvas) const;
    // Copies the frame's pixels (stored rows) onto the canvas, clipped, but for the
    // transparent index.
    void ComposeFrame(const std::vector<std::uint8_t>& pixels,
                      const std::vector<std::uint32_t>& rowOf,
                      std::vector<std::uint8_t>& canvas) const;
    void UnpackBits(std::vector<std::uint8_t>& canvas) const;
    void PackBits(const std::vector<std::uint8_t>& canvas);

    int rowStride_ = 0;
    std::uint32_t frameHeight_ = 0;
    std::uint32_t frameWidth_ = 0;
    std::uint32_t canvasHeight_ = 0;
    std::uint32_t canvasWidth_ = 0;
    std::uint16_t left_ = 0;
    std::uint16_t top_ = 0;
    std::uint8_t colourBits_ = 0;
    std::uint8_t pixelDepth_ = 0;
    std::uint16_t colourCount_ = 0;
    std::vector<std::uint8_t> colourTable_;
    bool interlaced_ = false;
    std::vector<std::uint8_t> bits_;
    int transparentIndex_ = -1;
    int backgroundIndex_ = -1;
    std::int32_t delay_ = 0;
    int disposalMethod_ = 0;
};

// A decoded GIF file: logical screen, global colour table and the kept frames.
class GIFData {
public:
    // The background colour is the window's; white (a screen's) without one.
    explicit GIFData(const QWidget* window = nullptr);
    GIFData(const GIFData&) = delete;
    GIFData& operator=(const GIFData&) = delete;
    ~GIFData() = default;

    // Reads the whole file; true when all of it was read. On failure the frames completed
    // before it stay; zero-delay frames are dropped only after a complete read.
    bool Load(const std::string& path);
    // The same from an open stream (tests and fuzzing read from memory); name stands in
    // the failure texts. The stream is not closed.
    bool Load(std::FILE* file, const std::string& name);
    // The failure text of the last Load; empty after a complete read.
    const std::string& ErrorText() const { return error_; }

    std::uint16_t Width() const { return width_; }
    std::uint16_t Height() const { return height_; }
    // Callers ask only when FrameCount() > 0.
    const GIFImage& CurrentImage() const { return frames_[currentFrame_]; }
    std::size_t FrameCount() const { return frames_.size(); }
    const GIFImage& Frame(std::size_t i) const { return frames_[i]; }
    std::uint8_t ColourBits() const { return colourBits_; }
    std::uint16_t GlobalColourCount() const { return globalColourCount_; }
    std::uint8_t BackgroundColourIndex() const { return backgroundColourIndex_; }
    platform::Color BackgroundColour() const { return backgroundColour_; }

    // Called for each frame after its pixels are decoded and put in display order, before
    // composition (frame index, frame, frame width x height indices). For tests.
    using RasterObserver =
        std::function<void(std::size_t, const GIFImage&, std::span<const std::uint8_t>)>;
    void SetRasterObserver(RasterObserver observer) { observer_ = std::move(observer); }

private:
    friend class GIFImage;

    void LoadStream(std::FILE* file, const std::string& name);
    void ReadExtension(std::FILE* file);
    void ReadImage(std::FILE* file);
    void DropZeroDelayFrames();

    std::uint16_t height_ = 0;
    std::uint16_t width_ = 0;
    std::uint8_t colourBits_ = 0;
    std::uint16_t globalColourCount_ = 0;
    std::vector<std::uint8_t> globalColourTable_;
    std::size_t currentFrame_ = 0;
    std::uint8_t backgroundColourIndex_ = 255;
    std::vector<GIFImage> frames_;
    std::size_t bitmapBytes_ = 0;   // the frames' bitmaps together
    std::size_t overheadBytes_ = 0; // their colour tables and bookkeeping together
    bool pending_ = false;
    std::uint8_t pendingTransparentIndex_ = 0;
    bool pendingTransparent_ = false;
    std::int32_t pendingDelay_ = 0;
    int pendingDisposal_ = 0;
    platform::Color backgroundColour_ = platform::kWhite;
    std::string error_;
    RasterObserver observer_;
    // Scratch buffers of one frame's decoding, kept between frames and loads (one Load at
    // a time; at most one frame and one canvas of the largest picture loaded).
    mutable std::vector<std::uint8_t> pixelScratch_;
    mutable std::vector<std::uint8_t> canvasScratch_;
};
