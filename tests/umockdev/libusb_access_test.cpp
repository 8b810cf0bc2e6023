#include <QTest>

#include "armlink/libusb_access.h"
#include "umockdev_bus.h"

using namespace quillmar;
using namespace quillmar::testing;

class LibusbAccessTest : public QObject {
    Q_OBJECT
  private slots:
    void smoke();
};

void LibusbAccessTest::smoke() {
    UmockdevBus bus;
    bus.plug(root_hub_model());
    bus.plug(arm_device_model());
    LibusbAccess usb;
    QCOMPARE(usb.vb_usb_init(), 0);
    usb.vb_usb_set_debug(255);
    QCOMPARE(usb.usb_find_busses(), 1);
    QCOMPARE(usb.usb_find_devices(), 2);
    const int h = usb.vb_usb_open(0, arm_vendor_id, arm_product_id);
    QVERIFY(h != 0);
    char bytes[3] = {1, 0, 0};
    QCOMPARE(usb.vb_usb_control_msg(h, 0x40, 6, 0x100, 0, bytes, 3, 20), 3);
    const int hub = usb.vb_usb_open(0, -1, -1);
    QVERIFY(hub != 0);
    char text[256] = {};
    QCOMPARE(usb.vb_usb_get_string_simple(hub, 2, text, 255), 20);
    QCOMPARE(QByteArray(text), QByteArray("EHCI Host Controller"));
    bus.fail_next(1, 2, Fault::time_out);
    QCOMPARE(usb.vb_usb_control_msg(h, 0x40, 6, 0x100, 0, bytes, 3, 20), -116);
    QCOMPARE(usb.vb_usb_control_msg(h, 0x40, 6, 0x100, 0, bytes, 3, 20), 3);
    for (auto& r : bus.requests()) {
        qDebug() << int(r.kind) << r.bus << r.address << r.setup[0] << r.setup[1] << r.data.size();
    }
}

int main(int argc, char** argv) {
    run_under_umockdev(argv);
    QCoreApplication app(argc, argv);
    LibusbAccessTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "libusb_access_test.moc"
