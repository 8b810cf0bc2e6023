#include <QTest>

#include "armlink/arm_link.h"
#include "armlink/emulated_usb.h"
#include "support/arm_bytes.h"
#include "support/fake_console.h"

using namespace quillmar;
using quillmar::testing::device_calls;
using quillmar::testing::FakeConsole;
using quillmar::testing::sent_commands;

namespace {

struct Bench {
    explicit Bench(bool arm_openable = true) {
        for (auto device : EmulatedUsb::hub_and_arm()) {
            device.openable = device.descriptor.idVendor != arm_vendor_id || arm_openable;
            usb.plug(device);
        }
        usb.usb_find_busses();
        usb.usb_find_devices();
    }
    double clock = 0;
    EmulatedUsb usb{[this] { return clock; }};
    FakeConsole console;
    ArmLink link{usb, console};
};

}  // namespace

class ArmLinkTest : public QObject {
    Q_OBJECT
  private slots:
    void send_command_reports_every_result_but_three_data();
    void send_command_reports_every_result_but_three();
    void send_command_without_arm_uses_handle_zero();
    void attach_then_release_in_order();
    void attach_reports_a_failed_step_data();
    void attach_reports_a_failed_step();
    void attach_without_arm();
    void attach_denied_explains_the_rule();
    void shutdown_switches_everything_off_once();
    void shutdown_without_arm_is_silent();
};

void ArmLinkTest::send_command_reports_every_result_but_three_data() {
    QTest::addColumn<int>("result");  // what the bus answers; 3 is a full transfer
    QTest::addColumn<int>("motor");
    QTest::addColumn<int>("base");
    QTest::addColumn<int>("light");
    QTest::addColumn<QString>("error");
    QTest::newRow("success writes nothing") << 3 << 1 << 0 << 0 << QStringLiteral("");
    QTest::newRow("time-out") << usb_error::timeout << 1 << 0 << 0
                              << QStringLiteral("Sent: ( 1, 0, 0) Return value -116\r\n");
    QTest::newRow("i/o error") << usb_error::io << 0 << 2 << 1
                               << QStringLiteral("Sent: ( 0, 2, 1) Return value -5\r\n");
    QTest::newRow("short transfer")
        << 2 << 1 << 0 << 0 << QStringLiteral("Sent: ( 1, 0, 0) Return value  2\r\n");
    QTest::newRow("nothing moved")
        << 0 << 128 << 0 << 1 << QStringLiteral("Sent: ( 128, 0, 1) Return value  0\r\n");
    QTest::newRow("shoulder down, light on, stalled")
        << usb_error::pipe << 128 << 0 << 1
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

    QCOMPARE(bench.console.error, error);
    QCOMPARE(bench.usb.transfers().size(), 1u);
    const auto& transfer = bench.usb.transfers().front();
    QCOMPARE(transfer.handle, bench.link.handle());
    QCOMPARE(transfer.request_type, 0x40);
    QCOMPARE(transfer.request, 6);
    QCOMPARE(transfer.value, 0x100);
    QCOMPARE(transfer.index, 0);
    QCOMPARE(transfer.timeout_ms, 20);
    QCOMPARE(sent_commands(bench.usb),
             QStringList{QStringLiteral("%1,%2,%3").arg(motor).arg(base).arg(light)});
}

void ArmLinkTest::send_command_without_arm_uses_handle_zero() {
    Bench bench;
    bench.link.send_command(start_command(1, 0));
    QCOMPARE(bench.console.error, QStringLiteral("Sent: ( 1, 0, 0) Return value -19\r\n"));
}

