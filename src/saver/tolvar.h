#pragma once

// Tolvar's start: the command line chooses one of four modes (ssutils.h). The preview
// paints the current provider's preview picture into the window that the command line
// names and ends; every other mode first claims the saver's single-instance guard (exit
// code 4 when another instance holds it), then sets up the Qt application and runs the
// mode's main form: the subscription dialog (configure) or the full-screen form (run);
// "a" has no form. The run mode of a screen-saver host draws into the host's window.
// A refused second start brings this one's dialog or screen to the front.
//
// The forms are entered through one function per mode, RunConfigForm and
// RunSvrMainForm, which create the form and run the application's loop until it closes.
//
// Threads: the program's main thread (the thread of the process's message bus and of the
// Qt application), before any other thread exists.

#include "saver/ssutils.h"

#include <QImage>
#include <functional>

// Exit codes of the program.
inline constexpr int kSaverExitOk = 0;
inline constexpr int kSaverExitAlreadyRunning = 4;
// Qt could not start: there is no display to show a form on.
inline constexpr int kSaverExitNoDisplay = 1;
// A host switch without its window number.
inline constexpr int kSaverExitBadArguments = 2;
// The host's window cannot be drawn into (no X11 platform, no such window).
inline constexpr int kSaverExitNoHostWindow = 3;
// How often a host's window is checked for still being there.
inline constexpr int kHostWatchMs = 500;

inline constexpr const char* kSaverApplicationTitle = "Tolvar";
// The preview paints one frame per step while its window is visible.
inline constexpr int kPreviewStepMs = 100;

// The current provider's preview picture from the cache, read the way the preview does:
// cache index, newest control file, the layout entry of the current provider (the last
// match), the newest cached version of that layout, its preview element and the newest
// cached version of the preview's picture, loaded through AXImage. A null picture when
// any link of that chain is missing or unreadable, or the file gives no picture. Cache
// entries whose file name holds a path are not read. Nothing is reported.
QImage ReadPreviewPicture();

// Paints the preview picture, stretched over the client area, into the native window
// parentWindow every kPreviewStepMs while the window is visible, processing the
// application's events meanwhile; waits (processing events) while it is hidden and
// returns when it has gone or, once painted, is hidden. Returns at once when
// parentWindow is 0, the platform has no native window ids (offscreen), the number names
// no window, or there is no picture. Makes a Qt application on the xcb platform when the
// process has none and a display is set.
void ShowPreview(SaverWindowId parentWindow);

// How a run goes on after the command line. DefaultSaverStart gives the real steps;
// tests replace them.
struct SaverStart {
    // The preview into the parent window.
    std::function<void(SaverWindowId parentWindow)> preview;
    // Raises the main thread's priority for every mode but the preview.
    std::function<void()> raisePriority;
    // True when this process now holds the saver's single-instance guard.
    std::function<bool()> claim;
    // Application set-up, the mode's form and the loop; returns the exit code.
    std::function<int(SaverMode mode)> run;
};

// The decision: SSUtils::GetInstance and ParseCommandLine once more; the preview
// (exit 0) without the priority change and the guard; else the priority change, the claim
// (4 when it fails) and the mode's run.
int RunSaver(const SaverStart& start);

// Sets up the Qt application titled "Tolvar" (reusing one that exists), hooks the
// process's message bus into its loop and runs the mode's form. SaverModeNone has no form
// and returns kSaverExitOk without Qt. kSaverExitNoDisplay when no window can be shown.
int RunSaverApplication(SaverMode mode, int& argc, char** argv);

// The two main forms: each creates its form as the application's main form, runs the
// loop until the form closes and returns the exit code. Called with the application set
// up and the guard held.
//
// TFormConfig, the subscription dialog, as the stand-alone main form.
int RunConfigForm();
// TFormSvrMain, the full-screen saver form.
int RunSvrMainForm();
// TFormSvrMain inside a screen-saver host's window (its native window a child of the
// host's, the screen built for that window's size); 0 names the root window: the virtual
// root when a host marked one, else a full-screen window of our own that the window
// manager leaves alone. The host ends it with SIGTERM; a host window that is gone ends it
// too. kSaverExitNoHostWindow when the window cannot be drawn into.
int RunSvrMainFormInHost(SaverWindowId hostWindow);

// The saver's priority: the process at the normal level and the calling (main) thread one
// step above it (nice 0, then -1 for this thread), so that the screen keeps pace with
// the desktop's other programs. Without the right to raise it the priority stays as it
// was; nothing is reported. Threads made afterwards inherit the thread's level.
void SetSaverPriority();

// The real steps: ShowPreview, SetSaverPriority, the guard of platform::kSaverGuardName,
// and RunSaverApplication.
SaverStart DefaultSaverStart(int& argc, char** argv);

// The program entry: hands the arguments to SSUtils, makes the process's message bus
// (without one only the guard's notification is lost), runs RunSaver with the real steps
// and shows what escapes it in the application's exception box; 0 then.
int SaverMain(int argc, char** argv);
