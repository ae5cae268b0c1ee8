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
        mail_set_error_printf(h, "Output file is also an input file (%s)", input->c_str());
        return fail(h, status, mail_file_output_failed, nullptr);
    }
    file_output output(path);
    FILE* f = output.open(output_buffer);
    if (!f) return fail(h, status, mail_file_output_failed, "Failed to open output file");
    mime_input_status inputs;
    mime_compose_ex(h, fmt_sink_file, f, &inputs);
    if (!output.close())
        return fail(h, status, mail_file_output_failed, "Failed to write output file");
    if (!inputs.signing_failed.empty())
        return fail(h, status, mail_file_input_unusable, inputs.signing_failed.c_str());
    if (inputs.unusable) {
        mail_set_error_printf(h, "Could not open attachment (%s)", inputs.first_path.c_str());
        return fail(h, status, mail_file_input_unusable, nullptr);
    }
    output.keep();
    return 1;
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

}  // namespace ostrel
