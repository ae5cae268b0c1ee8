#include "mail/file_mode.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "mail/mail.hpp"
#include "message/compose.hpp"
#include "message/token.hpp"
#include "net/conn.hpp"
#include "support/file.hpp"
#include "support/str.hpp"

namespace ostrel {

namespace {

constexpr size_t output_buffer = 256 * 1024;

// The next argument when it is of the wanted kind, as the engine takes them.
const fmt_arg* take(fmt_args args, size_t& next, fmt_kind kind) {
    if (next >= args.size() || args[next].kind != kind) return nullptr;
    return &args[next++];
}

void put_text(FILE* f, const char* s, size_t n) {
    if (n) std::fwrite(s, 1, n, f);
}

// Removes what was written of a regular output file; a device or pipe
// keeps what it already took.
void drop_output(const std::string& path, bool regular) {
    if (regular) std::remove(path.c_str());
}

// The first input file that is the output file itself, or NULL. Opening the
// output truncates it, so such an input would be read back empty and lost.
const std::string* input_that_is(const mail_handle* h, const std::string& output) {
    struct stat out {};
    if (stat(output.c_str(), &out) != 0 || !S_ISREG(out.st_mode)) return nullptr;
    auto same = [&out](const std::string& path) {
        struct stat in {};
        return stat(path.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
    };
    for (const mime_attachment& a : h->attachments)
        if (same(a.path)) return &a.path;
    if ((h->flags2 & mail_f2_html_file) && h->html_body && same(*h->html_body))
        return &*h->html_body;
    return nullptr;
}

int fail(mail_handle* h, int* status, int code, const char* text) {
    if (text) mail_set_error_text(h, std::string(text));
    if (status) *status = code;
    return 0;
}

}  // namespace

void mail_file_printf(void* ctx, const char* format, fmt_args args) {
    FILE* f = static_cast<FILE*>(ctx);
    size_t next = 0;
    const char* p = format;
    while (*p) {
        const char* pct = std::strchr(p, '%');
        if (!pct) {
            put_text(f, p, std::strlen(p));
            return;
        }
        put_text(f, p, static_cast<size_t>(pct - p));
        p = pct + 1;
        if (*p == '%') {
            std::fputc('%', f);
            ++p;
        } else if (*p == 's') {
            const fmt_arg* a = take(args, next, fmt_kind::str);
            if (a && a->str) put_text(f, a->str, std::strlen(a->str));
            ++p;
        } else if (*p == 'd') {
            const fmt_arg* a = take(args, next, fmt_kind::i32);
            if (a) std::fprintf(f, "%d", a->i32);
            ++p;
        } else if (p[0] == '.' && p[1] == '*' && p[2] == 's') {
            // Written by its count: content may hold NUL bytes.
            const fmt_arg* n = take(args, next, fmt_kind::i32);
            const fmt_arg* a = take(args, next, fmt_kind::str);
            if (n && a && a->str && n->i32 > 0) put_text(f, a->str, static_cast<size_t>(n->i32));
            p += 3;
        } else if (*p) {
            ++p;  // no such conversion in the writers' formats
        }
    }
}

int mail_write_output_file(mail_handle* h, int* status) {
    if (status) *status = mail_file_ok;
    if (h->flags & mail_f_dotstuff_file)
        h->flags2 |= mail_f2_dotstuff;
    else
        h->flags2 &= ~mail_f2_dotstuff;
    if (!h->output_file)
        return fail(h, status, mail_file_output_failed, "Failed to open output file");
    const std::string path = *h->output_file;
    if (const std::string* input = input_that_is(h, path)) {
        str_set_printf(h->last_error, "Output file is also an input file (%s)", input->c_str());
        return fail(h, status, mail_file_output_failed, nullptr);
    }
    FILE* f = file_fopen_utf8(path.c_str(), "wb");
    if (!f) return fail(h, status, mail_file_output_failed, "Failed to open output file");
    struct stat st {};
    const bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
    std::setvbuf(f, nullptr, _IOFBF, output_buffer);

    mime_input_status inputs;
    mime_compose_ex(h, mail_file_printf, f, &inputs);
    const bool write_failed = std::ferror(f) != 0;
    const bool close_failed = std::fclose(f) != 0;
    if (write_failed || close_failed) {
        drop_output(path, regular);
        return fail(h, status, mail_file_output_failed, "Failed to write output file");
    }
    if (inputs.unusable) {
        drop_output(path, regular);
        str_set_printf(h->last_error, "Could not open attachment (%s)", inputs.first_path.c_str());
        return fail(h, status, mail_file_input_unusable, nullptr);
    }
    return 1;
}

int mail_check_credentials(const mail_handle* h) {
    if (!h->user) return 1;
    return !h->user->empty() && h->password && !h->password->empty();
}

int mail_check_attachments(const mail_handle* h, const char** error) {
    *error = nullptr;
    bool needs_mime =
        h->raw_part || h->raw_inline_part || h->html_body || (h->flags & mail_f_force_mime);
    bool has_inline = h->raw_inline_part != nullptr;
    bool has_uu = false;
    for (const mime_attachment& a : h->attachments) {
        needs_mime = needs_mime || a.is_inline || a.encoding == mime_enc_auto ||
                     a.encoding == mime_enc_base64 || a.encoding == mime_enc_qp;
        has_inline = has_inline || a.is_inline;
        has_uu = has_uu || a.encoding == mime_enc_uuencode;
    }
    const bool inline_without_html = has_inline && !h->html_body;
    if (has_uu && needs_mime) {
        *error = inline_without_html ? "Inline attachments require a HTML body"
                                     : "Mixing MIME and Uuencoded attachments is prohibited";
        return 0;
    }
    if (inline_without_html) {
        *error = "Inline attachments require a HTML body";
        return 0;
    }
    return 1;
}

const char* mail_last_error(const mail_handle* h) {
    return h->last_error ? h->last_error->c_str() : "";
}

int mail_connection_info(mail_handle* h, char* host, char* ip, uint16_t* port, uint32_t* flags) {
    int count = 0;
    if (host) {
        str_copy(host, h->host ? h->host->c_str() : "", 256);
        ++count;
    }
    if (ip) {
        ip[0] = '\0';
        if ((h->flags & mail_f_connected) && h->conn && ip_peer_address(h->conn, ip, 256, nullptr))
            ++count;
    }
    if (port) *port = static_cast<uint16_t>(h->port);
    if (flags) {
        *flags = ((h->flags & mail_f_esmtp) ? 1u : 0u) | ((h->flags & mail_f_starttls) ? 2u : 0u) |
                 ((h->flags & mail_f_smtps) ? 4u : 0u) |
                 ((h->flags & mail_f_authenticated) ? 8u : 0u);
    }
    return count;
}

const char* smtp_protocol_name(uint32_t flags) {
    const bool tls = flags & 2;
    const bool auth = flags & 8;
    if (flags & 4) return auth ? "SMTPSA" : "SMTPS";
    if (flags & 1) {
        if (tls) return auth ? "ESMTPSA" : "ESMTPS";
        return auth ? "ESMTPA" : "ESMTP";
    }
    return "SMTP";
}

}  // namespace ostrel
