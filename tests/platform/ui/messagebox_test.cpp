#include "platform/ui/messagebox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

// Environment variables set for one scope and put back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(MessageBox, BoundHandlerReplacesTheBox) {
    std::vector<platform::MessageBoxRequest> seen;
    platform::SetMessageBoxHandler(
        [&](const platform::MessageBoxRequest& request) { seen.push_back(request); });
    platform::MessageBoxRequest request;
    request.caption = "TolvarCtrl";
    request.text = "Fehler beim Aufruf:\nDer angebene Providerkey ist ungültig.";
    request.icon = platform::MessageBoxIcon::Stop;
    request.beep = true;
    platform::ShowMessageBox(request);
    platform::SetMessageBoxHandler({});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, request.caption);
    EXPECT_EQ(seen[0].text, request.text);
    EXPECT_EQ(seen[0].icon, platform::MessageBoxIcon::Stop);
    EXPECT_TRUE(seen[0].beep);
}

TEST(MessageBox, WindowsNeedAPlatformOrADisplay) {
    struct Case {
        const char* platform;
        const char* display;
        const char* wayland;
        bool canShow;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, false},
        {"offscreen", nullptr, nullptr, true},
        {nullptr, ":0", nullptr, true},
        {nullptr, nullptr, "wayland-0", true},
        {"", "", "", false},
    };
    for (const Case& c : cases) {
        ScopedEnv platformVar("QT_QPA_PLATFORM", c.platform);
        ScopedEnv display("DISPLAY", c.display);
        ScopedEnv wayland("WAYLAND_DISPLAY", c.wayland);
        EXPECT_EQ(platform::CanShowWindows(), c.canShow)
            << (c.platform ? c.platform : "-") << " " << (c.display ? c.display : "-");
    }
}

TEST(MessageBox, RealBoxShowsCaptionTextIconAndOk) {
    ScopedEnv platformVar("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "messagebox-test";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);

    struct Case {
        platform::MessageBoxIcon icon;
        QMessageBox::Icon qtIcon;
    };
    const Case cases[] = {
        {platform::MessageBoxIcon::None, QMessageBox::NoIcon},
        {platform::MessageBoxIcon::Information, QMessageBox::Information},
        {platform::MessageBoxIcon::Warning, QMessageBox::Warning},
        {platform::MessageBoxIcon::Stop, QMessageBox::Critical},
    };
    for (const Case& c : cases) {
        QString title;
        QString text;
        std::optional<QMessageBox::Icon> icon;
        int buttons = 0;
        // Reads the box once it is up, then presses its button.
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = static_cast<int>(box->buttons().size());
            box->button(QMessageBox::Ok)->click();
        });
        poll.start(10);
        platform::MessageBoxRequest request;
        request.caption = "InstallRights";
        request.text = "Größe: ungültig";
        request.icon = c.icon;
        platform::ShowMessageBox(request);
        poll.stop();
        EXPECT_EQ(title.toStdString(), "InstallRights");
        EXPECT_EQ(text.toStdString(), "Größe: ungültig");
        EXPECT_EQ(icon, c.qtIcon);
        EXPECT_EQ(buttons, 1);
    }
}

} // namespace
