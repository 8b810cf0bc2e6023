#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/robot.h"
#include "armlink/arm_device.h"
#include "armlink/arm_ids.h"
#include "motion/event_pacer.h"
#include "session/arm_runtime.h"
#include "support/hub_and_arm_survey.h"
#include "support/scripted_dialogs.h"
#include "umockdev/umockdev_bus.h"
#include "usb/libusb_bus.h"
#include "usb/udev_presence.h"

using namespace quillmar;
using namespace quillmar::testing;

namespace {

// What reached the arm, one entry per request: "config 1", "claim 0", "release 0", "reset", or
// the three data bytes of an arm command in hex.
QStringList arm_requests(const UmockdevBus& bus, std::vector<double>* command_times) {
    QStringList out;
    for (const auto& request : bus.requests()) {
        if (request.address != 2) {
            continue;
        }
        using Kind = DeviceRequest::Kind;
        switch (request.kind) {
            case Kind::set_configuration:
                out << QStringLiteral("config %1").arg(request.argument);
                break;
            case Kind::claim_interface:
                out << QStringLiteral("claim %1").arg(request.argument);
                break;
            case Kind::release_interface:
                out << QStringLiteral("release %1").arg(request.argument);
                break;
            case Kind::reset:
                out << QStringLiteral("reset");
                break;
            case Kind::control: {
                const auto setup =
                    QByteArray(reinterpret_cast<const char*>(request.setup.data()), 8).toHex();
                const auto data = QByteArray(reinterpret_cast<const char*>(request.data.data()),
                                             static_cast<qsizetype>(request.data.size()))
                                      .toHex();
                // Every command is the same vendor request; anything else shows its setup too.
                out << QString::fromLatin1(setup == "4006000100000300" ? data : setup + " " + data);
                command_times->push_back(request.time);
                break;
            }
        }
    }
    return out;
}

// The arm's lock in a folder of the test's own, and none of the user's settings, for as long as
// it lives.
class OwnFolders {
  public:
    OwnFolders() {
        for (const char* name : names) {
            qputenv(name, QFile::encodeName(folder.path()));
        }
    }
    ~OwnFolders() {
        for (const char* name : names) {
            qunsetenv(name);
        }
    }
    OwnFolders(const OwnFolders&) = delete;
    OwnFolders& operator=(const OwnFolders&) = delete;

  private:
    static constexpr const char* names[] = {"XDG_RUNTIME_DIR", "XDG_CONFIG_HOME"};
    QTemporaryDir folder;
};

}  // namespace

class RobotLibusbTest : public QObject {
    Q_OBJECT
  private slots:
    void session_on_the_emulated_arm();
    void unplug_ends_a_hold_at_once();
    void window_notices_an_unplug_at_once_data();
    void window_notices_an_unplug_at_once();
    void window_keeps_stopping_an_arm_that_does_not_answer();
};

// The window on the real libusb, from start-up to closing, as a user would drive it.
void RobotLibusbTest::session_on_the_emulated_arm() {
    UmockdevBus bus(hub_and_arm());
    // Its movements are timed at the arm, whatever else the machine runs.
    bus.answer_in_real_time();
    LibusbBus usb;
    EventPacer pacer;
    ScriptedDialogs dialogs;
    ArmSession session(usb, pacer, ArmSource::commands_sent);
    Robot robot(session, dialogs);
    const auto pane = [&](const char* name) {
        return robot.findChild<QPlainTextEdit*>(QLatin1String(name))
            ->toPlainText()
            .replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    };
    const auto click = [&](const char* name) {
        robot.findChild<QPushButton*>(QLatin1String(name))->click();
    };

    QVERIFY(robot.start_up().ok());
    QCOMPARE(pane("message"), hub_and_arm_survey() + QStringLiteral("\r\nArm attached\r\n"));

    click("release");
    click("gettit");
    QVERIFY(pane("message").startsWith(
        QStringLiteral("New Busses   0\r\nNew Devices  0\r\n\r\nDevice 0\r\n")));
    QVERIFY(pane("message").endsWith(QStringLiteral("\r\n\r\nArm attached\r\n")));

    click("handin");
    robot.set_program_text(QStringLiteral("6,10\r\n9,10\r\n"));
    click("program");
    click("release");
    robot.close();

    std::vector<double> times;
    QCOMPARE(arm_requests(bus, &times),
             (QStringList{"config 1", "claim 0",                   // start-up
                          "000000", "release 0", "reset",          // Release
                          "config 1", "claim 0",                   // Attach
                          "010000", "000000",                      // Grip (1)
                          "100000", "000000", "000200", "000000",  // the program
                          "000000", "release 0", "reset"}));       // Release; closing adds none
    QCOMPARE(pane("error"), QString());
    QCOMPARE(usb.open_handle_count(), 0);

    // The jog and each step run for a tenth of a second; the steps are 500 ms apart.
    QVERIFY(times[2] - times[1] >= 0.1 - shorter_at_the_arm);
    QVERIFY(times[4] - times[3] >= 0.1 - shorter_at_the_arm);
    QVERIFY(times[5] - times[4] >= 0.5 - shorter_at_the_arm);
    QVERIFY(times[6] - times[5] >= 0.1 - shorter_at_the_arm);
    QVERIFY(times[6] - times[1] < 5);
}

