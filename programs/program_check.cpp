#include "program_check.h"

#include <QStringBuilder>
#include <algorithm>
#include <cstdint>
#include <string>

#include "text/lines.h"
#include "text/number_text.h"

namespace quillmar {

namespace {

// Exponents beyond this put any non-zero mantissa far outside 16 bits; capping keeps the
// arithmetic within 64 bits however many digits the exponent has.
constexpr std::int64_t exponent_cap = 1'000'000'000'000;
constexpr std::int64_t widest_whole_part = 5;  // digits of 32768

bool is_digit(QChar c) {
    return c >= u'0' && c <= u'9';
}

int digit_in_radix(QChar c, int radix) {
    const char16_t u = c.toLower().unicode();
    int digit = -1;
    if (u >= u'0' && u <= u'9') {
        digit = u - u'0';
    } else if (u >= u'a' && u <= u'f') {
        digit = u - u'a' + 10;
    }
    return digit < radix ? digit : -1;
}

// &H and &O numbers are 16-bit patterns: up to 0xFFFF, with the top bit as the sign.
std::optional<std::int16_t> read_radix(const QString& text, qsizetype pos, int radix) {
    std::uint32_t value = 0;
    for (; pos < text.size(); ++pos) {
        const int digit = digit_in_radix(text[pos], radix);
        if (digit < 0) {
            break;
        }
        value = value * static_cast<std::uint32_t>(radix) + static_cast<std::uint32_t>(digit);
        if (value > 0xFFFF) {
            return std::nullopt;
        }
    }
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(value));
}

// Reads sign, digits, point, digits and exponent, and rounds half to even on the decimal digits
// themselves, so no digit is lost to floating point and no length of text can overflow.
std::optional<std::int16_t> read_decimal(const QString& text) {
    const qsizetype size = text.size();
    qsizetype pos = 0;
    bool negative = false;
    if (pos < size && (text[pos] == u'+' || text[pos] == u'-')) {
        negative = text[pos] == u'-';
        ++pos;
    }
    std::string digits;
    while (pos < size && is_digit(text[pos])) {
        digits += static_cast<char>(text[pos++].unicode());
    }
    const auto whole_digits = static_cast<std::int64_t>(digits.size());
    if (pos < size && text[pos] == u'.') {
        ++pos;
        while (pos < size && is_digit(text[pos])) {
            digits += static_cast<char>(text[pos++].unicode());
        }
    }
    if (digits.empty()) {
        return 0;
    }
    std::int64_t exponent = 0;
    if (pos < size && (text[pos] == u'e' || text[pos] == u'E')) {
        qsizetype at = pos + 1;
        bool exponent_negative = false;
        if (at < size && (text[at] == u'+' || text[at] == u'-')) {
            exponent_negative = text[at] == u'-';
            ++at;
        }
        for (; at < size && is_digit(text[at]); ++at) {
            exponent = std::min(exponent * 10 + (text[at].unicode() - u'0'), exponent_cap);
        }
        if (exponent_negative) {
            exponent = -exponent;
        }
    }

    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string::npos) {
        return 0;
    }
    // How many digits from the first non-zero one stand before the decimal point.
    const std::int64_t point = whole_digits - static_cast<std::int64_t>(first) + exponent;
    if (point > widest_whole_part) {
        return std::nullopt;
    }
    const auto digit_at = [&](std::int64_t index) -> int {
        const auto at = static_cast<std::int64_t>(first) + index;
        return at < static_cast<std::int64_t>(digits.size())
                   ? digits[static_cast<std::size_t>(at)] - '0'
                   : 0;
    };
    std::int64_t whole = 0;
    for (std::int64_t i = 0; i < point; ++i) {
        whole = whole * 10 + digit_at(i);
    }
    if (point >= 0) {
        const int next = digit_at(point);
        bool beyond_half = false;
        for (std::int64_t i = static_cast<std::int64_t>(first) + point + 1;
             i < static_cast<std::int64_t>(digits.size()) && !beyond_half; ++i) {
            beyond_half = digits[static_cast<std::size_t>(i)] != '0';
        }
        if (next > 5 || (next == 5 && (beyond_half || whole % 2 == 1))) {
            ++whole;
        }
    }
    if (negative) {
        whole = -whole;
    }
    if (whole < INT16_MIN || whole > INT16_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(whole);
}

std::optional<ProgramStep> read_step(const QString& line) {
    const qsizetype comma = line.indexOf(u',');
    if (comma < 0) {
        return std::nullopt;
    }
    const std::optional<std::int16_t> command = read_number(line.left(comma));
    if (!command || *command < 0 || *command > 10) {
        return std::nullopt;
    }
    if (*command == 0) {
        return ProgramStep{0, 1.0f, 0};
    }
    const std::optional<std::int16_t> duration = read_number(line.mid(comma + 1));
    if (!duration || *duration < 1 || *duration > longest_duration) {
        return std::nullopt;
    }
    return ProgramStep{*command, static_cast<float>(*duration), 0};
}

QString echo_line(int index, const ProgramStep& step) {
    QString text = (QStringLiteral("Line ") + number_text(index) + QStringLiteral(" : "))
                       .leftJustified(12, u' ') +
                   number_text(step.command) + QStringLiteral(" , ");
    if (step.command != 0) {
        text += number_text(static_cast<long long>(step.duration));
    }
    return text;
}

}  // namespace

