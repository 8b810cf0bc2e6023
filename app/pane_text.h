// The CR LF text of a pane, and appending to it without re-setting what is already there.
#pragma once

#include <QString>

class QPlainTextEdit;

namespace quillmar {

// A pane holds paragraphs; its text as the program sees it ends each line with CR LF.
QString crlf_from_widget_text(const QString& widget_text);
// CR LF, a lone CR and a lone LF all end a line in the pane.
QString widget_text_from_crlf(const QString& text);

QString pane_text(const QPlainTextEdit& pane);
void set_pane_text(QPlainTextEdit& pane, const QString& text);
// Inserts at the end of the document only, so a long log stays cheap to extend.
void append_to_pane(QPlainTextEdit& pane, const QString& text);

}  // namespace quillmar
