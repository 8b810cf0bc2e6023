// The local arm interface: JSON-RPC requests from any transport's connections, served by the
// session.
#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

#include "connection.h"
#include "json_rpc.h"
#include "local_socket.h"
#include "session/arm_session.h"

namespace quillmar {

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
    // The local socket's connections whose peer `peer_of` does not name as this user are closed
    // unanswered.
    explicit ArmServer(ArmSession& session, LocalListener::PeerReader peer_of = socket_peer,
                       ServerLimits limits = {}, QObject* parent = nullptr);
    ~ArmServer() override;
    ArmServer(const ArmServer&) = delete;
    ArmServer& operator=(const ArmServer&) = delete;

    // Serves the local socket at `path` (LocalListener::listen).
    QString listen(const QString& path);
    // Serves one more connection of any transport; the server owns it from now on.
    void accept(Connection* connection);
    // The script that drives the arm; empty when none does.
    QString driver() const;

  signals:
    void driver_changed(const QString& client);

  private:
    struct Client;
    using ClientPtr = std::shared_ptr<Client>;
    class Collector;
    struct Route;
    // How a request is answered: now, or later by the handler itself (a hold, a let_go).
    using Answer = std::optional<Reply>;

    static const Route& route_of(Method method);
    void schedule_reading(const ClientPtr& client);
    void read_messages(const ClientPtr& client);
    void take(const ClientPtr& client, const QByteArray& message);
    Answer dispatch(const ClientPtr& client, const RpcCall& call);
    void respond(const ClientPtr& client, const QJsonValue& id, const Reply& reply);
    void send(const ClientPtr& client, const QByteArray& line);
    void notify(const QString& method, QJsonObject params, const ClientPtr& also = {});
    // A notification to `client` alone.
    void tell(const ClientPtr& client, const QString& method, QJsonObject params);
    // Stop, asked for by a script or for one: the person at the arm did not stop anyone.
    void stop_for_scripts();
    // The movement's or run's answer: -32002 when the person at the arm ended it.
    Reply ended_movement(const ClientPtr& client, const QJsonValue& result,
                         const QStringList& errors) const;
    // The client goes: what it set moving stops now.
    void drop(const ClientPtr& client, bool graceful);
    // Why the client may not drive now; it drives from now on when it may.
    std::optional<RpcError> claim(const ClientPtr& client);
    // Why no movement or run may start now.
    std::optional<RpcError> refuse_movement(ArmSession::Operation operation) const;
    void set_driver(const ClientPtr& client);
    QJsonObject state_object() const;

    Answer state(const ClientPtr& client, const RpcCall& call);
    Answer pose(const ClientPtr& client, const RpcCall& call);
    Answer check(const ClientPtr& client, const RpcCall& call);
    Answer subscribe(const ClientPtr& client, const RpcCall& call);
    Answer stop(const ClientPtr& client, const RpcCall& call);
    Answer attach(const ClientPtr& client, const RpcCall& call);
    Answer release(const ClientPtr& client, const RpcCall& call);
    Answer release_drive(const ClientPtr& client, const RpcCall& call);
    Answer resume(const ClientPtr& client, const RpcCall& call);
    Answer light(const ClientPtr& client, const RpcCall& call);
    Answer move(const ClientPtr& client, const RpcCall& call);
    Answer hold(const ClientPtr& client, const RpcCall& call);
    Answer let_go(const ClientPtr& client, const RpcCall& call);
    Answer run(const ClientPtr& client, const RpcCall& call);
    Answer back_to_start(const ClientPtr& client, const RpcCall& call);

    ArmSession& session;
    const ServerLimits limits;
    LocalListener local;
    std::vector<ClientPtr> clients;
    ClientPtr driving;
    // The client whose movement or run is under way.
    ClientPtr mover;
    std::vector<Collector*> collectors;
    std::optional<int> run_stopped_at;
    // Commands that started a motor and reached the arm: a movement none of whose did, did not
    // start.
    std::size_t starts_taken = 0;
    bool stopping_for_scripts = false;
};

}  // namespace quillmar
