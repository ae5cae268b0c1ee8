#include "message/attach_writer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "message/address.hpp"
#include "message/compose_fixture.hpp"
#include "message/token.hpp"
#include "support/str.hpp"

namespace ostrel {
namespace {

using compose_test::capture;
using compose_test::contains;

std::string lines_of(int chars, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) s += std::string(static_cast<size_t>(chars), 'a') + "\r\n";
    return s;
}

TEST(GuessEncoding, ShareOfPrintableText) {
    struct row {
        const char* what;
        std::string content;
        uint32_t want;
    };
    const std::string binary(100, '\x01');
    const row rows[] = {
        {"empty", "", mime_enc_base64},
        {"8 characters a line: 80 %", lines_of(8, 50), mime_enc_base64},
        {"30 characters a line: 94 %", lines_of(30, 50), mime_enc_qp},
        {"85 of 100", std::string(85, 'x') + std::string(15, '='), mime_enc_qp},
        {"84 of 100", std::string(84, 'x') + std::string(16, '='), mime_enc_base64},
        // Judged by the first 4096 bytes only.
        {"text then binary", std::string(4096, 'x') + std::string(904, '\0'), mime_enc_qp},
        {"binary then text", std::string(4096, '\0') + std::string(904, 'x'), mime_enc_base64},
    };
    compose_test::scratch_dir dir;
    for (const row& r : rows) {
        int fd = ::open(dir.file("f", r.content).c_str(), O_RDONLY);
        EXPECT_EQ(mime_guess_encoding(fd), r.want) << r.what;
        if (!r.content.empty()) {
            EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 0) << r.what;
        }
        ::close(fd);
    }
}

struct writer_case : ::testing::Test {
    compose_test::scratch_dir dir;
    mail_handle h;
    std::vector<compose_test::event_record> events;

    void SetUp() override { compose_test::watch_events(h, events); }
    mime_attachment& add(const std::string& name, const std::string& content,
                         uint32_t encoding = mime_enc_auto, uint32_t is_inline = 0) {
        return compose_test::add_attachment(h, dir, name, content, encoding, is_inline);
    }
    std::string write(uint32_t kind, uint32_t lone = 0, int* result = nullptr) {
        return capture([&](msg_out_cb out, void* ctx) {
            int r = mime_write_attachments(&h, kind, "BOUND", out, ctx, lone);
            if (result) *result = r;
        });
    }
};

TEST_F(writer_case, EmptyFileIsBase64WithoutContentLines) {
    add("empty.bin", "");
    EXPECT_EQ(write(0),
              "--BOUND\r\nContent-Type: application/octet-stream;\r\n\tname=\"empty.bin\"\r\n"
              "Content-Disposition: attachment;\r\n\tfilename=\"empty.bin\"\r\n"
              "Content-Transfer-Encoding: base64\r\n\r\n\r\n");
    EXPECT_EQ(h.attachments[0].encoding, mime_enc_base64);  // the choice is kept
}

TEST_F(writer_case, Base64LinesOf76) {
    std::string content;
    for (int i = 0; i < 1000; ++i) content += static_cast<char>(i * 7);
    add("data.pdf", content);
    std::string out = write(0);
    EXPECT_TRUE(contains(out, "Content-Type: application/pdf;\r\n"));
    size_t body = out.find("\r\n\r\n") + 4;
    std::vector<std::string> lines = compose_test::split_lines(out.substr(body));
    ASSERT_EQ(lines.size(), 18u + 1u);  // 17 full lines, one short, the empty line
    for (size_t i = 0; i + 2 < lines.size(); ++i) EXPECT_EQ(lines[i].size(), 76u);
    EXPECT_EQ(lines.back(), "");
}

