#include "program_recorder.h"

#include <algorithm>
#include <cmath>

#include "motion/back_to_start.h"
#include "program_check.h"
#include "program_preview.h"
#include "text/lines.h"

namespace quillmar {

namespace {

const QString line_end = QStringLiteral("\r\n");

// Where lines put in at `cursor` go: the start of the cursor's line when it is there, else the
// start of the next line (the text's end after its last line).
qsizetype insertion_point(const QString& text, qsizetype cursor) {
    qsizetype start = 0;
    while (start < text.size()) {
        const TextLine line = line_at(text, start);
        if (cursor <= start) {
            return start;
        }
        if (cursor < line.next || line.next >= text.size()) {
            return line.next;
        }
        start = line.next;
    }
    return text.size();
}

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

WayInserted with_way_inserted(const QString& text, qsizetype cursor, const Pose& from, bool light,
                              const Pose& pose, const JointSpeeds& speeds) {
    const qsizetype at = insertion_point(text, std::clamp<qsizetype>(cursor, 0, text.size()));
    const ProgramPreview before = preview_program(check_program(text.left(at)), Direction::forwards,
                                                  from, light, std::nullopt, speeds);
    ArmModel there(0.0, speeds);
    there.place(before.end_pose, 0.0);
    QStringList way;
    for (const Movement& movement : way_to_plan(there, 0.0, pose, there.light_on())) {
        way << movement_lines(movement.command, movement.seconds);
    }
    if (way.isEmpty()) {
        return {text, cursor};
    }
    QString lines;
    // A last line without its line end gets one, so the new lines stand on their own.
    if (at > 0 && text.at(at - 1) != u'\r' && text.at(at - 1) != u'\n') {
        lines += line_end;
    }
    lines += way.join(line_end) + line_end;
    return {text.left(at) + lines + text.mid(at), at + lines.size()};
}

}  // namespace quillmar
