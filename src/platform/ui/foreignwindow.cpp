#include "platform/ui/foreignwindow.h"

#include <QBackingStore>
#include <QGuiApplication>
#include <QPainter>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>
#include <cstdlib>
#include <xcb/xcb.h>

namespace platform {

namespace {

xcb_connection_t* Connection() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        return nullptr;
    }
    auto* app = qGuiApp;
    if (app == nullptr) {
        return nullptr;
    }
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->connection() : nullptr;
}

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};

template <typename Reply> using ReplyPtr = std::unique_ptr<Reply, FreeReply>;

// X11 window ids are 29-bit numbers in a 32-bit field; anything wider names nothing.
bool FitsXid(std::uint64_t id) {
    return id != 0 && id <= 0xFFFFFFFFu;
}

// The checked requests return their error to us instead of the event queue, so a window
// that is gone is reported here and not as a protocol error in Qt's log.
ReplyPtr<xcb_get_window_attributes_reply_t> Attributes(xcb_connection_t* c, std::uint64_t id) {
    if (c == nullptr || !FitsXid(id)) {
        return nullptr;
    }
    xcb_generic_error_t* error = nullptr;
    ReplyPtr<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
        c, xcb_get_window_attributes(c, static_cast<xcb_window_t>(id)), &error));
    std::free(error);
    return reply;
}

ReplyPtr<xcb_get_geometry_reply_t> Geometry(xcb_connection_t* c, std::uint64_t id) {
    if (c == nullptr || !FitsXid(id)) {
        return nullptr;
    }
    xcb_generic_error_t* error = nullptr;
    ReplyPtr<xcb_get_geometry_reply_t> reply(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, static_cast<xcb_drawable_t>(id)), &error));
    std::free(error);
    return reply;
}

} // namespace

bool ForeignWindow::PlatformHasNativeIds() {
    return Connection() != nullptr;
}

std::unique_ptr<ForeignWindow> ForeignWindow::Open(std::uint64_t id) {
    xcb_connection_t* connection = Connection();
    if (connection == nullptr) {
        return nullptr;
    }
    const auto attributes = Attributes(connection, id);
    // A child of an input-only window would be refused by the server.
    if (!attributes || attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) {
        return nullptr;
    }
    std::unique_ptr<ForeignWindow> window(new ForeignWindow());
    window->id_ = id;
    window->foreign_.reset(QWindow::fromWinId(static_cast<WId>(id)));
    if (!window->foreign_) {
        return nullptr;
    }
    return window;
}

ForeignWindow::~ForeignWindow() {
    store_.reset();
    // The child goes with its wrapper; the foreign window itself is never destroyed.
    foreign_.reset();
}

ForeignWindowState ForeignWindow::State() const {
    const auto attributes = Attributes(Connection(), id_);
    if (!attributes) {
        return ForeignWindowState::Gone;
    }
    return attributes->map_state == XCB_MAP_STATE_VIEWABLE ? ForeignWindowState::Visible
                                                           : ForeignWindowState::Hidden;
}

QSize ForeignWindow::ClientSize() const {
    const auto geometry = Geometry(Connection(), id_);
    if (!geometry) {
        return {};
    }
    return {geometry->width, geometry->height};
}

bool ForeignWindow::Paint(const QImage& picture) {
    if (picture.isNull() || State() == ForeignWindowState::Gone) {
        return false;
    }
    const QRect area(QPoint(0, 0), picture.size());
    if (surface_ == nullptr) {
        surface_ = new QWindow(foreign_.get());
        surface_->setSurfaceType(QSurface::RasterSurface);
        // Clicks and keys stay with the owner of the window.
        surface_->setFlags(Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus);
        surface_->setGeometry(area);
        store_ = std::make_unique<QBackingStore>(surface_);
        surface_->show();
    }
    if (surface_->geometry() != area) {
        surface_->setGeometry(area);
    }
    if (!surface_->isExposed()) {
        return false;
    }
    store_->resize(area.size());
    store_->beginPaint(area);
    {
        QPainter painter(store_->paintDevice());
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(QPoint(0, 0), picture);
    }
    store_->endPaint();
    store_->flush(area);
    return true;
}

} // namespace platform
