#include "arm_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <QFile>
#include <cerrno>

#include "usb/device_location.h"

namespace quillmar {

QString default_lock_folder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.isEmpty() ? QStringLiteral("/run/lock") : runtime;
}

ArmLock::ArmLock(QString folder) : folder(std::move(folder)) {}

ArmLock::~ArmLock() {
    drop();
}

std::optional<QString> ArmLock::take(DeviceLocation where) {
    drop();
    const QByteArray path = QFile::encodeName(
        QStringLiteral("%1/quillmar-arm-%2-%3.lock").arg(folder).arg(where.bus).arg(where.address));
    const int file = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0) {
        return std::nullopt;
    }
    if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        char pid[32] = {};
        const ssize_t got = ::pread(file, pid, sizeof pid - 1, 0);
        ::close(file);
        if (why != EWOULDBLOCK) {
            return std::nullopt;
        }
        const QString holder = got > 0 ? QString::fromLatin1(pid, got).trimmed() : QString();
        return holder.isEmpty()
                   ? QStringLiteral("Another Quillmar drives this arm")
                   : QStringLiteral("Quillmar (process %1) drives this arm").arg(holder);
    }
    const QByteArray pid = QByteArray::number(static_cast<qint64>(::getpid())) + '\n';
    if (::ftruncate(file, 0) == 0) {
        // Only a hint for the refusal's text: the lock itself is the flock.
        [[maybe_unused]] const ssize_t written =
            ::pwrite(file, pid.constData(), static_cast<std::size_t>(pid.size()), 0);
    }
    descriptor = file;
    return std::nullopt;
}

void ArmLock::drop() {
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

}  // namespace quillmar
