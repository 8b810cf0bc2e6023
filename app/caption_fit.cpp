#include "caption_fit.h"

#include <algorithm>

#include <QFontInfo>
#include <QFontMetrics>

namespace quillmar {

bool caption_fits(const QFont& font, const QString& text, const QRect& box, int flags) {
    const QRect needed = QFontMetrics(font).boundingRect(box, flags, text);
    return needed.width() <= box.width() && needed.height() <= box.height();
}

QFont fitted_font(const QFont& base, const QString& text, const QRect& box, int flags) {
    QFont font = base;
    // A font given in pixels is turned into points so that one loop serves both.
    double points = base.pointSizeF() > 0 ? base.pointSizeF() : QFontInfo(base).pointSizeF();
    font.setPointSizeF(points);
    while (points > smallest_caption_points && !caption_fits(font, text, box, flags)) {
        points = std::max(smallest_caption_points, points - 0.5);
        font.setPointSizeF(points);
    }
    return font;
}

}  // namespace quillmar
