#include <QTest>

#include "armlink/arm_device.h"
#include "armlink/arm_ids.h"
#include "armlink/arm_link.h"
#include "support/arm_bytes.h"
#include "support/fake_arm_reports.h"
#include "support/fake_pacer.h"
#include "usb/emulated_bus.h"

using namespace quillmar;
using quillmar::testing::device_calls;
using quillmar::testing::FakeArmReports;
using quillmar::testing::sent_commands;

Q_DECLARE_METATYPE(std::optional<quillmar::UsbError>)

namespace {

struct Bench {
    explicit Bench(bool arm_openable = true) {
        for (auto device : hub_and_arm()) {
            device.openable = device.descriptor.idVendor != arm_vendor_id || arm_openable;
            usb.plug(device);
        }
        usb.rescan_busses();
        usb.rescan_devices();
    }
    double clock = 0;
    EmulatedBus usb{[this] { return clock; }};
    FakeArmReports reports;
    quillmar::testing::FakePacer pacer;
    ArmLight light;
    ArmLink link{usb, reports, pacer, light};
};

}  // namespace

class ArmLinkTest : public QObject {
    Q_OBJECT
  private slots:
    void send_command_reports_every_result_but_three_data();
    void send_command_reports_every_result_but_three();
    void send_command_without_arm_reaches_no_device();
    void every_transfer_ends_the_exact_span();
    void stop_goes_again_until_taken_data();
    void stop_goes_again_until_taken();
    void attach_then_release_in_order();
    void attach_reports_a_failed_step_data();
    void attach_reports_a_failed_step();
    void attach_without_arm();
    void attach_denied_explains_the_rule();
    void shutdown_switches_everything_off_once();
    void shutdown_without_arm_is_silent();
    void a_lost_arm_is_let_go_quietly_data();
    void a_lost_arm_is_let_go_quietly();
};

void ArmLinkTest::send_command_reports_every_result_but_three_data() {
    QTest::addColumn<int>("result");  // what the bus answers; 3 is a full transfer
    QTest::addColumn<int>("motor");
    QTest::addColumn<int>("base");
    QTest::addColumn<int>("light");
    QTest::addColumn<QString>("error");
    QTest::newRow("success writes nothing") << 3 << 1 << 0 << 0 << QStringLiteral("");
    QTest::newRow("time-out") << error_code(UsbError::timeout) << 1 << 0 << 0
                              << QStringLiteral("Sent: ( 1, 0, 0) Return value -116\r\n");
    QTest::newRow("i/o error") << error_code(UsbError::io) << 0 << 2 << 1
                               << QStringLiteral("Sent: ( 0, 2, 1) Return value -5\r\n");
    QTest::newRow("short transfer")
        << 2 << 1 << 0 << 0 << QStringLiteral("Sent: ( 1, 0, 0) Return value  2\r\n");
    QTest::newRow("nothing moved")
        << 0 << 128 << 0 << 1 << QStringLiteral("Sent: ( 128, 0, 1) Return value  0\r\n");
    QTest::newRow("shoulder down, light on, stalled")
        << error_code(UsbError::pipe) << 128 << 0 << 1
        << QStringLiteral("Sent: ( 128, 0, 1) Return value -32\r\n");
}

void ArmLinkTest::send_command_reports_every_result_but_three() {
    QFETCH(int, result);
    QFETCH(int, motor);
    QFETCH(int, base);
    QFETCH(int, light);
    QFETCH(QString, error);
    Bench bench;
    QVERIFY(bench.link.attach_arm());
    bench.usb.clear_logs();
    if (result != 3) {
        bench.usb.fail_next_transfers(1, result);
    }
    bench.link.send_command({static_cast<std::uint8_t>(motor), static_cast<std::uint8_t>(base),
                             static_cast<std::uint8_t>(light)});

    QCOMPARE(bench.reports.error, error);
    QCOMPARE(bench.usb.transfers().size(), 1u);
    const auto& transfer = bench.usb.transfers().front();
    QCOMPARE(transfer.setup.request_type, 0x40);
    QCOMPARE(transfer.setup.request, 6);
    QCOMPARE(transfer.setup.value, 0x100);
    QCOMPARE(transfer.setup.index, 0);
    QCOMPARE(transfer.timeout.count(), 20);
    QCOMPARE(sent_commands(bench.usb),
             QStringList{QStringLiteral("%1,%2,%3").arg(motor).arg(base).arg(light)});
}