// The arm pulled out during a hold, as udev tells it: the hold ends now, not at its limit.
void RobotLibusbTest::unplug_ends_a_hold_at_once() {
    UmockdevBus bus(hub_and_arm());
    // Built after the testbed, whose emulation only reaches sockets opened once it exists.
    UdevPresence presence(arm_vendor_id, arm_product_id, UdevPresence::Source::events);
    QCOMPARE(presence.source(), UdevPresence::Source::events);
    LibusbBus usb;
    EventPacer pacer;
    ScriptedDialogs dialogs;
    ArmSession session(usb, pacer, ArmSource::commands_sent, &presence);
    ArmClient hand(session, ClientKind::main_window, QStringLiteral("the main window"));
    Robot robot(session, dialogs);
    QVERIFY(robot.start_up().ok());
    bus.clear_requests();

    QElapsedTimer since_unplug;
    QTimer::singleShot(200, [&] {
        since_unplug.start();
        bus.unplug(1, 2);
    });
    QVERIFY(hand.hold(1));
    const qint64 ended_after = since_unplug.elapsed();
    qInfo("the hold ended %lld ms after the unplug", ended_after);
    QVERIFY(since_unplug.isValid());
    QVERIFY(ended_after < 500);

    const auto transfers = bus.vendor_transfers();
    QCOMPARE(transfers.size(), std::size_t{1});
    QCOMPARE(transfers[0].data, (std::vector<std::uint8_t>{1, 0, 0}));
    QCOMPARE(robot.findChild<QPlainTextEdit*>(QStringLiteral("error"))->toPlainText(),
             QStringLiteral("Arm unplugged: Return value -19\n"));
    QCOMPARE(session.state(), ArmSession::State::no_arm);
    QCOMPARE(usb.open_handle_count(), 0);

    // Plugged in again: a hint, and nothing attaches by itself.
    const auto* attach = robot.findChild<QPushButton*>(QStringLiteral("gettit"));
    bus.plug(arm_device_model(1, 3));
    QVERIFY(QTest::qWaitFor([&] { return session.arm_plugged_in(); }, 2000));
    QCOMPARE(attach->toolTip(), QStringLiteral("Arm plugged in: press Attach arm"));
    QVERIFY(!session.attached());
    robot.close();
}

// The window started as the program starts it, on the same presence as serve: an arm pulled out
// is told within a quarter of a second (udev's events, or a look at sysfs every 0.2 s where no
// udev daemon sends them), whatever the window was doing, with one line in the error pane.
void RobotLibusbTest::window_notices_an_unplug_at_once_data() {
    QTest::addColumn<QString>("doing");
    QTest::newRow("idle") << QStringLiteral("idle");
    QTest::newRow("holding a motor") << QStringLiteral("hold");
    QTest::newRow("a hold let go before the window noticed") << QStringLiteral("let go");
    QTest::newRow("running a program") << QStringLiteral("run");
}

