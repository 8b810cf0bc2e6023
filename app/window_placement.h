// Placing the program's windows on the free part of the screen (panels left out), frames included.
#pragma once

#include <QMargins>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <functional>

class QWidget;

namespace quillmar {

// The frame that the window manager puts around `window`: as measured once it has one, else that
// of `framed_like` (framed by the same window manager), else room for a title bar.
QMargins frame_margins(const QWidget& window, const QWidget* framed_like = nullptr);

// Where a frame of `size` goes that is wanted with its top left at `wanted`: moved into `room` as
// far as it fits there, and where it does not, its top left, with the title bar, still inside.
QPoint frame_corner_within(const QRect& room, QSize size, QPoint wanted);

// Moves `window` so that the top left of its frame, `frame` as frame_margins gave it, is at
// `corner`.
void move_frame(QWidget& window, QPoint corner, const QMargins& frame);

// Calls `place` again once `window` shows on the screen: a window manager has framed it by then,
// and the frame it measured takes the place of a guess. `window` must have been made.
void place_again_when_framed(QWidget& window, std::function<void()> place);

}  // namespace quillmar
