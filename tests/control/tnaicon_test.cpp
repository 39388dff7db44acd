#include "control/debugform.h"
#include "control/tnaicon.h"
#include "support/guiapp.h"

#include <QListWidget>
#include <QSystemTrayIcon>
#include <QWidget>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using tolvar::test::EnsureGuiApp;

class GuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureGuiApp(); }
};

// ---- the face choice ----

constexpr int Slot(Face f, FaceImage i) {
    return FaceSlot(f, i);
}

TrayChoice L(Face f, FaceImage i) {
    TrayChoice c;
    c.layoutFace = true;
    c.slot = Slot(f, i);
    return c;
}

TrayChoice R(ResourceIcon icon) {
    TrayChoice c;
    c.resource = icon;
    return c;
}

// Every slot of the listed faces loaded.
std::array<bool, 12> Loaded(std::initializer_list<int> which) {
    std::array<bool, 12> loaded{};
    for (int s : which) {
        loaded[s] = true;
    }
    return loaded;
}

std::array<bool, 12> All() {
    std::array<bool, 12> loaded{};
    loaded.fill(true);
    return loaded;
}

struct ChoiceCase {
    const char* name;
    std::array<bool, 12> loaded;
    bool layout;
    bool news;
    bool mandatory;
    bool phase;
    bool sub;
    TrayChoice idle;
    TrayChoice transfer;
};

TEST(TrayChoice, IdleAndTransferFacesFollowTheFlagsAndWhatIsLoaded) {
    using F = Face;
    using I = FaceImage;
    const auto noNewsBase = Loaded({Slot(F::NoNews, I::Default), Slot(F::NoNews, I::Sync)});
    const ChoiceCase cases[] = {
        // Layout faces: mandatory news beats news beats no news.
        {"all, nothing new, steady", All(), true, false, false, false, false,
         L(F::NoNews, I::Default), L(F::NoNews, I::Sync)},
        {"all, nothing new, blinking", All(), true, false, false, true, false,
         L(F::NoNews, I::DefaultBlink), L(F::NoNews, I::SyncBlink)},
        {"all, news", All(), true, true, false, true, true, L(F::News, I::DefaultBlink),
         L(F::News, I::SyncBlink)},
        {"all, mandatory beats news", All(), true, true, true, false, false,
         L(F::MNews, I::Default), L(F::MNews, I::Sync)},
        // A face whose steady picture is missing is passed over; a missing blink picture
        // keeps the steady one.
        {"mandatory without its face", noNewsBase, true, false, true, true, false,
         L(F::NoNews, I::Default), L(F::NoNews, I::Sync)},
        {"news without blink pictures",
         Loaded({Slot(F::NoNews, I::Default), Slot(F::NoNews, I::Sync), Slot(F::News, I::Default),
                 Slot(F::News, I::Sync)}),
         true, true, false, true, false, L(F::News, I::Default), L(F::News, I::Sync)},
        {"news default only: idle shows it, transfer falls back",
         Loaded({Slot(F::NoNews, I::Default), Slot(F::NoNews, I::Sync), Slot(F::News, I::Default)}),
         true, true, false, false, false, L(F::News, I::Default), L(F::NoNews, I::Sync)},
        {"blink picture of another kind does not count",
         Loaded({Slot(F::NoNews, I::Default), Slot(F::NoNews, I::Sync),
                 Slot(F::NoNews, I::DefaultBlink)}),
         true, false, false, true, false, L(F::NoNews, I::DefaultBlink), L(F::NoNews, I::Sync)},
        // Resource icons.
        {"resources, nothing new",
         {},
         false,
         false,
         false,
         true,
         true,
         R(ResourceIcon::Main),
         R(ResourceIcon::Transfer)},
        {"resources, nothing new, sub clear",
         {},
         false,
         false,
         false,
         true,
         false,
         R(ResourceIcon::Main),
         R(ResourceIcon::Main)},
        {"resources, news, phase set, sub set",
         {},
         false,
         true,
         false,
         true,
         true,
         R(ResourceIcon::Messages),
         R(ResourceIcon::MessagesTransfer)},
        {"resources, news, phase set, sub clear",
         {},
         false,
         true,
         false,
         true,
         false,
         R(ResourceIcon::Messages),
         R(ResourceIcon::Messages)},
        {"resources, news, phase clear, sub set",
         {},
         false,
         true,
         false,
         false,
         true,
         R(ResourceIcon::Main),
         R(ResourceIcon::Transfer)},
        {"resources, news, phase clear, sub clear",
         {},
         false,
         true,
         false,
         false,
         false,
         R(ResourceIcon::Main),
         R(ResourceIcon::Main)},
        // Faces loaded but not in use (no_news sync missing): resources throughout.
        {"faces not in use", Loaded({Slot(F::NoNews, I::Default)}), false, true, true, true, true,
         R(ResourceIcon::Messages), R(ResourceIcon::MessagesTransfer)},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.name);
        TrayState s;
        s.loaded = c.loaded;
        s.useLayoutFaces = c.layout;
        s.newMessages = c.news;
        s.mandatoryNews = c.mandatory;
        s.blinkPhase = c.phase;
        s.transferSubPhase = c.sub;
        EXPECT_EQ(ChooseIdleIcon(s), c.idle);
        EXPECT_EQ(ChooseTransferIcon(s), c.transfer);
    }
}

