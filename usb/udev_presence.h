// Devices of one kind coming and going, as udev sees them.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "device_presence.h"

namespace quillmar {

// Listens to udev's device events on a socket notifier, which the event loop serves inside
// every nested wait too. Where no udev daemon runs, nobody sends those events: the devices are
// then looked up in sysfs every rescan_period. Either way it reads sysfs only, never a UsbBus,
// whose rescan counts the survey reports.
class UdevPresence : public DevicePresence {
  public:
    enum class Source { events, rescans };
    // Short enough that an arm pulled out during a movement is noticed within a quarter of a
    // second (the estimate stops where it went), long enough that a look at sysfs five times a
    // second costs next to nothing.
    static constexpr std::chrono::milliseconds rescan_period{200};

    // Devices with these ids. Without a `source`: events when the udev daemon runs, else
    // rescans. Events that cannot be listened to become rescans. The devices plugged in now
    // are present from the start, without signals.
    UdevPresence(std::uint16_t vendor_id, std::uint16_t product_id,
                 std::optional<Source> source = {}, QObject* parent = nullptr);
    ~UdevPresence() override;

    Source source() const;
    std::vector<DeviceLocation> present() const override;
    // Looks the devices up in sysfs and signals what changed since the last look; the timer's
    // work when rescanning.
    void rescan();

  private:
    void receive();

    struct State;
    std::unique_ptr<State> state;
};

}  // namespace quillmar
