#include "page_server.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include "programs/program_preview.h"
#include "server/json_rpc.h"

namespace quillmar {

namespace {

constexpr int tries_for_a_port = 20;
// A request not whole by then is dropped, as the local interface drops an unfinished line.
constexpr int unanswered_ms = 5000;
// More than a page beside the blocks can show.
constexpr qsizetype most_warnings = 100;

QJsonObject compiled_object(const CompiledBlocks& compiled) {
    QJsonArray notes;
    for (const BlockNote& note : compiled.notes) {
        notes.append(QJsonObject{{QStringLiteral("block"), note.block},
                                 {QStringLiteral("text"), note.text}});
    }
    return {{QStringLiteral("text"), compiled.text},
            {QStringLiteral("blocks"), QJsonArray::fromStringList(compiled.blocks)},
            {QStringLiteral("steps"), compiled.steps},
            {QStringLiteral("notes"), notes},
            {QStringLiteral("refusal"), compiled.refusal},
            {QStringLiteral("refused_block"), compiled.refused_block}};
}

}  // namespace

QString page_folder(const QString& program_folder) {
    const QString folder =
        QDir::cleanPath(program_folder + QStringLiteral("/../share/quillmar/blocks"));
    return QFileInfo(folder).isDir() ? folder : QString();
}

// One open page's socket as a connection of the local interface. The page's own methods are
// answered here; a page that closes, or sends nothing for a second, is gone, and the server stops
// what it started.
class PageServer::PageConnection : public Connection {
  public:
    PageConnection(PageServer& owner, QWebSocket* socket, int number)
        : owner(owner), socket(socket), name(QStringLiteral("blocks page (tab %1)").arg(number)) {
        socket->setParent(this);
        socket->setMaxAllowedIncomingMessageSize(longest_message);
        heartbeat.setSingleShot(true);
        heartbeat.setInterval(heartbeat_ms);
        connect(&heartbeat, &QTimer::timeout, this, &PageConnection::end);
        connect(socket, &QWebSocket::disconnected, this, &PageConnection::end);
        connect(socket, &QWebSocket::textMessageReceived, this, &PageConnection::take);
        heartbeat.start();
    }

    QString peer() const override { return name; }
    ClientKind kind() const override { return ClientKind::blocks_page; }

    Incoming next() override {
        if (waiting.isEmpty()) {
            return {};
        }
        return {Incoming::Kind::message, waiting.takeFirst()};
    }

    void send_line(const QByteArray& line) override {
        socket->sendTextMessage(QString::fromUtf8(line.trimmed()));
    }

    qint64 unsent() const override { return socket->bytesToWrite(); }

    void close(bool graceful) override {
        heartbeat.stop();
        disconnect(socket, nullptr, this, nullptr);
        if (graceful) {
            socket->close();
        } else {
            socket->abort();
        }
        deleteLater();
    }

  private:
    void take(const QString& message) {
        heartbeat.start();
        const QJsonObject call = QJsonDocument::fromJson(message.toUtf8()).object();
        bool handled = false;
        QString fault;
        const QJsonObject result = owner.take_page_call(call[u"method"].toString(),
                                                        call[u"params"].toObject(), handled, fault);
        if (!handled) {
            waiting << message.toUtf8();
            emit readable();
        } else if (call.contains(u"id")) {
            send_line(reply_message(
                call[u"id"], fault.isEmpty() ? Reply{result}
                                             : Reply{RpcError{rpc_code::invalid_params, fault}}));
        }
    }

    // The server hears it once and closes the connection, which stops what the page started.
    void end() {
        if (!over) {
            over = true;
            heartbeat.stop();
            emit closed();
        }
    }

    PageServer& owner;
    QWebSocket* socket;
    const QString name;
    QByteArrayList waiting;
    QTimer heartbeat;
    bool over = false;
};

PageServer::PageServer(ArmSession& session, ArmServer& server, const QString& folder,
                       QObject* parent)
    : QObject(parent),
      session(session),
      server(server),
      access{fresh_token(), 0},
      sockets(QStringLiteral("Quillmar blocks page"), QWebSocketServer::NonSecureMode) {
    // Only regular files under the folder: no link leads out of it, and nothing else is served.
    const QDir root(folder);
    QDirIterator found(folder, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (found.hasNext()) {
        const QFileInfo file(found.next());
        if (!file.isSymLink() || file.canonicalFilePath().startsWith(root.canonicalPath() + u'/')) {
            files.insert('/' + root.relativeFilePath(file.filePath()).toUtf8(),
                         file.canonicalFilePath());
        }
    }
    connect(&ipv4, &QTcpServer::newConnection, this, [this] { accept(ipv4); });
    connect(&ipv6, &QTcpServer::newConnection, this, [this] { accept(ipv6); });
    connect(&sockets, &QWebSocketServer::newConnection, this, [this] {
        while (QWebSocket* socket = sockets.nextPendingConnection()) {
            this->server.accept(new PageConnection(*this, socket, ++pages));
        }
    });
}

PageServer::~PageServer() = default;

QString PageServer::listen() {
    for (int attempt = 0; attempt < tries_for_a_port; ++attempt) {
        if (!ipv4.listen(QHostAddress::LocalHost, 0)) {
            return ipv4.errorString();
        }
        access.port = ipv4.serverPort();
        if (ipv6.listen(QHostAddress::LocalHostIPv6, access.port) ||
            ipv6.serverError() != QAbstractSocket::AddressInUseError) {
            // Without IPv6 the page is served on 127.0.0.1 alone.
            return {};
        }
        ipv4.close();
    }
    return QStringLiteral("no free port on the loopback interface");
}

QString PageServer::address() const {
    return QStringLiteral("http://127.0.0.1:%1/?token=%2")
        .arg(access.port)
        .arg(QString::fromLatin1(access.token));
}

void PageServer::set_program(const QString& text, const QString& name) {
    program_text = text;
    program_name = name;
}

void PageServer::set_poses(std::function<std::vector<NamedPose>()> poses) {
    named_poses = std::move(poses);
}

void PageServer::accept(QTcpServer& listener) {
    while (QTcpSocket* socket = listener.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read_head(socket); });
        // A connection that never finishes its request is not kept waiting for; a page's socket
        // lives on once handed over.
        auto* unanswered = new QTimer(socket);
        unanswered->setObjectName(QStringLiteral("unanswered"));
        unanswered->setSingleShot(true);
        connect(unanswered, &QTimer::timeout, socket, &QTcpSocket::abort);
        unanswered->start(unanswered_ms);
    }
}

