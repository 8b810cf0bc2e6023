// A push button whose caption wraps onto as many lines as it needs and shrinks until it fits.
#pragma once

#include <QFont>
#include <QPushButton>

namespace quillmar {

class CaptionButton : public QPushButton {
    Q_OBJECT
  public:
    CaptionButton(const QString& caption, QWidget* parent);

    // The font the caption is drawn in, chosen for the button's current size and caption.
    const QFont& caption_font() const;
    // Where the caption is laid out inside the button.
    QRect caption_box() const;

    static constexpr int caption_flags = Qt::AlignCenter | Qt::TextWordWrap;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    // Fitted on first use for a size: a hidden button learns its size only when first shown.
    mutable QFont fitted;
    mutable QSize fitted_for;
};

}  // namespace quillmar