QString trim_spaces(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == u' ') {
        ++begin;
    }
    while (end > begin && text[end - 1] == u' ') {
        --end;
    }
    return text.mid(begin, end - begin);
}

std::optional<std::int16_t> read_number(const QString& text) {
    QString compact;
    compact.reserve(text.size());
    for (const QChar c : text) {
        if (c != u' ' && c != u'\t') {
            compact += c;
        }
    }
    if (compact.size() >= 2 && compact[0] == u'&') {
        const QChar kind = compact[1].toLower();
        if (kind == u'h') {
            return read_radix(compact, 2, 16);
        }
        if (kind == u'o') {
            return read_radix(compact, 2, 8);
        }
    }
    return read_decimal(compact);
}

CheckedProgram check_program(const QString& text) {
    QStringList messages;
    CheckedProgram program =
        check_program(text, [&messages](const QString& message) { messages << message; });
    program.messages = std::move(messages);
    return program;
}

CheckedProgram check_program(const QString& text, const MessageSink& each_message) {
    CheckedProgram program;
    const qsizetype size = text.size();
    qsizetype pos = 0;
    for (int text_line = 0; pos < size; ++text_line) {
        const TextLine found = line_at(text, pos);
        const QString line = trim_spaces(found.text.toString());
        pos = found.next;
        // Spaces at the start of what remains are dropped, so text that ends in spaces after
        // its last line end adds no line.
        while (pos < size && text[pos] == u' ') {
            ++pos;
        }

        const int line_count = static_cast<int>(program.steps.size());
        std::optional<ProgramStep> step = read_step(line);
        if (std::optional<QString> what = misreading(line)) {
            if (program.misread_count++ < rejected_lines_kept) {
                program.misread.push_back({text_line, line, *std::move(what)});
            }
        }
        if (step && line_count < step_table_size) {
            if (each_message) {
                each_message(echo_line(line_count, *step));
            }
            step->line = text_line;
            program.steps.push_back(*step);
            continue;
        }
        if (each_message) {
            // Built in one piece: the largest program file has a million of these.
            each_message(step ? QString(QStringLiteral("Line not run, a program holds ") %
                                        QString::number(step_table_size) %
                                        QStringLiteral(" steps at most ( ") % line %
                                        QStringLiteral(" )"))
                              : QString(QStringLiteral("Programing error at line ") %
                                        number_text(line_count) % QStringLiteral(" ( ") % line %
                                        QStringLiteral(" )")));
        }
        if (program.rejected_count++ < rejected_lines_kept) {
            program.rejected.push_back({text_line, line, step.has_value()});
        }
    }
    return program;
}

}  // namespace quillmar
