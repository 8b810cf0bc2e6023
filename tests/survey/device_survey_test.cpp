#include <QElapsedTimer>
#include <QtTest>

#include "armlink/arm_device.h"
#include "support/hub_and_arm_survey.h"
#include "survey/device_survey.h"
#include "usb/emulated_bus.h"

using namespace quillmar;
using quillmar::testing::arm_lines;
using quillmar::testing::hub_lines;

namespace {

QString crlf_lines(const QStringList& lines) {
    QString text;
    for (const auto& line : lines) {
        text += line + QStringLiteral("\r\n");
    }
    return text;
}

QStringList endpoint_lines(int index, const QStringList& hex_values) {
    QStringList lines{QStringLiteral("----- Endpoint    : ") + QString::number(index)};
    const QStringList labels{
        "----- Address     : ", "----- Attributes  : ", "----- Packetsize  : ",
        "----- Interval    : ", "----- Refresh     : ", "----- Syncaddress : "};
    for (qsizetype i = 0; i < labels.size(); ++i) {
        lines << labels[i] + hex_values[i];
    }
    return lines;
}

// A bus whose library misbehaves in ways the survey must survive.
class FaultyUsb : public EmulatedBus {
  public:
    using EmulatedBus::EmulatedBus;
    bool endless_alternate_settings = false;
    bool endpoints_fail = false;

    UsbResult<InterfaceDescriptor> interface_descriptor(DeviceHandle device, int config_index,
                                                        int interface_index,
                                                        int alt_setting) override {
        return EmulatedBus::interface_descriptor(device, config_index, interface_index,
                                                 endless_alternate_settings ? 0 : alt_setting);
    }
    UsbResult<EndpointDescriptor> endpoint_descriptor(DeviceHandle device, int config_index,
                                                      int interface_index, int alt_setting,
                                                      int endpoint_index) override {
        if (endpoints_fail) {
            return UsbError::io;
        }
        return EmulatedBus::endpoint_descriptor(device, config_index, interface_index, alt_setting,
                                                endpoint_index);
    }
};

}  // namespace

class DeviceSurveyTest : public QObject {
    Q_OBJECT

    // Runs one survey and checks that it left no device open.
    static QString survey(EmulatedBus& usb) {
        const QString text = crlf_lines(DeviceSurvey(usb).list_devices());
        if (usb.open_handle_count() != 0) {
            qWarning("survey left %d handles open", usb.open_handle_count());
            return {};
        }
        return text;
    }

    // The lines of a survey of one device, after the count lines and the empty line.
    static QStringList single_device_lines(DeviceModel device) {
        EmulatedBus usb([] { return 0.0; }, {std::move(device)});
        return survey(usb).split(QStringLiteral("\r\n")).mid(3, -1);
    }

  private slots:
    void hub_and_arm_report_is_exact() {
        EmulatedBus usb([] { return 0.0; }, hub_and_arm());
        const QString expected = crlf_lines(QStringList{"New Busses   1", "New Devices  2", ""} +
                                            hub_lines + QStringList{"Device 1"} + arm_lines);
        QCOMPARE(survey(usb), expected);
    }

    void second_survey_reports_no_change() {
        EmulatedBus usb([] { return 0.0; }, hub_and_arm());
        DeviceSurvey devices(usb);
        const QString first = crlf_lines(devices.list_devices());
        QString expected = first;
        expected.replace(QStringLiteral("Busses   1"), QStringLiteral("Busses   0"));
        expected.replace(QStringLiteral("Devices  2"), QStringLiteral("Devices  0"));
        QCOMPARE(crlf_lines(devices.list_devices()), expected);
        QCOMPARE(usb.open_handle_count(), 0);
    }

    void empty_bus_gives_only_the_counts() {
        EmulatedBus usb([] { return 0.0; });
        QCOMPARE(survey(usb), QStringLiteral("New Busses   0\r\nNew Devices  0\r\n\r\n"));
    }

    void device_numbers_skip_unreadable_and_unopenable_devices() {
        DeviceModel denied = arm_device_model(1, 3);
        denied.descriptor.idVendor = 0x0DEF;
        denied.openable = false;
        DeviceModel unreadable = arm_device_model(1, 4);
        unreadable.descriptor.idVendor = 0x0BAD;
        EmulatedBus usb([] { return 0.0; },
                        {root_hub_model(1), denied, unreadable, arm_device_model(1, 5)});
        usb.set_unreadable(0x0BAD, 0, true);
        const QString text = survey(usb);
        // Numbers count the devices this user may open; the unreadable one uses up number 1.
        const QStringList headings =
            text.split(QStringLiteral("\r\n"))
                .filter(QRegularExpression(QStringLiteral("^Device |VID")));
        QCOMPARE(headings, (QStringList{"Device 0", "-- VID             : 1D6B", "Device 2",
                                        "-- VID             : 1267"}));
        QVERIFY(!text.contains(QStringLiteral("DEF")));
    }

