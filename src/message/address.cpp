// Recipient lists, address classes, the envelope form of an address (IDN
// labels in punycode), DSN flags, and the callbacks the scanners feed.
#include "message/address.hpp"

#include <idn2.h>

#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "message/address_field.hpp"
#include "message/scan.hpp"
#include "message/token.hpp"
#include "model/handle.hpp"
#include "support/str.hpp"
#include "support/unicode.hpp"

namespace ostrel {

namespace {

constexpr size_t addr_buf_size = 256;  // addresses, names and IDN results
constexpr size_t addr_max_len = 254;

bool printable(unsigned char c) {
    return c >= 0x20 && c <= 0x7E;
}

bool all_printable(std::string_view s) {
    for (unsigned char c : s)
        if (!printable(c)) return false;
    return true;
}

// Trailing blanks go, then one pair of enclosing double quotes.
std::string_view trim_name(const char* name, uint32_t len) {
    std::string_view s(name, len);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    return s;
}

// The labels of an ASCII domain joined by ".", empty ones left out, into out
// (256 bytes). False, with out untouched, when they do not fit.
bool join_labels(std::string_view domain, char* out) {
    char buf[addr_buf_size];
    size_t len = 0;
    while (!domain.empty()) {
        const size_t dot = domain.find('.');
        const std::string_view label = domain.substr(0, dot);
        domain = dot == std::string_view::npos ? std::string_view() : domain.substr(dot + 1);
        if (label.empty()) continue;  // leading, trailing and doubled dots vanish
        if (len + (len ? 1 : 0) + label.size() >= addr_buf_size) return false;
        if (len) buf[len++] = '.';
        std::memcpy(buf + len, label.data(), label.size());
        len += label.size();
    }
    buf[len] = '\0';
    std::memcpy(out, buf, len + 1);
    return true;
}

// Labels of letters, digits and "-" joined by dots: what the address rule
// takes in an ASCII domain.
bool ldh_labels(std::string_view domain) {
    for (unsigned char c : domain) {
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && c != '-' && c != '.') return false;
    }
    return true;
}

struct idn2_text_free {
    void operator()(char* p) const { idn2_free(p); }
};

addr_list* handle_list(void* handle, addr_list mail_handle::*which) {
    return &(static_cast<mail_handle*>(handle)->*which);
}

// An entry the list refuses is told to the reader, which fails the field
// rather than leave a recipient out unseen. A usable address is refused only
// for want of memory: that is no fault of the file, and is thrown.
int add_from_header(addr_list* list, const char* addr, uint32_t addr_len, const char* name,
                    uint32_t name_len) {
    if (addr_len > addr_buf_size - 1) return 0;
    std::string_view trimmed = name ? trim_name(name, name_len) : std::string_view();
    if (trimmed.size() > addr_buf_size - 1) return 0;
    const std::string address(addr, addr_len);
    if (addr_classify(address.c_str()) == 0) return 0;
    if (!addr_list_add(list, address.c_str(), std::string(trimmed).c_str(), nullptr))
        throw std::bad_alloc();
    return 1;
}

// The fields of a prepared file that name people, and what each is read for.
struct address_field {
    const char* name;
    msg_scan_cb cb;
    uint32_t wanted;  // the flags2 bit that asks for it
};

constexpr address_field address_fields[] = {
    {"To", addr_cb_to, mail_f2_take_rcpts},
    {"Cc", addr_cb_cc, mail_f2_take_rcpts},
    {"Bcc", addr_cb_bcc, mail_f2_take_rcpts},
    {"From", addr_cb_from, mail_f2_take_from},
};

bool name_is(const char* name, uint32_t len, const char* want) {
    return len == std::strlen(want) && str_ncasecmp(name, want, static_cast<int>(len)) == 0;
}

}  // namespace

