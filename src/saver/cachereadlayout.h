#pragma once

// CacheReadLayout grades one parsed layout version against one cache index: complete
// when the pictures outside the screen and those of every screen entry are cached, half
// complete when the pictures outside the screen and those of the 1024 x 768 and
// 800 x 600 entries are. The saver's main form grades each cached layout version with it
// to choose the one it shows.
//
// Holds two references, neither owned: its user sets `layout` and `cache`, may swap
// `layout` between tests, and keeps both alive while it tests. No test reports an error:
// a missing picture element and a missing index count as pictures that are not cached.
// Logic over the models only (no Qt). Threads: used by the thread that owns the layout.

#include <string_view>

class CC;
class LF;
struct LFScreen;

class CacheReadLayout {
public:
    const LF* layout = nullptr;
    const CC* cache = nullptr;

    // The pictures outside the screen and every screen entry are cached.
    bool IsComplete() const;
    // The pictures outside the screen and every 1024 x 768 and 800 x 600 entry are
    // cached.
    bool IsHalfComplete() const;

    // The steps of the two grades.
    // Banner, splash screen and preview: each present and cached.
    bool IsTopLevelComplete() const;
    // Every screen entry of that design size (any context) is complete; true when there
    // is none; false without a layout.
    bool IsSizeComplete(int width, int height) const;
    // Background present and cached, clock present with its face cached (an empty face
    // needs nothing), every named picture of every button face cached.
    bool IsScreenComplete(const LFScreen& screen) const;
    // The index holds the key at that serial (an empty serial: any version).
    bool IsImageCached(std::string_view src, std::string_view serial) const;
};