// ---- the icon ----

TEST_F(GuiTest, TipIsCutToSixtyThreeWholeCharacters) {
    struct Case {
        std::string tip;
        std::string shown;
    };
    const std::string hundred(100, 'x');
    std::string umlauts;
    for (int i = 0; i < 70; ++i) {
        umlauts += "\xC3\xA4"; // two bytes, one character
    }
    std::string sixtyThreeUmlauts;
    for (int i = 0; i < 63; ++i) {
        sixtyThreeUmlauts += "\xC3\xA4";
    }
    std::string pairs; // characters outside the basic plane: two UTF-16 halves each
    for (int i = 0; i < 64; ++i) {
        pairs += "\xF0\x9F\x98\x80";
    }
    const Case cases[] = {
        {"", ""},
        {"Bildschirmschoner-Verwaltung", "Bildschirmschoner-Verwaltung"},
        {std::string(63, 'y'), std::string(63, 'y')},
        {hundred, hundred.substr(0, 63)},
        {umlauts, sixtyThreeUmlauts},
        {pairs, pairs.substr(0, std::size_t{63} * 4)},
    };
    for (const Case& c : cases) {
        TNAIcon icon;
        icon.SetTip(c.tip);
        EXPECT_EQ(icon.GetTip(), c.tip) << "the icon keeps the whole text";
        icon.Update();
        EXPECT_EQ(icon.Tray().Tip(), c.shown);
    }
}

TEST_F(GuiTest, UpdateAddsOnceRemoveTakesOutAndSetTipRefreshesOnlyWhatIsShown) {
    TNAIcon icon;
    EXPECT_FALSE(icon.Added());
    icon.SetTip("before");
    EXPECT_FALSE(icon.Added()) << "a tip alone adds nothing";
    const QImage main = DrawResourceIcon(ResourceIcon::Main);
    icon.SetIcon(&main);
    EXPECT_TRUE(icon.Update());
    EXPECT_TRUE(icon.Added());
    EXPECT_TRUE(icon.Tray().Added());
    EXPECT_EQ(icon.Tray().Picture(), main);
    EXPECT_EQ(icon.Tray().Tip(), "before");

    icon.SetTip("after");
    EXPECT_EQ(icon.Tray().Tip(), "after") << "shown at once while added";

    const QImage other = DrawResourceIcon(ResourceIcon::Transfer);
    icon.SetIcon(&other);
    EXPECT_EQ(icon.Tray().Picture(), main) << "SetIcon only stores the picture";
    icon.Refresh();
    EXPECT_EQ(icon.Tray().Picture(), other);

    icon.Remove();
    EXPECT_FALSE(icon.Added());
    EXPECT_FALSE(icon.Tray().Added());
    icon.Refresh();
    EXPECT_FALSE(icon.Tray().Added()) << "refresh of a removed icon keeps it out";
}

TEST_F(GuiTest, CallbackGetsTheTraysMouseActions) {
    TNAIcon icon;
    std::vector<platform::TrayMouse> seen;
    icon.SetCallback([&](platform::TrayMouse m) { seen.push_back(m); });
    icon.Tray().OnMouse(platform::TrayMouse::RightButtonDown);
    icon.Tray().OnMouse(platform::TrayMouse::LeftDoubleClick);
    icon.SetCallback(nullptr);
    icon.Tray().OnMouse(platform::TrayMouse::LeftClick); // no callback: nothing
    EXPECT_EQ(seen, (std::vector<platform::TrayMouse>{platform::TrayMouse::RightButtonDown,
                                                      platform::TrayMouse::LeftDoubleClick}));
}

TEST(TrayActivation, AStatusNotifierActivationStandsForTheDoubleClick) {
    using platform::TrayBackend;
    using platform::TrayMouse;
    struct Case {
        QSystemTrayIcon::ActivationReason reason;
        TrayBackend backend;
        bool means;
        TrayMouse mouse;
    };
    const Case cases[] = {
        {QSystemTrayIcon::Trigger, TrayBackend::StatusNotifier, true, TrayMouse::Activate},
        {QSystemTrayIcon::Trigger, TrayBackend::Embedded, true, TrayMouse::LeftClick},
        {QSystemTrayIcon::Trigger, TrayBackend::None, true, TrayMouse::LeftClick},
        {QSystemTrayIcon::DoubleClick, TrayBackend::Embedded, true, TrayMouse::LeftDoubleClick},
        {QSystemTrayIcon::DoubleClick, TrayBackend::StatusNotifier, true,
         TrayMouse::LeftDoubleClick},
        {QSystemTrayIcon::Context, TrayBackend::StatusNotifier, true, TrayMouse::RightButtonDown},
        {QSystemTrayIcon::MiddleClick, TrayBackend::Embedded, true, TrayMouse::MiddleClick},
        {QSystemTrayIcon::Unknown, TrayBackend::Embedded, false, TrayMouse::LeftClick},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.reason << " on " << static_cast<int>(c.backend));
        TrayMouse mouse = TrayMouse::LeftClick;
        EXPECT_EQ(platform::MapTrayActivation(c.reason, c.backend, mouse), c.means);
        EXPECT_EQ(mouse, c.mouse);
    }
}