    void strings_data() {
        QTest::addColumn<QByteArray>("manufacturer");
        QTest::addColumn<int>("manufacturer_index");
        QTest::addColumn<QString>("line");
        QTest::newRow("four letters")
            << QByteArray("Acme") << 1 << QStringLiteral("-- Manufacturer    : Acme ");
        QTest::newRow("no string at that index")
            << QByteArray("Acme") << 7 << QStringLiteral("-- Product         : not specified");
        QTest::newRow("longest string the buffer holds")
            << QByteArray(300, 'x') << 1
            << QStringLiteral("-- Manufacturer    : ") + QString(254, QLatin1Char('x')) +
                   QLatin1Char(' ');
        QTest::newRow("8-bit characters")
            << QByteArray("Gr\xfcn") << 1 << QStringLiteral("-- Manufacturer    : Gr\u00fcn ");
        // A device must not be able to break its line and forge lines of its own.
        QTest::newRow("CR LF cannot add a line")
            << QByteArray("Acme\r\nDevice 7\r\n-- VID             : DEAD") << 1
            << QStringLiteral(
                   "-- Manufacturer    : Acme\?\?Device 7\?\?-- VID             : DEAD ");
        QTest::newRow("control characters")
            << QByteArray("\x01\t\x1b\x7f\x80\x9f\xa0~") << 1
            << QStringLiteral("-- Manufacturer    : ") + QString(6, QLatin1Char('?')) +
                   QStringLiteral("\u00a0~ ");
    }
    void strings() {
        QFETCH(QByteArray, manufacturer);
        QFETCH(int, manufacturer_index);
        QFETCH(QString, line);
        DeviceModel arm = arm_device_model();
        arm.strings = {{1, manufacturer.toStdString()}};
        arm.descriptor.iManufacturer = static_cast<std::uint8_t>(manufacturer_index);
        const QStringList lines = single_device_lines(arm);
        // A string that cannot be read leaves its line out: the product line follows the PID.
        QCOMPARE(lines.at(2), QStringLiteral("-- PID             : 0 "));
        QCOMPARE(lines.at(3), line);
    }

    void four_letter_manufacturer_line_is_26_characters() {
        DeviceModel arm = arm_device_model();
        arm.strings = {{1, "Acme"}};
        arm.descriptor.iManufacturer = 1;
        QCOMPARE(single_device_lines(arm).at(3).size(), 26);
    }

    void two_configurations_each_have_a_section() {
        DeviceModel arm = arm_device_model();
        arm.configurations.push_back(arm.configurations.front());
        arm.configurations[1].descriptor.bConfigurationValue = 2;
        arm.configurations[1].descriptor.iConfiguration = 4;
        complete_model(arm);
        const QStringList sections = single_device_lines(arm).filter(QStringLiteral("--- Con"));
        QCOMPARE(sections, (QStringList{"--- Configuration   : 0", "--- Config. Value   : 1",
                                        "--- Configuration   : 0", "--- Configuration   : 1",
                                        "--- Config. Value   : 2", "--- Configuration   : 4"}));
    }

    void alternate_settings_each_have_a_section() {
        DeviceModel arm = arm_device_model();
        auto& settings = arm.configurations[0].interfaces[0].settings;
        settings.push_back(settings.front());
        settings[1].endpoints.front().bEndpointAddress = 0x82;
        settings[1].endpoints.push_back(settings[1].endpoints.front());
        settings[1].endpoints[1].bEndpointAddress = 0x03;
        complete_model(arm);
        const QStringList lines = single_device_lines(arm);
        QVERIFY(lines.contains(QStringLiteral("---- Interface         : 0/0")));
        const auto second = lines.indexOf(QStringLiteral("---- Interface         : 0/1"));
        QVERIFY(second > 0);
        const QStringList expected =
            QStringList{"---- Interface         : 0/1", "---- Alternate setting : 1",
                        "---- NumEndpoints      : 2",   "---- InterfaceClass    : 255",
                        "---- InterfaceSubClass : 0",   "---- InterfaceProtocol : 0",
                        "---- Interface         : 0"} +
            endpoint_lines(0, {"82", "3", "1", "A", "0", "0"}) +
            endpoint_lines(1, {"3", "3", "1", "A", "0", "0"}) + QStringList{""};
        QCOMPARE(lines.mid(second), expected);
    }

