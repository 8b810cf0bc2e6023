#include <QtTest>

#include <array>
#include <cstring>

#include "armlink/emulated_usb.h"

using namespace quillmar;

namespace {

DeviceModel device_at(int bus, int address, std::uint16_t vendor_id, bool openable = true) {
    DeviceModel model = arm_device_model(bus, address);
    model.descriptor.idVendor = vendor_id;
    model.openable = openable;
    return model;
}

int vendor_of(EmulatedUsb& usb, int handle) {
    DeviceDescriptor record;
    return usb.vb_usb_get_device_descriptor(handle, record) == 0 ? -1 : record.idVendor;
}

int send(EmulatedUsb& usb, int handle) {
    std::array<char, 3> bytes{1, 0, 1};
    return usb.vb_usb_control_msg(handle, 0x40, 6, 0x100, 0, bytes.data(), 3, 20);
}

}  // namespace

class EmulatedUsbTest : public QObject {
    Q_OBJECT

    double now = 0.0;
    EmulatedUsb make(std::vector<DeviceModel> devices) {
        return EmulatedUsb([this] { return now; }, std::move(devices));
    }

  private slots:
    void open_by_number_counts_openable_devices_in_bus_order_data() {
        QTest::addColumn<QList<bool>>("openable");
        QTest::addColumn<QList<int>>("vendors");
        // Devices are plugged as 2:1 (0x21), 1:3 (0x13), 1:1 (0x11) and listed by bus, address.
        QTest::newRow("all openable")
            << QList<bool>{true, true, true} << QList<int>{0x11, 0x13, 0x21};
        QTest::newRow("first in order denied")
            << QList<bool>{true, true, false} << QList<int>{0x13, 0x21};
        QTest::newRow("middle denied") << QList<bool>{true, false, true} << QList<int>{0x11, 0x21};
        QTest::newRow("none openable") << QList<bool>{false, false, false} << QList<int>{};
    }
    void open_by_number_counts_openable_devices_in_bus_order() {
        QFETCH(QList<bool>, openable);
        QFETCH(QList<int>, vendors);
        auto usb = make({device_at(2, 1, 0x21, openable[0]), device_at(1, 3, 0x13, openable[1]),
                         device_at(1, 1, 0x11, openable[2])});
        QList<int> seen;
        for (int n = 0;; ++n) {
            const int handle = usb.vb_usb_open(n, -1, -1);
            if (handle == 0) {
                QCOMPARE(usb.last_open_error(), usb_error::no_device);
                break;
            }
            seen << vendor_of(usb, handle);
            usb.vb_usb_close(handle);
        }
        QCOMPARE(seen, vendors);
        QCOMPARE(usb.open_handle_count(), 0);
    }

    void open_by_id_data() {
        QTest::addColumn<bool>("arm_openable");
        QTest::addColumn<int>("vendor");
        QTest::addColumn<int>("product");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<int>("error");
        QTest::newRow("arm") << true << 0x1267 << 0 << true << 0;
        QTest::newRow("hub") << true << 0x1d6b << 2 << true << 0;
        QTest::newRow("arm denied") << false << 0x1267 << 0 << false << usb_error::access;
        QTest::newRow("wrong product") << true << 0x1267 << 1 << false << usb_error::no_device;
    }
    void open_by_id() {
        QFETCH(bool, arm_openable);
        QFETCH(int, vendor);
        QFETCH(int, product);
        QFETCH(bool, opens);
        QFETCH(int, error);
        auto devices = EmulatedUsb::hub_and_arm();
        devices[1].openable = arm_openable;
        auto usb = make(devices);
        const int handle = usb.vb_usb_open(0, vendor, product);
        QCOMPARE(handle != 0, opens);
        QCOMPARE(usb.last_open_error(), error);
        if (opens) {
            QCOMPARE(vendor_of(usb, handle), vendor);
        }
    }

