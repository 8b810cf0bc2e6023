// Root's powers taken out of one thread, so that a test meets the checks a seated user meets.
#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <initializer_list>

namespace quillmar::testing {

// Takes `capabilities` out of the calling thread's effective set while it lives (a thread's
// capabilities are its own), where the thread runs as root; elsewhere it has none to give up.
class WithoutCapabilities {
  public:
    explicit WithoutCapabilities(std::initializer_list<int> capabilities) {
        if (geteuid() != 0 || syscall(SYS_capget, &header, saved) != 0) {
            return;
        }
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        for (const int capability : capabilities) {
            reduced[capability / 32].effective &= ~(1u << (capability % 32));
        }
        dropped = syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutCapabilities() {
        if (dropped) {
            syscall(SYS_capset, &header, saved);
        }
    }
    WithoutCapabilities(const WithoutCapabilities&) = delete;
    WithoutCapabilities& operator=(const WithoutCapabilities&) = delete;

  private:
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2]{};
    bool dropped = false;
};

}  // namespace quillmar::testing
