#include "platform/ui/windowblit.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace platform {

namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename Reply> using ReplyPtr = std::unique_ptr<Reply, FreeReply>;

xcb_connection_t* QtConnection() {
    if (qGuiApp == nullptr || QGuiApplication::platformName() != QLatin1String("xcb")) {
        return nullptr;
    }
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->connection() : nullptr;
}

// The server keeps 24-bit pixels as little-endian 32-bit words, as Format_RGB32 does.
bool ServerTakesRgb32(xcb_connection_t* c) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    if (setup == nullptr || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        return false;
    }
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth == 24) {
            return it.data->bits_per_pixel == 32 && it.data->scanline_pad == 32;
        }
    }
    return false;
}

const xcb_visualtype_t* FindVisual(xcb_connection_t* c, xcb_visualid_t id) {
    for (auto screen = xcb_setup_roots_iterator(xcb_get_setup(c)); screen.rem > 0;
         xcb_screen_next(&screen)) {
        for (auto depth = xcb_screen_allowed_depths_iterator(screen.data); depth.rem > 0;
             xcb_depth_next(&depth)) {
            for (auto visual = xcb_depth_visuals_iterator(depth.data); visual.rem > 0;
                 xcb_visualtype_next(&visual)) {
                if (visual.data->visual_id == id) {
                    return visual.data;
                }
            }
        }
    }
    return nullptr;
}

// A put is a 24-byte request head and the rows.
constexpr std::uint32_t kPutHeadBytes = 24;

} // namespace

std::unique_ptr<WindowBlit> WindowBlit::Create() {
    xcb_connection_t* c = QtConnection();
    if (c == nullptr || xcb_connection_has_error(c) != 0 || !ServerTakesRgb32(c)) {
        return nullptr;
    }
    return std::unique_ptr<WindowBlit>(new WindowBlit(c));
}

WindowBlit::WindowBlit(xcb_connection_t* connection) : connection_(connection) {
    // In 4-byte units; with the big-requests extension far more than a frame needs.
    maxRequestBytes_ =
        std::min<std::uint32_t>(xcb_get_maximum_request_length(connection_), (16u << 20) / 4) * 4;
}

WindowBlit::~WindowBlit() {
    const std::lock_guard lock(mutex_);
    if (xcb_connection_has_error(connection_) == 0) {
        DropPixmap();
        if (gc_ != 0) {
            xcb_free_gc(connection_, gc_);
        }
        xcb_flush(connection_);
    }
}

void WindowBlit::DropPixmap() {
    if (pixmap_ != 0) {
        xcb_free_pixmap(connection_, pixmap_);
        pixmap_ = 0;
    }
    pixmapSize_ = QSize();
    pixmapHoldsLast_ = false;
}

bool WindowBlit::UsableWindow(std::uint32_t window) {
    if (window == checked_) {
        return checkedUsable_;
    }
    checked_ = window;
    checkedUsable_ = false;
    xcb_generic_error_t* error = nullptr;
    ReplyPtr<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), &error));
    std::free(error);
    error = nullptr;
    ReplyPtr<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(
        connection_, xcb_get_window_attributes(connection_, window), &error));
    std::free(error);
    if (!geometry || !attributes || geometry->depth != 24) {
        return false;
    }
    const xcb_visualtype_t* visual = FindVisual(connection_, attributes->visual);
    checkedUsable_ = visual != nullptr && visual->_class == XCB_VISUAL_CLASS_TRUE_COLOR &&
                     visual->red_mask == 0xFF0000 && visual->green_mask == 0x00FF00 &&
                     visual->blue_mask == 0x0000FF;
    return checkedUsable_;
}

void WindowBlit::Place(const QWidget& widget) {
    const QWidget* top = widget.window();
    const QWindow* handle = top != nullptr ? top->windowHandle() : nullptr;
    const WId id = handle != nullptr ? handle->winId() : 0;
    if (id == 0 || id > 0xFFFFFFFFu || xcb_connection_has_error(connection_) != 0) {
        Hide();
        return;
    }
    const auto window = static_cast<std::uint32_t>(id);
    // Where the widget lies in its window, cut to every ancestor (a child is drawn only
    // inside its parent).
    const QPoint origin = widget.mapTo(top, QPoint(0, 0));
    QRect visible(origin, widget.size());
    for (const QWidget* w = widget.parentWidget(); w != nullptr; w = w->parentWidget()) {
        visible &= QRect(w->mapTo(top, QPoint(0, 0)), w->size());
        if (w == top) {
            break;
        }
    }
    const std::lock_guard lock(mutex_);
    if (!UsableWindow(window)) {
        window_ = 0;
        return;
    }
    if (gcWindow_ != window) {
        // The pixmap belongs to the old window's screen and depth: made anew.
        DropPixmap();
        if (gc_ != 0) {
            xcb_free_gc(connection_, gc_);
        }
        gc_ = xcb_generate_id(connection_);
        // No exposure events: a put onto a covered part is simply clipped.
        const std::uint32_t values[] = {0};
        xcb_create_gc(connection_, gc_, window, XCB_GC_GRAPHICS_EXPOSURES, values);
        gcWindow_ = window;
    }
    window_ = window;
    origin_ = origin;
    place_ = visible;
}

