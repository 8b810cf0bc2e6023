// Teaching by hand: movements and light switches as the program lines that do them again.
#pragma once

#include <QString>
#include <QStringList>

#include "motion/arm_model.h"

namespace quillmar {

// The lines that run the motor of command 1 to 10 for `seconds`: the duration in hundredths,
// rounded and at least one, split into lines of at most the longest duration a line may hold.
QStringList movement_lines(int command_number, double seconds);

// The line that switches the light.
QString light_line();

// The program text with `lines` added as lines of their own at its end.
QString with_lines_added(const QString& text, const QStringList& lines);

// A program with the way to a pose written into it.
struct WayInserted {
    QString text;
    qsizetype cursor;  // just after the lines put in
};

// `text` with the lines that drive to `pose` put in at `cursor` (a position in the text, as the
// program pane's cursor): before the cursor's line when the cursor is at its start, else after
// it. The way starts where the program leaves the arm there: its forward run of the lines
// before, from `from` with the light as `light`, the joints travelling at `speeds`. So a program
// with the way put in at its end ends at `pose`.
WayInserted with_way_inserted(const QString& text, qsizetype cursor, const Pose& from, bool light,
                              const Pose& pose, const JointSpeeds& speeds);

}  // namespace quillmar
