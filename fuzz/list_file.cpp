// The recipient list file reader as the options run it: a hostile file is
// read whole or refused, and nothing it gives holds a code point that shows
// as nothing, a byte-order mark included.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.hpp"
#include "mail/mail.hpp"
#include "message/address.hpp"
#include "model/handle.hpp"
#include "support/utf8.hpp"

using namespace ostrel;

namespace {

// U+FEFF, U+00A0, U+200B-U+200F, U+202A-U+202E, U+2060, C1 controls: the
// UTF-8 forms of what hides most often in pasted lists.
bool holds_hidden(const std::string& a) {
    static const char* const hidden[] = {
        "\xEF\xBB\xBF", "\xC2\xA0",     "\xE2\x80\x8B", "\xE2\x80\x8C", "\xE2\x80\x8D",
        "\xE2\x80\x8E", "\xE2\x80\x8F", "\xE2\x80\xAA", "\xE2\x80\xAB", "\xE2\x80\xAC",
        "\xE2\x80\xAD", "\xE2\x80\xAE", "\xE2\x81\xA0", "\xC2\xAD",     "\xE3\x80\x80"};
    for (const char* h : hidden)
        if (a.find(h) != std::string::npos) return true;
    for (size_t i = 0; i + 1 < a.size(); ++i)
        if (static_cast<unsigned char>(a[i]) == 0xC2 &&
            static_cast<unsigned char>(a[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(a[i + 1]) <= 0x9F)
            return true;
    return false;
}

void write_list(const char* name, const std::string& bytes) {
    FILE* f = std::fopen(name, "wb");
    if (!f) __builtin_trap();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::vector<std::string> addresses(const mail_handle* h) {
    std::vector<std::string> out;
    for (const addr_node& n : h->to) out.push_back(n.address);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static char dir[] = "/tmp/ostrel-fuzz-list-XXXXXX";
    if (!fuzz::enter_scratch_dir(dir)) __builtin_trap();
    mail_global_init(1, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    write_list("list.txt", text);
    write_list("marked.txt", "\xEF\xBB\xBF" + text);
    mail_handle* h = mail_create();
    mail_handle* marked = mail_create();
    const uint32_t code = mail_opt_recipient | mail_v_to | mail_opt_from_file;
    const int ok = mail_setopt(h, code, "list.txt");
    // A byte-order mark in front changes nothing: it is the file's own.
    const int marked_ok = mail_setopt(marked, code, "marked.txt");
    if (utf8_bom_length(text) == 0 && (ok != marked_ok || addresses(h) != addresses(marked)))
        __builtin_trap();
    mail_destroy(marked);
    if (ok) {
        for (const addr_node& n : h->to) {
            char out[256];
            uint32_t cls = 0;
            const char* ascii = addr_normalise(n.address.c_str(), out, &cls, 0);
            if (!addr_is_mailbox(n.address.c_str()) || holds_hidden(n.address) ||
                n.address.size() > 254 || (cls != 3 && (!ascii || std::strlen(ascii) > 254)))
                __builtin_trap();
        }
    }
    mail_destroy(h);
    return 0;
}
