#include <gtest/gtest.h>

#include "mail/mail.hpp"
#include "message/attach_list.hpp"

namespace ostrel {
namespace {

struct handle_deleter {
    void operator()(mail_handle* h) const { mail_destroy(h); }
};
using handle_ptr = std::unique_ptr<mail_handle, handle_deleter>;

int trace_fn(void*, int, const char*) {
    return 0;
}
int event_fn(void*, int, int, const char*) {
    return 4;
}
int recipient_fn(void*, int, char**, char**, char**) {
    return 0;
}

TEST(MailHandle, NewHandleHasItsDefaults) {
    handle_ptr h(mail_create());
    ASSERT_TRUE(h);
    EXPECT_EQ(h->mode, mail_mode_smtp);
    EXPECT_EQ(h->line_length, 78u);
    EXPECT_EQ(h->priority, 0u);
    EXPECT_EQ(h->flags, 0u);
    EXPECT_EQ(h->flags2, 0u);
    EXPECT_EQ(h->event_cb, &mail_event_noop);
    EXPECT_EQ(h->trace_cb, nullptr);
    EXPECT_EQ(h->recipient_cb, nullptr);
    EXPECT_TRUE(h->to.empty() && h->cc.empty() && h->bcc.empty());
    EXPECT_TRUE(h->attachments.empty() && h->headers.empty() && h->removed_headers.empty());
    EXPECT_TRUE(h->message_id.empty());
    EXPECT_FALSE(h->host || h->from_addr || h->body);
}

TEST(MailHandle, CallbacksOfEachKind) {
    handle_ptr h(mail_create());
    int user = 0;
    EXPECT_EQ(
        mail_set_callback(h.get(), mail_cb_trace, reinterpret_cast<mail_any_cb>(trace_fn), &user),
        1);
    EXPECT_EQ(h->trace_cb, &trace_fn);
    EXPECT_EQ(h->trace_user, &user);
    EXPECT_EQ(
        mail_set_callback(h.get(), mail_cb_event, reinterpret_cast<mail_any_cb>(event_fn), &user),
        1);
    EXPECT_EQ(h->event_cb, &event_fn);
    EXPECT_EQ(h->event_user, &user);
    EXPECT_EQ(mail_set_callback(h.get(), mail_cb_recipient,
                                reinterpret_cast<mail_any_cb>(recipient_fn), &user),
              1);
    EXPECT_EQ(h->recipient_cb, &recipient_fn);
    EXPECT_EQ(h->recipient_user, &user);

    // A NULL event callback brings the no-op back: events keep a verdict of 0.
    EXPECT_EQ(mail_set_callback(h.get(), mail_cb_event, nullptr, nullptr), 1);
    ASSERT_NE(h->event_cb, nullptr);
    EXPECT_EQ(h->event_cb(h->event_user, mail_ev_data, mail_status_ok, nullptr), 0);
}

TEST(MailHandle, UnknownCallbackKindChangesNothing) {
    handle_ptr h(mail_create());
    for (int kind : {0, 4, -1}) {
        EXPECT_EQ(
            mail_set_callback(h.get(), kind, reinterpret_cast<mail_any_cb>(trace_fn), nullptr), 0);
    }
    EXPECT_EQ(h->trace_cb, nullptr);
    EXPECT_EQ(h->event_cb, &mail_event_noop);
    EXPECT_EQ(h->recipient_cb, nullptr);
}

TEST(MailHandle, DestroyLeavesBorrowedObjectsAlone) {
    // The key table and the raw parts belong to the caller: under the
    // sanitizers a free of either would show here.
    alignas(16) static unsigned char keys[64];
    static const mail_raw_part raw{"x", 1};
    mail_handle* h = mail_create();
    h->dkim_keys = reinterpret_cast<dkim_domain*>(keys);
    h->raw_part = &raw;
    h->host = "mail.example.org";
    h->to.push_back(addr_node{"a@example.org", std::nullopt, 0});
    EXPECT_EQ(mail_destroy(h), 1);
    EXPECT_EQ(raw.length, 1u);
}

TEST(MailHandle, GlobalInitMakesTheSharedState) {
    EXPECT_EQ(mail_global_init(1, 0), 1);
    EXPECT_NE(mail_global_lock, nullptr);
    EXPECT_NE(mail_rand_state, nullptr);
    // A second start-up keeps the state it has.
    lock_mutex* lock = mail_global_lock;
    EXPECT_EQ(mail_global_init(1, 1234), 1);
    EXPECT_EQ(mail_global_lock, lock);
    EXPECT_EQ(mail_global_init(0, 0), 1);
    EXPECT_EQ(mail_global_lock, lock);
}

TEST(MailHandle, DsnLettersReplaceTheNotifyBits) {
    handle_ptr h(mail_create());
    h->flags = mail_f_verify | mail_f_connected;
    EXPECT_EQ(mail_set_dsn_letters(h.get(), "sF"), 1);
    EXPECT_EQ((h->flags & mail_f_dsn_mask) >> mail_f_dsn_shift, 6u);
    EXPECT_EQ(mail_set_dsn_letters(h.get(), "dx"), 1);
    EXPECT_EQ((h->flags & mail_f_dsn_mask) >> mail_f_dsn_shift, 8u);
    EXPECT_EQ(h->flags & ~mail_f_dsn_mask, mail_f_verify | mail_f_connected);
}

TEST(MailHandle, AttachmentListFree) {
    EXPECT_EQ(mime_attach_list_free(nullptr), 0);
    mime_attachment_list list(2);
    EXPECT_EQ(mime_attach_list_free(&list), 1);
    EXPECT_TRUE(list.empty());
}

struct auth_mask_case {
    uint32_t mask;
    uint32_t disabled;  // the disable bits left set
};

TEST(MailHandle, AuthMaskAllowsExactlyTheNamedMechanisms) {
    constexpr uint32_t cram = mail_f_no_cram_md5, login = mail_f_no_login, plain = mail_f_no_plain,
                       ob = mail_f_no_oauthbearer, x2 = mail_f_no_xoauth2;
    const auth_mask_case cases[] = {
        {0, cram | login | plain | ob | x2},
        {1, login | plain | ob | x2},
        {2, cram | login | ob | x2},
        {4, cram | plain | ob | x2},
        {8, cram | login | plain | x2},
        {16, cram | login | plain | ob},
        {1 | 2 | 4, ob | x2},
        {31, 0},
    };
    constexpr uint32_t all = cram | login | plain | ob | x2;
    for (const auto& c : cases) {
        handle_ptr h(mail_create());
        // Earlier calls do not linger: every call fixes the whole set.
        mail_set_auth_mask(h.get(), 31 & ~c.mask);
        h->flags |= mail_f_cram_md5 | mail_f_verify;
        mail_set_auth_mask(h.get(), c.mask);
        EXPECT_EQ(h->flags & all, c.disabled) << "mask " << c.mask;
        EXPECT_EQ(h->flags & ~all, mail_f_cram_md5 | mail_f_verify);
    }
}

}  // namespace
}  // namespace ostrel
