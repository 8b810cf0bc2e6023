#include <QCoreApplication>
#include <QTest>
#include <vector>

#include "armlink/arm_device.h"
#include "armlink/arm_link.h"
#include "motion/event_pacer.h"
#include "session/arm_client.h"
#include "session/arm_session.h"
#include "umockdev/timed_libusb_bus.h"
#include "umockdev/umockdev_bus.h"

using namespace quillmar;
using namespace quillmar::testing;

namespace {

// What a loaded two-core machine may add to a movement by waking the program late; the exact
// figures are the timing bench's.
constexpr double late_allowance = 0.1;

// A command between two readings of the steady clock, in seconds.
struct Command {
    bool start;
    double from;
    double to;
};

bool is_start(const std::vector<std::uint8_t>& data) {
    return data.size() == 3 && (data[0] != 0 || data[1] != 0);
}

// Each vendor request as it went: the link reads its moment between the two readings.
std::vector<Command> going(const TimedLibusbBus& usb) {
    std::vector<Command> commands;
    for (const auto& call : usb.calls) {
        if (call.setup.request_type == command_setup.request_type && call.going > 0) {
            commands.push_back({is_start(call.data), call.going, call.submitted});
        }
    }
    return commands;
}

std::vector<Command> at_the_arm(const UmockdevBus& bus) {
    std::vector<Command> commands;
    for (const auto& request : bus.vendor_transfers()) {
        commands.push_back({is_start(request.data), request.time, request.time});
    }
    return commands;
}

// At the most, seconds between each start command and the stop after it, or with `pauses`
// between each stop and the start after it.
std::vector<double> intervals(const std::vector<Command>& commands, bool pauses) {
    std::vector<double> seconds;
    for (std::size_t i = 0; i + 1 < commands.size(); ++i) {
        if (commands[i].start != pauses && commands[i + 1].start == pauses) {
            seconds.push_back(commands[i + 1].to - commands[i].from);
        }
    }
    return seconds;
}

}  // namespace

class ArmTimingLibusbTest : public QObject {
    Q_OBJECT
  private slots:
    void movements_last_their_time_at_the_arm_data();
    void movements_last_their_time_at_the_arm();
};

void ArmTimingLibusbTest::movements_last_their_time_at_the_arm_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<double>("asked");
    QTest::addColumn<bool>("pauses");
    QTest::newRow("jog") << "jog" << 0.1 << false;
    QTest::newRow("program step") << "run" << 0.1 << false;
    QTest::newRow("pause between steps") << "run" << 0.5 << true;
    QTest::newRow("script's move") << "move" << 0.15 << false;
}

// Through the real libusb: each stop goes no sooner than asked after its start went, and the arm
// sees the time asked, give or take what one request's way differs from the other's.
void ArmTimingLibusbTest::movements_last_their_time_at_the_arm() {
    QFETCH(QString, kind);
    QFETCH(double, asked);
    QFETCH(bool, pauses);
    UmockdevBus bus(hub_and_arm());
    // A start starved of its way to the arm by other programs would make the step short there.
    bus.answer_in_real_time();
    TimedLibusbBus usb;
    EventPacer pacer;
    ArmSession session(usb, pacer, ArmSource::commands_sent);
    session.set_soft_limits(false);
    QVERIFY(session.start_up());
    QVERIFY(session.attached());
    bus.clear_requests();
    usb.calls.clear();
    ArmClient hand(session, ClientKind::main_window, QStringLiteral("test"));
    ArmClient script(session, ClientKind::script, QStringLiteral("script"));
    for (int i = 0; i < 5; ++i) {
        if (kind == QStringLiteral("jog")) {
            hand.jog(1 + i % 2);
        } else if (kind == QStringLiteral("move")) {
            script.hold_for(1 + i % 2, asked);
        }
    }
    if (kind == QStringLiteral("run")) {
        hand.run(QStringLiteral("1,10\r\n2,10\r\n1,10\r\n2,10\r\n1,10\r\n2,10\r\n"),
                 Direction::forwards);
    }
    const std::vector<double> gone = intervals(going(usb), pauses);
    QVERIFY(gone.size() >= 5);
    for (const double seconds : gone) {
        QVERIFY2(seconds >= asked, qPrintable(QString::number(seconds)));
    }
    const std::vector<double> seen = intervals(at_the_arm(bus), pauses);
    QCOMPARE(seen.size(), gone.size());
    for (const double seconds : seen) {
        QVERIFY2(seconds >= asked - shorter_at_the_arm && seconds < asked + late_allowance,
                 qPrintable(QString::number(seconds)));
    }
    session.shut_down();
}

int main(int argc, char** argv) {
    run_under_umockdev(argv);
    QCoreApplication app(argc, argv);
    ArmTimingLibusbTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "arm_timing_libusb_test.moc"
