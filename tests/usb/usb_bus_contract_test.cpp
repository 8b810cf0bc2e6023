// What every USB bus promises, checked on the emulated bus and on the real libusb talking to
// devices that umockdev emulates: the same devices, the same calls, the same answers.
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <memory>

#include "armlink/arm_device.h"
#include "armlink/arm_ids.h"
#include "armlink/arm_link.h"
#include "support/fake_arm_reports.h"
#include "support/fake_pacer.h"
#include "support/hub_and_arm_survey.h"
#include "survey/device_survey.h"
#include "umockdev/umockdev_bus.h"
#include "usb/emulated_bus.h"
#include "usb/libusb_bus.h"

using namespace quillmar;
using namespace quillmar::testing;

namespace {

enum class BusKind { emulated, libusb };

// One bus with devices that can be plugged, pulled and made to fail, whichever kind it is.
class TestBus {
  public:
    virtual ~TestBus() = default;
    virtual UsbBus& usb() = 0;
    virtual void plug(const DeviceModel& device) = 0;
    virtual void unplug(const DeviceModel& device) = 0;
    // The next transfer to the device suffers the fault; a short transfer moves 2 bytes.
    virtual void fail_next_transfer(const DeviceModel& device, Fault fault) = 0;
    virtual int open_handles() const = 0;
    // What reached devices besides descriptor and string reads: "set_configuration 1",
    // "claim_interface 0", ..., and each vendor transfer as its setup packet and data in hex.
    virtual QStringList requests() const = 0;

    // A plug or an unplug may reach the bus's list a little later: wait until they agree.
    bool wait_listed(std::uint16_t vendor_id, std::uint16_t product_id, bool listed) {
        const QDeadlineTimer deadline(2000);
        while (!deadline.hasExpired()) {
            const auto opened = usb().open_first(vendor_id, product_id);
            if (opened) {
                usb().close(*opened);
            }
            if ((opened || opened.error() != UsbError::no_device) == listed) {
                return true;
            }
            QThread::msleep(2);
        }
        return false;
    }
};

QString request_text(const std::array<std::uint8_t, 8>& setup,
                     const std::vector<std::uint8_t>& data) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(setup.data()), 8).toHex() + ' ' +
        QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size()))
            .toHex());
}

class Emulated : public TestBus {
  public:
    explicit Emulated(const std::vector<DeviceModel>& devices) : bus([] { return 0.0; }) {
        for (const auto& device : devices) {
            plug(device);
        }
    }
    UsbBus& usb() override { return bus; }
    void plug(const DeviceModel& device) override {
        DeviceModel model = device;
        complete_model(model);
        bus.plug(model);
    }
    void unplug(const DeviceModel& device) override {
        bus.unplug(device.descriptor.idVendor, device.descriptor.idProduct);
    }
    void fail_next_transfer(const DeviceModel&, Fault fault) override {
        bus.fail_next_transfers(1, fault == Fault::time_out         ? error_code(UsbError::timeout)
                                   : fault == Fault::protocol_error ? error_code(UsbError::io)
                                                                    : 2);
    }
    int open_handles() const override { return bus.open_handle_count(); }
    QStringList requests() const override {
        QStringList out;
        std::size_t transfer = 0;
        for (const auto& call : bus.calls()) {
            if (call.routine == "control_transfer") {
                const auto& t = bus.transfers().at(transfer++);
                if (t.result >= 0) {
                    const std::array<std::uint8_t, 8> setup{
                        t.setup.request_type,
                        t.setup.request,
                        static_cast<std::uint8_t>(t.setup.value & 0xFF),
                        static_cast<std::uint8_t>(t.setup.value >> 8),
                        static_cast<std::uint8_t>(t.setup.index & 0xFF),
                        static_cast<std::uint8_t>(t.setup.index >> 8),
                        static_cast<std::uint8_t>(t.data.size()),
                        0};
                    out << request_text(setup, t.data);
                }
            } else if (call.result < 0) {
                continue;
            } else if (call.routine == "set_configuration" || call.routine == "claim_interface" ||
                       call.routine == "release_interface") {
                out << QString::fromStdString(call.routine) + ' ' +
                           QString::number(call.arguments.at(1));
            } else if (call.routine == "reset") {
                out << QStringLiteral("reset");
            }
        }
        return out;
    }

  private:
    EmulatedBus bus;
};

