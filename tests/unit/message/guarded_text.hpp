// Test helper for the scanners: a text placed right before a page that
// cannot be read, so that any read past its end faults.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace ostrel::test {

// The text's NUL is the last readable byte; without it (terminated false)
// the text's own last byte is.
class guarded_text {
  public:
    explicit guarded_text(const std::string& text, bool terminated = true) {
        const size_t len = text.size() + (terminated ? 1 : 0);
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_ = ((len + page_ - 1) / page_ + 1) * page_;
        base_ = static_cast<char*>(
            mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base_ == MAP_FAILED) std::abort();
        char* guard = base_ + size_ - page_;
        mprotect(guard, page_, PROT_NONE);
        text_ = guard - len;
        std::memcpy(text_, text.c_str(), len);
    }
    ~guarded_text() { munmap(base_, size_); }
    guarded_text(const guarded_text&) = delete;
    guarded_text& operator=(const guarded_text&) = delete;
    const char* c_str() const { return text_; }

  private:
    char* base_ = nullptr;
    char* text_ = nullptr;
    size_t page_ = 0, size_ = 0;
};

}  // namespace ostrel::test