void PageServer::read_head(QTcpSocket* socket) {
    // Peeked, not read: a WebSocket handshake is read again by the WebSocket server.
    const QByteArray seen = socket->peek(longest_request_head + 1);
    const qsizetype end = seen.indexOf("\r\n\r\n");
    if (end < 0) {
        if (seen.size() > longest_request_head) {
            socket->write(page_answer(431, "text/plain", "The request is too long.\n"));
            socket->disconnectFromHost();
        }
        return;
    }
    const std::optional<PageRequest> request = read_request_head(seen.left(end + 4));
    if (!request) {
        socket->write(refusal_answer(Verdict::bad_request));
        socket->disconnectFromHost();
        return;
    }
    answer(socket, *request);
}

void PageServer::answer(QTcpSocket* socket, const PageRequest& request) {
    const Verdict verdict = judge(request, access);
    if (verdict == Verdict::page && wants_socket(request)) {
        delete socket->findChild<QTimer*>(QStringLiteral("unanswered"));
        socket->disconnect(this);
        sockets.handleConnection(socket);
        return;
    }
    socket->disconnect(this);
    socket->readAll();
    if (verdict == Verdict::take_token) {
        socket->write(page_answer(303, "text/plain", {},
                                  "Location: " + request.path +
                                      "\r\nSet-Cookie: " + token_cookie(access) + '=' +
                                      access.token + "; Path=/; HttpOnly; SameSite=Strict\r\n"));
    } else if (verdict != Verdict::page) {
        socket->write(refusal_answer(verdict));
    } else {
        const QByteArray path = request.path == "/" ? QByteArray("/index.html") : request.path;
        QFile file(files.value(path));
        if (!files.contains(path) || !file.open(QIODevice::ReadOnly)) {
            socket->write(page_answer(404, "text/plain", "No such file.\n"));
        } else {
            const QByteArray body = file.readAll();
            QByteArray answer = page_answer(200, content_type(path), body);
            if (request.method == "HEAD") {
                answer.chop(body.size());
            }
            socket->write(answer);
        }
    }
    socket->disconnectFromHost();
}

BlocksContext PageServer::context() const {
    const ArmModel& model = session.model();
    const double now = session.now();
    BlocksContext context{model.pose_at(now),      model.light_on(), model.origin(),
                          model.origin_light_on(), model.speeds(),   {}};
    if (named_poses) {
        context.poses = named_poses();
    }
    return context;
}

// The page's own methods: the blocks compiled or made from text, the poses to choose from, the
// program it opens with, and its heartbeat.
QJsonObject PageServer::take_page_call(const QString& method, const QJsonObject& params,
                                       bool& handled, QString& fault) {
    handled = true;
    if (method == u"heartbeat") {
        return {};
    }
    if (method == u"compile") {
        const BlocksContext now = context();
        const CompiledBlocks compiled = compile_blocks(params[u"workspace"].toObject(), now);
        QJsonObject result = compiled_object(compiled);
        // Where the run will leave the arm and what it will meet, as the arm window previews it.
        const CheckedProgram checked = check_program(compiled.text, {});
        QJsonArray step_lines;
        for (const ProgramStep& step : checked.steps) {
            step_lines.append(step.line);
        }
        result.insert(QStringLiteral("step_lines"), step_lines);
        const ProgramPreview preview = preview_program(checked, Direction::forwards, now.pose,
                                                       now.light, std::nullopt, now.speeds);
        QJsonObject end;
        for (const auto& row : joint_table) {
            end.insert(QString::fromLatin1(row.name).toLower(),
                       preview.end_pose.at(static_cast<std::size_t>(row.joint)));
        }
        end.insert(QStringLiteral("light"), preview.end_light);
        result.insert(QStringLiteral("end"), end);
        result.insert(QStringLiteral("seconds"), preview.duration);
        result.insert(QStringLiteral("warnings"),
                      QJsonArray::fromStringList(preview_warnings(preview, most_warnings)));
        return result;
    }
    if (method == u"to_blocks") {
        QString refusal;
        const QJsonObject blocks =
            blocks_of_program(params[u"text"].toString(), session.model().light_on(), &refusal);
        if (!refusal.isEmpty()) {
            fault = refusal;
            return {};
        }
        return {{QStringLiteral("workspace"), blocks}};
    }
    if (method == u"opening") {
        QJsonArray poses;
        for (const NamedPose& pose : context().poses) {
            poses.append(pose.name);
        }
        return {{QStringLiteral("text"), program_text},
                {QStringLiteral("name"), program_name},
                {QStringLiteral("poses"), poses}};
    }
    handled = false;
    return {};
}

}  // namespace quillmar
