#include "platform/replace.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Writes size bytes at offset; *done counts those that got there.
bool pwrite_all(int fd, const char* data, size_t size, off_t offset, size_t* done) {
    *done = 0;
    while (*done < size) {
        ssize_t n = ::pwrite(fd, data + *done, size - *done, offset + static_cast<off_t>(*done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        *done += static_cast<size_t>(n);
    }
    return true;
}

bool pread_all(int fd, char* data, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::pread(fd, data + got, size - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool truncate_fd(int fd, off_t size) {
    int rc;
    do {
        rc = ::ftruncate(fd, size);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// Where the file system cannot reserve (and the C library does not stand in
// for it), writing the growth takes its blocks just the same.
int write_zeros(int fd, off_t from, off_t to) {
    static const char zeros[4096] = {};
    while (from < to) {
        size_t n = std::min(static_cast<size_t>(to - from), sizeof zeros);
        size_t done = 0;
        if (!pwrite_all(fd, zeros, n, from, &done)) return errno ? errno : EIO;
        from += static_cast<off_t>(n);
    }
    return 0;
}

// Room for size bytes from the start of a file of old_size bytes. On a
// failure the file is cut back to old_size: a reservation that the C
// library emulates writes zeros, and may have grown the file before it
// failed.
bool reserve(int fd, off_t old_size, off_t size) {
    int rc;
    do {
        rc = ::posix_fallocate(fd, 0, size);
    } while (rc == EINTR);
    if (rc == EOPNOTSUPP || rc == ENOSYS || rc == EINVAL) rc = write_zeros(fd, old_size, size);
    if (rc == 0) return true;
    truncate_fd(fd, old_size);
    return false;
}

// After a failed rewrite: the old bytes back over the done bytes that the
// new ones covered, and the old length. Where they were not read or cannot
// be put back, no part of either text stays: the file is emptied.
void restore(int fd, const std::string& old, bool have_old, size_t done, off_t old_size) {
    size_t put;
    if (have_old && pwrite_all(fd, old.data(), std::min(done, old.size()), 0, &put))
        truncate_fd(fd, old_size);
    else
        truncate_fd(fd, 0);
}

// A stream on fd, a file just opened by name, when it is a regular file:
// whatever took the name since it was looked at is not written. Closes fd
// when it gives none.
FILE* regular_stream(int fd) {
    struct stat st;
    if (fd < 0) return nullptr;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    FILE* f = ::fdopen(fd, "wb");  // opens without truncating
    if (!f) ::close(fd);
    return f;
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
    return regular_stream(fd);
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

FILE* plat_open_rewritable(const char* name) {
    struct stat st;
    // Nothing but a regular file is opened: even a moment's open of a FIFO
    // would meet its reader.
    if (::stat(name, &st) == 0 ? !S_ISREG(st.st_mode) : errno != ENOENT) return nullptr;
    int fd;
    for (int flags : {O_RDWR, O_WRONLY}) {
        do {
            fd = ::open(name, flags | O_CREAT | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != EACCES) break;
    }
    return regular_stream(fd);
}

int plat_rewrite_file(FILE* f, const char* data, size_t size) {
    const int fd = ::fileno(f);
    struct stat st;
    if (size == 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    const off_t old_size = st.st_size;
    const auto new_size = static_cast<off_t>(size);
    // The old bytes that the new ones cover, to be put back on a failure.
    std::string old(static_cast<size_t>(std::min(old_size, new_size)), '\0');
    const bool have_old = pread_all(fd, old.data(), old.size());
    if (!reserve(fd, old_size, new_size)) return 0;
    size_t done = 0;
    // On the disk before the old bytes beyond the new ones go.
    if (pwrite_all(fd, data, size, 0, &done) && ::fsync(fd) == 0 &&
        (new_size >= old_size || truncate_fd(fd, new_size)))
        return 1;
    restore(fd, old, have_old, done, old_size);
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
