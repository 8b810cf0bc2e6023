// What only the emulated bus has: its logs, its observers, and the faults it can be told to show.
#include <QTest>

#include <array>

#include "armlink/arm_device.h"
#include "armlink/arm_ids.h"
#include "armlink/arm_link.h"
#include "usb/emulated_bus.h"

using namespace quillmar;

namespace {

std::array<std::uint8_t, 3> bytes{1, 0, 1};

UsbResult<int> send(EmulatedBus& usb, DeviceHandle device) {
    return usb.control_transfer(device, command_setup, bytes, std::chrono::milliseconds(20));
}

}  // namespace

class EmulatedBusTest : public QObject {
    Q_OBJECT

    double now = 0.0;

  private slots:
    void injected_failures_then_normal_transfers_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("result");
        QTest::newRow("time-out") << 1 << error_code(UsbError::timeout);
        QTest::newRow("input/output, twice") << 2 << error_code(UsbError::io);
        QTest::newRow("short") << 1 << 2;
    }
    void injected_failures_then_normal_transfers() {
        QFETCH(int, count);
        QFETCH(int, result);
        EmulatedBus usb([this] { return now; }, hub_and_arm());
        QList<int> observed;
        usb.on_transfer([&](const EmulatedBus::Transfer& t) { observed << t.result; });
        const auto arm = usb.open_first(arm_vendor_id, arm_product_id);
        usb.close(*usb.open_first(arm_vendor_id, arm_product_id));
        usb.fail_next_transfers(count, result);
        // A transfer that reaches no device is not one of the failures, and is not observed.
        QCOMPARE(send(usb, static_cast<DeviceHandle>(2)).error(), UsbError::no_device);
        QList<int> expected;
        for (int i = 0; i < count; ++i) {
            const auto sent = send(usb, *arm);
            QCOMPARE(sent ? *sent : error_code(sent.error()), result);
            expected << result;
        }
        QCOMPARE(*send(usb, *arm), 3);
        expected << 3;
        QCOMPARE(observed, expected);
        QCOMPARE(static_cast<int>(usb.transfers().size()), count + 2);
    }

    void transfer_is_recorded_with_its_bytes_and_time() {
        EmulatedBus usb([this] { return now; }, hub_and_arm());
        const auto arm = usb.open_first(arm_vendor_id, arm_product_id);
        now = 12.5;
        send(usb, *arm);
        QCOMPARE(usb.transfers().size(), std::size_t{1});
        const auto& t = usb.transfers().front();
        QCOMPARE(t.device, *arm);
        QVERIFY(t.setup == command_setup);
        QCOMPARE(t.data, (std::vector<std::uint8_t>{1, 0, 1}));
        QCOMPARE(t.timeout.count(), 20);
        QCOMPARE(t.result, 3);
        QCOMPARE(t.time, 12.5);
        const auto& call = usb.calls().back();
        QCOMPARE(call.routine, std::string("control_transfer"));
        QCOMPARE(call.arguments,
                 (std::vector<int>{static_cast<int>(*arm), 0x40, 6, 0x100, 0, 3, 20}));
        QCOMPARE(call.result, 3);
        usb.clear_logs();
        QVERIFY(usb.transfers().empty() && usb.calls().empty());
    }

    void unreadable_device_gives_no_descriptors() {
        EmulatedBus usb([this] { return now; }, hub_and_arm());
        usb.set_unreadable(0x1d6b, 2, true);
        const auto hub = usb.open_first(0x1d6b, 2);
        QVERIFY(hub.ok());
        QVERIFY(!usb.device_descriptor(*hub).ok());
        QVERIFY(!usb.configuration_descriptor(*hub, 0).ok());
        QVERIFY(!usb.string_descriptor(*hub, 2).ok());
        usb.set_unreadable(0x1d6b, 2, false);
        QCOMPARE(usb.device_descriptor(*hub)->idVendor, 0x1d6b);
    }
};

QTEST_GUILESS_MAIN(EmulatedBusTest)
#include "emulated_bus_test.moc"
