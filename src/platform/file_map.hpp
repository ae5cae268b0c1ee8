// Stand-ins for the platform's file services: opening by UTF-8 or byte name
// (the same bytes on POSIX), and whole-file views that always end in a zero
// byte, so that no scanner of a view can read past the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace ostrel {

// The runtime's open flags as callers pass them (_O_BINARY and friends);
// plat_open translates them to the POSIX ones.
inline constexpr int plat_o_wronly = 0x0001;
inline constexpr int plat_o_rdwr = 0x0002;
inline constexpr int plat_o_append = 0x0008;
inline constexpr int plat_o_noinherit = 0x0080;
inline constexpr int plat_o_creat = 0x0100;
inline constexpr int plat_o_trunc = 0x0200;
inline constexpr int plat_o_excl = 0x0400;
inline constexpr int plat_o_text = 0x4000;
inline constexpr int plat_o_binary = 0x8000;
// Permission bits: the runtime's _S_IREAD and _S_IWRITE are S_IRUSR, S_IWUSR.
inline constexpr int plat_s_iread = 0x0100;
inline constexpr int plat_s_iwrite = 0x0080;

int plat_open_flags(int runtime_oflag);
int plat_open(const char* name, int runtime_oflag, int pmode);
FILE* plat_fopen(const char* name, const char* mode);
int plat_exists(const char* name);

// What releasing a view needs.
struct plat_view {
    uint8_t* data = nullptr;  // the file's bytes, then at least one zero byte
    uint64_t size = 0;
    size_t reserved = 0;  // length of the whole address range
};

// Opens an existing file for reading (and writing): a descriptor or -1.
int plat_open_existing(const char* name, int writable);
// Opens an existing regular file for reading, or -1. A FIFO or device put in
// its place is refused without waiting for a writer and without being read.
int plat_open_regular(const char* name);
// Reads up to len bytes at offset: the count, 0 at the end of the file, -1
// on an error.
int64_t plat_pread(int fd, void* buf, size_t len, uint64_t offset);
// The size of an open file, or -1.
int64_t plat_fd_size(int fd);

// What tells one state of a file from another: which file it is, and what
// any write to it, or a change of its attributes, moves on (times to the
// nanosecond).
struct plat_file_stamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t mtime_sec = 0;
    int64_t mtime_nsec = 0;
    int64_t ctime_sec = 0;
    int64_t ctime_nsec = 0;
    bool operator==(const plat_file_stamp&) const = default;
};
// The stamp of an open file, or of the file a name gives now (links
// followed, as open follows them). 1, or 0 (out unchanged).
int plat_fd_stamp(int fd, plat_file_stamp* out);
int plat_path_stamp(const char* name, plat_file_stamp* out);
// Maps size bytes of fd from offset 0, shared with the file when writable,
// and a zero page after them. 1, or 0 (view unchanged).
int plat_map(int fd, uint64_t size, int writable, plat_view* view);
void plat_unmap(plat_view* view);
void plat_close(int fd);

}  // namespace ostrel
