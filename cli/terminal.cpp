#include "terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "text/lines.h"
#include "text/visible_text.h"

namespace quillmar {

bool is_terminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

int terminal_width(std::FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

void print_lines(std::FILE* stream, const QString& text) {
    const bool terminal = is_terminal(stream);
    QString out;
    out.reserve(text.size() + 1);
    // The pane ends the text with a line end of its own: a text that ends with one shows an
    // empty last line.
    for (qsizetype pos = 0;;) {
        const TextLine line = line_at(text, pos);
        out += terminal ? visible_text(line.text.toString()) : line.text.toString();
        out += QLatin1Char('\n');
        if (line.next == pos + line.text.size()) {
            break;
        }
        pos = line.next;
    }
    print_raw(stream, out);
}

QString steps_text(qsizetype count) {
    return count == 1 ? QStringLiteral("1 step") : QStringLiteral("%1 steps").arg(count);
}

void print_raw(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fflush(stream);
}

}  // namespace quillmar
