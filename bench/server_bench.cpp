// How the local interface times the arm in real time: a 0.10 s move asked for by a script, start
// to stop at the emulated arm, beside the window's own 0.1 s jog; and the round trip of `state`.
// Not a test: a loaded machine moves these figures.
#include <QCoreApplication>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "armlink/arm_device.h"
#include "motion/event_pacer.h"
#include "server/arm_server.h"
#include "session/arm_client.h"
#include "usb/emulated_bus.h"

using namespace quillmar;

namespace {

constexpr int trials = 100;

void report(const char* what, std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::printf("  %-34s n=%-4zu min %8.3f  median %8.3f  max %8.3f ms\n", what, values.size(),
                values.front(), values[values.size() / 2], values.back());
}

// Start to stop of each start command and the stop after it, in milliseconds.
std::vector<double> movements(const EmulatedBus& usb) {
    std::vector<double> out;
    const auto& sent = usb.transfers();
    for (std::size_t i = 0; i + 1 < sent.size(); i += 2) {
        out.push_back((sent[i + 1].time - sent[i].time) * 1000.0);
    }
    return out;
}

// A script on a thread of its own, as it would be in a process of its own.
void script(const QString& path, std::vector<double>& round_trips) {
    QLocalSocket socket;
    socket.connectToServer(path);
    socket.waitForConnected();
    const auto call = [&socket](const QByteArray& line) {
        socket.write(line + '\n');
        socket.flush();
        while (!socket.canReadLine()) {
            socket.waitForReadyRead(-1);
        }
        socket.readLine();
    };
    for (int i = 0; i < trials; ++i) {
        call(R"({"jsonrpc":"2.0","id":1,"method":"move","params":{"motor":1,"seconds":0.1}})");
    }
    for (int i = 0; i < 10 * trials; ++i) {
        const auto start = std::chrono::steady_clock::now();
        call(R"({"jsonrpc":"2.0","id":1,"method":"state"})");
        round_trips.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    EventPacer pacer;
    EmulatedBus usb([&] { return pacer.now(); }, hub_and_arm());
    ArmSession session(usb, pacer, ArmSource::commands_sent);
    session.start_up();
    QTemporaryDir folder;
    ArmServer server(session);
    const QString path = folder.filePath(QStringLiteral("arm.sock"));
    if (const QString why = server.listen(path); !why.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 1;
    }

    usb.clear_logs();
    ArmClient hand(session, ClientKind::main_window, QStringLiteral("bench"));
    for (int i = 0; i < trials; ++i) {
        hand.jog(1);
    }
    const std::vector<double> jogs = movements(usb);

    usb.clear_logs();
    std::vector<double> round_trips;
    std::thread client(script, path, std::ref(round_trips));
    QCoreApplication::exec();
    client.join();
    const std::vector<double> moves = movements(usb);

    std::printf("Grip (1) for 0.1 s, start to stop command at the emulated arm:\n");
    report("the window's jog", jogs);
    report("a script's move of 0.10 s", moves);
    std::vector<double> sorted_jogs = jogs;
    std::vector<double> sorted_moves = moves;
    std::sort(sorted_jogs.begin(), sorted_jogs.end());
    std::sort(sorted_moves.begin(), sorted_moves.end());
    std::printf("  medians differ by %.3f ms, maxima by %.3f ms\n",
                sorted_moves[sorted_moves.size() / 2] - sorted_jogs[sorted_jogs.size() / 2],
                sorted_moves.back() - sorted_jogs.back());
    std::printf("the interface:\n");
    report("state round trip", round_trips);
    return 0;
}
