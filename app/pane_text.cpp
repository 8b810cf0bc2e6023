#include "pane_text.h"

#include <QPlainTextEdit>
#include <QTextCursor>

#include "text/lines.h"

namespace quillmar {

QString crlf_from_widget_text(const QString& widget_text) {
    QString text = widget_text;
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return text;
}

QString widget_text_from_crlf(const QString& text) {
    // One pass: QString::replace of CR LF took over a second on a long check pass.
    QString widget_text;
    widget_text.reserve(text.size());
    for (qsizetype pos = 0; pos < text.size();) {
        const TextLine line = line_at(text, pos);
        widget_text += line.text;
        if (line.next > pos + line.text.size()) {
            widget_text += QLatin1Char('\n');
        }
        pos = line.next;
    }
    return widget_text;
}

QString pane_text(const QPlainTextEdit& pane) {
    return crlf_from_widget_text(pane.toPlainText());
}

void set_pane_text(QPlainTextEdit& pane, const QString& text) {
    pane.setPlainText(widget_text_from_crlf(text));
}

void append_to_pane(QPlainTextEdit& pane, const QString& text) {
    QString widget_text = widget_text_from_crlf(text);
    // A text document spends microseconds on every paragraph: a million one-line paragraphs
    // took seconds. A long append is stored as paragraphs of a few dozen lines joined by line
    // separators, which the pane shows and reads back as line ends like any other.
    constexpr qsizetype lines_per_paragraph = 64;
    if (widget_text.count(u'\n') > lines_per_paragraph) {
        qsizetype lines = 0;
        // The last line end stays a paragraph's end, so the next append starts a paragraph.
        for (qsizetype at = 0; at + 1 < widget_text.size(); ++at) {
            if (widget_text[at] == u'\n' && ++lines % lines_per_paragraph != 0) {
                widget_text[at] = QChar::LineSeparator;
            }
        }
    }
    QTextCursor end(pane.document());
    end.movePosition(QTextCursor::End);
    end.insertText(widget_text);
}

}  // namespace quillmar
