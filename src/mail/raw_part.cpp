#include "mail/raw_part.hpp"

#include <cstdio>

#include "mail/mail.hpp"
#include "message/attach_writer.hpp"
#include "support/file.hpp"
#include "support/fmt.hpp"

namespace ostrel {

int mail_set_raw_part(mail_handle* h, const mail_raw_part* part, int is_inline) {
    const mail_raw_part* p = part && part->length ? part : nullptr;
    if (is_inline)
        h->raw_inline_part = p;
    else
        h->raw_part = p;
    return 1;
}

int mime_write_attachments_stream(mail_handle* h, uint32_t is_inline, const char* boundary,
                                  FILE* stream, int lone) {
    return mime_write_attachments(h, is_inline ? 1 : 0, boundary, fmt_sink_file, stream,
                                  lone ? 1 : 0);
}

int mime_write_attachments_file(mail_handle* h, uint32_t is_inline, FILE* stream) {
    if (!h->boundary_mixed || !h->boundary_related) return 0;
    const std::string& b = is_inline ? *h->boundary_related : *h->boundary_mixed;
    return mime_write_attachments_stream(h, is_inline, b.c_str(), stream, 0);
}

int mime_save_attachments(mail_handle* h, uint32_t is_inline, const char* path) {
    if (!h->boundary_mixed || !h->boundary_related) return 0;
    file_output output(path);
    FILE* f = output.open();
    if (!f) return -1;
    int r = mime_write_attachments_file(h, is_inline, f);
    // Bytes that never reached the file make the file a failure too.
    if (!output.close()) r = -1;
    if (r >= 1) output.keep();
    return r;
}

}  // namespace ostrel
