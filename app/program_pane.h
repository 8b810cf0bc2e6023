// The program pane: takes pasted and dropped text only when each of its lines stays a program line.
#pragma once

#include <QPlainTextEdit>

namespace quillmar {

class ProgramPane : public QPlainTextEdit {
    Q_OBJECT
  public:
    using QPlainTextEdit::QPlainTextEdit;

  signals:
    // A paste or a drop was refused, for `reason`.
    void refused(const QString& reason);

  protected:
    void insertFromMimeData(const QMimeData* source) override;
};

}  // namespace quillmar
