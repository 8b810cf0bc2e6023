// An emulated USB bus that the real libusb talks to: umockdev devices built from device models,
// their usbdevfs requests answered and recorded, faults on demand.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "usb/device_model.h"

namespace quillmar::testing {

// Returns at once when umockdev's preload library is loaded; otherwise starts this program
// again with it preloaded (the emulated device nodes exist only under it) and never returns. A
// shared AddressSanitizer runtime that the program loaded is preloaded first, as it demands.
void run_under_umockdev(char** argv);

// One request that reached an emulated device, in the order they arrived.
struct DeviceRequest {
    enum class Kind { control, set_configuration, claim_interface, release_interface, reset };
    Kind kind = Kind::control;
    int bus = 0;
    int address = 0;
    int argument = 0;                     // configuration value or interface number
    std::array<std::uint8_t, 8> setup{};  // control: the setup packet as sent
    std::vector<std::uint8_t> data;       // control: the bytes sent, or the bytes answered
    double time = 0;                      // steady clock, seconds
};

// How much shorter than asked a movement may reach the emulated arm. A movement's stop goes the
// time asked after its start went, but a request's way to this arm grows with how long it was left
// alone (about 3 ms a second, more on a loaded machine), so that the start after a pause reaches
// it later than the stop after a step; where its thread may not answer in real time, a loaded
// machine may also keep it from the start for a while.
inline constexpr double shorter_at_the_arm = 0.01;

enum class Fault {
    time_out,        // the transfer never completes
    protocol_error,  // the transfer fails with EPROTO
    short_transfer,  // only `short_length` bytes of the data stage move
};

class UmockdevBus {
  public:
    // A fresh testbed. Under root the calling thread also gives up its power to override file
    // permissions, so that a device node closed to this user refuses to open as it would for a
    // seated user.
    UmockdevBus();
    // With `devices` plugged in from the start (hub_and_arm(), say).
    explicit UmockdevBus(const std::vector<DeviceModel>& devices);
    ~UmockdevBus();
    UmockdevBus(const UmockdevBus&) = delete;
    UmockdevBus& operator=(const UmockdevBus&) = delete;

    // Adds the device (completed from its parts) and announces it. A root hub (address 1) sits
    // at usb<bus>; any other device on port address - 1 of its bus's root hub. A model marked
    // not openable gets a device node that nobody may open.
    void plug(DeviceModel model);
    // Adds a device as a broken or hostile one may present itself: `descriptors` byte for byte
    // as sysfs shows them (the device descriptor, then every configuration), and the answer to
    // each string descriptor request by index (0: the language list); other requests stall.
    void plug_raw(int bus, int address, std::vector<std::uint8_t> descriptors,
                  std::map<int, std::vector<std::uint8_t>> strings = {});
    // Gives a plugged device other raw descriptors and string answers, as if another device had
    // taken its place; only what scans the bus afresh sees the new descriptors.
    void replace_raw(int bus, int address, std::vector<std::uint8_t> descriptors,
                     std::map<int, std::vector<std::uint8_t>> strings = {});
    // Announces the device's removal and takes it away; its open files fail with ENODEV.
    void unplug(int bus, int address);
    // After `transfers` more control transfers, the device is pulled out: it disappears from the
    // bus and every later request fails with ENODEV. unplug() then tidies it away.
    void unplug_after(int bus, int address, int transfers);

    // The next `count` control transfers to the device suffer `fault`.
    void fail_next(int bus, int address, Fault fault, int count = 1, int short_length = 0);
    // After `after` more control transfers, every control transfer to the device suffers `fault`
    // until `seconds` have passed since the first that did: an arm that stops answering for a
    // while, then answers again.
    void fail_for(int bus, int address, Fault fault, double seconds, int after = 0);

    // The thread that answers the devices runs at the lowest real-time priority where allowed, as
    // a real device's answers come from the kernel, whatever the machine's load: a bench with
    // every core busy then measures the program rather than the emulation's wait for a core.
    // False where not allowed.
    bool answer_in_real_time();

    std::vector<DeviceRequest> requests() const;
    // The vendor requests only (the arm commands), leaving out descriptor and string reads.
    std::vector<DeviceRequest> vendor_transfers() const;
    void clear_requests();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl;
};

// What is wrong with the vendor transfers `sent` (a start, its stop that the arm did not take, then
// that stop's tries) for an arm that answers again `outage` seconds after the stop: past the
// stop's first tries, it goes again about once a second until then. Empty when nothing is.
std::string stop_resent_each_second(const std::vector<DeviceRequest>& sent, double outage);

}  // namespace quillmar::testing
