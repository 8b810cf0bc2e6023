#include <QTest>
#include <chrono>
#include <deque>
#include <functional>
#include <span>
#include <utility>

#include "armlink/arm_device.h"
#include "motion/held_movement.h"
#include "programs/program_runner.h"
#include "support/fake_arm_reports.h"
#include "support/fake_pacer.h"
#include "usb/emulated_bus.h"

using namespace quillmar;
using namespace quillmar::testing;

namespace {

// How long a transfer takes, in virtual seconds, before the arm has the command and after.
struct Transfer {
    double before;
    double after;
};

constexpr Transfer usual{0.0004, 0.0003};

// What the program does to send a command before its request goes, each time.
constexpr double preparing = 0.0001;

// A bus on which a transfer's preparation takes time.
class PreparingBus : public EmulatedBus {
  public:
    PreparingBus(FakePacer& pacer, std::function<double()> clock)
        : EmulatedBus(std::move(clock), hub_and_arm()), pacer(pacer) {}
    using EmulatedBus::control_transfer;
    UsbResult<int> control_transfer(DeviceHandle device, ControlSetup setup,
                                    std::span<std::uint8_t> data, std::chrono::milliseconds timeout,
                                    const std::function<void(TransferStep)>& told) override {
        pacer.time += preparing;
        return EmulatedBus::control_transfer(device, setup, data, timeout, told);
    }

  private:
    FakePacer& pacer;
};

// An arm whose transfers take time: the first ones as the table says, then the usual. The bus
// says the request goes `before` the arm has it; its answer comes back `after` that.
struct SlowArm {
    SlowArm() {
        link.attach_arm();
        usb.clear_logs();
        usb.on_transfer([this](const EmulatedBus::Transfer&) { pacer.time += answer; });
    }

    Transfer next() {
        if (coming.empty()) {
            return usual;
        }
        const Transfer transfer = coming.front();
        coming.pop_front();
        return transfer;
    }

    // Seconds between the arm taking transfer `to` and the one before it.
    double gap(std::size_t to) const {
        return usb.transfers().at(to).time - usb.transfers().at(to - 1).time;
    }

    std::deque<Transfer> coming;
    double answer = 0;
    FakePacer pacer;
    PreparingBus usb{pacer, [this] {
                         const Transfer transfer = next();
                         pacer.time += transfer.before;
                         answer = transfer.after;
                         return pacer.time;
                     }};
    FakeArmReports reports;
    ArmLight light;
    ArmLink link{usb, reports, pacer, light};
    ManualControl manual{link, pacer};
    HeldMovement held{link, reports, pacer};
    ProgramRunner runner{link, manual, reports, pacer};
};

using Movement = std::function<void(SlowArm&)>;

bool near(double a, double b) {
    return std::abs(a - b) < 1e-9;
}

}  // namespace

Q_DECLARE_METATYPE(Transfer)

class ArmTimingTest : public QObject {
    Q_OBJECT
  private slots:
    void the_arm_sees_the_time_asked_data();
    void the_arm_sees_the_time_asked();
    void the_pause_at_the_arm_data();
    void the_pause_at_the_arm();
};

void ArmTimingTest::the_arm_sees_the_time_asked_data() {
    QTest::addColumn<Transfer>("start");
    QTest::addColumn<Transfer>("stop");
    // Beyond the time asked and the stop's own preparation, what the arm sees: what the stop's
    // way to the arm is longer than the start's, and nothing of either answer. The stop goes the
    // time asked after the start went, or after a usual submission before the start's was done:
    // a slow start shortens the movement by what its way was longer than that at most.
    QTest::addColumn<double>("longer");
    QTest::newRow("usual transfers") << usual << usual << 0.0;
    QTest::newRow("instant transfers") << Transfer{0, 0} << Transfer{0, 0} << 0.0;
    QTest::newRow("start slow to reach the arm") << Transfer{0.005, 0.0003} << usual << -0.0001;
    QTest::newRow("start slow to return") << Transfer{0.0004, 0.005} << usual << 0.0;
    QTest::newRow("stop slow to reach the arm") << usual << Transfer{0.005, 0.0003} << 0.0046;
    QTest::newRow("stop slow to return") << usual << Transfer{0.0004, 0.005} << 0.0;
}

// Each way a movement is asked for by time: a jog, a program step, a script's timed move.
void ArmTimingTest::the_arm_sees_the_time_asked() {
    QFETCH(Transfer, start);
    QFETCH(Transfer, stop);
    QFETCH(double, longer);
    const std::pair<const char*, double> kinds[] = {{"jog", 0.1}, {"step", 0.25}, {"move", 1.5}};
    for (const auto& [kind, seconds] : kinds) {
        SlowArm arm;
        arm.coming = {start, stop};
        const QByteArray what(kind);
        if (what == "jog") {
            arm.manual.jog(1);
        } else if (what == "step") {
            arm.runner.run_program(QStringLiteral("2,25"), Direction::forwards);
        } else {
            arm.held.run_for(3, seconds);
        }
        QCOMPARE(arm.usb.transfers().size(), std::size_t{2});
        QVERIFY2(near(arm.gap(1), seconds + preparing + longer),
                 qPrintable(QString::number(arm.gap(1))));
    }
}

void ArmTimingTest::the_pause_at_the_arm_data() {
    QTest::addColumn<Transfer>("stop");
    QTest::addColumn<Transfer>("start");
    // What a listener to the step's start does, in virtual seconds.
    QTest::addColumn<double>("listener");
    QTest::addColumn<double>("longer");
    QTest::newRow("usual transfers") << usual << usual << 0.0 << 0.0;
    QTest::newRow("a slow listener") << usual << usual << 0.025 << 0.0;
    QTest::newRow("a listener slower than the warning")
        << usual << usual << 0.045 << 0.045 - ProgramRunner::step_told_ahead.count() / 1000.0;
    QTest::newRow("stop slow to reach the arm")
        << Transfer{0.005, 0.0003} << usual << 0.0 << -0.0001;
    QTest::newRow("stop slow to return") << Transfer{0.0004, 0.005} << usual << 0.0 << 0.0;
    QTest::newRow("start slow to reach the arm")
        << usual << Transfer{0.005, 0.0003} << 0.0 << 0.0046;
}

// From a step's stop to the next step's start, as the arm sees it.
void ArmTimingTest::the_pause_at_the_arm() {
    QFETCH(Transfer, stop);
    QFETCH(Transfer, start);
    QFETCH(double, listener);
    QFETCH(double, longer);
    SlowArm arm;
    arm.coming = {usual, stop, start};
    QObject::connect(&arm.runner, &ProgramRunner::step_started, [&](int index) {
        if (index == 1) {
            arm.pacer.time += listener;
        }
    });
    arm.runner.run_program(QStringLiteral("1,10\r\n2,10"), Direction::forwards);
    QCOMPARE(arm.usb.transfers().size(), std::size_t{4});
    QVERIFY2(near(arm.gap(2), 0.5 + preparing + longer), qPrintable(QString::number(arm.gap(2))));
}

QTEST_GUILESS_MAIN(ArmTimingTest)
#include "arm_timing_test.moc"
