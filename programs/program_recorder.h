// Teaching by hand: movements and light switches as the program lines that do them again.
#pragma once

#include <QString>
#include <QStringList>

namespace quillmar {

// The lines that run the motor of command 1 to 10 for `seconds`: the duration in hundredths,
// rounded and at least one, split into lines of at most the longest duration a line may hold.
QStringList movement_lines(int command_number, double seconds);

// The line that switches the light.
QString light_line();

// The program text with `lines` added as lines of their own at its end.
QString with_lines_added(const QString& text, const QStringList& lines);

}  // namespace quillmar
