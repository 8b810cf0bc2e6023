// The blocks page on the loopback interface: its files, and its socket, over which the page is
// one more connection of the arm's local interface.
#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QWebSocketServer>
#include <functional>
#include <memory>
#include <vector>

#include "blocks/block_program.h"
#include "page_request.h"
#include "server/arm_server.h"
#include "session/arm_session.h"

class QTcpSocket;

namespace quillmar {

// Where the page's files are: share/quillmar/blocks beside the folder that holds the program;
// empty when it is not there.
QString page_folder(const QString& program_folder);

class PageServer : public QObject {
    Q_OBJECT
  public:
    // A page that says nothing for this long has gone: what it started stops.
    static constexpr int heartbeat_ms = 1000;

    // Serves the files under `folder`; the page's arm methods go to the local interface at
    // `socket_path`.
    PageServer(ArmSession& session, ArmServer& server, const QString& folder,
               QObject* parent = nullptr);
    ~PageServer() override;
    PageServer(const PageServer&) = delete;
    PageServer& operator=(const PageServer&) = delete;

    // Listens on 127.0.0.1 and ::1 on a free port; an empty text when listening, else why not.
    QString listen();
    // The page's address with this start's token.
    QString address() const;
    quint16 port() const { return access.port; }

    // The program that a page opens with, and its file's name.
    void set_program(const QString& text, const QString& name);
    // The named poses a go-to block may name, asked for at each compile.
    void set_poses(std::function<std::vector<NamedPose>()> poses);

  private:
    class PageConnection;

    void accept(QTcpServer& listener);
    void read_head(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const PageRequest& request);
    BlocksContext context() const;
    QJsonObject take_page_call(const QString& method, const QJsonObject& params, bool& handled,
                               QString& fault);

    ArmSession& session;
    ArmServer& server;
    PageAccess access;
    QHash<QByteArray, QString> files;  // the address of each file of the page, and where it is
    QTcpServer ipv4;
    QTcpServer ipv6;
    QWebSocketServer sockets;
    int pages = 0;
    QString program_text;
    QString program_name;
    std::function<std::vector<NamedPose>()> named_poses;
};

}  // namespace quillmar
