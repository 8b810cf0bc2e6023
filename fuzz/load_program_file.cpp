// Fuzz target: any bytes as a program file, loaded through Load File with answering dialogs.
#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>

#include "fuzz_check.h"
#include "programs/program_check.h"
#include "programs/program_files.h"
#include "support/scripted_dialogs.h"

using quillmar::fuzz::require;

namespace {

const QString untouched = QStringLiteral("text the user had\r\n");

// The program pane and the message pane as strings.
struct Pane : quillmar::FilePane {
    QString program_text() const override { return program; }
    void set_program_text(const QString& text) override { program = text; }
    void show_message(const QString& text) override { message += text + QStringLiteral("\r\n"); }
    QString program;
    QString message;
};

// The file's lines joined by CR LF with one after the last: CR LF, a lone CR and a lone LF each
// end a line.
QByteArray with_crlf_lines(QByteArray bytes) {
    bytes.replace("\r\n", "\n");
    bytes.replace('\r', '\n');
    if (!bytes.isEmpty() && !bytes.endsWith('\n')) {
        bytes += '\n';
    }
    return bytes.replace("\n", "\r\n");
}

// The longest line's length; CR LF, a lone CR and a lone LF each end a line.
qsizetype longest_line_of(const QByteArray& bytes) {
    qsizetype longest = 0;
    for (const QByteArray& line : with_crlf_lines(bytes).split('\n')) {
        longest = std::max(longest, line.size() - (line.endsWith('\r') ? 1 : 0));
    }
    return longest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const QTemporaryDir folder;
    const QString name = folder.filePath(QStringLiteral("program.rob"));
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    {
        QFile file(name);
        require(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size(),
                "the input file is written");
    }

    Pane pane;
    pane.program = untouched;
    quillmar::testing::ScriptedDialogs dialogs;
    dialogs.answer = name;
    quillmar::ProgramFiles files(pane, dialogs);
    files.load_file();

    if (!pane.message.isEmpty()) {
        require(pane.program == untouched, "a refused file leaves the pane as it was");
        require(pane.message.startsWith(QStringLiteral("File not loaded: ")) &&
                    pane.message.count(QStringLiteral("\r\n")) == 1 &&
                    pane.message.endsWith(QStringLiteral("\r\n")),
                "a refused file gives exactly one File not loaded line");
        if (!bytes.contains('\0') && longest_line_of(bytes) > quillmar::longest_line) {
            require(pane.message.contains(QStringLiteral(" characters, too long for a program")),
                    "a file with an overlong line is refused for it");
            return 0;
        }
        require(bytes.contains('\0'), "only a file with NUL bytes is refused");
        return 0;
    }
    const QString& text = pane.program;
    require(longest_line_of(bytes) <= quillmar::longest_line,
            "no line of a loaded file is overlong");
    require(text.isEmpty() == bytes.isEmpty(), "only an empty file gives an empty pane");
    require(text.isEmpty() || text.endsWith(QStringLiteral("\r\n")), "the text ends with CR LF");
    require(text.toLatin1() == with_crlf_lines(bytes),
            "the text is the file's bytes through Latin-1, lines ended by CR LF");
    return 0;
}
