#include "platform/ui/foreignwindow.h"

#include <QBackingStore>
#include <QGuiApplication>
#include <QPainter>
#include <QWidget>
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

std::uint64_t ForeignWindow::RootWindow() {
    xcb_connection_t* connection = Connection();
    if (connection == nullptr) {
        return 0;
    }
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    return screens.rem > 0 ? screens.data->root : 0;
}

std::uint64_t ForeignWindow::VirtualRootWindow() {
    xcb_connection_t* connection = Connection();
    const std::uint64_t root = RootWindow();
    if (connection == nullptr || root == 0) {
        return 0;
    }
    constexpr char kName[] = "__SWM_VROOT";
    xcb_generic_error_t* error = nullptr;
    ReplyPtr<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, sizeof(kName) - 1, kName), &error));
    std::free(error);
    if (!atom || atom->atom == XCB_ATOM_NONE) {
        return 0; // nobody ever named the property: there is no virtual root
    }
    error = nullptr;
    ReplyPtr<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(
        connection, xcb_query_tree(connection, static_cast<xcb_window_t>(root)), &error));
    std::free(error);
    if (!tree) {
        return 0;
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    for (int i = 0; i < count; ++i) {
        error = nullptr;
        ReplyPtr<xcb_get_property_reply_t> property(xcb_get_property_reply(
            connection,
            xcb_get_property(connection, 0, children[i], atom->atom, XCB_ATOM_WINDOW, 0, 1),
            &error));
        std::free(error);
        if (property && property->type == XCB_ATOM_WINDOW &&
            xcb_get_property_value_length(property.get()) >= 4) {
            const auto* value =
                static_cast<const xcb_window_t*>(xcb_get_property_value(property.get()));
            if (*value != 0) {
                return *value;
            }
        }
    }
    return 0;
}

bool ForeignWindow::Embed(QWidget& widget) {
    const QSize size = ClientSize();
    if (size.isEmpty() && State() == ForeignWindowState::Gone) {
        return false;
    }
    widget.setAttribute(Qt::WA_NativeWindow);
    widget.winId(); // makes the widget's native window
    QWindow* own = widget.windowHandle();
    if (own == nullptr) {
        return false;
    }
    own->setParent(foreign_.get());
    widget.setGeometry(0, 0, size.width(), size.height());
    widget.show();
    return true;
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
