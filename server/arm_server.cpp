#include "arm_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QLocalSocket>
#include <QMetaEnum>
#include <QPointer>
#include <cerrno>

#include "programs/program_preview.h"
#include "text/visible_text.h"

namespace quillmar {

namespace {

// Replies and notifications a client has not read yet; past this it counts as gone.
constexpr qint64 largest_backlog = 4 * 1024 * 1024;
// Lines read from one client before the others and the window get their turn.
constexpr int lines_per_turn = 64;
constexpr std::size_t most_clients = 32;

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
        case ArmSession::State::not_responding:
            return Refusal(Why::not_responding).text();
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

QString way_back_name(const Answer<WayEnd>& way) {
    if (!way) {
        return way.why() == Why::keys_held ? QStringLiteral("keys held")
                                           : QStringLiteral("refused");
    }
    switch (*way) {
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

QJsonObject hold_result(const HoldOutcome& outcome) {
    return {{QStringLiteral("seconds"), outcome.seconds},
            {QStringLiteral("ended"), end_name(outcome.end)}};
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

struct ArmServer::Client {
    QPointer<QLocalSocket> socket;
    QString name;
    bool subscribed = false;
    bool gone = false;
    bool reading_scheduled = false;
    std::optional<Method> under_way;  // its movement or run
    std::optional<QJsonValue> let_go_id;
    QJsonValue last_hold;            // how its last hold ended
    std::unique_ptr<ArmClient> arm;  // every operation of this connection goes through it
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

ArmServer::ArmServer(ArmSession& session, PeerReader peer_of, QObject* parent)
    : QObject(parent), session(session), peer_of(std::move(peer_of)) {
    server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server, &QLocalServer::newConnection, this, &ArmServer::accept_connections);
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
        if (client->socket) {
            client->socket->abort();
        }
    }
}

QString ArmServer::listen(const QString& path) {
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

QString ArmServer::driver() const {
    return driving ? driving->name : QString();
}

void ArmServer::accept_connections() {
    while (QLocalSocket* socket = server.nextPendingConnection()) {
        const std::optional<Peer> peer = peer_of(socket->socketDescriptor());
        if (!peer || peer->uid != ::getuid() || clients.size() >= most_clients) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto client = std::make_shared<Client>();
        client->socket = socket;
        client->name = peer_name(peer->pid);
        client->arm = std::make_unique<ArmClient>(session, ClientKind::script, client->name);
        socket->setParent(this);
        // A line longer than the cap fills the buffer, which tells it; the kernel holds the rest.
        socket->setReadBufferSize(longest_message + 2);
        clients.push_back(client);
        const std::weak_ptr<Client> weak = client;
        connect(socket, &QLocalSocket::readyRead, this, [this, weak] {
            if (const ClientPtr each = weak.lock()) {
                schedule_reading(each);
            }
        });
        connect(socket, &QLocalSocket::disconnected, this, [this, weak] {
            if (const ClientPtr each = weak.lock()) {
                drop(each, false);
            }
        });
        schedule_reading(client);
    }
}

// Requests are read from the event loop rather than inside the socket's signal, so that a
// movement's wait still hears this socket: its further requests and its disconnection.
void ArmServer::schedule_reading(const ClientPtr& client) {
    if (client->reading_scheduled || client->gone) {
        return;
    }
    client->reading_scheduled = true;
    QMetaObject::invokeMethod(
        this, [this, client] { read_lines(client); }, Qt::QueuedConnection);
}

void ArmServer::read_lines(const ClientPtr& client) {
    client->reading_scheduled = false;
    for (int taken = 0; taken < lines_per_turn; ++taken) {
        QLocalSocket* socket = client->socket;
        if (client->gone || socket == nullptr) {
            return;
        }
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > longest_message) {
                send(client, fault_message({QJsonValue::Null, rpc_code::invalid_request,
                                            QStringLiteral("Message longer than 1 MiB")}));
                drop(client, true);
            }
            return;
        }
        QByteArray line = socket->readLine();
        while (line.endsWith('\n') || line.endsWith('\r')) {
            line.chop(1);
        }
        if (!line.trimmed().isEmpty()) {
            take(client, line);
        }
    }
    schedule_reading(client);
}

void ArmServer::take(const ClientPtr& client, const QByteArray& line) {
    const std::variant<RpcCall, RpcFault> message = read_message(line);
    if (const auto* fault = std::get_if<RpcFault>(&message)) {
        send(client, fault_message(*fault));
        return;
    }
    const RpcCall& call = std::get<RpcCall>(message);
    switch (call.method) {
        case Method::state:
            answer(client, call, state_object());
            return;
        case Method::pose:
            answer(client, call, pose());
            return;
        case Method::check:
            answer(client, call, check(call));
            return;
        case Method::subscribe:
            client->subscribed = true;
            answer(client, call, state_object());
            return;
        case Method::stop:
            // Anyone may stop the arm, as the window's Stop always can.
            client->arm->stop();
            answer(client, call, QJsonValue::Null);
            return;
        case Method::attach:
            attach(client, call);
            return;
        case Method::release:
            if (claim(client, call)) {
                client->arm->release();
                answer(client, call, QJsonValue::Null);
            }
            return;
        case Method::light:
            light(client, call);
            return;
        case Method::move:
            move(client, call);
            return;
        case Method::hold:
            hold(client, call);
            return;
        case Method::let_go:
            let_go(client, call);
            return;
        case Method::run:
            run(client, call);
            return;
        case Method::back_to_start:
            back_to_start(client, call);
            return;
    }
}

void ArmServer::send(const ClientPtr& client, const QByteArray& message) {
    if (client->gone || !client->socket) {
        return;
    }
    client->socket->write(message);
    if (client->socket->bytesToWrite() > largest_backlog) {
        drop(client, false);
    }
}

void ArmServer::answer(const ClientPtr& client, const RpcCall& call, const QJsonValue& result) {
    if (!call.id.isUndefined()) {
        send(client, result_message(call.id, result));
    }
}

void ArmServer::refuse(const ClientPtr& client, const RpcCall& call, int code,
                       const QString& text) {
    if (!call.id.isUndefined()) {
        send(client, fault_message({call.id, code, text}));
    }
}

void ArmServer::answer_or_errors(const ClientPtr& client, const RpcCall& call,
                                 const QJsonValue& result, const QStringList& errors) {
    if (errors.isEmpty()) {
        answer(client, call, result);
    } else if (!call.id.isUndefined()) {
        send(client, fault_message({call.id, rpc_code::arm_error, errors.join(u'\n')}, result));
    }
}

void ArmServer::notify(const QString& method, const QJsonObject& params, const ClientPtr& also) {
    const QByteArray message = notification_message(method, params);
    // Copied: a slow reader dropped meanwhile leaves the list.
    const std::vector<ClientPtr> listeners = clients;
    for (const ClientPtr& client : listeners) {
        if (client->subscribed || client == also) {
            send(client, message);
        }
    }
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
            client->arm->let_go();
        } else {
            QMetaObject::invokeMethod(
                this, [client] { client->arm->stop(); }, Qt::QueuedConnection);
        }
    }
    if (driving == client) {
        set_driver({});
    }
    if (QLocalSocket* socket = client->socket) {
        graceful ? socket->disconnectFromServer() : socket->abort();
        socket->deleteLater();
    }
}

bool ArmServer::claim(const ClientPtr& client, const RpcCall& call) {
    if (driving && driving != client) {
        refuse(client, call, rpc_code::refused,
               QStringLiteral("Another script drives the arm: ") + driving->name);
        return false;
    }
    set_driver(client);
    return true;
}

bool ArmServer::may_move(const ClientPtr& client, const RpcCall& call,
                         ArmSession::Operation operation) {
    if (!claim(client, call)) {
        return false;
    }
    if (!session.attached()) {
        refuse(client, call, rpc_code::refused, QStringLiteral("No arm is attached"));
        return false;
    }
    if (mover || session.state() != ArmSession::State::idle || !session.may(operation)) {
        refuse(client, call, rpc_code::refused, busy_text(session.state()));
        return false;
    }
    return true;
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
            {QStringLiteral("driver"), driving ? QJsonValue(driving->name) : QJsonValue()}};
}

