#include "program_pane.h"

#include <QMimeData>
#include <QTextBlock>
#include <algorithm>

#include "pane_text.h"
#include "programs/program_check.h"
#include "text/lines.h"

namespace quillmar {

namespace {

// The longest line of widget text, whose blocks may hold line separators.
qsizetype longest_line_of(QString widget_text) {
    widget_text.replace(QChar::LineSeparator, u'\n');
    widget_text.replace(QChar::ParagraphSeparator, u'\n');
    qsizetype longest = 0;
    for (qsizetype pos = 0; pos < widget_text.size();) {
        const TextLine line = line_at(widget_text, pos);
        longest = std::max(longest, line.text.size());
        pos = line.next;
    }
    return longest;
}

}  // namespace

void ProgramPane::insertFromMimeData(const QMimeData* source) {
    if (!source->hasText()) {
        QPlainTextEdit::insertFromMimeData(source);
        return;
    }
    const QString text = widget_text_from_crlf(source->text());
    // The lines the text joins at either end count with it.
    const QTextCursor at = textCursor();
    const QTextBlock first = document()->findBlock(at.selectionStart());
    const QTextBlock last = document()->findBlock(at.selectionEnd());
    const QString joined = first.text().left(at.selectionStart() - first.position()) + text +
                           last.text().mid(at.selectionEnd() - last.position());
    if (longest_line_of(joined) > longest_line) {
        emit refused(QStringLiteral("a line would be longer than %1 characters, too long for a "
                                    "program")
                         .arg(longest_line));
        return;
    }
    QMimeData lines;
    lines.setText(in_paragraphs(text, most_program_paragraphs));
    QPlainTextEdit::insertFromMimeData(&lines);
}

}  // namespace quillmar