    void numbers_in_hex_and_decimal_data() {
        QTest::addColumn<int>("packet_size");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("interval");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("common") << 64 << 0x81 << 10 << QStringList{"81", "3", "40", "A", "0", "0"};
        QTest::newRow("zero and largest")
            << 0xFFFF << 0 << 255 << QStringList{"0", "3", "FFFF", "FF", "0", "0"};
    }
    void numbers_in_hex_and_decimal() {
        QFETCH(int, packet_size);
        QFETCH(int, address);
        QFETCH(int, interval);
        QFETCH(QStringList, shown);
        DeviceModel arm = arm_device_model();
        auto& endpoint = arm.configurations[0].interfaces[0].settings[0].endpoints[0];
        endpoint.wMaxPacketSize = static_cast<std::uint16_t>(packet_size);
        endpoint.bEndpointAddress = static_cast<std::uint8_t>(address);
        endpoint.bInterval = static_cast<std::uint8_t>(interval);
        const QStringList lines = single_device_lines(arm);
        const auto first = lines.indexOf(QStringLiteral("----- Endpoint    : 0"));
        QCOMPARE(lines.mid(first, 7), endpoint_lines(0, shown));
    }

    void total_length_is_signed() {
        DeviceModel arm = arm_device_model();
        arm.configurations[0].descriptor.wTotalLength = 0xFFFE;
        QVERIFY(single_device_lines(arm).contains(QStringLiteral("--- Total Length    : -2")));
    }

    void no_configurations_gives_no_configuration_lines() {
        DeviceModel arm = arm_device_model();
        arm.configurations.clear();
        complete_model(arm);
        QCOMPARE(single_device_lines(arm),
                 (QStringList{"Device 0"} + arm_lines.mid(0, 8) + QStringList{""}));
    }

    void failed_configuration_read_walks_the_last_good_record() {
        DeviceModel arm = arm_device_model();
        arm.descriptor.bNumConfigurations = 2;  // the second cannot be read
        EmulatedBus usb([] { return 0.0; }, {arm});
        survey(usb);
        QList<QList<int>> interface_reads;
        for (const auto& call : usb.calls()) {
            if (call.routine == "interface_descriptor") {
                interface_reads << QList<int>(call.arguments.begin() + 1, call.arguments.end());
            }
        }
        QCOMPARE(interface_reads, (QList<QList<int>>{{0, 0, 0}, {0, 0, 1}, {1, 0, 0}}));
    }

    void alternate_settings_end_after_the_last_possible_one() {
        FaultyUsb usb([] { return 0.0; }, {arm_device_model()});
        usb.endless_alternate_settings = true;
        const QString text = survey(usb);
        QCOMPARE(text.count(QStringLiteral("---- Alternate setting")), 256);
        QVERIFY(text.contains(QStringLiteral("---- Interface         : 0/255\r\n")));
    }

    void endpoint_read_error_shows_no_stale_record() {
        FaultyUsb usb([] { return 0.0; }, {arm_device_model()});
        survey(usb);  // leaves the endpoint record filled
        usb.endpoints_fail = true;
        QVERIFY(!survey(usb).contains(QStringLiteral("----- ")));
    }

    void version_text_data() {
        QTest::addColumn<int>("bcd_usb");
        QTest::addColumn<QString>("text");
        QTest::newRow("2.0") << 0x0200 << QStringLiteral("2.0");
        QTest::newRow("1.1") << 0x0110 << QStringLiteral("1.1");
        QTest::newRow("third digit dropped") << 0x0201 << QStringLiteral("2.0");
        QTest::newRow("3.2") << 0x0320 << QStringLiteral("3.2");
        QTest::newRow("hex digit") << 0x0A10 << QStringLiteral("A.1");
        QTest::newRow("four digits") << 0x1000 << QStringLiteral("1.00");
        QTest::newRow("four digits, third dropped") << 0x1234 << QStringLiteral("1.24");
        QTest::newRow("two digits") << 0x0010 << QStringLiteral("0.1");
        QTest::newRow("one digit") << 0x0001 << QStringLiteral("0.0");
        QTest::newRow("zero") << 0x0000 << QStringLiteral("0.0");
    }
    void version_text() {
        QFETCH(int, bcd_usb);
        QFETCH(QString, text);
        QCOMPARE(usb_version_text(static_cast<std::uint16_t>(bcd_usb)), text);
    }

    void fifty_devices_timing() {
        std::vector<DeviceModel> devices;
        for (int address = 1; address <= 50; ++address) {
            devices.push_back(arm_device_model(1, address));
        }
        EmulatedBus usb([] { return 0.0; }, devices);
        QElapsedTimer timer;
        timer.start();
        const QString text = survey(usb);
        qInfo("list_devices over 50 emulated devices: %.3f ms",
              static_cast<double>(timer.nsecsElapsed()) / 1e6);
        QVERIFY(text.contains(QStringLiteral("\r\nDevice 49\r\n")));
    }
};

QTEST_GUILESS_MAIN(DeviceSurveyTest)
#include "device_survey_test.moc"
