#include <QCoreApplication>
#include <QTest>
#include <algorithm>
#include <vector>

#include "armlink/arm_device.h"
#include "motion/event_pacer.h"
#include "session/arm_client.h"
#include "session/arm_session.h"
#include "umockdev/umockdev_bus.h"
#include "usb/libusb_bus.h"

using namespace quillmar;
using namespace quillmar::testing;

namespace {

// What a loaded two-core machine may add to a movement by waking the program late; the exact
// figures are the timing bench's.
constexpr double late_allowance = 0.1;

bool is_start(const DeviceRequest& request) {
    return request.data.size() == 3 && (request.data[0] != 0 || request.data[1] != 0);
}

// Seconds between each start command and the stop after it, or with `pauses` between each stop
// and the start after it, as the arm received them.
std::vector<double> intervals(const UmockdevBus& bus, bool pauses) {
    std::vector<double> seconds;
    const auto sent = bus.vendor_transfers();
    for (std::size_t i = 0; i + 1 < sent.size(); ++i) {
        if (is_start(sent[i]) != pauses && is_start(sent[i + 1]) == pauses) {
            seconds.push_back(sent[i + 1].time - sent[i].time);
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

// Through the real libusb: never shorter than asked, as the arm has no other position control.
void ArmTimingLibusbTest::movements_last_their_time_at_the_arm() {
    QFETCH(QString, kind);
    QFETCH(double, asked);
    QFETCH(bool, pauses);
    UmockdevBus bus(hub_and_arm());
    LibusbBus usb;
    EventPacer pacer;
    ArmSession session(usb, pacer, ArmSource::commands_sent);
    session.set_soft_limits(false);
    QVERIFY(session.start_up());
    QVERIFY(session.attached());
    bus.clear_requests();
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
    const std::vector<double> seen = intervals(bus, pauses);
    QVERIFY(seen.size() >= 5);
    for (const double seconds : seen) {
        QVERIFY2(seconds >= asked, qPrintable(QString::number(seconds)));
        QVERIFY2(seconds < asked + late_allowance, qPrintable(QString::number(seconds)));
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
