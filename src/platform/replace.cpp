#include "platform/replace.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace ostrel {

namespace {

// The folder that holds name: where its temporary file must lie, since a
// rename does not cross file systems.
std::string folder_of(const char* name) {
    std::string path(name);
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The bits a file created now gets: every one the umask leaves.
mode_t new_file_mode() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

int write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 1;
}

}  // namespace

FILE* plat_open_replaceable(const char* name) {
    struct stat st;
    if (::lstat(name, &st) == 0 ? !S_ISREG(st.st_mode) : errno != ENOENT) return nullptr;
    // The temporary file is made beside it.
    if (::faccessat(AT_FDCWD, folder_of(name).c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return nullptr;
    int fd;
    do {
        fd = ::open(name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    // Whatever took the name since it was looked at is not replaced.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    FILE* f = ::fdopen(fd, "wb");  // opens without truncating
    if (!f) ::close(fd);
    return f;
}

int plat_replace_file(const char* name, const char* data, size_t size) {
    struct stat st;
    // Only the permission bits: set-id bits have no business on a document.
    mode_t mode =
        ::stat(name, &st) == 0 && S_ISREG(st.st_mode) ? st.st_mode & 0777 : new_file_mode();
    std::string temp = folder_of(name) + "/.ostrel-XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return 0;
    // The bytes are on the disk before the name moves, so a crash leaves
    // the old file or the whole new one.
    bool ok = ::fchmod(fd, mode) == 0 && write_all(fd, data, size) && ::fsync(fd) == 0;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(temp.c_str(), name) == 0) return 1;
    ::unlink(temp.c_str());
    return 0;
}

int plat_truncate(FILE* f) {
    int rc;
    do {
        rc = ::ftruncate(::fileno(f), 0);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 1 : 0;
}

}  // namespace ostrel
