// The address rule, address classes, IDN conversion and the envelope form of
// hostile addresses.
#include <idn2.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "message/address.hpp"
#include "message/scan.hpp"
#include "support/punycode.hpp"
#include "support/utf8.hpp"

using namespace ostrel;

namespace {

int collect_entries(void* ctx, const char* a, uint32_t a_len, const char*, uint32_t) {
    auto* seen = static_cast<std::string*>(ctx);
    if (!seen->empty()) seen->push_back('\n');
    seen->append(a, a_len);
    return 1;
}

// Code points that show as nothing, written out from their definitions
// rather than from the program's table: controls, the format characters and
// spaces that are known to hide in pasted addresses, line and paragraph
// separators, surrogates and noncharacters.
bool known_invisible(char32_t cp) {
    static constexpr char32_t ranges[][2] = {
        {0x0000, 0x0020},   {0x007F, 0x00A0},  {0x00AD, 0x00AD}, {0x061C, 0x061C}, {0x1680, 0x1680},
        {0x180E, 0x180E},   {0x2000, 0x200F},  {0x2028, 0x202F}, {0x205F, 0x2064}, {0x2066, 0x206F},
        {0x3000, 0x3000},   {0xD800, 0xDFFF},  {0xFDD0, 0xFDEF}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB},
        {0xE0001, 0xE0001}, {0xE0020, 0xE007F}};
    for (const auto& r : ranges)
        if (cp >= r[0] && cp <= r[1]) return true;
    return (cp & 0xFFFE) == 0xFFFE;
}

bool holds_invisible(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        size_t n = utf8_decode(p + i, text.size() - i, &cp);
        if (n == 0) return true;  // not UTF-8 at all
        // The ASCII blank and quoted-pairs stand only inside a quoted local part.
        if (known_invisible(cp) && !(cp == ' ' && text.front() == '"')) return true;
        i += n;
    }
    return false;
}

// Printable ASCII; the blank only where asked for (a quoted local part).
bool all_ascii(const char* s, bool blank = false) {
    for (; *s; ++s) {
        const auto b = static_cast<unsigned char>(*s);
        if (b > 0x7E || b < 0x20 || (b == 0x20 && !blank)) return false;
    }
    return true;
}

bool has_non_ascii(const std::string& s) {
    for (unsigned char b : s)
        if (b >= 0x80) return true;
    return false;
}

struct idn2_text_free {
    void operator()(char* p) const { idn2_free(p); }
};

// Every A-label of a converted domain is what the program's own Punycode
// encoder makes of the U-label libidn2 decodes it to.
void check_own_punycode(const char* ascii) {
    std::string_view rest(ascii);
    while (!rest.empty()) {
        const size_t dot = rest.find('.');
        const std::string label(rest.substr(0, dot));
        rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
        if (label.rfind("xn--", 0) != 0) continue;
        char* u = nullptr;
        const int rc = idn2_to_unicode_8z8z(label.c_str(), &u, 0);
        const std::unique_ptr<char, idn2_text_free> owned(u);
        if (rc != IDN2_OK) __builtin_trap();
        std::vector<uint32_t> cps;
        const auto* p = reinterpret_cast<const unsigned char*>(u);
        for (size_t i = 0, n = std::strlen(u); i < n;) {
            char32_t cp = 0;
            const size_t k = utf8_decode(p + i, n - i, &cp);
            if (!k) __builtin_trap();
            cps.push_back(cp);
            i += k;
        }
        char enc[256];
        size_t enc_len = sizeof enc;
        if (addr_punycode_encode(cps.size(), cps.data(), nullptr, &enc_len, enc) !=
                punycode_success ||
            label.compare(4, std::string::npos, enc, enc_len) != 0)
            __builtin_trap();
    }
}

// A mailbox is, whole, the one entry a list file made of it gives: the
// options and the readers apply the same rule. It holds nothing invisible,
// and its ASCII form, where it has one, is ASCII and at most 254 bytes.
void check_rule(const std::string& text) {
    const char* end = addr_scan_mailbox(text.c_str());
    if (end && (end <= text.c_str() || end > text.c_str() + text.size())) __builtin_trap();
    if (!addr_is_mailbox(text.c_str())) return;
    std::string seen;
    addr_scan_list_file(&seen, text.c_str(), collect_entries);
    if (seen != text.c_str()) __builtin_trap();  // the text ends at its first NUL
    const std::string address(text.c_str());
    if (address.size() > 254) __builtin_trap();
    const size_t at = address.find('@');
    if (holds_invisible(address.substr(0, at)) || holds_invisible(address.substr(at + 1)))
        __builtin_trap();
    char out[256];
    uint32_t cls = 0;
    const char* ascii = addr_normalise(address.c_str(), out, &cls, 0);
    if (cls == 0 || (cls != 3) != (ascii != nullptr)) __builtin_trap();
    if (ascii && (std::strlen(ascii) > 254 || !all_ascii(ascii, true))) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    char out[256];
    uint32_t cls = 0;
    check_rule(text);
    addr_classify(text.c_str());
    if (char* r = addr_idn_to_ascii(text.c_str(), out)) {
        if (std::strlen(r) >= 256) __builtin_trap();
        if (!all_ascii(r, true)) __builtin_trap();
        // ASCII domains are passed on as written, "xn--" labels unchecked.
        if (has_non_ascii(text.c_str())) check_own_punycode(r);
    }
    if (char* r = addr_normalise(text.c_str(), out, &cls, mode & 1)) {
        if (std::strlen(r) >= 256) __builtin_trap();
        if ((mode & 1) && std::strcmp(r, text.c_str()) != 0) __builtin_trap();  // cut
    }
    addr_list list;
    addr_list_add(&list, text.c_str(), text.c_str(), text.c_str());
    char dsn[30];
    addr_dsn_notify_text(dsn, addr_dsn_parse(text.c_str()));
    return 0;
}
