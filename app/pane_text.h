// The CR LF text of a pane, and appending to it without re-setting what is already there.
#pragma once

#include <QString>

class QPlainTextEdit;

namespace quillmar {

// A pane holds paragraphs; its text as the program sees it ends each line with CR LF.
QString crlf_from_widget_text(const QString& widget_text);
// CR LF, a lone CR and a lone LF all end a line in the pane.
QString widget_text_from_crlf(const QString& text);

// A text document spends microseconds and hundreds of bytes on every paragraph: a million
// one-line paragraphs took seconds and hundreds of megabytes. Widget text of more than `most` lines
// is stored as paragraphs of a few dozen lines joined by line separators, which a pane shows and
// reads back as line ends like any other.
QString in_paragraphs(QString widget_text, qsizetype most);
// Far more lines than any program has: up to this many, the program pane keeps a paragraph per
// line, as typing makes them.
inline constexpr qsizetype most_program_paragraphs = 4096;

QString pane_text(const QPlainTextEdit& pane);
void set_pane_text(QPlainTextEdit& pane, const QString& text);
// Inserts at the end of the document only, so a long log stays cheap to extend.
void append_to_pane(QPlainTextEdit& pane, const QString& text);

// Word wrap measures a word wider than the pane again to its end for every line it fills: a line
// of a million digits took six minutes to lay out. While the pane holds a word of more than a
// thousand characters it wraps anywhere instead, which costs the same for every line.
void wrap_long_words_anywhere(QPlainTextEdit& pane);

}  // namespace quillmar
