#include "platform/ui/messagebox.h"
#include "support/guiapp.h"
#include "support/temphome.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

using tolvar::test::ScopedEnv;

void EnsureApp() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    tolvar::test::EnsureGuiApp();
}

// What a box showed: read once it is up, then one of its buttons pressed (or Esc).
struct SeenBox {
    QStringList buttons;
    QWidget* parent = nullptr;
    bool stayOnTop = false;
    QString title;
};

class BoxReader {
public:
    // press: the index of the button to press; -1 presses Esc.
    explicit BoxReader(int press) {
        QObject::connect(&poll_, &QTimer::timeout, [this, press] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || seen_) {
                return;
            }
            SeenBox seen;
            for (QAbstractButton* button : box->buttons()) {
                seen.buttons.push_back(button->text());
            }
            seen.parent = box->parentWidget();
            seen.stayOnTop = (box->windowFlags() & Qt::WindowStaysOnTopHint) != 0;
            seen.title = box->windowTitle();
            seen_ = seen;
            if (press < 0) {
                QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                QApplication::sendEvent(box, &esc);
            } else {
                box->buttons().at(press)->click();
            }
        });
        poll_.start(10);
    }
    const std::optional<SeenBox>& Seen() const { return seen_; }

private:
    QTimer poll_;
    std::optional<SeenBox> seen_;
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
        // Named, but nobody answers there: showing a box would end the process in Qt.
        {nullptr, ":97", nullptr, false},
        {nullptr, nullptr, "tolvar-no-compositor", false},
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
    EnsureApp();

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

TEST(MessageBox, StandardButtonsAreGermanAndEscRefuses) {
    EnsureApp();
    using B = platform::MessageBoxButtons;
    using A = platform::MessageBoxAnswer;
    struct Case {
        B buttons;
        QStringList texts;
        int press;
        A answer;
    };
    const Case cases[] = {
        {B::Ok, {"OK"}, 0, A::Ok},
        {B::OkCancel, {"OK", "Abbrechen"}, -1, A::Cancel},
        {B::YesNo, {"Ja", "Nein"}, -1, A::No},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.texts.join(",").toStdString());
        BoxReader reader(c.press);
        platform::MessageBoxRequest request{"Tolvar", "Frage?", platform::MessageBoxIcon::Question};
        request.buttons = c.buttons;
        EXPECT_EQ(platform::AskMessageBox(request), c.answer);
        ASSERT_TRUE(reader.Seen());
        QStringList texts = reader.Seen()->buttons;
        texts.sort();
        QStringList expected = c.texts;
        expected.sort();
        EXPECT_EQ(texts, expected);
    }
    // The dial prompt in German; Esc declines the dial.
    BoxReader reader(-1);
    EXPECT_FALSE(platform::AskDialUp(nullptr, "Modem"));
    ASSERT_TRUE(reader.Seen());
    EXPECT_EQ(reader.Seen()->title.toStdString(), "DFÜ-Verbindung");
    QStringList texts = reader.Seen()->buttons;
    texts.sort();
    EXPECT_EQ(texts, (QStringList{"Ja", "Nein"}));
}

TEST(MessageBox, BoxesOpenOverTheOwnerAndStayAboveAStayOnTopOwner) {
    EnsureApp();
    QWidget saver(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    saver.show();
    platform::SetDialogOwner(&saver);
    {
        BoxReader reader(0);
        platform::ShowMessageBox({"Tolvar", "Fehler", platform::MessageBoxIcon::Stop});
        ASSERT_TRUE(reader.Seen());
        EXPECT_EQ(reader.Seen()->parent, &saver);
        EXPECT_TRUE(reader.Seen()->stayOnTop);
    }
    // A dialog of the saver's dialog is kept above too.
    QDialog dialog(&saver);
    QDialog inner(&dialog);
    platform::PrepareDialog(inner);
    EXPECT_TRUE(inner.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(inner.windowFlags() & Qt::WindowType_Mask, Qt::Dialog);
    platform::SetDialogOwner(nullptr);
    // Without owner a box has no parent and stays on top only when asked.
    {
        BoxReader reader(0);
        platform::AskMessageBox({"Tolvar", "Frei", platform::MessageBoxIcon::None});
        ASSERT_TRUE(reader.Seen());
        EXPECT_EQ(reader.Seen()->parent, nullptr);
        EXPECT_FALSE(reader.Seen()->stayOnTop);
    }
    {
        BoxReader reader(0);
        platform::AskMessageBox({"Tolvar", "Oben", platform::MessageBoxIcon::None}, nullptr, true);
        ASSERT_TRUE(reader.Seen());
        EXPECT_TRUE(reader.Seen()->stayOnTop);
    }
}

} // namespace
