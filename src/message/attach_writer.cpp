#include "message/attach_writer.hpp"

#include "message/address.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "message/address.hpp"
#include "message/header_writer.hpp"
#include "message/token.hpp"
#include "model/handle.hpp"
#include "support/encode.hpp"
#include "support/file.hpp"
#include "support/mime_types.hpp"
#include "support/str.hpp"

namespace ostrel {

namespace {

constexpr size_t reader_block = 64 * 1024;
constexpr size_t sample_size = 4096;
constexpr size_t type_size = 1024;
constexpr size_t content_id_size = 4096;
// Base64 lines per sink call; a call may carry several lines.
constexpr size_t b64_line_in = 57;
constexpr size_t b64_lines_per_call = 512;
constexpr size_t qp_slice = 16 * 1024;
constexpr size_t raw_slice = 16 * 1024;

// One read(2) with EINTR retried.
long read_some(int fd, uint8_t* out, size_t n) {
    for (;;) {
        ssize_t r = ::read(fd, out, n);
        if (r >= 0 || errno != EINTR) return static_cast<long>(r);
    }
}

// Fills out with up to n bytes, short only at the end of the file.
long read_full(int fd, uint8_t* out, size_t n) {
    size_t got = 0;
    while (got < n) {
        long r = read_some(fd, out + got, n - got);
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<long>(got);
}

// The counted share of printable text in a sample: quoted-printable when at
// least 85 percent, in single precision.
uint32_t encoding_of_sample(const uint8_t* s, long n) {
    long count = 0;
    for (long i = 0; i < n; ++i) {
        uint8_t b = s[i];
        if ((b >= 0x21 && b <= 0x7E && b != '=') || b == ' ' || b == '\t') ++count;
    }
    float share = static_cast<float>(count) / static_cast<float>(n);
    return share >= 0.85f ? mime_enc_qp : mime_enc_base64;
}

bool is_message_type(const char* type) {
    return str_ncasecmp(type, "message/", 8) == 0;
}

// Whether the stream holds a byte of 0x80 or above; the reader starts over
// afterwards. -1 on a read error or when it cannot start over.
int has_8bit(mime_file_reader& in) {
    uint8_t buf[sample_size];
    int found = 0;
    for (;;) {
        long n = in.read(buf, sizeof buf);
        if (n < 0) return -1;
        if (n == 0) break;
        for (long i = 0; i < n && !found; ++i) found = buf[i] >= 0x80;
        if (found) break;
    }
    return in.rewind() ? found : -1;
}

// 7bit or 8bit content: line ends made CR LF, NUL bytes kept.
class line_end_writer {
  public:
    line_end_writer(msg_out_cb out, void* ctx) : out_(out), ctx_(ctx) {
        buf_.reserve(2 * raw_slice + 2);
    }
    void put(const uint8_t* in, size_t n) {
        for (size_t i = 0; i < n; ++i) byte(static_cast<char>(in[i]));
        msg_write(out_, ctx_, buf_.data(), buf_.size());
        buf_.clear();
    }

  private:
    void byte(char c) {
        if (c == '\n' && after_cr_) {
            after_cr_ = false;
            return;
        }
        after_cr_ = c == '\r';
        if (c == '\r' || c == '\n')
            buf_ += "\r\n";
        else
            buf_ += c;
    }

    msg_out_cb out_;
    void* ctx_;
    bool after_cr_ = false;
    std::string buf_;
};

int write_7bit(mime_file_reader& in, msg_out_cb out, void* ctx) {
    line_end_writer w(out, ctx);
    std::vector<uint8_t> buf(raw_slice);
    for (;;) {
        long n = in.read(buf.data(), buf.size());
        if (n < 0) return 0;
        if (n == 0) return 1;
        w.put(buf.data(), static_cast<size_t>(n));
    }
}

// ";" and the parameter in its charset form, name*=utf-8''value, with the
// bytes outside the attribute characters as %XX. One line holds it while it
// fits a header line: a reader such as mshow takes the plain parameter over
// continued sections. Beyond that it is split into name*0*=, name*1*= ...
// sections of at most 76 characters; an escape is never split.
void write_extended_parameter(msg_out_cb out, void* ctx, const char* name, std::string_view value) {
    static constexpr std::string_view kept =
        "!#$&+-.^_`|~0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    static constexpr char hex[] = "0123456789ABCDEF";
    std::vector<std::string> units;
    for (unsigned char b : value) {
        if (kept.find(static_cast<char>(b)) != std::string_view::npos)
            units.emplace_back(1, static_cast<char>(b));
        else
            units.push_back({'%', hex[b >> 4], hex[b & 15]});
    }
    constexpr size_t line_max = 76;
    const std::string charset = "utf-8''";
    size_t total = 0;
    for (const std::string& u : units) total += u.size();
    // "\t" name "*=" value, with the ";" that ends the line before it.
    if (1 + std::strlen(name) + 2 + charset.size() + total + 1 <= mail_line_length_max) {
        msg_out(out, ctx, ";\r\n\t%s*=%s", name, charset);
        for (const std::string& u : units) msg_write(out, ctx, u.data(), u.size());
        return;
    }
    size_t i = 0;
    for (int section = 0; i < units.size() || section == 0; ++section) {
        std::string line = "\t" + std::string(name) + "*" + std::to_string(section) + "*=";
        if (section == 0) line += charset;
        // Room for the ";" that a following section puts at this line's end.
        while (i < units.size() && line.size() + units[i].size() + 1 <= line_max)
            line += units[i++];
        msg_out(out, ctx, ";\r\n%s", line);
    }
}

// The part's fields up to and including the empty line.
void write_part_fields(const mime_attachment& a, const char* type, uint32_t encoding,
                       msg_out_cb out, void* ctx) {
    if (a.is_inline) {
        msg_out(out, ctx, "Content-Type: %s\r\n", type);
        msg_out(out, ctx, "Content-Disposition: inline\r\n");
        if (a.content_id) {
            msg_out(out, ctx, "Content-ID: <%s>\r\n", *a.content_id);
        } else {
            std::vector<char> id(content_id_size);
            mime_url_encode(a.display_name.c_str(), id.data(), static_cast<int>(id.size()));
            msg_out(out, ctx, "Content-ID: <%s>\r\n", id.data());
        }
    } else {
        // A quote or backslash in the name would end the parameter early.
        const std::string name = addr_quote_display_name(a.display_name);
        // Encoded words are no parameter syntax, and many readers show them
        // as they stand: a name that needed them also goes in the parameter
        // form made for such values, which those readers decode.
        const std::string raw = mime_decode_words(a.display_name);
        const bool extended = raw != a.display_name;
        // The charset form goes first: some readers take the first of the two.
        msg_out(out, ctx, "Content-Type: %s", type);
        if (extended) write_extended_parameter(out, ctx, "name", raw);
        msg_out(out, ctx, ";\r\n%s\r\nContent-Disposition: attachment",
                msg_fit_encoded_words("\tname=\"" + name + "\""));
        if (extended) write_extended_parameter(out, ctx, "filename", raw);
        msg_out(out, ctx, ";\r\n%s", msg_fit_encoded_words("\tfilename=\"" + name + "\""));
        msg_out(out, ctx, "\r\n");
    }
    switch (encoding) {
        case mime_enc_base64:
            msg_out(out, ctx, "Content-Transfer-Encoding: base64\r\n");
            break;
        case mime_enc_qp:
            msg_out(out, ctx, "Content-Transfer-Encoding: quoted-printable\r\n");
            break;
        case mime_enc_7bit:
            msg_out(out, ctx, "Content-Transfer-Encoding: 7bit\r\n");
            break;
        default:
            msg_out(out, ctx, "Content-Transfer-Encoding: 8bit\r\n");
            break;
    }
    msg_out(out, ctx, "\r\n");
}

// Encoding code for 7bit content that turned out to hold 8-bit bytes.
constexpr uint32_t enc_8bit = 0x100;

// Writes one entry; false when its file could not be opened or read.
bool write_entry(mail_handle* h, mime_attachment& a, const char* boundary, uint32_t lone,
                 msg_out_cb out, void* ctx, mime_input_status* status) {
    int fd = file_open_utf8(a.path.c_str(), file_o_binary, file_s_iread);
    if (fd < 0) {
        mime_report_unusable(h, a.path.c_str());
        mime_note_unusable(status, a.path.c_str());
        return false;
    }
    mime_file_reader in(fd);
    const bool automatic = a.encoding == mime_enc_auto;
    uint32_t encoding = a.encoding;
    if (automatic) {
        // Judged on the reader's first block rather than by reading and
        // seeking back, which would lose the sample of a pipe.
        const uint8_t* sample = nullptr;
        long n = in.peek(&sample, sample_size);
        if (n < 0) {
            mime_read_failed(h, a.path.c_str(), status);
            return false;
        }
        encoding = n == 0 ? mime_enc_base64 : encoding_of_sample(sample, n);
    }

    char type[type_size];
    if (a.mime_type)
        str_copy(type, a.mime_type->c_str(), sizeof type);
    else
        // The name as given: its encoded-word form hides the extension.
        mime_type_by_extension(mime_decode_words(a.display_name).c_str(), type);
    if (is_message_type(type)) {
        if (automatic) {
            // Kept to this composition: the entry stays automatic.
            int eight = has_8bit(in);
            if (eight < 0) {
                mime_read_failed(h, a.path.c_str(), status);
                return false;
            }
            encoding = eight ? enc_8bit : mime_enc_7bit;
        } else {
            str_copy(type, "text/plain", sizeof type);
        }
    }
    if (automatic && encoding != mime_enc_7bit && encoding != enc_8bit) a.encoding = encoding;

    if (!lone) msg_out(out, ctx, "--%s\r\n", boundary);
    write_part_fields(a, type, encoding, out, ctx);
    int ok = 1;
    if (encoding == mime_enc_base64)
        ok = mime_write_base64_stream(in, out, ctx);
    else if (encoding == mime_enc_qp)
        ok = mime_write_qp_stream(in, 0, out, ctx);
    else
        ok = write_7bit(in, out, ctx);
    if (!ok) {
        mime_read_failed(h, a.path.c_str(), status);
        return false;
    }
    // With no delimiter after it, a lone part's last line end would belong to
    // the content: quoted-printable ends it as a soft break instead, so the
    // part decodes to exactly the file's bytes.
    if (lone && encoding == mime_enc_qp)
        msg_write(out, ctx, "=\r\n", 3);
    else
        msg_write(out, ctx, "\r\n", 2);
    return true;
}

}  // namespace

mime_file_reader::mime_file_reader(int fd) : fd_(fd), buf_(reader_block) {
    struct stat st {};
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode))
        size_at_open_ = static_cast<int64_t>(st.st_size);
}

