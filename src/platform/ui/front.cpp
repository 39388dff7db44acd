#include "platform/ui/front.h"

#include <QApplication>
#include <QWidget>

namespace platform {

namespace {

QWidget* WindowToActivate(QWidget* preferred) {
    if (QWidget* modal = QApplication::activeModalWidget()) {
        return modal;
    }
    if (preferred != nullptr && preferred->isVisible()) {
        return preferred->window();
    }
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->isWindow() &&
            !widget->windowFlags().testFlag(Qt::ToolTip) &&
            !widget->windowFlags().testFlag(Qt::Popup)) {
            return widget;
        }
    }
    return nullptr;
}

} // namespace

bool BringApplicationToFront(QWidget* preferred) {
    if (qApp == nullptr) {
        return false;
    }
    QWidget* window = WindowToActivate(preferred);
    if (window == nullptr) {
        return false;
    }
    if (window->isMinimized()) {
        window->showNormal();
    }
    window->raise();
    window->activateWindow();
    return true;
}

} // namespace platform