class Libusb : public TestBus {
  public:
    explicit Libusb(const std::vector<DeviceModel>& devices) {
        for (const auto& device : devices) {
            bus.plug(device);
        }
        QVERIFY(libusb.initialise().ok());
        libusb.set_debug_level(0);
    }
    UsbBus& usb() override { return libusb; }
    void plug(const DeviceModel& device) override { bus.plug(device); }
    void unplug(const DeviceModel& device) override {
        bus.unplug(device.bus_number, device.address);
    }
    void fail_next_transfer(const DeviceModel& device, Fault fault) override {
        bus.fail_next(device.bus_number, device.address, fault, 1, 2);
    }
    int open_handles() const override { return libusb.open_handle_count(); }
    QStringList requests() const override {
        QStringList out;
        for (const auto& request : bus.requests()) {
            using Kind = DeviceRequest::Kind;
            switch (request.kind) {
                case Kind::control:
                    // Descriptor and string reads are the library's own.
                    if ((request.setup[0] & 0x80) == 0) {
                        out << request_text(request.setup, request.data);
                    }
                    break;
                case Kind::set_configuration:
                    out << QStringLiteral("set_configuration %1").arg(request.argument);
                    break;
                case Kind::claim_interface:
                    out << QStringLiteral("claim_interface %1").arg(request.argument);
                    break;
                case Kind::release_interface:
                    out << QStringLiteral("release_interface %1").arg(request.argument);
                    break;
                case Kind::reset:
                    out << QStringLiteral("reset");
                    break;
            }
        }
        return out;
    }

  private:
    UmockdevBus bus;  // outlives the library, which closes its handles first
    LibusbBus libusb;
};

std::unique_ptr<TestBus> make_bus(BusKind kind, const std::vector<DeviceModel>& devices) {
    if (kind == BusKind::emulated) {
        return std::make_unique<Emulated>(devices);
    }
    return std::make_unique<Libusb>(devices);
}

// One row per kind of bus for each set of values.
template <typename... Values>
void add_rows(const char* name, const Values&... values) {
    for (const auto kind : {BusKind::emulated, BusKind::libusb}) {
        ((QTest::addRow("%s, %s", kind == BusKind::emulated ? "emulated" : "libusb", name) << kind)
         << ... << values);
    }
}

// Another vendor's device, told apart from its neighbours by its product id.
DeviceModel gadget(int bus, int address, std::uint16_t product_id, bool openable = true) {
    DeviceModel model = arm_device_model(bus, address);
    model.descriptor.idVendor = 0x1234;
    model.descriptor.idProduct = product_id;
    model.openable = openable;
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

QString vid_pid(UsbBus& usb, DeviceHandle device) {
    const auto record = usb.device_descriptor(device);
    if (!record) {
        return {};
    }
    return QString::number(record->idVendor, 16) + ':' + QString::number(record->idProduct, 16);
}

std::array<std::uint8_t, 3> command_bytes{1, 0, 1};

UsbResult<int> send(UsbBus& usb, DeviceHandle device) {
    return usb.control_transfer(device, command_setup, command_bytes, ArmLink::transfer_timeout);
}

}  // namespace

Q_DECLARE_METATYPE(BusKind)
Q_DECLARE_METATYPE(quillmar::testing::Fault)

class UsbBusContractTest : public QObject {
    Q_OBJECT
  private slots:
    void open_nth_counts_openable_devices_in_bus_order_data();
    void open_nth_counts_openable_devices_in_bus_order();
    void location_names_bus_and_address_data();
    void location_names_bus_and_address();
    void open_first_by_ids_data();
    void open_first_by_ids();
    void first_of_two_matching_devices_wins_data();
    void first_of_two_matching_devices_wins();
    void rescans_count_what_changed_data();
    void rescans_count_what_changed();
    void closed_handles_fail_and_are_never_reused_data();
    void closed_handles_fail_and_are_never_reused();
    void descriptors_come_from_the_device_data();
    void descriptors_come_from_the_device();
    void missing_descriptors_fail_data();
    void missing_descriptors_fail();
    void strings_data();
    void strings();
    void survey_of_hub_and_arm_data();
    void survey_of_hub_and_arm();
    void link_sends_and_lets_go_in_order_data();
    void link_sends_and_lets_go_in_order();
    void transfer_faults_give_their_line_once_data();
    void transfer_faults_give_their_line_once();
    void unplugged_arm_fails_cleanly_and_plugs_in_again_data();
    void unplugged_arm_fails_cleanly_and_plugs_in_again();
    void going_and_submitted_are_told_once_data();
    void going_and_submitted_are_told_once();
};