void ArmLinkTest::attach_then_release_in_order() {
    Bench bench;
    bench.usb.clear_logs();
    QVERIFY(bench.link.attach_arm());
    const int first = bench.link.handle();
    QVERIFY(first > 0);
    QCOMPARE(bench.console.message, QStringLiteral("\r\nArm attached\r\n"));
    const QString h = QString::number(first);
    QCOMPARE(device_calls(bench.usb),
             (QStringList{"vb_usb_open(0,4711,0)", "vb_usb_set_configuration(" + h + ",1)",
                          "vb_usb_claim_interface(" + h + ",0)"}));

    bench.console.light = 1;
    bench.usb.clear_logs();
    bench.link.release();
    QCOMPARE(sent_commands(bench.usb), QStringList{"0,0,0"});
    QCOMPARE(bench.console.light, 0);
    QCOMPARE(device_calls(bench.usb),
             (QStringList{"vb_usb_release_interface(" + h + ",0)", "vb_usb_reset(" + h + ")",
                          "vb_usb_close(" + h + ")"}));
    QVERIFY(!bench.link.attached());
    QCOMPARE(bench.usb.open_handle_count(), 0);
    QCOMPARE(bench.console.message, QStringLiteral("\r\nArm attached\r\n\r\nArm released\r\n"));

    QVERIFY(bench.link.attach_arm());
    QVERIFY(bench.link.handle() != first);
}

void ArmLinkTest::attach_reports_a_failed_step_data() {
    QTest::addColumn<int>("configuration_result");
    QTest::addColumn<int>("claim_result");
    QTest::addColumn<QString>("error");
    const QString busy = QStringLiteral(" (busy: another program holds the arm)\r\n");
    QTest::newRow("none") << 0 << 0 << QString();
    QTest::newRow("configuration busy")
        << usb_error::busy << 0
        << QStringLiteral("Configuration 1 not selected: Return value -16") + busy;
    QTest::newRow("claim busy") << 0 << usb_error::busy
                                << QStringLiteral("Interface 0 not claimed: Return value -16") +
                                       busy;
    QTest::newRow("both") << usb_error::io << usb_error::busy
                          << QStringLiteral(
                                 "Configuration 1 not selected: Return value -5\r\n"
                                 "Interface 0 not claimed: Return value -16") +
                                 busy;
}

void ArmLinkTest::attach_reports_a_failed_step() {
    QFETCH(int, configuration_result);
    QFETCH(int, claim_result);
    QFETCH(QString, error);
    Bench bench;
    bench.usb.fail_next_set_configuration(configuration_result);
    bench.usb.fail_next_claim_interface(claim_result);
    QVERIFY(bench.link.attach_arm());
    QVERIFY(bench.link.attached());
    QCOMPARE(bench.console.message, QStringLiteral("\r\nArm attached\r\n"));
    QCOMPARE(bench.console.error, error);
}

void ArmLinkTest::attach_without_arm() {
    double clock = 0;
    EmulatedUsb usb{[&] { return clock; }};
    usb.plug(root_hub_model());
    FakeConsole console;
    ArmLink link{usb, console};
    QVERIFY(!link.attach_arm());
    QCOMPARE(console.message, QStringLiteral("Could not attach\r\n"));
    QVERIFY(!link.attached());
}

void ArmLinkTest::attach_denied_explains_the_rule() {
    Bench bench(false);
    QVERIFY(!bench.link.attach_arm());
    const QStringList lines = bench.console.message.split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], QStringLiteral("Could not attach"));
    QVERIFY(lines[1].contains(QLatin1String("60-quillmar.rules")));
    QVERIFY(lines[1].contains(QLatin1String("udevadm trigger")));
}

void ArmLinkTest::shutdown_switches_everything_off_once() {
    Bench bench;
    QVERIFY(bench.link.attach_arm());
    bench.console.light = 1;
    bench.usb.clear_logs();
    bench.console.message.clear();

    bench.link.shutdown();
    bench.link.send_command(start_command(1, 1));
    bench.link.shutdown();

    QCOMPARE(sent_commands(bench.usb), QStringList{"0,0,0"});
    QCOMPARE(bench.console.light, 0);
    QCOMPARE(bench.console.message, QStringLiteral("\r\nArm released\r\n"));
    QCOMPARE(bench.usb.open_handle_count(), 0);
    QCOMPARE(bench.console.error, QString());
}

void ArmLinkTest::shutdown_without_arm_is_silent() {
    Bench bench;
    bench.link.shutdown();
    QVERIFY(bench.usb.transfers().empty());
    QCOMPARE(bench.console.message, QString());
    QCOMPARE(bench.console.error, QString());
}

QTEST_GUILESS_MAIN(ArmLinkTest)
#include "arm_link_test.moc"
