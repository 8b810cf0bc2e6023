// Arms coming and going as udev tells them: from its events, and from rescans of sysfs where no
// udev daemon sends any.
#include <QCoreApplication>
#include <QTest>

#include "armlink/arm_device.h"
#include "armlink/arm_ids.h"
#include "umockdev/umockdev_bus.h"
#include "usb/udev_presence.h"

using namespace quillmar;
using namespace quillmar::testing;

namespace {

enum class Change { none, plug_arm, plug_hub, unplug_arm };

QString text_of(DeviceLocation where) {
    return QStringLiteral("%1-%2").arg(where.bus).arg(where.address);
}

QStringList present_text(const DevicePresence& presence) {
    QStringList out;
    for (const auto where : presence.present()) {
        out << text_of(where);
    }
    return out;
}

}  // namespace

Q_DECLARE_METATYPE(quillmar::UdevPresence::Source)
Q_DECLARE_METATYPE(Change)

class UdevPresenceTest : public QObject {
    Q_OBJECT
  private slots:
    void arms_arrive_and_leave_data();
    void arms_arrive_and_leave();
};

void UdevPresenceTest::arms_arrive_and_leave_data() {
    QTest::addColumn<UdevPresence::Source>("source");
    QTest::addColumn<bool>("arm_at_start");  // at 1-2, beside the root hub
    QTest::addColumn<Change>("change");
    QTest::addColumn<QStringList>("heard");
    QTest::addColumn<QStringList>("present");  // after the change
    using Source = UdevPresence::Source;
    for (const auto source : {Source::events, Source::rescans}) {
        const char* name = source == Source::events ? "events" : "rescans";
        QTest::addRow("%s: arm plugged", name) << source << false << Change::plug_arm
                                               << QStringList{"arrived 1-3"} << QStringList{"1-3"};
        QTest::addRow("%s: hub plugged", name)
            << source << false << Change::plug_hub << QStringList{} << QStringList{};
        QTest::addRow("%s: arm unplugged", name)
            << source << true << Change::unplug_arm << QStringList{"left 1-2"} << QStringList{};
        QTest::addRow("%s: arm there at start", name)
            << source << true << Change::none << QStringList{} << QStringList{"1-2"};
    }
}

void UdevPresenceTest::arms_arrive_and_leave() {
    QFETCH(UdevPresence::Source, source);
    QFETCH(bool, arm_at_start);
    QFETCH(Change, change);
    QFETCH(QStringList, heard);
    QFETCH(QStringList, present);
    UmockdevBus bus;
    bus.plug(root_hub_model());
    if (arm_at_start) {
        bus.plug(arm_device_model(1, 2));
    }
    UdevPresence presence(arm_vendor_id, arm_product_id, source);
    // Events that cannot be listened to would turn into rescans: that must show here.
    QCOMPARE(presence.source(), source);
    QCOMPARE(present_text(presence), arm_at_start ? QStringList{"1-2"} : QStringList{});
    QStringList signals_heard;
    connect(&presence, &DevicePresence::arrived,
            [&](DeviceLocation where) { signals_heard << "arrived " + text_of(where); });
    connect(&presence, &DevicePresence::left,
            [&](DeviceLocation where) { signals_heard << "left " + text_of(where); });

    switch (change) {
        case Change::none:
            break;
        case Change::plug_arm:
            bus.plug(arm_device_model(1, 3));
            break;
        case Change::plug_hub:
            bus.plug(root_hub_model(2));
            break;
        case Change::unplug_arm:
            bus.unplug(1, 2);
            break;
    }
    if (source == UdevPresence::Source::rescans) {
        presence.rescan();
    } else {
        // Only the event loop delivers events; the wait after them lets a stray one show.
        QVERIFY(QTest::qWaitFor([&] { return signals_heard.size() >= heard.size(); }, 2000));
        QTest::qWait(100);
    }
    QCOMPARE(signals_heard, heard);
    QCOMPARE(present_text(presence), present);
}

int main(int argc, char** argv) {
    run_under_umockdev(argv);
    QCoreApplication app(argc, argv);
    UdevPresenceTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "udev_presence_test.moc"
