#include "arm_server.h"

#include <QJsonArray>
#include <QMetaEnum>
#include <algorithm>

#include "programs/program_preview.h"
#include "session/arm_client.h"

namespace quillmar {

namespace {

// Replies and notifications a client has not read yet; past this it counts as gone.
constexpr qint64 largest_backlog = 4 * 1024 * 1024;
// Messages read from one client before the others and the window get their turn.
constexpr int messages_per_turn = 64;

// How a movement ended whose start command the arm did not take.
const QString not_started = QStringLiteral("not started");

QString state_name(ArmSession::State state) {
    return QString::fromLatin1(QMetaEnum::fromType<ArmSession::State>().valueToKey(int(state)));
}

QString end_name(HoldEnd end) {
    switch (end) {
        case HoldEnd::released:
            return QStringLiteral("let go");
        case HoldEnd::stopped:
            return QStringLiteral("stopped");
        case HoldEnd::limit:
            return QStringLiteral("done");
        case HoldEnd::arm_released:
            return QStringLiteral("arm released");
        case HoldEnd::closing:
            return QStringLiteral("closing");
        case HoldEnd::soft_limit:
            return QStringLiteral("at its end");
    }
    return {};
}

QString way_back_name(WayEnd way) {
    switch (way) {
        case WayEnd::done:
            return QStringLiteral("done");
        case WayEnd::stopped:
            return QStringLiteral("stopped");
        case WayEnd::at_start:
            return QStringLiteral("at start");
        case WayEnd::cap:
            return QStringLiteral("cap");
    }
    return {};
}

QJsonObject hold_result(const HoldOutcome& outcome, bool started) {
    if (!started && !nothing_moved(outcome)) {
        return {{QStringLiteral("seconds"), 0.0}, {QStringLiteral("ended"), not_started}};
    }
    return {{QStringLiteral("seconds"), outcome.seconds},
            {QStringLiteral("ended"), end_name(outcome.end)}};
}

// The result, or the error pane's lines that the operation made, with the result as their data.
Reply result_or_errors(const QJsonValue& result, const QStringList& errors) {
    if (errors.isEmpty()) {
        return result;
    }
    return RpcError{rpc_code::arm_error, errors.join(u'\n'), result};
}

RpcError refusal(const QString& text) {
    return {rpc_code::refused, text};
}

// The session's one text for a refusal; the person at the arm's stop has a code of its own.
RpcError refusal(const Refusal& why) {
    return {why.why == Why::stopped_by_user ? rpc_code::stopped_by_user : rpc_code::refused,
            why.text()};
}

// Pane lines as a reply carries them: the first of them, as many as a pane's list keeps, so
// that a huge program's check stays a reply a script can take.
QJsonArray first_lines(const QStringList& lines) {
    return QJsonArray::fromStringList(lines.mid(0, rejected_lines_kept));
}

Direction direction_of(const QJsonObject& params) {
    return params.value(QStringLiteral("direction")) == QStringLiteral("reverse")
               ? Direction::reverse
               : Direction::forwards;
}

}  // namespace

struct ArmServer::Client {
    // Every operation of this connection goes through it; it goes with the last frame that holds
    // the client, never inside one of its own waits.
    std::unique_ptr<ArmClient> arm;
    QPointer<Connection> connection;
    bool subscribed = false;
    bool gone = false;
    bool reading_scheduled = false;
    // Beyond the most connections: it may stop the arm or ask its state, once.
    bool stop_only = false;
    std::optional<Method> under_way;  // its movement or run
    std::optional<QJsonValue> let_go_id;
    QJsonValue last_hold;  // how its last hold ended
};

// Gathers the pane lines that an operation makes while it runs.
class ArmServer::Collector {
  public:
    explicit Collector(ArmServer& server) : server(server) { server.collectors.push_back(this); }
    ~Collector() { std::erase(server.collectors, this); }
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    QStringList messages;
    QStringList errors;