void ArmLinkTest::send_command_without_arm_reaches_no_device() {
    Bench bench;
    bench.link.send_command(start_command(1, 0));
    QCOMPARE(bench.reports.error, QStringLiteral("Sent: ( 1, 0, 0) Return value -19\r\n"));
    QVERIFY(bench.usb.transfers().empty());
}

// A wait's exact span lasts up to its command: each transfer, a start's, a stop's and each try of
// a stop not taken, ends it just before it goes.
void ArmLinkTest::every_transfer_ends_the_exact_span() {
    struct SpanPacer : quillmar::testing::FakePacer {
        const EmulatedBus* usb = nullptr;
        QList<qsizetype> ended_before;
        void end_exact() override { ended_before << usb->transfers().size(); }
    };
    double clock = 0;
    EmulatedBus usb{[&] { return clock; }};
    for (const auto& device : hub_and_arm()) {
        usb.plug(device);
    }
    usb.rescan_busses();
    usb.rescan_devices();
    FakeArmReports reports;
    SpanPacer pacer;
    pacer.usb = &usb;
    ArmLight light;
    ArmLink link{usb, reports, pacer, light};
    QVERIFY(link.attach_arm());
    const qsizetype first = usb.transfers().size();
    pacer.ended_before.clear();
    link.send_command(start_command(1, 0));
    usb.fail_next_transfers(1, error_code(UsbError::io));
    QVERIFY(link.send_stop(stop_command(0)));
    QCOMPARE(pacer.ended_before, (QList<qsizetype>{first, first + 1, first + 2}));
}

void ArmLinkTest::stop_goes_again_until_taken_data() {
    QTest::addColumn<int>("failures");  // transfers that fail with an I/O error, from the stop on
    QTest::addColumn<QString>("meanwhile");  // what happens during the first wait to try again
    QTest::addColumn<int>("stops");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QString>("error");
    const QString stop = QStringLiteral("0,0,1");
    const QString failed = QStringLiteral("Sent: ( 0, 0, 1) Return value -5\r\n");
    const QString not_taken =
        QStringLiteral("The arm did not take the stop command: switch it off\r\n");
    // The user's new movement is not stopped by a try that would come after it.
    QTest::newRow("a later start taken instead")
        << 1 << "start" << 1 << QStringList{stop, "1,0,1"} << true << failed;
    QTest::newRow("unplugged") << 1'000'000 << "unplug" << 1 << QStringList(2, stop) << false
                               << failed;
    // The user has been told once: the next stop is tried once, until the arm takes a command.
    QTest::newRow("never taken, then another stop")
        << 1'000'000 << "" << 2 << QStringList(101, stop) << false << failed + not_taken + failed;
}

void ArmLinkTest::stop_goes_again_until_taken() {
    QFETCH(int, failures);
    QFETCH(QString, meanwhile);
    QFETCH(int, stops);
    QFETCH(QStringList, commands);
    QFETCH(bool, taken);
    QFETCH(QString, error);
    Bench bench;
    QVERIFY(bench.link.attach_arm());
    bench.link.show_light(true);
    bench.usb.clear_logs();
    bench.usb.fail_next_transfers(failures, error_code(UsbError::io));
    bench.pacer.at(bench.pacer.now() + 0.01, [&] {
        if (meanwhile == "start") {
            bench.link.send_command(start_command(1, 1));
        } else if (meanwhile == "unplug") {
            bench.usb.unplug(arm_vendor_id, arm_product_id);
        }
    });
    for (int stop = 0; stop < stops; ++stop) {
        QCOMPARE(bench.link.send_stop(stop_command(1)), taken);
    }
    QCOMPARE(sent_commands(bench.usb), commands);
    QCOMPARE(bench.reports.error, error);
    QCOMPARE(bench.link.left_running(), error.contains(QLatin1String("did not take")));
}

