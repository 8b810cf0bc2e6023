// Fuzz target: any bytes as one line of the local arm interface, through the message reader, and
// the reply that the server would write for it.
#include <QJsonDocument>
#include <QJsonObject>

#include "fuzz_check.h"
#include "server/json_rpc.h"

using quillmar::fuzz::require;

namespace {

// A reply is one line of a JSON object that names the request it answers.
void check_reply(const QByteArray& reply, const QJsonValue& id) {
    require(reply.endsWith('\n') && reply.count('\n') == 1, "a reply is one line");
    const QJsonDocument document = QJsonDocument::fromJson(reply);
    require(document.isObject(), "a reply is a JSON object");
    require(document.object().value(QStringLiteral("id")) == id, "a reply names its request");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray line(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto message = quillmar::read_message(line);
    if (const auto* fault = std::get_if<quillmar::RpcFault>(&message)) {
        require(fault->error.code >= -32700 && fault->error.code <= -32600,
                "a fault of the protocol");
        require(!fault->error.message.isEmpty() && fault->error.message.size() < 256,
                "a short fault message");
        check_reply(quillmar::reply_message(fault->id, fault->error), fault->id);
        return 0;
    }
    const auto& call = std::get<quillmar::RpcCall>(message);
    require(call.id.isUndefined() || call.id.isString() || call.id.isDouble() || call.id.isNull(),
            "an id is a string, a number or null");
    const QJsonValue motor = call.params.value(QStringLiteral("motor"));
    if (!motor.isUndefined()) {
        const auto command = quillmar::motor_command(motor);
        require(command && *command >= 1 && *command <= 10, "a motor is a command 1 to 10");
    }
    const QJsonValue seconds = call.params.value(QStringLiteral("seconds"));
    require(seconds.isUndefined() || (seconds.toDouble() > 0 && seconds.toDouble() <= 15),
            "a movement lasts more than 0 s and at most 15 s");
    if (!call.id.isUndefined()) {
        check_reply(quillmar::reply_message(call.id, QJsonValue(call.params)), call.id);
    }
    return 0;
}
