#include "saver/gifimage.h"

#include <QPalette>
#include <QWidget>
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr std::uint32_t kMaxScreenSide = 8192;
constexpr std::uint64_t kMaxFramePixels = 8192ull * 8192ull;
constexpr std::size_t kMaxBitmapBytes = std::size_t{256} * 1024 * 1024;
constexpr std::size_t kMaxFrameOverheadBytes = std::size_t{64} * 1024 * 1024;
constexpr int kTableSize = 4096;
constexpr int kStackSize = 4100;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

std::uint8_t ReadByte(std::FILE* file) {
    std::uint8_t b = 0;
    SafeRead(&b, 1, 1, file);
    return b;
}

std::uint16_t Word(const std::uint8_t* p) {
    return std::uint16_t(p[0] | (p[1] << 8));
}

void SkipSubBlocks(std::FILE* file) {
    std::uint8_t block[255];
    for (std::uint8_t size = ReadByte(file); size != 0; size = ReadByte(file)) {
        SafeRead(block, 1, size, file);
    }
}

int DepthFor(std::uint8_t colourBits) {
    return colourBits == 1 ? 1 : colourBits <= 4 ? 4 : 8;
}

std::uint8_t BitsForCount(unsigned count) {
    std::uint8_t bits = 2;
    while (bits < 8 && (1u << bits) < count) {
        ++bits;
    }
    return bits;
}

} // namespace

void SafeRead(void* buffer, std::size_t size, std::size_t count, std::FILE* file) {
    if (count == 0) {
        return;
    }
    if (std::fread(buffer, size, count, file) != count) {
        throw ExceptionMessage(std::feof(file) ? "Unexpected end-of-file in SafeRead"
                                               : "Failed to read data in SafeRead");
    }
}

// ---------------------------------------------------------------------------------------
// GIFImage

void GIFImage::SetColourBits(std::uint8_t bits) {
    colourBits_ = bits;
    pixelDepth_ = std::uint8_t(DepthFor(bits));
    const std::size_t rowBytes = (std::size_t(canvasWidth_) * pixelDepth_ + 7) / 8;
    rowStride_ = int((rowBytes + 3) & ~std::size_t(3));
    try {
        colourTable_.assign(std::size_t(3) << bits, 0);
    } catch (const std::bad_alloc&) {
        throw ExceptionMessage("Could not allocate memory for color table in GIFImage ctor");
    }
}

void GIFImage::SetBackgroundIndex(const GIFData& owner, bool firstFrame) {
    const platform::Color bg = owner.backgroundColour_;
    if (transparentIndex_ >= 0 && firstFrame && transparentIndex_ < colourCount_) {
        std::uint8_t* entry = &colourTable_[std::size_t(transparentIndex_) * 3];
        entry[0] = platform::RedOf(bg);
        entry[1] = platform::GreenOf(bg);
        entry[2] = platform::BlueOf(bg);
    }
    backgroundIndex_ = owner.backgroundColourIndex_;
    for (int i = 0; i < colourCount_; ++i) {
        const std::uint8_t* e = &colourTable_[std::size_t(i) * 3];
        if (e[0] == platform::RedOf(bg) && e[1] == platform::GreenOf(bg) &&
            e[2] == platform::BlueOf(bg)) {
            backgroundIndex_ = i;
            break;
        }
    }
}

void GIFImage::CreateBitmap(std::size_t bitmapBytesSoFar) {
    if (canvasWidth_ == 0 || canvasHeight_ == 0) {
        throw ExceptionMessage("Failed to create the bitmap handle");
    }
    const std::size_t bytes = std::size_t(rowStride_) * canvasHeight_;
    if (bytes > kMaxBitmapBytes - std::min(bitmapBytesSoFar, kMaxBitmapBytes)) {
        throw ExceptionMessage("Memory allocation error");
    }
    try {
        bits_.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
        throw ExceptionMessage("Could not allocate memory for bitmap in GIFImage ctor");
    }
}

