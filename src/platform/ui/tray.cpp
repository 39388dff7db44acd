#include "platform/ui/tray.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QString>

namespace platform {

namespace {

constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
// A watcher that does not answer must not hold up the program's start.
constexpr int kWatcherTimeoutMs = 500;

bool StatusNotifierHostRegistered() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr ||
        !bus.interface()->isServiceRegistered(QString::fromLatin1(kWatcherService))) {
        return false;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(
        QString::fromLatin1(kWatcherService), QString::fromLatin1(kWatcherPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QString::fromLatin1(kWatcherService) << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kWatcherTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return false;
    }
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

} // namespace

TrayBackend DetectTrayBackend() {
    if (StatusNotifierHostRegistered()) {
        return TrayBackend::StatusNotifier;
    }
    return QSystemTrayIcon::isSystemTrayAvailable() ? TrayBackend::Embedded : TrayBackend::None;
}

bool MapTrayActivation(QSystemTrayIcon::ActivationReason reason, TrayBackend backend,
                       TrayMouse& mouse) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        // A status-notifier panel never reports a double click: its one activation is the
        // way to the icon's main action.
        mouse = backend == TrayBackend::StatusNotifier ? TrayMouse::Activate : TrayMouse::LeftClick;
        return true;
    case QSystemTrayIcon::DoubleClick:
        mouse = TrayMouse::LeftDoubleClick;
        return true;
    case QSystemTrayIcon::Context:
        mouse = TrayMouse::RightButtonDown;
        return true;
    case QSystemTrayIcon::MiddleClick:
        mouse = TrayMouse::MiddleClick;
        return true;
    case QSystemTrayIcon::Unknown:
        break;
    }
    return false;
}

TrayIcon::TrayIcon() : TrayIcon(DetectTrayBackend()) {}

TrayIcon::TrayIcon(TrayBackend backend)
    : icon_(std::make_unique<QSystemTrayIcon>()), backend_(backend) {
    QObject::connect(icon_.get(), &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason reason) { Activated(reason); });
}

TrayIcon::~TrayIcon() {
    Remove();
    icon_->setContextMenu(nullptr);
}

void TrayIcon::Activated(QSystemTrayIcon::ActivationReason reason) {
    // At log-on the program often starts before the panel: a single activation may come
    // from a status-notifier panel that was not there when the icon was made.
    if (reason == QSystemTrayIcon::Trigger && backend_ != TrayBackend::StatusNotifier &&
        StatusNotifierHostRegistered()) {
        backend_ = TrayBackend::StatusNotifier;
    }
    TrayMouse mouse{};
    if (OnMouse && MapTrayActivation(reason, backend_, mouse)) {
        OnMouse(mouse);
    }
}

bool TrayIcon::Available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::SetPicture(const QImage& picture) {
    if (picture.cacheKey() == picture_.cacheKey() || picture == picture_) {
        return;
    }
    picture_ = picture;
    icon_->setIcon(picture.isNull() ? QIcon() : QIcon(QPixmap::fromImage(picture)));
    ++sends_;
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
    std::string cut = CutTip(tip);
    if (cut == tip_) {
        return;
    }
    tip_ = std::move(cut);
    icon_->setToolTip(QString::fromStdString(tip_));
    ++sends_;
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
