// The file layer: files opened by UTF-8 or byte-string names, existence
// tests, the last part of a path, whole-file views and whole-file helpers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/file_map.hpp"

namespace ostrel {

// One mapped file: the whole file from offset 0. view[size] is always a
// readable zero byte, so a scanner that stops at NUL stays inside.
struct file_mapping {
    char* view = nullptr;
    uint64_t size = 0;
    int file = -1;
    plat_view mapping;
};

// NULL for a missing, unreadable, empty or unmappable file.
file_mapping* file_map(const char* path, int writable);
void file_unmap(file_mapping* m);
struct file_mapping_deleter {
    void operator()(file_mapping* m) const { file_unmap(m); }
};
using file_mapping_ptr = std::unique_ptr<file_mapping, file_mapping_deleter>;

// Reads a regular file from its start, line by line, in blocks of a fixed
// size, so that a file of any length is held one block at a time. A file
// that changes underneath fails the read (a mapping of it would end the
// process instead, and lines of two versions would pass for one text): its
// stamp when opened, taken from the open file and from its name, must still
// hold for both after every block and at the end. A write in place, a cut,
// a copy over it and another file renamed into its place all change it.
class file_line_reader {
  public:
    // Why reading stopped; file_read_ok also while lines are still coming.
    enum : int { file_read_ok = 0, file_read_failed, file_read_changed, file_read_nul };

    // With refuse_nul, a NUL byte anywhere fails the read (file_read_nul).
    explicit file_line_reader(bool refuse_nul, size_t block_size = 1 << 20);
    ~file_line_reader();
    file_line_reader(const file_line_reader&) = delete;
    file_line_reader& operator=(const file_line_reader&) = delete;

    // Opens the file and reads its first block. false (and file_read_failed)
    // for a missing, unreadable or empty file and for one that is not a
    // regular file, which is never read; false also when that first block
    // fails the read (see status()). With expected, a file whose stamp is
    // not that one fails as changed.
    bool open(const char* path, const plat_file_stamp* expected = nullptr);
    // The next line, without its end (LF, CR or CR LF), in *line; it stays
    // valid until the next call. false at the end of the file and when the
    // read fails: status() tells them apart. A last line without an end
    // is a line. *end_len (when given) is the length of its end, 0 for such a
    // last line: the end's bytes follow the line in the same buffer.
    bool next_line(std::string_view* line, size_t* end_len = nullptr);
    // Reads what is left without looking at lines; true for a whole file.
    bool read_to_end();
    int status() const { return status_; }
    // The file's stamp when it was opened.
    const plat_file_stamp& stamp() const { return stamp_; }

  private:
    bool fill();
    bool fail(int why);
    bool unchanged() const;

    int fd_ = -1;
    std::string path_;
    plat_file_stamp stamp_;  // as opened: its size is what there is to read
    bool refuse_nul_;
    size_t block_;
    uint64_t offset_ = 0;  // how much has been read
    std::string buf_;      // read and not yet handed out, from pos_
    size_t pos_ = 0;
    size_t scanned_ = 0;  // bytes after pos_ known to hold no line end
    bool at_end_ = false;
    int status_ = file_read_ok;
};

// Owner of an open stream; closes it without looking at the result (a writer
// that must know whether its data reached the file closes it itself).
struct file_closer {
    void operator()(FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// A new output file while it is written: unless kept, what was written of a
// regular file is removed again when the owner goes (an error, an exception);
// a device or a pipe is never removed and keeps what it already took.
class file_output {
  public:
    explicit file_output(std::string path) : path_(std::move(path)) {}
    ~file_output();
    file_output(const file_output&) = delete;
    file_output& operator=(const file_output&) = delete;

    // Opens the file by its UTF-8 name ("wb"); NULL when it cannot be made.
    FILE* open(size_t buffer_size = 0);
    // Closes the stream; true when every byte reached the file.
    bool close();
    void keep() { kept_ = true; }

  private:
    std::string path_;
    file_ptr stream_;
    bool regular_ = false;
    bool kept_ = false;
};

// A malloc'd UTF-16 copy ending in a zero unit (invalid bytes become
// U+FFFD); the caller frees it. NULL when memory runs out.
char16_t* path_utf8_to_wide(const char* text);

// The runtime's flags that callers pass to file_open_utf8.
inline constexpr int file_o_binary = plat_o_binary;
inline constexpr int file_s_iread = plat_s_iread;

int file_exists_utf8(const char* path);
FILE* file_fopen_utf8(const char* path, const char* mode);
int file_open_utf8(const char* path, int oflag, int pmode);
int file_exists(const char* path);

// Points into path, after its last "\" or "/".
const char* path_basename(const char* path);
char* path_basename(char* path);

int64_t file_size(const char* path);   // -1 on failure
int64_t file_mtime(const char* path);  // 0 on failure
// 1 only when every byte was read and written; a partial target is kept.
int file_copy(const char* source, const char* target);
// 1 when moved; on failure the source is kept.
int file_move(const char* source, const char* target);
// 1 when the file could be opened; write errors are not reported.
int file_append_zeros(const char* path, uint32_t count);

}  // namespace ostrel
