#include "pane_text.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <optional>

#include "text/lines.h"

namespace quillmar {

namespace {

constexpr qsizetype lines_per_paragraph = 64;
// Longer words cost more than a millisecond to lay out with word wrap in a narrow pane.
constexpr qsizetype longest_wrapped_word = 1000;

// Only blanks and line ends count as the end of a word: a no-break space offers no break either.
bool holds_long_word(const QString& text) {
    qsizetype word = 0;
    for (const QChar c : text) {
        const bool breaks = c == u' ' || c == u'\t' || c == QChar::LineSeparator;
        word = breaks ? 0 : word + 1;
        if (word > longest_wrapped_word) {
            return true;
        }
    }
    return false;
}

// Follows one block that holds a long word; when that word goes, looks for another.
class LongWordWrap : public QObject {
  public:
    explicit LongWordWrap(QPlainTextEdit& pane)
        : QObject(&pane), pane(pane), usual(pane.wordWrapMode()) {
        // Called before the document lays the change out, so the new mode lays it out once.
        connect(pane.document(), &QTextDocument::contentsChange, this, &LongWordWrap::changed);
    }

  private:
    void changed(int position, int /*removed*/, int added) {
        if (long_word && holds_long_word(long_word->block().text())) {
            return;
        }
        const bool had_one = long_word.has_value();
        long_word.reset();
        const QTextDocument& document = *pane.document();
        // Replacing the text empties the document first: the mode stays for the new text, which
        // is laid out before this hears of it.
        if (document.isEmpty()) {
            return;
        }
        look_for_one(document.findBlock(position), position + added);
        if (had_one && !long_word) {
            look_for_one(document.begin(), document.characterCount());
        }
        const QTextOption::WrapMode mode = long_word ? QTextOption::WrapAnywhere : usual;
        // Setting the mode lays the whole document out again, even when it stays the same.
        if (pane.wordWrapMode() != mode) {
            pane.setWordWrapMode(mode);
        }
    }

    // Looks in the blocks from `block` to the one at `until`.
    void look_for_one(QTextBlock block, int until) {
        for (; block.isValid() && block.position() <= until; block = block.next()) {
            if (holds_long_word(block.text())) {
                long_word = QTextCursor(block);
                return;
            }
        }
    }

    QPlainTextEdit& pane;
    const QTextOption::WrapMode usual;
    // In the block that holds the long word; a cursor keeps its place through edits.
    std::optional<QTextCursor> long_word;
};

}  // namespace

QString crlf_from_widget_text(const QString& widget_text) {
    // One pass: QString::replace moves the rest of the text again for every thousand line ends,
    // which for a million of them took a tenth of a second.
    QString text(widget_text.size() + widget_text.count(u'\n'), Qt::Uninitialized);
    QChar* out = text.data();
    for (const QChar c : widget_text) {
        if (c == u'\n') {
            *out++ = u'\r';
        }
        *out++ = c;
    }
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

QString in_paragraphs(QString widget_text, qsizetype most) {
    if (widget_text.count(u'\n') <= most) {
        return widget_text;
    }
    QChar* const chars = widget_text.data();
    qsizetype lines = 0;
    // The last line end stays a paragraph's end, so the next append starts a paragraph.
    for (qsizetype at = 0; at + 1 < widget_text.size(); ++at) {
        if (chars[at] == u'\n' && ++lines % lines_per_paragraph != 0) {
            chars[at] = QChar::LineSeparator;
        }
    }
    return widget_text;
}

QString pane_text(const QPlainTextEdit& pane) {
    return crlf_from_widget_text(pane.toPlainText());
}

void set_pane_text(QPlainTextEdit& pane, const QString& text) {
    const QString widget_text = in_paragraphs(widget_text_from_crlf(text), most_program_paragraphs);
    // The pane lays new text out before its change signal, and so before a long word could
    // change how it wraps.
    if (holds_long_word(widget_text)) {
        pane.setWordWrapMode(QTextOption::WrapAnywhere);
    }
    pane.setPlainText(widget_text);
}

void append_to_pane(QPlainTextEdit& pane, const QString& text) {
    QTextCursor end(pane.document());
    end.movePosition(QTextCursor::End);
    end.insertText(in_paragraphs(widget_text_from_crlf(text), lines_per_paragraph));
}

void wrap_long_words_anywhere(QPlainTextEdit& pane) {
    new LongWordWrap(pane);
}

}  // namespace quillmar
