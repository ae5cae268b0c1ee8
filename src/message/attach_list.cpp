// Attachment and custom header lists, kept in the order of adding.
#include "message/attach_list.hpp"

#include <new>

#include "message/token.hpp"
#include "support/file.hpp"
#include "support/str.hpp"

namespace ostrel {
namespace {

std::optional<std::string> copy_unless_empty(const char* text) {
    if (!str_non_empty(text)) return std::nullopt;
    return std::string(text);
}

}  // namespace

int mime_attach_add(mime_attachment_list* list, const char* path, uint32_t encoding,
                    uint32_t is_inline, const char* content_id, const char* mime_type,
                    const char* name) {
    if (!list || !path || !file_exists_utf8(path)) return 0;
    try {
        mime_attachment a;
        a.path = path;
        if (name) a.given_name = std::string(name);
        a.content_id = copy_unless_empty(content_id);
        a.mime_type = copy_unless_empty(mime_type);
        // An empty given name would leave the part without a file name.
        a.display_name = *mime_encode_word(str_non_empty(name) ? name : path_basename(path));
        a.encoding = encoding;
        a.is_inline = is_inline;
        list->push_back(std::move(a));
        return 1;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

uint32_t mime_attach_encoding_by_kind(uint32_t kind) {
    switch (kind) {
        case 1:
            return mime_enc_base64;
        case 2:
            return mime_enc_qp;
        case 3:
            return mime_enc_uuencode;
        default:
            return mime_enc_auto;
    }
}

int msg_header_list_add(msg_header_list* list, const char* name, const char* value) {
    if (!list || !name || !value) return 0;
    try {
        list->push_back({name, *mime_encode_word(value)});
        return 1;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int msg_header_list_free(msg_header_list* list) {
    if (list) msg_header_list().swap(*list);
    return 1;
}

int mime_attach_list_free(mime_attachment_list* list) {
    if (!list) return 0;
    mime_attachment_list().swap(*list);
    return 1;
}

}  // namespace ostrel
