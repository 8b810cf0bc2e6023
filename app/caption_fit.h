// Picks the font at which a caption is read whole inside a fixed box.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>

namespace quillmar {

// The smallest size tried; below it text is unreadable anyway.
inline constexpr double smallest_caption_points = 5.0;

// The largest size, not above `base`'s, in half-point steps, at which `text` laid out with
// `flags` (e.g. Qt::TextWordWrap) fits inside `box`; the smallest size tried if none does.
QFont fitted_font(const QFont& base, const QString& text, const QRect& box, int flags);

// Whether `text` laid out with `flags` in `font` fits inside `box`.
bool caption_fits(const QFont& font, const QString& text, const QRect& box, int flags);

}  // namespace quillmar
