#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mail/mail.hpp"
#include "message/email_file.hpp"
#include "support/tool_run.hpp"

namespace ostrel {
namespace {

struct handle_deleter {
    void operator()(mail_handle* h) const { mail_destroy(h); }
};
using handle_ptr = std::unique_ptr<mail_handle, handle_deleter>;

// Codes are mostly written as the numbers that callers send, so that a name
// in mail.hpp with a wrong value fails here.
constexpr uint32_t U = mail_opt_unset;

class MailSetopt : public ::testing::Test {
  protected:
    void SetUp() override {
        h.reset(mail_create());
        dir = std::filesystem::temp_directory_path() /
              ("ostrel-opt-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string write(const std::string& name, const std::string& data) {
        std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << data;
        return path;
    }
    int set(uint32_t code, const char* p1 = nullptr, const char* p2 = nullptr,
            const char* p3 = nullptr) {
        return mail_setopt(h.get(), code, p1, p2, p3);
    }
    handle_ptr h;
    std::filesystem::path dir;
};

TEST_F(MailSetopt, IdsWithoutMeaningAreRefused) {
    for (uint32_t code : {0x000u, 0x103u, 0x004u, 0x00Du, 0x00Eu, 0x01Fu, 0x02Bu, 0x02Du, 0x0CFu,
                          0x0D1u, 0x0DFu, 0x0E6u, 0x0EFu, 0x0F5u, 0x0FFu, 0x8000u, 0x8003u}) {
        EXPECT_EQ(set(code, "a@b", "x", "y"), 0) << std::hex << code;
    }
    EXPECT_EQ(mail_setopt(nullptr, mail_opt_mdn), 0);
}

// The options that only switch one bit.
TEST_F(MailSetopt, SwitchOptionsSetAndClearTheirBit) {
    struct flag_case {
        uint32_t id;
        bool second_word;
        uint32_t bit;
    };
    const flag_case cases[] = {
        {mail_opt_oauth, false, mail_f_oauth},
        {mail_opt_force_mime, false, mail_f_force_mime},
        {mail_opt_mdn, false, mail_f_mdn},
        {mail_opt_dotstuff, false, mail_f_dotstuff_file},
        {mail_opt_raw_headers, false, mail_f_raw_headers},
        {mail_opt_verify, false, mail_f_verify},
        {mail_opt_dkim, true, mail_f2_dkim},
    };
    for (const auto& c : cases) {
        uint32_t& word = c.second_word ? h->flags2 : h->flags;
        EXPECT_EQ(set(c.id), 1);
        EXPECT_EQ(word, c.bit) << c.id;
        EXPECT_EQ(set(U | c.id), 1);
        EXPECT_EQ(word, 0u) << c.id;
    }
}

TEST_F(MailSetopt, RecipientListsByVariant) {
    EXPECT_EQ(set(0x102, "to@example.org", "To Name", "SF"), 1);
    EXPECT_EQ(set(0x202, "cc@example.org"), 1);
    EXPECT_EQ(set(0x402, "bcc@example.org"), 1);
    EXPECT_EQ(set(0x602, "cc2@example.org"), 1);  // the first bit set wins
    EXPECT_EQ(set(0x002, "x@example.org"), 0);
    EXPECT_EQ(set(0x802, "x@example.org"), 0);
    EXPECT_EQ(set(0x102, ""), 0);
    EXPECT_EQ(set(0x102, nullptr), 0);
    EXPECT_EQ(set(0x102, "nobody"), 0);
    ASSERT_EQ(h->to.size(), 1u);
    EXPECT_EQ(h->to[0].address, "to@example.org");
    ASSERT_EQ(h->cc.size(), 2u);
    EXPECT_EQ(h->cc[0].address, "cc2@example.org");  // newest first
    ASSERT_EQ(h->bcc.size(), 1u);
}

TEST_F(MailSetopt, RecipientUnsetEmptiesTheChosenLists) {
    for (uint32_t v : {0x100u, 0x200u, 0x400u}) set(v | 2, "a@example.org");
    EXPECT_EQ(set(U | 0x202), 1);
    EXPECT_EQ(h->to.size(), 1u);
    EXPECT_TRUE(h->cc.empty());
    EXPECT_EQ(h->bcc.size(), 1u);
    set(0x202, "a@example.org");
    EXPECT_EQ(set(U | 2), 1);
    EXPECT_TRUE(h->to.empty() && h->cc.empty() && h->bcc.empty());
}

TEST_F(MailSetopt, RecipientListFileEndsUpNewestFirst) {
    std::string path = write("list.txt", "one@example.org\ntwo@example.org\nthree@example.org\n");
    EXPECT_EQ(set(0x1102, path.c_str()), 1);
    ASSERT_EQ(h->to.size(), 3u);
    EXPECT_EQ(h->to[0].address, "three@example.org");
    EXPECT_EQ(h->to[2].address, "one@example.org");
    // With the file bit a text without "@" is a file name, not an address.
    EXPECT_EQ(set(0x1102, (dir / "missing").c_str()), 0);
    EXPECT_EQ(set(0x1102, "nobody"), 0);
    EXPECT_EQ(h->to.size(), 3u);
}

// A list file is read whole or refused: a byte-order mark opening it belongs
// to the file, any other code point that shows as nothing to no address.
TEST_F(MailSetopt, RecipientListFileKeepsNothingInvisible) {
    const struct {
        std::string text;
        int result;
        std::vector<std::string> to;  // newest first
    } cases[] = {
        {"\xEF\xBB\xBFjane@example.com\r\nx@example.org\n",
         1,
         {"x@example.org", "jane@example.com"}},
        {"\xEF\xBB\xBF<jane@example.com>", 1, {"jane@example.com"}},
        {"\xEF\xBB\xBF\xEF\xBB\xBFjane@example.com", 0, {}},
        {"x@example.org\n\xEF\xBB\xBFjane@example.com", 0, {}},
        {"jane@example.com\xC2\xA0\n", 0, {}},
        {"jane@example.com\xC2\xA0x@example.org", 0, {}},
        {"jane@exa\xE2\x80\x8Bmple.com", 0, {}},
        {"jane@example.com\xC2\x85", 0, {}},
        {"Jane <jane@B\xC3\x9C"
         "CHER.example>",
         1,
         {"jane@B\xC3\x9C"
          "CHER.example"}},
        {"jane@-\xC3\xBC.example", 0, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(set(U | 2), 1);
        std::string path = write("list.txt", c.text);
        EXPECT_EQ(set(0x1102, path.c_str()), c.result) << c.text;
        if (!c.result) continue;
        std::vector<std::string> got;
        for (const auto& n : h->to) got.push_back(n.address);
        EXPECT_EQ(got, c.to) << c.text;
    }
}

TEST_F(MailSetopt, AddressOptionsNeedAnAt) {
    EXPECT_EQ(set(mail_opt_from, "nobody"), 0);
    EXPECT_EQ(set(mail_opt_from, ""), 0);
    EXPECT_FALSE(h->from_addr);
    EXPECT_EQ(set(mail_opt_from, "me@example.org", "Me"), 1);
    EXPECT_EQ(h->from_addr, "me@example.org");
    EXPECT_EQ(h->from_name, "Me");
    EXPECT_EQ(set(mail_opt_from, "me2@example.org"), 1);
    EXPECT_FALSE(h->from_name);

    EXPECT_EQ(set(mail_opt_reply_to, "r@example.org", "R"), 1);
    EXPECT_EQ(set(U | mail_opt_reply_to), 1);
    EXPECT_FALSE(h->reply_to_addr || h->reply_to_name);

    EXPECT_EQ(set(mail_opt_return_path, "bounce"), 0);
    EXPECT_EQ(set(mail_opt_return_path, "b@example.org"), 1);
    EXPECT_EQ(h->return_path, "b@example.org");
    EXPECT_EQ(set(mail_opt_return_path, ""), 0);
    EXPECT_EQ(h->return_path, "b@example.org");

    // A line break in an address would let it write fields of its own.
    for (uint32_t id : {mail_opt_from, mail_opt_reply_to, mail_opt_return_path})
        EXPECT_EQ(set(id, "x@example.org\r\nBcc: y@example.org"), 0) << id;
    EXPECT_EQ(set(0x100 | mail_opt_recipient, "x@example.org\nX: y"), 0);
    EXPECT_EQ(set(mail_opt_message_id, "id@example.org\r\nX: y"), 0);
    EXPECT_EQ(h->return_path, "b@example.org");
    EXPECT_TRUE(h->to.empty());
}

TEST_F(MailSetopt, TextOptions) {
    EXPECT_EQ(set(mail_opt_subject, ""), 0);
    EXPECT_EQ(set(mail_opt_subject, "Hello"), 1);
    EXPECT_EQ(h->subject, "Hello");
    EXPECT_EQ(set(U | mail_opt_subject), 1);
    EXPECT_FALSE(h->subject);

    EXPECT_EQ(set(mail_opt_helo, "client.example.org"), 1);
    EXPECT_EQ(set(mail_opt_helo, nullptr), 1);
    EXPECT_FALSE(h->helo);

    EXPECT_EQ(set(mail_opt_charset, nullptr), 0);
    EXPECT_EQ(set(mail_opt_charset, "iso-8859-1"), 1);
    EXPECT_EQ(set(mail_opt_charset, ""), 1);
    EXPECT_FALSE(h->charset);

    for (auto [id, field] : {std::pair{mail_opt_tls_ciphers, &mail_handle::tls_ciphers},
                             std::pair{mail_opt_tls_protocols, &mail_handle::tls_protocols},
                             std::pair{mail_opt_mailer, &mail_handle::mailer}}) {
        EXPECT_EQ(set(id, nullptr), 0);
        EXPECT_EQ(set(id, "v"), 1);
        EXPECT_EQ((*h).*field, "v");
        EXPECT_EQ(set(U | id), 1);
        EXPECT_FALSE((*h).*field);
    }

    EXPECT_EQ(set(mail_opt_dkim_default, "example.org"), 1);
    EXPECT_EQ(h->dkim_default, "example.org");
    EXPECT_EQ(set(mail_opt_dkim_default, nullptr), 1);
    EXPECT_FALSE(h->dkim_default);
}

TEST_F(MailSetopt, BodyVariantsAndFiles) {
    EXPECT_EQ(set(0x206), 1);  // no text: only the encoding
    EXPECT_EQ(h->flags, mail_f_body_base64);
    EXPECT_EQ(set(0x406), 1);
    EXPECT_EQ(h->flags, mail_f_body_qp);
    EXPECT_EQ(set(0x106), 1);
    EXPECT_EQ(h->flags, 0u);
    EXPECT_EQ(set(0x006), 0);
    EXPECT_EQ(set(0x006, "inline text"), 1);
    EXPECT_EQ(h->body, "inline text");

    std::string path = write("body.txt", "a\nb\r\n");
    EXPECT_EQ(set(0x1006, path.c_str()), 1);
    EXPECT_EQ(h->body, "a\r\nb\r\n");
    EXPECT_EQ(h->flags2, mail_f2_body_file);
    EXPECT_EQ(set(0x3006, path.c_str()), 1);
    EXPECT_EQ(h->body, "a\nb\r\n");

    EXPECT_EQ(set(U | 6), 1);
    EXPECT_FALSE(h->body);
    EXPECT_EQ(h->flags2, 0u);
    // A missing file still marks the body as file-borne and keeps the encoding change.
    EXPECT_EQ(set(0x1206, (dir / "missing").c_str()), 0);
    EXPECT_EQ(h->flags2, mail_f2_body_file);
    EXPECT_EQ(h->flags, mail_f_body_base64);
    EXPECT_FALSE(h->body);
}

TEST_F(MailSetopt, ModesOfOutputAndMessageFiles) {
    EXPECT_EQ(set(mail_opt_output_file, nullptr), 0);
    EXPECT_EQ(set(mail_opt_output_file, ""), 1);
    EXPECT_EQ(h->mode, mail_mode_file);
    EXPECT_EQ(set(U | mail_opt_output_file), 1);
    EXPECT_EQ(h->mode, mail_mode_smtp);
    EXPECT_FALSE(h->output_file);

    EXPECT_EQ(set(mail_opt_email_file, (dir / "missing.eml").c_str()), 0);
    EXPECT_EQ(h->mode, mail_mode_smtp);
    std::string eml = write("m.eml", "From: a@example.org\r\n\r\nbody\r\n");
    EXPECT_EQ(set(mail_opt_email_file, eml.c_str()), 1);
    EXPECT_EQ(h->mode, mail_mode_email_file);
    EXPECT_EQ(h->email_file, eml);
    EXPECT_EQ(set(U | mail_opt_email_file), 1);
    EXPECT_EQ(h->mode, mail_mode_smtp);
}

TEST_F(MailSetopt, HostPortIsCheckedBeforeAnythingChanges) {
    EXPECT_EQ(set(mail_opt_host, "old.example.org", "587"), 1);
    EXPECT_EQ(h->port, 587u);
    for (const char* port : {"70000", "65536", "-1"}) {
        EXPECT_EQ(set(mail_opt_host, "new.example.org", port), 0) << port;
        EXPECT_EQ(h->host, "old.example.org");
        EXPECT_EQ(h->port, 587u);
    }
    EXPECT_EQ(set(mail_opt_host, nullptr, "25"), 0);
    EXPECT_EQ(set(mail_opt_host, "new.example.org", nullptr), 1);
    EXPECT_EQ(h->port, 0u);
    EXPECT_EQ(set(mail_opt_host, "new.example.org", "65535"), 1);
    EXPECT_EQ(h->port, 65535u);
}

TEST_F(MailSetopt, Credentials) {
    EXPECT_EQ(set(mail_opt_credentials, "", "pw"), 0);
    EXPECT_EQ(set(mail_opt_credentials, "user", nullptr), 0);
    EXPECT_FALSE(h->user);
    EXPECT_EQ(set(mail_opt_credentials, "user", ""), 1);
    EXPECT_EQ(h->password, "");
    EXPECT_EQ(set(U | mail_opt_credentials), 1);
    EXPECT_FALSE(h->user || h->password);

    EXPECT_EQ(set(mail_opt_proxy_credentials, "pu", nullptr), 0);
    EXPECT_EQ(set(mail_opt_proxy_credentials, "pu", "pp"), 1);
    EXPECT_EQ(h->proxy_user, "pu");
    EXPECT_EQ(h->proxy_password, "pp");
}

TEST_F(MailSetopt, AttachmentsByVariant) {
    std::string file = write("a.bin", "data");
    EXPECT_EQ(set(0x40C, file.c_str()), 0);
    EXPECT_EQ(set(0x00C, ""), 0);
    EXPECT_EQ(set(0x00C, (dir / "missing.bin").c_str()), 0);
    EXPECT_EQ(set(0x00C, file.c_str()), 1);
    EXPECT_EQ(set(0x10C, file.c_str()), 1);
    EXPECT_EQ(set(0x20C, file.c_str()), 1);
    EXPECT_EQ(set(0x130C, file.c_str(), "cid"), 1);
    ASSERT_EQ(h->attachments.size(), 4u);
    EXPECT_EQ(h->attachments[0].encoding, mime_enc_auto);
    EXPECT_EQ(h->attachments[1].encoding, mime_enc_base64);
    EXPECT_EQ(h->attachments[2].encoding, mime_enc_qp);
    EXPECT_EQ(h->attachments[3].encoding, mime_enc_uuencode);
    EXPECT_EQ(h->attachments[0].is_inline, 0u);
    EXPECT_NE(h->attachments[3].is_inline, 0u);
    EXPECT_EQ(h->attachments[3].content_id, "cid");
    EXPECT_EQ(set(U | 0x0C), 1);
    EXPECT_TRUE(h->attachments.empty());
}

TEST_F(MailSetopt, Priority) {
    EXPECT_EQ(set(0x00F), 0);
    EXPECT_EQ(set(0x60F), 0);
    for (uint32_t p = 1; p <= 5; ++p) {
        EXPECT_EQ(set((p << 8) | 0x0F), 1);
        EXPECT_EQ(h->priority, p);
    }
    EXPECT_EQ(set(U | 0x0F), 1);
    EXPECT_EQ(h->priority, 3u);
}

TEST_F(MailSetopt, HtmlBody) {
    EXPECT_EQ(set(mail_opt_html_body, nullptr), 0);
    EXPECT_EQ(set(0x1011, (dir / "missing.html").c_str()), 0);
    EXPECT_FALSE(h->html_body);
    std::string path = write("b.html", "<p>x</p>");
    EXPECT_EQ(set(0x1011, path.c_str()), 1);
    EXPECT_EQ(h->flags2, mail_f2_html_file);
    EXPECT_EQ(set(0x0011, "<p>inline</p>"), 1);
    EXPECT_EQ(h->flags2, 0u);
    EXPECT_EQ(h->html_body, "<p>inline</p>");
}

TEST_F(MailSetopt, HeaderLists) {
    EXPECT_EQ(set(mail_opt_header, "", "v"), 0);
    EXPECT_EQ(set(mail_opt_header, "X-A", nullptr), 0);
    EXPECT_EQ(set(mail_opt_header, "X-A", ""), 1);
    EXPECT_EQ(set(mail_opt_header, "X-B", "2"), 1);
    // The name and ": " must fit on one line.
    EXPECT_EQ(set(mail_opt_header, std::string(997, 'n').c_str(), "v"), 0);
    ASSERT_EQ(h->headers.size(), 2u);
    EXPECT_EQ(h->headers[1].name, "X-B");
    EXPECT_EQ(set(U | mail_opt_header), 1);
    EXPECT_TRUE(h->headers.empty());

    EXPECT_EQ(set(mail_opt_delete_header, ""), 0);
    EXPECT_EQ(set(mail_opt_delete_header, "Bcc"), 1);
    ASSERT_EQ(h->removed_headers.size(), 1u);
    EXPECT_EQ(h->removed_headers[0].value, "");
    EXPECT_EQ(set(U | mail_opt_delete_header), 1);
    EXPECT_TRUE(h->removed_headers.empty());
}

TEST_F(MailSetopt, LineLengthIsClamped) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"10", 78}, {"78", 78}, {"100", 100}, {"998", 998}, {"5000", 998}, {"-5", 998}, {"abc", 78},
    };
    for (auto [text, want] : cases) {
        EXPECT_EQ(set(mail_opt_line_length, text), 1);
        EXPECT_EQ(h->line_length, want) << text;
    }
    EXPECT_EQ(set(mail_opt_line_length, nullptr), 0);
    EXPECT_EQ(set(U | mail_opt_line_length), 1);
    EXPECT_EQ(h->line_length, 78u);
}

TEST_F(MailSetopt, AuthTypes) {
    constexpr uint32_t all = mail_f_no_cram_md5 | mail_f_no_login | mail_f_no_plain |
                             mail_f_no_oauthbearer | mail_f_no_xoauth2;
    EXPECT_EQ(set(0x017), 0);
    EXPECT_EQ(h->flags, 0u);
    EXPECT_EQ(set(0x1017), 1);  // 0x1000 is XOAUTH2 here, not the file bit
    EXPECT_EQ(h->flags & all, all & ~mail_f_no_xoauth2);
    EXPECT_EQ(set(0x0617), 1);
    EXPECT_EQ(h->flags & all, mail_f_no_cram_md5 | mail_f_no_oauthbearer | mail_f_no_xoauth2);
    EXPECT_EQ(set(U | 0x017), 1);
    EXPECT_EQ(h->flags & all, mail_f_no_oauthbearer | mail_f_no_xoauth2);
}

TEST_F(MailSetopt, IpVersion) {
    const std::pair<uint32_t, uint32_t> cases[] = {
        {0x118, 4}, {0x218, 6}, {0x318, 0}, {0x018, 0}, {U | 0x118, 4},
    };
    for (auto [code, want] : cases) {
        EXPECT_EQ(set(code), 1);
        EXPECT_EQ(h->family, want) << std::hex << code;
    }
}

TEST_F(MailSetopt, DsnChangesOnlyWhatEachCallGives) {
    auto notify = [&] { return (h->flags & mail_f_dsn_mask) >> mail_f_dsn_shift; };
    EXPECT_EQ(set(mail_opt_dsn, "SF"), 1);
    EXPECT_EQ(notify(), 6u);
    EXPECT_FALSE(h->dsn_envid);
    EXPECT_EQ(set(mail_opt_dsn, nullptr, "id1"), 1);
    EXPECT_EQ(notify(), 6u);
    EXPECT_EQ(h->dsn_envid, "id1");
    std::string long_id(101, 'x');
    EXPECT_EQ(set(mail_opt_dsn, nullptr, long_id.c_str()), 0);
    EXPECT_EQ(set(mail_opt_dsn, nullptr, std::string(100, 'y').c_str()), 1);
    EXPECT_EQ(h->dsn_envid->size(), 100u);
    EXPECT_EQ(set(mail_opt_dsn, nullptr, ""), 0);
    EXPECT_EQ(set(mail_opt_dsn), 0);
    EXPECT_EQ(set(U | mail_opt_dsn), 1);
    EXPECT_EQ(notify(), 0u);
    EXPECT_FALSE(h->dsn_envid);
}

TEST_F(MailSetopt, TlsMode) {
    constexpr uint32_t bits = mail_f_smtps | mail_f_tls_required | mail_f_starttls_wanted;
    EXPECT_EQ(set(0x11B, "1"), 1);
    EXPECT_EQ(h->flags, mail_f_starttls_wanted);
    EXPECT_EQ(set(0x21B, "1"), 1);
    EXPECT_EQ(h->flags, mail_f_tls_required | mail_f_starttls_wanted);
    EXPECT_EQ(set(0x31B, "1"), 1);
    EXPECT_EQ(h->flags, bits);
    EXPECT_EQ(set(U | 0x1B), 1);
    EXPECT_EQ(h->flags, 0u);
    EXPECT_EQ(set(0x41B), 1);
    EXPECT_EQ(h->flags, 0u);
}

TEST_F(MailSetopt, TimeoutIsPositiveAndFitsInMilliseconds) {
    EXPECT_EQ(set(mail_opt_timeout, "0"), 0);
    EXPECT_EQ(set(mail_opt_timeout, "-5"), 0);
    EXPECT_EQ(set(mail_opt_timeout, nullptr), 0);
    EXPECT_EQ(h->timeout, 0);
    EXPECT_EQ(set(mail_opt_timeout, "30"), 1);
    EXPECT_EQ(h->timeout, 30);
    EXPECT_EQ(set(mail_opt_timeout, "99999999"), 1);
    EXPECT_EQ(h->timeout, INT32_MAX / 1000);
    EXPECT_EQ(set(U | mail_opt_timeout), 1);
    EXPECT_EQ(h->timeout, 300);
    EXPECT_EQ(set(mail_opt_timeout_raw, "-7"), 1);
    EXPECT_EQ(h->timeout, -7);
}

TEST_F(MailSetopt, DateIsUnsigned64BitDecimal) {
    EXPECT_EQ(set(mail_opt_date, "1700000000"), 1);
    EXPECT_EQ(h->msg_time, 1700000000);
    EXPECT_EQ(set(mail_opt_date, "4102444800"), 1);  // beyond 32 bits
    EXPECT_EQ(h->msg_time, 4102444800);
    EXPECT_EQ(set(mail_opt_date, nullptr), 1);
    EXPECT_EQ(h->msg_time, 0);
}

TEST_F(MailSetopt, TakeFromMessageFileNeedsTheFile) {
    EXPECT_EQ(set(mail_opt_from_email_file, "", ""), 0);
    EXPECT_EQ(h->flags2, 0u);
    h->email_file = (dir / "gone.eml").string();
    EXPECT_EQ(set(mail_opt_from_email_file, "", nullptr), 0);
    // The wish stays recorded even though the file could not be read.
    EXPECT_EQ(h->flags2, mail_f2_take_rcpts);
}

// Fields taken from a message file bind the file as it was then: written
// over since, it is no longer sendable; given anew, it is taken as it is.
TEST_F(MailSetopt, FieldsTakenFromAMessageFileBindItsState) {
    const std::string eml = write("m.eml", "From: a@example.org\r\nTo: b@example.org\r\n\r\nx\r\n");
    ASSERT_TRUE(test::age_file(eml));
    ASSERT_EQ(set(mail_opt_email_file, eml.c_str()), 1);
    ASSERT_EQ(set(mail_opt_from_email_file, "", ""), 1);
    ASSERT_EQ(h->to.size(), 1u);
    EXPECT_EQ(msg_check_email_file(h.get()), msg_email_file_ok);
    write("m.eml", "From: a@example.org\r\nTo: c@example.org\r\n\r\nx\r\n");
    EXPECT_EQ(msg_check_email_file(h.get()), msg_email_file_changed);
    EXPECT_EQ(set(mail_opt_email_file, eml.c_str()), 1);
    EXPECT_EQ(msg_check_email_file(h.get()), msg_email_file_ok);
}

TEST_F(MailSetopt, CaPath) {
    EXPECT_EQ(set(mail_opt_ca_path, nullptr), 0);
    EXPECT_EQ(set(mail_opt_ca_path, (dir / "no-such-dir").c_str()), 0);
    EXPECT_EQ(set(U | mail_opt_ca_path, dir.c_str()), 0);
}

TEST_F(MailSetopt, DkimAlgorithmsAddAndCanonicalFormsReplace) {
    EXPECT_EQ(set(0x129), 1);
    EXPECT_EQ(set(0x229), 1);
    EXPECT_EQ(h->dkim_algos, 0x300);
    EXPECT_EQ(set(0x329), 0);
    EXPECT_EQ(set(0x029), 0);
    EXPECT_EQ(set(0x729), 1);
    EXPECT_EQ(h->dkim_algos, 0x700);
    EXPECT_EQ(set(U | 0x29), 1);
    EXPECT_EQ(h->dkim_algos, 0x600);

    EXPECT_EQ(set(0x22A), 1);
    EXPECT_EQ(set(0x42A), 1);
    EXPECT_EQ(h->dkim_canon, 0x400);
    EXPECT_EQ(set(0x32A), 0);
    EXPECT_EQ(h->dkim_canon, 0x400);
    EXPECT_EQ(set(0xF2A), 1);
    EXPECT_EQ(h->dkim_canon, 0xF00);
    EXPECT_EQ(set(U | 0x2A), 1);
    EXPECT_EQ(h->dkim_canon, 0x100);
}

int trace_fn(void*, int, const char*) {
    return 0;
}

TEST_F(MailSetopt, TraceLevelNeedsATraceCallback) {
    EXPECT_EQ(set(mail_opt_trace_level, "1"), 0);
    EXPECT_EQ(h->flags2, 0u);
    mail_set_callback(h.get(), mail_cb_trace, reinterpret_cast<mail_any_cb>(trace_fn), nullptr);
    EXPECT_EQ(set(mail_opt_trace_level, "2"), 1);
    EXPECT_EQ(h->flags2, 2u << mail_f2_trace_shift);
    EXPECT_EQ(set(mail_opt_trace_level, "7"), 1);
    EXPECT_EQ(h->flags2, 3u << mail_f2_trace_shift);
    EXPECT_EQ(set(U | mail_opt_trace_level), 1);
    EXPECT_EQ(h->flags2, 0u);
}

TEST_F(MailSetopt, ProxyTypeAndDefaultPorts) {
    EXPECT_EQ(set(0x2E1, "proxy.example.org", "0"), 1);
    EXPECT_EQ(h->proxy_type, 1u);
    EXPECT_EQ(h->proxy_port, 8080u);
    EXPECT_EQ(set(0x1E1, "proxy.example.org", nullptr), 1);
    EXPECT_EQ(h->proxy_type, 0u);
    EXPECT_EQ(h->proxy_port, 1080u);
    // A type alone keeps host and port; a later host takes the type's default.
    EXPECT_EQ(set(0x2E1), 1);
    EXPECT_EQ(h->proxy_port, 1080u);
    EXPECT_EQ(set(0x0E1, "p2.example.org", nullptr), 1);
    EXPECT_EQ(h->proxy_type, 1u);
    EXPECT_EQ(h->proxy_port, 8080u);
    EXPECT_EQ(set(0x0E1, "p3.example.org", "3128"), 1);
    EXPECT_EQ(h->proxy_port, 3128u);
    // A port that does not fit 16 bits is refused and changes nothing; a
    // negative text reads as a large unsigned number.
    for (const char* port : {"70000", "65536", "-1", "99999999999"}) {
        EXPECT_EQ(set(0x1E1, "p4.example.org", port), 0) << port;
        EXPECT_EQ(h->proxy_host, "p3.example.org");
        EXPECT_EQ(h->proxy_port, 3128u);
        EXPECT_EQ(h->proxy_type, 1u);
    }
    EXPECT_EQ(set(0x0E1, "p5.example.org", "65535"), 1);
    EXPECT_EQ(h->proxy_port, 65535u);
    EXPECT_EQ(set(0x0E1, "p3.example.org", "3128"), 1);
    EXPECT_EQ(set(U | 0xE1), 1);
    EXPECT_FALSE(h->proxy_host);
    EXPECT_EQ(h->proxy_port, 0u);
    EXPECT_EQ(h->proxy_type, 0u);
}

TEST_F(MailSetopt, MessageIdKeepsBothBrackets) {
    EXPECT_EQ(set(mail_opt_message_id, "no-at-sign"), 0);
    EXPECT_EQ(set(mail_opt_message_id, nullptr), 0);
    EXPECT_EQ(set(mail_opt_message_id, "abc@example.org"), 1);
    EXPECT_EQ(h->message_id, "<abc@example.org>");
    std::string fits = std::string(497, 'a') + "@example.org";  // 509 characters
    EXPECT_EQ(set(mail_opt_message_id, fits.c_str()), 1);
    EXPECT_EQ(h->message_id, "<" + fits + ">");
    EXPECT_LT(h->message_id.size(), mail_message_id_size);
    for (size_t n : {510u, 511u, 600u}) {
        std::string too_long = std::string(n - 12, 'b') + "@example.org";
        EXPECT_EQ(set(mail_opt_message_id, too_long.c_str()), 0) << n;
        EXPECT_EQ(h->message_id, "<" + fits + ">");
    }
    EXPECT_EQ(set(U | mail_opt_message_id), 1);
    EXPECT_EQ(h->message_id, "");
}

TEST_F(MailSetopt, BoundariesAreReplacedTogether) {
    EXPECT_EQ(set(mail_opt_boundaries, "m", "a", "r"), 1);
    EXPECT_EQ(set(mail_opt_boundaries, nullptr, "a2", nullptr), 1);
    EXPECT_FALSE(h->boundary_mixed);
    EXPECT_EQ(h->boundary_alt, "a2");
    EXPECT_FALSE(h->boundary_related);
    EXPECT_EQ(set(U | mail_opt_boundaries, "x", "y", "z"), 1);
    EXPECT_FALSE(h->boundary_mixed || h->boundary_alt || h->boundary_related);
}

struct event_log {
    int calls = 0;
};
int count_event(void* user, int, int, const char*) {
    ++static_cast<event_log*>(user)->calls;
    return 0;
}

TEST_F(MailSetopt, ActionsWithoutAConversation) {
    event_log log;
    mail_set_callback(h.get(), mail_cb_event, reinterpret_cast<mail_any_cb>(count_event), &log);
    EXPECT_EQ(set(mail_act_quit), 0);
    EXPECT_EQ(set(mail_act_deliver), 0);
    EXPECT_EQ(log.calls, 0);
    EXPECT_EQ(mail_setopt(h.release(), mail_act_destroy), 1);
}

}  // namespace
}  // namespace ostrel
