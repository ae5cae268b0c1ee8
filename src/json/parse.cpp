#include "json/parse.hpp"

#include <locale.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/str.hpp"

namespace ostrel {

namespace {

constexpr size_t node_size = sizeof(json_node);

void set_error(json_parse_ctx* ctx, const char* text) {
    str_set_printf(&ctx->error, "%s", text);
}

json_node* top_node(json_parse_ctx* ctx) {
    return ctx->stack + (static_cast<size_t>(ctx->top) / node_size - 1);
}

// Frees what a node on the stack owns; the record itself is the stack's.
void discard_contents(json_node* n) {
    json_free_tree(n->first_child);
    if (n->flags & json_f_key_owned) std::free(n->key);
    if (n->type == json_string && (n->flags & json_f_text_owned)) std::free(n->value.text);
}

bool has_open_list(json_parse_ctx* ctx) {
    for (size_t i = static_cast<size_t>(ctx->top) / node_size; i > 0; --i)
        if (ctx->stack[i - 1].list_start) return true;
    return false;
}

// A plain integer token ("-" and digits) read exactly, saturating.
bool parse_integer(const char* t, int64_t* out) {
    bool negative = *t == '-';
    const char* p = t + (negative ? 1 : 0);
    if (!*p) return false;
    uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1, v = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        unsigned d = static_cast<unsigned>(*p - '0');
        v = v > (limit - d) / 10 ? limit : v * 10 + d;
    }
    *out = negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
}

// strtod in the C locale, whatever the process's locale says.
double parse_double(const char* t) {
    static locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
    return c_locale ? strtod_l(t, nullptr, c_locale) : 0.0;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four hex digits at p: their value, or -1 with *used set to the digits
// there are (it stops at the terminator).
long hex4(const char* p, size_t* used) {
    long v = 0;
    for (size_t i = 0; i < 4; ++i) {
        int h = hex_value(p[i]);
        if (h < 0) {
            *used = i;
            return -1;
        }
        v = v * 16 + h;
    }
    *used = 4;
    return v;
}

char* put_utf8(char* o, uint32_t cp) {
    if (cp < 0x80) {
        *o++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *o++ = static_cast<char>(0xC0 | (cp >> 6));
        *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *o++ = static_cast<char>(0xE0 | (cp >> 12));
        *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *o++ = static_cast<char>(0xF0 | (cp >> 18));
        *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return o;
}

constexpr uint32_t replacement = 0xFFFD;

// The "\u" escape whose hex digits start at p; returns the position after it.
const char* unescape_u(const char* p, char** out) {
    size_t used;
    long cp = hex4(p, &used);
    if (cp < 0) {
        *out = put_utf8(*out, replacement);
        return p + used;
    }
    p += 4;
    if (cp >= 0xD800 && cp <= 0xDBFF && p[0] == '\\' && p[1] == 'u') {
        long low = hex4(p + 2, &used);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            *out = put_utf8(
                *out, static_cast<uint32_t>(0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00)));
            return p + 6;
        }
    }
    // A lone surrogate is no character; NUL would end the text here.
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0) cp = replacement;
    *out = put_utf8(*out, static_cast<uint32_t>(cp));
    return p;
}

void append_int(std::string* s, long v) {
    char digits[24];
    str_sprintf(digits, sizeof digits, "%ld", v);
    *s += digits;
}

void build_path(json_node* n, std::string* s) {
    if (n->parent) build_path(n->parent, s);
    if (n->key) {
        if (n->parent && n->parent->parent) *s += '/';
        *s += n->key;
    }
    if (n->type == json_array) {
        long before = 0;
        for (json_node* p = n->prev; p; p = p->prev) ++before;
        *s += '[';
        append_int(s, before);
        *s += ']';
    }
}

// The node's path and the separator that goes after it before a name.
struct path_text {
    char path[json_path_size];
    const char* sep;
    explicit path_text(json_node* n) {
        path[0] = '\0';
        if (n) json_node_path(n, path, sizeof path);
        sep = path[0] ? "/" : "";
    }
};

void link_children(json_parse_ctx* ctx, json_node* n) {
    json_node* prev = nullptr;
    for (json_node* c = n->first_child; c; c = c->next) {
        c->parent = n;
        c->prev = prev;
        n->last_child = c;
        prev = c;
        link_children(ctx, c);
        if (ctx && ctx->error) return;
    }
    if (ctx) json_check_duplicates(ctx, n);
}

}  // namespace

