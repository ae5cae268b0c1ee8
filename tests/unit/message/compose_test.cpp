#include "message/compose.hpp"

#include <gtest/gtest.h>

#include "message/compose_fixture.hpp"

namespace ostrel {
namespace {

using compose_test::contains;

struct compose_case : ::testing::Test {
    compose_test::scratch_dir dir;
    mail_handle h;
    std::vector<compose_test::event_record> events;

    void SetUp() override {
        h.msg_time = 1796784479;
        h.from_addr = "me@example.org";
        h.to.push_back({"you@example.org", std::nullopt, 0});
        h.boundary_mixed = "MIXED";
        h.boundary_alt = "ALT";
        h.boundary_related = "REL";
        compose_test::watch_events(h, events);
    }
    void attach(const std::string& name, const std::string& content, uint32_t encoding,
                uint32_t is_inline = 0) {
        compose_test::add_attachment(h, dir, name, content, encoding, is_inline);
    }
    std::string compose(mime_input_status* status = nullptr) {
        return compose_test::capture(
            [&](msg_out_cb out, void* ctx) { mime_compose_ex(&h, out, ctx, status); });
    }
    // The text after the header block and its custom fields.
    std::string after_message_id(const std::string& m) {
        size_t p = m.find("Message-ID: ");
        return m.substr(m.find("\r\n", p) + 2);
    }
};

TEST_F(compose_case, SinglePartSevenBit) {
    h.body = "Hello\r\nWorld";
    EXPECT_EQ(after_message_id(compose()),
              "Content-Type: text/plain; charset=us-ascii\r\nMIME-Version: 1.0\r\n"
              "Content-Transfer-Encoding: 7bit\r\n\r\nHello\r\nWorld\r\n");
}

TEST_F(compose_case, EightBitBodyBecomesQuotedPrintableUtf8) {
    h.body = "caf\xc3\xa9\r\n";
    std::string m = after_message_id(compose());
    EXPECT_EQ(m,
              "Content-Type: text/plain; charset=utf-8\r\nMIME-Version: 1.0\r\n"
              "Content-Transfer-Encoding: quoted-printable\r\n\r\ncaf=C3=A9\r\n\r\n");
    EXPECT_EQ(h.charset.value_or(""), "utf-8");
    EXPECT_TRUE(h.flags & mail_f_body_qp);

    h.flags &= ~mail_f_body_qp;
    h.flags |= mail_f_body_base64;
    EXPECT_TRUE(contains(compose(), "Content-Transfer-Encoding: base64\r\n\r\nY2Fmw6kNCg==\r\n"));
}

TEST_F(compose_case, ForcedMimeHasOnlyTheTextPart) {
    h.body = "Hi";
    h.flags |= mail_f_force_mime;
    EXPECT_EQ(after_message_id(compose()),
              "Content-Type: multipart/mixed;\r\n\tboundary=\"MIXED\"\r\nMIME-Version: 1.0\r\n\r\n"
              "MIME\r\n--MIXED\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n\r\n"
              "Hi\r\n--MIXED--\r\n");
}

TEST_F(compose_case, LoneAttachmentIsTheBody) {
    attach("a.bin", "\x01\x02\x03", mime_enc_auto);
    h.flags |= mail_f_force_mime;
    std::string m = after_message_id(compose());
    EXPECT_EQ(m,
              "MIME-Version: 1.0\r\nContent-Type: application/octet-stream;\r\n"
              "\tname=\"a.bin\"\r\nContent-Disposition: attachment;\r\n\tfilename=\"a.bin\"\r\n"
              "Content-Transfer-Encoding: base64\r\n\r\nAQID\r\n\r\n");
}

TEST_F(compose_case, HtmlWithInlineImage) {
    h.body = "text";
    h.html_body = "<p>hi</p>";
    attach("img.png", "PNG", mime_enc_base64, 1);
    attach("doc.txt", "doc", mime_enc_base64);
    std::string m = after_message_id(compose());
    const char* order[] = {
        "Content-Type: multipart/mixed;\r\n\tboundary=\"MIXED\"\r\n",
        "--MIXED\r\nContent-Type: multipart/alternative;\r\n\tboundary=\"ALT\"\r\n\r\n--ALT\r\n",
        "Content-Type: text/plain; charset=\"us-ascii\"\r\n\r\ntext\r\n--ALT\r\n",
        "Content-Type: multipart/related;\r\n\tboundary=\"REL\"\r\n\r\n--REL\r\n",
        ("Content-Type: text/html; charset=\"utf-8\"\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\n<p>hi</p>\r\n"),
        "--REL\r\nContent-Type: image/png\r\nContent-Disposition: inline\r\n",
        "--REL--\r\n\r\n--ALT--\r\n\r\n--MIXED\r\n",
        "filename=\"doc.txt\"",
        "--MIXED--\r\n"};
    size_t at = 0;
    for (const char* piece : order) {
        size_t p = m.find(piece, at);
        ASSERT_NE(p, std::string::npos) << piece;
        at = p;
    }
    EXPECT_EQ(m.substr(m.size() - 11), "--MIXED--\r\n");
}

TEST_F(compose_case, HtmlWithoutBodyStillHasTheTextPart) {
    h.html_body = "<b>x</b>";
    std::string m = after_message_id(compose());
    EXPECT_TRUE(
        contains(m, "--ALT\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n\r\n--ALT\r\n"));
}

TEST_F(compose_case, DotStuffingOfPlainLines) {
    h.body = ".one\r\ntwo\r\n";
    std::string plain = after_message_id(compose());
    EXPECT_TRUE(contains(plain, "\r\n\r\n.one\r\ntwo\r\n\r\n"));
    h.flags2 |= mail_f2_dotstuff;
    EXPECT_TRUE(contains(after_message_id(compose()), "\r\n\r\n..one\r\ntwo\r\n\r\n"));
}

TEST_F(compose_case, UuencodeLayoutWritesTheTextAsItIs) {
    h.body = "caf\xc3\xa9";
    attach("f.bin", std::string(45 + 14, 'A'), mime_enc_uuencode);
    h.flags2 |= mail_f2_dotstuff;
    std::string m = after_message_id(compose());
    std::vector<std::string> lines = compose_test::split_lines(m);
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "caf\xc3\xa9");
    EXPECT_EQ(lines[2], "begin 644 f.bin");
    EXPECT_EQ(lines[3][0], 'M');
    EXPECT_EQ(lines[4].substr(0, 2), "..");  // the length character of 14 bytes is "."
    EXPECT_EQ(lines[5], "`");
    EXPECT_EQ(lines[6], "end");
    EXPECT_FALSE(contains(m, "Content-"));
}

TEST_F(compose_case, UnusableInputsAreNoted) {
    h.body = "b";
    h.html_body = dir.path("missing.html");
    h.flags2 |= mail_f2_html_file;
    attach("u.bin", "u", mime_enc_uuencode);
    h.attachments[0].path = dir.path("missing.bin");
    mime_input_status status;
    compose(&status);
    EXPECT_EQ(status.unusable, 2);
    EXPECT_EQ(status.first_path, dir.path("missing.html"));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].text, "Could not open attachment (" + dir.path("missing.bin") + ")");
    EXPECT_EQ(h.last_error.value_or(""), events[1].text);
}

