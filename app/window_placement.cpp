#include "window_placement.h"

#include <QEvent>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <utility>

namespace quillmar {

namespace {

// Enough for the title bars of common window managers at 96 dots per inch.
constexpr int title_bar_guess = 40;

// Runs an action once, when its window is first exposed.
class WhenExposed : public QObject {
  public:
    WhenExposed(QWindow& window, std::function<void()> action)
        : QObject(&window), action(std::move(action)) {
        window.installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose && static_cast<QWindow*>(watched)->isExposed()) {
            watched->removeEventFilter(this);
            deleteLater();
            std::exchange(action, {})();
        }
        return false;
    }

  private:
    std::function<void()> action;
};

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

}  // namespace

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

void place_again_when_framed(QWidget& window, std::function<void()> place) {
    new WhenExposed(*window.windowHandle(), std::move(place));
}

}  // namespace quillmar
