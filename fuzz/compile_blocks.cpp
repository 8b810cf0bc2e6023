// Fuzz target: any bytes as a blocks workspace from the page, compiled; and as program text shown
// as blocks and compiled back. Compiled text never holds more steps than a program does, and text
// shown as blocks comes back as it was.
#include <QJsonDocument>
#include <QJsonObject>

#include "blocks/block_program.h"
#include "fuzz_check.h"
#include "programs/program_check.h"

using quillmar::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    quillmar::BlocksContext context;
    context.poses.push_back({QStringLiteral("p"), quillmar::start_pose()});
    const auto compiled =
        quillmar::compile_blocks(QJsonDocument::fromJson(bytes).object(), context);
    require(compiled.refusal.isEmpty() || compiled.text.isEmpty(), "a refusal makes no text");
    require(quillmar::check_program(compiled.text, {}).steps.size() <=
                static_cast<std::size_t>(quillmar::step_table_size),
            "no more steps than a program holds");

    const QString text = QString::fromUtf8(bytes);
    QString refusal;
    const QJsonObject blocks = quillmar::blocks_of_program(text, false, &refusal);
    if (refusal.isEmpty()) {
        const auto again = quillmar::compile_blocks(blocks, quillmar::BlocksContext{});
        // A line beyond the step table is a note that would run, which compiling refuses.
        if (quillmar::check_program(text, {}).rejected_count == 0 || again.refusal.isEmpty()) {
            require(again.refusal.isEmpty() && again.text == text, "the text comes back");
        }
    }
    return 0;
}