mime_file_reader::~mime_file_reader() {
    if (fd_ >= 0) ::close(fd_);
}

bool mime_file_reader::fill() {
    long r = read_full(fd_, buf_.data(), buf_.size());
    if (r < 0) return false;
    pos_ = 0;
    len_ = static_cast<size_t>(r);
    eof_ = len_ < buf_.size();
    ++fills_;
    taken_ += len_;
    // A file cut short while it is read would go out cut short as if whole.
    if (eof_ && size_at_open_ >= 0 && taken_ < static_cast<uint64_t>(size_at_open_)) return false;
    return true;
}

bool mime_file_reader::rewind() {
    if (fills_ <= 1 && eof_) {
        pos_ = 0;
        return true;
    }
    if (::lseek(fd_, 0, SEEK_SET) != 0) return false;
    pos_ = len_ = 0;
    taken_ = 0;
    eof_ = false;
    fills_ = 0;
    return true;
}

long mime_file_reader::read(uint8_t* out, size_t n) {
    size_t got = 0;
    while (got < n) {
        if (pos_ == len_) {
            if (eof_) break;
            if (!fill()) return -1;
            if (len_ == 0) break;
        }
        size_t k = std::min(n - got, len_ - pos_);
        std::memcpy(out + got, buf_.data() + pos_, k);
        pos_ += k;
        got += k;
    }
    return static_cast<long>(got);
}

