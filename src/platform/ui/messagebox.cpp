#include "platform/ui/messagebox.h"

#include <QApplication>
#include <QMessageBox>
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

QMessageBox::Icon ToQtIcon(MessageBoxIcon icon) {
    switch (icon) {
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
    return IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
}

void ShowMessageBox(const MessageBoxRequest& request) {
    if (Handler()) {
        Handler()(request);
        return;
    }
    QApplication* app = CanShowWindows() ? WidgetsApplication() : nullptr;
    if (app == nullptr) {
        std::fprintf(stderr, "%s: %s\n", request.caption.c_str(), request.text.c_str());
        return;
    }
    if (request.beep) {
        QApplication::beep();
    }
    QMessageBox box(ToQtIcon(request.icon), QString::fromUtf8(request.caption),
                    QString::fromUtf8(request.text), QMessageBox::Ok);
    box.exec();
}

} // namespace platform
