// A presence of devices that a test plugs in and pulls out by hand.
#pragma once

#include <algorithm>
#include <vector>

#include "usb/device_presence.h"

namespace quillmar::testing {

class FakePresence : public DevicePresence {
  public:
    std::vector<DeviceLocation> present() const override { return devices; }

    void plug(DeviceLocation where) {
        devices.push_back(where);
        emit arrived(where);
    }
    void unplug(DeviceLocation where) {
        std::erase(devices, where);
        emit left(where);
    }

  private:
    std::vector<DeviceLocation> devices;
};

}  // namespace quillmar::testing