long mime_file_reader::peek(const uint8_t** data, size_t n) {
    if (pos_ == len_ && !eof_ && !fill()) return -1;
    *data = buf_.data() + pos_;
    return static_cast<long>(std::min(n, len_ - pos_));
}

void mime_report_unusable(mail_handle* h, const char* text) {
    if (h->event_cb) h->event_cb(h->event_user, mail_ev_attachment, mail_status_failed, text);
}

void mime_read_failed(mail_handle* h, const char* path, mime_input_status* status) {
    if (!status) std::exit(mime_read_error_status);
    mime_report_unusable(h, path);
    mime_note_unusable(status, path);
}

void mime_note_unusable(mime_input_status* status, const char* path) {
    if (status && status->unusable++ == 0) status->first_path = path;
}

int mime_write_base64_stream(mime_file_reader& in, msg_out_cb out, void* ctx) {
    std::vector<uint8_t> src(b64_line_in * b64_lines_per_call);
    std::string text;
    for (;;) {
        long n = in.read(src.data(), src.size());
        if (n < 0) return 0;
        text.clear();
        b64_encode_lines(src.data(), static_cast<size_t>(n), &text);
        msg_write(out, ctx, text.data(), text.size());
        if (n < static_cast<long>(src.size())) return 1;
    }
}

