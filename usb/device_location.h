// Where a device sits on the USB busses: its bus number and its address on that bus.
#pragma once

namespace quillmar {

// The address is new each time a device is plugged in, so a location names one plugging.
struct DeviceLocation {
    int bus = 0;
    int address = 0;
    friend bool operator==(const DeviceLocation&, const DeviceLocation&) = default;
};

}  // namespace quillmar