TEST_F(compose_case, HtmlFromFile) {
    h.html_body = dir.file("page.html", "<p>a\r\nb</p>");
    h.flags2 |= mail_f2_html_file;
    EXPECT_TRUE(contains(compose(), "quoted-printable\r\n\r\n<p>a\r\nb</p>\r\n--ALT--\r\n\r\n"));
    h.flags |= mail_f_body_base64;
    EXPECT_TRUE(contains(compose(), "base64\r\n\r\nPHA+YQ0KYjwvcD4=\r\n--ALT--\r\n\r\n"));
}

TEST_F(compose_case, CustomFieldsFollowTheBlockInOrder) {
    h.body = "x";
    h.headers.push_back({"X-One", "1"});
    h.headers.push_back({"X-Two", "2"});
    std::string m = compose();
    EXPECT_TRUE(contains(m, ">\r\nX-One: 1\r\nX-Two: 2\r\nContent-Type: text/plain"));
}

TEST_F(compose_case, RandomBoundariesAreFreshAndTheMessageIdStays) {
    h.boundary_mixed.reset();
    h.flags |= mail_f_force_mime;
    std::string a = compose();
    std::string b = compose();
    auto boundary = [](const std::string& m) {
        size_t p = m.find("boundary=\"") + 10;
        return m.substr(p, m.find('"', p) - p);
    };
    EXPECT_EQ(boundary(a).size(), 20u);
    EXPECT_NE(boundary(a), boundary(b));
    EXPECT_TRUE(contains(b, "Message-ID: " + h.message_id + "\r\n"));
}

}  // namespace
}  // namespace ostrel
