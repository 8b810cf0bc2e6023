#include "lines.h"

namespace quillmar {

TextLine line_at(QStringView text, qsizetype pos) {
    const qsizetype size = text.size();
    qsizetype end = pos;
    while (end < size && text[end] != u'\r' && text[end] != u'\n') {
        ++end;
    }
    qsizetype next = end;
    if (next < size) {
        next += (text[next] == u'\r' && next + 1 < size && text[next + 1] == u'\n') ? 2 : 1;
    }
    return {text.mid(pos, end - pos), next};
}

}  // namespace quillmar
