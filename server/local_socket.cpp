#include "local_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <cerrno>

#include "json_rpc.h"
#include "text/visible_text.h"

namespace quillmar {

namespace {

// The program at the other end, as its command line names it: a script's name rather than its
// interpreter's.
QString peer_name(pid_t pid) {
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    QString name = QStringLiteral("process %1").arg(pid);
    if (file.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> words = file.read(4096).split('\0');
        const auto base = [](const QByteArray& word) {
            return QFileInfo(QFile::decodeName(word)).fileName();
        };
        QString program = base(words.value(0));
        if (program.startsWith(QStringLiteral("python")) && words.size() > 1 &&
            !words.at(1).startsWith('-')) {
            program = base(words.at(1));
        }
        if (!program.isEmpty()) {
            name = visible_text(program.left(64)) + QStringLiteral(" (process %1)").arg(pid);
        }
    }
    return name;
}

}  // namespace

std::optional<Peer> socket_peer(qintptr descriptor) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) !=
        0) {
        return std::nullopt;
    }
    return Peer{credentials.uid, credentials.pid};
}

QString default_socket_path() {
    if (const QString path = qEnvironmentVariable("QUILLMAR_SOCKET"); !path.isEmpty()) {
        return path;
    }
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.isEmpty() ? QString() : runtime + QStringLiteral("/quillmar/arm.sock");
}

LocalConnection::LocalConnection(QLocalSocket* socket, QString peer, int unfinished_line_ms)
    : socket(socket), name(std::move(peer)), unfinished_line_ms(unfinished_line_ms) {
    socket->setParent(this);
    // A line longer than the cap fills the buffer, which tells it; the kernel holds the rest.
    socket->setReadBufferSize(longest_message + 2);
    connect(socket, &QLocalSocket::readyRead, this, &Connection::readable);
    connect(socket, &QLocalSocket::disconnected, this, &Connection::closed);
    unfinished.setSingleShot(true);
    connect(&unfinished, &QTimer::timeout, this, [this] {
        timed_out = true;
        emit readable();
    });
}

Incoming LocalConnection::next() {
    if (timed_out) {
        return {Incoming::Kind::unfinished, {}};
    }
    if (!socket->canReadLine()) {
        // The line and a carriage return fill the buffer, and still no line feed came.
        if (socket->bytesAvailable() > longest_message + 1) {
            return {Incoming::Kind::too_long, {}};
        }
        if (socket->bytesAvailable() > 0 && !unfinished.isActive()) {
            unfinished.start(unfinished_line_ms);
        }
        return {};
    }
    unfinished.stop();
    QByteArray line = socket->readLine();
    line.chop(1);
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    if (line.size() > longest_message) {
        return {Incoming::Kind::too_long, {}};
    }
    return {Incoming::Kind::message, line};
}

void LocalConnection::send_line(const QByteArray& line) {
    socket->write(line);
}

qint64 LocalConnection::unsent() const {
    return socket->bytesToWrite();
}

void LocalConnection::close(bool graceful) {
    unfinished.stop();
    disconnect(socket, nullptr, this, nullptr);
    if (graceful && socket->bytesToWrite() > 0) {
        // Its last lines go out first; a reader that never takes them is cut off.
        connect(socket, &QLocalSocket::disconnected, this, &QObject::deleteLater);
        QTimer::singleShot(unfinished_line_ms, socket, &QLocalSocket::abort);
        socket->disconnectFromServer();
    } else {
        socket->abort();
        deleteLater();
    }
}

LocalListener::LocalListener(PeerReader peer_of, int unfinished_line_ms, Accept accept,
                             QObject* parent)
    : QObject(parent),
      peer_of(std::move(peer_of)),
      unfinished_line_ms(unfinished_line_ms),
      accept(std::move(accept)) {
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, &LocalListener::accept_connections);
}

QString LocalListener::listen(const QString& path) {
    if (path.isEmpty()) {
        return QStringLiteral("XDG_RUNTIME_DIR is not set");
    }
    const QString folder = QFileInfo(path).absolutePath();
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST) {
        return QStringLiteral("%1 could not be made: %2").arg(folder, qt_error_string(errno));
    }
    struct stat status {};
    if (::lstat(QFile::encodeName(folder).constData(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return QStringLiteral("%1 is not a folder").arg(folder);
    }
    if (status.st_uid != ::getuid() || (status.st_mode & 077) != 0) {
        return QStringLiteral("%1 is not this user's alone").arg(folder);
    }
    // The lock says which Quillmar owns the socket; one whose owner died is stale, and goes.
    lock = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
    if (!lock->tryLock(0)) {
        lock.reset();
        return QStringLiteral("another Quillmar serves at %1").arg(path);
    }
    QLocalServer::removeServer(path);
    if (!server.listen(path)) {
        lock.reset();
        return server.errorString();
    }
    // Writing is what connects; no one else may, even were the folder opened.
    ::chmod(QFile::encodeName(path).constData(), 0600);
    return {};
}

void LocalListener::accept_connections() {
    while (QLocalSocket* socket = server.nextPendingConnection()) {
        const std::optional<Peer> peer = peer_of(socket->socketDescriptor());
        if (!peer || peer->uid != ::getuid()) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        accept(new LocalConnection(socket, peer_name(peer->pid), unfinished_line_ms));
    }
}

}  // namespace quillmar
