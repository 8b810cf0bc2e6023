// Splitting text into lines: CR LF, a lone CR and a lone LF each end a line.
#pragma once

#include <QStringView>

namespace quillmar {

// One line of a text and where the next line begins; the line end is not part of the line.
struct TextLine {
    QStringView text;
    qsizetype next;
};
TextLine line_at(QStringView text, qsizetype pos);

}  // namespace quillmar
