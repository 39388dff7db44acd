#include "saver/cachereadlayout.h"

#include "common/cache.h"
#include "common/layoutfile.h"

namespace {

// Every check of a grade is made even after one failed (the `&` below never
// short-circuits), so a grade always looks at the whole layout.
bool IsPictureCached(const CacheReadLayout& grader, const LFxScreenImg* picture) {
    return picture != nullptr && grader.IsImageCached(picture->src, picture->serial);
}

// A button picture without a src is not used and needs nothing.
bool IsNamedPictureCached(const CacheReadLayout& grader, const std::string& src,
                          const std::string& serial) {
    return src.empty() || grader.IsImageCached(src, serial);
}

} // namespace

bool CacheReadLayout::IsImageCached(std::string_view src, std::string_view serial) const {
    return cache != nullptr && cache->Find(src, serial) != nullptr;
}

bool CacheReadLayout::IsTopLevelComplete() const {
    if (layout == nullptr) {
        return false;
    }
    bool complete = IsPictureCached(*this, layout->configbanner.get());
    complete &= IsPictureCached(*this, layout->splashscreen.get());
    complete &= IsPictureCached(*this, layout->preview.get());
    return complete;
}

bool CacheReadLayout::IsScreenComplete(const LFScreen& screen) const {
    bool complete = IsPictureCached(*this, screen.background.get());
    if (screen.clock == nullptr) {
        complete = false;
    } else if (!screen.clock->facesrc.empty()) {
        complete &= IsImageCached(screen.clock->facesrc, screen.clock->faceserial);
    }
    for (const LFScreenButton& button : screen.buttons) {
        for (const LFScreenButtonFace& face : button.faces) {
            complete &= IsNamedPictureCached(*this, face.defaultsrc, face.defaultserial);
            complete &= IsNamedPictureCached(*this, face.pressedsrc, face.pressedserial);
            complete &= IsNamedPictureCached(*this, face.hoversrc, face.hoverserial);
            complete &= IsNamedPictureCached(*this, face.disabledsrc, face.disabledserial);
        }
    }
    return complete;
}

bool CacheReadLayout::IsSizeComplete(int width, int height) const {
    if (layout == nullptr) {
        return false;
    }
    bool complete = true;
    for (const LFScreen& screen : layout->screens) {
        if (screen.width == width && screen.height == height) {
            complete &= IsScreenComplete(screen);
        }
    }
    return complete;
}

bool CacheReadLayout::IsComplete() const {
    if (layout == nullptr) {
        return false;
    }
    bool complete = IsTopLevelComplete();
    for (const LFScreen& screen : layout->screens) {
        complete &= IsScreenComplete(screen);
    }
    return complete;
}

bool CacheReadLayout::IsHalfComplete() const {
    bool complete = IsTopLevelComplete();
    complete &= IsSizeComplete(1024, 768);
    complete &= IsSizeComplete(800, 600);
    return complete;
}
