// The checks a configured handle passes before any delivery.
#include "model/checks.hpp"

#include "model/handle.hpp"

namespace ostrel {

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

}  // namespace ostrel
