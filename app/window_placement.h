// The program's windows on the screen: placed on its free part (panels left out), frames included,
// and given the keyboard.
#pragma once

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <functional>

class QWidget;

namespace quillmar {

// Whether `window` is on the screen: an X11 window manager, if any, has placed it, and honours
// moves from now on (one made before may be lost).
bool shown(const QWidget& window);

// The frame that the window manager puts around `window`: as measured once it has one, else that
// of `framed_like` (framed by the same window manager), else room for a title bar.
QMargins frame_margins(const QWidget& window, const QWidget* framed_like = nullptr);

// Where a frame of `size` goes that is wanted with its top left at `wanted`: moved into `room` as
// far as it fits there, and where it does not, its top left, with the title bar, still inside.
QPoint frame_corner_within(const QRect& room, QSize size, QPoint wanted);

// Moves `window` so that the top left of its frame, `frame` as frame_margins gave it, is at
// `corner`.
void move_frame(QWidget& window, QPoint corner, const QMargins& frame);

// Calls `place` again once a window manager has framed `window`, so that the frame it measured
// takes the place of a guess. `window` must have been made.
void place_again_when_framed(QWidget& window, std::function<void()> place);

// Runs `action` once `window`, made but not yet on the screen, is on it.
void when_shown(QWidget& window, std::function<void()> action);

// Asks the window manager to give `window` the keyboard, also after a dialog of it has just closed
// (QWidget::activateWindow would then do nothing, as Qt still counts the window as active).
void give_keyboard_to(QWidget& window);

}  // namespace quillmar
