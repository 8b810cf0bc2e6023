// The real libusb, with when each control transfer was asked for, submitted and returned.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "usb/libusb_bus.h"

namespace quillmar::testing {

class TimedLibusbBus : public LibusbBus {
  public:
    struct Call {
        ControlSetup setup;
        std::vector<std::uint8_t> data;  // as handed to the transfer
        double asked = 0;                // steady clock seconds
        double going = 0;                // just before `going` was told; 0: never
        double submitted = 0;            // just after `submitted` was told; 0: never
        double returned = 0;
    };

    using LibusbBus::control_transfer;
    UsbResult<int> control_transfer(DeviceHandle device, ControlSetup setup,
                                    std::span<std::uint8_t> data, std::chrono::milliseconds timeout,
                                    const std::function<void(TransferStep)>& told) override {
        Call call{setup, {data.begin(), data.end()}, seconds_now()};
        const UsbResult<int> result =
            LibusbBus::control_transfer(device, setup, data, timeout, [&](TransferStep step) {
                if (step == TransferStep::going) {
                    call.going = seconds_now();
                }
                if (told) {
                    told(step);
                }
                if (step == TransferStep::submitted) {
                    call.submitted = seconds_now();
                }
            });
        call.returned = seconds_now();
        calls.push_back(std::move(call));
        return result;
    }

    std::vector<Call> calls;

  private:
    static double seconds_now() {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

}  // namespace quillmar::testing
