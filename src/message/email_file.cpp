#include "message/email_file.hpp"

#include <sys/stat.h>

#include <cstring>
#include <new>
#include <string_view>

#include "message/header_writer.hpp"
#include "message/sign.hpp"
#include "model/handle.hpp"
#include "support/file.hpp"

namespace ostrel {

namespace {

// Maps the prepared file when it can be sent whole; NULL otherwise, with
// the reason in *fault.
file_mapping_ptr map_whole(const mail_handle* h, int* fault) {
    *fault = msg_email_file_unreadable;
    if (!h->email_file) return nullptr;
    const char* path = h->email_file->c_str();
    // Only a regular file: opening a FIFO for reading would wait for a writer.
    struct stat st;
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    file_mapping_ptr m(file_map(path, 0));
    if (!m) return nullptr;
    if (std::memchr(m->view, '\0', static_cast<size_t>(m->size))) {
        *fault = msg_email_file_nul;
        return nullptr;
    }
    *fault = msg_email_file_ok;
    return m;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// A field without a name (no colon) is dropped like a removed one.
bool dropped_field(const mail_handle* h, std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return true;
    const std::string_view name = line.substr(0, colon);
    for (const msg_header_node& r : h->removed_headers)
        if (equal_nocase(name, r.name)) return true;
    return false;
}

// The next line of text at *pos: up to LF, CR or CR LF, which *pos passes.
std::string_view next_line(std::string_view text, size_t* pos) {
    const size_t start = *pos;
    size_t p = text.find_first_of("\r\n", start);
    if (p == std::string_view::npos) p = text.size();
    const std::string_view line = text.substr(start, p - start);
    if (p < text.size())
        p += (text[p] == '\r' && p + 1 < text.size() && text[p + 1] == '\n') ? 2 : 1;
    *pos = p;
    return line;
}

void write_line(msg_out_cb out, void* ctx, std::string_view line) {
    msg_write(out, ctx, line.data(), line.size());
    msg_write(out, ctx, "\r\n", 2);
}

// The header block (configured fields, the file's kept fields, the custom
// fields) and the body, every line ended by CR LF; unstuffed.
void render(mail_handle* h, std::string_view text, msg_out_cb out, void* ctx) {
    if (!(h->flags & mail_f_raw_headers)) msg_write_headers(h, out, ctx);
    size_t pos = 0;
    bool in_header = true;
    bool dropping = false;
    while (pos < text.size()) {
        const std::string_view line = next_line(text, &pos);
        if (!in_header) {
            write_line(out, ctx, line);
        } else if (line.empty()) {
            for (const msg_header_node& f : h->headers)
                msg_write_field(out, ctx, f.name + ": ", f.value);
            msg_write(out, ctx, "\r\n", 2);
            in_header = false;
        } else if (line[0] == ' ' || line[0] == '\t') {
            if (!dropping) write_line(out, ctx, line);
        } else {
            dropping = dropped_field(h, line);
            if (!dropping) write_line(out, ctx, line);
        }
    }
}

}  // namespace

int msg_check_email_file(const mail_handle* h) {
    int fault = msg_email_file_ok;
    map_whole(h, &fault);
    return fault;
}

const char* msg_email_file_fault_text(int fault) {
    switch (fault) {
        case msg_email_file_ok:
            return "";
        case msg_email_file_nul:
            return "Message file holds a NUL byte";
        case msg_email_file_unsigned:
            return "DKIM signing failed";
        default:
            return "Could not read message file";
    }
}

int msg_write_email_file(mail_handle* h, msg_out_cb out, void* ctx, int* fault) {
    int why = msg_email_file_ok;
    file_mapping_ptr m = map_whole(h, &why);
    if (fault) *fault = why;
    if (!m) return 0;
    const std::string_view text(m->view, static_cast<size_t>(m->size));

    // The wire's stuffing, whatever the handle's own setting: this text only
    // ever goes out in a mail transaction. What is signed stays unstuffed.
    msg_dotstuffer stuffer;
    msg_dotstuff_wrap(true, &stuffer, &out, &ctx);
    const dkim_domain* record = msg_dkim_record(h);
    if (!record) {
        render(h, text, out, ctx);
        msg_write(out, ctx, "\r\n", 2);
        return 1;
    }
    str_buf buf;
    render(h, text, fmt_sink_str_buf, &buf);
    if (buf.flags & str_buf_failed) {
        // A message with a hole must never be signed or sent.
        str_buf_release(&buf);
        throw std::bad_alloc();
    }
    std::string error;
    int signed_ok;
    try {
        signed_ok = msg_dkim_write_signed(h, record, buf.data, buf.length, out, ctx, &error);
    } catch (...) {
        str_buf_release(&buf);
        throw;
    }
    if (!signed_ok) {
        // A message that should carry a signature and cannot is not sent.
        str_buf_release(&buf);
        if (fault) *fault = msg_email_file_unsigned;
        return 0;
    }
    str_buf_release(&buf);
    msg_write(out, ctx, "\r\n", 2);
    return 1;
}

}  // namespace ostrel