std::uint8_t GIFImage::IndexAt(std::uint32_t x, std::uint32_t y) const {
    if (x >= canvasWidth_ || y >= canvasHeight_ || bits_.empty()) {
        return 0;
    }
    const std::uint8_t* row = bits_.data() + std::size_t(canvasHeight_ - 1 - y) * rowStride_;
    switch (pixelDepth_) {
    case 1:
        return (row[x >> 3] >> (7 - (x & 7))) & 1;
    case 4:
        return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
    default:
        return row[x];
    }
}

void GIFImage::UnpackBits(std::vector<std::uint8_t>& canvas) const {
    for (std::uint32_t y = 0; y < canvasHeight_; ++y) {
        const std::uint8_t* row = bits_.data() + std::size_t(canvasHeight_ - 1 - y) * rowStride_;
        std::uint8_t* out = canvas.data() + std::size_t(y) * canvasWidth_;
        switch (pixelDepth_) {
        case 1:
            for (std::uint32_t x = 0; x < canvasWidth_; ++x) {
                out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
            }
            break;
        case 4:
            for (std::uint32_t x = 0; x < canvasWidth_; ++x) {
                out[x] = (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
            }
            break;
        default:
            std::memcpy(out, row, canvasWidth_);
            break;
        }
    }
}

void GIFImage::PackBits(const std::vector<std::uint8_t>& canvas) {
    // Indices wider than the depth keep their low bits, so a pixel never spills into its
    // neighbour.
    for (std::uint32_t y = 0; y < canvasHeight_; ++y) {
        const std::uint8_t* in = canvas.data() + std::size_t(y) * canvasWidth_;
        std::uint8_t* row = bits_.data() + std::size_t(canvasHeight_ - 1 - y) * rowStride_;
        switch (pixelDepth_) {
        case 1:
            for (std::uint32_t x = 0; x < canvasWidth_; x += 8) {
                std::uint8_t b = 0;
                for (std::uint32_t k = 0; k < 8 && x + k < canvasWidth_; ++k) {
                    b |= std::uint8_t((in[x + k] & 1) << (7 - k));
                }
                row[x >> 3] = b;
            }
            break;
        case 4:
            for (std::uint32_t x = 0; x < canvasWidth_; x += 2) {
                const std::uint8_t second = x + 1 < canvasWidth_ ? (in[x + 1] & 0x0F) : 0;
                row[x >> 1] = std::uint8_t(((in[x] & 0x0F) << 4) | second);
            }
            break;
        default:
            std::memcpy(row, in, canvasWidth_);
            break;
        }
    }
}

namespace {

// The LZW decoder of one frame's image data: codes read from the data sub-blocks, each
// expanded through the string table onto a stack that is emptied into the output.
class LzwDecoder {
public:
    LzwDecoder(std::FILE* file, int minCodeSize) : file_(file), minCodeSize_(minCodeSize) {
        if (minCodeSize >= 12) {
            // The clear and end codes would not fit the 4096-entry table.
            throw ExceptionMessage("Corrupt GIF image");
        }
        clear_ = 1 << minCodeSize;
        end_ = clear_ + 1;
        for (int i = 0; i < clear_; ++i) {
            suffix_[std::size_t(i)] = std::uint8_t(i);
        }
        Reset();
    }

    // Decodes up to wanted pixels into out; fewer when the data ends first.
    std::size_t Decode(std::uint8_t* out, std::size_t wanted) {
        std::size_t written = 0;
        while (written < wanted) {
            if (sp_ > 0) {
                const std::size_t n = std::min<std::size_t>(std::size_t(sp_), wanted - written);
                for (std::size_t i = 0; i < n; ++i) {
                    out[written++] = stack_[std::size_t(--sp_)];
                }
                continue;
            }
            const int code = NextCode();
            if (code < 0 || code > nextFree_ || code == end_) {
                break;
            }
            if (code == clear_) {
                Reset();
            } else if (previous_ < 0) {
                StartString(code);
            } else {
                ExpandCode(code);
            }
        }
        return written;
    }

    // Whether the data ended on its terminator, which is then read already.
    bool EndedOnTerminator() const { return blockSize_ == 0; }

private:
    void Reset() {
        codeSize_ = minCodeSize_ + 1;
        mask_ = (1 << codeSize_) - 1;
        nextFree_ = clear_ + 2;
        previous_ = -1;
    }

    // The next code of the data, or -1 when its sub-blocks end.
    int NextCode() {
        while (bitCount_ < codeSize_) {
            if (blockPos_ == blockSize_) {
                blockSize_ = ReadByte(file_);
                blockPos_ = 0;
                if (blockSize_ == 0) {
                    return -1;
                }
                SafeRead(block_.data(), 1, blockSize_, file_);
            }
            bitBuffer_ |= std::uint32_t(block_[blockPos_++]) << bitCount_;
            bitCount_ += 8;
        }
        const int code = int(bitBuffer_ & std::uint32_t(mask_));
        bitBuffer_ >>= codeSize_;
        bitCount_ -= codeSize_;
        return code;
    }

    // The first code after a clear: only a plain byte can start a string; any other
    // code refers to an entry that does not exist yet.
    void StartString(int code) {
        if (code >= clear_) {
            throw ExceptionMessage("Corrupt GIF image");
        }
        stack_[std::size_t(sp_++)] = suffix_[std::size_t(code)];
        previous_ = code;
        firstByte_ = suffix_[std::size_t(code)];
    }

    // Puts the string of code on the stack (last byte first) and adds the entry of the
    // previous string and this one's first byte.
    void ExpandCode(int code) {
        const int incoming = code;
        if (code == nextFree_) {
            stack_[std::size_t(sp_++)] = std::uint8_t(firstByte_);
            code = previous_;
        }
        while (code >= clear_) {
            // Each entry's prefix is an older entry, so this ends within the table's
            // size; the check keeps a broken table from overrunning the stack.
            if (sp_ >= kStackSize - 1) {
                throw ExceptionMessage("Corrupt GIF image");
            }
            stack_[std::size_t(sp_++)] = suffix_[std::size_t(code)];
            code = prefix_[std::size_t(code)];
        }
        firstByte_ = suffix_[std::size_t(code)];
        stack_[std::size_t(sp_++)] = std::uint8_t(firstByte_);
        if (nextFree_ < kTableSize) {
            prefix_[std::size_t(nextFree_)] = std::uint16_t(previous_);
            suffix_[std::size_t(nextFree_)] = std::uint8_t(firstByte_);
            ++nextFree_;
            if ((nextFree_ & mask_) == 0 && nextFree_ < kTableSize) {
                ++codeSize_;
                mask_ += nextFree_;
            }
        }
        // A full table keeps its 12-bit codes and gains no entries until a clear code.
        previous_ = incoming;
    }

    std::FILE* file_;
    int minCodeSize_;
    int clear_ = 0;
    int end_ = 0;
    std::array<std::uint16_t, kTableSize> prefix_{};
    std::array<std::uint8_t, kTableSize> suffix_{};
    std::array<std::uint8_t, kStackSize> stack_;
    std::array<std::uint8_t, 255> block_;
    int codeSize_ = 0;
    int mask_ = 0;
    int nextFree_ = 0;
    int previous_ = -1;
    int firstByte_ = 0;
    int sp_ = 0;
    std::uint32_t bitBuffer_ = 0;
    int bitCount_ = 0;
    std::size_t blockSize_ = 0;
    std::size_t blockPos_ = 0;
};

} // namespace

void GIFImage::ReadBits(std::FILE* file, const GIFData& owner) {
    const std::uint64_t total = std::uint64_t(frameWidth_) * frameHeight_;
    if (total > kMaxFramePixels) {
        throw ExceptionMessage("Memory Allocation Error in ReadBits");
    }
    // The frame's and the canvas's scratch buffers are the loader's, reused frame after
    // frame: a fresh zeroed allocation of both for each frame cost more than the decoding.
    std::vector<std::uint8_t>& pixels = owner.pixelScratch_;
    try {
        pixels.resize(std::size_t(total));
    } catch (const std::bad_alloc&) {
        throw ExceptionMessage("Memory Allocation Error in ReadBits");
    }
    LzwDecoder decoder(file, ReadByte(file));
    if (decoder.Decode(pixels.data(), pixels.size()) < pixels.size()) {
        throw ExceptionMessage("Corrupt GIF image");
    }

    const std::vector<std::uint32_t> rowOf = DisplayRows();
    if (owner.observer_) {
        std::vector<std::uint8_t> raster(pixels.size());
        for (std::uint32_t n = 0; n < frameHeight_; ++n) {
            std::memcpy(raster.data() + std::size_t(rowOf[n]) * frameWidth_,
                        pixels.data() + std::size_t(n) * frameWidth_, frameWidth_);
        }
        owner.observer_(owner.frames_.size(), *this, raster);
    }

    // Composition on colour indices, top row first.
    std::vector<std::uint8_t>& canvas = owner.canvasScratch_;
    try {
        canvas.resize(std::size_t(canvasWidth_) * canvasHeight_);
    } catch (const std::bad_alloc&) {
        throw ExceptionMessage("Memory allocation error");
    }
    ComposeBase(owner, canvas);
    ComposeFrame(pixels, rowOf, canvas);
    PackBits(canvas);

    // After the last pixel, what is left of the data (such as a block that holds only
    // the end code) is skipped up to the terminator. A stream that ended on its
    // terminator has read it already.
    if (!decoder.EndedOnTerminator() || total == 0) {
        SkipSubBlocks(file);
    }
}

std::vector<std::uint32_t> GIFImage::DisplayRows() const {
    // Interlace: the n-th stored row goes to the n-th row of the four passes.
    std::vector<std::uint32_t> rowOf(frameHeight_);
    if (interlaced_) {
        static constexpr std::uint32_t starts[] = {0, 4, 2, 1};
        static constexpr std::uint32_t steps[] = {8, 8, 4, 2};
        std::size_t n = 0;
        for (int pass = 0; pass < 4; ++pass) {
            for (std::uint32_t r = starts[pass]; r < frameHeight_; r += steps[pass]) {
                rowOf[n++] = r;
            }
        }
    } else {
        for (std::uint32_t r = 0; r < frameHeight_; ++r) {
            rowOf[r] = r;
        }
    }
    return rowOf;
}

void GIFImage::ComposeBase(const GIFData& owner, std::vector<std::uint8_t>& canvas) const {
    // Every byte is written here: the base frame or the background.
    const GIFImage* base = nullptr;
    for (auto it = owner.frames_.rbegin(); it != owner.frames_.rend(); ++it) {
        if (it->disposalMethod_ != 3) {
            base = &*it;
            break;
        }
    }
    const std::uint8_t background = std::uint8_t(backgroundIndex_);
    if (base == nullptr) {
        // No earlier frame, or only ones to be restored to what was before them.
        std::memset(canvas.data(), background, canvas.size());
        return;
    }
    base->UnpackBits(canvas);
    if (base->disposalMethod_ == 2) {
        const std::uint32_t x0 = std::min<std::uint32_t>(base->left_, canvasWidth_);
        const std::uint32_t y0 = std::min<std::uint32_t>(base->top_, canvasHeight_);
        const std::uint32_t x1 = std::min<std::uint32_t>(x0 + base->frameWidth_, canvasWidth_);
        const std::uint32_t y1 = std::min<std::uint32_t>(y0 + base->frameHeight_, canvasHeight_);
        for (std::uint32_t y = y0; y < y1; ++y) {
            std::memset(canvas.data() + std::size_t(y) * canvasWidth_ + x0, background, x1 - x0);
        }
    }
}

void GIFImage::ComposeFrame(const std::vector<std::uint8_t>& pixels,
                            const std::vector<std::uint32_t>& rowOf,
                            std::vector<std::uint8_t>& canvas) const {
    // The frame is clipped to the logical screen.
    const std::uint32_t visibleWidth =
        left_ < canvasWidth_ ? std::min(frameWidth_, canvasWidth_ - left_) : 0;
    for (std::uint32_t n = 0; n < frameHeight_ && visibleWidth > 0; ++n) {
        const std::uint32_t y = std::uint32_t(top_) + rowOf[n];
        if (y >= canvasHeight_) {
            continue;
        }
        const std::uint8_t* in = pixels.data() + std::size_t(n) * frameWidth_;
        std::uint8_t* dst = canvas.data() + std::size_t(y) * canvasWidth_ + left_;
        if (transparentIndex_ < 0) {
            std::memcpy(dst, in, visibleWidth);
            continue;
        }
        const std::uint8_t t = std::uint8_t(transparentIndex_);
        for (std::uint32_t x = 0; x < visibleWidth; ++x) {
            if (in[x] != t) {
                dst[x] = in[x];
            }
        }
    }
}

bool GIFImage::Draw(platform::Canvas& canvas, int x, int y) const {
    if (bits_.empty()) {
        return false;
    }
    std::vector<platform::Color> palette(colourCount_);
    for (std::size_t i = 0; i < palette.size(); ++i) {
        palette[i] =
            platform::Rgb(colourTable_[3 * i], colourTable_[3 * i + 1], colourTable_[3 * i + 2]);
    }
    platform::Dib dib;
    dib.width = int(canvasWidth_);
    dib.height = int(canvasHeight_);
    dib.bitCount = pixelDepth_;
    dib.palette = palette;
    dib.bits = bits_;
    dib.stride = rowStride_;
    return canvas.DrawDib(platform::Point{x, y}, dib);
}

// ---------------------------------------------------------------------------------------
// GIFData

GIFData::GIFData(const QWidget* window) {
    if (window != nullptr) {
        backgroundColour_ = platform::FromQRgb(window->palette().color(QPalette::Window).rgb());
    }
}

bool GIFData::Load(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error_ = "Could not open " + path;
        return false;
    }
    // Sub-blocks are read one by one; a large buffer keeps that to few system calls.
    std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 16);
    return Load(file.get(), path);
}

