#include "program_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "program_check.h"
#include "text/lines.h"
#include "text/plain_file.h"
#include "text/visible_text.h"

namespace quillmar {

namespace {

// Program files are a few kilobytes; anything larger is not one, and reading stays bounded.
constexpr qint64 largest_program_file = 1024 * 1024;

const QString line_end = QStringLiteral("\r\n");

// The file's lines, each followed by CR LF; CR LF, a lone CR and a lone LF each end a line.
QString lines_with_crlf(const QString& content) {
    QString text;
    text.reserve(content.size() + content.size() / 8 + 2);
    for (qsizetype pos = 0; pos < content.size();) {
        const TextLine line = line_at(content, pos);
        text += line.text;
        text += line_end;
        pos = line.next;
    }
    return text;
}

// The first line longer than a program line may be, counted from 1; 0 when there is none.
qsizetype overlong_line(QStringView content) {
    qsizetype number = 1;
    for (qsizetype pos = 0; pos < content.size(); ++number) {
        const TextLine line = line_at(content, pos);
        if (line.text.size() > longest_line) {
            return number;
        }
        pos = line.next;
    }
    return 0;
}

// Why the name cannot be saved to, or "" when it can: replacing a pipe or a device would remove it.
QString unsavable_name(const QString& name) {
    const QFileInfo info(name);
    if (info.isDir()) {
        return refusal_text(PlainFile::Refusal::folder, name);
    }
    if (info.exists() && !info.isFile()) {
        return refusal_text(PlainFile::Refusal::not_plain, name);
    }
    return {};
}

bool fits_in_latin1(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() > 0xFF) {
            return false;
        }
    }
    return true;
}

}  // namespace

QString choose_start_folder(const QString& program_folder, bool own_build_folder,
                            const QString& documents_folder, const QString& home_folder) {
    if (own_build_folder) {
        return program_folder;
    }
    return documents_folder.isEmpty() ? home_folder : documents_folder;
}

QString start_folder_for(const QString& program_folder) {
    bool build = false;
    for (QDir folder(program_folder); !build; folder.cdUp()) {
        build = folder.exists(QStringLiteral("CMakeCache.txt"));
        if (folder.isRoot()) {
            break;
        }
    }
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return choose_start_folder(program_folder, build && QFileInfo(program_folder).isWritable(),
                               QFileInfo(documents).isDir() ? documents : QString(),
                               QDir::homePath());
}

QString save_dialog_name(const QString& name, const QString& start_folder,
                         const QString& examples) {
    if (name.isEmpty()) {
        return name;
    }
    const QFileInfo file(name);
    const QFileInfo folder(file.absolutePath());
    const bool examples_folder = !examples.isEmpty() && folder.canonicalFilePath() ==
                                                            QFileInfo(examples).canonicalFilePath();
    if (folder.isDir() && folder.isWritable() && !examples_folder) {
        return name;
    }
    return QDir(start_folder).filePath(file.fileName());
}

ProgramFiles::ProgramFiles(FilePane& pane, FileDialogs& dialogs) : pane(pane), dialogs(dialogs) {}

void ProgramFiles::load_file() {
    take_name(dialogs.ask_open_name(program_file_name));
    if (!program_file_name.isEmpty()) {
        load();
    }
}

void ProgramFiles::load_from(const QByteArray& local_name) {
    program_file_path = local_name;
    program_file_name = QFile::decodeName(local_name);
    load();
}

void ProgramFiles::take_name(const QString& dialog_name) {
    const QString name = trim_spaces(dialog_name);
    // The name given back unchanged keeps the bytes it came with, which a name that is not
    // valid UTF-8 needs: its text names another file.
    if (name != program_file_name) {
        program_file_name = name;
        program_file_path = QFile::encodeName(name);
    }
}

ProgramFileText read_program_file(const QByteArray& local_name, const QString& name) {
    const auto content_fault = [](const QString& reason) {
        return ProgramFileText{{}, reason, true};
    };
    const PlainFile file = read_plain_file(local_name, largest_program_file);
    if (file.refusal == PlainFile::Refusal::too_large) {
        return content_fault(
            QStringLiteral("the file is larger than 1 MiB, too large for a program"));
    }
    if (file.refusal != PlainFile::Refusal::none) {
        return {{}, refusal_text(file.refusal, name, file.system_error), false};
    }
    if (file.bytes.contains('\0')) {
        return content_fault(QStringLiteral("the file holds NUL bytes, it is not a program text"));
    }
    const QString content = QString::fromLatin1(file.bytes);
    if (const qsizetype line = overlong_line(content); line > 0) {
        return content_fault(QStringLiteral("line %1 is longer than %2 characters, too long for a "
                                            "program")
                                 .arg(line)
                                 .arg(longest_line));
    }
    return {lines_with_crlf(content), {}, false};
}

void ProgramFiles::load() {
    // The whole file is read and checked before the pane is touched, so a failed load never
    // costs the text the user already has.
    const ProgramFileText file = read_program_file(program_file_path, program_file_name);
    if (!file.refusal.isEmpty()) {
        pane.show_message(QStringLiteral("File not loaded: ") + visible_text(file.refusal));
        return;
    }
    pane.set_program_text(file.text);
}

void ProgramFiles::save_file() {
    if (pane.program_text().isEmpty()) {
        dialogs.beep();
        return;
    }
    take_name(dialogs.ask_save_name(program_file_name));
    if (program_file_name.isEmpty()) {
        dialogs.beep();
        return;
    }
    const auto fail = [this](const QString& reason) {
        pane.show_message(QStringLiteral("File not saved: ") + visible_text(reason));
    };
    // A name that is not valid UTF-8 opens by its bytes, but a file is written through its
    // name's text, which names another file.
    if (QFile::encodeName(program_file_name) != program_file_path) {
        fail(QStringLiteral("the file name is not valid UTF-8, choose another name"));
        return;
    }
    if (const QString reason = unsavable_name(program_file_name); !reason.isEmpty()) {
        fail(reason);
        return;
    }
    if (QFileInfo::exists(program_file_name) &&
        !dialogs.confirm_replace(QStringLiteral("Delete existing file ") +
                                 visible_text(program_file_name))) {
        pane.show_message(QStringLiteral("File not saved"));
        return;
    }
    const QString text = pane.program_text() + line_end;
    if (!fits_in_latin1(text)) {
        fail(QStringLiteral("the text holds characters that a program file cannot hold"));
        return;
    }
    // The new text goes into a file beside the old one, which it replaces only once every byte
    // is on disk: a failed write leaves the old file as it was. commit() does not look at the
    // outcome of a buffered flush or of its sync, so the writes are unbuffered and the sync is
    // checked here.
    QSaveFile file(program_file_name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        fail(file.errorString());
        return;
    }
    const QByteArray bytes = text.toLatin1();
    qint64 written = 0;
    // A write that stops short is tried again for the rest, which then fails with the reason.
    while (written < bytes.size()) {
        const qint64 moved = file.write(bytes.constData() + written, bytes.size() - written);
        if (moved <= 0) {
            break;
        }
        written += moved;
    }
    if (written < bytes.size()) {
        fail(file.errorString());
        file.cancelWriting();
        return;
    }
    if (::fsync(file.handle()) != 0) {
        fail(QString::fromLocal8Bit(std::strerror(errno)));
        file.cancelWriting();
        return;
    }
    if (!file.commit()) {
        fail(file.errorString());
        return;
    }
    pane.show_message(QStringLiteral("File saved"));
}

}  // namespace quillmar
