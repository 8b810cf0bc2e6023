// The messages of the local arm interface: JSON-RPC 2.0, one message a line, read and written.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <optional>
#include <variant>

namespace quillmar {

// No request is anywhere near this long; a longer line ends the connection.
inline constexpr qsizetype longest_message = 1024 * 1024;

namespace rpc_code {
inline constexpr int parse_error = -32700;
inline constexpr int invalid_request = -32600;
inline constexpr int method_not_found = -32601;
inline constexpr int invalid_params = -32602;
// The arm refused: no arm, busy, another script drives.
inline constexpr int refused = -32000;
// The operation ran and the panes showed errors, whose lines are the message.
inline constexpr int arm_error = -32001;
// The person at the arm ended the movement or run; later ones are refused so until `resume`.
inline constexpr int stopped_by_user = -32002;
}  // namespace rpc_code

enum class Method {
    state,
    attach,
    release,
    release_drive,
    resume,
    move,
    hold,
    let_go,
    light,
    stop,
    run,
    check,
    pose,
    back_to_start,
    subscribe,
};

// A request whose parameters have the names, types and ranges its method takes.
struct RpcCall {
    QJsonValue id;  // undefined for a notification, which gets no reply
    Method method;
    QJsonObject params;
};

struct RpcError {
    int code;
    QString message;
    QJsonValue data = QJsonValue::Undefined;  // what the request did all the same, if anything
};

// A request's answer: its result or its error.
using Reply = std::variant<QJsonValue, RpcError>;

// A line that is no request the interface takes.
struct RpcFault {
    QJsonValue id;  // null when the request's own could not be read
    RpcError error;
};

// One line of input, without its line end.
std::variant<RpcCall, RpcFault> read_message(QByteArrayView line);

// Request, reply and notification lines, each ended by a line feed: a client writes the first.
QByteArray request_message(int id, const QString& method, const QJsonObject& params);
QByteArray reply_message(const QJsonValue& id, const Reply& reply);
QByteArray notification_message(const QString& method, const QJsonObject& params);

// The command number of a motor named by its button ("elbow up", any case) or by its number;
// "base left" and "base right" turn the base. Only commands 1 to 10 move a motor.
std::optional<int> motor_command(const QJsonValue& motor);

}  // namespace quillmar
