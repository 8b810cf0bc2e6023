#include "window_placement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <utility>

namespace quillmar {

namespace {

// Enough for the title bars of common window managers at 96 dots per inch.
constexpr int title_bar_guess = 40;

QMargins measured_frame(const QWidget& window) {
    const QWindow* handle = window.windowHandle();
    if (handle == nullptr) {
        return {};
    }
    // While the window manager is still building the frame, Qt may measure one smaller than the
    // window: that is no frame yet.
    const QMargins frame = handle->frameMargins();
    if (frame.left() < 0 || frame.top() < 0 || frame.right() < 0 || frame.bottom() < 0) {
        return {};
    }
    return frame;
}

// Runs an action once, the first time its window is shown, moved or sized while `ready` holds.
class WhenReady : public QObject {
  public:
    WhenReady(QWidget& window, bool (*ready)(const QWidget&), std::function<void()> action)
        : QObject(window.windowHandle()), window(window), ready(ready), action(std::move(action)) {
        window.windowHandle()->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const auto type = event->type();
        if ((type == QEvent::Expose || type == QEvent::Move || type == QEvent::Resize) &&
            ready(window)) {
            watched->removeEventFilter(this);
            deleteLater();
            std::exchange(action, {})();
        }
        return false;
    }

  private:
    QWidget& window;
    bool (*ready)(const QWidget&);
    std::function<void()> action;
};

bool framed(const QWidget& window) {
    return shown(window) && !measured_frame(window).isNull();
}

}  // namespace

bool shown(const QWidget& window) {
    if (window.windowHandle() == nullptr) {
        return false;
    }
    // Elsewhere than on X11 (offscreen, say) nothing places the window after the program.
    return window.windowHandle()->isExposed() ||
           QGuiApplication::platformName() != QLatin1String("xcb");
}

QMargins frame_margins(const QWidget& window, const QWidget* framed_like) {
    if (const QMargins own = measured_frame(window); !own.isNull()) {
        return own;
    }
    if (framed_like) {
        if (const QMargins like = measured_frame(*framed_like); !like.isNull()) {
            return like;
        }
    }
    return {0, title_bar_guess, 0, 0};
}

QPoint frame_corner_within(const QRect& room, QSize size, QPoint wanted) {
    const auto within = [](int wanted_at, int lowest, int length, int room_length) {
        return std::max(lowest, std::min(wanted_at, lowest + room_length - length));
    };
    return {within(wanted.x(), room.left(), size.width(), room.width()),
            within(wanted.y(), room.top(), size.height(), room.height())};
}

void move_frame(QWidget& window, QPoint corner, const QMargins& frame) {
    // Always by the window's own corner: a window made afterwards would ask the window manager
    // to place its frame instead, which window managers may do before or after a later move.
    window.winId();
    window.setGeometry(QRect(corner + QPoint(frame.left(), frame.top()), window.size()));
}

void give_keyboard_to(QWidget& window) {
    QWindow* own = window.window()->windowHandle();
    const QWindow* focus = QGuiApplication::focusWindow();
    if (own == nullptr || focus == own) {
        return;
    }
    // Qt may still count a dialog of the window, just closed, as having the keyboard; it would
    // then set the focus itself at once, before the window manager hands the keyboard on from
    // the dialog, maybe to another window. So the window asks once the keyboard has moved on.
    if (focus != nullptr && own->isAncestorOf(focus)) {
        auto* moved = new QMetaObject::Connection;
        *moved = QObject::connect(qGuiApp, &QGuiApplication::focusWindowChanged, own,
                                  [own, moved](QWindow* now) {
                                      QObject::disconnect(*moved);
                                      delete moved;
                                      if (now != own) {
                                          own->requestActivate();
                                      }
                                  });
        return;
    }
    own->requestActivate();
}

void place_again_when_framed(QWidget& window, std::function<void()> place) {
    new WhenReady(window, framed, std::move(place));
}

void when_shown(QWidget& window, std::function<void()> action) {
    new WhenReady(window, shown, std::move(action));
}

}  // namespace quillmar
