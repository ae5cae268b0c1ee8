#include "platform/file_map.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ostrel {

int plat_open_flags(int runtime_oflag) {
    int f = (runtime_oflag & plat_o_rdwr)     ? O_RDWR
            : (runtime_oflag & plat_o_wronly) ? O_WRONLY
                                              : O_RDONLY;
    if (runtime_oflag & plat_o_append) f |= O_APPEND;
    if (runtime_oflag & plat_o_creat) f |= O_CREAT;
    if (runtime_oflag & plat_o_trunc) f |= O_TRUNC;
    if (runtime_oflag & plat_o_excl) f |= O_EXCL;
    if (runtime_oflag & plat_o_noinherit) f |= O_CLOEXEC;
    return f;  // text and binary modes are the same here
}

// UTF-8 names are the file system's own bytes: they go unchanged.
int plat_open(const char* name, int runtime_oflag, int pmode) {
    int fd;
    do {
        fd = ::open(name, plat_open_flags(runtime_oflag), static_cast<mode_t>(pmode & 0777));
    } while (fd < 0 && errno == EINTR);
    return fd;
}

FILE* plat_fopen(const char* name, const char* mode) {
    FILE* f = std::fopen(name, mode);
    // A directory opens here but not as a file elsewhere; every reader would
    // take it for an empty file.
    struct stat st;
    if (f && ::fstat(::fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f);
        errno = EISDIR;
        return nullptr;
    }
    return f;
}

int plat_exists(const char* name) {
    return ::access(name, F_OK) == 0 ? 1 : 0;
}

int plat_open_existing(const char* name, int writable) {
    int fd;
    do {
        fd = ::open(name, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int plat_open_regular(const char* name) {
    int fd;
    do {
        fd = ::open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

int64_t plat_pread(int fd, void* buf, size_t len, uint64_t offset) {
    if (offset > static_cast<uint64_t>(INT64_MAX)) return -1;
    ssize_t n;
    do {
        n = ::pread(fd, buf, len, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n;
}

int64_t plat_fd_size(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

namespace {

plat_file_stamp stamp_of(const struct stat& st) {
    plat_file_stamp s;
    s.device = static_cast<uint64_t>(st.st_dev);
    s.inode = static_cast<uint64_t>(st.st_ino);
    s.size = static_cast<int64_t>(st.st_size);
    s.mtime_sec = static_cast<int64_t>(st.st_mtim.tv_sec);
    s.mtime_nsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
    s.ctime_sec = static_cast<int64_t>(st.st_ctim.tv_sec);
    s.ctime_nsec = static_cast<int64_t>(st.st_ctim.tv_nsec);
    return s;
}

}  // namespace

int plat_fd_stamp(int fd, plat_file_stamp* out) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return 0;
    *out = stamp_of(st);
    return 1;
}

int plat_path_stamp(const char* name, plat_file_stamp* out) {
    struct stat st;
    if (::stat(name, &st) != 0) return 0;
    *out = stamp_of(st);
    return 1;
}

int plat_map(int fd, uint64_t size, int writable, plat_view* view) {
    long page = ::sysconf(_SC_PAGESIZE);
    if (size == 0 || page <= 0 || size > SIZE_MAX - 2 * static_cast<uint64_t>(page)) return 0;
    auto pg = static_cast<size_t>(page);
    size_t len = static_cast<size_t>(size);
    // Reserve the file's pages and one more: the tail of the last file page
    // reads as zero, and so does the page after it.
    size_t reserved = (len + pg - 1) / pg * pg + pg;
    void* base = ::mmap(nullptr, reserved, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return 0;
    int prot = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    int flags = (writable ? MAP_SHARED : MAP_PRIVATE) | MAP_FIXED;
    if (::mmap(base, len, prot, flags, fd, 0) == MAP_FAILED) {
        ::munmap(base, reserved);
        return 0;
    }
    view->data = static_cast<uint8_t*>(base);
    view->size = size;
    view->reserved = reserved;
    return 1;
}

void plat_unmap(plat_view* view) {
    if (view->data) ::munmap(view->data, view->reserved);
    *view = plat_view{};
}

void plat_close(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace ostrel
