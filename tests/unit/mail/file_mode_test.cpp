#include "mail/file_mode.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "mail/mail.hpp"
#include "mail/raw_part.hpp"
#include "message/compose_fixture.hpp"
#include "model/checks.hpp"
#include "smtp/smtp.hpp"
#include "support/tool_run.hpp"

namespace ostrel {
namespace {

mime_attachment entry(uint32_t encoding, uint32_t is_inline = 0) {
    mime_attachment a;
    a.path = "/nonexistent";
    a.display_name = "x";
    a.encoding = encoding;
    a.is_inline = is_inline;
    return a;
}

TEST(CheckAttachments, Messages) {
    const char* mixing = "Mixing MIME and Uuencoded attachments is prohibited";
    const char* needs_html = "Inline attachments require a HTML body";
    struct row {
        const char* what;
        std::vector<mime_attachment> list;
        bool html;
        bool force;
        const char* error;
    };
    const row rows[] = {
        {"nothing", {}, false, false, nullptr},
        {"one uuencoded", {entry(mime_enc_uuencode)}, false, false, nullptr},
        {"uuencoded and base64",
         {entry(mime_enc_uuencode), entry(mime_enc_base64)},
         false,
         false,
         mixing},
        {"uuencoded and automatic",
         {entry(mime_enc_uuencode), entry(mime_enc_auto)},
         false,
         false,
         mixing},
        {"uuencoded and HTML", {entry(mime_enc_uuencode)}, true, false, mixing},
        {"uuencoded and forced MIME", {entry(mime_enc_uuencode)}, false, true, mixing},
        {"inline without HTML", {entry(mime_enc_base64, 1)}, false, false, needs_html},
        {"inline and uuencoded",
         {entry(mime_enc_uuencode), entry(mime_enc_base64, 1)},
         false,
         false,
         needs_html},
        {"inline with HTML", {entry(mime_enc_base64, 1)}, true, false, nullptr},
        {"inline uuencoded with HTML", {entry(mime_enc_uuencode, 1)}, true, false, mixing},
    };
    for (const row& r : rows) {
        mail_handle h;
        h.attachments = r.list;
        if (r.html) h.html_body = "<p>";
        if (r.force) h.flags |= mail_f_force_mime;
        const char* error = "unset";
        int ok = mail_check_attachments(&h, &error);
        EXPECT_EQ(ok, r.error ? 0 : 1) << r.what;
        EXPECT_STREQ(error, r.error) << r.what;
    }
    mail_handle h;
    mail_raw_part raw{"x", 1};
    h.raw_inline_part = &raw;
    const char* error = nullptr;
    EXPECT_EQ(mail_check_attachments(&h, &error), 0);
    EXPECT_STREQ(error, needs_html);
}

TEST(CheckCredentials, Table) {
    struct row {
        std::optional<std::string> user, password;
        int want;
    };
    const row rows[] = {{std::nullopt, std::nullopt, 1}, {std::nullopt, "pw", 1}, {"u", "", 0},
                        {"u", std::nullopt, 0},          {"", "pw", 0},           {"u", "pw", 1}};
    for (const row& r : rows) {
        mail_handle h;
        h.user = r.user;
        h.password = r.password;
        EXPECT_EQ(mail_check_credentials(&h), r.want);
    }
}

TEST(ResultAccessors, ProtocolNamesAndConnectionInfo) {
    struct row {
        uint32_t flags;
        const char* name;
    };
    const row rows[] = {{0, "SMTP"},       {1, "ESMTP"},           {1 + 2, "ESMTPS"},
                        {1 + 8, "ESMTPA"}, {1 + 2 + 8, "ESMTPSA"}, {4, "SMTPS"},
                        {4 + 8, "SMTPSA"}, {4 + 1 + 2, "SMTPS"},   {2 + 8, "SMTP"}};
    for (const row& r : rows) EXPECT_STREQ(smtp_protocol_name(r.flags), r.name) << r.flags;

    mail_handle h;
    EXPECT_STREQ(mail_last_error(&h), "");
    h.last_error = "boom";
    EXPECT_STREQ(mail_last_error(&h), "boom");
    h.host = "mail.example.org";
    h.port = 587;
    h.flags = mail_f_esmtp | mail_f_starttls | mail_f_authenticated;
    char host[256];
    char ip[256] = "junk";
    uint16_t port = 0;
    uint32_t flags = 0;
    EXPECT_EQ(mail_connection_info(&h, host, ip, &port, &flags), 1);
    EXPECT_STREQ(host, "mail.example.org");
    EXPECT_STREQ(ip, "");
    EXPECT_EQ(port, 587);
    EXPECT_EQ(flags, 1u + 2u + 8u);
}

struct file_mode_case : ::testing::Test {
    compose_test::scratch_dir dir;
    mail_handle h;
    std::vector<compose_test::event_record> events;

