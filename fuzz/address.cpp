// The address rule, address classes, IDN conversion and the envelope form of
// hostile addresses.
#include <cstdint>
#include <cstring>
#include <string>

#include "message/address.hpp"
#include "message/scan.hpp"

using namespace ostrel;

namespace {

int collect_entries(void* ctx, const char* a, uint32_t a_len, const char*, uint32_t) {
    auto* seen = static_cast<std::string*>(ctx);
    if (!seen->empty()) seen->push_back('\n');
    seen->append(a, a_len);
    return 1;
}

// A mailbox is, whole, the one entry a list file made of it gives: the
// options and the readers apply the same rule.
void check_rule(const std::string& text) {
    const char* end = addr_scan_mailbox(text.c_str());
    if (end && (end <= text.c_str() || end > text.c_str() + text.size())) __builtin_trap();
    if (!addr_is_mailbox(text.c_str())) return;
    std::string seen;
    addr_scan_list_file(&seen, text.c_str(), collect_entries);
    if (seen != text.c_str()) __builtin_trap();  // the text ends at its first NUL
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
    if (char* r = addr_idn_to_ascii(text.c_str(), out))
        if (std::strlen(r) >= 256) __builtin_trap();
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