TEST_F(writer_case, MessageTypes) {
    add("fwd.eml", "Subject: x\n\n.\n.body\nend");
    add("fwd2.eml", "Subject: y\r\n\r\nbody", mime_enc_base64);
    const char eight[] = "Subject: \xc3\xa9\r\n\r\nbody\0tail";
    add("eight.eml", std::string(eight, sizeof eight - 1));
    h.flags2 |= mail_f2_dotstuff;  // the stream stuffs, never the writer
    std::string out = write(0);
    // Automatic: 7bit, the type kept, line ends made CR LF.
    EXPECT_TRUE(contains(out, "Content-Type: message/rfc822;\r\n\tname=\"fwd.eml\"\r\n"));
    EXPECT_TRUE(contains(out,
                         "Content-Transfer-Encoding: 7bit\r\n\r\n"
                         "Subject: x\r\n\r\n.\r\n.body\r\nend\r\n"));
    // Chosen by the caller: text/plain in that encoding.
    EXPECT_TRUE(contains(out, "Content-Type: text/plain;\r\n\tname=\"fwd2.eml\"\r\n"));
    // 8-bit content is named so, and a NUL byte does not cut it.
    EXPECT_TRUE(contains(out, "Content-Transfer-Encoding: 8bit\r\n\r\n"));
    EXPECT_TRUE(contains(out, std::string("body\0tail\r\n", 11)));
    // The automatic choice stays with this composition.
    EXPECT_EQ(h.attachments[0].encoding, mime_enc_auto);
    EXPECT_EQ(write(0), out);
}

TEST_F(writer_case, LargeMessageIsScannedThenWrittenOnce) {
    // Larger than one read block, with the 8-bit byte near the end: the scan
    // reads on, then the content starts over from its first byte.
    std::string content = "Subject: big\r\n\r\n";
    while (content.size() < 150000) content += "0123456789 abcdefghij\r\n";
    content += "caf\xc3\xa9\r\n";
    add("big.eml", content);
    std::string out = write(0);
    const std::string head = "Content-Transfer-Encoding: 8bit\r\n\r\n";
    ASSERT_TRUE(contains(out, head));
    EXPECT_EQ(out.substr(out.find(head) + head.size()), content + "\r\n");
}

