#include "json_rpc.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <array>
#include <cmath>

#include "armlink/arm_command.h"
#include "programs/program_preview.h"
#include "session/arm_session.h"

namespace quillmar {

namespace {

enum class Kind { motor, seconds, boolean, text, direction };

struct Param {
    const char* name = nullptr;  // none: the row takes fewer parameters
    Kind kind = Kind::text;
    bool required = false;
};

struct MethodRow {
    Method method;
    const char* name;
    std::array<Param, 2> params;
};

constexpr std::array<MethodRow, 15> method_table{{
    {Method::state, "state", {}},
    {Method::attach, "attach", {}},
    {Method::release, "release", {}},
    {Method::release_drive, "release_drive", {}},
    {Method::resume, "resume", {}},
    {Method::move, "move", {{{"motor", Kind::motor, true}, {"seconds", Kind::seconds, true}}}},
    {Method::hold, "hold", {{{"motor", Kind::motor, true}}}},
    {Method::let_go, "let_go", {}},
    {Method::light, "light", {{{"on", Kind::boolean, false}}}},
    {Method::stop, "stop", {}},
    {Method::run, "run", {{{"text", Kind::text, true}, {"direction", Kind::direction, false}}}},
    {Method::check, "check", {{{"text", Kind::text, true}, {"direction", Kind::direction, false}}}},
    {Method::pose, "pose", {}},
    {Method::back_to_start, "back_to_start", {}},
    {Method::subscribe, "subscribe", {}},
}};

// Why `value` does not fit `param`; nothing when it does.
std::optional<QString> misfit(const Param& param, const QJsonValue& value) {
    const QString name = QString::fromLatin1(param.name);
    switch (param.kind) {
        case Kind::motor:
            if (!motor_command(value)) {
                return QStringLiteral("%1: a motor's name such as \"elbow up\", or 1 to 10")
                    .arg(name);
            }
            return std::nullopt;
        case Kind::seconds:
            if (!value.isDouble() || !(value.toDouble() > 0.0) ||
                value.toDouble() > ArmSession::hold_limit_seconds) {
                return QStringLiteral("%1: a number of seconds above 0 and at most %2")
                    .arg(name)
                    .arg(ArmSession::hold_limit_seconds);
            }
            return std::nullopt;
        case Kind::boolean:
            return value.isBool() ? std::nullopt
                                  : std::optional(name + QStringLiteral(": true or false"));
        case Kind::text:
            return value.isString() ? std::nullopt
                                    : std::optional(name + QStringLiteral(": a string"));
        case Kind::direction:
            if (value != QStringLiteral("forwards") && value != QStringLiteral("reverse")) {
                return name + QStringLiteral(": \"forwards\" or \"reverse\"");
            }
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<QString> params_misfit(const MethodRow& row, const QJsonObject& params) {
    for (auto it = params.begin(); it != params.end(); ++it) {
        const bool known = std::ranges::any_of(row.params, [&](const Param& param) {
            return param.name != nullptr && it.key() == QLatin1String(param.name);
        });
        if (!known) {
            return QStringLiteral("%1 takes no parameter \"%2\"")
                .arg(QLatin1String(row.name), it.key().left(64));
        }
    }
    for (const Param& param : row.params) {
        if (param.name == nullptr) {
            continue;
        }
        const QJsonValue value = params.value(QLatin1String(param.name));
        if (value.isUndefined()) {
            if (param.required) {
                return QStringLiteral("%1 needs \"%2\"")
                    .arg(QLatin1String(row.name), QLatin1String(param.name));
            }
        } else if (const auto why = misfit(param, value)) {
            return why;
        }
    }
    return std::nullopt;
}

QByteArray line_of(const QJsonObject& message) {
    return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
}

}  // namespace

std::variant<RpcCall, RpcFault> read_message(QByteArrayView line) {
    QJsonParseError parsed{};
    const QJsonDocument document = QJsonDocument::fromJson(line.toByteArray(), &parsed);
    if (parsed.error != QJsonParseError::NoError) {
        return RpcFault{
            QJsonValue::Null,
            {rpc_code::parse_error, QStringLiteral("Parse error: ") + parsed.errorString()}};
    }
    if (!document.isObject()) {
        return RpcFault{QJsonValue::Null,
                        {rpc_code::invalid_request,
                         QStringLiteral("Invalid request: one object a line, no batches")}};
    }
    const QJsonObject message = document.object();
    QJsonValue id = message.value(QStringLiteral("id"));
    if (!id.isUndefined() && !id.isString() && !id.isDouble() && !id.isNull()) {
        return RpcFault{QJsonValue::Null,
                        {rpc_code::invalid_request,
                         QStringLiteral("Invalid request: the id is a string or a number")}};
    }
    const QJsonValue answer_to = id.isUndefined() ? QJsonValue(QJsonValue::Null) : id;
    if (message.value(QStringLiteral("jsonrpc")) != QStringLiteral("2.0")) {
        return RpcFault{answer_to,
                        {rpc_code::invalid_request,
                         QStringLiteral("Invalid request: \"jsonrpc\" must be \"2.0\"")}};
    }
    const QJsonValue method = message.value(QStringLiteral("method"));
    if (!method.isString()) {
        return RpcFault{answer_to,
                        {rpc_code::invalid_request,
                         QStringLiteral("Invalid request: \"method\" must be a string")}};
    }
    const auto* row = std::ranges::find_if(method_table, [&](const MethodRow& each) {
        return method.toString() == QLatin1String(each.name);
    });
    if (row == method_table.end()) {
        return RpcFault{answer_to,
                        {rpc_code::method_not_found,
                         QStringLiteral("Method not found: ") + method.toString().left(64)}};
    }
    const QJsonValue params = message.value(QStringLiteral("params"));
    if (!params.isUndefined() && !params.isObject()) {
        return RpcFault{answer_to,
                        {rpc_code::invalid_params,
                         QStringLiteral("Invalid params: parameters go by name, in an object")}};
    }
    if (const auto why = params_misfit(*row, params.toObject())) {
        return RpcFault{answer_to,
                        {rpc_code::invalid_params, QStringLiteral("Invalid params: ") + *why}};
    }
    return RpcCall{id, row->method, params.toObject()};
}

QByteArray request_message(int id, const QString& method, const QJsonObject& params) {
    return line_of({{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                    {QStringLiteral("id"), id},
                    {QStringLiteral("method"), method},
                    {QStringLiteral("params"), params}});
}

QByteArray reply_message(const QJsonValue& id, const Reply& reply) {
    QJsonObject message{{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                        {QStringLiteral("id"), id}};
    if (const auto* error = std::get_if<RpcError>(&reply)) {
        QJsonObject fault{{QStringLiteral("code"), error->code},
                          {QStringLiteral("message"), error->message}};
        if (!error->data.isUndefined()) {
            fault.insert(QStringLiteral("data"), error->data);
        }
        message.insert(QStringLiteral("error"), fault);
    } else {
        message.insert(QStringLiteral("result"), std::get<QJsonValue>(reply));
    }
    return line_of(message);
}

QByteArray notification_message(const QString& method, const QJsonObject& params) {
    return line_of({{QStringLiteral("jsonrpc"), QStringLiteral("2.0")},
                    {QStringLiteral("method"), method},
                    {QStringLiteral("params"), params}});
}

std::optional<int> motor_command(const QJsonValue& motor) {
    if (motor.isDouble()) {
        const double number = motor.toDouble();
        if (number >= 1 && number <= last_command_number && std::floor(number) == number) {
            return static_cast<int>(number);
        }
        return std::nullopt;
    }
    const QString name = motor.toString().simplified().toLower();
    if (name == QStringLiteral("base left")) {
        return 9;
    }
    if (name == QStringLiteral("base right")) {
        return 10;
    }
    for (int command = 1; command <= last_command_number; ++command) {
        if (!name.isEmpty() && name == command_name(command).toLower()) {
            return command;
        }
    }
    return std::nullopt;
}

}  // namespace quillmar