    void rescan_counts_what_changed_since_the_last_scan() {
        auto usb = make(EmulatedUsb::hub_and_arm());
        QCOMPARE(usb.usb_find_busses(), 1);
        QCOMPARE(usb.usb_find_devices(), 2);
        QCOMPARE(usb.usb_find_busses(), 0);
        QCOMPARE(usb.usb_find_devices(), 0);

        usb.plug(device_at(2, 1, 0x21));
        QCOMPARE(usb.usb_find_busses(), 1);
        QCOMPARE(usb.usb_find_devices(), 1);

        usb.unplug(0x21, 0);
        usb.unplug(arm_vendor_id, arm_product_id);
        usb.plug(arm_device_model(1, 3));  // the arm comes back: one gone, one new
        QCOMPARE(usb.usb_find_busses(), 1);
        QCOMPARE(usb.usb_find_devices(), 3);
    }

    void handles_are_never_reused() {
        auto usb = make(EmulatedUsb::hub_and_arm());
        const int first = usb.vb_usb_open(0, arm_vendor_id, arm_product_id);
        QCOMPARE(first, 1);
        QCOMPARE(usb.vb_usb_close(first), 0);
        const int second = usb.vb_usb_open(0, arm_vendor_id, arm_product_id);
        QCOMPARE(second, 2);
        QCOMPARE(usb.open_handle_count(), 1);

        QCOMPARE(usb.vb_usb_close(first), usb_error::no_device);
        QCOMPARE(send(usb, first), usb_error::no_device);
        QCOMPARE(send(usb, 0), usb_error::no_device);
        QCOMPARE(vendor_of(usb, first), -1);
        QCOMPARE(usb.vb_usb_claim_interface(first, 0), usb_error::no_device);
        QCOMPARE(send(usb, second), 3);
    }

