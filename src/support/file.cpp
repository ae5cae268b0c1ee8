#include "support/file.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/utf8.hpp"

namespace ostrel {

file_mapping* file_map(const char* path, int writable) {
    auto m = std::make_unique<file_mapping>();
    m->file = plat_open_existing(path, writable);
    if (m->file < 0) return nullptr;
    int64_t size = plat_fd_size(m->file);
    if (size <= 0 || !plat_map(m->file, static_cast<uint64_t>(size), writable, &m->mapping)) {
        plat_close(m->file);
        return nullptr;
    }
    m->view = reinterpret_cast<char*>(m->mapping.data);
    m->size = m->mapping.size;
    return m.release();
}

void file_unmap(file_mapping* m) {
    if (!m) return;
    std::unique_ptr<file_mapping> owned(m);
    plat_unmap(&owned->mapping);
    plat_close(owned->file);
}

file_line_reader::file_line_reader(bool refuse_nul, size_t block_size)
    : refuse_nul_(refuse_nul), block_(block_size ? block_size : 1) {}

file_line_reader::~file_line_reader() {
    plat_close(fd_);
}

bool file_line_reader::open(const char* path, const plat_file_stamp* expected) {
    plat_close(fd_);
    offset_ = 0;
    buf_.clear();
    pos_ = scanned_ = 0;
    at_end_ = false;
    status_ = file_read_ok;
    stamp_ = plat_file_stamp{};
    fd_ = path ? plat_open_regular(path) : -1;
    if (fd_ < 0 || !plat_fd_stamp(fd_, &stamp_)) return fail(file_read_failed);
    path_ = path;
    if (expected && *expected != stamp_) return fail(file_read_changed);
    if (stamp_.size <= 0) return fail(file_read_failed);
    // Another file renamed into its place between the open and now.
    if (!unchanged()) return fail(file_read_changed);
    // The first block is read at once: a file of one block is known whole
    // (or refused) before a caller writes anything for it.
    fill();
    return status_ == file_read_ok;
}

bool file_line_reader::fail(int why) {
    status_ = why;
    at_end_ = true;
    buf_.clear();
    pos_ = scanned_ = 0;
    return false;
}

// Whether the open file and the file its name gives are still the one
// that was opened, as it was then.
bool file_line_reader::unchanged() const {
    plat_file_stamp now;
    return plat_fd_stamp(fd_, &now) && now == stamp_ && plat_path_stamp(path_.c_str(), &now) &&
           now == stamp_;
}

// Appends the next block to what is left unread; false at the end of the
// file (whole and unchanged) and on a failure.
bool file_line_reader::fill() {
    if (at_end_) return false;
    const auto size = static_cast<uint64_t>(stamp_.size);
    if (offset_ == size) {
        at_end_ = true;
        // Changed since it was opened: what was read is not the file.
        if (!unchanged()) return fail(file_read_changed);
        return false;
    }
    buf_.erase(0, pos_);
    pos_ = 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(block_, size - offset_));
    const size_t old = buf_.size();
    buf_.resize(old + want);
    const int64_t n = plat_pread(fd_, buf_.data() + old, want, offset_);
    if (n < 0) return fail(file_read_failed);
    if (n == 0) return fail(file_read_changed);
    buf_.resize(old + static_cast<size_t>(n));
    offset_ += static_cast<uint64_t>(n);
    // Checked after the block, so that the block is of the version opened.
    if (!unchanged()) return fail(file_read_changed);
    if (refuse_nul_ && std::memchr(buf_.data() + old, '\0', static_cast<size_t>(n)))
        return fail(file_read_nul);
    return true;
}

bool file_line_reader::next_line(std::string_view* line, size_t* end_len) {
    for (;;) {
        const std::string_view rest(buf_.data() + pos_, buf_.size() - pos_);
        const size_t p = rest.find_first_of("\r\n", scanned_);
        // A CR that ends what was read may be the first half of a CR LF.
        const bool split_crlf =
            p != std::string_view::npos && p + 1 == rest.size() && rest[p] == '\r' && !at_end_;
        if (p != std::string_view::npos && !split_crlf) {
            *line = rest.substr(0, p);
            const bool crlf = rest[p] == '\r' && p + 1 < rest.size() && rest[p + 1] == '\n';
            const size_t end = crlf ? 2 : 1;
            if (end_len) *end_len = end;
            pos_ += p + end;
            scanned_ = 0;
            return true;
        }
        if (p == std::string_view::npos && at_end_) {
            if (status_ != file_read_ok || rest.empty()) return false;
            *line = rest;
            if (end_len) *end_len = 0;
            pos_ = buf_.size();
            scanned_ = 0;
            return true;
        }
        scanned_ = p == std::string_view::npos ? rest.size() : p;
        fill();  // sets at_end_ at the end of the file and on a failure
    }
}

