// Permission bits that bind even when the tests run as root: root reads and
// enters every file and folder only through two capabilities, which this
// guard takes out of the calling thread's effective set while it lives.
#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace ostrel::test {

class file_access_checked {
  public:
    file_access_checked() {
        if (::geteuid() != 0) {
            ok_ = true;
            return;
        }
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        header_.pid = 0;
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[2];
        std::memcpy(reduced, saved_, sizeof reduced);
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        ok_ = dropped_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~file_access_checked() {
        if (dropped_) ::syscall(SYS_capset, &header_, saved_);
    }
    file_access_checked(const file_access_checked&) = delete;
    file_access_checked& operator=(const file_access_checked&) = delete;

    // False when root cannot give the capabilities up (no capability calls).
    bool ok() const { return ok_; }

  private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool ok_ = false;
    bool dropped_ = false;
};

}  // namespace ostrel::test
