// What a USB routine gives back: a value, or the error that kept it from giving one.
#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace quillmar {

// Why a USB routine failed. Each is the negated errno of its cause, the number that the
// program's messages show.
enum class UsbError {
    io = -5,
    access = -13,
    busy = -16,
    no_device = -19,
    invalid = -22,
    pipe = -32,
    overflow = -75,
    timeout = -116,
};

constexpr int error_code(UsbError error) {
    return static_cast<int>(error);
}

// An open device. A bus never hands out the same handle twice.
enum class DeviceHandle : int {};

template <typename T>
class UsbResult {
  public:
    UsbResult(T value) : outcome(std::move(value)) {}
    UsbResult(UsbError error) : outcome(error) {}

    bool ok() const { return outcome.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const { return std::get<0>(outcome); }
    const T& operator*() const { return value(); }
    const T* operator->() const { return &value(); }
    UsbError error() const { return std::get<1>(outcome); }

  private:
    std::variant<T, UsbError> outcome;
};

// A routine that gives nothing back but may fail.
template <>
class UsbResult<void> {
  public:
    UsbResult() = default;
    UsbResult(UsbError error) : failure(error) {}

    bool ok() const { return !failure; }
    explicit operator bool() const { return ok(); }
    UsbError error() const { return *failure; }

  private:
    std::optional<UsbError> failure;
};

}  // namespace quillmar
