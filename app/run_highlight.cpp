#include "run_highlight.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <algorithm>
#include <optional>

namespace quillmar {

namespace {

// Where text line `line` of the program begins in the pane. The pane's text ends a line at each
// block and at each line separator inside a block, as the program's text read from it does.
std::optional<QTextCursor> line_start(const QTextDocument& document, int line) {
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        qsizetype offset = 0;
        while (line > 0 && offset >= 0) {
            offset = text.indexOf(QChar::LineSeparator, offset);
            if (offset >= 0) {
                ++offset;
                --line;
            }
        }
        if (offset >= 0) {
            QTextCursor cursor(block);
            cursor.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor,
                                static_cast<int>(offset));
            return cursor;
        }
        --line;
    }
    return std::nullopt;
}

}  // namespace

RunHighlight::RunHighlight(ArmSession& session, QPlainTextEdit& pane) : QObject(&pane), pane(pane) {
    connect(&session, &ArmSession::run_started, this,
            [this](const std::vector<RunStep>& run) { steps = run; });
    connect(&session, &ArmSession::step_started, this,
            [this](int index) { mark(steps.at(static_cast<std::size_t>(index)).line); });
    connect(&session, &ArmSession::run_ended, this, [this] { this->pane.setExtraSelections({}); });
}

void RunHighlight::mark(int line) {
    const std::optional<QTextCursor> start = line_start(*pane.document(), line);
    if (!start) {
        pane.setExtraSelections({});
        return;
    }
    QTextEdit::ExtraSelection selection;
    // The whole text line, every laid-out line of it when it wraps, marked across the pane.
    selection.cursor = *start;
    const QString block_text = start->block().text();
    const qsizetype line_end = block_text.indexOf(QChar::LineSeparator, start->positionInBlock());
    const auto end = line_end < 0 ? block_text.size() : line_end;
    selection.cursor.movePosition(QTextCursor::Right, QTextCursor::KeepAnchor,
                                  static_cast<int>(end - start->positionInBlock()));
    selection.format.setProperty(QTextFormat::FullWidthSelection, true);
    // The active colours: the pane is locked, and its disabled colours would hardly show.
    selection.format.setBackground(pane.palette().color(QPalette::Active, QPalette::Highlight));
    selection.format.setForeground(
        pane.palette().color(QPalette::Active, QPalette::HighlightedText));
    pane.setExtraSelections({selection});

    // The scroll bar counts laid-out lines; scrolling leaves the caret where it is.
    const QTextBlock block = start->block();
    const QTextLine laid_out = block.layout()->lineForTextPosition(start->positionInBlock());
    const int shown_line =
        block.firstLineNumber() + (laid_out.isValid() ? laid_out.lineNumber() : 0);
    QScrollBar& bar = *pane.verticalScrollBar();
    const int shown = std::max(1, pane.viewport()->height() / pane.fontMetrics().lineSpacing());
    if (shown_line < bar.value()) {
        bar.setValue(shown_line);
    } else if (shown_line >= bar.value() + shown) {
        bar.setValue(shown_line - shown + 1);
    }
}

}  // namespace quillmar