void ArmServer::move(const ClientPtr& client, const RpcCall& call) {
    if (!may_move(client, call, ArmSession::Operation::hold)) {
        return;
    }
    const int command = *motor_command(call.params.value(QStringLiteral("motor")));
    const double seconds = call.params.value(QStringLiteral("seconds")).toDouble();
    Collector lines(*this);
    mover = client;
    client->under_way = Method::move;
    const Answer<HoldOutcome> outcome = client->arm->hold_for(command, seconds);
    client->under_way.reset();
    mover.reset();
    answer_or_errors(client, call, outcome ? hold_result(*outcome) : QJsonObject{}, lines.errors);
}

void ArmServer::hold(const ClientPtr& client, const RpcCall& call) {
    if (!may_move(client, call, ArmSession::Operation::hold)) {
        return;
    }
    const int command = *motor_command(call.params.value(QStringLiteral("motor")));
    // Answered before the start command goes: the hold's wait begins straight after it, and
    // the client's let_go is read during that wait.
    answer(client, call, QJsonValue::Null);
    mover = client;
    client->under_way = Method::hold;
    const Answer<HoldOutcome> outcome = client->arm->hold(command);
    client->under_way.reset();
    mover.reset();
    client->last_hold = outcome ? hold_result(*outcome) : QJsonObject{};
    if (client->let_go_id) {
        const QJsonValue id = *std::exchange(client->let_go_id, std::nullopt);
        answer(client, {id, Method::let_go, {}}, client->last_hold);
    } else {
        // Ended without let_go: Stop, the limit, a release or closing.
        notify(QStringLiteral("hold_ended"), client->last_hold.toObject(), client);
    }
}