addr_node* addr_list_add(addr_list* list, const char* address, const char* name,
                         const char* dsn_letters) {
    if (!list || !address || addr_classify(address) == 0) return nullptr;
    try {
        addr_node node;
        node.address = address;
        node.name = mime_encode_word(name);
        node.dsn_flags = dsn_letters ? addr_dsn_parse(dsn_letters) : 0;
        list->push_front(std::move(node));
        return &list->front();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int addr_list_free(addr_list* list) {
    if (list) addr_list().swap(*list);
    return 1;
}

uint32_t addr_dsn_parse(const char* letters) {
    uint32_t flags = 0;
    for (const char* p = letters; p && *p; ++p) {
        switch (*p) {
            case 'N':
            case 'n':
                flags |= 1;
                break;
            case 'S':
            case 's':
                flags |= 2;
                break;
            case 'F':
            case 'f':
                flags |= 4;
                break;
            case 'D':
            case 'd':
                flags |= 8;
                break;
            default:
                break;
        }
    }
    return flags;
}

char* addr_dsn_notify_text(char* out, uint32_t flags) {
    constexpr size_t size = 30;
    out[0] = '\0';
    if (flags & 1) return str_copy(out, " NOTIFY=NEVER", size);
    const char* sep = " NOTIFY=";
    static constexpr struct {
        uint32_t bit;
        const char* word;
    } words[] = {{2, "SUCCESS"}, {4, "FAILURE"}, {8, "DELAY"}};
    for (const auto& w : words) {
        if (!(flags & w.bit)) continue;
        str_append(out, sep, size);
        str_append(out, w.word, size);
        sep = ",";
    }
    return out;
}

bool addr_has_control(const char* text) {
    for (const char* p = text; p && *p; ++p) {
        const unsigned char b = static_cast<unsigned char>(*p);
        if (b < 0x20 || b == 0x7F) return true;
    }
    return false;
}

bool addr_is_mailbox(const char* text) {
    const char* end = addr_scan_mailbox(text);
    if (!end || *end) return false;
    // One limit for the address as it is given and for the ASCII form that a
    // server without SMTPUTF8 gets.
    if (static_cast<size_t>(end - text) > addr_max_len) return false;
    const char* at = std::strchr(text, '@');
    if (all_printable(at + 1)) return true;
    char domain[addr_buf_size];
    return addr_idn_to_ascii(at + 1, domain) &&
           static_cast<size_t>(at - text) + 1 + std::strlen(domain) <= addr_max_len;
}

uint32_t addr_classify(const char* address) {
    // Anything but one address (a line break, a blank, ">" or "," above all)
    // would carry more into the fields and commands it goes into, or lose
    // the part after it: such an address is unusable.
    if (!address || !addr_is_mailbox(address)) return 0;
    const char* at = std::strchr(address, '@');
    if (!all_printable(std::string_view(address, static_cast<size_t>(at - address)))) return 3;
    if (!all_printable(at + 1)) return 2;
    return 1;
}

char* addr_idn_to_ascii(const char* domain, char* out) {
    if (!domain || strnlen(domain, addr_buf_size) >= addr_buf_size) return nullptr;
    // ASCII domains go out as they are written.
    if (all_printable(domain)) return join_labels(domain, out) ? out : nullptr;
    // The mapping drops some code points that show as nothing (U+00AD,
    // U+200B): a domain that holds one is refused before it, as the address
    // rule refuses it.
    if (!uni_all_visible(domain)) return nullptr;
    char* ascii = nullptr;
    const int rc = idn2_to_ascii_8z(domain, &ascii, IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT);
    const std::unique_ptr<char, idn2_text_free> owned(ascii);
    if (rc != IDN2_OK || !ascii) return nullptr;
    // Without the STD3 rules the mapping turns full-width punctuation into
    // its ASCII twin (U+FF1C into "<", U+FF20 into "@"), which would end the
    // address or start another one wherever it goes.
    if (!ldh_labels(ascii)) return nullptr;
    return join_labels(ascii, out) ? out : nullptr;
}

char* addr_normalise(const char* address, char* out, uint32_t* cls, int utf8_ok) {
    uint32_t c = addr_classify(address);
    if (cls) *cls = c;
    if (!address) return nullptr;
    // As below: an address too long for out is unusable, never cut.
    if (utf8_ok)
        return strnlen(address, addr_buf_size) < addr_buf_size
                   ? str_copy(out, address, addr_buf_size)
                   : nullptr;
    if (c == 3) return nullptr;
    const char* at = std::strchr(address, '@');
    if (!at) return nullptr;
    char domain[addr_buf_size];
    if (!addr_idn_to_ascii(at + 1, domain)) return nullptr;
    size_t local_len = static_cast<size_t>(at - address);
    size_t domain_len = std::strlen(domain);
    // A cut address would name someone else: one that does not fit is unusable.
    if (local_len + 1 + domain_len >= addr_buf_size) return nullptr;
    std::memcpy(out, address, local_len + 1);
    std::memcpy(out + local_len + 1, domain, domain_len + 1);
    return out;
}

std::string addr_quote_display_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

int addr_cb_list_file(void* list, const char* addr, uint32_t addr_len, const char* name,
                      uint32_t name_len) {
    if (addr_len > addr_buf_size - 1) return 0;
    std::string address(addr, addr_len);
    std::string_view trimmed = name ? trim_name(name, name_len) : std::string_view();
    // An address the list refuses (no "@", a control byte, too long) fails
    // the entry, and with it the file: it is never left out unseen.
    return addr_list_add(static_cast<addr_list*>(list), address.c_str(),
                         trimmed.empty() ? nullptr : std::string(trimmed).c_str(), nullptr)
               ? 1
               : 0;
}

int addr_cb_to(void* handle, const char* addr, uint32_t addr_len, const char* name,
               uint32_t name_len) {
    return add_from_header(handle_list(handle, &mail_handle::to), addr, addr_len, name, name_len);
}

int addr_cb_cc(void* handle, const char* addr, uint32_t addr_len, const char* name,
               uint32_t name_len) {
    return add_from_header(handle_list(handle, &mail_handle::cc), addr, addr_len, name, name_len);
}

int addr_cb_bcc(void* handle, const char* addr, uint32_t addr_len, const char* name,
                uint32_t name_len) {
    return add_from_header(handle_list(handle, &mail_handle::bcc), addr, addr_len, name, name_len);
}

int addr_cb_from(void* handle, const char* addr, uint32_t addr_len, const char* name,
                 uint32_t name_len) {
    if (addr_len > addr_buf_size - 1 || (name && name_len > addr_buf_size - 1)) return 0;
    auto* h = static_cast<mail_handle*>(handle);
    h->from_addr = std::string(addr, addr_len);
    if (name)
        h->from_name = std::string(trim_name(name, name_len));
    else
        h->from_name.reset();
    return 1;
}

int msg_cb_header(void* handle, const char* name, uint32_t name_len, const char* value,
                  uint32_t value_len) {
    auto* h = static_cast<mail_handle*>(handle);
    for (const address_field& f : address_fields) {
        if (!(h->flags2 & f.wanted) || !name_is(name, name_len, f.name)) continue;
        addr_field_fault fault;
        if (addr_read_field(h, value, value_len, f.cb, &fault)) return 1;
        std::string line = std::string("Invalid ") + f.name + " entry in message file (" +
                           h->email_file.value_or("") + "): ";
        line.append(fault.entry, fault.entry_len);
        mail_set_error_text(h, std::move(line));
        return 0;
    }
    return 1;
}

int addr_dsn_requested(const mail_handle* h) {
    if (h->flags & mail_f_dsn_mask) return 1;
    for (const addr_list* l : {&h->to, &h->cc, &h->bcc}) {
        for (const addr_node& n : *l) {
            if (n.dsn_flags & 0xF) return 1;
        }
    }
    return 0;
}

}  // namespace ostrel
