#include "program_reading.h"

#include <algorithm>

#include "program_check.h"
#include "program_preview.h"

namespace quillmar {

namespace {

// The text as the number rule reads it: blanks and tabs left out.
QString compact(const QString& text) {
    QString out;
    for (const QChar c : text) {
        if (c != u' ' && c != u'\t') {
            out += c;
        }
    }
    return out;
}

// Digits 0 to 9 alone, perhaps after a sign.
bool plain_number(const QString& text) {
    QString digits = compact(text);
    if (digits.startsWith(u'+') || digits.startsWith(u'-')) {
        digits.remove(0, 1);
    }
    return !digits.isEmpty() &&
           std::ranges::all_of(digits, [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// Whether the number rule finds a number at the start of `text`, rather than reading 0 for it.
bool begins_with_number(const QString& text) {
    const QString digits = compact(text);
    return !digits.isEmpty() && QStringLiteral("0123456789+-.&").contains(digits.front());
}

// Why a line reads as it does, for the mistakes pupils make; empty when nothing more is to say.
QString reason(const QString& text) {
    const QString digits = compact(text);
    if (digits.startsWith(u'#') || digits.startsWith(QStringLiteral("//")) ||
        digits.contains(u'#')) {
        return QStringLiteral(" (a program has no comments)");
    }
    if (std::ranges::any_of(digits, [](QChar c) { return c.isDigit() && c.unicode() > 0x7f; })) {
        return QStringLiteral(" (its digits are not 0 to 9)");
    }
    if (std::ranges::any_of(digits,
                            [](QChar c) { return QStringLiteral("\"'“”‘’„«»").contains(c); })) {
        return QStringLiteral(" (a quotation mark)");
    }
    if (digits.contains(u',')) {
        return QStringLiteral(" (a line holds one comma)");
    }
    return {};
}

}  // namespace

std::optional<QString> misreading(const QString& line) {
    const qsizetype comma = line.indexOf(u',');
    if (comma < 0) {
        return std::nullopt;
    }
    const QString left = line.left(comma);
    const QString right = line.mid(comma + 1);
    const std::optional<std::int16_t> command = read_number(left);
    if (!command || *command < 0 || *command > 10) {
        return std::nullopt;
    }
    if (*command == 0) {
        if (plain_number(left)) {
            return std::nullopt;
        }
        if (!begins_with_number(left)) {
            return QStringLiteral("is not a command number: it reads as 0, the light") +
                   reason(left);
        }
        return QStringLiteral("reads as 0, the light");
    }
    const std::optional<std::int16_t> duration = read_number(right);
    if (!duration || *duration < 1) {
        return std::nullopt;
    }
    if (*duration > longest_duration) {
        return QStringLiteral("will not run: a duration is at most %1 (%2 s)")
            .arg(longest_duration)
            .arg(longest_duration / 100.0, 0, 'f', 2);
    }
    if (plain_number(left) && plain_number(right)) {
        return std::nullopt;
    }
    return QStringLiteral("runs as %1,%2: %3 for %4 s")
               .arg(*command)
               .arg(*duration)
               .arg(command_name(*command))
               .arg(*duration / 100.0, 0, 'f', 2) +
           reason(plain_number(left) ? right : left);
}

QString misread_warning(const MisreadLine& misread) {
    // Its start only when it is long; the text goes in with the rest in one pass, so that a "%1"
    // the user typed stays as it is.
    constexpr qsizetype longest_quote = 60;
    const QString text = misread.text.size() <= longest_quote
                             ? misread.text
                             : misread.text.left(longest_quote - 1) + QChar(0x2026);
    return QStringLiteral("line %1: \"%2\" %3")
        .arg(QString::number(misread.line + 1), text, misread.what);
}

}  // namespace quillmar
