#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <cstdio>
#include <cstring>

#include "armlink/arm_link.h"
#include "armlink/device_survey.h"
#include "armlink/emulated_usb.h"
#include "armlink/libusb_access.h"
#include "support/fake_console.h"
#include "support/hub_and_arm_survey.h"
#include "umockdev_bus.h"

using namespace quillmar;
using namespace quillmar::testing;

Q_DECLARE_METATYPE(quillmar::testing::Fault)

namespace {

// Another vendor's device, told apart from its neighbours by its product id.
DeviceModel gadget(int bus, int address, std::uint16_t product_id) {
    DeviceModel model = arm_device_model(bus, address);
    model.descriptor.idVendor = 0x1234;
    model.descriptor.idProduct = product_id;
    return model;
}

// The arm with strings, a second configuration and interface 0 in two alternate settings.
DeviceModel rich_arm() {
    DeviceModel model = arm_device_model();
    model.descriptor.iManufacturer = 1;
    model.descriptor.iProduct = 2;
    model.descriptor.iSerialNumber = 3;
    model.strings = {{1, "ACME"}, {2, std::string("Caf\xe9")}, {3, "ABCDEFGHIJ"}};
    auto& first = model.configurations[0];
    first.descriptor.iConfiguration = 4;  // no such string: only its number is ever shown
    auto second_setting = first.interfaces[0].settings[0];
    second_setting.endpoints[0].wMaxPacketSize = 64;
    second_setting.endpoints[0].bInterval = 1;
    first.interfaces[0].settings.push_back(second_setting);
    auto second = first;
    second.descriptor.bConfigurationValue = 2;
    second.descriptor.MaxPower = 100;
    second.interfaces[0].settings.resize(1);
    second.interfaces[0].settings[0].endpoints.clear();
    model.configurations.push_back(second);
    complete_model(model);
    return model;
}

struct Rig {
    explicit Rig(const std::vector<DeviceModel>& devices = {root_hub_model(), arm_device_model()}) {
        for (const auto& device : devices) {
            bus.plug(device);
        }
        init_result = usb.vb_usb_init();
        usb.vb_usb_set_debug(0);
    }

    // libusb learns of a plug or an unplug on its own thread: wait until its list agrees.
    bool wait_listed(int vendor_id, int product_id, bool listed) {
        const QDeadlineTimer deadline(2000);
        while (!deadline.hasExpired()) {
            const int handle = usb.vb_usb_open(0, vendor_id, product_id);
            if (handle != 0) {
                usb.vb_usb_close(handle);
            }
            const bool seen = handle != 0 || usb.last_open_error() != usb_error::no_device;
            if (seen == listed) {
                return true;
            }
            QThread::msleep(2);
        }
        return false;
    }

    int open_arm() { return usb.vb_usb_open(0, arm_vendor_id, arm_product_id); }

    QString vid_pid(int handle) {
        DeviceDescriptor record;
        if (usb.vb_usb_get_device_descriptor(handle, record) == 0) {
            return {};
        }
        return QString::number(record.idVendor, 16) + QLatin1Char(':') +
               QString::number(record.idProduct, 16);
    }

