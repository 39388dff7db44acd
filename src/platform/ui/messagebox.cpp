#include "platform/ui/messagebox.h"

#include "platform/network.h"
#include "platform/ui/display.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {

MessageBoxHandler& Handler() {
    static MessageBoxHandler handler;
    return handler;
}

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The widgets application of the process, made when there is none. nullptr when the
// process already has an application object without widgets.
QApplication* WidgetsApplication() {
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "TolvarCtrl";
        static char* argv[] = {name, nullptr};
        static QApplication* made = new QApplication(argc, argv);
        return made;
    }
    return qobject_cast<QApplication*>(QCoreApplication::instance());
}

QPointer<QWidget>& Owner() {
    static QPointer<QWidget> owner;
    return owner;
}

QMessageBox::Icon ToQtIcon(MessageBoxIcon icon) {
    switch (icon) {
    case MessageBoxIcon::Question:
        return QMessageBox::Question;
    case MessageBoxIcon::Information:
        return QMessageBox::Information;
    case MessageBoxIcon::Warning:
        return QMessageBox::Warning;
    case MessageBoxIcon::Stop:
        return QMessageBox::Critical;
    case MessageBoxIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) {
    Handler() = std::move(handler);
}

bool CanShowWindows() {
    if (!(IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY"))) {
        return false;
    }
    // With an application the display has answered; else it is asked now, as Qt would
    // end the process when it cannot start.
    return QCoreApplication::instance() != nullptr || !DisplayProblem();
}

void ShowMessageBox(const MessageBoxRequest& request) {
    AskMessageBox(request);
}

MessageBoxAnswer AskMessageBox(const MessageBoxRequest& request, QWidget* parent, bool aboveAll) {
    const bool question = request.buttons != MessageBoxButtons::Ok;
    const MessageBoxAnswer first =
        request.buttons == MessageBoxButtons::YesNo ? MessageBoxAnswer::Yes : MessageBoxAnswer::Ok;
    const MessageBoxAnswer refusal =
        request.buttons == MessageBoxButtons::YesNo
            ? MessageBoxAnswer::No
            : (question ? MessageBoxAnswer::Cancel : MessageBoxAnswer::Ok);
    if (Handler()) {
        Handler()(request);
        return first;
    }
    QApplication* app = CanShowWindows() ? WidgetsApplication() : nullptr;
    if (app == nullptr) {
        std::fprintf(stderr, "%s: %s\n", request.caption.c_str(), request.text.c_str());
        return refusal;
    }
    if (request.beep) {
        QApplication::beep();
    }
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton escape = QMessageBox::Ok;
    if (request.buttons == MessageBoxButtons::OkCancel) {
        buttons = QMessageBox::Ok | QMessageBox::Cancel;
        escape = QMessageBox::Cancel;
    } else if (request.buttons == MessageBoxButtons::YesNo) {
        buttons = QMessageBox::Yes | QMessageBox::No;
        escape = QMessageBox::No;
    }
    QMessageBox box(ToQtIcon(request.icon), QString::fromUtf8(request.caption),
                    QString::fromUtf8(request.text), buttons, parent);
    box.setEscapeButton(escape);
    SetGermanButtonTexts(box);
    PrepareDialog(box, aboveAll);
    switch (box.exec()) {
    case QMessageBox::Ok:
        return MessageBoxAnswer::Ok;
    case QMessageBox::Yes:
        return MessageBoxAnswer::Yes;
    case QMessageBox::No:
        return MessageBoxAnswer::No;
    case QMessageBox::Cancel:
        return MessageBoxAnswer::Cancel;
    default:
        return refusal;
    }
}

bool AskDialUp(QWidget* parent, const std::string& connectionName, bool aboveAll) {
    if (Handler()) {
        Handler()({"DFÜ-Verbindung", "Verbindung mit \"" + connectionName + "\" herstellen?",
                   MessageBoxIcon::Question, false, MessageBoxButtons::YesNo});
        return true;
    }
    if (!CanShowWindows() || WidgetsApplication() == nullptr) {
        return false;
    }
    QMessageBox box(QMessageBox::Question, QString::fromUtf8("DFÜ-Verbindung"),
                    QString::fromUtf8("Verbindung mit \"%1\" herstellen?")
                        .arg(QString::fromStdString(connectionName)),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setEscapeButton(QMessageBox::No);
    SetGermanButtonTexts(box);
    PrepareDialog(box, aboveAll);
    return box.exec() == QMessageBox::Yes;
}

DialPromptBinding::DialPromptBinding(QWidget* parent, std::function<bool()> aboveAll) {
    SetDialPrompt([parent, aboveAll = std::move(aboveAll)](ParentWindow, const std::string& name) {
        return AskDialUp(parent, name, aboveAll && aboveAll());
    });
}

DialPromptBinding::~DialPromptBinding() {
    SetDialPrompt({});
}

namespace {

const char* GermanText(int standardButton) {
    switch (standardButton) {
    case QMessageBox::Ok:
        return "OK";
    case QMessageBox::Cancel:
        return "Abbrechen";
    case QMessageBox::Yes:
        return "Ja";
    case QMessageBox::No:
        return "Nein";
    case QMessageBox::Close:
        return "Schließen";
    case QMessageBox::Apply:
        return "Übernehmen";
    default:
        return nullptr;
    }
}

} // namespace

void SetGermanButtonTexts(QMessageBox& box) {
    for (QAbstractButton* button : box.buttons()) {
        if (const char* text = GermanText(box.standardButton(button))) {
            button->setText(QString::fromUtf8(text));
        }
    }
}

void SetGermanButtonTexts(QDialogButtonBox& buttons) {
    for (QAbstractButton* button : buttons.buttons()) {
        if (const char* text = GermanText(buttons.standardButton(button))) {
            button->setText(QString::fromUtf8(text));
        }
    }
}

void SetDialogOwner(QWidget* owner) {
    Owner() = owner;
}

QWidget* DialogOwner() {
    return Owner().data();
}

void PrepareDialog(QWidget& dialog, bool aboveAll) {
    QWidget* owner = DialogOwner();
    if (dialog.parentWidget() == nullptr && owner != nullptr && owner != &dialog) {
        const Qt::WindowFlags flags = dialog.windowFlags();
        dialog.setParent(owner, flags | Qt::Dialog);
    }
    bool above = aboveAll;
    for (QWidget* w = dialog.parentWidget(); w != nullptr && !above; w = w->parentWidget()) {
        above = (w->window()->windowFlags() & Qt::WindowStaysOnTopHint) != 0;
    }
    if (above) {
        dialog.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    }
}

} // namespace platform
