// Program lines that read otherwise than they look: a word, a comment or curly quotes that read as
// 0 (the light), text after a number, a number written another way, a duration over the longest.
#pragma once

#include <QString>
#include <optional>

namespace quillmar {

struct MisreadLine {
    int line;      // counted from 0
    QString text;  // as the check pass read it
    QString what;  // what the line will do: "is not a command number: it reads as 0, the light"
};

// What `line` (trimmed as the check pass trims it) will do when that is not what it looks like;
// nothing when it reads as typed, or is no step at all (the check pass says so).
std::optional<QString> misreading(const QString& line);

// "line 1: \"Grip,100\" is not a command number: it reads as 0, the light", lines counted from 1.
QString misread_warning(const MisreadLine& misread);

}  // namespace quillmar
