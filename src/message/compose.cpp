#include "message/compose.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "message/attach_writer.hpp"
#include "message/header_writer.hpp"
#include "message/out.hpp"
#include "message/sign.hpp"
#include "message/token.hpp"
#include "model/handle.hpp"
#include "platform/file_map.hpp"
#include "support/encode.hpp"
#include "support/file.hpp"
#include "support/str.hpp"

namespace ostrel {

namespace {

constexpr size_t boundary_size = 64;
constexpr size_t uu_line_in = 45;
constexpr size_t yenc_line = 499;

enum class layout { lone, multipart, single, uuencode };

struct structure {
    layout kind = layout::uuencode;
    bool related = false;
};

bool mime_encoded(uint32_t encoding) {
    return encoding == mime_enc_auto || encoding == mime_enc_base64 || encoding == mime_enc_qp;
}

structure choose_structure(const mail_handle* h) {
    bool any_inline = false;
    bool any_mime = false;
    int not_uu = 0;
    for (const mime_attachment& a : h->attachments) {
        any_inline = any_inline || a.is_inline;
        any_mime = any_mime || mime_encoded(a.encoding);
        if (a.encoding != mime_enc_uuencode) ++not_uu;
    }
    structure s;
    s.related = any_inline || h->raw_inline_part;
    const bool multipart =
        s.related || h->raw_part || any_mime || (h->flags & mail_f_force_mime) || h->html_body;
    const bool lone = !any_inline && not_uu == 1 && !h->raw_part && !h->raw_inline_part &&
                      !h->body && !h->html_body;
    const bool single = h->attachments.empty() && !h->raw_part && !h->raw_inline_part &&
                        !(h->flags & mail_f_force_mime);
    s.kind = lone        ? layout::lone
             : multipart ? layout::multipart
             : single    ? layout::single
                         : layout::uuencode;
    return s;
}

// A body with 8-bit text, or read from a file, goes out quoted-printable in
// UTF-8 unless the caller chose otherwise.
void settle_body_encoding(mail_handle* h) {
    const bool from_file = h->flags2 & mail_f2_body_file;
    if (!from_file && str_is_7bit(str_or_null(h->body))) return;
    if (!(h->flags & mail_f_body_enc_mask)) h->flags |= mail_f_body_qp;
    if (!h->charset) h->charset = "utf-8";
}

// A mail_body_enc value.
uint32_t body_encoding(const mail_handle* h) {
    return (h->flags & mail_f_body_enc_mask) >> mail_f_body_enc_shift;
}

std::string make_boundary(const std::optional<std::string>& given) {
    char b[boundary_size];
    if (given)
        str_copy(b, given->c_str(), sizeof b);
    else
        mime_make_boundary(b);
    return b;
}

void write_base64_text(const char* text, size_t len, msg_out_cb out, void* ctx) {
    std::string lines;
    b64_encode_lines(reinterpret_cast<const uint8_t*>(text), len, &lines);
    msg_write(out, ctx, lines.data(), lines.size());
}

// Quoted-printable in text mode, then the line end that closes the body.
void write_qp_text(const char* text, size_t len, msg_out_cb out, void* ctx) {
    mime_qp_writer qp(1, out, ctx);
    qp.write(reinterpret_cast<const uint8_t*>(text), len);
    qp.finish();
    msg_out(out, ctx, "\r\n");
}

// Wrapped at line_length, each line with CR LF; the rest after the last
// line end is a last line even when empty.
void write_plain_text(const mail_handle* h, const char* text, msg_out_cb out, void* ctx) {
    const int width =
        static_cast<int>(std::clamp<uint32_t>(h->line_length, 1, mail_line_length_max));
    std::vector<char> line(static_cast<size_t>(width) + 1);
    const char* cursor = text;
    while (str_wrap_line(&cursor, line.data(), width)) msg_out(out, ctx, "%s\r\n", line.data());
}

void write_text_body(const mail_handle* h, uint32_t encoding, msg_out_cb out, void* ctx) {
    if (!h->body) return;
    const std::string& b = *h->body;
    // A body file read raw may hold NUL bytes: the encoded forms carry every
    // byte of it, where stopping at the first NUL would lose the rest unseen.
    const size_t len = encoding == mail_body_enc_none ? std::strlen(b.c_str()) : b.size();
    if (encoding == mail_body_enc_base64)
        write_base64_text(b.c_str(), len, out, ctx);
    else if (encoding == mail_body_enc_qp)
        write_qp_text(b.c_str(), len, out, ctx);
    else
        write_plain_text(h, b.c_str(), out, ctx);
}

void write_html_file(mail_handle* h, msg_out_cb out, void* ctx, mime_input_status* status) {
    const char* path = h->html_body->c_str();
    int fd = file_open_utf8(path, file_o_binary, file_s_iread);
    if (fd < 0) {
        // The part stays empty; the caller learns that the message is not
        // what was asked for.
        mime_report_unusable(h, path);
        mime_note_unusable(status, path);
        return;
    }
    mime_file_reader in(fd);
    int ok;
    if (body_encoding(h) == mail_body_enc_base64) {
        ok = mime_write_base64_stream(in, out, ctx);
    } else {
        ok = mime_write_qp_stream(in, 1, out, ctx);
        if (ok) msg_out(out, ctx, "\r\n");
    }
    if (!ok) mime_read_failed(h, path, status);
}

void write_html_part(mail_handle* h, const structure& s, const std::string& alt, msg_out_cb out,
                     void* ctx, mime_input_status* status) {
    std::string related;
    msg_out(out, ctx, "--%s\r\n", alt);
    if (s.related) {
        related = make_boundary(h->boundary_related);
        msg_out(out, ctx, "Content-Type: multipart/related;\r\n\tboundary=\"%s\"\r\n\r\n", related);
        msg_out(out, ctx, "--%s\r\n", related);
    }
    msg_out(out, ctx, "Content-Type: text/html; charset=\"utf-8\"\r\n");
    msg_out(out, ctx, "Content-Transfer-Encoding: %s\r\n\r\n",
            body_encoding(h) == mail_body_enc_base64 ? "base64" : "quoted-printable");
    if (h->flags2 & mail_f2_html_file) {
        write_html_file(h, out, ctx, status);
    } else {
        const std::string& html = *h->html_body;
        const size_t len = std::strlen(html.c_str());
        if (body_encoding(h) == mail_body_enc_base64)
            write_base64_text(html.c_str(), len, out, ctx);
        else
            write_qp_text(html.c_str(), len, out, ctx);
    }
    if (s.related) {
        mime_write_raw_part(h, 1, out, ctx);
        mime_write_attachments_ex(h, 1, related.c_str(), out, ctx, 0, status);
        msg_out(out, ctx, "--%s--\r\n\r\n", related);
    }
    msg_out(out, ctx, "--%s--\r\n\r\n", alt);
}

void write_text_fields(const mail_handle* h, const structure& s, msg_out_cb out, void* ctx) {
    const std::string charset = h->charset.value_or("us-ascii");
    const uint32_t encoding = body_encoding(h);
    const char* cte = encoding == mail_body_enc_base64 ? "base64"
                      : encoding == mail_body_enc_qp   ? "quoted-printable"
                                                       : nullptr;
    if (s.kind == layout::multipart) {
        msg_out(out, ctx, "Content-Type: text/plain; charset=\"%s\"\r\n", charset);
        if (cte) msg_out(out, ctx, "Content-Transfer-Encoding: %s\r\n", cte);
    } else {
        msg_out(out, ctx, "Content-Type: text/plain; charset=%s\r\n", charset);
        msg_out(out, ctx, "MIME-Version: 1.0\r\n");
        msg_out(out, ctx, "Content-Transfer-Encoding: %s\r\n", cte ? cte : "7bit");
    }
    msg_out(out, ctx, "\r\n");
}

// A display name made of several encoded words holds folds; the begin line
// of an encoded file must stay one line, so the folds keep only their blank.
std::string unfolded(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\r' && i + 1 < name.size() && name[i + 1] == '\n') {
            ++i;
            continue;
        }
        out += name[i];
    }
    return out;
}

