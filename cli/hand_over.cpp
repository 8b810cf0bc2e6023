// quillmar run where a Quillmar already drives the arm: the program goes to it through the local
// interface, so that two processes never send commands to one arm, its window shows the run and
// its Stop ends it.
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QThread>

#include "command_line.h"
#include "programs/program_check.h"
#include "server/json_rpc.h"
#include "server/local_socket.h"
#include "session/signal_bridge.h"
#include "sub_commands.h"
#include "terminal.h"

namespace quillmar {

namespace {

constexpr int answer_ms = 5000;

class Interface {
  public:
    explicit Interface(RunProgress::Style style) : style(style) {}

    bool connect_to(const QString& path) {
        socket.connectToServer(path);
        return socket.waitForConnected(answer_ms);
    }

    // Sends a request and waits for its answer, telling each step meanwhile; `each_wait` runs
    // between reads (a signal's stop goes out from there).
    QJsonObject call(const QString& method, const QJsonObject& params,
                     const std::function<void()>& each_wait = {}, int most_ms = answer_ms) {
        const int id = ++last_id;
        socket.write(request_message(id, method, params));
        QDeadlineTimer deadline(most_ms);
        while (!deadline.hasExpired() && socket.state() == QLocalSocket::ConnectedState) {
            while (socket.canReadLine()) {
                const QJsonObject message = QJsonDocument::fromJson(socket.readLine()).object();
                if (message.value("id") == id) {
                    return message;
                }
                tell(message);
            }
            socket.waitForReadyRead(50);
            QCoreApplication::processEvents();
            if (each_wait) {
                each_wait();
            }
        }
        return {{"error", QJsonObject{{"message", "Quillmar stopped answering"}}}};
    }

    // A stop, not waited for: the run's own answer follows it.
    void stop() {
        socket.write(R"({"jsonrpc":"2.0","method":"stop"})"
                     "\n");
        socket.flush();
    }

  private:
    void tell(const QJsonObject& notification) {
        if (notification.value("method") != "step") {
            return;
        }
        const QJsonObject step = notification.value("params").toObject();
        const int index = step.value("index").toInt();
        const QString line = step.value("line").toString();
        if (style == RunProgress::Style::json) {
            print_raw(stdout,
                      QString::fromUtf8(QJsonDocument(QJsonObject{{"event", "step"},
                                                                  {"step", index + 1},
                                                                  {"of", step.value("count")},
                                                                  {"text", line}})
                                            .toJson(QJsonDocument::Compact)) +
                          u'\n');
        } else if (style != RunProgress::Style::quiet) {
            print_lines(stdout, QStringLiteral("Step %1 of %2: %3")
                                    .arg(index + 1)
                                    .arg(step.value("count").toInt())
                                    .arg(line));
        }
    }

    const RunProgress::Style style;
    QLocalSocket socket;
    int last_id = 0;
};

void say(RunProgress::Style style, const QString& text) {
    if (style == RunProgress::Style::json) {
        print_raw(stdout,
                  QString::fromUtf8(QJsonDocument(QJsonObject{{"event", "message"}, {"text", text}})
                                        .toJson(QJsonDocument::Compact)) +
                      u'\n');
    } else if (style != RunProgress::Style::quiet) {
        print_lines(stdout, text);
    }
}

}  // namespace

std::optional<int> hand_over(const QString& text, Direction direction, int repeat,
                             RunProgress::Style style) {
    const QString path = default_socket_path();
    if (path.isEmpty()) {
        return std::nullopt;
    }
    Interface quillmar(style);
    if (!quillmar.connect_to(path)) {
        return std::nullopt;
    }
    const QJsonObject state = quillmar.call("state", {}).value("result").toObject();
    if (!state.value("attached").toBool()) {
        return std::nullopt;
    }
    say(style, QStringLiteral("The Quillmar that drives the arm runs the program: its window "
                              "shows the run, and its Stop ends it."));

    int signal_number = 0;
    bool stop_sent = false;
    const SignalBridge signals_to_stop;
    QObject::connect(&signals_to_stop, &SignalBridge::termination_requested,
                     [&](int number) { signal_number = signal_number ? signal_number : number; });
    const auto send_stop_on_signal = [&] {
        if (signal_number != 0 && !stop_sent) {
            stop_sent = true;
            quillmar.stop();
        }
    };
    // A whole run of the longest program, its pauses and a margin.
    constexpr int longest_run_ms = step_table_size * (longest_duration * 10 + 500) + 60'000;
    const QJsonObject params{
        {"text", text}, {"direction", direction == Direction::reverse ? "reverse" : "forwards"}};
    QJsonObject reply;
    for (int round = 0; round < repeat && signal_number == 0; ++round) {
        if (round > 0) {
            QThread::msleep(500);
        }
        reply = quillmar.call("run", params, send_stop_on_signal, longest_run_ms);
        const QJsonObject error = reply.value("error").toObject();
        if (error.value("code") == rpc_code::stopped_by_user) {
            say(style, QStringLiteral("Run stopped at the arm"));
            return exit_stopped_at_arm;
        }
        if (!error.isEmpty()) {
            print_lines(stderr, QStringLiteral("quillmar: ") + error.value("message").toString());
            if (error.value("data").toObject().value("stop_not_taken").toBool()) {
                say(style, QStringLiteral("Run ended: the arm did not take the stop command"));
            }
            return error.value("code") == rpc_code::arm_error ? exit_arm_gone : exit_no_arm;
        }
        const QJsonValue stopped_at = reply.value("result").toObject().value("stopped_at");
        if (!stopped_at.isNull()) {
            say(style, QStringLiteral("Run stopped at step %1").arg(stopped_at.toInt() + 1));
            break;
        }
        say(style, QStringLiteral("Run finished"));
    }
    if (signal_number != 0) {
        return 128 + signal_number;
    }
    return check_program(text, {}).rejected_count > 0 ? exit_lines_not_run : exit_finished;
}

}  // namespace quillmar