void ArmServer::let_go(const ClientPtr& client, const RpcCall& call) {
    if (client->under_way != Method::hold) {
        answer(client, call, client->last_hold);
        return;
    }
    // Answered once the stop has gone; a let_go sent as a notification is answered by nothing.
    client->let_go_id = call.id;
    client->arm->let_go();
}

void ArmServer::run(const ClientPtr& client, const RpcCall& call) {
    if (!may_move(client, call, ArmSession::Operation::run)) {
        return;
    }
    Collector lines(*this);
    mover = client;
    client->under_way = Method::run;
    run_stopped_at.reset();
    client->arm->run(call.params.value(QStringLiteral("text")).toString(),
                     direction_of(call.params));
    client->under_way.reset();
    mover.reset();
    const QJsonObject result{
        {QStringLiteral("stopped_at"), run_stopped_at ? QJsonValue(*run_stopped_at) : QJsonValue()},
        {QStringLiteral("messages"), first_lines(lines.messages)},
        {QStringLiteral("message_count"), lines.messages.size()}};
    answer_or_errors(client, call, result, lines.errors);
}

void ArmServer::attach(const ClientPtr& client, const RpcCall& call) {
    if (!claim(client, call)) {
        return;
    }
    Collector lines(*this);
    client->arm->attach();
    if (session.attached()) {
        answer_or_errors(client, call, state_object(), lines.errors);
        return;
    }
    // The survey comes first; what follows it says why no arm was attached.
    const QStringList why = lines.messages.mid(1);
    refuse(client, call, rpc_code::refused,
           why.isEmpty() ? QStringLiteral("Could not attach") : why.join(u'\n'));
}

void ArmServer::light(const ClientPtr& client, const RpcCall& call) {
    if (!claim(client, call)) {
        return;
    }
    if (!session.may(ArmSession::Operation::light)) {
        refuse(
            client, call, rpc_code::refused,
            session.attached() ? busy_text(session.state()) : QStringLiteral("No arm is attached"));
        return;
    }
    Collector lines(*this);
    const QJsonValue on = call.params.value(QStringLiteral("on"));
    if (on.isUndefined()) {
        client->arm->light();
    } else {
        client->arm->set_light(on.toBool());
    }
    answer_or_errors(client, call, QJsonObject{{QStringLiteral("on"), session.light_indicator()}},
                     lines.errors);
}

void ArmServer::back_to_start(const ClientPtr& client, const RpcCall& call) {
    if (!may_move(client, call, ArmSession::Operation::back_to_start)) {
        return;
    }
    Collector lines(*this);
    mover = client;
    client->under_way = Method::back_to_start;
    const Answer<WayEnd> way = client->arm->back_to_start();
    client->under_way.reset();
    mover.reset();
    answer_or_errors(client, call, QJsonObject{{QStringLiteral("ended"), way_back_name(way)}},
                     lines.errors);
}

QJsonObject ArmServer::check(const RpcCall& call) const {
    const Direction direction = direction_of(call.params);
    const CheckedProgram program =
        check_program(call.params.value(QStringLiteral("text")).toString());
    const ProgramPreview preview = preview_program(
        program, direction, session.model().pose_at(session.now()), session.model().light_on());
    return {{QStringLiteral("messages"), first_lines(program.messages)},
            {QStringLiteral("message_count"), program.messages.size()},
            {QStringLiteral("warnings"),
             QJsonArray::fromStringList(preview_warnings(preview, rejected_lines_kept))},
            {QStringLiteral("steps"), static_cast<qint64>(preview.steps.size())},
            {QStringLiteral("seconds"), preview.duration}};
}

QJsonObject ArmServer::pose() const {
    const Pose now = session.model().pose_at(session.now());
    QJsonObject result{{QStringLiteral("light"), session.model().light_on()}};
    for (const JointRow& row : joint_table) {
        result.insert(QString::fromLatin1(row.name).toLower(),
                      now.at(static_cast<std::size_t>(row.joint)));
    }
    return result;
}

}  // namespace quillmar