void ArmLinkTest::attach_then_release_in_order() {
    Bench bench;
    bench.usb.clear_logs();
    QVERIFY(bench.link.attach_arm());
    QCOMPARE(bench.reports.message, QStringLiteral("\r\nArm attached\r\n"));
    QCOMPARE(device_calls(bench.usb),
             (QStringList{"open_first(4711,0)", "set_configuration(1,1)", "claim_interface(1,0)"}));

    bench.link.show_light(true);
    bench.usb.clear_logs();
    bench.link.release();
    QCOMPARE(sent_commands(bench.usb), QStringList{"0,0,0"});
    QVERIFY(!bench.reports.light);
    QCOMPARE(device_calls(bench.usb),
             (QStringList{"release_interface(1,0)", "reset(1)", "close(1)"}));
    QVERIFY(!bench.link.attached());
    QCOMPARE(bench.usb.open_handle_count(), 0);
    QCOMPARE(bench.reports.message, QStringLiteral("\r\nArm attached\r\n\r\nArm released\r\n"));

    // Attaching again opens the arm anew.
    bench.usb.clear_logs();
    QVERIFY(bench.link.attach_arm());
    QCOMPARE(device_calls(bench.usb).value(1), QStringLiteral("set_configuration(2,1)"));
}

void ArmLinkTest::attach_reports_a_failed_step_data() {
    QTest::addColumn<std::optional<UsbError>>("configuration_failure");
    QTest::addColumn<std::optional<UsbError>>("claim_failure");
    QTest::addColumn<QString>("error");
    const QString busy = QStringLiteral(" (busy: another program holds the arm)\r\n");
    const std::optional<UsbError> none;
    QTest::newRow("none") << none << none << QString();
    QTest::newRow("configuration busy")
        << std::optional(UsbError::busy) << none
        << QStringLiteral("Configuration 1 not selected: Return value -16") + busy;
    QTest::newRow("claim busy") << none << std::optional(UsbError::busy)
                                << QStringLiteral("Interface 0 not claimed: Return value -16") +
                                       busy;
    QTest::newRow("both") << std::optional(UsbError::io) << std::optional(UsbError::busy)
                          << QStringLiteral(
                                 "Configuration 1 not selected: Return value -5\r\n"
                                 "Interface 0 not claimed: Return value -16") +
                                 busy;
}

void ArmLinkTest::attach_reports_a_failed_step() {
    QFETCH(std::optional<UsbError>, configuration_failure);
    QFETCH(std::optional<UsbError>, claim_failure);
    QFETCH(QString, error);
    Bench bench;
    if (configuration_failure) {
        bench.usb.fail_next_set_configuration(*configuration_failure);
    }
    if (claim_failure) {
        bench.usb.fail_next_claim_interface(*claim_failure);
    }
    QVERIFY(bench.link.attach_arm());
    QVERIFY(bench.link.attached());
    QCOMPARE(bench.reports.message, QStringLiteral("\r\nArm attached\r\n"));
    QCOMPARE(bench.reports.error, error);
}

void ArmLinkTest::attach_without_arm() {
    double clock = 0;
    EmulatedBus usb{[&] { return clock; }};
    usb.plug(root_hub_model());
    FakeArmReports reports;
    quillmar::testing::FakePacer pacer;
    ArmLight light;
    ArmLink link{usb, reports, pacer, light};
    QVERIFY(!link.attach_arm());
    QCOMPARE(reports.message, QStringLiteral("Could not attach\r\n"));
    QVERIFY(!link.attached());
}

void ArmLinkTest::attach_denied_explains_the_rule() {
    Bench bench(false);
    QVERIFY(!bench.link.attach_arm());
    const QStringList lines = bench.reports.message.split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], QStringLiteral("Could not attach"));
    QVERIFY(lines[1].contains(QLatin1String("60-quillmar.rules")));
    QVERIFY(lines[1].contains(QStringLiteral("udevadm trigger --attr-match=idVendor=%1,")
                                  .arg(arm_vendor_id, 4, 16, QLatin1Char('0'))));
}

void ArmLinkTest::shutdown_switches_everything_off_once() {
    Bench bench;
    QVERIFY(bench.link.attach_arm());
    bench.link.show_light(true);
    bench.usb.clear_logs();
    bench.reports.message.clear();

    bench.link.shutdown();
    bench.link.send_command(start_command(1, 1));
    bench.link.shutdown();

    QCOMPARE(sent_commands(bench.usb), QStringList{"0,0,0"});
    QVERIFY(!bench.reports.light);
    QCOMPARE(bench.reports.message, QStringLiteral("\r\nArm released\r\n"));
    QCOMPARE(bench.usb.open_handle_count(), 0);
    QCOMPARE(bench.reports.error, QString());
}

