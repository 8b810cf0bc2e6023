#include "plain_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include <QFile>

namespace quillmar {

PlainFile read_plain_file(const QByteArray& local_name, qint64 largest) {
    const auto fail = [](PlainFile::Refusal refusal, const QString& system_error) {
        return PlainFile{refusal, system_error, {}};
    };
    // Opening without blocking: a pipe without a writer or a device would otherwise hang here.
    // What was opened is then examined, not the name, which may have changed meanwhile.
    const int descriptor =
        ::open(local_name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        return fail(errno == ENOENT ? PlainFile::Refusal::missing : PlainFile::Refusal::unreadable,
                    qt_error_string(errno));
    }
    QFile file;
    if (!file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return fail(PlainFile::Refusal::unreadable, file.errorString());
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return fail(PlainFile::Refusal::unreadable, qt_error_string(errno));
    }
    if (S_ISDIR(status.st_mode)) {
        return fail(PlainFile::Refusal::folder, {});
    }
    if (!S_ISREG(status.st_mode)) {
        return fail(PlainFile::Refusal::not_plain, {});
    }
    if (status.st_size > largest) {
        return fail(PlainFile::Refusal::too_large, {});
    }
    // Files of the kernel's own (/proc) say they are empty: the read stays bounded anyway, and
    // one that would wait for data fails at once instead.
    QByteArray bytes = file.read(largest + 1);
    if (file.error() != QFileDevice::NoError) {
        return fail(PlainFile::Refusal::unreadable, file.errorString());
    }
    if (bytes.size() > largest) {
        return fail(PlainFile::Refusal::too_large, {});
    }
    return {PlainFile::Refusal::none, {}, std::move(bytes)};
}

QString refusal_text(PlainFile::Refusal refusal, const QString& name, const QString& system_error) {
    switch (refusal) {
        case PlainFile::Refusal::folder:
            return name + QStringLiteral(" is a folder");
        case PlainFile::Refusal::not_plain:
            return name + QStringLiteral(" is not a plain file");
        case PlainFile::Refusal::missing:
        case PlainFile::Refusal::unreadable:
            // The system's reason alone ("No such file or directory") would not say which file.
            return name + QStringLiteral(": ") + system_error;
        case PlainFile::Refusal::none:
        case PlainFile::Refusal::too_large:
            break;
    }
    return {};
}

}  // namespace quillmar
