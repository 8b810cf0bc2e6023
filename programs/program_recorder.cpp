#include "program_recorder.h"

#include <algorithm>
#include <cmath>

#include "program_check.h"

namespace quillmar {

namespace {

const QString line_end = QStringLiteral("\r\n");

}  // namespace

QStringList movement_lines(int command_number, double seconds) {
    auto left = std::max(1LL, std::llround(seconds * 100.0));
    QStringList lines;
    while (left > 0) {
        const auto piece = std::min<long long>(left, longest_duration);
        lines << QStringLiteral("%1,%2").arg(command_number).arg(piece);
        left -= piece;
    }
    return lines;
}

QString light_line() {
    return QStringLiteral("0,");
}

QString with_lines_added(const QString& text, const QStringList& lines) {
    QString added = text;
    // A last line without its line end gets one, so the new lines stand on their own.
    if (!added.isEmpty() && !added.endsWith(u'\r') && !added.endsWith(u'\n')) {
        added += line_end;
    }
    for (const QString& line : lines) {
        added += line + line_end;
    }
    return added;
}

}  // namespace quillmar
