// Reading arm commands back out of what the emulated bus recorded.
#pragma once

#include <QString>
#include <QStringList>
#include <cmath>
#include <vector>

#include "usb/emulated_bus.h"

namespace quillmar::testing {

// The data bytes of a control transfer as "m,b,l".
inline QString command_text(const EmulatedBus::Transfer& transfer) {
    QStringList bytes;
    for (auto byte : transfer.data) {
        bytes << QString::number(byte);
    }
    return bytes.join(QLatin1Char(','));
}

// The data bytes of each control transfer, in the order they reached the bus.
inline QStringList sent_commands(const EmulatedBus& usb) {
    QStringList out;
    for (const auto& transfer : usb.transfers()) {
        out << command_text(transfer);
    }
    return out;
}

// Each command the arm took as "seconds m,b,l", the seconds since `start` to the millisecond.
inline QStringList timed_commands(const EmulatedBus& usb, double start) {
    QStringList out;
    for (const auto& transfer : usb.transfers()) {
        if (transfer.result >= 0) {
            out << QString::number(std::round((transfer.time - start) * 1000) / 1000) +
                       QLatin1Char(' ') + command_text(transfer);
        }
    }
    return out;
}

// Names of the routine calls other than transfers and descriptor reads, with their arguments.
inline QStringList device_calls(const EmulatedBus& usb) {
    QStringList out;
    for (const auto& call : usb.calls()) {
        const QString name = QString::fromStdString(call.routine);
        if (name.contains(QLatin1String("descriptor")) || name.contains(QLatin1String("string")) ||
            name == QLatin1String("control_transfer")) {
            continue;
        }
        QStringList arguments;
        for (int argument : call.arguments) {
            arguments << QString::number(argument);
        }
        out << name + QLatin1Char('(') + arguments.join(QLatin1Char(',')) + QLatin1Char(')');
    }
    return out;
}

}  // namespace quillmar::testing