bool file_line_reader::read_to_end() {
    while (status_ == file_read_ok && !at_end_) {
        buf_.clear();
        pos_ = scanned_ = 0;
        fill();
    }
    return status_ == file_read_ok;
}

char16_t* path_utf8_to_wide(const char* text) {
    std::vector<char16_t> units;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    for (size_t left = std::strlen(text); left > 0;) {
        char32_t cp = 0;
        size_t n = utf8_decode(p, left, &cp);
        if (n == 0) {  // a byte that starts no character stands for U+FFFD alone
            cp = 0xFFFD;
            n = 1;
        }
        p += n;
        left -= n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(cp));
        }
    }
    units.push_back(0);
    auto* out = static_cast<char16_t*>(std::malloc(units.size() * sizeof(char16_t)));
    if (out) std::memcpy(out, units.data(), units.size() * sizeof(char16_t));
    return out;
}

// On POSIX a UTF-8 name is already the file system's name.
int file_exists_utf8(const char* path) {
    return plat_exists(path);
}
FILE* file_fopen_utf8(const char* path, const char* mode) {
    return plat_fopen(path, mode);
}
int file_open_utf8(const char* path, int oflag, int pmode) {
    return plat_open(path, oflag, pmode);
}
int file_exists(const char* path) {
    return plat_exists(path);
}

const char* path_basename(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const char* back = std::strrchr(path, '\\');
    const char* last = slash > back ? slash : back;
    return last ? last + 1 : path;
}

char* path_basename(char* path) {
    return path + (path_basename(static_cast<const char*>(path)) - path);
}

int64_t file_size(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

int64_t file_mtime(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 ? static_cast<int64_t>(st.st_mtime) : 0;
}

namespace {

// Copies until the end of the source; false on a read or write error.
bool copy_stream(FILE* in, FILE* out) {
    char block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0)
        if (std::fwrite(block, 1, n, out) != n) return false;
    return !std::ferror(in);
}

}  // namespace

int file_copy(const char* source, const char* target) {
    file_ptr in(std::fopen(source, "rb"));
    if (!in) return 0;
    file_ptr out(std::fopen(target, "wb"));
    if (!out) return 0;
    bool ok = copy_stream(in.get(), out.get());
    // Buffered bytes may fail only when they are flushed on close.
    if (std::fclose(out.release()) != 0) ok = false;
    return ok ? 1 : 0;
}

int file_move(const char* source, const char* target) {
    if (std::rename(source, target) == 0) return 1;
    if (!file_copy(source, target)) return 0;
    std::remove(source);
    return 1;
}

int file_append_zeros(const char* path, uint32_t count) {
    file_ptr f(std::fopen(path, "ab"));
    if (!f) return 0;
    static const char zeros[4096] = {};
    for (uint32_t left = count; left > 0;) {
        uint32_t n = left < sizeof zeros ? left : static_cast<uint32_t>(sizeof zeros);
        if (std::fwrite(zeros, 1, n, f.get()) != n) break;
        left -= n;
    }
    return 1;
}

file_output::~file_output() {
    stream_.reset();
    if (regular_ && !kept_) std::remove(path_.c_str());
}

FILE* file_output::open(size_t buffer_size) {
    stream_.reset(file_fopen_utf8(path_.c_str(), "wb"));
    if (!stream_) return nullptr;
    struct stat st {};
    regular_ = fstat(fileno(stream_.get()), &st) == 0 && S_ISREG(st.st_mode);
    if (buffer_size) std::setvbuf(stream_.get(), nullptr, _IOFBF, buffer_size);
    return stream_.get();
}

bool file_output::close() {
    if (!stream_) return false;
    const bool write_failed = std::ferror(stream_.get()) != 0;
    const bool close_failed = std::fclose(stream_.release()) != 0;
    return !write_failed && !close_failed;
}

}  // namespace ostrel
