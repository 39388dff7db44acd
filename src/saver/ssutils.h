#pragma once

// SSUtils: the saver's command line. It reads the screen-saver switch from the program's
// first argument (and the window number from the first or the second) into a mode and
// the parent window that the preview paints into.
//
// One object per process, made on first use by GetInstance and never freed. The
// arguments come from SetProgramArguments (the program's entry hands over its argv);
// until that is called they are read from /proc/self/cmdline. ParseSaverCommandLine is
// the same rule as a plain function of an argument list.
//
// The screen-saver hosts of X11 start the saver with switches of their own (see
// ParseSaverCommandLine); the original switches keep their meaning.
//
// Threads: the program's main thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum SaverMode : std::uint8_t {
    SaverModeNone = 0,    // "a": nothing is done
    SaverModePreview = 1, // "p" or "l": the preview into the parent window
    SaverModeConfig = 2,  // "c", and the default: the subscription dialog
    SaverModeRun = 3,     // "s": the full-screen saver
};

// A parent window: a native window number (an X11 window id here); 0 names no window.
using SaverWindowId = std::uint32_t;

struct SaverCommandLine {
    SaverMode mode = SaverModeConfig;
    SaverWindowId parentWindow = 0;
    // The run mode draws into a screen-saver host's window instead of a full-screen
    // window of its own; the host ends it (SIGTERM).
    bool inHost = false;
    // The host's window; 0 in a host: the screen's (virtual) root window.
    SaverWindowId hostWindow = 0;
    // Why the command line cannot be followed (a host switch without its window); empty
    // when it can.
    std::string error;

    bool operator==(const SaverCommandLine&) const = default;
};

// The environment variable in which a screen-saver host names the window it made.
inline constexpr const char* kHostWindowVariable = "XSCREENSAVER_WINDOW";

// The window number as written: decimal digits only, 1 to 4294967295 (an X11 window id
// is a 32-bit number). Anything else, such as "", "12ab", "-5", "0x1a" or a number past
// 32 bits, is no number: nullopt.
std::optional<SaverWindowId> ParseSaverWindowId(std::string_view text);

// The rule of the command line over args (args[0] is the first argument, not the
// program). The first argument, lower-cased, one or no character long: the dialog. One
// leading "/" or "-" is dropped; its first letter chooses the mode; the number follows
// "p:" in the same argument or is the second argument. A window number that is missing
// or is no number gives 0, no window: on this system there is no window to fall back on
// that the saver may paint into.
//
// The switches of the X screen-saver hosts come first, matched whole after lower-casing:
// "-root" (or "--root") runs in the window that hostWindowVariable names (the host's
// XSCREENSAVER_WINDOW), else in the root window; "-window-id N" or "--window-id N" runs
// in window N. Without any argument, a window in hostWindowVariable is a host's run too.
// Host window numbers are decimal or "0x" hexadecimal, as the hosts write them.
SaverCommandLine ParseSaverCommandLine(const std::vector<std::string>& args,
                                       std::optional<std::string_view> hostWindowVariable = {});

// A host's window number: decimal, or hexadecimal after "0x"/"0X"; 1 to 4294967295.
std::optional<SaverWindowId> ParseHostWindowId(std::string_view text);

class SSUtils {
public:
    // The one object, made on first use with parent window 0 and parsed once.
    static SSUtils* GetInstance();

    // Replaces the program's arguments (without the program name) that ParseCommandLine
    // reads. The entry calls it before GetInstance; tests call it to change the command
    // line.
    static void SetProgramArguments(std::vector<std::string> args);

    SSUtils(const SSUtils&) = delete;
    SSUtils& operator=(const SSUtils&) = delete;
    ~SSUtils() = default;

    // Parses the program's arguments into mode and parent window; calling it again gives
    // the same result for the same arguments.
    void ParseCommandLine();

    SaverMode Mode() const { return mode_; }
    SaverWindowId ParentWindow() const { return parentWindow_; }
    // The run mode in a screen-saver host's window (see SaverCommandLine).
    bool InHost() const { return inHost_; }
    SaverWindowId HostWindow() const { return hostWindow_; }
    const std::string& Error() const { return error_; }

private:
    SSUtils() = default;

    SaverMode mode_ = SaverModeConfig;
    SaverWindowId parentWindow_ = 0;
    bool inHost_ = false;
    SaverWindowId hostWindow_ = 0;
    std::string error_;
};