    UmockdevBus bus;  // outlives the access layer, which closes its handles first
    LibusbAccess usb;
    int init_result = 0;
};

QByteArray bytes_of(const std::vector<std::uint8_t>& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

QByteArray bytes_of(const std::array<std::uint8_t, 8>& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

}  // namespace

class LibusbAccessTest : public QObject {
    Q_OBJECT
  private slots:
    void devices_open_in_bus_and_address_order();
    void open_by_ids_data();
    void open_by_ids();
    void first_matching_device_wins();
    void rescans_count_what_changed();
    void descriptors_come_from_the_device();
    void missing_descriptors_read_as_zero_data();
    void missing_descriptors_read_as_zero();
    void strings_data();
    void strings();
    void survey_reads_hub_and_arm();
    void survey_agrees_with_the_emulated_bus();
    void hostile_devices_data();
    void hostile_devices();
    void device_requests_arrive_in_order();
    void arm_command_reaches_the_device();
    void transfer_faults_data();
    void transfer_faults();
    void unplugged_arm_fails_cleanly_and_plugs_in_again();
    void bad_handles_and_arguments_data();
    void bad_handles_and_arguments();
    void uninitialised_library_finds_nothing();
    void stalled_start_is_told();
};

void LibusbAccessTest::devices_open_in_bus_and_address_order() {
    Rig rig({root_hub_model(2), gadget(2, 4, 0x24), root_hub_model(1), gadget(1, 3, 0x13),
             arm_device_model(1, 2)});
    QCOMPARE(rig.init_result, 0);
    QStringList order;
    std::vector<int> handles;
    for (int n = 0;; ++n) {
        const int handle = rig.usb.vb_usb_open(n, -1, -1);
        if (handle == 0) {
            break;
        }
        QVERIFY(std::find(handles.begin(), handles.end(), handle) == handles.end());
        handles.push_back(handle);
        order << rig.vid_pid(handle);
    }
    QCOMPARE(order, QStringList({"1d6b:2", "1267:0", "1234:13", "1d6b:2", "1234:24"}));
    QCOMPARE(rig.usb.last_open_error(), usb_error::no_device);
    QCOMPARE(rig.usb.open_handle_count(), 5);
    for (const int handle : handles) {
        QCOMPARE(rig.usb.vb_usb_close(handle), 0);
    }
    QCOMPARE(rig.usb.open_handle_count(), 0);
}

void LibusbAccessTest::open_by_ids_data() {
    QTest::addColumn<int>("vendor_id");
    QTest::addColumn<int>("product_id");
    QTest::addColumn<bool>("arm_openable");
    QTest::addColumn<QString>("opened");  // vid:pid of the opened device, empty for none
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("second_by_index");  // what (1, -1, -1) opens: the denied arm is skipped
    QTest::newRow("the arm") << 0x1267 << 0 << true << "1267:0" << 0 << 0x1267;
    QTest::newRow("the root hub") << 0x1d6b << 2 << true << "1d6b:2" << 0 << 0x1267;
    QTest::newRow("no such product") << 0x1267 << 1 << true << "" << usb_error::no_device << 0x1267;
    QTest::newRow("arm closed to this user")
        << 0x1267 << 0 << false << "" << usb_error::access << 0x1234;
}

void LibusbAccessTest::open_by_ids() {
    QFETCH(int, vendor_id);
    QFETCH(int, product_id);
    QFETCH(bool, arm_openable);
    QFETCH(QString, opened);
    QFETCH(int, error);
    QFETCH(int, second_by_index);
    DeviceModel arm = arm_device_model(1, 2);
    arm.openable = arm_openable;
    Rig rig({root_hub_model(), arm, gadget(1, 3, 0x13)});

    const int handle = rig.usb.vb_usb_open(0, vendor_id, product_id);
    QCOMPARE(rig.vid_pid(handle), opened);
    if (handle == 0) {
        QCOMPARE(rig.usb.last_open_error(), error);
    }
    rig.usb.vb_usb_close(handle);

    const int second = rig.usb.vb_usb_open(1, -1, -1);
    QVERIFY(second != 0);
    QCOMPARE(rig.vid_pid(second).section(QLatin1Char(':'), 0, 0).toInt(nullptr, 16),
             second_by_index);
    QCOMPARE(rig.usb.vb_usb_close(second), 0);
}

void LibusbAccessTest::first_matching_device_wins() {
    Rig rig({root_hub_model(), arm_device_model(1, 5), arm_device_model(1, 3)});
    char command[3] = {0, 0, 0};
    for (const int expected_address : {3, 5}) {
        const int index = expected_address == 3 ? 0 : 1;
        const int handle = rig.usb.vb_usb_open(index, arm_vendor_id, arm_product_id);
        QVERIFY(handle != 0);
        QCOMPARE(rig.usb.vb_usb_control_msg(handle, 0x40, 6, 0x100, 0, command, 3, 20), 3);
        QCOMPARE(rig.bus.vendor_transfers().back().address, expected_address);
        rig.usb.vb_usb_close(handle);
    }
    QCOMPARE(rig.usb.vb_usb_open(2, arm_vendor_id, arm_product_id), 0);
}

void LibusbAccessTest::rescans_count_what_changed() {
    Rig rig;
    QCOMPARE(rig.usb.usb_find_busses(), 1);
    QCOMPARE(rig.usb.usb_find_devices(), 2);
    QCOMPARE(rig.usb.usb_find_busses(), 0);
    QCOMPARE(rig.usb.usb_find_devices(), 0);

    // A second bus with a device on it.
    rig.bus.plug(root_hub_model(2));
    rig.bus.plug(gadget(2, 2, 0x22));
    QVERIFY(rig.wait_listed(0x1234, 0x22, true));
    QCOMPARE(rig.usb.usb_find_busses(), 1);
    QCOMPARE(rig.usb.usb_find_devices(), 2);

    // The arm comes back at a new address: one device gone and one new.
    rig.bus.unplug(1, 2);
    QVERIFY(rig.wait_listed(arm_vendor_id, arm_product_id, false));
    rig.bus.plug(arm_device_model(1, 3));
    QVERIFY(rig.wait_listed(arm_vendor_id, arm_product_id, true));
    QCOMPARE(rig.usb.usb_find_busses(), 0);
    QCOMPARE(rig.usb.usb_find_devices(), 2);
    QCOMPARE(rig.usb.usb_find_devices(), 0);
}

void LibusbAccessTest::descriptors_come_from_the_device() {
    const DeviceModel model = rich_arm();
    Rig rig({root_hub_model(), model});
    const int handle = rig.open_arm();
    QVERIFY(handle != 0);

    DeviceDescriptor device;
    QVERIFY(rig.usb.vb_usb_get_device_descriptor(handle, device) != 0);
    QCOMPARE(device.bcdUSB, 0x0110);
    QCOMPARE(device.iSerialNumber, 3);
    QCOMPARE(device.bNumConfigurations, 2);

    for (int config_index = 0; config_index < 2; ++config_index) {
        const auto& expected = model.configurations[static_cast<std::size_t>(config_index)];
        ConfigurationDescriptor config;
        QVERIFY(rig.usb.vb_usb_get_configuration_descriptor(handle, config_index, config) != 0);
        QCOMPARE(config.wTotalLength, expected.descriptor.wTotalLength);
        QCOMPARE(config.bConfigurationValue, expected.descriptor.bConfigurationValue);
        QCOMPARE(config.iConfiguration, expected.descriptor.iConfiguration);
        QCOMPARE(config.MaxPower, expected.descriptor.MaxPower);
        QCOMPARE(config.bmAttributes, expected.descriptor.bmAttributes);
    }

    InterfaceDescriptor setting;
    QVERIFY(rig.usb.vb_usb_get_interface_descriptor(handle, 0, 0, 1, setting) != 0);
    QCOMPARE(setting.bAlternateSetting, 1);
    QCOMPARE(setting.bNumEndpoints, 1);
    QCOMPARE(setting.bInterfaceClass, 0xFF);
    QVERIFY(rig.usb.vb_usb_get_interface_descriptor(handle, 1, 0, 0, setting) != 0);
    QCOMPARE(setting.bNumEndpoints, 0);

    EndpointDescriptor endpoint;
    QVERIFY(rig.usb.vb_usb_get_endpoint_descriptor(handle, 0, 0, 1, 0, endpoint) != 0);
    QCOMPARE(endpoint.bEndpointAddress, 0x81);
    QCOMPARE(endpoint.bmAttributes, 0x03);
    QCOMPARE(endpoint.wMaxPacketSize, 64);
    QCOMPARE(endpoint.bInterval, 1);
    QCOMPARE(endpoint.bRefresh, 0);
    QCOMPARE(endpoint.bSynchAddress, 0);
}

void LibusbAccessTest::missing_descriptors_read_as_zero_data() {
    QTest::addColumn<int>("config");
    QTest::addColumn<int>("interface");
    QTest::addColumn<int>("alt_setting");
    QTest::addColumn<int>("endpoint");  // -1: read the interface, not an endpoint
    QTest::newRow("third configuration") << 2 << 0 << 0 << -1;
    QTest::newRow("negative configuration") << -1 << 0 << 0 << -1;
    QTest::newRow("second interface") << 0 << 1 << 0 << -1;
    QTest::newRow("third alternate setting") << 0 << 0 << 2 << -1;
    QTest::newRow("second alternate setting of configuration 2") << 1 << 0 << 1 << -1;
    QTest::newRow("second endpoint") << 0 << 0 << 0 << 1;
    QTest::newRow("endpoint of an endpointless setting") << 1 << 0 << 0 << 0;
    QTest::newRow("endpoint of a missing setting") << 0 << 0 << 2 << 0;
}

void LibusbAccessTest::missing_descriptors_read_as_zero() {
    QFETCH(int, config);
    QFETCH(int, interface);
    QFETCH(int, alt_setting);
    QFETCH(int, endpoint);
    Rig rig({rich_arm()});
    const int handle = rig.open_arm();
    QVERIFY(handle != 0);
    if (endpoint < 0) {
        ConfigurationDescriptor config_record;
        InterfaceDescriptor record;
        if (interface == 0 && alt_setting == 0) {
            QCOMPARE(rig.usb.vb_usb_get_configuration_descriptor(handle, config, config_record), 0);
        }
        QCOMPARE(
            rig.usb.vb_usb_get_interface_descriptor(handle, config, interface, alt_setting, record),
            0);
    } else {
        EndpointDescriptor record;
        QCOMPARE(rig.usb.vb_usb_get_endpoint_descriptor(handle, config, interface, alt_setting,
                                                        endpoint, record),
                 0);
    }
}

void LibusbAccessTest::strings_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("buffer_length");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("manufacturer") << 1 << 255 << 4 << QByteArray("ACME");
    QTest::newRow("8-bit character") << 2 << 255 << 4 << QByteArray("Caf\xe9");
    QTest::newRow("cut to the buffer") << 3 << 8 << 7 << QByteArray("ABCDEFG");
    QTest::newRow("index with no string") << 4 << 255 << 0 << QByteArray();
    QTest::newRow("index 0 is no string") << 0 << 255 << 0 << QByteArray();
}

void LibusbAccessTest::strings() {
    QFETCH(int, index);
    QFETCH(int, buffer_length);
    QFETCH(int, result);
    QFETCH(QByteArray, text);
    Rig rig({rich_arm()});
    const int handle = rig.open_arm();
    QVERIFY(handle != 0);
    std::array<char, 256> buffer;
    buffer.fill('#');
    QCOMPARE(rig.usb.vb_usb_get_string_simple(handle, index, buffer.data(), buffer_length), result);
    if (result > 0) {
        QCOMPARE(QByteArray(buffer.data()), text);
    }
    QCOMPARE(buffer[static_cast<std::size_t>(buffer_length)], '#');
}

void LibusbAccessTest::survey_reads_hub_and_arm() {
    Rig rig;
    FakeConsole console;
    DeviceSurvey(rig.usb, console).list_devices();
    QCOMPARE(console.message, quillmar::testing::hub_and_arm_survey());
    QCOMPARE(rig.usb.open_handle_count(), 0);
}

// The same devices behind the real libusb and behind the in-memory bus give the same report.
void LibusbAccessTest::survey_agrees_with_the_emulated_bus() {
    const std::vector<DeviceModel> devices{root_hub_model(1), rich_arm(), gadget(1, 4, 0x14),
                                           root_hub_model(2)};
    Rig rig(devices);
    FakeConsole real;
    DeviceSurvey(rig.usb, real).list_devices();

    EmulatedUsb emulated([] { return 0.0; });
    for (const auto& device : devices) {
        emulated.plug(device);
    }
    FakeConsole expected;
    DeviceSurvey(emulated, expected).list_devices();
    QVERIFY(real.message.contains(QStringLiteral("- Serial  nmbr    : ABCDEFGHIJ \r\n")));
    QCOMPARE(real.message, expected.message);
}

void LibusbAccessTest::hostile_devices_data() {
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
        << QByteArray() << QStringList{"---- NumEndpoints      : 1", "---- InterfaceClass    : 255",
                                       "---- InterfaceSubClass : 0", "---- InterfaceProtocol : 0",
                                       "---- Interface         : 0", ""};
    QTest::newRow("CR LF and BEL in the manufacturer")
        << QByteArray("120110010000000867120000000001000000")
        << QByteArray("1003410063000d000a00440065000700")
        << QStringList{"-- Manufacturer    : Ac\?\?De? ",
                       "-- Product         : not specified",
                       "-- Serial  nmbr    : not specified",
                       "-- USB version     : 1.1",
                       "-- Device Class    : 0",
                       "-- Subclass        : 0",
                       ""};
}

// Devices that lie in their descriptors are surveyed without harm and cannot forge lines.
void LibusbAccessTest::hostile_devices() {
    QFETCH(QByteArray, descriptors);
    QFETCH(QByteArray, manufacturer);
    QFETCH(QStringList, tail);
    const auto bytes = [](const QByteArray& hex) {
        const QByteArray raw = QByteArray::fromHex(hex);
        return std::vector<std::uint8_t>(raw.begin(), raw.end());
    };
    UmockdevBus bus;
    bus.plug_raw(1, 2, bytes(descriptors), {{0, {4, 3, 0x09, 0x04}}, {1, bytes(manufacturer)}});
    LibusbAccess usb;
    QCOMPARE(usb.vb_usb_init(), 0);
    usb.vb_usb_set_debug(0);
    FakeConsole console;
    DeviceSurvey(usb, console).list_devices();
    const QStringList lines = console.message.split(QStringLiteral("\r\n"));
    QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
    QCOMPARE(usb.open_handle_count(), 0);
}

void LibusbAccessTest::device_requests_arrive_in_order() {
    Rig rig;
    const int handle = rig.open_arm();
    QVERIFY(handle != 0);
    QCOMPARE(rig.usb.vb_usb_set_configuration(handle, 1), 0);
    QCOMPARE(rig.usb.vb_usb_claim_interface(handle, 0), 0);
    QCOMPARE(rig.usb.vb_usb_release_interface(handle, 0), 0);
    QCOMPARE(rig.usb.vb_usb_reset(handle), 0);
    QCOMPARE(rig.usb.vb_usb_close(handle), 0);

    QStringList seen;
    for (const auto& request : rig.bus.requests()) {
        QCOMPARE(request.address, 2);
        seen << QString::number(static_cast<int>(request.kind)) + QLatin1Char(' ') +
                    QString::number(request.argument);
    }
    using Kind = DeviceRequest::Kind;
    const auto line = [](Kind kind, int argument) {
        return QString::number(static_cast<int>(kind)) + QLatin1Char(' ') +
               QString::number(argument);
    };
    QCOMPARE(seen, QStringList({line(Kind::set_configuration, 1), line(Kind::claim_interface, 0),
                                line(Kind::release_interface, 0), line(Kind::reset, 0)}));

    // A closed handle is gone for good.
    char command[3] = {};
    QCOMPARE(rig.usb.vb_usb_control_msg(handle, 0x40, 6, 0x100, 0, command, 3, 20),
             usb_error::no_device);
    QCOMPARE(rig.usb.vb_usb_close(handle), usb_error::no_device);
    const int again = rig.open_arm();
    QVERIFY(again > handle);
}

void LibusbAccessTest::arm_command_reaches_the_device() {
    Rig rig;
    FakeConsole console;
    ArmLink link(rig.usb, console);
    QVERIFY(link.attach_arm());
    link.send_command(start_command(1, 0));
    QCOMPARE(console.error, QString());

    const auto transfers = rig.bus.vendor_transfers();
    QCOMPARE(transfers.size(), std::size_t{1});
    QCOMPARE(bytes_of(transfers[0].setup), QByteArray::fromHex("4006000100000300"));
    QCOMPARE(bytes_of(transfers[0].data), QByteArray::fromHex("010000"));
    const auto requests = rig.bus.requests();
    QCOMPARE(requests.size(), std::size_t{3});
    QCOMPARE(requests[0].kind, DeviceRequest::Kind::set_configuration);
    QCOMPARE(requests[0].argument, 1);
    QCOMPARE(requests[1].kind, DeviceRequest::Kind::claim_interface);
    QCOMPARE(requests[1].argument, 0);
}

void LibusbAccessTest::transfer_faults_data() {
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("error");
    QTest::newRow("time-out") << Fault::time_out << usb_error::timeout
                              << QStringLiteral("Sent: ( 1, 0, 0) Return value -116\r\n");
    QTest::newRow("protocol error") << Fault::protocol_error << usb_error::io
                                    << QStringLiteral("Sent: ( 1, 0, 0) Return value -5\r\n");
    QTest::newRow("short transfer")
        << Fault::short_transfer << 2 << QStringLiteral("Sent: ( 1, 0, 0) Return value  2\r\n");
}

void LibusbAccessTest::transfer_faults() {
    QFETCH(Fault, fault);
    QFETCH(int, result);
    QFETCH(QString, error);
    Rig rig;
    const int handle = rig.open_arm();
    QVERIFY(handle != 0);

    char command[3] = {1, 0, 0};
    rig.bus.fail_next(1, 2, fault, 1, 2);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(rig.usb.vb_usb_control_msg(handle, 0x40, 6, 0x100, 0, command, 3, 20), result);
    if (fault == Fault::time_out) {
        QVERIFY(clock.elapsed() >= 19);
        QVERIFY(clock.elapsed() < 1000);
    }
    // The failed transfer leaves nothing behind: the next one goes through.
    QCOMPARE(rig.usb.vb_usb_control_msg(handle, 0x40, 6, 0x100, 0, command, 3, 20), 3);
    rig.usb.vb_usb_close(handle);

    // The same fault through the arm link gives its one error line.
    FakeConsole console;
    ArmLink link(rig.usb, console);
    QVERIFY(link.attach_arm());
    rig.bus.fail_next(1, 2, fault, 1, 2);
    link.send_command(start_command(1, 0));
    link.send_command(stop_command(0));
    QCOMPARE(console.error, error);
}

void LibusbAccessTest::unplugged_arm_fails_cleanly_and_plugs_in_again() {
    Rig rig;
    FakeConsole console;
    ArmLink link(rig.usb, console);
    QVERIFY(link.attach_arm());
    rig.bus.unplug_after(1, 2, 1);
    link.send_command(start_command(4, 1));
    link.send_command(stop_command(1));
    QCOMPARE(console.error, QStringLiteral("Sent: ( 0, 0, 1) Return value -19\r\n"));

    // Release runs all its steps on the old handle and lets it go.
    link.release();
    QCOMPARE(console.error, QStringLiteral("Sent: ( 0, 0, 1) Return value -19\r\n"
                                           "Sent: ( 0, 0, 0) Return value -19\r\n"));
    QCOMPARE(rig.usb.open_handle_count(), 0);
    QVERIFY(rig.wait_listed(arm_vendor_id, arm_product_id, false));
    QCOMPARE(rig.open_arm(), 0);
    QCOMPARE(rig.usb.last_open_error(), usb_error::no_device);

    rig.bus.unplug(1, 2);
    rig.bus.plug(arm_device_model(1, 3));
    QVERIFY(rig.wait_listed(arm_vendor_id, arm_product_id, true));
    rig.bus.clear_requests();
    QVERIFY(link.attach_arm());
    link.send_command(start_command(2, 0));
    const auto transfers = rig.bus.vendor_transfers();
    QCOMPARE(transfers.size(), std::size_t{1});
    QCOMPARE(transfers[0].address, 3);
    QCOMPARE(bytes_of(transfers[0].data), QByteArray::fromHex("020000"));
    QCOMPARE(console.error.count(QLatin1Char('\n')), 2);
}

void LibusbAccessTest::bad_handles_and_arguments_data() {
    QTest::addColumn<bool>("open_handle");  // false: handle 0 or a number never handed out
    QTest::addColumn<int>("handle");
    QTest::addColumn<int>("request_type");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<int>("result");
    QTest::newRow("handle 0") << false << 0 << 0x40 << 3 << 20 << usb_error::no_device;
    QTest::newRow("unknown handle") << false << 99 << 0x40 << 3 << 20 << usb_error::no_device;
    QTest::newRow("negative length") << true << 0 << 0x40 << -1 << 20 << usb_error::invalid;
    QTest::newRow("request type beyond a byte")
        << true << 0 << 0x140 << 3 << 20 << usb_error::invalid;
    QTest::newRow("negative time-out") << true << 0 << 0x40 << 3 << -1 << usb_error::invalid;
}

void LibusbAccessTest::bad_handles_and_arguments() {
    QFETCH(bool, open_handle);
    QFETCH(int, handle);
    QFETCH(int, request_type);
    QFETCH(int, size);
    QFETCH(int, timeout);
    QFETCH(int, result);
    Rig rig;
    if (open_handle) {
        handle = rig.open_arm();
    }
    char command[3] = {};
    QCOMPARE(rig.usb.vb_usb_control_msg(handle, request_type, 6, 0x100, 0, command, size, timeout),
             result);
    QVERIFY(rig.bus.vendor_transfers().empty());
    if (!open_handle) {
        DeviceDescriptor record;
        char text[8] = {};
        QCOMPARE(rig.usb.vb_usb_get_device_descriptor(handle, record), 0);
        QCOMPARE(rig.usb.vb_usb_get_string_simple(handle, 1, text, 8), 0);
        QCOMPARE(rig.usb.vb_usb_claim_interface(handle, 0), usb_error::no_device);
        QCOMPARE(rig.usb.vb_usb_close(handle), usb_error::no_device);
    }
}

void LibusbAccessTest::uninitialised_library_finds_nothing() {
    UmockdevBus bus;
    bus.plug(root_hub_model());
    bus.plug(arm_device_model());
    LibusbAccess usb;
    QCOMPARE(usb.usb_find_busses(), 0);
    QCOMPARE(usb.usb_find_devices(), 0);
    QCOMPARE(usb.vb_usb_open(0, -1, -1), 0);
    QCOMPARE(usb.last_open_error(), usb_error::no_device);
    QCOMPARE(usb.init_error_text(), QString());
}

namespace {

constexpr char stalling_start_option[] = "--start-beside-a-stalling-device";

// In a process of its own, as the libusb thread that never comes back stays behind: libusb is
// started beside a device whose first configuration header is 11 bytes long, followed by a
// descriptor of length 0, with a second configuration after it. libusb 1.0.26 seeks the second
// configuration by descriptor lengths and steps by 0 for ever.
int start_beside_a_stalling_device() {
    UmockdevBus bus;
    const QByteArray descriptors = QByteArray::fromHex(
        "1201100100000008671200000000000000020b021400010100803200050904000000ff000000090212000102"
        "0080320904000000ff000000");
    bus.plug_raw(1, 2, std::vector<std::uint8_t>(descriptors.begin(), descriptors.end()));
    LibusbAccess usb(std::chrono::milliseconds(300));
    const int result = usb.vb_usb_init();
    std::fputs(qPrintable(usb.init_error_text()), stdout);
    return result == usb_error::timeout && usb.vb_usb_init() == usb_error::timeout ? 0 : 1;
}

}  // namespace

// A device that keeps libusb from starting gives an error that says what to do, in time.
void LibusbAccessTest::stalled_start_is_told() {
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

int main(int argc, char** argv) {
    run_under_umockdev(argv);
    if (argc == 2 && std::strcmp(argv[1], stalling_start_option) == 0) {
        return start_beside_a_stalling_device();
    }
    QCoreApplication app(argc, argv);
    LibusbAccessTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "libusb_access_test.moc"