TEST_F(writer_case, QuotedPrintableInBinaryMode) {
    add("notes.txt", "line one = two\r\nline two \r\n", mime_enc_qp);
    std::string out = write(0);
    EXPECT_TRUE(contains(out,
                         "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                         "line one =3D two=0D=0Aline two =0D=0A\r\n"));
}

TEST_F(writer_case, InlineAndOtherEntriesByKind) {
    add("a.png", "\x89PNG", mime_enc_base64, 1);
    add("b.txt", "text", mime_enc_base64);
    h.attachments[0].display_name = "my pic@x.png";
    int r0 = 0;
    int r1 = 0;
    std::string other = write(0, 0, &r0);
    std::string inl = write(1, 0, &r1);
    EXPECT_EQ(r0, 1);
    EXPECT_EQ(r1, 1);
    EXPECT_TRUE(contains(other, "b.txt"));
    EXPECT_FALSE(contains(other, "png"));
    EXPECT_TRUE(contains(inl, "Content-Disposition: inline\r\nContent-ID: <my%20pic%40x.png>\r\n"));
    h.attachments[0].content_id = "cid1";
    EXPECT_TRUE(contains(write(1), "Content-ID: <cid1>\r\n"));
}

TEST_F(writer_case, QuotesInFileNamesAreEscaped) {
    add("a\"b\\c.txt", "text", mime_enc_base64);
    std::string out = write(0);
    EXPECT_TRUE(contains(out, "\tname=\"a\\\"b\\\\c.txt\"\r\n"));
    EXPECT_TRUE(contains(out, "\tfilename=\"a\\\"b\\\\c.txt\"\r\n"));
}

TEST_F(writer_case, LoneHasNoBoundaryLine) {
    add("b.txt", "text", mime_enc_base64);
    EXPECT_EQ(write(0, 1).substr(0, 14), "Content-Type: ");
}

TEST_F(writer_case, UnopenableEntryIsReportedAndCounted) {
    add("a.txt", "a", mime_enc_base64);
    add("u.txt", "u", mime_enc_uuencode);
    add("b.txt", "b", mime_enc_base64);
    h.attachments[0].path = dir.path("missing.txt");
    int r = 0;
    std::string out = write(0, 0, &r);
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(contains(out, "b.txt"));
    EXPECT_FALSE(contains(out, "a.txt"));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, mail_ev_attachment);
    EXPECT_EQ(events[0].status, mail_status_failed);
    EXPECT_EQ(events[0].text, dir.path("missing.txt"));
    EXPECT_FALSE(h.last_error);

    // Without the missing one, the uuencoded entry still counts.
    h.attachments.erase(h.attachments.begin());
    write(0, 0, &r);
    EXPECT_EQ(r, 2);
}

TEST_F(writer_case, ReadErrorIsNotedWhenAsked) {
    add("d", "");
    h.attachments[0].path = dir.path("");  // the directory: opens, but cannot be read
    mime_input_status status;
    capture([&](msg_out_cb out, void* ctx) {
        mime_write_attachments_ex(&h, 0, "B", out, ctx, 0, &status);
    });
    EXPECT_EQ(status.unusable, 1);
    EXPECT_EQ(status.first_path, dir.path(""));
}

// A file cut short while it is read fails the read instead of ending early;
// one that grows is read on to its end.
TEST(FileReader, ShrinkingFileIsAReadErrorGrowingFileIsRead) {
    compose_test::scratch_dir dir;
    const std::string path = dir.file("f.bin", "");
    for (bool shrink : {true, false}) {
        std::string data(200000, 'd');
        {
            std::FILE* f = std::fopen(path.c_str(), "wb");
            std::fwrite(data.data(), 1, data.size(), f);
            std::fclose(f);
        }
        mime_file_reader in(::open(path.c_str(), O_RDONLY));
        std::vector<uint8_t> buf(70000);
        ASSERT_EQ(in.read(buf.data(), buf.size()), 70000);
        if (shrink) {
            ASSERT_EQ(::truncate(path.c_str(), 100000), 0);
        } else {
            std::FILE* f = std::fopen(path.c_str(), "ab");
            std::fwrite("more", 1, 4, f);
            std::fclose(f);
        }
        long total = 70000, n;
        while ((n = in.read(buf.data(), buf.size())) > 0) total += n;
        if (shrink) {
            EXPECT_EQ(n, -1);
        } else {
            EXPECT_EQ(n, 0);
            EXPECT_EQ(total, 200004);
        }
    }
}

// Names that needed encoded words also go in the charset form of the
// parameter, first, on one line; the plain forms stay.
TEST_F(writer_case, NonAsciiNamesGetTheCharsetForm) {
    mime_attachment& a = add("Gr\xc3\xbc\xc3\x9f e.txt", "text", mime_enc_base64);
    a.display_name = *mime_encode_word(a.display_name.c_str());  // as the attachment list keeps it
    std::string out = write(0);
    EXPECT_TRUE(contains(out,
                         "Content-Type: text/plain;\r\n\tname*=utf-8''Gr%C3%BC%C3%9F%20e.txt;\r\n"
                         "\tname=\"=?utf-8?B?"));
    EXPECT_TRUE(contains(out,
                         "Content-Disposition: attachment;\r\n"
                         "\tfilename*=utf-8''Gr%C3%BC%C3%9F%20e.txt;\r\n\tfilename=\"=?utf-8?B?"));
    add("plain.txt", "text", mime_enc_base64);
    EXPECT_FALSE(contains(write(0).substr(out.size()), "*="));
}

TEST(AttachNeighbours, SmallTests) {
    EXPECT_EQ(str_is_7bit(nullptr), 1);
    EXPECT_EQ(str_is_7bit("plain\t\x7f"), 1);
    EXPECT_EQ(str_is_7bit("caf\xc3\xa9"), 0);

    mail_handle h;
    EXPECT_EQ(addr_dsn_requested(&h), 0);
    h.cc.push_back({"c@x.org", std::nullopt, 4});
    EXPECT_EQ(addr_dsn_requested(&h), 1);

    uint32_t multipart = 9, related = 9, single = 9, lone = 9;
    EXPECT_EQ(mime_analyse(&h, &multipart, &related, &single, &lone), 0u);
    EXPECT_EQ(single, 1u);
    h.attachments.push_back({"p", "p", std::nullopt, std::nullopt, std::nullopt, 1, 0});
    EXPECT_EQ(mime_analyse(&h, &multipart, &related, &single, &lone), 1u);
    EXPECT_EQ(lone, 1u);
    EXPECT_EQ(single, 0u);
    h.attachments.push_back({"q", "q", std::nullopt, std::nullopt, std::nullopt, 1, 1});
    EXPECT_EQ(mime_analyse(&h, &multipart, &related, nullptr, nullptr), 1u);
    EXPECT_EQ(related, 1u);
}

}  // namespace
}  // namespace ostrel
