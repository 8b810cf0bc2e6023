// One script's end of the local interface, whatever transport carries its messages.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include "session/arm_client.h"

namespace quillmar {

// What a connection holds for the server when asked.
struct Incoming {
    enum class Kind {
        nothing,     // no whole message yet
        message,     // `text` is one message, without its line end
        too_long,    // a message longer than 1 MiB: the connection is to close
        unfinished,  // a message begun and not ended in time: the connection is to close
    };
    Kind kind = Kind::nothing;
    QByteArray text;
};

// A transport's connection: it frames its peer's bytes into messages (one JSON-RPC request each)
// and carries the server's lines back. The server takes messages from the event loop when
// `readable` says, so that a movement's wait still hears the connection. Once closed, the
// connection deletes itself when its last lines are gone.
class Connection : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    // Who is at the other end, as refusals and the arm window name it: "wave.py (process 4711)".
    virtual QString peer() const = 0;
    // What kind of client the session sees in it.
    virtual ClientKind kind() const { return ClientKind::script; }
    // The next message, or why none can be read.
    virtual Incoming next() = 0;
    // Queues one line, ended by a line feed, for the peer.
    virtual void send_line(const QByteArray& line) = 0;
    // Bytes queued and not yet taken by the peer.
    virtual qint64 unsent() const = 0;
    // `graceful`: the queued lines go first; else at once.
    virtual void close(bool graceful) = 0;

  signals:
    // next() may have something new.
    void readable();
    // The peer went.
    void closed();
};

}  // namespace quillmar
