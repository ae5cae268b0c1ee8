#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json/json.hpp"

namespace ostrel {

namespace {

// The length of the well-formed character at p (n bytes there, n >= 1); or 0
// with *bad set to the length of the ill-formed part to replace, the longest
// start of a well-formed sequence there (at least one byte).
size_t char_length(const unsigned char* p, size_t n, size_t* bad) {
    unsigned char b = p[0];
    if (b < 0x80) return 1;
    size_t more;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        more = 1;
    } else if (b == 0xE0) {
        more = 2, lo = 0xA0;  // no overlong forms
    } else if (b == 0xED) {
        more = 2, hi = 0x9F;  // no surrogates
    } else if (b >= 0xE1 && b <= 0xEF) {
        more = 2;
    } else if (b == 0xF0) {
        more = 3, lo = 0x90;
    } else if (b >= 0xF1 && b <= 0xF3) {
        more = 3;
    } else if (b == 0xF4) {
        more = 3, hi = 0x8F;  // nothing past U+10FFFF
    } else {
        *bad = 1;
        return 0;
    }
    size_t i = 1;
    for (; i <= more && i < n; ++i) {
        unsigned char c = p[i];
        if (c < (i == 1 ? lo : 0x80) || c > (i == 1 ? hi : 0xBF)) break;
    }
    if (i > more) return more + 1;
    *bad = i;
    return 0;
}

constexpr char replacement[] = "\xEF\xBF\xBD";  // U+FFFD

char short_escape(unsigned char b) {
    switch (b) {
        case '"':
            return '"';
        case '\\':
            return '\\';
        case 0x08:
            return 'b';
        case 0x09:
            return 't';
        case 0x0A:
            return 'n';
        case 0x0C:
            return 'f';
        case 0x0D:
            return 'r';
        default:
            return 0;
    }
}

void indent(str_buf* b, int level, int pretty) {
    if (!pretty) return;
    for (int i = 0; i < level; ++i) str_buf_append(b, "  ", 2);
}

// Writes a quoted, escaped text; false when its copy could not be made.
bool write_quoted(str_buf* b, const char* text) {
    char* esc = json_escape_dup(text);
    if (!esc) return false;
    str_buf_appendf(b, "\"%s\"", esc);
    std::free(esc);
    return true;
}

// false when the tree cannot be written as JSON: an Object member without a
// key, or a key whose escaped copy could not be made.
bool write_node(json_node* n, str_buf* b, int level, int pretty, bool member_of_object) {
    indent(b, level, pretty);
    if (member_of_object) {
        if (!n->key || !write_quoted(b, n->key)) return false;
        str_buf_append(b, pretty ? ": " : ":", pretty ? 2 : 1);
    }
    switch (n->type) {
        case json_object:
        case json_array: {
            bool object = n->type == json_object;
            str_buf_append(b, object ? "{" : "[", 1);
            if (pretty) str_buf_append(b, "\n", 1);
            for (json_node* c = n->first_child; c; c = c->next) {
                if (!write_node(c, b, level + 1, pretty, object)) return false;
                if (c->next)
                    str_buf_append(b, pretty ? ",\n" : ",", pretty ? 2 : 1);
                else if (pretty)
                    str_buf_append(b, "\n", 1);
            }
            indent(b, level, pretty);
            str_buf_append(b, object ? "}" : "]", 1);
            return true;
        }
        case json_string:
            if (!n->value.text)
                str_buf_append(b, "null", 4);
            else if (!write_quoted(b, n->value.text))
                str_buf_append(b, "\"null\"", 6);
            return true;
        case json_number:
            str_buf_appendf(b, "%D", n->value.integer);
            return true;
        case json_boolean:
            if (n->value.integer)
                str_buf_append(b, "true", 4);
            else
                str_buf_append(b, "false", 5);
            return true;
        default:
            // Null, and codes that name no type: a member needs a value.
            str_buf_append(b, "null", 4);
            return true;
    }
}

}  // namespace

int json_escape_u(char* out, unsigned char byte) {
    return std::snprintf(out, 6, "u%04x", byte);
}

size_t json_escaped_size(const char* text) {
    if (!text) return 0;
    auto* p = reinterpret_cast<const unsigned char*>(text);
    size_t n = std::strlen(text), size = 1;
    for (size_t i = 0; i < n;) {
        size_t bad = 0, len = char_length(p + i, n - i, &bad);
        if (len == 1) {
            size += short_escape(p[i]) ? 2 : p[i] < 0x20 ? 6 : 1;
        } else if (len) {
            size += len;
        } else {
            size += sizeof replacement - 1;
            len = bad;
        }
        i += len;
    }
    return size;
}

char* json_escape_string(const char* text, char* buffer) {
    if (!text) return nullptr;
    char* out = buffer;
    if (!out && !(out = static_cast<char*>(std::malloc(json_escaped_size(text))))) return nullptr;
    auto* p = reinterpret_cast<const unsigned char*>(text);
    size_t n = std::strlen(text), o = 0;
    for (size_t i = 0; i < n;) {
        size_t bad = 0, len = char_length(p + i, n - i, &bad);
        if (len == 1) {
            if (char e = short_escape(p[i])) {
                out[o++] = '\\';
                out[o++] = e;
            } else if (p[i] < 0x20) {
                out[o++] = '\\';
                o += static_cast<size_t>(json_escape_u(out + o, p[i]));
            } else {
                out[o++] = static_cast<char>(p[i]);
            }
        } else if (len) {
            std::memcpy(out + o, p + i, len);
            o += len;
        } else {
            std::memcpy(out + o, replacement, sizeof replacement - 1);
            o += sizeof replacement - 1;
            len = bad;
        }
        i += len;
    }
    out[o] = '\0';
    return out;
}

char* json_escape_dup(const char* text) {
    return json_escape_string(text, nullptr);
}

char* json_write(json_node* node, str_buf* buf, int level, int pretty) {
    if (!node || !buf) return nullptr;
    // Made here rather than by the first formatted append, whose failure to
    // make it would leave no mark in the flags.
    if (buf->capacity == 0 && !str_buf_append(buf, "", 0)) return nullptr;
    if (!write_node(node, buf, level, pretty, false)) return nullptr;
    // An empty buffer whose first block could not be made has no text.
    if ((buf->flags & str_buf_failed) || !buf->data) return nullptr;
    return buf->data;
}

char* json_print(json_node* root, int pretty) {
    str_buf b;
    if (!json_write(root, &b, 0, pretty)) {
        str_buf_release(&b);
        return nullptr;
    }
    return b.data;
}

}  // namespace ostrel
