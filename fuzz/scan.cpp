// Scanners over hostile mail text: recipient list files, address header
// values and prepared message headers, with the callbacks that fill a handle.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mail/mail.hpp"
#include "message/address.hpp"
#include "message/scan.hpp"

using namespace ostrel;

namespace {

// Every mark a scanner reports must lie inside the scanned text.
struct span_check {
    const char* begin;
    const char* end;
};

void check_span(const span_check& t, const char* p, uint32_t len) {
    if (!p) return;
    if (p < t.begin || p > t.end || len > static_cast<size_t>(t.end - p)) __builtin_trap();
}

int cb_check(void* ctx, const char* a, uint32_t a_len, const char* b, uint32_t b_len) {
    const auto& t = *static_cast<span_check*>(ctx);
    if (!a) __builtin_trap();
    check_span(t, a, a_len);
    check_span(t, b, b_len);
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    mail_global_init(1, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    span_check t{text.c_str(), text.c_str() + text.size()};
    addr_scan_list_file(&t, text.c_str(), cb_check);
    addr_scan_header_list(&t, text.c_str(), cb_check);
    msg_scan_headers(&t, text.c_str(), cb_check);
    switch (mode % 4) {
        case 0: {
            addr_list list;
            addr_scan_list_file(&list, text.c_str(), addr_cb_list_file);
            break;
        }
        case 1: {
            mail_handle* h = mail_create();
            msg_scan_cb cbs[] = {addr_cb_to, addr_cb_cc, addr_cb_from};
            addr_scan_header_list(h, text.c_str(), cbs[(mode >> 2) % 3]);
            mail_destroy(h);
            break;
        }
        case 2: {
            mail_handle* h = mail_create();
            h->flags2 |= mail_f2_take_rcpts | mail_f2_take_from;
            msg_scan_headers(h, text.c_str(), msg_cb_header);
            mail_destroy(h);
            break;
        }
        case 3: {
            // Not terminated: only n bytes may be read.
            char* raw = static_cast<char*>(std::malloc(text.size() + 1));
            std::memcpy(raw, text.data(), text.size());
            char* out = msg_unfold_value(raw, static_cast<uint32_t>(text.size()));
            std::free(out);
            std::free(raw);
            break;
        }
    }
    return 0;
}
