#include "caption_button.h"

#include <QEvent>
#include <QStyleOptionButton>
#include <QStylePainter>

#include "caption_fit.h"

namespace quillmar {

namespace {
// Keeps the caption clear of the bevel and the focus frame.
constexpr int caption_inset = 1;
}  // namespace

CaptionButton::CaptionButton(const QString& caption, QWidget* parent)
    : QPushButton(caption, parent) {}

QRect CaptionButton::caption_box() const {
    QStyleOptionButton option;
    initStyleOption(&option);
    const QRect contents = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    return contents.adjusted(caption_inset, caption_inset, -caption_inset, -caption_inset);
}

const QFont& CaptionButton::caption_font() const {
    if (fitted_for != size()) {
        fitted = fitted_font(font(), text(), caption_box(), caption_flags);
        fitted_for = size();
    }
    return fitted;
}

void CaptionButton::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    // The style draws the bevel and focus frame; the caption is drawn here so that it wraps.
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    painter.setFont(caption_font());
    painter.drawItemText(caption_box(), caption_flags, option.palette, isEnabled(), text(),
                         QPalette::ButtonText);
}

void CaptionButton::changeEvent(QEvent* event) {
    QPushButton::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        fitted_for = QSize();
    }
}

}  // namespace quillmar