bool GIFData::Load(std::FILE* file, const std::string& name) {
    error_.clear();
    bool loaded = false;
    try {
        LoadStream(file, name);
        loaded = true;
    } catch (const ExceptionMessage& e) {
        error_ = e.what();
    } catch (const std::exception& e) {
        error_ = e.what();
    }
    return loaded;
}

void GIFData::LoadStream(std::FILE* file, const std::string& name) {
    char signature[4] = {};
    SafeRead(signature, 1, 3, file);
    if (std::memcmp(signature, "GIF", 3) != 0) {
        throw ExceptionMessage(name + " is not a GIF file");
    }
    char version[3];
    SafeRead(version, 1, 3, file);

    std::uint8_t screen[7];
    SafeRead(screen, 7, 1, file);
    width_ = Word(screen);
    height_ = Word(screen + 2);
    const std::uint8_t packed = screen[4];
    colourBits_ = std::uint8_t(((packed >> 4) & 7) + 1);
    if (packed & 0x80) {
        globalColourCount_ = std::uint16_t(1u << ((packed & 7) + 1));
        try {
            globalColourTable_.assign(std::size_t(globalColourCount_) * 3, 0);
        } catch (const std::bad_alloc&) {
            throw ExceptionMessage("Could not allocate memory for color table");
        }
        SafeRead(globalColourTable_.data(), 3, globalColourCount_, file);
        backgroundColourIndex_ = screen[5];
    } else {
        globalColourCount_ = 0;
        backgroundColourIndex_ = 255;
    }
    if ((1u << colourBits_) < globalColourCount_) {
        colourBits_ = BitsForCount(globalColourCount_);
    }

    for (;;) {
        const std::uint8_t introducer = ReadByte(file);
        if (introducer == 0x21) {
            ReadExtension(file);
        } else if (introducer == 0x2C) {
            ReadImage(file);
        } else if (introducer == 0x3B) {
            break;
        } else {
            throw ExceptionMessage("Unknown instruction");
        }
    }
    DropZeroDelayFrames();
}

