#include "support/util.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "support/fmt.hpp"
#include "support/str.hpp"

namespace ostrel {

uint32_t int_pow(uint32_t base, uint32_t exponent) {
    uint32_t result = 1;
    while (exponent) {
        if (exponent & 1) result *= base;
        base *= base;
        exponent >>= 1;
    }
    return result;
}

int path_chmod(const char* path, const char* mode) {
    if (!path || !mode) return 0;
    long bits = std::strtol(mode, nullptr, 8);
    return ::chmod(path, static_cast<mode_t>(bits)) == 0 ? 1 : 0;
}

int path_mkdir_recursive(const char* path, const char* /*mode*/) {
    if (!path || !*path) return 0;
    if (::access(path, F_OK) == 0) return 1;
    constexpr size_t work_size = 1024;
    // A cut path would create another directory and report it as this one.
    if (std::strlen(path) >= work_size) return 0;
    std::vector<std::string_view> parts;
    std::string_view rest(path);
    while (!rest.empty()) {
        size_t sep = rest.find_first_of("/\\");
        if (sep != 0) parts.push_back(rest.substr(0, sep));
        if (sep == std::string_view::npos) break;
        rest.remove_prefix(sep + 1);
    }
    // An absolute path stays absolute: its leading "/" is kept.
    std::string prefix = path[0] == '/' ? "/" : "";
    size_t i = 0;
    int error = 0;
    for (; i < parts.size(); ++i) {
        if (i) prefix += '/';
        prefix += parts[i];
        if (::access(prefix.c_str(), F_OK) != 0) {
            error = errno;
            break;
        }
    }
    if (i == parts.size()) return 1;
    if (error != ENOENT) return 0;
    for (;;) {
        if (::access(prefix.c_str(), F_OK) != 0 && ::mkdir(prefix.c_str(), 0777) != 0) return 0;
        if (++i == parts.size()) return 1;
        prefix += '/';
        prefix += parts[i];
    }
}

char* path_build(char* out, const char* dir, const char* subdir, const char* name, int create) {
    if (!out) return out;
    str_copy(out, dir ? dir : "", path_out_size);
    str_append(out, "/", path_out_size);
    if (subdir) {
        str_append(out, subdir, path_out_size);
        str_append(out, "/", path_out_size);
    }
    if (create && ::access(out, F_OK) != 0) path_mkdir_recursive(out, nullptr);
    str_append(out, name ? name : "", path_out_size);
    return out;
}

char* path_full(const char* path, char* out) {
    if (!path || !out) return nullptr;
    std::string whole;
    if (path[0] != '/') {
        char* cwd = ::getcwd(nullptr, 0);
        if (!cwd) return nullptr;
        whole = cwd;
        std::free(cwd);
        whole += '/';
    }
    whole += path;
    std::vector<std::string_view> parts;
    std::string_view rest(whole);
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    std::string result;
    for (auto part : parts) {
        result += '/';
        result += part;
    }
    if (result.empty()) result = "/";
    if (result.size() >= path_out_size) return nullptr;
    std::memcpy(out, result.c_str(), result.size() + 1);
    return out;
}

int str_list_contains(const char* text, int case_sensitive, const char* const* list) {
    if (!text || !list) return 0;
    for (; *list; ++list) {
        const char* entry = *list;
        if (case_sensitive) {
            if (!std::strcmp(entry, text)) return 1;
            continue;
        }
        if (entry == text) return 1;
        size_t i = 0;
        while (entry[i] && str_upper_fold_table[static_cast<unsigned char>(entry[i])] ==
                               str_upper_fold_table[static_cast<unsigned char>(text[i])])
            ++i;
        if (!entry[i] && !text[i]) return 1;
    }
    return 0;
}

int str_list_index(const char* text, const char* const* list) {
    if (!text || !list) return -1;
    for (int i = 0; list[i]; ++i)
        if (!std::strcmp(list[i], text)) return i;
    return -1;
}

int int_in_list(int32_t value, ...) {
    va_list ap;
    va_start(ap, value);
    int found = 0;
    for (;;) {
        int32_t n = va_arg(ap, int32_t);
        if (n == value) found = 1;
        if (n < 0 || found) break;
    }
    va_end(ap);
    return found;
}

int hex_digit_value(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

data_node* data_list_push(data_list** list, void* data, int32_t size, int copy) {
    if (!list) return nullptr;
    if (!*list) {
        *list = static_cast<data_list*>(std::calloc(1, sizeof(data_list)));
        if (!*list) return nullptr;
    }
    if (copy && size < 0) return nullptr;
    auto* node = static_cast<data_node*>(std::calloc(1, sizeof(data_node)));
    if (!node) return nullptr;
    if (copy) {
        void* block = std::malloc(size > 0 ? static_cast<size_t>(size) : 1);
        if (!block) {
            std::free(node);
            return nullptr;
        }
        if (size > 0) std::memcpy(block, data, static_cast<size_t>(size));
        node->data = block;
    } else {
        node->data = data;
    }
    node->size = static_cast<uint32_t>(size);
    node->next = (*list)->newest;
    if (node->next) node->next->prev = node;
    (*list)->newest = node;
    return node;
}

void* data_list_next(data_list* list, uint32_t* size, data_node** iter) {
    if (!list) return nullptr;
    data_node* node = iter && *iter ? (*iter)->next : list->newest;
    if (!node) return nullptr;
    if (iter) *iter = node;
    if (size) *size = node->size;
    return node->data;
}

void* data_list_pop(data_list** list, uint32_t* size) {
    if (!list || !*list) return nullptr;
    data_node* node = (*list)->newest;
    if (!node) {
        std::free(*list);
        *list = nullptr;
        return nullptr;
    }
    (*list)->newest = node->next;
    if (node->next) node->next->prev = nullptr;
    void* data = node->data;
    if (size) *size = node->size;
    std::free(node);
    return data;
}

void ptr_list_free(ptr_node** head) {
    if (!head) return;
    for (ptr_node* n = *head; n;) {
        ptr_node* next = n->next;
        std::free(n->value);
        std::free(n);
        n = next;
    }
    *head = nullptr;
}

void mem_free(void* p) {
    std::free(p);
}

namespace {

const char* xml_entity(unsigned char c) {
    switch (c) {
        case '"':
            return "&quot;";
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '%':
            return "&percnt;";
        default:
            return nullptr;
    }
}

bool xml_dropped(unsigned char c) {
    return c < 32 && c != '\t' && c != '\n' && c != '\r';
}

}  // namespace

char* xml_escape(const char* text) {
    if (!text) return nullptr;
    size_t need = 1;
    for (const char* p = text; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        const char* e = xml_entity(c);
        need += e ? std::strlen(e) : xml_dropped(c) ? 0 : 1;
    }
    auto* out = static_cast<char*>(std::malloc(need));
    if (!out) return nullptr;
    char* w = out;
    for (const char* p = text; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (const char* e = xml_entity(c)) {
            size_t n = std::strlen(e);
            std::memcpy(w, e, n);
            w += n;
        } else if (!xml_dropped(c)) {
            *w++ = *p;
        }
    }
    *w = '\0';
    return out;
}

void fmt_hexdump(const void* data, int64_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (!bytes) length = 0;
    static const char digits[] = "0123456789ABCDEF";
    for (int64_t start = 0; start < length; start += 16) {
        const int n = static_cast<int>(length - start < 16 ? length - start : 16);
        // 16 groups of three, two extra spaces, "|  ", 16 characters, " \n".
        char line[96];
        size_t w = 0;
        for (int i = 0; i < n; ++i) {
            unsigned char b = bytes[start + i];
            line[w++] = digits[b >> 4];
            line[w++] = digits[b & 15];
            line[w++] = ' ';
            // One extra space at most: after the 8th, the 16th, the last byte.
            if (i == 7 || i == 15 || start + i == length - 1) line[w++] = ' ';
        }
        if (n < 16) {
            if (n <= 8) line[w++] = ' ';
            for (int i = n; i < 16; ++i) {
                std::memcpy(line + w, "   ", 3);
                w += 3;
            }
        }
        std::memcpy(line + w, "|  ", 3);
        w += 3;
        for (int i = 0; i < n; ++i) {
            unsigned char b = bytes[start + i];
            line[w++] = b >= 32 && b <= 126 ? static_cast<char>(b) : '.';
        }
        line[w++] = ' ';
        line[w++] = '\n';
        line[w] = '\0';
        fmt_printf("%s", line);
    }
    fmt_printf("\n");
}

char* str_rot13(char* text) {
    if (!text) return text;
    for (char* p = text; *p; ++p) {
        char c = *p;
        if ((c >= 'a' && c <= 'm') || (c >= 'A' && c <= 'M'))
            *p = static_cast<char>(c + 13);
        else if ((c >= 'n' && c <= 'z') || (c >= 'N' && c <= 'Z'))
            *p = static_cast<char>(c - 13);
    }
    return text;
}

uint16_t byte_swap16_load(const void* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap16(v);
}

uint32_t byte_swap32_load(const void* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap32(v);
}

uint64_t byte_swap64_load(const void* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap64(v);
}

void* byte_swap16_store(uint16_t value, void* out) {
    value = __builtin_bswap16(value);
    std::memcpy(out, &value, sizeof value);
    return out;
}

void* byte_swap32_store(uint32_t value, void* out) {
    value = __builtin_bswap32(value);
    std::memcpy(out, &value, sizeof value);
    return out;
}

void* byte_swap64_store(uint64_t value, void* out) {
    value = __builtin_bswap64(value);
    std::memcpy(out, &value, sizeof value);
    return out;
}

}  // namespace ostrel