    void SetUp() override {
        h.mode = mail_mode_file;
        h.from_addr = "me@example.org";
        h.body = ".dot line\r\nnext";
        h.output_file = dir.path("out.eml");
        compose_test::watch_events(h, events);
    }
    std::string output() {
        std::ifstream in(*h.output_file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool exists() {
        struct stat st {};
        return ::stat(h.output_file->c_str(), &st) == 0;
    }
};

TEST_F(file_mode_case, WritesTheMessageDotStuffedOnlyOnRequest) {
    int status = -1;
    EXPECT_EQ(mail_write_output_file(&h, &status), 1);
    EXPECT_EQ(status, mail_file_ok);
    EXPECT_TRUE(compose_test::contains(output(), "\r\n\r\n.dot line\r\nnext\r\n"));
    h.flags |= mail_f_dotstuff_file;
    EXPECT_EQ(mail_write_output_file(&h), 1);
    EXPECT_TRUE(compose_test::contains(output(), "\r\n\r\n..dot line\r\nnext\r\n"));
}

TEST_F(file_mode_case, OutputFileThatCannotBeMade) {
    h.output_file = dir.path("no/such/dir.eml");
    int status = -1;
    EXPECT_EQ(mail_write_output_file(&h, &status), 0);
    EXPECT_EQ(status, mail_file_output_failed);
    EXPECT_STREQ(mail_last_error(&h), "Failed to open output file");
}

TEST_F(file_mode_case, FailedWritesAreReported) {
    struct stat st {};
    if (::stat("/dev/full", &st) != 0) GTEST_SKIP() << "no /dev/full";
    h.output_file = "/dev/full";
    int status = -1;
    EXPECT_EQ(mail_write_output_file(&h, &status), 0);
    EXPECT_EQ(status, mail_file_output_failed);
    EXPECT_STREQ(mail_last_error(&h), "Failed to write output file");
}

TEST_F(file_mode_case, UnusableAttachmentLeavesNoFile) {
    mime_attachment a = entry(mime_enc_base64);
    a.path = dir.path("vanished.pdf");
    h.attachments.push_back(a);
    int status = -1;
    EXPECT_EQ(mail_write_output_file(&h, &status), 0);
    EXPECT_EQ(status, mail_file_input_unusable);
    EXPECT_FALSE(exists());
    EXPECT_EQ(std::string(mail_last_error(&h)), "Could not open attachment (" + a.path + ")");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, mail_ev_attachment);
    EXPECT_EQ(events[0].text, a.path);
}

TEST(RawParts, SettingAndRendering) {
    mail_handle h;
    mail_raw_part part{"Content-Type: text/plain\r\n\r\nraw\r\n", 31};
    mail_raw_part empty{"x", 0};
    EXPECT_EQ(mail_set_raw_part(&h, &part, 0), 1);
    EXPECT_EQ(h.raw_part, &part);
    EXPECT_EQ(mail_set_raw_part(&h, &empty, 0), 1);
    EXPECT_EQ(h.raw_part, nullptr);
    EXPECT_EQ(mail_set_raw_part(&h, &part, 1), 1);
    EXPECT_EQ(h.raw_inline_part, &part);
    EXPECT_EQ(mail_set_raw_part(&h, nullptr, 1), 1);
    EXPECT_EQ(h.raw_inline_part, nullptr);

    compose_test::scratch_dir dir;
    FILE* f = std::tmpfile();
    EXPECT_EQ(mime_write_attachments_file(&h, 0, f), 0);  // no boundaries
    EXPECT_EQ(std::ftell(f), 0);
    std::fclose(f);

    h.boundary_mixed = "M";
    h.boundary_related = "R";
    const std::string saved = dir.path("parts.txt");
    EXPECT_EQ(mime_save_attachments(&h, 0, saved.c_str()), 0);
    struct stat st {};
    EXPECT_NE(::stat(saved.c_str(), &st), 0);

    mime_attachment a = entry(mime_enc_base64);
    a.path = dir.file("a.txt", "abc");
    h.attachments.push_back(a);
    EXPECT_EQ(mime_save_attachments(&h, 0, saved.c_str()), 1);
    std::ifstream in(saved, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    EXPECT_EQ(s.str().substr(0, 5), "--M\r\n");
    EXPECT_TRUE(compose_test::contains(s.str(), "\r\n\r\nYWJj\r\n\r\n"));
}

TEST(RawParts, SavedAttachmentsThatCannotBeWrittenLeaveNoFile) {
    mail_handle h;
    h.boundary_mixed = "M";
    h.boundary_related = "R";
    compose_test::scratch_dir dir;
    mime_attachment a = entry(mime_enc_base64);
    a.path = dir.file("a.bin", std::string(100000, 'x'));
    h.attachments.push_back(a);
    const std::string saved = dir.path("parts.txt");
    {
        test::file_size_limit limit(1000);
        EXPECT_EQ(mime_save_attachments(&h, 0, saved.c_str()), -1);
    }
    struct stat st {};
    EXPECT_NE(::stat(saved.c_str(), &st), 0);
}

}  // namespace
}  // namespace ostrel
