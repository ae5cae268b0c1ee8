// The mail handle's life: creation, destruction, callbacks, its last error
// text, and the process-wide state behind unique tokens.
#include "model/handle.hpp"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

namespace ostrel {

lock_mutex* mail_global_lock = nullptr;
rand_mt_state* mail_rand_state = nullptr;
uint32_t mail_token_counter = 0;

mail_handle* mail_create() {
    try {
        auto h = std::make_unique<mail_handle>();
        h->event_cb = mail_event_noop;
        h->line_length = mail_line_length_min;
        h->mode = mail_mode_smtp;
        return h.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Frees what the handle owns. The DKIM key table, the raw parts and the
// connection belong to others: whoever opened the connection closes it first.
int mail_destroy(mail_handle* h) {
    std::unique_ptr<mail_handle> owned(h);
    return 1;
}

int mail_set_callback(mail_handle* h, int kind, mail_any_cb fn, void* user) {
    switch (kind) {
        case mail_cb_trace:
            h->trace_cb = reinterpret_cast<mail_trace_cb>(fn);
            h->trace_user = user;
            return 1;
        case mail_cb_event:
            h->event_cb = fn ? reinterpret_cast<mail_event_cb>(fn) : mail_event_noop;
            h->event_user = user;
            return 1;
        case mail_cb_recipient:
            h->recipient_cb = reinterpret_cast<mail_recipient_cb>(fn);
            h->recipient_user = user;
            return 1;
        default:
            return 0;
    }
}

int mail_event_noop(void*, int, int, const char*) {
    return mail_verdict_continue;
}

void mail_set_error_text(mail_handle* h, std::optional<std::string> text) {
    if (h) h->last_error = std::move(text);
}

void mail_set_error_printf(mail_handle* h, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::string text;
    if (n > 0) {
        text.resize(static_cast<size_t>(n));
        std::vsnprintf(text.data(), text.size() + 1, format, again);
    }
    va_end(again);
    mail_set_error_text(h, std::move(text));
}

const char* mail_last_error(const mail_handle* h) {
    return h->last_error ? h->last_error->c_str() : "";
}

}  // namespace ostrel