json_node* json_stack_push(json_parse_ctx* ctx) {
    if (!ctx->stack || static_cast<size_t>(ctx->top) + node_size > json_stack_size) {
        set_error(ctx, "Stack overflow");
        return nullptr;
    }
    ctx->top += static_cast<int32_t>(node_size);
    json_node* n = top_node(ctx);
    std::memset(static_cast<void*>(n), 0, node_size);
    return n;
}

json_node* json_stack_top(json_parse_ctx* ctx) {
    if (ctx->top <= 0) {
        set_error(ctx, "Stack underflow");
        return nullptr;
    }
    return top_node(ctx);
}

json_node* json_stack_pop(json_parse_ctx* ctx) {
    json_node* top = json_stack_top(ctx);
    if (!top) return nullptr;
    auto* copy = static_cast<json_node*>(std::malloc(node_size));
    if (!copy) {
        set_error(ctx, "Out of memory");
        return nullptr;
    }
    std::memcpy(static_cast<void*>(copy), top, node_size);
    ctx->top -= static_cast<int32_t>(node_size);
    return copy;
}

void json_stack_push_value(json_parse_ctx* ctx, uint32_t type, char* text) {
    char* value = nullptr;
    if (type == json_string && text) {
        value = static_cast<char*>(std::malloc(2 * std::strlen(text) + 1));
        if (!value) {
            set_error(ctx, "Out of memory");
            std::free(text);
            return;
        }
        json_unescape(text, value);
    }
    json_node* n = json_stack_push(ctx);
    if (!n) {
        std::free(value);
        std::free(text);
        return;
    }
    n->type = type;
    const char* t = text ? text : "";
    if (type == json_boolean) {
        n->value.integer = std::strcmp(t, "true") == 0 ? 1 : 0;
    } else if (type == json_number) {
        n->number = parse_double(t);
        if (!parse_integer(t, &n->value.integer)) n->value.integer = json_integer_part(n->number);
    } else if (type == json_string) {
        n->value.text = value;
        n->flags |= json_f_text_owned;
    }
    std::free(text);
}

void json_stack_set_key(json_parse_ctx* ctx, char* key) {
    json_node* n = json_stack_top(ctx);
    if (!n) {
        std::free(key);
        return;
    }
    if (n->flags & json_f_key_owned) std::free(n->key);
    n->key = key;
    n->flags |= json_f_key_owned;
}

void json_stack_mark_list(json_parse_ctx* ctx) {
    if (json_node* n = json_stack_top(ctx)) n->list_start = 1;
}

json_node* json_stack_reduce(json_parse_ctx* ctx, uint32_t type, int has_elements) {
    json_node* chain = nullptr;
    if (has_elements) {
        // Without a mark the pops would run below the stack's start.
        if (!has_open_list(ctx)) {
            set_error(ctx, "Stack underflow");
            return nullptr;
        }
        for (bool last = false; !last;) {
            json_node* n = json_stack_pop(ctx);
            if (!n) {
                // Neither a half list nor the rest of it stays behind.
                json_free_tree(chain);
                for (bool gone = false; !gone;) {
                    json_node* t = top_node(ctx);
                    gone = t->list_start != 0;
                    discard_contents(t);
                    ctx->top -= static_cast<int32_t>(node_size);
                }
                return nullptr;
            }
            last = n->list_start != 0;
            n->list_start = 0;
            n->next = chain;
            chain = n;
        }
    }
    json_node* c = json_stack_push(ctx);
    if (!c) {
        json_free_tree(chain);
        return nullptr;
    }
    c->type = type;
    c->first_child = chain;
    return c;
}

void json_parse_finish(json_parse_ctx* ctx) {
    ctx->root = json_stack_pop(ctx);
    json_link_tree(ctx, ctx->root);
}

void json_parse_reset(json_parse_ctx* ctx) {
    while (ctx->top > 0) {
        discard_contents(top_node(ctx));
        ctx->top -= static_cast<int32_t>(node_size);
    }
    ctx->top = 0;
    std::free(ctx->error);
    ctx->error = nullptr;
}

void json_link_tree(json_parse_ctx* ctx, json_node* node) {
    for (json_node* s = node; s; s = s->next) {
        if (s->next) s->next->prev = s;
        link_children(ctx, s);
        if (ctx && ctx->error) return;
    }
}

void json_check_duplicates(json_parse_ctx* ctx, json_node* node) {
    if (!ctx || !node) return;
    for (json_node* a = node->first_child; a; a = a->next) {
        if (!a->key) continue;
        for (json_node* b = a->next; b; b = b->next) {
            if (b->key && std::strcmp(a->key, b->key) == 0) {
                char path[json_path_size];
                str_set_printf(&ctx->error, "Duplicate value %s",
                               json_node_path(a, path, sizeof path));
                return;
            }
        }
    }
}