void UsbBusContractTest::open_nth_counts_openable_devices_in_bus_order_data() {
    QTest::addColumn<BusKind>("kind");
    QTest::addColumn<QList<bool>>("openable");  // of the devices plugged below, in that order
    QTest::addColumn<QStringList>("order");
    add_rows("all openable", QList<bool>{true, true, true, true, true},
             QStringList{"1d6b:2", "1267:0", "1234:13", "1d6b:2", "1234:24"});
    add_rows("first in order denied", QList<bool>{true, true, false, true, true},
             QStringList{"1267:0", "1234:13", "1d6b:2", "1234:24"});
    add_rows("middle denied", QList<bool>{true, true, true, false, true},
             QStringList{"1d6b:2", "1267:0", "1d6b:2", "1234:24"});
    add_rows("none openable", QList<bool>{false, false, false, false, false}, QStringList{});
}

void UsbBusContractTest::open_nth_counts_openable_devices_in_bus_order() {
    QFETCH(BusKind, kind);
    QFETCH(QList<bool>, openable);
    QFETCH(QStringList, order);
    std::vector<DeviceModel> devices{root_hub_model(2), gadget(2, 4, 0x24), root_hub_model(1),
                                     gadget(1, 3, 0x13), arm_device_model(1, 2)};
    for (std::size_t i = 0; i < devices.size(); ++i) {
        devices[i].openable = openable.at(static_cast<qsizetype>(i));
    }
    const auto bus = make_bus(kind, devices);
    QStringList seen;
    std::vector<DeviceHandle> handles;
    for (int n = 0;; ++n) {
        const auto opened = bus->usb().open_nth(n);
        if (!opened) {
            QCOMPARE(opened.error(), UsbError::no_device);
            break;
        }
        QVERIFY(std::find(handles.begin(), handles.end(), *opened) == handles.end());
        handles.push_back(*opened);
        seen << vid_pid(bus->usb(), *opened);
    }
    QCOMPARE(seen, order);
    QCOMPARE(bus->open_handles(), static_cast<int>(order.size()));
    for (const auto handle : handles) {
        QVERIFY(bus->usb().close(handle).ok());
    }
    QCOMPARE(bus->open_handles(), 0);
}

void UsbBusContractTest::location_names_bus_and_address_data() {
    QTest::addColumn<BusKind>("kind");
    add_rows("two busses");
}

// The location tells apart devices with the same ids; a closed handle has none.
void UsbBusContractTest::location_names_bus_and_address() {
    QFETCH(BusKind, kind);
    const auto bus = make_bus(
        kind, {root_hub_model(2), gadget(2, 4, 0x24), root_hub_model(1), arm_device_model(1, 3)});
    auto& usb = bus->usb();
    QStringList seen;
    for (int n = 0;; ++n) {
        const auto opened = usb.open_nth(n);
        if (!opened) {
            break;
        }
        const auto where = usb.location(*opened);
        QVERIFY(where.ok());
        seen << vid_pid(usb, *opened) +
                    QStringLiteral(" at %1-%2").arg(where->bus).arg(where->address);
        QVERIFY(usb.close(*opened).ok());
        QCOMPARE(usb.location(*opened).error(), UsbError::no_device);
    }
    QCOMPARE(seen,
             (QStringList{"1d6b:2 at 1-1", "1267:0 at 1-3", "1d6b:2 at 2-1", "1234:24 at 2-4"}));
}

void UsbBusContractTest::open_first_by_ids_data() {
    QTest::addColumn<BusKind>("kind");
    QTest::addColumn<int>("vendor_id");
    QTest::addColumn<int>("product_id");
    QTest::addColumn<bool>("arm_openable");
    QTest::addColumn<QString>("opened");  // vid:pid of the opened device, empty for none
    QTest::addColumn<UsbError>("error");
    QTest::addColumn<QString>("second");  // what open_nth(1) opens: a denied arm is skipped
    add_rows("the arm", 0x1267, 0, true, QString("1267:0"), UsbError::no_device, QString("1267:0"));
    add_rows("the root hub", 0x1d6b, 2, true, QString("1d6b:2"), UsbError::no_device,
             QString("1267:0"));
    add_rows("no such product", 0x1267, 1, true, QString(), UsbError::no_device, QString("1267:0"));
    add_rows("arm closed to this user", 0x1267, 0, false, QString(), UsbError::access,
             QString("1234:13"));
}