void RobotLibusbTest::window_notices_an_unplug_at_once() {
    QFETCH(QString, doing);
    const OwnFolders folders;
    UmockdevBus bus(hub_and_arm());
    ArmRuntime runtime(false);
    ArmSession& session = runtime.session();
    ScriptedDialogs dialogs;
    Robot robot(session, dialogs);
    ArmClient hand(session, ClientKind::main_window, QStringLiteral("the main window"));
    QVERIFY(robot.start_up().ok());
    QVERIFY(session.attached());

    QElapsedTimer since_unplug;
    qint64 noticed = -1;
    connect(&session, &ArmSession::error_line, &robot, [&] {
        if (noticed < 0) {
            noticed = since_unplug.elapsed();
        }
    });
    QTimer::singleShot(300, [&] {
        since_unplug.start();
        bus.unplug(1, 2);
    });
    if (doing == QLatin1String("let go")) {
        QTimer::singleShot(320, [&] { hand.let_go(); });
    }
    if (doing == QLatin1String("idle")) {
        QVERIFY(QTest::qWaitFor([&] { return noticed >= 0; }, 5000));
    } else if (doing == QLatin1String("run")) {
        robot.set_program_text(QStringLiteral("1,100\r\n"));
        robot.findChild<QPushButton*>(QStringLiteral("program"))->click();
    } else {
        QVERIFY(hand.hold(1));
    }
    QVERIFY(QTest::qWaitFor([&] { return !session.attached(); }, 5000));
    qInfo("%s: the window noticed the unplug after %lld ms", qPrintable(doing), noticed);
    QVERIFY(noticed >= 0);
    QVERIFY2(noticed <= 250 + 150, qPrintable(QString::number(noticed)));
    const QString errors = robot.findChild<QPlainTextEdit*>(QStringLiteral("error"))->toPlainText();
    QCOMPARE(errors.count(u'\n'), 1);
    QVERIFY2(errors.endsWith(QStringLiteral("Return value -19\n")), qPrintable(errors));
    QCOMPARE(session.state(), ArmSession::State::no_arm);
    robot.close();
}

// The arm stops taking commands as a jog's stop goes out, and takes them again 4.5 s later: the
// window's buttons move nothing meanwhile, the stop goes again about once a second until taken,
// and then the buttons drive again.
void RobotLibusbTest::window_keeps_stopping_an_arm_that_does_not_answer() {
    const OwnFolders folders;
    UmockdevBus bus(hub_and_arm());
    ArmRuntime runtime(false);
    ArmSession& session = runtime.session();
    ScriptedDialogs dialogs;
    Robot robot(session, dialogs);
    QVERIFY(robot.start_up().ok());
    auto* const grip = robot.findChild<QPushButton*>(QStringLiteral("handin"));
    bus.clear_requests();

    constexpr double outage = 4.5;
    bus.fail_for(1, 2, Fault::protocol_error, outage, 1);
    grip->click();
    QCOMPARE(session.state(), ArmSession::State::not_responding);
    QVERIFY(robot.findChild<QPlainTextEdit*>(QStringLiteral("error"))
                ->toPlainText()
                .contains(QStringLiteral("The arm did not take the stop command: switch it off")));
    const std::size_t tried = bus.vendor_transfers().size();
    grip->click();
    QCOMPARE(bus.vendor_transfers().size(), tried);

    QVERIFY(QTest::qWaitFor([&] { return session.state() == ArmSession::State::idle; }, 10'000));
    const auto sent = bus.vendor_transfers();
    QCOMPARE(sent.front().data, (std::vector<std::uint8_t>{1, 0, 0}));
    QCOMPARE(sent.back().data, (std::vector<std::uint8_t>{0, 0, 0}));
    const std::string resent = stop_resent_each_second(sent, outage);
    QVERIFY2(resent.empty(), resent.c_str());

    bus.clear_requests();
    grip->click();
    QCOMPARE(bus.vendor_transfers().size(), std::size_t{2});
    robot.close();
}

int main(int argc, char** argv) {
    run_under_umockdev(argv);
    QApplication app(argc, argv);
    RobotLibusbTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "robot_libusb_test.moc"
