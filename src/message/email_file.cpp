#include "message/email_file.hpp"

#include <string>
#include <string_view>

#include "message/header_writer.hpp"
#include "message/sign.hpp"
#include "model/handle.hpp"
#include "support/file.hpp"

namespace ostrel {

namespace {

// The msg_email_file_ value of a read that stopped.
int read_fault(const file_line_reader& file) {
    switch (file.status()) {
        case file_line_reader::file_read_ok:
            return msg_email_file_ok;
        case file_line_reader::file_read_nul:
            return msg_email_file_nul;
        case file_line_reader::file_read_changed:
            return msg_email_file_changed;
        default:
            return msg_email_file_unreadable;
    }
}

// Opens the prepared file for reading; a msg_email_file_ value. A file of
// one block is refused here whole, before anything of it is written. Once
// the file was found sendable, only that state of it is read.
int open_file(const mail_handle* h, file_line_reader* file) {
    if (!h->email_file) return msg_email_file_unreadable;
    file->open(h->email_file->c_str(), h->email_file_stamp ? &*h->email_file_stamp : nullptr);
    return read_fault(*file);
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

// Blind copies stay blind: the file's Bcc field, and the Resent-Bcc of a
// message sent on, never reach the server, also when blanks stand before
// the colon.
bool blind_field(std::string_view name) {
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    return equal_nocase(name, "Bcc") || equal_nocase(name, "Resent-Bcc");
}

// A field without a name (no colon) is dropped like a removed one.
bool dropped_field(const mail_handle* h, std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return true;
    const std::string_view name = line.substr(0, colon);
    if (blind_field(name)) return true;
    for (const msg_header_node& r : h->removed_headers)
        if (equal_nocase(name, r.name)) return true;
    return false;
}

void write_line(msg_out_cb out, void* ctx, std::string_view line) {
    msg_write(out, ctx, line.data(), line.size());
    msg_write(out, ctx, "\r\n", 2);
}

// The header block (configured fields, the file's kept fields, the custom
// fields) and the body, every line ended by CR LF; unstuffed. Returns the
// read's msg_email_file_ value: on a failure part of the text may be out.
// *header_only tells whether the file has no empty line.
int render(mail_handle* h, file_line_reader& file, msg_out_cb out, void* ctx, bool* header_only) {
    if (!(h->flags & mail_f_raw_headers)) msg_write_headers(h, out, ctx);
    bool in_header = true;
    bool dropping = false;
    std::string_view line;
    while (file.next_line(&line)) {
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
    *header_only = in_header;
    return read_fault(file);
}

}  // namespace

int msg_check_email_file(mail_handle* h) {
    file_line_reader file(true);
    if (int fault = open_file(h, &file)) return fault;
    // A file still in the state that was read whole and found sendable
    // needs no second reading.
    if (h->email_file_stamp) return msg_email_file_ok;
    file.read_to_end();
    if (int fault = read_fault(file)) return fault;
    h->email_file_stamp = file.stamp();
    return msg_email_file_ok;
}

int msg_read_email_file_header(mail_handle* h, std::string* text) {
    file_line_reader file(true);
    if (int fault = open_file(h, &file)) return fault;
    std::string_view line;
    size_t end_len = 0;
    while (file.next_line(&line, &end_len) && !line.empty())
        text->append(line.data(), line.size() + end_len);
    return read_fault(file);
}

const char* msg_email_file_fault_text(int fault) {
    switch (fault) {
        case msg_email_file_ok:
            return "";
        case msg_email_file_nul:
            return "Message file holds a NUL byte";
        case msg_email_file_unsigned:
            return "DKIM signing failed";
        case msg_email_file_changed:
            return "Message file changed while it was read";
        default:
            return "Could not read message file";
    }
}

int msg_write_email_file(mail_handle* h, msg_out_cb out, void* ctx, int* fault) {
    int why = msg_email_file_ok;
    if (!fault) fault = &why;
    file_line_reader file(true);
    *fault = open_file(h, &file);
    if (*fault) return 0;

    // The wire's stuffing, whatever the handle's own setting: this text only
    // ever goes out in a mail transaction. What is signed stays unstuffed.
    msg_dotstuffer stuffer;
    msg_dotstuff_wrap(true, &stuffer, &out, &ctx);
    const dkim_domain* record = msg_dkim_record(h);
    bool header_only = false;
    if (!record) {
        *fault = render(h, file, out, ctx, &header_only);
        if (*fault) return 0;
        msg_write(out, ctx, "\r\n", 2);
        return 1;
    }
    str_buf buf;
    *fault = render(h, file, fmt_sink_str_buf, &buf, &header_only);
    if (*fault) {
        str_buf_release(&buf);
        return 0;
    }
    // Without a body the empty line that follows ends the header block: the
    // signature covers it, over an empty body, as the receiver reads it.
    if (header_only) msg_write(fmt_sink_str_buf, &buf, "\r\n", 2);
    std::string error;
    if (!msg_dkim_write_signed(h, record, &buf, out, ctx, &error)) {
        // A message that should carry a signature and cannot is not sent.
        *fault = msg_email_file_unsigned;
        return 0;
    }
    if (!header_only) msg_write(out, ctx, "\r\n", 2);
    return 1;
}

}  // namespace ostrel