void UsbBusContractTest::open_first_by_ids() {
    QFETCH(BusKind, kind);
    QFETCH(int, vendor_id);
    QFETCH(int, product_id);
    QFETCH(bool, arm_openable);
    QFETCH(QString, opened);
    QFETCH(UsbError, error);
    QFETCH(QString, second);
    DeviceModel arm = arm_device_model(1, 2);
    arm.openable = arm_openable;
    const auto bus = make_bus(kind, {root_hub_model(), arm, gadget(1, 3, 0x13)});
    auto& usb = bus->usb();

    const auto first = usb.open_first(static_cast<std::uint16_t>(vendor_id),
                                      static_cast<std::uint16_t>(product_id));
    if (first) {
        QCOMPARE(vid_pid(usb, *first), opened);
        QVERIFY(usb.close(*first).ok());
    } else {
        QVERIFY(opened.isEmpty());
        QCOMPARE(first.error(), error);
    }
    const auto by_number = usb.open_nth(1);
    QVERIFY(by_number.ok());
    QCOMPARE(vid_pid(usb, *by_number), second);
    QVERIFY(usb.close(*by_number).ok());
}

void UsbBusContractTest::first_of_two_matching_devices_wins_data() {
    QTest::addColumn<BusKind>("kind");
    add_rows("two arms");
}

void UsbBusContractTest::first_of_two_matching_devices_wins() {
    QFETCH(BusKind, kind);
    DeviceModel later = arm_device_model(1, 5);
    later.descriptor.bcdDevice = 5;
    DeviceModel earlier = arm_device_model(1, 3);
    earlier.descriptor.bcdDevice = 3;
    const auto bus = make_bus(kind, {root_hub_model(), later, earlier});
    const auto opened = bus->usb().open_first(arm_vendor_id, arm_product_id);
    QVERIFY(opened.ok());
    QCOMPARE(bus->usb().device_descriptor(*opened)->bcdDevice, 3);
}

void UsbBusContractTest::rescans_count_what_changed_data() {
    QTest::addColumn<BusKind>("kind");
    add_rows("plug and unplug");
}

void UsbBusContractTest::rescans_count_what_changed() {
    QFETCH(BusKind, kind);
    const auto bus = make_bus(kind, {root_hub_model(), arm_device_model()});
    auto& usb = bus->usb();
    QCOMPARE(usb.rescan_busses(), 1);
    QCOMPARE(usb.rescan_devices(), 2);
    QCOMPARE(usb.rescan_busses(), 0);
    QCOMPARE(usb.rescan_devices(), 0);

    // A second bus with a device on it.
    bus->plug(root_hub_model(2));
    bus->plug(gadget(2, 2, 0x22));
    QVERIFY(bus->wait_listed(0x1234, 0x22, true));
    QCOMPARE(usb.rescan_busses(), 1);
    QCOMPARE(usb.rescan_devices(), 2);

    // The arm comes back at a new address: one device gone and one new.
    bus->unplug(arm_device_model());
    QVERIFY(bus->wait_listed(arm_vendor_id, arm_product_id, false));
    bus->plug(arm_device_model(1, 3));
    QVERIFY(bus->wait_listed(arm_vendor_id, arm_product_id, true));
    QCOMPARE(usb.rescan_busses(), 0);
    QCOMPARE(usb.rescan_devices(), 2);
    QCOMPARE(usb.rescan_devices(), 0);
}

void UsbBusContractTest::closed_handles_fail_and_are_never_reused_data() {
    QTest::addColumn<BusKind>("kind");
    add_rows("arm");
}

void UsbBusContractTest::closed_handles_fail_and_are_never_reused() {
    QFETCH(BusKind, kind);
    const auto bus = make_bus(kind, {root_hub_model(), arm_device_model()});
    auto& usb = bus->usb();
    const auto first = usb.open_first(arm_vendor_id, arm_product_id);
    QVERIFY(first.ok());
    QVERIFY(usb.close(*first).ok());
    const auto second = usb.open_first(arm_vendor_id, arm_product_id);
    QVERIFY(second.ok());
    QVERIFY(*second != *first);

    const DeviceHandle never_given = static_cast<DeviceHandle>(99);
    for (const DeviceHandle gone : {*first, never_given}) {
        QCOMPARE(usb.close(gone).error(), UsbError::no_device);
        QCOMPARE(send(usb, gone).error(), UsbError::no_device);
        QVERIFY(!usb.device_descriptor(gone).ok());
        QVERIFY(!usb.string_descriptor(gone, 1).ok());
        QCOMPARE(usb.claim_interface(gone, 0).error(), UsbError::no_device);
    }
    QCOMPARE(*send(usb, *second), 3);
    QCOMPARE(bus->requests(), QStringList{"4006000100000300 010001"});
    QCOMPARE(bus->open_handles(), 1);
}

