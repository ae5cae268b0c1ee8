// Scanners over hostile mail text: recipient list files, address-list field
// values and prepared message headers, with the callbacks that fill a handle.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mail/mail.hpp"
#include "message/address.hpp"
#include "message/address_field.hpp"
#include "message/scan.hpp"
#include "model/handle.hpp"

using namespace ostrel;

namespace {

// Every mark a scanner reports in place must lie inside the scanned text.
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

// What the address-list reader promises of each mailbox: an address that
// passes the address rule, and a name, when there is one, in quotes.
int cb_mailbox(void*, const char* a, uint32_t a_len, const char* b, uint32_t b_len) {
    if (!a || std::memchr(a, '\0', a_len)) __builtin_trap();
    if (!addr_is_mailbox(std::string(a, a_len).c_str())) __builtin_trap();
    if (b && (b_len < 2 || b[0] != '"' || b[b_len - 1] != '"')) __builtin_trap();
    return 1;
}

// Reads a value of len bytes from a buffer that ends with it, so that a
// read past the value is a heap overflow; the fault lies inside the value.
void read_field(const char* value, uint32_t len) {
    char* copy = static_cast<char*>(std::malloc(len ? len : 1));
    std::memcpy(copy, value, len);
    addr_field_fault fault;
    if (!addr_read_field(nullptr, copy, len, cb_mailbox, &fault)) {
        if (!fault.entry) __builtin_trap();
        check_span({copy, copy + len}, fault.entry, fault.entry_len);
    }
    std::free(copy);
}

// A header field of the block: in place, and its value read as an address
// list, as the prepared-file option reads To, Cc, Bcc and From.
int cb_field(void* ctx, const char* a, uint32_t a_len, const char* b, uint32_t b_len) {
    cb_check(ctx, a, a_len, b, b_len);
    if (a_len == 0 || !b) __builtin_trap();
    read_field(b, b_len);
    return 1;
}

void check_list(const addr_list& list) {
    for (const addr_node& n : list)
        if (!addr_is_mailbox(n.address.c_str())) __builtin_trap();
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
    addr_scan_header_list(&t, text.c_str(), cb_mailbox);
    const char* stopped_at = nullptr;
    msg_scan_headers(&t, text.c_str(), cb_field, &stopped_at);
    check_span(t, stopped_at, 0);
    // NUL bytes included: the reader takes the length, not the terminator.
    read_field(text.data(), static_cast<uint32_t>(text.size()));
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
            check_list(h->to);
            check_list(h->cc);
            mail_destroy(h);
            break;
        }
        case 2: {
            mail_handle* h = mail_create();
            h->email_file = "m.eml";
            h->flags2 |= mail_f2_take_rcpts | mail_f2_take_from;
            msg_scan_headers(h, text.c_str(), msg_cb_header);
            for (const addr_list* l : {&h->to, &h->cc, &h->bcc}) check_list(*l);
            if (h->from_addr && !addr_is_mailbox(h->from_addr->c_str())) __builtin_trap();
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
