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
    using Response = std::optional<Reply>;

    static const Route& route_of(Method method);
    void schedule_reading(const ClientPtr& client);
    void read_messages(const ClientPtr& client);
    void take(const ClientPtr& client, const QByteArray& message);
    Response dispatch(const ClientPtr& client, const RpcCall& call);
    void respond(const ClientPtr& client, const QJsonValue& id, const Reply& reply);
    void send(const ClientPtr& client, const QByteArray& line);
    void notify(const QString& method, QJsonObject params, const ClientPtr& also = {});
    // A notification to `client` alone.
    void tell(const ClientPtr& client, const QString& method, QJsonObject params);
    // The movement's or run's answer: -32002 when the person at the arm ended it.
    Reply ended_movement(const ClientPtr& client, const QJsonValue& result,
                         const QStringList& errors) const;
    // The client goes: what it set moving stops now.
    void drop(const ClientPtr& client, bool graceful);
    // The client whose run is under way, to hear its steps unsubscribed.
    ClientPtr running_client() const;
    QJsonObject state_object() const;

    Response state(const ClientPtr& client, const RpcCall& call);
    Response pose(const ClientPtr& client, const RpcCall& call);
    Response check(const ClientPtr& client, const RpcCall& call);
    Response subscribe(const ClientPtr& client, const RpcCall& call);
    Response stop(const ClientPtr& client, const RpcCall& call);
    Response attach(const ClientPtr& client, const RpcCall& call);
    Response release(const ClientPtr& client, const RpcCall& call);
    Response release_drive(const ClientPtr& client, const RpcCall& call);
    Response resume(const ClientPtr& client, const RpcCall& call);
    Response light(const ClientPtr& client, const RpcCall& call);
    Response move(const ClientPtr& client, const RpcCall& call);
    Response hold(const ClientPtr& client, const RpcCall& call);
    Response let_go(const ClientPtr& client, const RpcCall& call);
    Response run(const ClientPtr& client, const RpcCall& call);
    Response back_to_start(const ClientPtr& client, const RpcCall& call);

    ArmSession& session;
    const ServerLimits limits;
    LocalListener local;
    std::vector<ClientPtr> clients;
    std::vector<Collector*> collectors;
    // Commands that started a motor and reached the arm: a movement none of whose did, did not
    // start.
    std::size_t starts_taken = 0;
};

}  // namespace quillmar
