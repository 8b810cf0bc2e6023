#include "run_progress.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <chrono>
#include <cmath>

#include "programs/program_preview.h"
#include "session/arm_session.h"
#include "terminal.h"
#include "text/lines.h"
#include "text/visible_text.h"

namespace quillmar {

namespace {

constexpr int tick_ms = 100;
constexpr int bar_width = 20;

void print_json(const QJsonObject& event) {
    print_raw(stdout, QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)) +
                          QLatin1Char('\n'));
}

// Milliseconds are as fine as the waits are exact.
double rounded(double seconds) {
    return std::round(seconds * 1000.0) / 1000.0;
}

QString seconds_text(double seconds) {
    return QString::number(seconds, 'f', 1) + QStringLiteral(" s");
}

}  // namespace

RunProgress::RunProgress(ArmSession& session, Style style)
    : session(session), style(style), origin(session.now()) {
    connect(&session, &ArmSession::message_line, this, &RunProgress::message);
    connect(&session, &ArmSession::error_line, this, &RunProgress::error);
    connect(&session, &ArmSession::run_started, this, &RunProgress::started);
    connect(&session, &ArmSession::step_started, this,
            [this](int step_index, int, const QString& text) { step(step_index, text); });
    connect(&session, &ArmSession::run_ended, this, &RunProgress::ended);
    if (style == Style::json) {
        connect(&session, &ArmSession::command_sent, this, &RunProgress::sent);
    }
    ticks.setInterval(tick_ms);
    connect(&ticks, &QTimer::timeout, this, &RunProgress::draw);
}

void RunProgress::print_message(Style style, const QString& text) {
    switch (style) {
        case Style::line:
        case Style::lines:
            print_lines(stdout, text);
            break;
        case Style::quiet:
            break;
        case Style::json:
            // One event a line: the check pass comes as one text of many lines.
            for (qsizetype pos = 0; pos < text.size();) {
                const TextLine line = line_at(text, pos);
                if (!line.text.isEmpty()) {
                    print_json({{"event", "message"}, {"text", line.text.toString()}});
                }
                pos = line.next;
            }
            break;
    }
}

void RunProgress::message(const QString& text) {
    clear_line();
    print_message(style, text);
    draw();
}

void RunProgress::error(const QString& text) {
    // Standard error has every error line, whatever standard output holds.
    if (style == Style::json) {
        print_json({{"event", "error"}, {"text", text}, {"time", rounded(session.now() - origin)}});
    }
    clear_line();
    print_lines(stderr, text);
    draw();
}

void RunProgress::started(const std::vector<RunStep>& run) {
    steps = run;
    index = -1;
    stopped_at.reset();
    ++runs;
    if (style == Style::json) {
        print_json({{"event", "start"},
                    {"run", runs},
                    {"steps", static_cast<int>(steps.size())},
                    {"seconds", rounded(run_duration(steps))}});
    }
}

void RunProgress::step(int step_index, const QString& text) {
    index = step_index;
    line_text = text;
    step_began = session.now();
    const RunStep& shown = steps.at(static_cast<std::size_t>(index));
    switch (style) {
        case Style::line:
            draw();
            ticks.start();
            break;
        case Style::lines:
            print_lines(stdout,
                        QStringLiteral("Step %1 of %2: %3, line %4: %5 (%6 left)")
                            .arg(index + 1)
                            .arg(steps.size())
                            .arg(step_caption())
                            .arg(shown.line + 1)
                            .arg(line_text, seconds_text(run_time_left(steps, index, 0.0))));
            break;
        case Style::quiet:
            break;
        case Style::json:
            print_json({{"event", "step"},
                        {"step", index + 1},
                        {"of", static_cast<int>(steps.size())},
                        {"command", shown.command},
                        {"caption", step_caption()},
                        {"line", shown.line + 1},
                        {"text", line_text},
                        {"seconds", rounded(shown.seconds)},
                        {"left", rounded(run_time_left(steps, index, 0.0))},
                        {"time", rounded(step_began - origin)}});
            break;
    }
}

void RunProgress::sent(ArmCommand command) {
    print_json({{"event", "command"},
                {"bytes", QJsonArray{int{command.motor}, int{command.base}, int{command.light}}},
                {"time", rounded(session.now() - origin)}});
}

void RunProgress::ended(std::optional<int> stopped_during) {
    ticks.stop();
    stopped_at = stopped_during;
    const auto count = static_cast<int>(steps.size());
    switch (style) {
        case Style::line:
        case Style::lines: {
            clear_line();
            const QString end =
                stopped_at && session.left_running()
                    ? QStringLiteral("Run ended: the arm did not take the stop command")
                : stopped_at
                    ? QStringLiteral("Run stopped at step %1 of %2").arg(*stopped_at + 1).arg(count)
                    : QStringLiteral("Run finished: %1 in %2")
                          .arg(steps_text(count), seconds_text(run_duration(steps)));
            index = -1;
            print_lines(stdout, end);
            break;
        }
        case Style::quiet:
            break;
        case Style::json: {
            QJsonObject event{{"event", "end"},
                              {"finished", !stopped_at},
                              {"time", rounded(session.now() - origin)}};
            if (stopped_at) {
                event.insert(QStringLiteral("stopped_at"), *stopped_at + 1);
            }
            if (session.left_running()) {
                event.insert(QStringLiteral("stop_not_taken"), true);
            }
            print_json(event);
            break;
        }
    }
    index = -1;
}

void RunProgress::draw() {
    if (style != Style::line || index < 0) {
        return;
    }
    const double total = run_duration(steps);
    const double left = seconds_left();
    const int done =
        total > 0.0 ? static_cast<int>(std::lround((total - left) / total * bar_width)) : bar_width;
    const RunStep& shown = steps.at(static_cast<std::size_t>(index));
    const QString bar = QStringLiteral("[") + QString(done, QLatin1Char('#')) +
                        QString(bar_width - done, QLatin1Char('-')) + QStringLiteral("]");
    const QString text = QStringLiteral("%1 %2 left  Step %3 of %4: %5, line %6: %7")
                             .arg(bar, seconds_text(left))
                             .arg(index + 1)
                             .arg(steps.size())
                             .arg(step_caption())
                             .arg(shown.line + 1)
                             .arg(line_text);
    // A line longer than the terminal would wrap, and the carriage return would then rewrite
    // only its last part.
    const auto width = static_cast<qsizetype>(terminal_width(stdout) - 1);
    print_raw(stdout,
              QStringLiteral("\r") + visible_text(text.left(width)) + QStringLiteral("\x1b[K"));
    line_shown = true;
}

void RunProgress::clear_line() {
    if (line_shown) {
        print_raw(stdout, QStringLiteral("\r\x1b[K"));
        line_shown = false;
    }
}

double RunProgress::seconds_left() const {
    const RunStep& shown = steps.at(static_cast<std::size_t>(index));
    const double since = session.now() - step_began;
    const double left = run_time_left(steps, index, std::clamp(since, 0.0, shown.seconds));
    // The pause after the step counts down too, when a step follows.
    if (static_cast<std::size_t>(index) + 1 == steps.size()) {
        return left;
    }
    const double pause = std::chrono::duration<double>(pause_between_steps).count();
    return left - std::clamp(since - shown.seconds, 0.0, pause);
}

QString RunProgress::step_caption() const {
    const RunStep& shown = steps.at(static_cast<std::size_t>(index));
    return QString::fromLatin1(command_table.at(static_cast<std::size_t>(shown.command)).caption);
}

}  // namespace quillmar
