// What only the real libusb face has to survive: devices that lie in their descriptors, a start
// that never ends, and being used before it has started.
#include <QProcess>
#include <QTest>

#include <cstdio>
#include <cstring>

#include "armlink/arm_device.h"
#include "support/emulation.h"
#include "survey/device_survey.h"
#include "umockdev/umockdev_bus.h"
#include "usb/libusb_bus.h"

using namespace quillmar;
using namespace quillmar::testing;

namespace {

std::vector<std::uint8_t> bytes_of_hex(const QByteArray& hex) {
    const QByteArray raw = QByteArray::fromHex(hex);
    return {raw.begin(), raw.end()};
}

constexpr char stalling_start_option[] = "--start-beside-a-stalling-device";

// In a process of its own, as the libusb thread that never comes back stays behind: libusb is
// started beside a device whose first configuration header is 11 bytes long, followed by a
// descriptor of length 0, with a second configuration after it. libusb 1.0.26 seeks the second
// configuration by descriptor lengths and steps by 0 for ever.
int start_beside_a_stalling_device() {
    UmockdevBus bus;
    bus.plug_raw(1, 2,
                 bytes_of_hex("1201100100000008671200000000000000020b021400010100803200050904000"
                              "000ff0000000902120001020080320904000000ff000000"));
    LibusbBus usb(std::chrono::milliseconds(300));
    const auto first = usb.initialise();
    std::fputs(qPrintable(usb.init_error_text()), stdout);
    const bool told = !first && first.error() == UsbError::timeout;
    const auto again = usb.initialise();
    return told && !again && again.error() == UsbError::timeout ? 0 : 1;
}

}  // namespace

class LibusbBusTest : public QObject {
    Q_OBJECT
  private slots:
    void hostile_devices_data();
    void hostile_devices();
    void stalled_start_is_told();
    void uninitialised_libusb_finds_nothing();
};

void LibusbBusTest::hostile_devices_data() {
    QTest::addColumn<QByteArray>("descriptors");   // as sysfs shows them, in hex
    QTest::addColumn<QByteArray>("manufacturer");  // string descriptor 1, in hex
    QTest::addColumn<QStringList>("tail");         // the last lines of the report
    // wTotalLength says 20 where 32 bytes follow: libusb cuts the extra descriptor short and
    // hands back an alternate setting with one endpoint and no endpoint array. The survey shows
    // the setting and no endpoint.
    QTest::newRow("endpoint count without endpoints")
        << QByteArray(
               "1201100100000008671200000000000000010902140001010080320904000001ff000000"
               "072100000000000705810301000a")
        << QByteArray()
        << QStringList{"---- NumEndpoints      : 1", "---- InterfaceClass    : 255",
                       "---- InterfaceSubClass : 0", "---- InterfaceProtocol : 0",
                       "---- Interface         : 0"};
    QTest::newRow("CR LF and BEL in the manufacturer")
        << QByteArray("120110010000000867120000000001000000")
        << QByteArray("1003410063000d000a00440065000700")
        << QStringList{"-- Manufacturer    : Ac\?\?De? ",
                       "-- Product         : not specified",
                       "-- Serial  nmbr    : not specified",
                       "-- USB version     : 1.1",
                       "-- Device Class    : 0",
                       "-- Subclass        : 0"};
}

// Devices that lie in their descriptors are surveyed without harm and cannot forge lines.
void LibusbBusTest::hostile_devices() {
    QFETCH(QByteArray, descriptors);
    QFETCH(QByteArray, manufacturer);
    QFETCH(QStringList, tail);
    UmockdevBus bus;
    bus.plug_raw(1, 2, bytes_of_hex(descriptors),
                 {{0, {4, 3, 0x09, 0x04}}, {1, bytes_of_hex(manufacturer)}});
    LibusbBus usb;
    QVERIFY(usb.initialise().ok());
    usb.set_debug_level(0);
    const QStringList lines = DeviceSurvey(usb).list_devices();
    QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
    QCOMPARE(usb.open_handle_count(), 0);
}

// A device that keeps libusb from starting gives an error that says what to do, in time.
void LibusbBusTest::stalled_start_is_told() {
    if (under_emulation()) {
        QSKIP("an emulated test cannot start a child process");
    }
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {stalling_start_option});
    if (!child.waitForFinished(10'000)) {
        child.kill();
        child.waitForFinished();
        QFAIL("the start did not give up");
    }
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()),
             QStringLiteral("libusb did not finish reading the USB devices within 0.3 seconds. A "
                            "device with faulty descriptors can cause this: unplug the USB device "
                            "you plugged in last and start Quillmar again."));
}

// Before initialise() the library has no context: it finds nothing and says no more.
void LibusbBusTest::uninitialised_libusb_finds_nothing() {
    UmockdevBus bus;
    for (const auto& device : hub_and_arm()) {
        bus.plug(device);
    }
    LibusbBus usb;
    QCOMPARE(usb.rescan_busses(), 0);
    QCOMPARE(usb.rescan_devices(), 0);
    QCOMPARE(usb.open_nth(0).error(), UsbError::no_device);
    QCOMPARE(usb.init_error_text(), QString());
}

int main(int argc, char** argv) {
    run_under_umockdev(argv);
    if (argc == 2 && std::strcmp(argv[1], stalling_start_option) == 0) {
        return start_beside_a_stalling_device();
    }
    QCoreApplication app(argc, argv);
    LibusbBusTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "libusb_bus_test.moc"