// Reads the file in pieces of `piece` bytes and writes each piece as one
// encoded body line. False on a read error.
template <typename Encode>
bool write_encoded_lines(mime_file_reader& in, size_t piece, Encode encode, msg_out_cb out,
                         void* ctx) {
    std::vector<uint8_t> buf(piece);
    std::vector<char> line(2 * piece + 2);
    for (;;) {
        long n = in.read(buf.data(), buf.size());
        if (n < 0) return false;
        if (n == 0) return true;
        size_t len = static_cast<size_t>(encode(buf.data(), static_cast<int>(n), line.data()));
        line[len] = '\r';
        line[len + 1] = '\n';
        msg_write(out, ctx, line.data(), len + 2);
    }
}

bool write_uuencoded(const mime_attachment& a, mime_file_reader& in, msg_out_cb out, void* ctx) {
    msg_out(out, ctx, "begin 644 %s\r\n", unfolded(a.display_name));
    if (!write_encoded_lines(in, uu_line_in, mime_uu_encode_line, out, ctx)) return false;
    msg_out(out, ctx, "`\r\nend\r\n");
    return true;
}

bool write_yencoded(const mime_attachment& a, int fd, mime_file_reader& in, msg_out_cb out,
                    void* ctx) {
    off_t size = ::lseek(fd, 0, SEEK_END);
    if (size < 0 || ::lseek(fd, 0, SEEK_SET) != 0) return true;  // skipped, as a bad entry
    const int64_t bytes = size;
    msg_out(out, ctx, "=ybegin size=%D line=%d name=%s\r\n", bytes, static_cast<int>(yenc_line),
            unfolded(a.display_name));
    if (!write_encoded_lines(in, yenc_line, mime_yenc_encode, out, ctx)) return false;
    msg_out(out, ctx, "=yend size=%D\r\n", bytes);
    return true;
}

