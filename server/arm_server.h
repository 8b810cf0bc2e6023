// The local arm interface: JSON-RPC over a Unix domain socket that only this user may reach.
#pragma once

#include <sys/types.h>
#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "json_rpc.h"
#include "session/arm_session.h"

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

// What one connection may hold up: past these a hostile or broken script is let go, so that a
// `stop` always gets through.
struct ServerLimits {
    // A line begun and not ended within this closes its connection.
    int unfinished_line_ms = 5000;
    std::size_t most_connections = 32;
    // Connections beyond the most that may only stop the arm (or ask its state), once.
    std::size_t stop_only_connections = 4;
};

class ArmServer : public QObject {
    Q_OBJECT
  public:
    using PeerReader = std::function<std::optional<Peer>(qintptr descriptor)>;

    // Connections whose peer `peer_of` does not name as this user are closed unanswered.
    explicit ArmServer(ArmSession& session, PeerReader peer_of = socket_peer,
                       ServerLimits limits = {}, QObject* parent = nullptr);
    ~ArmServer() override;
    ArmServer(const ArmServer&) = delete;
    ArmServer& operator=(const ArmServer&) = delete;

    // Listens at `path`, whose folder must be this user's alone; an empty text when listening,
    // else why not. A socket that another Quillmar serves is left to it.
    QString listen(const QString& path);
    // The script that drives the arm; empty when none does.
    QString driver() const;

  signals:
    void driver_changed(const QString& client);

  private:
    struct Client;
    using ClientPtr = std::shared_ptr<Client>;
    class Collector;

    void accept_connections();
    void schedule_reading(const ClientPtr& client);
    void read_lines(const ClientPtr& client);
    void take(const ClientPtr& client, const QByteArray& line);
    void send(const ClientPtr& client, const QByteArray& message);
    // A line the interface does not read: its error, then the connection closes.
    void refuse_line(const ClientPtr& client, const QString& why);
    void answer(const ClientPtr& client, const RpcCall& call, const QJsonValue& result);
    void refuse(const ClientPtr& client, const RpcCall& call, int code, const QString& text);
    // Answers with the result, or with the error lines the panes showed meanwhile.
    void answer_or_errors(const ClientPtr& client, const RpcCall& call, const QJsonValue& result,
                          const QStringList& errors);
    void notify(const QString& method, const QJsonObject& params, const ClientPtr& also = {});
    // The client goes: what it set moving stops now.
    void drop(const ClientPtr& client, bool graceful);
    // The client may drive and becomes the driver; else it is answered why not.
    bool claim(const ClientPtr& client, const RpcCall& call);
    // The client may start a movement or a run now; else it is answered why not.
    bool may_move(const ClientPtr& client, const RpcCall& call, ArmSession::Operation operation);
    void set_driver(const ClientPtr& client);
    QJsonObject state_object() const;

    void move(const ClientPtr& client, const RpcCall& call);
    void hold(const ClientPtr& client, const RpcCall& call);
    void let_go(const ClientPtr& client, const RpcCall& call);
    void run(const ClientPtr& client, const RpcCall& call);
    void attach(const ClientPtr& client, const RpcCall& call);
    void light(const ClientPtr& client, const RpcCall& call);
    void back_to_start(const ClientPtr& client, const RpcCall& call);
    QJsonObject check(const RpcCall& call) const;
    QJsonObject pose() const;

    ArmSession& session;
    PeerReader peer_of;
    const ServerLimits limits;
    QLocalServer server;
    std::unique_ptr<QLockFile> lock;
    std::vector<ClientPtr> clients;
    ClientPtr driving;
    // The client whose movement or run is under way.
    ClientPtr mover;
    std::vector<Collector*> collectors;
    std::optional<int> run_stopped_at;
    // Commands that started a motor and reached the arm: a movement none of whose did, did not
    // start.
    std::size_t starts_taken = 0;
};

}  // namespace quillmar
