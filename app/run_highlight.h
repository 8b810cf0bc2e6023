// Marks the program pane's line of the step that runs, without touching its text, caret or lock.
#pragma once

#include <QObject>
#include <vector>

#include "session/arm_session.h"

class QPlainTextEdit;

namespace quillmar {

class RunHighlight : public QObject {
    Q_OBJECT
  public:
    // Lives as long as `pane`, which owns it.
    RunHighlight(ArmSession& session, QPlainTextEdit& pane);

  private:
    // Marks text line `line` (a block of the pane) and scrolls it into view.
    void mark(int line);

    QPlainTextEdit& pane;
    std::vector<RunStep> steps;
};

}  // namespace quillmar
