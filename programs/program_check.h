// The program text: the number rule and the check pass that turns lines into steps and messages.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include <QString>
#include <QStringList>

#include "programs/program_reading.h"

namespace quillmar {

inline constexpr int step_table_size = 256;
inline constexpr int longest_duration = 1499;  // centiseconds
// The longest line that a file or a paste may bring into the program pane. No program line is
// anywhere near as long, and laying out a longer one kept the window busy for seconds.
inline constexpr qsizetype longest_line = 32765;
// Lines that will not run are kept up to this many, more than any list of them shows: a large
// file of empty lines would otherwise hold a record for each of a million lines.
inline constexpr qsizetype rejected_lines_kept = 1000;

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
    std::vector<ProgramStep> steps;      // at most step_table_size
    QStringList messages;                // echo and error lines, in the order of the text
    std::vector<RejectedLine> rejected;  // the first rejected_lines_kept of them
    qsizetype rejected_count = 0;        // all of them
    std::vector<MisreadLine> misread;    // lines that read otherwise than they look: the first
    qsizetype misread_count = 0;         // all of them
};

// Takes each echo or error line of the check pass as it is made.
using MessageSink = std::function<void(const QString& message)>;

// Reads a number: blanks and tabs skipped, sign, decimals, exponent, &H and &O; rounded half to
// even. Text that does not begin with a number reads as 0. Empty when the value does not fit in
// 16 signed bits. &H and &O (either case) give the 16-bit pattern of up to four hex digits' worth,
// so &HFFFF reads as -1 and &H10000 does not fit.
std::optional<std::int16_t> read_number(const QString& text);

// Checks every line of the program text; CR LF, a lone LF and a lone CR each end a line, so the
// lines counted are those a text pane shows.
CheckedProgram check_program(const QString& text);
// The same pass with its messages handed to `each_message` in text order instead of kept; an
// empty sink makes none.
CheckedProgram check_program(const QString& text, const MessageSink& each_message);

// The text without the space character at either end; tabs and other blanks stay.
QString trim_spaces(const QString& text);

}  // namespace quillmar