void ArmLinkTest::shutdown_without_arm_is_silent() {
    Bench bench;
    bench.link.shutdown();
    QVERIFY(bench.usb.transfers().empty());
    QCOMPARE(bench.reports.message, QString());
    QCOMPARE(bench.reports.error, QString());
}

void ArmLinkTest::a_lost_arm_is_let_go_quietly_data() {
    QTest::addColumn<QString>("during");  // when the arm is pulled out and the loss told
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("light");     // the indicator afterwards
    QTest::addColumn<QString>("later");  // the lines of a start and a stop sent afterwards
    const QString unplugged = QStringLiteral("Arm unplugged: Return value -19\r\n");
    QTest::newRow("attached") << "idle" << QStringList{"close(1)"} << unplugged << "" << false
                              << "";
    // No more tries, and no line that the stop was not taken.
    QTest::newRow("in a stop's tries")
        << "stop" << QStringList{"close(1)"} << "Sent: ( 0, 0, 1) Return value -5\r\n" + unplugged
        << "" << false << "";
    // The release goes on with its handle; the line of its all off says enough.
    QTest::newRow("in a release") << "release"
                                  << QStringList{"release_interface(1,0)", "reset(1)", "close(1)"}
                                  << "Sent: ( 0, 0, 0) Return value -5\r\n"
                                  << "\r\nArm released\r\n"
                                  << false << "";
    QTest::newRow("no arm attached")
        << "no arm" << QStringList{} << ""
        << "" << true
        << "Sent: ( 1, 0, 0) Return value -19\r\nSent: ( 0, 0, 0) Return value -19\r\n";
}

void ArmLinkTest::a_lost_arm_is_let_go_quietly() {
    QFETCH(QString, during);
    QFETCH(QStringList, calls);
    QFETCH(QString, error);
    QFETCH(QString, message);
    QFETCH(bool, light);
    QFETCH(QString, later);
    Bench bench;
    if (during != "no arm") {
        QVERIFY(bench.link.attach_arm());
        QVERIFY(bench.link.location() == (DeviceLocation{1, 2}));
    }
    bench.link.show_light(true);
    bench.usb.clear_logs();
    bench.reports.message.clear();
    const auto pull_out = [&] {
        bench.usb.unplug(arm_vendor_id, arm_product_id);
        bench.link.lose();
    };
    bench.usb.fail_next_transfers(1'000'000, error_code(UsbError::io));
    bench.pacer.at(bench.pacer.now() + 0.01, pull_out);
    if (during == "stop") {
        QVERIFY(!bench.link.send_stop(stop_command(1)));
    } else if (during == "release") {
        bench.link.release();
    } else if (during == "idle") {
        pull_out();
    } else {
        bench.link.lose();
    }
    QCOMPARE(device_calls(bench.usb), calls);
    QCOMPARE(bench.reports.error, error);
    QCOMPARE(bench.reports.message, message);
    QCOMPARE(bench.link.light_byte(), light ? 1 : 0);
    QCOMPARE(bench.link.attached(), false);
    QCOMPARE(bench.link.location().has_value(), false);
    QCOMPARE(bench.link.left_running(), false);
    QCOMPARE(bench.usb.open_handle_count(), 0);
    bench.usb.clear_logs();
    bench.link.send_command(start_command(1, 0));
    bench.link.send_stop(stop_command(0));
    QVERIFY(bench.usb.transfers().empty());
    QCOMPARE(bench.reports.error, error + later);

    // The arm plugged in again: attached where it now is, its failures said again.
    bench.usb.plug(arm_device_model(1, 3));
    QVERIFY(bench.link.attach_arm());
    QVERIFY(bench.link.location() == (DeviceLocation{1, during == "no arm" ? 2 : 3}));
    bench.reports.error.clear();
    bench.link.send_command(start_command(1, 0));
    QCOMPARE(bench.reports.error, QStringLiteral("Sent: ( 1, 0, 0) Return value -5\r\n"));
}

QTEST_GUILESS_MAIN(ArmLinkTest)
#include "arm_link_test.moc"