mime_qp_writer::mime_qp_writer(int text_mode, msg_out_cb out, void* ctx)
    : text_mode_(text_mode), out_(out), ctx_(ctx), enc_(9 * qp_slice + 8) {}

void mime_qp_writer::write(const uint8_t* in, size_t len) {
    for (size_t i = 0; i < len; i += qp_slice) {
        const size_t k = std::min(qp_slice, len - i);
        int n = mime_qp_encode(&column_, &pending_, in + i, static_cast<int>(k), enc_.data(),
                               text_mode_);
        if (n > 0) msg_write(out_, ctx_, enc_.data(), static_cast<size_t>(n));
    }
}

void mime_qp_writer::finish() {
    int n = mime_qp_encode(&column_, &pending_, nullptr, 0, enc_.data(), text_mode_);
    if (n > 0) msg_write(out_, ctx_, enc_.data(), static_cast<size_t>(n));
}

int mime_write_qp_stream(mime_file_reader& in, int text_mode, msg_out_cb out, void* ctx) {
    std::vector<uint8_t> src(qp_slice);
    mime_qp_writer qp(text_mode, out, ctx);
    for (;;) {
        long n = in.read(src.data(), src.size());
        if (n < 0) return 0;
        if (n == 0) break;
        qp.write(src.data(), static_cast<size_t>(n));
    }
    qp.finish();
    return 1;
}

uint32_t mime_guess_encoding(int fd) {
    uint8_t sample[sample_size];
    long n = read_full(fd, sample, sizeof sample);
    if (n <= 0) return mime_enc_base64;
    ::lseek(fd, 0, SEEK_SET);
    return encoding_of_sample(sample, n);
}

int mime_write_attachments_ex(mail_handle* h, uint32_t kind, const char* boundary, msg_out_cb out,
                              void* ctx, uint32_t lone, mime_input_status* status) {
    int result = 0;
    bool failed = false;
    for (mime_attachment& a : h->attachments) {
        if ((kind == 0) != (a.is_inline == 0)) continue;
        ++result;
        if (a.encoding != mime_enc_auto && a.encoding != mime_enc_base64 &&
            a.encoding != mime_enc_qp)
            continue;
        if (!write_entry(h, a, boundary, lone, out, ctx, status)) failed = true;
    }
    return failed ? -1 : result;
}

int mime_write_attachments(mail_handle* h, uint32_t kind, const char* boundary, msg_out_cb out,
                           void* ctx, uint32_t lone) {
    return mime_write_attachments_ex(h, kind, boundary, out, ctx, lone, nullptr);
}

int mime_write_raw_part(mail_handle* h, uint32_t is_inline, msg_out_cb out, void* ctx) {
    const mail_raw_part* p = is_inline ? h->raw_inline_part : h->raw_part;
    if (p && p->text) msg_write(out, ctx, p->text, static_cast<size_t>(p->length));
    return 1;
}

uint32_t mime_analyse(const mail_handle* h, uint32_t* multipart, uint32_t* related,
                      uint32_t* single, uint32_t* lone) {
    uint32_t s = 1;
    uint32_t l = 0;
    uint32_t count = 0;
    *multipart = 0;
    *related = 0;
    auto store = [&] {
        if (single) *single = s;
        if (lone) *lone = l;
    };
    for (auto it = h->attachments.rbegin(); it != h->attachments.rend(); ++it) {
        if (it->is_inline) {
            *related = 1;
            *multipart = 1;
            store();
            return 1;
        }
        s = 0;
        if (it->encoding == mime_enc_auto || it->encoding == mime_enc_base64 ||
            it->encoding == mime_enc_qp)
            *multipart = 1;
        if (it->encoding != mime_enc_uuencode) ++count;
    }
    if (h->flags & mail_f_force_mime) {
        *multipart = 1;
        s = 0;
    }
    if (h->html_body) *multipart = 1;
    if (h->raw_part) {
        *multipart = 1;
        s = 0;
    }
    if (h->raw_inline_part) {
        *multipart = 1;
        *related = 1;
        s = 0;
    }
    l = count == 1 && !h->raw_part && !h->raw_inline_part && !h->body && !h->html_body;
    store();
    return *multipart;
}

}  // namespace ostrel