void GIFData::ReadExtension(std::FILE* file) {
    const std::uint8_t label = ReadByte(file);
    switch (label) {
    case 0xF9: {
        std::uint8_t gce[6];
        SafeRead(gce, 6, 1, file);
        pending_ = true;
        pendingTransparent_ = (gce[1] & 1) != 0;
        if (pendingTransparent_) {
            pendingTransparentIndex_ = gce[4];
        }
        pendingDelay_ = 10 * std::int32_t(Word(gce + 2));
        pendingDisposal_ = (gce[1] >> 2) & 7;
        break;
    }
    case 0xFE:
        SkipSubBlocks(file);
        break;
    case 0x01: {
        std::uint8_t header[13];
        SafeRead(header, 13, 1, file);
        SkipSubBlocks(file);
        break;
    }
    case 0xFF: {
        std::uint8_t header[12];
        SafeRead(header, 12, 1, file);
        SkipSubBlocks(file);
        break;
    }
    default:
        throw ExceptionMessage("Unknown Extension");
    }
}

void GIFData::ReadImage(std::FILE* file) {
    std::uint8_t descriptor[9];
    SafeRead(descriptor, 9, 1, file);
    if (width_ > kMaxScreenSide || height_ > kMaxScreenSide) {
        throw ExceptionMessage("Memory allocation error");
    }
    GIFImage frame;
    frame.left_ = Word(descriptor);
    frame.top_ = Word(descriptor + 2);
    frame.frameWidth_ = Word(descriptor + 4);
    frame.frameHeight_ = Word(descriptor + 6);
    const std::uint8_t packed = descriptor[8];
    frame.canvasWidth_ = width_;
    frame.canvasHeight_ = height_;
    frame.interlaced_ = (packed & 0x40) != 0;
    if (pending_) {
        frame.delay_ = pendingDelay_;
        frame.disposalMethod_ = pendingDisposal_;
        frame.transparentIndex_ = pendingTransparent_ ? pendingTransparentIndex_ : -1;
    }

    if (packed & 0x80) {
        const std::uint8_t localBits = std::uint8_t((packed & 7) + 1);
        // A local table larger than the frame's colour bits widens the frame to hold it.
        frame.SetColourBits(std::max(colourBits_, localBits));
        frame.colourCount_ = std::uint16_t(1u << localBits);
        SafeRead(frame.colourTable_.data(), 3, frame.colourCount_, file);
    } else {
        frame.SetColourBits(colourBits_);
        frame.colourCount_ = globalColourCount_;
        std::copy(globalColourTable_.begin(), globalColourTable_.end(), frame.colourTable_.begin());
    }

    frame.SetBackgroundIndex(*this, frames_.empty());
    // A running total: a file of many small frames must not cost a walk over all the
    // frames before each one.
    // Besides its bitmap each frame keeps a colour table and its bookkeeping: a file of
    // tiny frames would otherwise cost some sixty times its own size in memory.
    const std::size_t overhead = frame.colourTable_.size() + sizeof(GIFImage);
    if (overhead > kMaxFrameOverheadBytes - std::min(overheadBytes_, kMaxFrameOverheadBytes)) {
        throw ExceptionMessage("Memory allocation error");
    }
    frame.CreateBitmap(bitmapBytes_);
    frame.ReadBits(file, *this);
    bitmapBytes_ += frame.bits_.size();
    overheadBytes_ += overhead;
    frames_.push_back(std::move(frame));
    pending_ = false;
}

void GIFData::DropZeroDelayFrames() {
    // Removing zero-delay frames from the front until one frame is left ends the same
    // way in one pass: every frame with a delay stays, or, when none has one, the last.
    // Erasing one by one would cost a move of the whole list per dropped frame.
    const bool anyDelay = std::any_of(frames_.begin(), frames_.end(),
                                      [](const GIFImage& f) { return f.delay_ != 0; });
    if (!anyDelay) {
        if (frames_.size() > 1) {
            frames_.erase(frames_.begin(), frames_.end() - 1);
        }
        return;
    }
    frames_.erase(std::remove_if(frames_.begin(), frames_.end(),
                                 [](const GIFImage& f) { return f.delay_ == 0; }),
                  frames_.end());
}