void UsbBusContractTest::descriptors_come_from_the_device_data() {
    QTest::addColumn<BusKind>("kind");
    add_rows("rich arm");
}

void UsbBusContractTest::descriptors_come_from_the_device() {
    QFETCH(BusKind, kind);
    const DeviceModel model = rich_arm();
    const auto bus = make_bus(kind, {root_hub_model(), model});
    auto& usb = bus->usb();
    const auto arm = usb.open_first(arm_vendor_id, arm_product_id);
    QVERIFY(arm.ok());

    const auto device = usb.device_descriptor(*arm);
    QVERIFY(device.ok());
    QCOMPARE(device->bcdUSB, 0x0110);
    QCOMPARE(device->iSerialNumber, 3);
    QCOMPARE(device->bNumConfigurations, 2);

    for (int config_index = 0; config_index < 2; ++config_index) {
        const auto& expected = model.configurations[static_cast<std::size_t>(config_index)];
        const auto config = usb.configuration_descriptor(*arm, config_index);
        QVERIFY(config.ok());
        QCOMPARE(config->wTotalLength, expected.descriptor.wTotalLength);
        QCOMPARE(config->bConfigurationValue, expected.descriptor.bConfigurationValue);
        QCOMPARE(config->iConfiguration, expected.descriptor.iConfiguration);
        QCOMPARE(config->MaxPower, expected.descriptor.MaxPower);
        QCOMPARE(config->bmAttributes, expected.descriptor.bmAttributes);
    }

    const auto setting = usb.interface_descriptor(*arm, 0, 0, 1);
    QVERIFY(setting.ok());
    QCOMPARE(setting->bAlternateSetting, 1);
    QCOMPARE(setting->bNumEndpoints, 1);
    QCOMPARE(setting->bInterfaceClass, 0xFF);
    QCOMPARE(usb.interface_descriptor(*arm, 1, 0, 0)->bNumEndpoints, 0);

    const auto endpoint = usb.endpoint_descriptor(*arm, 0, 0, 1, 0);
    QVERIFY(endpoint.ok());
    QCOMPARE(endpoint->bEndpointAddress, 0x81);
    QCOMPARE(endpoint->bmAttributes, 0x03);
    QCOMPARE(endpoint->wMaxPacketSize, 64);
    QCOMPARE(endpoint->bInterval, 1);
    QCOMPARE(endpoint->bRefresh, 0);
    QCOMPARE(endpoint->bSynchAddress, 0);
}

void UsbBusContractTest::missing_descriptors_fail_data() {
    QTest::addColumn<BusKind>("kind");
    QTest::addColumn<int>("config");
    QTest::addColumn<int>("interface");
    QTest::addColumn<int>("alt_setting");
    QTest::addColumn<int>("endpoint");  // -1: read the configuration and the interface
    add_rows("third configuration", 2, 0, 0, -1);
    add_rows("negative configuration", -1, 0, 0, -1);
    add_rows("second interface", 0, 1, 0, -1);
    add_rows("third alternate setting", 0, 0, 2, -1);
    add_rows("second alternate setting of configuration 2", 1, 0, 1, -1);
    add_rows("second endpoint", 0, 0, 0, 1);
    add_rows("endpoint of an endpointless setting", 1, 0, 0, 0);
    add_rows("endpoint of a missing setting", 0, 0, 2, 0);
}

void UsbBusContractTest::missing_descriptors_fail() {
    QFETCH(BusKind, kind);
    QFETCH(int, config);
    QFETCH(int, interface);
    QFETCH(int, alt_setting);
    QFETCH(int, endpoint);
    const auto bus = make_bus(kind, {rich_arm()});
    auto& usb = bus->usb();
    const auto arm = usb.open_first(arm_vendor_id, arm_product_id);
    QVERIFY(arm.ok());
    if (endpoint < 0) {
        if (interface == 0 && alt_setting == 0) {
            QVERIFY(!usb.configuration_descriptor(*arm, config).ok());
        }
        QVERIFY(!usb.interface_descriptor(*arm, config, interface, alt_setting).ok());
    } else {
        QVERIFY(!usb.endpoint_descriptor(*arm, config, interface, alt_setting, endpoint).ok());
    }
}