  private:
    ArmServer& server;
};

// What runs a method, and whether a connection beyond the most may ask it. Who may drive, and
// what may start now, the session decides for the connection's client.
struct ArmServer::Route {
    Method method;
    bool stop_only;
    Response (ArmServer::*handle)(const ClientPtr&, const RpcCall&);
};

const ArmServer::Route& ArmServer::route_of(Method method) {
    // In the order of Method.
    static constexpr std::array<Route, 15> routes{{
        {Method::state, true, &ArmServer::state},
        {Method::attach, false, &ArmServer::attach},
        {Method::release, false, &ArmServer::release},
        {Method::release_drive, false, &ArmServer::release_drive},
        {Method::resume, false, &ArmServer::resume},
        {Method::move, false, &ArmServer::move},
        {Method::hold, false, &ArmServer::hold},
        {Method::let_go, false, &ArmServer::let_go},
        {Method::light, false, &ArmServer::light},
        {Method::stop, true, &ArmServer::stop},
        {Method::run, false, &ArmServer::run},
        {Method::check, false, &ArmServer::check},
        {Method::pose, false, &ArmServer::pose},
        {Method::back_to_start, false, &ArmServer::back_to_start},
        {Method::subscribe, false, &ArmServer::subscribe},
    }};
    return routes.at(static_cast<std::size_t>(method));
}

ArmServer::ArmServer(ArmSession& session, LocalListener::PeerReader peer_of, ServerLimits limits,
                     QObject* parent)
    : QObject(parent),
      session(session),
      limits(limits),
      local(std::move(peer_of), limits.unfinished_line_ms,
            [this](Connection* connection) { accept(connection); }) {
    connect(&session, &ArmSession::driver_changed, this, &ArmServer::driver_changed);
    connect(&session, &ArmSession::state_changed, this,
            [this] { notify(QStringLiteral("state"), state_object()); });
    connect(&session, &ArmSession::step_started, this,
            [this](int index, int count, const QString& line) {
                notify(QStringLiteral("step"),
                       {{QStringLiteral("index"), index},
                        {QStringLiteral("count"), count},
                        {QStringLiteral("line"), line}},
                       running_client());
            });
    connect(&session, &ArmSession::run_ended, this, [this](std::optional<int> stopped_at) {
        notify(
            QStringLiteral("run_ended"),
            {{QStringLiteral("stopped_at"), stopped_at ? QJsonValue(*stopped_at) : QJsonValue()}});
    });
    connect(&session, &ArmSession::command_sent, this, [this](ArmCommand command) {
        if (command.motor != 0 || command.base != 0) {
            ++starts_taken;
        }
        notify(QStringLiteral("command"), {{QStringLiteral("motor"), command.motor},
                                           {QStringLiteral("base"), command.base},
                                           {QStringLiteral("light"), command.light}});
    });
    connect(&session, &ArmSession::message_line, this, [this](const QString& text) {
        for (Collector* collector : collectors) {
            collector->messages << text;
        }
        notify(QStringLiteral("message"), {{QStringLiteral("text"), text}});
    });
    connect(&session, &ArmSession::error_line, this, [this](const QString& text) {
        for (Collector* collector : collectors) {
            collector->errors << text;
        }
        notify(QStringLiteral("error"), {{QStringLiteral("text"), text}});
    });
}

ArmServer::~ArmServer() {
    for (const ClientPtr& client : clients) {
        client->gone = true;
        if (client->connection) {
            client->connection->close(false);
        }
    }
}

QString ArmServer::listen(const QString& path) {
    return local.listen(path);
}

void ArmServer::accept(Connection* connection) {
    connection->setParent(this);
    const auto stop_only = static_cast<std::size_t>(
        std::ranges::count_if(clients, [](const ClientPtr& each) { return each->stop_only; }));
    const std::size_t full = clients.size() - stop_only;
    if (full >= limits.most_connections && stop_only >= limits.stop_only_connections) {
        connection->close(false);
        return;
    }
    auto client = std::make_shared<Client>();
    client->arm = std::make_unique<ArmClient>(session, connection->kind(), connection->peer());
    client->connection = connection;
    client->stop_only = full >= limits.most_connections;
    clients.push_back(client);
    const std::weak_ptr<Client> weak = client;
    // The person at the arm ended its movement or run: it hears so at once.
    connect(client->arm.get(), &ArmClient::stopped_by_user, this, [this, weak](const QString& by) {
        if (const ClientPtr each = weak.lock()) {
            tell(each, QStringLiteral("stopped"),
                 {{QStringLiteral("by"), QStringLiteral("the user")}, {QStringLiteral("who"), by}});
        }
    });
    connect(connection, &Connection::readable, this, [this, weak] {
        if (const ClientPtr each = weak.lock()) {
            schedule_reading(each);
        }
    });
    connect(connection, &Connection::closed, this, [this, weak] {
        if (const ClientPtr each = weak.lock()) {
            drop(each, false);
        }
    });
    schedule_reading(client);
}

QString ArmServer::driver() const {
    return session.driver() ? session.driver()->name() : QString();
}

ArmServer::ClientPtr ArmServer::running_client() const {
    const auto running = std::ranges::find_if(
        clients, [](const ClientPtr& each) { return each->under_way == Method::run; });
    return running == clients.end() ? ClientPtr{} : *running;
}

// Requests are read from the event loop rather than inside the connection's signal, so that a
// movement's wait still hears this connection: its further requests and its disconnection.
void ArmServer::schedule_reading(const ClientPtr& client) {
    if (client->reading_scheduled || client->gone) {
        return;
    }
    client->reading_scheduled = true;
    QMetaObject::invokeMethod(
        this, [this, client] { read_messages(client); }, Qt::QueuedConnection);
}

void ArmServer::read_messages(const ClientPtr& client) {
    client->reading_scheduled = false;
    for (int taken = 0; taken < messages_per_turn; ++taken) {
        if (client->gone || !client->connection) {
            return;
        }
        const Incoming incoming = client->connection->next();
        switch (incoming.kind) {
            case Incoming::Kind::nothing:
                return;
            case Incoming::Kind::too_long:
            case Incoming::Kind::unfinished:
                respond(client, QJsonValue::Null,
                        RpcError{rpc_code::invalid_request,
                                 incoming.kind == Incoming::Kind::too_long
                                     ? QStringLiteral("Invalid request: a line longer than 1 MiB")
                                     : QStringLiteral("Invalid request: a line not ended within "
                                                      "%1 s")
                                           .arg(limits.unfinished_line_ms / 1000.0)});
                drop(client, true);
                return;
            case Incoming::Kind::message:
                if (!incoming.text.trimmed().isEmpty()) {
                    take(client, incoming.text);
                }
                break;
        }
    }
    schedule_reading(client);
}

void ArmServer::take(const ClientPtr& client, const QByteArray& message) {
    const std::variant<RpcCall, RpcFault> request = read_message(message);
    if (const auto* fault = std::get_if<RpcFault>(&request)) {
        respond(client, fault->id, fault->error);
    } else {
        const RpcCall& call = std::get<RpcCall>(request);
        if (const Response answer = dispatch(client, call)) {
            respond(client, call.id, *answer);
        }
    }
    if (client->stop_only) {
        // One request, then the room goes to the next who must stop the arm.
        drop(client, true);
    }
}

ArmServer::Response ArmServer::dispatch(const ClientPtr& client, const RpcCall& call) {
    const Route& route = route_of(call.method);
    if (client->stop_only && !route.stop_only) {
        return refusal(QStringLiteral("Quillmar serves %1 scripts already: this connection may "
                                      "only stop the arm")
                           .arg(limits.most_connections));
    }
    return (this->*route.handle)(client, call);
}

void ArmServer::respond(const ClientPtr& client, const QJsonValue& id, const Reply& reply) {
    // A notification gets no reply.
    if (!id.isUndefined()) {
        send(client, reply_message(id, reply));
    }
}

void ArmServer::send(const ClientPtr& client, const QByteArray& line) {
    if (client->gone || !client->connection) {
        return;
    }
    client->connection->send_line(line);
    if (client->connection->unsent() > largest_backlog) {
        drop(client, false);
    }
}

void ArmServer::notify(const QString& method, QJsonObject params, const ClientPtr& also) {
    // Seconds on the monotonic clock, as time.monotonic() reads it in a script.
    params.insert(QStringLiteral("time"), session.now());
    const QByteArray line = notification_message(method, params);
    // Copied: a slow reader dropped meanwhile leaves the list.
    const std::vector<ClientPtr> listeners = clients;
    for (const ClientPtr& client : listeners) {
        if (client->subscribed || client == also) {
            send(client, line);
        }
    }
}

void ArmServer::tell(const ClientPtr& client, const QString& method, QJsonObject params) {
    params.insert(QStringLiteral("time"), session.now());
    send(client, notification_message(method, params));
}

Reply ArmServer::ended_movement(const ClientPtr& client, const QJsonValue& result,
                                const QStringList& errors) const {
    if (client->arm->stopped_by_person()) {
        return RpcError{rpc_code::stopped_by_user, Refusal(Why::stopped_by_user).text(), result};
    }
    return result_or_errors(result, errors);
}

void ArmServer::drop(const ClientPtr& client, bool graceful) {
    if (client->gone) {
        return;
    }
    client->gone = true;
    std::erase(clients, client);
    if (client->under_way == Method::move || client->under_way == Method::hold) {
        // At once: the hold's wait ends now and sends its stop; a hold about to begin its wait
        // ends in it.
        client->arm->let_go();
        QMetaObject::invokeMethod(
            this, [client] { client->arm->let_go(); }, Qt::QueuedConnection);
    } else if (client->under_way) {
        // A run or the way back stops from the event loop, outside the connection's signal.
        QMetaObject::invokeMethod(
            this, [client] { client->arm->stop(); }, Qt::QueuedConnection);
    } else {
        client->arm->release_drive();
    }
    if (client->connection) {
        client->connection->close(graceful);
    }
}

QJsonObject ArmServer::state_object() const {
    return {{QStringLiteral("state"), state_name(session.state())},
            {QStringLiteral("attached"), session.attached()},
            {QStringLiteral("light"), session.light_indicator()},
            {QStringLiteral("driver"), session.driver() ? QJsonValue(driver()) : QJsonValue()}};
}

ArmServer::Response ArmServer::state(const ClientPtr&, const RpcCall&) {
    return state_object();
}

ArmServer::Response ArmServer::subscribe(const ClientPtr& client, const RpcCall&) {
    client->subscribed = true;
    return state_object();
}

ArmServer::Response ArmServer::stop(const ClientPtr& client, const RpcCall&) {
    // Anyone may stop the arm, as the window's Stop always can.
    client->arm->stop();
    return QJsonValue::Null;
}

ArmServer::Response ArmServer::release(const ClientPtr& client, const RpcCall&) {
    if (const Answer<> released = client->arm->release(); !released) {
        return refusal(released.refusal());
    }
    return QJsonValue::Null;
}

ArmServer::Response ArmServer::release_drive(const ClientPtr& client, const RpcCall&) {
    // What it set moving stops first: a script that gives up driving leaves nothing running.
    if (client->under_way) {
        client->arm->stop();
    }
    client->arm->release_drive();
    return QJsonValue::Null;
}

ArmServer::Response ArmServer::resume(const ClientPtr& client, const RpcCall&) {
    client->arm->resume();
    return QJsonValue::Null;
}

ArmServer::Response ArmServer::move(const ClientPtr& client, const RpcCall& call) {
    const int command = *motor_command(call.params.value(QStringLiteral("motor")));
    const double seconds = call.params.value(QStringLiteral("seconds")).toDouble();
    Collector lines(*this);
    client->under_way = Method::move;
    const std::size_t starts_before = starts_taken;
    const Answer<HoldOutcome> outcome = client->arm->hold_for(command, seconds);
    client->under_way.reset();
    if (!outcome) {
        return refusal(outcome.refusal());
    }
    const QJsonObject result = hold_result(*outcome, starts_taken != starts_before);
    if (result.value(QStringLiteral("ended")) == not_started) {
        lines.errors.prepend(QStringLiteral("The movement did not start"));
    }
    return ended_movement(client, result, lines.errors);
}

ArmServer::Response ArmServer::hold(const ClientPtr& client, const RpcCall& call) {
    const int command = *motor_command(call.params.value(QStringLiteral("motor")));
    // Answered as the hold begins, before its start command goes: its wait begins straight after
    // it, and the client's let_go is read during that wait. A refused hold is answered why.
    bool answered = false;
    const auto begun = connect(&session, &ArmSession::state_changed, this, [&] {
        if (!answered && session.owner() == client->arm.get()) {
            answered = true;
            client->under_way = Method::hold;
            // Dropped as it is answered (its backlog too long), the hold ends as soon as it runs.
            respond(client, call.id, QJsonValue::Null);
        }
    });
    const std::size_t starts_before = starts_taken;
    const Answer<HoldOutcome> outcome = client->arm->hold(command);
    disconnect(begun);
    client->under_way.reset();
    if (!outcome) {
        return refusal(outcome.refusal());
    }
    client->last_hold = hold_result(*outcome, starts_taken != starts_before);
    if (client->let_go_id) {
        respond(client, *std::exchange(client->let_go_id, std::nullopt),
                ended_movement(client, client->last_hold, {}));
    } else {
        // Ended without let_go: Stop, the limit, a release or closing.
        notify(QStringLiteral("hold_ended"), client->last_hold.toObject(), client);
    }
    return std::nullopt;
}

ArmServer::Response ArmServer::let_go(const ClientPtr& client, const RpcCall& call) {
    if (client->under_way != Method::hold) {
        return ended_movement(client, client->last_hold, {});
    }
    // Answered once the stop has gone; a let_go sent as a notification is answered by nothing.
    client->let_go_id = call.id;
    client->arm->let_go();
    return std::nullopt;
}

ArmServer::Response ArmServer::run(const ClientPtr& client, const RpcCall& call) {
    Collector lines(*this);
    client->under_way = Method::run;
    const Answer<std::optional<int>> stopped_at = client->arm->run(
        call.params.value(QStringLiteral("text")).toString(), direction_of(call.params));
    client->under_way.reset();
    if (!stopped_at) {
        return refusal(stopped_at.refusal());
    }
    QJsonObject result{
        {QStringLiteral("stopped_at"), *stopped_at ? QJsonValue(**stopped_at) : QJsonValue()},
        {QStringLiteral("messages"), first_lines(lines.messages)},
        {QStringLiteral("message_count"), lines.messages.size()}};
    // Cut short by a stop the arm did not take: a motor may run on, and the caller must know.
    if (session.left_running()) {
        result.insert(QStringLiteral("stop_not_taken"), true);
    }
    return ended_movement(client, result, lines.errors);
}

ArmServer::Response ArmServer::attach(const ClientPtr& client, const RpcCall&) {
    Collector lines(*this);
    if (const Answer<> attached = client->arm->attach(); !attached) {
        return refusal(attached.refusal());
    }
    if (session.attached()) {
        return result_or_errors(state_object(), lines.errors);
    }
    // The survey comes first; what follows it says why no arm was attached.
    const QStringList why = lines.messages.mid(1);
    return refusal(why.isEmpty() ? QStringLiteral("Could not attach") : why.join(u'\n'));
}

ArmServer::Response ArmServer::light(const ClientPtr& client, const RpcCall& call) {
    Collector lines(*this);
    const QJsonValue on = call.params.value(QStringLiteral("on"));
    const Answer<bool> light =
        on.isUndefined() ? client->arm->light() : client->arm->set_light(on.toBool());
    if (!light) {
        return refusal(light.refusal());
    }
    return result_or_errors(QJsonObject{{QStringLiteral("on"), *light}}, lines.errors);
}

ArmServer::Response ArmServer::back_to_start(const ClientPtr& client, const RpcCall&) {
    Collector lines(*this);
    client->under_way = Method::back_to_start;
    const Answer<WayEnd> way = client->arm->back_to_start();
    client->under_way.reset();
    if (way.why() == Why::keys_held) {
        return QJsonObject{{QStringLiteral("ended"), QStringLiteral("keys held")}};
    }
    if (!way) {
        return refusal(way.refusal());
    }
    return ended_movement(client, QJsonObject{{QStringLiteral("ended"), way_back_name(*way)}},
                          lines.errors);
}

ArmServer::Response ArmServer::check(const ClientPtr&, const RpcCall& call) {
    const Direction direction = direction_of(call.params);
    const CheckedProgram program =
        check_program(call.params.value(QStringLiteral("text")).toString());
    const ProgramPreview preview = preview_program(
        program, direction, session.model().pose_at(session.now()), session.model().light_on());
    return QJsonObject{{QStringLiteral("messages"), first_lines(program.messages)},
                       {QStringLiteral("message_count"), program.messages.size()},
                       {QStringLiteral("warnings"),
                        QJsonArray::fromStringList(preview_warnings(preview, rejected_lines_kept))},
                       {QStringLiteral("steps"), static_cast<qint64>(preview.steps.size())},
                       {QStringLiteral("seconds"), preview.duration}};
}

ArmServer::Response ArmServer::pose(const ClientPtr&, const RpcCall&) {
    const Pose now = session.model().pose_at(session.now());
    QJsonObject result{{QStringLiteral("light"), session.model().light_on()}};
    for (const JointRow& row : joint_table) {
        result.insert(QString::fromLatin1(row.name).toLower(),
                      now.at(static_cast<std::size_t>(row.joint)));
    }
    return result;
}

}  // namespace quillmar
