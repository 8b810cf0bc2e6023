#include "run_highlight.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <algorithm>

namespace quillmar {

RunHighlight::RunHighlight(ProgramRunner& runner, QPlainTextEdit& pane)
    : QObject(&pane), pane(pane) {
    connect(&runner, &ProgramRunner::run_started, this,
            [this](const std::vector<RunStep>& run) { steps = run; });
    connect(&runner, &ProgramRunner::step_started, this,
            [this](int index) { mark(steps.at(static_cast<std::size_t>(index)).line); });
    auto clear = [this] { this->pane.setExtraSelections({}); };
    connect(&runner, &ProgramRunner::run_finished, this, clear);
    connect(&runner, &ProgramRunner::run_stopped, this, clear);
}

void RunHighlight::mark(int line) {
    const QTextBlock block = pane.document()->findBlockByNumber(line);
    QTextEdit::ExtraSelection selection;
    selection.cursor = QTextCursor(block);
    selection.format.setProperty(QTextFormat::FullWidthSelection, true);
    // The active colours: the pane is locked, and its disabled colours would hardly show.
    selection.format.setBackground(pane.palette().color(QPalette::Active, QPalette::Highlight));
    selection.format.setForeground(
        pane.palette().color(QPalette::Active, QPalette::HighlightedText));
    pane.setExtraSelections({selection});

    // The scroll bar counts laid-out lines; scrolling leaves the caret where it is.
    QScrollBar& bar = *pane.verticalScrollBar();
    const int first = block.firstLineNumber();
    const int last = first + std::max(1, block.lineCount()) - 1;
    const int shown = std::max(1, pane.viewport()->height() / pane.fontMetrics().lineSpacing());
    if (first < bar.value()) {
        bar.setValue(first);
    } else if (last >= bar.value() + shown) {
        bar.setValue(last - shown + 1);
    }
}

}  // namespace quillmar
