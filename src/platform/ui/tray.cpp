#include "platform/ui/tray.h"

#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QString>
#include <QSystemTrayIcon>

namespace platform {

TrayIcon::TrayIcon() : icon_(std::make_unique<QSystemTrayIcon>()) {
    QObject::connect(icon_.get(), &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (!OnMouse) {
                             return;
                         }
                         switch (reason) {
                         case QSystemTrayIcon::Trigger:
                             OnMouse(TrayMouse::LeftClick);
                             break;
                         case QSystemTrayIcon::DoubleClick:
                             OnMouse(TrayMouse::LeftDoubleClick);
                             break;
                         case QSystemTrayIcon::Context:
                             OnMouse(TrayMouse::RightButtonDown);
                             break;
                         case QSystemTrayIcon::MiddleClick:
                             OnMouse(TrayMouse::MiddleClick);
                             break;
                         default:
                             break;
                         }
                     });
}

TrayIcon::~TrayIcon() {
    Remove();
    icon_->setContextMenu(nullptr);
}

bool TrayIcon::Available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::SetPicture(const QImage& picture) {
    picture_ = picture;
    icon_->setIcon(picture.isNull() ? QIcon() : QIcon(QPixmap::fromImage(picture)));
}

std::string TrayIcon::CutTip(const std::string& tip) {
    const QString text = QString::fromUtf8(tip.data(), static_cast<qsizetype>(tip.size()));
    // Count whole characters: a pair of UTF-16 halves is one.
    qsizetype units = 0;
    std::size_t characters = 0;
    while (units < text.size() && characters < kMaxTipCharacters) {
        units += text.at(units).isHighSurrogate() && units + 1 < text.size() ? 2 : 1;
        ++characters;
    }
    return text.left(units).toStdString();
}

void TrayIcon::SetTip(const std::string& tip) {
    tip_ = CutTip(tip);
    icon_->setToolTip(QString::fromStdString(tip_));
}

void TrayIcon::SetMenu(QMenu* menu) {
    menu_ = menu;
    icon_->setContextMenu(menu);
}

bool TrayIcon::Add() {
    // Without an area Qt shows nothing and keeps no wait; the icon counts as added so the
    // caller's state stays the same either way.
    icon_->show();
    added_ = true;
    return true;
}

bool TrayIcon::Remove() {
    const bool was = added_;
    icon_->hide();
    added_ = false;
    return was;
}

} // namespace platform