void UsbBusContractTest::strings_data() {
    QTest::addColumn<BusKind>("kind");
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QByteArray>("text");
    add_rows("manufacturer", 1, true, QByteArray("ACME"));
    add_rows("8-bit character", 2, true, QByteArray("Caf\xe9"));
    add_rows("serial number", 3, true, QByteArray("ABCDEFGHIJ"));
    add_rows("index with no string", 4, false, QByteArray());
    add_rows("index 0 is no string", 0, false, QByteArray());
}

void UsbBusContractTest::strings() {
    QFETCH(BusKind, kind);
    QFETCH(int, index);
    QFETCH(bool, found);
    QFETCH(QByteArray, text);
    const auto bus = make_bus(kind, {rich_arm()});
    auto& usb = bus->usb();
    const auto arm = usb.open_first(arm_vendor_id, arm_product_id);
    QVERIFY(arm.ok());
    const auto string = usb.string_descriptor(*arm, index);
    QCOMPARE(string.ok(), found);
    if (found) {
        QCOMPARE(QByteArray::fromStdString(*string), text);
    }
}

void UsbBusContractTest::survey_of_hub_and_arm_data() {
    QTest::addColumn<BusKind>("kind");
    add_rows("hub and arm");
}

// The survey reads the same on every bus; its handles are all closed again.
void UsbBusContractTest::survey_of_hub_and_arm() {
    QFETCH(BusKind, kind);
    const auto bus = make_bus(kind, hub_and_arm());
    QCOMPARE(DeviceSurvey(bus->usb()).list_devices().join("\r\n") + "\r\n", hub_and_arm_survey());
    QCOMPARE(bus->open_handles(), 0);
}

void UsbBusContractTest::link_sends_and_lets_go_in_order_data() {
    QTest::addColumn<BusKind>("kind");
    add_rows("arm");
}

void UsbBusContractTest::link_sends_and_lets_go_in_order() {
    QFETCH(BusKind, kind);
    const auto bus = make_bus(kind, hub_and_arm());
    FakeArmReports reports;
    quillmar::testing::FakePacer pacer;
    ArmLight light;
    ArmLink link(bus->usb(), reports, pacer, light);
    QVERIFY(link.attach_arm());
    link.send_command(start_command(1, 0));
    link.release();
    QCOMPARE(bus->requests(),
             (QStringList{"set_configuration 1", "claim_interface 0", "4006000100000300 010000",
                          "4006000100000300 000000", "release_interface 0", "reset"}));
    QCOMPARE(reports.error, QString());
    QCOMPARE(bus->open_handles(), 0);
}

void UsbBusContractTest::transfer_faults_give_their_line_once_data() {
    QTest::addColumn<BusKind>("kind");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("error");
    add_rows("time-out", Fault::time_out, QString("Sent: ( 1, 0, 0) Return value -116\r\n"));
    add_rows("protocol error", Fault::protocol_error,
             QString("Sent: ( 1, 0, 0) Return value -5\r\n"));
    add_rows("short transfer", Fault::short_transfer,
             QString("Sent: ( 1, 0, 0) Return value  2\r\n"));
}

void UsbBusContractTest::transfer_faults_give_their_line_once() {
    QFETCH(BusKind, kind);
    QFETCH(Fault, fault);
    QFETCH(QString, error);
    const auto devices = hub_and_arm();
    const auto bus = make_bus(kind, devices);
    FakeArmReports reports;
    quillmar::testing::FakePacer pacer;
    ArmLight light;
    ArmLink link(bus->usb(), reports, pacer, light);
    QVERIFY(link.attach_arm());
    bus->fail_next_transfer(devices[1], fault);
    QElapsedTimer clock;
    clock.start();
    link.send_command(start_command(1, 0));
    if (kind == BusKind::libusb && fault == Fault::time_out) {
        QVERIFY(clock.elapsed() >= 19);
        QVERIFY(clock.elapsed() < 1000);
    }
    // The failed transfer leaves nothing behind: the next one goes through.
    link.send_command(stop_command(0));
    QCOMPARE(reports.error, error);
}

