// Fuzz target: the device survey through the real libusb, over a umockdev device whose sysfs
// descriptor bytes and string descriptors are whatever the input says.
//
// Input: descriptor length (two bytes, little-endian), the descriptor bytes as sysfs shows them,
// then string descriptors, each as its index, its length and its bytes.
#include <QStringList>
#include <algorithm>
#include <map>
#include <vector>

#include "fuzz_check.h"
#include "survey/device_survey.h"
#include "umockdev/umockdev_bus.h"
#include "usb/libusb_bus.h"

using quillmar::fuzz::ByteReader;
using quillmar::fuzz::require;

namespace {

constexpr std::size_t device_length = 18;
constexpr std::size_t configuration_length = 9;
constexpr std::uint8_t configuration_type = 2;

// libusb 1.0.26 never returns from its init when, seeking the end of a configuration that is not
// the last, it meets a descriptor of length 0: it steps by that length forever. That fault is
// libusb's and has a regression test of its own; inputs that would meet it are skipped here.
bool stalls_libusb_init(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < device_length) {
        return false;
    }
    const int configurations = bytes[17];
    std::size_t at = device_length;
    for (int index = 0; index + 1 < configurations; ++index) {
        if (bytes.size() - at < configuration_length || bytes[at + 1] != configuration_type ||
            bytes[at] < configuration_length || (bytes[at + 2] | (bytes[at + 3] << 8)) < 9) {
            return false;
        }
        std::size_t next = at + configuration_length;
        while (true) {
            if (bytes.size() - next < 2) {
                return false;
            }
            if (bytes[next + 1] == configuration_type) {
                break;
            }
            if (bytes[next] == 0) {
                return true;
            }
            if (bytes.size() - next < bytes[next]) {
                return false;
            }
            next += bytes[next];
        }
        at = next;
    }
    return false;
}

bool visible(QChar c) {
    return c.unicode() >= 0x20 && (c.unicode() < 0x7F || c.unicode() > 0x9F);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    quillmar::testing::run_under_umockdev(*argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    const std::string descriptor_text = in.text(in.word());
    const std::vector<std::uint8_t> descriptors(descriptor_text.begin(), descriptor_text.end());
    std::map<int, std::vector<std::uint8_t>> strings;
    while (in.left() > 0) {
        const int index = in.byte();
        const std::string text = in.text(in.byte());
        strings[index].assign(text.begin(), text.end());
    }
    if (descriptors.empty() || stalls_libusb_init(descriptors)) {
        return -1;
    }

    // A testbed takes milliseconds to build and tens to tear down, and so does a device: one
    // device serves every input, given the input's descriptors before a fresh libusb context
    // scans the bus.
    static quillmar::testing::UmockdevBus bus;
    static bool plugged = false;
    if (!plugged) {
        bus.plug_raw(1, 2, descriptors, strings);
        plugged = true;
    } else {
        bus.replace_raw(1, 2, descriptors, strings);
        bus.clear_requests();
    }
    QString report;
    {
        quillmar::LibusbBus usb;
        require(usb.initialise().ok(), "libusb starts");
        usb.set_debug_level(0);
        report = quillmar::DeviceSurvey(usb).list_devices().join(QStringLiteral("\r\n"));
        require(usb.open_handle_count() == 0, "the survey closes every handle");
    }
    for (const QString& line : report.split(QStringLiteral("\r\n"))) {
        require(std::all_of(line.begin(), line.end(), visible),
                "no control character within a line");
    }
    return 0;
}
