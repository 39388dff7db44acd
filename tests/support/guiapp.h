#pragma once

// Qt needs one application object before fonts, pictures with text or widgets can be
// used; tests of the Qt parts call EnsureGuiApp() first. It runs on the offscreen platform unless
// QT_QPA_PLATFORM names another, and lives until the process ends.

#include <QApplication>
#include <cstdlib>

// fontconfig keeps its caches for the life of the process; LeakSanitizer would report
// them at exit in every test that draws text.
// The sanitizer runtime looks this name up, so it must be the reserved one.
// NOLINTNEXTLINE(bugprone-reserved-identifier)
extern "C" inline __attribute__((used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace tolvar::test {

inline void EnsureGuiApp() {
    if (QGuiApplication::instance() != nullptr) {
        return;
    }
    // Set here as well as by ctest: a test run by hand must not need a display either.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "tolvar-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
}

} // namespace tolvar::test