void WindowBlit::Hide() {
    const std::lock_guard lock(mutex_);
    window_ = 0;
}

bool WindowBlit::Put(const QImage& picture) {
    return PutScrolled(picture, 0);
}

bool WindowBlit::PutScrolled(const QImage& picture, int dx) {
    if (picture.isNull() || picture.format() != QImage::Format_RGB32) {
        return false;
    }
    const std::lock_guard lock(mutex_);
    if (window_ == 0 || xcb_connection_has_error(connection_) != 0) {
        // Whatever the pixmap holds, it is no longer the picture before the next one.
        pixmapHoldsLast_ = false;
        return false;
    }
    const QSize size = picture.size();
    if (std::uint32_t(size.width()) * 4 + kPutHeadBytes > maxRequestBytes_ ||
        size.width() > 32767 || size.height() > 32767) {
        return false;
    }
    if (pixmap_ == 0 || pixmapSize_ != size) {
        DropPixmap();
        pixmap_ = xcb_generate_id(connection_);
        xcb_create_pixmap(connection_, 24, pixmap_, window_, std::uint16_t(size.width()),
                          std::uint16_t(size.height()));
        pixmapSize_ = size;
    }
    if (pixmapHoldsLast_ && dx > 0 && dx < size.width()) {
        // The server moves what it holds; only the columns that came in are sent.
        xcb_copy_area(connection_, pixmap_, pixmap_, gc_, std::int16_t(dx), 0, 0, 0,
                      std::uint16_t(size.width() - dx), std::uint16_t(size.height()));
        SendRect(picture, QRect(size.width() - dx, 0, dx, size.height()),
                 QPoint(size.width() - dx, 0));
        ++scrolledPuts_;
    } else {
        SendRect(picture, QRect(QPoint(0, 0), size), QPoint(0, 0));
        ++wholePuts_;
    }
    pixmapHoldsLast_ = true;
    Show(size);
    return true;
}

bool WindowBlit::Scroll(QSize size, int dx, const QImage& columns) {
    const std::lock_guard lock(mutex_);
    if (window_ == 0 || xcb_connection_has_error(connection_) != 0) {
        pixmapHoldsLast_ = false;
        return false;
    }
    if (!pixmapHoldsLast_ || pixmap_ == 0 || pixmapSize_ != size || dx <= 0 || dx >= size.width() ||
        columns.format() != QImage::Format_RGB32 || columns.size() != QSize(dx, size.height())) {
        return false;
    }
    xcb_copy_area(connection_, pixmap_, pixmap_, gc_, std::int16_t(dx), 0, 0, 0,
                  std::uint16_t(size.width() - dx), std::uint16_t(size.height()));
    SendRect(columns, QRect(QPoint(0, 0), columns.size()), QPoint(size.width() - dx, 0));
    ++scrolledPuts_;
    Show(size);
    return true;
}

void WindowBlit::SendRect(const QImage& picture, const QRect& source, QPoint to) {
    const std::uint32_t rowBytes = std::uint32_t(source.width()) * 4;
    const bool wholeRows = source.x() == 0 && source.width() == picture.width() &&
                           picture.bytesPerLine() == qsizetype(rowBytes);
    const int rowsPerPut =
        int(std::max<std::uint32_t>((maxRequestBytes_ - kPutHeadBytes) / rowBytes, 1));
    for (int row = 0; row < source.height(); row += rowsPerPut) {
        const int rows = std::min(rowsPerPut, source.height() - row);
        const std::uint8_t* data = nullptr;
        if (wholeRows) {
            data = picture.constScanLine(source.y() + row);
        } else {
            // A strip of columns: its rows are gathered first.
            scratch_.resize(std::size_t(rows) * source.width());
            for (int r = 0; r < rows; ++r) {
                const auto* line = reinterpret_cast<const std::uint32_t*>(
                    picture.constScanLine(source.y() + row + r));
                std::memcpy(scratch_.data() + std::size_t(r) * source.width(), line + source.x(),
                            rowBytes);
            }
            data = reinterpret_cast<const std::uint8_t*>(scratch_.data());
        }
        xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap_, gc_,
                      std::uint16_t(source.width()), std::uint16_t(rows), std::int16_t(to.x()),
                      std::int16_t(to.y() + row), 0, 24, std::uint32_t(rows) * rowBytes, data);
    }
}

void WindowBlit::Show(const QSize& size) {
    const QRect target = QRect(origin_, size) & place_;
    if (!target.isEmpty()) {
        const QPoint from = target.topLeft() - origin_;
        xcb_copy_area(connection_, pixmap_, window_, gc_, std::int16_t(from.x()),
                      std::int16_t(from.y()), std::int16_t(target.x()), std::int16_t(target.y()),
                      std::uint16_t(target.width()), std::uint16_t(target.height()));
    }
    xcb_flush(connection_);
}

} // namespace platform
