// The survey report of the emulated root hub and arm, as the message pane shows it.
#pragma once

#include <QString>
#include <QStringList>

namespace quillmar::testing {

// The hub's section, from its "Device 0" line on.
inline const QStringList hub_lines{
    "Device 0",
    "-- VID             : 1D6B",
    "-- PID             : 2 ",
    "-- Manufacturer    : Linux xhci-hcd ",
    "-- Product         : EHCI Host Controller ",
    "- Serial  nmbr    : 0000:00:1d.0 ",
    "-- USB version     : 2.0",
    "-- Device Class    : 9",
    "-- Subclass        : 0",
    "--- Configuration   : 0",
    "--- Total Length    : 25",
    "--- Num interfaces  : 1",
    "--- Config. Value   : 1",
    "--- Configuration   : 0",
    "--- Attributes      : E0",
    "--- Max Power       : 0",
    "---- Interface         : 0/0",
    "---- Alternate setting : 0",
    "---- NumEndpoints      : 1",
    "---- InterfaceClass    : 9",
    "---- InterfaceSubClass : 0",
    "---- InterfaceProtocol : 0",
    "---- Interface         : 0",
    "----- Endpoint    : 0",
    "----- Address     : 81",
    "----- Attributes  : 3",
    "----- Packetsize  : 4",
    "----- Interval    : C",
    "----- Refresh     : 0",
    "----- Syncaddress : 0",
};

// The arm's section after its "Device " line.
inline const QStringList arm_lines{
    "-- VID             : 1267",
    "-- PID             : 0 ",
    "-- Manufacturer    : not specified",
    "-- Product         : not specified",
    "-- Serial  nmbr    : not specified",
    "-- USB version     : 1.1",
    "-- Device Class    : 0",
    "-- Subclass        : 0",
    "--- Configuration   : 0",
    "--- Total Length    : 25",
    "--- Num interfaces  : 1",
    "--- Config. Value   : 1",
    "--- Configuration   : 0",
    "--- Attributes      : 80",
    "--- Max Power       : 50",
    "---- Interface         : 0/0",
    "---- Alternate setting : 0",
    "---- NumEndpoints      : 1",
    "---- InterfaceClass    : 255",
    "---- InterfaceSubClass : 0",
    "---- InterfaceProtocol : 0",
    "---- Interface         : 0",
    "----- Endpoint    : 0",
    "----- Address     : 81",
    "----- Attributes  : 3",
    "----- Packetsize  : 1",
    "----- Interval    : A",
    "----- Refresh     : 0",
    "----- Syncaddress : 0",
};

// The whole report: the two counts of a first scan, an empty line, the hub, then the arm.
inline QString hub_and_arm_survey() {
    const QStringList lines = QStringList{"New Busses   1", "New Devices  2", ""} + hub_lines +
                              QStringList{"Device 1"} + arm_lines;
    return lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
}

}  // namespace quillmar::testing
