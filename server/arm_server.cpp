#include "arm_server.h"

#include <QJsonArray>
#include <QMetaEnum>
#include <algorithm>

#include "programs/program_preview.h"

namespace quillmar {

namespace {

// Replies and notifications a client has not read yet; past this it counts as gone.
constexpr qint64 largest_backlog = 4 * 1024 * 1024;
// Messages read from one client before the others and the window get their turn.
constexpr int messages_per_turn = 64;

const QString stopped_by_user_text = QStringLiteral("Stopped by the user");

// How a movement ended whose start command the arm did not take.
const QString not_started = QStringLiteral("not started");

QString state_name(ArmSession::State state) {
    return QString::fromLatin1(QMetaEnum::fromType<ArmSession::State>().valueToKey(int(state)));
}

QString busy_text(ArmSession::State state) {
    switch (state) {
        case ArmSession::State::moving_by_hand:
            return QStringLiteral("The arm is busy: it is moved by hand");
        case ArmSession::State::running:
            return QStringLiteral("The arm is busy: a program runs");
        case ArmSession::State::going_back:
            return QStringLiteral("The arm is busy: it goes back to start");
        case ArmSession::State::shutting_down:
            return QStringLiteral("Quillmar is closing");
        case ArmSession::State::no_arm:
        case ArmSession::State::idle:
            break;
    }
    return QStringLiteral("The arm is busy: another movement runs");
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

QString way_back_name(ArmSession::WayBack way) {
    switch (way) {
        case ArmSession::WayBack::done:
            return QStringLiteral("done");
        case ArmSession::WayBack::stopped:
            return QStringLiteral("stopped");
        case ArmSession::WayBack::at_start:
            return QStringLiteral("at start");
        case ArmSession::WayBack::keys_held:
            return QStringLiteral("keys held");
        case ArmSession::WayBack::refused:
            return QStringLiteral("refused");
    }
    return {};
}

QJsonObject hold_result(const std::optional<HoldOutcome>& outcome, bool started) {
    if (!outcome) {
        return {};
    }
    if (!started && !nothing_moved(*outcome)) {
        return {{QStringLiteral("seconds"), 0.0}, {QStringLiteral("ended"), not_started}};
    }
    return {{QStringLiteral("seconds"), outcome->seconds},
            {QStringLiteral("ended"), end_name(outcome->end)}};
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
    QPointer<Connection> connection;
    bool subscribed = false;
    bool gone = false;
    bool reading_scheduled = false;
    // Beyond the most connections: it may stop the arm or ask its state, once.
    bool stop_only = false;
    // The person at the arm ended its movement or run; its movements are refused until resume.
    bool stopped_by_user = false;
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

// What a method needs before it runs, and what runs it.
struct ArmServer::Route {
    enum class Needs {
        nothing,  // anyone may: watching, and stopping the arm
        driving,  // the client drives, or becomes the driver
        moving,   // as driving, with an arm attached and nothing else under way
    };
    Method method;
    Needs needs;
    ArmSession::Operation operation;  // what `moving` asks the session's may() for
    bool stop_only;                   // taken from a connection beyond the most
    Answer (ArmServer::*handle)(const ClientPtr&, const RpcCall&);
};

const ArmServer::Route& ArmServer::route_of(Method method) {
    using Needs = Route::Needs;
    using Op = ArmSession::Operation;
    // In the order of Method.
    static constexpr std::array<Route, 15> routes{{
        {Method::state, Needs::nothing, Op::stop, true, &ArmServer::state},
        {Method::attach, Needs::driving, Op::attach, false, &ArmServer::attach},
        {Method::release, Needs::driving, Op::release, false, &ArmServer::release},
        {Method::release_drive, Needs::nothing, Op::stop, false, &ArmServer::release_drive},
        {Method::resume, Needs::nothing, Op::stop, false, &ArmServer::resume},
        {Method::move, Needs::moving, Op::hold, false, &ArmServer::move},
        {Method::hold, Needs::moving, Op::hold, false, &ArmServer::hold},
        {Method::let_go, Needs::nothing, Op::stop, false, &ArmServer::let_go},
        {Method::light, Needs::driving, Op::light, false, &ArmServer::light},
        {Method::stop, Needs::nothing, Op::stop, true, &ArmServer::stop},
        {Method::run, Needs::moving, Op::run, false, &ArmServer::run},
        {Method::check, Needs::nothing, Op::stop, false, &ArmServer::check},
        {Method::pose, Needs::nothing, Op::stop, false, &ArmServer::pose},
        {Method::back_to_start, Needs::moving, Op::back_to_start, false, &ArmServer::back_to_start},
        {Method::subscribe, Needs::nothing, Op::stop, false, &ArmServer::subscribe},
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
    // A Stop that no script asked for is the person at the arm's: the script under way is told.
    connect(&session, &ArmSession::stopping, this, [this] {
        if (mover && !stopping_for_scripts) {
            mover->stopped_by_user = true;
            tell(mover, QStringLiteral("stopped"),
                 {{QStringLiteral("by"), QStringLiteral("the user")}});
        }
    });
    connect(&session, &ArmSession::state_changed, this,
            [this] { notify(QStringLiteral("state"), state_object()); });
    connect(&session, &ArmSession::step_started, this,
            [this](int index, int count, const QString& line) {
                notify(QStringLiteral("step"),
                       {{QStringLiteral("index"), index},
                        {QStringLiteral("count"), count},
                        {QStringLiteral("line"), line}},
                       mover && mover->under_way == Method::run ? mover : ClientPtr{});
            });
    connect(&session, &ArmSession::run_ended, this, [this](std::optional<int> stopped_at) {
        run_stopped_at = stopped_at;
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
    client->connection = connection;
    client->stop_only = full >= limits.most_connections;
    clients.push_back(client);
    const std::weak_ptr<Client> weak = client;
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
    return driving && driving->connection ? driving->connection->peer() : QString();
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
        if (const Answer answer = dispatch(client, call)) {
            respond(client, call.id, *answer);
        }
    }
    if (client->stop_only) {
        // One request, then the room goes to the next who must stop the arm.
        drop(client, true);
    }
}

ArmServer::Answer ArmServer::dispatch(const ClientPtr& client, const RpcCall& call) {
    const Route& route = route_of(call.method);
    if (client->stop_only && !route.stop_only) {
        return refusal(QStringLiteral("Quillmar serves %1 scripts already: this connection may "
                                      "only stop the arm")
                           .arg(limits.most_connections));
    }
    if (route.needs != Route::Needs::nothing) {
        if (auto why = claim(client)) {
            return *why;
        }
    }
    if (route.needs == Route::Needs::moving) {
        if (client->stopped_by_user) {
            return RpcError{rpc_code::stopped_by_user, stopped_by_user_text};
        }
        if (auto why = refuse_movement(route.operation)) {
            return *why;
        }
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

void ArmServer::stop_for_scripts() {
    stopping_for_scripts = true;
    session.stop();
    stopping_for_scripts = false;
}

Reply ArmServer::ended_movement(const ClientPtr& client, const QJsonValue& result,
                                const QStringList& errors) const {
    if (client->stopped_by_user) {
        return RpcError{rpc_code::stopped_by_user, stopped_by_user_text, result};
    }
    return result_or_errors(result, errors);
}

void ArmServer::drop(const ClientPtr& client, bool graceful) {
    if (client->gone) {
        return;
    }
    client->gone = true;
    std::erase(clients, client);
    if (mover == client) {
        // At once: the hold's wait ends now and sends its stop; a run or the way back stops.
        if (client->under_way == Method::move || client->under_way == Method::hold) {
            session.end_hold(HoldEnd::released);
        } else {
            QMetaObject::invokeMethod(
                this, [this] { stop_for_scripts(); }, Qt::QueuedConnection);
        }
    }
    if (driving == client) {
        set_driver({});
    }
    if (client->connection) {
        client->connection->close(graceful);
    }
}

std::optional<RpcError> ArmServer::claim(const ClientPtr& client) {
    if (driving && driving != client) {
        return refusal(QStringLiteral("Another script drives the arm: ") + driver());
    }
    set_driver(client);
    return std::nullopt;
}

std::optional<RpcError> ArmServer::refuse_movement(ArmSession::Operation operation) const {
    if (!session.attached()) {
        return refusal(QStringLiteral("No arm is attached"));
    }
    if (mover || session.state() != ArmSession::State::idle || !session.may(operation)) {
        return refusal(busy_text(session.state()));
    }
    return std::nullopt;
}

void ArmServer::set_driver(const ClientPtr& client) {
    if (driving != client) {
        driving = client;
        emit driver_changed(driver());
    }
}

QJsonObject ArmServer::state_object() const {
    return {{QStringLiteral("state"), state_name(session.state())},
            {QStringLiteral("attached"), session.attached()},
            {QStringLiteral("light"), session.light_indicator()},
            {QStringLiteral("driver"), driving ? QJsonValue(driver()) : QJsonValue()}};
}

ArmServer::Answer ArmServer::state(const ClientPtr&, const RpcCall&) {
    return state_object();
}

ArmServer::Answer ArmServer::subscribe(const ClientPtr& client, const RpcCall&) {
    client->subscribed = true;
    return state_object();
}

ArmServer::Answer ArmServer::stop(const ClientPtr&, const RpcCall&) {
    // Anyone may stop the arm, as the window's Stop always can.
    stop_for_scripts();
    return QJsonValue::Null;
}

ArmServer::Answer ArmServer::release(const ClientPtr&, const RpcCall&) {
    session.release();
    return QJsonValue::Null;
}

ArmServer::Answer ArmServer::release_drive(const ClientPtr& client, const RpcCall&) {
    // What it set moving stops first: a script that gives up driving leaves nothing running.
    if (mover == client) {
        stop_for_scripts();
    }
    if (driving == client) {
        set_driver({});
    }
    return QJsonValue::Null;
}

ArmServer::Answer ArmServer::resume(const ClientPtr& client, const RpcCall&) {
    client->stopped_by_user = false;
    return QJsonValue::Null;
}

ArmServer::Answer ArmServer::move(const ClientPtr& client, const RpcCall& call) {
    const int command = *motor_command(call.params.value(QStringLiteral("motor")));
    const double seconds = call.params.value(QStringLiteral("seconds")).toDouble();
    Collector lines(*this);
    mover = client;
    client->under_way = Method::move;
    const std::size_t starts_before = starts_taken;
    const std::optional<HoldOutcome> outcome = session.begin_hold_for(command, seconds);
    client->under_way.reset();
    mover.reset();
    const QJsonObject result = hold_result(outcome, starts_taken != starts_before);
    if (result.value(QStringLiteral("ended")) == not_started) {
        lines.errors.prepend(QStringLiteral("The movement did not start"));
    }
    return ended_movement(client, result, lines.errors);
}

ArmServer::Answer ArmServer::hold(const ClientPtr& client, const RpcCall& call) {
    const int command = *motor_command(call.params.value(QStringLiteral("motor")));
    // Answered before the start command goes: the hold's wait begins straight after it, and
    // the client's let_go is read during that wait.
    respond(client, call.id, QJsonValue::Null);
    mover = client;
    client->under_way = Method::hold;
    const std::size_t starts_before = starts_taken;
    const std::optional<HoldOutcome> outcome = session.begin_hold(command);
    client->under_way.reset();
    mover.reset();
    client->last_hold = hold_result(outcome, starts_taken != starts_before);
    if (client->let_go_id) {
        respond(client, *std::exchange(client->let_go_id, std::nullopt),
                ended_movement(client, client->last_hold, {}));
    } else {
        // Ended without let_go: Stop, the limit, a release or closing.
        notify(QStringLiteral("hold_ended"), client->last_hold.toObject(), client);
    }
    return std::nullopt;
}

ArmServer::Answer ArmServer::let_go(const ClientPtr& client, const RpcCall& call) {
    if (client->under_way != Method::hold) {
        return ended_movement(client, client->last_hold, {});
    }
    // Answered once the stop has gone; a let_go sent as a notification is answered by nothing.
    client->let_go_id = call.id;
    session.end_hold(HoldEnd::released);
    return std::nullopt;
}

ArmServer::Answer ArmServer::run(const ClientPtr& client, const RpcCall& call) {
    Collector lines(*this);
    mover = client;
    client->under_way = Method::run;
    run_stopped_at.reset();
    session.run(call.params.value(QStringLiteral("text")).toString(), direction_of(call.params));
    client->under_way.reset();
    mover.reset();
    const QJsonObject result{
        {QStringLiteral("stopped_at"), run_stopped_at ? QJsonValue(*run_stopped_at) : QJsonValue()},
        {QStringLiteral("messages"), first_lines(lines.messages)},
        {QStringLiteral("message_count"), lines.messages.size()}};
    return ended_movement(client, result, lines.errors);
}

ArmServer::Answer ArmServer::attach(const ClientPtr&, const RpcCall&) {
    Collector lines(*this);
    session.attach();
    if (session.attached()) {
        return result_or_errors(state_object(), lines.errors);
    }
    // The survey comes first; what follows it says why no arm was attached.
    const QStringList why = lines.messages.mid(1);
    return refusal(why.isEmpty() ? QStringLiteral("Could not attach") : why.join(u'\n'));
}

ArmServer::Answer ArmServer::light(const ClientPtr&, const RpcCall& call) {
    if (!session.may(ArmSession::Operation::light)) {
        return refusal(session.attached() ? busy_text(session.state())
                                          : QStringLiteral("No arm is attached"));
    }
    Collector lines(*this);
    const QJsonValue on = call.params.value(QStringLiteral("on"));
    if (on.isUndefined() || on.toBool() != session.light_indicator()) {
        session.light();
    }
    return result_or_errors(QJsonObject{{QStringLiteral("on"), session.light_indicator()}},
                            lines.errors);
}

ArmServer::Answer ArmServer::back_to_start(const ClientPtr& client, const RpcCall&) {
    Collector lines(*this);
    mover = client;
    client->under_way = Method::back_to_start;
    const ArmSession::WayBack way = session.back_to_start();
    client->under_way.reset();
    mover.reset();
    return ended_movement(client, QJsonObject{{QStringLiteral("ended"), way_back_name(way)}},
                          lines.errors);
}

ArmServer::Answer ArmServer::check(const ClientPtr&, const RpcCall& call) {
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

ArmServer::Answer ArmServer::pose(const ClientPtr&, const RpcCall&) {
    const Pose now = session.model().pose_at(session.now());
    QJsonObject result{{QStringLiteral("light"), session.model().light_on()}};
    for (const JointRow& row : joint_table) {
        result.insert(QString::fromLatin1(row.name).toLower(),
                      now.at(static_cast<std::size_t>(row.joint)));
    }
    return result;
}

}  // namespace quillmar
