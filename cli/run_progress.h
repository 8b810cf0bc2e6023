// What a run on the command line tells: the pane's lines, each step, each command and the end.
#pragma once

#include <optional>
#include <vector>

#include <QObject>
#include <QString>
#include <QTimer>

#include "armlink/arm_command.h"
#include "programs/run_step.h"

namespace quillmar {

class ArmSession;

class RunProgress : public QObject {
    Q_OBJECT
  public:
    enum class Style {
        line,   // a terminal: one line that rewrites itself
        lines,  // a pipe or a file: a line per step
        quiet,  // error lines only
        json,   // one JSON object a line for every event
    };

    RunProgress(ArmSession& session, Style style);

    // A line of the message pane.
    void message(const QString& text);
    // The same, before any run has begun.
    static void print_message(Style style, const QString& text);
    // A line of the error pane.
    void error(const QString& text);
    // The latest run was cut short.
    bool stopped() const { return stopped_at.has_value(); }

  private:
    void started(const std::vector<RunStep>& run);
    void step(int index, const QString& text);
    void sent(ArmCommand command);
    void ended(std::optional<int> stopped_during);
    // The terminal's line, drawn afresh.
    void draw();
    // Takes the terminal's line away before other output.
    void clear_line();
    double seconds_left() const;
    QString step_caption() const;

    ArmSession& session;
    const Style style;
    const double origin;  // the session's clock when the progress began: time 0 of the events
    std::vector<RunStep> steps;
    int index = -1;
    QString line_text;  // of the step under way
    double step_began = 0.0;
    int runs = 0;
    bool line_shown = false;
    std::optional<int> stopped_at;
    QTimer ticks;
};

}  // namespace quillmar
