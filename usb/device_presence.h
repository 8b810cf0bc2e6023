// Devices of one kind arriving on the USB busses and leaving them.
#pragma once

#include <QObject>

#include <vector>

#include "device_location.h"

namespace quillmar {

class DevicePresence : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    // The devices of the kind that are plugged in now, as far as the signals have told.
    virtual std::vector<DeviceLocation> present() const = 0;

  signals:
    void arrived(quillmar::DeviceLocation where);
    void left(quillmar::DeviceLocation where);
};

}  // namespace quillmar