void UsbBusContractTest::unplugged_arm_fails_cleanly_and_plugs_in_again_data() {
    QTest::addColumn<BusKind>("kind");
    add_rows("arm");
}

void UsbBusContractTest::unplugged_arm_fails_cleanly_and_plugs_in_again() {
    QFETCH(BusKind, kind);
    const auto devices = hub_and_arm();
    const auto bus = make_bus(kind, devices);
    FakeArmReports reports;
    quillmar::testing::FakePacer pacer;
    ArmLight light;
    ArmLink link(bus->usb(), reports, pacer, light);
    QVERIFY(link.attach_arm());
    bus->unplug(devices[1]);
    link.send_command(stop_command(1));

    // Release runs all its steps on the old handle and lets it go.
    link.release();
    QCOMPARE(reports.error, QStringLiteral("Sent: ( 0, 0, 1) Return value -19\r\n"
                                           "Sent: ( 0, 0, 0) Return value -19\r\n"));
    QCOMPARE(bus->open_handles(), 0);
    QVERIFY(bus->wait_listed(arm_vendor_id, arm_product_id, false));
    QCOMPARE(bus->usb().open_first(arm_vendor_id, arm_product_id).error(), UsbError::no_device);

    bus->plug(arm_device_model(1, 3));
    QVERIFY(bus->wait_listed(arm_vendor_id, arm_product_id, true));
    QVERIFY(link.attach_arm());
    reports.error.clear();
    link.send_command(start_command(2, 0));
    QCOMPARE(bus->requests().last(), QStringLiteral("4006000100000300 020000"));
    QCOMPARE(reports.error, QString());
}

void UsbBusContractTest::going_and_submitted_are_told_once_data() {
    QTest::addColumn<BusKind>("kind");
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("told");  // 1: `going` and `submitted` are told; 0: neither
    add_rows("taken", QString("taken"), 1);
    add_rows("timed out", QString("timed out"), 1);
    add_rows("closed handle", QString("closed handle"), 0);
}

// A movement is timed from the moment its start's request goes, and its stop is sent as long after
// from the same moment of its own: that moment comes once for a request to a device that is
// there, before the device has it, and its submission's end after.
void UsbBusContractTest::going_and_submitted_are_told_once() {
    QFETCH(BusKind, kind);
    QFETCH(QString, what);
    QFETCH(int, told);
    const auto devices = hub_and_arm();
    const auto bus = make_bus(kind, devices);
    const auto arm = bus->usb().open_first(arm_vendor_id, arm_product_id);
    QVERIFY(arm.ok());
    QVERIFY(bus->usb().claim_interface(*arm, 0).ok());
    if (what == QStringLiteral("timed out")) {
        bus->fail_next_transfer(devices[1], Fault::time_out);
    } else if (what == QStringLiteral("closed handle")) {
        QVERIFY(bus->usb().close(*arm).ok());
    }
    std::vector<TransferStep> steps;
    QElapsedTimer clock;
    clock.start();
    qint64 told_at = -1;
    const qsizetype requests_before = bus->requests().size();
    qsizetype requests_when_told = -1;
    const auto result = bus->usb().control_transfer(
        *arm, command_setup, command_bytes, ArmLink::transfer_timeout, [&](TransferStep step) {
            steps.push_back(step);
            told_at = clock.elapsed();
            if (step == TransferStep::going) {
                requests_when_told = bus->requests().size();
            }
        });
    const qint64 returned_at = clock.elapsed();
    const std::vector<TransferStep> both{TransferStep::going, TransferStep::submitted};
    QCOMPARE(steps, told == 1 ? both : std::vector<TransferStep>{});
    if (told == 1) {
        QCOMPARE(requests_when_told, requests_before);
    }
    if (what == QStringLiteral("taken")) {
        QCOMPARE(bus->requests().size(), requests_before + 1);
    }
    if (kind == BusKind::libusb && what == QStringLiteral("timed out")) {
        // Told as the request was submitted, not when the answer's 20 ms had run out.
        QVERIFY2(returned_at - told_at >= 19, qPrintable(QString::number(returned_at - told_at)));
    }
    QCOMPARE(result.ok(), what == QStringLiteral("taken"));
}

int main(int argc, char** argv) {
    run_under_umockdev(argv);
    QCoreApplication app(argc, argv);
    UsbBusContractTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "usb_bus_contract_test.moc"
