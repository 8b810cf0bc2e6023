// The program text: the number rule and the check pass that turns lines into steps and messages.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <QString>
#include <QStringList>

namespace quillmar {

inline constexpr int step_table_size = 256;
inline constexpr int longest_duration = 1499;  // centiseconds

struct ProgramStep {
    std::int16_t command;  // 0 to 10
    float duration;        // centiseconds, 1 to 1499; 1 for the light
    int line;              // the text line it was read from, counted from 0
};

// A line that will not run: faulty, or a step beyond the full step table.
struct RejectedLine {
    int line;  // counted from 0
    QString text;
    bool beyond_table;
};

struct CheckedProgram {
    std::vector<ProgramStep> steps;  // at most step_table_size
    QStringList messages;            // echo and error lines, in the order of the text
    std::vector<RejectedLine> rejected;
};

// Reads a number: blanks and tabs skipped, sign, decimals, exponent, &H and &O; rounded half to
// even. Text that does not begin with a number reads as 0. Empty when the value does not fit in
// 16 signed bits. &H and &O (either case) give the 16-bit pattern of up to four hex digits' worth,
// so &HFFFF reads as -1 and &H10000 does not fit.
std::optional<std::int16_t> read_number(const QString& text);

// Checks every line of the program text; CR LF, a lone LF and a lone CR each end a line, so the
// lines counted are those a text pane shows.
CheckedProgram check_program(const QString& text);

// The text without the space character at either end; tabs and other blanks stay.
QString trim_spaces(const QString& text);

}  // namespace quillmar
