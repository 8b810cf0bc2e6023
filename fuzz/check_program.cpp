// Fuzz target: any bytes as program text, read as Latin-1 and as UTF-8, through the check pass,
// and through the number rule on their own.
#include <QString>

#include "fuzz_check.h"
#include "programs/program_check.h"

using quillmar::fuzz::require;

namespace {

// How many lines the check pass must answer: one per line end (CR LF, a lone CR or a lone LF),
// and one for text after the last line end unless that text is only spaces.
qsizetype expected_lines(const QString& text) {
    qsizetype ends = 0;
    qsizetype after_last_end = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' || text[i] == u'\n') {
            if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
                ++i;
            }
            ++ends;
            after_last_end = i + 1;
        }
    }
    const QString rest = text.mid(after_last_end);
    const bool rest_counts = ends == 0 ? !rest.isEmpty() : !quillmar::trim_spaces(rest).isEmpty();
    return ends + (rest_counts ? 1 : 0);
}

void check(const QString& text) {
    const quillmar::CheckedProgram program = quillmar::check_program(text);
    require(program.messages.size() == expected_lines(text), "one message per line");
    require(program.steps.size() <= static_cast<std::size_t>(quillmar::step_table_size),
            "at most a full step table");
    qsizetype echoes = 0;
    for (const QString& message : program.messages) {
        const bool not_run = message.startsWith(QStringLiteral("Line not run, "));
        const bool echo = !not_run && message.startsWith(QStringLiteral("Line "));
        const bool error = message.startsWith(QStringLiteral("Programing error at line "));
        require(int{not_run} + int{echo} + int{error} == 1,
                "each message is an echo, an error or a line not run");
        require(!message.contains(u'\r') && !message.contains(u'\n'), "a message is one line");
        echoes += echo ? 1 : 0;
    }
    require(static_cast<std::size_t>(echoes) == program.steps.size(), "one echo per step");
    for (const auto& step : program.steps) {
        require(step.command >= 0 && step.command <= 10, "command within 0 to 10");
        require(step.command == 0
                    ? step.duration == 1.0f
                    : step.duration >= 1.0f &&
                          step.duration <= static_cast<float>(quillmar::longest_duration),
                "duration within 1 to 1499, 1 for the light");
    }
    // Blanks and tabs are skipped anywhere in a number, so leading ones change nothing.
    require(quillmar::read_number(text) == quillmar::read_number(QStringLiteral(" \t") + text),
            "leading blanks change no number");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto* bytes = reinterpret_cast<const char*>(data);
    const auto length = static_cast<qsizetype>(size);
    check(QString::fromLatin1(bytes, length));
    check(QString::fromUtf8(bytes, length));
    return 0;
}
