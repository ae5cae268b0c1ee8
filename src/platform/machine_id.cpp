#include "platform/machine_id.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrel {

std::vector<std::string> plat_machine_id_files = {"/etc/machine-id", "/var/lib/dbus/machine-id"};

namespace {

constexpr size_t id_digits = 32;
constexpr size_t uuid_chars = 36;

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Reads at most n bytes; a short count means the end of the file or an error
// (a directory reads as an error). Returns -1 when nothing could be read.
ssize_t read_some(int fd, char* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, buf + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return got ? static_cast<ssize_t>(got) : -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

// One more byte than the digits tells a line end from a longer line; the
// rest of a huge file is never read.
bool read_identity(int fd, char digits[id_digits]) {
    char buf[id_digits + 1];
    ssize_t n = read_some(fd, buf, sizeof buf);
    if (n < static_cast<ssize_t>(id_digits)) return false;
    for (size_t i = 0; i < id_digits; ++i)
        if (!is_hex(buf[i])) return false;
    if (n == static_cast<ssize_t>(sizeof buf) && buf[id_digits] != '\n') return false;
    std::memcpy(digits, buf, id_digits);
    return true;
}

}  // namespace

char* plat_machine_id(char* buffer, size_t size, std::span<const std::string> files) {
    bool opened = false;
    for (const std::string& path : files) {
        // Non-blocking, so that a FIFO in the file's place cannot hold the
        // program at open; its read then finds nothing.
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) continue;
        opened = true;
        char digits[id_digits];
        bool usable = read_identity(fd, digits);
        ::close(fd);
        if (!usable) continue;
        if (size < uuid_chars + 1) return buffer;
        char* out = buffer;
        for (size_t i = 0; i < id_digits; ++i) {
            if (i == 8 || i == 12 || i == 16 || i == 20) *out++ = '-';
            *out++ = digits[i];
        }
        *out = '\0';
        return buffer;
    }
    return opened ? buffer : nullptr;
}

}  // namespace ostrel
