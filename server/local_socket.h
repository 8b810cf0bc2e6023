// The local interface's transport: a Unix domain socket that only this user may reach.
#pragma once

#include <sys/types.h>
#include <QLocalServer>
#include <QLockFile>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "connection.h"

class QLocalSocket;

namespace quillmar {

// Who is at the other end of a connection, as the kernel tells it.
struct Peer {
    uid_t uid;
    pid_t pid;
};

// The kernel's credentials of the peer of a connected Unix socket; nothing when it will not say.
std::optional<Peer> socket_peer(qintptr descriptor);

// QUILLMAR_SOCKET when set, else arm.sock in a folder of Quillmar's own in XDG_RUNTIME_DIR; empty
// when neither is set.
QString default_socket_path();

// A socket's lines: each ended by a line feed (a carriage return before it is dropped), at most
// 1 MiB without its end, and ended within `unfinished_line_ms` of its first byte.
class LocalConnection : public Connection {
    Q_OBJECT
  public:
    LocalConnection(QLocalSocket* socket, QString peer, int unfinished_line_ms);

    QString peer() const override { return name; }
    Incoming next() override;
    void send_line(const QByteArray& line) override;
    qint64 unsent() const override;
    void close(bool graceful) override;

  private:
    QLocalSocket* socket;
    const QString name;
    const int unfinished_line_ms;
    QTimer unfinished;
    bool timed_out = false;
};

// Listens at a path and hands each connection of this user to `accept`.
class LocalListener : public QObject {
    Q_OBJECT
  public:
    using PeerReader = std::function<std::optional<Peer>(qintptr descriptor)>;
    using Accept = std::function<void(Connection* connection)>;

    LocalListener(PeerReader peer_of, int unfinished_line_ms, Accept accept,
                  QObject* parent = nullptr);

    // Listens at `path`, whose folder must be this user's alone; an empty text when listening,
    // else why not. A socket that another Quillmar serves is left to it.
    QString listen(const QString& path);

  private:
    void accept_connections();

    PeerReader peer_of;
    const int unfinished_line_ms;
    Accept accept;
    QLocalServer server;
    std::unique_ptr<QLockFile> lock;
};

}  // namespace quillmar