char* json_node_path(json_node* node, char* buffer, size_t size) {
    if (!buffer || size == 0) return buffer;
    std::string s;
    if (node) build_path(node, &s);
    str_copy(buffer, s.c_str(), size);
    return buffer;
}

char* json_unescape(const char* src, char* dst) {
    char* o = dst;
    for (const char* p = src; *p;) {
        if (*p != '\\') {
            *o++ = *p++;
            continue;
        }
        char c = p[1];
        if (!c) break;  // a backslash at the very end escapes nothing
        p += 2;
        switch (c) {
            case 'b':
                *o++ = '\b';
                break;
            case 'f':
                *o++ = '\f';
                break;
            case 'n':
                *o++ = '\n';
                break;
            case 'r':
                *o++ = '\r';
                break;
            case 't':
                *o++ = '\t';
                break;
            case 'u':
                p = unescape_u(p, &o);
                break;
            default:
                *o++ = c;  // quote, backslash, slash and any other
                break;
        }
    }
    *o = '\0';
    return dst;
}

const char* json_type_name(uint32_t type) {
    switch (type) {
        case json_string:
            return "String";
        case json_number:
            return "Number";
        case json_boolean:
            return "Boolean";
        case json_null:
            return "Null";
        case json_array:
            return "Array";
        case json_object:
            return "Object";
        default:
            return "Unknown";
    }
}

int settings_check_range(int32_t minimum, int32_t maximum, json_node* node, char** slot) {
    if (!node || node->type != json_number) return 0;
    int64_t v = node->value.integer;
    if (v >= minimum && (maximum == -1 || v <= maximum)) return 1;
    if (slot) {
        path_text p(node);
        if (maximum == -1)
            str_set_printf(slot, "%s must be %d or higher", p.path, minimum);
        else
            str_set_printf(slot, "%s out of range (%d-%d)", p.path, minimum, maximum);
    }
    return 0;
}

int settings_check_type(json_node* node, uint32_t type, char** slot) {
    if (node && node->type == type) return 1;
    if (slot) {
        path_text p(node);
        str_set_printf(slot, "Expected type %s, found type %s (%s)", json_type_name(type),
                       json_type_name(node ? node->type : 0), p.path);
    }
    return 0;
}

int settings_check_one_of(json_node* node, char** slot, const char* const* paths) {
    int found = 0;
    std::string names;
    for (size_t i = 0; paths && paths[i]; ++i) {
        if (json_find(node, paths[i])) ++found;
        if (i) names += '|';
        names += paths[i];
    }
    if (found == 1) return 1;
    if (slot) {
        path_text p(node);
        if (found == 0) {
            std::string rest = names.empty() ? "" : p.sep + names;
            str_set_printf(slot, "Required option %s%s not specified", p.path, rest.c_str());
        } else {
            str_set_printf(slot, "Mutually exclusive options specified for %s", p.path);
        }
    }
    return 0;
}

int settings_check_required(json_node* node, char** slot, const char* const* paths) {
    for (size_t i = 0; paths && paths[i]; ++i) {
        if (json_find(node, paths[i])) continue;
        if (slot) {
            path_text p(node);
            str_set_printf(slot, "Required setting %s%s%s missing", p.path, p.sep, paths[i]);
        }
        return 0;
    }
    return 1;
}

int settings_check_known_typed(json_node* node, char** slot, const json_setting_type* table) {
    for (json_node* c = json_first_child(node); c; c = c->next) {
        const json_setting_type* e = table;
        while (e && e->name && !(c->key && std::strcmp(e->name, c->key) == 0)) ++e;
        if (!e || !e->name) {
            if (slot) {
                path_text p(node);
                str_set_printf(slot, "Unknown setting %s%s%s", p.path, p.sep, c->key ? c->key : "");
            }
            return 0;
        }
        if (!settings_check_type(c, e->type, slot)) return 0;
    }
    return 1;
}

int settings_check_known(json_node* node, char** slot, const char* const* names) {
    for (json_node* c = json_first_child(node); c; c = c->next) {
        const char* const* e = names;
        while (e && *e && !(c->key && std::strcmp(*e, c->key) == 0)) ++e;
        if (!e || !*e) {
            if (slot) {
                path_text p(node);
                str_set_printf(slot, "Unknown setting %s%s%s", p.path, p.sep, c->key ? c->key : "");
            }
            return 0;
        }
    }
    return 1;
}

}  // namespace ostrel
