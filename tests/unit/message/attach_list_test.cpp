#include "message/attach_list.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "model/handle.hpp"
#include "support/tool_run.hpp"

namespace ostrel {
namespace {

class AttachList : public ::testing::Test {
  protected:
    std::string make(const std::string& rel) {
        std::string p = dir.file(rel);
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        test::write_file(p, "data");
        return p;
    }
    test::scratch_dir dir;
    mime_attachment_list list;
};

TEST_F(AttachList, OrderOfAdding) {
    for (const char* n : {"c.txt", "a.txt", "b.txt"})
        ASSERT_EQ(
            mime_attach_add(&list, make(n).c_str(), mime_enc_auto, 0, nullptr, nullptr, nullptr),
            1);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].display_name, "c.txt");
    EXPECT_EQ(list[1].display_name, "a.txt");
    EXPECT_EQ(list[2].display_name, "b.txt");
}

TEST_F(AttachList, MissingFileIsRefused) {
    EXPECT_EQ(mime_attach_add(&list, dir.file("none").c_str(), 0, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(mime_attach_add(&list, nullptr, 0, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_TRUE(list.empty());
}

TEST_F(AttachList, Fields) {
    std::string p = make("sub/report.pdf");
    ASSERT_EQ(mime_attach_add(&list, p.c_str(), mime_enc_base64, 0x1000, "cid@x", "application/x-y",
                              "Given name.pdf"),
              1);
    ASSERT_EQ(mime_attach_add(&list, p.c_str(), mime_enc_qp, 0, "", "", nullptr), 1);
    const mime_attachment& a = list[0];
    EXPECT_EQ(a.path, p);
    EXPECT_EQ(a.display_name, "Given name.pdf");
    EXPECT_EQ(a.given_name, "Given name.pdf");
    EXPECT_EQ(a.content_id, "cid@x");
    EXPECT_EQ(a.mime_type, "application/x-y");
    EXPECT_EQ(a.encoding, mime_enc_base64);
    EXPECT_EQ(a.is_inline, 0x1000u) << "the inline bit is stored as given";
    const mime_attachment& b = list[1];
    EXPECT_EQ(b.display_name, "report.pdf");
    EXPECT_FALSE(b.given_name.has_value());
    EXPECT_FALSE(b.content_id.has_value()) << "\"\" is stored as NULL";
    EXPECT_FALSE(b.mime_type.has_value());
    EXPECT_EQ(b.encoding, mime_enc_qp);
}

TEST_F(AttachList, DisplayNames) {
    // Both separators: the part after the later one, whichever it is.
    std::string back_later = make("d/x\\y.txt");   // a file named "x\y.txt"
    std::string slash_later = make("e\\f/z.txt");  // a folder named "e\f"
    std::string utf8 = make("R\xc3\xa9sum\xc3\xa9.txt");
    ASSERT_EQ(mime_attach_add(&list, back_later.c_str(), 0, 0, nullptr, nullptr, nullptr), 1);
    ASSERT_EQ(mime_attach_add(&list, slash_later.c_str(), 0, 0, nullptr, nullptr, nullptr), 1);
    ASSERT_EQ(mime_attach_add(&list, utf8.c_str(), 0, 0, nullptr, nullptr, nullptr), 1);
    ASSERT_EQ(mime_attach_add(&list, utf8.c_str(), 0, 0, nullptr, nullptr, "\xe2\x82\xac.txt"), 1);
    ASSERT_EQ(mime_attach_add(&list, utf8.c_str(), 0, 0, nullptr, nullptr, ""), 1);
    EXPECT_EQ(list[0].display_name, "y.txt");
    EXPECT_EQ(list[1].display_name, "z.txt");
    EXPECT_EQ(list[2].display_name, "=?utf-8?B?UsOpc3Vtw6kudHh0?=");
    EXPECT_EQ(list[3].display_name, "=?utf-8?B?4oKsLnR4dA==?=");
    EXPECT_EQ(list[3].given_name, "\xe2\x82\xac.txt") << "the given name is kept as given";
    EXPECT_EQ(list[4].display_name, "=?utf-8?B?UsOpc3Vtw6kudHh0?=") << "an empty name is no name";
    EXPECT_EQ(list[4].given_name, "");
}

TEST_F(AttachList, Free) {
    ASSERT_EQ(mime_attach_add(&list, make("a").c_str(), 0, 0, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(mime_attach_list_free(&list), 1);
    EXPECT_TRUE(list.empty());
}

TEST(MimeAttachEncodingByKind, Table) {
    EXPECT_EQ(mime_attach_encoding_by_kind(0), mime_enc_auto);
    EXPECT_EQ(mime_attach_encoding_by_kind(1), mime_enc_base64);
    EXPECT_EQ(mime_attach_encoding_by_kind(2), mime_enc_qp);
    EXPECT_EQ(mime_attach_encoding_by_kind(3), mime_enc_uuencode);
}

TEST(MsgHeaderList, AddInOrderAndFree) {
    msg_header_list l;
    EXPECT_EQ(msg_header_list_add(&l, "X-First", "plain\tvalue"), 1);
    EXPECT_EQ(msg_header_list_add(&l, "X-\xc3\xa9", "caf\xc3\xa9"), 1);
    EXPECT_EQ(msg_header_list_add(&l, "Received", ""), 1);
    EXPECT_EQ(msg_header_list_add(&l, "Received", ""), 1);
    EXPECT_EQ(msg_header_list_add(&l, nullptr, "v"), 0);
    EXPECT_EQ(msg_header_list_add(&l, "X-Null", nullptr), 0);
    ASSERT_EQ(l.size(), 4u);
    EXPECT_EQ(l[0].name, "X-First");
    EXPECT_EQ(l[0].value, "plain\tvalue");
    EXPECT_EQ(l[1].name, "X-\xc3\xa9") << "names are never encoded";
    EXPECT_EQ(l[1].value, "=?utf-8?B?Y2Fmw6k=?=");
    EXPECT_EQ(l[2].name, "Received");
    EXPECT_EQ(l[3].name, "Received") << "the same removal twice gives two nodes";
    EXPECT_EQ(l[3].value, "");
    EXPECT_EQ(msg_header_list_free(&l), 1);
    EXPECT_TRUE(l.empty());
}

TEST(MsgHeaderList, LongValueStaysWithinLineLimits) {
    msg_header_list l;
    std::string v;
    for (int i = 0; i < 2000; ++i) v += "\xc3\xa9";
    ASSERT_EQ(msg_header_list_add(&l, "X-Long", v.c_str()), 1);
    // Each line holds one word of at most 75 characters: after the field name,
    // or after the blank of a fold.
    std::string field = "X-Long: " + l[0].value;
    size_t start = 0, lines = 0;
    for (size_t end; (end = field.find("\r\n", start)) != std::string::npos;
         start = end + 2, ++lines)
        EXPECT_LE(end - start, lines ? 76u : 83u);
    EXPECT_LE(field.size() - start, 76u);
    EXPECT_GT(lines, 40u);
}

}  // namespace
}  // namespace ostrel
