// The mail handle's life: creation, destruction, callbacks, and the
// process-wide state behind unique tokens and the network library.
#include <ctime>
#include <memory>
#include <new>

#include "mail/mail.hpp"
#include "message/address.hpp"
#include "net/conn.hpp"
#include "support/lock.hpp"
#include "support/rand_mt.hpp"

namespace ostrel {

lock_mutex* mail_global_lock = nullptr;
rand_mt_state* mail_rand_state = nullptr;
uint32_t mail_token_counter = 0;

mail_handle* mail_create() {
    try {
        auto h = std::make_unique<mail_handle>();
        h->event_cb = mail_event_noop;
        h->line_length = 78;
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

// A failed lock or generator is reported: token makers must never draw from
// a missing generator, so the caller gives up instead.
int mail_global_init(int on, uint32_t seed) {
    if (!on) {
        ip_cleanup();
        return 1;
    }
    if (!mail_global_lock) mail_global_lock = lock_create();
    if (!mail_rand_state) {
        if (seed == 0) seed = static_cast<uint32_t>(std::time(nullptr));
        mail_rand_state = rand_mt_create(seed);
    }
    ip_init(1);
    return mail_global_lock && mail_rand_state ? 1 : 0;
}

int mail_set_dsn_letters(mail_handle* h, const char* letters) {
    h->flags = (h->flags & ~mail_f_dsn_mask) |
               (((letters ? addr_dsn_parse(letters) : 0) << mail_f_dsn_shift) & mail_f_dsn_mask);
    return 1;
}

int mime_attach_list_free(mime_attachment_list* list) {
    if (!list) return 0;
    mime_attachment_list().swap(*list);
    return 1;
}

}  // namespace ostrel
