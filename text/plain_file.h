// Reading a small file by its name's bytes without ever blocking: folders, pipes, devices and
// files beyond a size are refused before a byte is read.
#pragma once

#include <QByteArray>
#include <QString>

namespace quillmar {

struct PlainFile {
    enum class Refusal { none, missing, unreadable, folder, not_plain, too_large };
    Refusal refusal = Refusal::none;
    // Why it could not be opened or read, in the system's words.
    QString system_error;
    QByteArray bytes;
};

// The file's bytes when it is a plain file of at most `largest` bytes. The name is taken as the
// file system spells it, so a name that is not valid UTF-8 still opens.
PlainFile read_plain_file(const QByteArray& local_name, qint64 largest);

// "NAME is a folder", "NAME is not a plain file", or "NAME: " and the system's words; "" for none
// and for too_large, whose limit the caller words.
QString refusal_text(PlainFile::Refusal refusal, const QString& name,
                     const QString& system_error = {});

}  // namespace quillmar