TEST_F(GuiTest, TheIconReportsActivationsAsItsBackendMeansThem) {
    for (const auto backend :
         {platform::TrayBackend::StatusNotifier, platform::TrayBackend::Embedded}) {
        platform::TrayIcon icon(backend);
        std::vector<platform::TrayMouse> seen;
        icon.OnMouse = [&](platform::TrayMouse m) { seen.push_back(m); };
        icon.Activated(QSystemTrayIcon::Trigger);
        icon.Activated(QSystemTrayIcon::DoubleClick);
        const auto first = backend == platform::TrayBackend::StatusNotifier
                               ? platform::TrayMouse::Activate
                               : platform::TrayMouse::LeftClick;
        EXPECT_EQ(seen,
                  (std::vector<platform::TrayMouse>{first, platform::TrayMouse::LeftDoubleClick}));
    }
}

TEST_F(GuiTest, PictureAndTipAreSentOnlyWhenTheyChange) {
    TNAIcon icon;
    const QImage main = DrawResourceIcon(ResourceIcon::Main);
    const QImage same = DrawResourceIcon(ResourceIcon::Main); // equal pixels, another image
    const QImage other = DrawResourceIcon(ResourceIcon::Messages);
    icon.SetTip("tip");
    icon.SetIcon(&main);
    icon.Update();
    const int afterFirst = icon.Tray().Sends();
    EXPECT_EQ(afterFirst, 2) << "picture and tip once";
    // The idle animation without news shows the same face on every tick.
    for (int tick = 0; tick < 10; ++tick) {
        icon.SetIcon(tick % 2 == 0 ? &main : &same);
        icon.Update();
        icon.SetTip("tip");
    }
    EXPECT_EQ(icon.Tray().Sends(), afterFirst);
    icon.SetIcon(&other);
    icon.Update();
    EXPECT_EQ(icon.Tray().Sends(), afterFirst + 1);
    EXPECT_EQ(icon.Tray().Picture(), other);
    icon.SetTip("new tip");
    EXPECT_EQ(icon.Tray().Sends(), afterFirst + 2);
}

TEST_F(GuiTest, PicturesAreDistinctSixteenPixelIconsWithTransparentCorners) {
    std::vector<QImage> pictures;
    for (int i = 0; i < 5; ++i) {
        pictures.push_back(DrawResourceIcon(static_cast<ResourceIcon>(i)));
    }
    for (int i = 0; i < 4; ++i) {
        pictures.push_back(DrawMenuImage(i));
    }
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(pictures[i].size(), QSize(16, 16));
        EXPECT_TRUE(pictures[i].hasAlphaChannel());
        EXPECT_EQ(qAlpha(pictures[i].pixel(0, 15)), 0) << "the mask colour is see-through";
        for (std::size_t j = 0; j < i; ++j) {
            EXPECT_NE(pictures[i], pictures[j]) << "same as picture " << j;
        }
    }
}

TEST_F(GuiTest, ApplicationWindowFunctionsSetAndUndoTheirFlags) {
    QWidget window(nullptr, Qt::Window);
    window.show();
    HideFromTaskbar(window, true);
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::Tool));
    EXPECT_TRUE(window.isVisible()) << "a shown window is shown again";
    SetMinimizeBox(window, true);
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EnableCloseMenu(window, true);
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::WindowCloseButtonHint));

    EnableCloseMenu(window, false);
    SetMinimizeBox(window, false);
    HideFromTaskbar(window, false);
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::Tool));
    EXPECT_TRUE(window.isVisible());

    QWidget hidden(nullptr, Qt::Window);
    HideFromTaskbar(hidden, true);
    EXPECT_FALSE(hidden.isVisible()) << "a hidden window stays hidden";
}

TEST_F(GuiTest, DebugFormAppendsAndClearsLinesAndOnlyHidesOnClose) {
    TFormDebug debug;
    EXPECT_EQ(debug.windowTitle().toStdString(), "TolvarCtrl - Debug-Fenster");
    EXPECT_EQ(debug.size(), QSize(604, 427));
    EXPECT_EQ(debug.windowType(), Qt::Tool) << "a helper window: no task-bar button";
    EXPECT_FALSE(debug.isVisible());
    debug.AddLine("one");
    debug.AddLine("zwei \xC3\xBC");
    EXPECT_EQ(debug.Lines(), (std::vector<std::string>{"one", "zwei \xC3\xBC"}));
    debug.show();
    debug.close();
    EXPECT_FALSE(debug.isVisible());
    EXPECT_EQ(debug.Lines().size(), 2u) << "closing keeps the lines";
    debug.Clear();
    EXPECT_TRUE(debug.Lines().empty());
}

} // namespace