// Uuencoded and yEnc files go into the body itself.
void write_inline_encoded(mail_handle* h, msg_out_cb out, void* ctx, mime_input_status* status) {
    for (const mime_attachment& a : h->attachments) {
        if (a.encoding != mime_enc_uuencode && a.encoding != mime_enc_yenc) continue;
        // These files are opened by their byte-string names.
        int fd = plat_open(a.path.c_str(), plat_o_binary, 0);
        if (fd < 0) {
            mail_set_error_printf(h, "Could not open attachment (%s)", a.path.c_str());
            mime_report_unusable(h, mail_last_error(h));
            mime_note_unusable(status, a.path.c_str());
            continue;
        }
        mime_file_reader in(fd);
        bool ok = a.encoding == mime_enc_uuencode ? write_uuencoded(a, in, out, ctx)
                                                  : write_yencoded(a, fd, in, out, ctx);
        if (!ok) mime_read_failed(h, a.path.c_str(), status);
    }
}

void write_custom_headers(const mail_handle* h, msg_out_cb out, void* ctx) {
    for (const msg_header_node& f : h->headers) msg_write_field(out, ctx, f.name + ": ", f.value);
}

// Everything of the message, in order, through one sink.
void compose_message(mail_handle* h, msg_out_cb out, void* ctx, mime_input_status* status) {
    settle_body_encoding(h);
    const structure s = choose_structure(h);
    const std::string mixed = make_boundary(h->boundary_mixed);
    msg_write_headers(h, out, ctx);
    write_custom_headers(h, out, ctx);

    uint32_t text_encoding = body_encoding(h);
    switch (s.kind) {
        case layout::lone:
            msg_out(out, ctx, "MIME-Version: 1.0\r\n");
            break;
        case layout::multipart:
            msg_out(out, ctx, "Content-Type: multipart/mixed;\r\n\tboundary=\"%s\"\r\n", mixed);
            msg_out(out, ctx, "MIME-Version: 1.0\r\n\r\nMIME\r\n--%s\r\n", mixed);
            break;
        case layout::single:
            break;
        case layout::uuencode:
            // No field names an encoding here, so the text goes out as it is.
            text_encoding = mail_body_enc_none;
            msg_out(out, ctx, "\r\n");
            break;
    }
    std::string alt;
    if (s.kind == layout::multipart && h->html_body) {
        alt = make_boundary(h->boundary_alt);
        msg_out(out, ctx, "Content-Type: multipart/alternative;\r\n\tboundary=\"%s\"\r\n\r\n", alt);
        msg_out(out, ctx, "--%s\r\n", alt);
    }
    if (s.kind == layout::multipart || s.kind == layout::single) write_text_fields(h, s, out, ctx);
    write_text_body(h, text_encoding, out, ctx);
    if (s.kind == layout::multipart && h->html_body) write_html_part(h, s, alt, out, ctx, status);
    write_inline_encoded(h, out, ctx, status);
    if (s.kind == layout::multipart || s.kind == layout::lone) {
        mime_write_raw_part(h, 0, out, ctx);
        mime_write_attachments_ex(h, 0, mixed.c_str(), out, ctx, s.kind == layout::lone, status);
        if (s.kind != layout::lone) msg_out(out, ctx, "--%s--\r\n", mixed);
    }
}

}  // namespace

int mime_compose_ex(mail_handle* h, msg_out_cb out, void* ctx, mime_input_status* status) {
    // Stuffing applies to what goes out, never to what is signed.
    msg_dotstuffer stuffer;
    msg_dotstuff_wrap(h->flags2 & mail_f2_dotstuff, &stuffer, &out, &ctx);
    const dkim_domain* record = msg_dkim_record(h);
    if (!record) {
        compose_message(h, out, ctx, status);
        return 1;
    }
    str_buf buf;
    compose_message(h, fmt_sink_str_buf, &buf, status);
    if (buf.flags & str_buf_failed) {
        // A message with a hole must never be signed or sent.
        str_buf_release(&buf);
        throw std::bad_alloc();
    }
    // The buffer holds the text unstuffed: that is what a receiver verifies.
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
        if (status) status->signing_failed = error;
        return 0;
    }
    str_buf_release(&buf);
    return 1;
}

int mime_compose(mail_handle* h, msg_out_cb out, void* ctx) {
    return mime_compose_ex(h, out, ctx, nullptr);
}

}  // namespace ostrel