    void injected_failures_then_normal_transfers_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("result");
        QTest::newRow("time-out") << 1 << usb_error::timeout;
        QTest::newRow("input/output, twice") << 2 << usb_error::io;
        QTest::newRow("short") << 1 << 2;
    }
    void injected_failures_then_normal_transfers() {
        QFETCH(int, count);
        QFETCH(int, result);
        auto usb = make(EmulatedUsb::hub_and_arm());
        QList<int> observed;
        usb.on_transfer([&](const EmulatedUsb::Transfer& t) { observed << t.result; });
        const int handle = usb.vb_usb_open(0, arm_vendor_id, arm_product_id);
        usb.fail_next_transfers(count, result);
        QCOMPARE(send(usb, 0), usb_error::no_device);  // does not reach a device: not counted
        QList<int> expected;
        for (int i = 0; i < count; ++i) {
            QCOMPARE(send(usb, handle), result);
            expected << result;
        }
        QCOMPARE(send(usb, handle), 3);
        expected << 3;
        QCOMPARE(observed, expected);
        QCOMPARE(static_cast<int>(usb.transfers().size()), count + 2);
    }

    void transfer_is_recorded_with_its_bytes_and_time() {
        auto usb = make(EmulatedUsb::hub_and_arm());
        const int handle = usb.vb_usb_open(0, arm_vendor_id, arm_product_id);
        now = 12.5;
        send(usb, handle);
        QCOMPARE(usb.transfers().size(), std::size_t{1});
        const auto& t = usb.transfers().front();
        QCOMPARE(t.handle, handle);
        QCOMPARE(t.request_type, 0x40);
        QCOMPARE(t.request, 6);
        QCOMPARE(t.value, 0x100);
        QCOMPARE(t.index, 0);
        QCOMPARE(t.data, (std::vector<std::uint8_t>{1, 0, 1}));
        QCOMPARE(t.timeout_ms, 20);
        QCOMPARE(t.result, 3);
        QCOMPARE(t.time, 12.5);
        const auto& call = usb.calls().back();
        QCOMPARE(call.routine, std::string("vb_usb_control_msg"));
        QCOMPARE(call.arguments, (std::vector<int>{handle, 0x40, 6, 0x100, 0, 3, 20}));
        QCOMPARE(call.result, 3);
        usb.clear_logs();
        QVERIFY(usb.transfers().empty() && usb.calls().empty());
    }

    void unplugged_device_fails_its_open_handle() {
        auto usb = make(EmulatedUsb::hub_and_arm());
        int observed = 0;
        usb.on_transfer([&](const EmulatedUsb::Transfer&) { ++observed; });
        const int handle = usb.vb_usb_open(0, arm_vendor_id, arm_product_id);
        usb.unplug(arm_vendor_id, arm_product_id);
        QCOMPARE(send(usb, handle), usb_error::no_device);
        QCOMPARE(observed, 0);
        QCOMPARE(vendor_of(usb, handle), -1);
        QCOMPARE(usb.vb_usb_open(0, arm_vendor_id, arm_product_id), 0);
        QCOMPARE(usb.vb_usb_close(handle), 0);
        QCOMPARE(usb.open_handle_count(), 0);
    }

    void descriptor_indexes_out_of_range_give_zero_data() {
        QTest::addColumn<int>("configuration");
        QTest::addColumn<int>("interface");
        QTest::addColumn<int>("alternate");
        QTest::addColumn<int>("endpoint");
        QTest::addColumn<bool>("found");
        QTest::newRow("present") << 0 << 0 << 0 << 0 << true;
        QTest::newRow("configuration") << 1 << 0 << 0 << 0 << false;
        QTest::newRow("negative configuration") << -1 << 0 << 0 << 0 << false;
        QTest::newRow("interface") << 0 << 1 << 0 << 0 << false;
        QTest::newRow("alternate setting") << 0 << 0 << 1 << 0 << false;
        QTest::newRow("endpoint") << 0 << 0 << 0 << 1 << false;
    }
    void descriptor_indexes_out_of_range_give_zero() {
        QFETCH(int, configuration);
        QFETCH(int, interface);
        QFETCH(int, alternate);
        QFETCH(int, endpoint);
        QFETCH(bool, found);
        auto usb = make(EmulatedUsb::hub_and_arm());
        const int handle = usb.vb_usb_open(0, arm_vendor_id, arm_product_id);
        InterfaceDescriptor iface;
        EndpointDescriptor end;
        const bool interface_found = usb.vb_usb_get_interface_descriptor(
                                         handle, configuration, interface, alternate, iface) != 0;
        const bool endpoint_found =
            usb.vb_usb_get_endpoint_descriptor(handle, configuration, interface, alternate,
                                               endpoint, end) != 0;
        QCOMPARE(endpoint_found, found);
        QCOMPARE(interface_found, found || endpoint > 0);
        if (found) {
            QCOMPARE(iface.bInterfaceClass, 0xFF);
            QCOMPARE(end.bEndpointAddress, 0x81);
        }
    }

    void strings_are_copied_with_a_closing_zero_data() {
        QTest::addColumn<int>("string_index");
        QTest::addColumn<int>("buffer_length");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("whole") << 2 << 255 << QByteArray("EHCI Host Controller");
        QTest::newRow("truncated") << 2 << 5 << QByteArray("EHCI");
        QTest::newRow("index 0") << 0 << 255 << QByteArray();
        QTest::newRow("unknown index") << 9 << 255 << QByteArray();
    }
    void strings_are_copied_with_a_closing_zero() {
        QFETCH(int, string_index);
        QFETCH(int, buffer_length);
        QFETCH(QByteArray, text);
        auto usb = make(EmulatedUsb::hub_and_arm());
        const int handle = usb.vb_usb_open(0, 0x1d6b, 2);
        std::array<char, 256> buffer;
        buffer.fill('#');
        const int result =
            usb.vb_usb_get_string_simple(handle, string_index, buffer.data(), buffer_length);
        QCOMPARE(result, text.size());
        if (result > 0) {
            QCOMPARE(QByteArray(buffer.data()), text);
            QCOMPARE(buffer[static_cast<std::size_t>(buffer_length)], '#');
        }
    }

    void unreadable_device_gives_no_descriptors() {
        auto usb = make(EmulatedUsb::hub_and_arm());
        usb.set_unreadable(0x1d6b, 2, true);
        const int handle = usb.vb_usb_open(0, 0x1d6b, 2);
        QVERIFY(handle != 0);
        ConfigurationDescriptor configuration;
        std::array<char, 256> buffer{};
        QCOMPARE(vendor_of(usb, handle), -1);
        QCOMPARE(usb.vb_usb_get_configuration_descriptor(handle, 0, configuration), 0);
        QCOMPARE(usb.vb_usb_get_string_simple(handle, 2, buffer.data(), 255), 0);
        usb.set_unreadable(0x1d6b, 2, false);
        QCOMPARE(vendor_of(usb, handle), 0x1d6b);
    }
};

QTEST_GUILESS_MAIN(EmulatedUsbTest)
#include "emulated_usb_test.moc"
