// Lines on standard output and standard error, safe on a terminal.
#pragma once

#include <cstdio>

#include <QString>

namespace quillmar {

bool is_terminal(std::FILE* stream);

// The terminal's columns, or 80 when it does not say.
int terminal_width(std::FILE* stream);

// Writes `text` as the message pane would show it, each of its lines (CR LF, a lone CR or LF end
// one) ended by a newline. On a terminal, control characters become '?' so that a program's
// text cannot move the cursor or recolour the terminal.
void print_lines(std::FILE* stream, const QString& text);

// "1 step", "3 steps".
QString steps_text(qsizetype count);

// Writes `text` as it is, then flushes.
void print_raw(std::FILE* stream, const QString& text);

}  // namespace quillmar
