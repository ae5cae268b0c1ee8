#include "message/token.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "model/handle.hpp"
#include "support/lock.hpp"
#include "support/rand_mt.hpp"
#include "support/tool_run.hpp"
#include "support/utf8.hpp"

namespace ostrel {

namespace {

const std::string b64url_chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

uint32_t le32(const std::string& b, size_t at) {
    uint32_t w = 0;
    for (int i = 3; i >= 0; --i) w = (w << 8) | static_cast<uint8_t>(b[at + i]);
    return w;
}

// Runs with the shared generator seeded afresh, and a second generator of the
// same seed to predict its draws.
class TokenTest : public ::testing::Test {
  protected:
    static constexpr uint32_t seed = 5489;
    void SetUp() override {
        if (!mail_global_lock) mail_global_lock = lock_create();
        ASSERT_NE(mail_global_lock, nullptr);
        saved_ = mail_rand_state;
        mail_rand_state = rand_mt_create(seed);
        reference_ = rand_mt_create(seed);
        ASSERT_NE(mail_rand_state, nullptr);
    }
    void TearDown() override {
        rand_mt_free(mail_rand_state);
        rand_mt_free(reference_);
        mail_rand_state = saved_;
    }
    uint32_t draw() { return rand_mt_next(reference_); }
    rand_mt_state* reference_ = nullptr;
    rand_mt_state* saved_ = nullptr;
};

TEST_F(TokenTest, LayoutUnderFixedSeed) {
    mail_token_counter = 0;
    std::vector<std::string> tokens;
    for (int i = 0; i < 3; ++i) {
        char out[17];
        ASSERT_EQ(mime_random_token(out), out);
        ASSERT_EQ(std::strlen(out), 16u);
        EXPECT_EQ(std::string(out).find_first_not_of(b64url_chars), std::string::npos) << out;
        tokens.emplace_back(out);
    }
    EXPECT_EQ(mail_token_counter, 3u);
    // Decoded by an independent base64url decoder.
    test::scratch_dir dir;
    auto bytes = test::python_map(dir,
                                  "    import base64\n"
                                  "    out(base64.urlsafe_b64decode(data + b'=='))\n",
                                  tokens);
    ASSERT_EQ(bytes.size(), tokens.size()) << "python3 did not run";
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(bytes[i].size(), 12u);
        uint32_t d1 = draw(), d2 = draw(), d3 = draw();
        EXPECT_EQ(le32(bytes[i], 0), d1);
        EXPECT_EQ(le32(bytes[i], 4), (d2 & 0xFFFF0000u) | i) << "counter in word 2's low half";
        EXPECT_EQ(le32(bytes[i], 8), d3);
    }
}

TEST_F(TokenTest, CounterHalfWrapsAndStaysDistinct) {
    mail_token_counter = 0xFFFF;
    std::set<uint32_t> halves;
    for (int i = 0; i < 65536; ++i) {
        char out[17];
        mime_random_token(out);
        uint8_t b[12];
        ASSERT_EQ(b64_decode(out, 16, b), 12);
        uint32_t low = b[4] | (b[5] << 8);
        if (i == 0) {
            EXPECT_EQ(low, 0xFFFFu);
        }
        if (i == 1) {
            EXPECT_EQ(low, 0u);
        }
        halves.insert(low);
    }
    EXPECT_EQ(halves.size(), 65536u);
}

TEST_F(TokenTest, Boundary) {
    char out[32];
    std::memset(out, 'x', sizeof out);
    ASSERT_EQ(mime_make_boundary(out), out);
    std::string b(out);
    ASSERT_EQ(b.size(), 20u);
    EXPECT_EQ(b.substr(0, 2), "==");
    EXPECT_EQ(b.substr(18), "==");
    EXPECT_EQ(b.substr(2, 16).find_first_not_of(b64url_chars), std::string::npos);
    EXPECT_EQ(out[21], 'x');
}

TEST_F(TokenTest, MessageId) {
    char id[mail_message_id_size];
    msg_make_message_id(id, sizeof id, "me@mail.example.org");
    std::string s(id);
    ASSERT_EQ(s.size(), 1 + 16 + 1 + 16 + 1u);
    EXPECT_EQ(s[0], '<');
    EXPECT_EQ(s.substr(1, 16).find_first_not_of(b64url_chars), std::string::npos);
    EXPECT_EQ(s.substr(17), "@mail.example.org>");
    // Only the first "@" separates the domain.
    msg_make_message_id(id, sizeof id, "a@b@c.example");
    EXPECT_EQ(std::string(id).substr(17), "@b@c.example>");
    msg_make_message_id(id, sizeof id, "no-at-sign");
    EXPECT_EQ(std::string(id).substr(17), "@>");
}

TEST_F(TokenTest, MessageIdIsBounded) {
    for (size_t size : {size_t{512}, size_t{21}, size_t{20}, size_t{5}, size_t{1}}) {
        std::vector<char> buf(size + 8, 'x');
        std::string from = "me@" + std::string(600, 'd') + ".example";
        msg_make_message_id(buf.data(), size, from.c_str());
        std::string s(buf.data());
        EXPECT_EQ(s.size(), size - 1) << size;
        for (size_t i = size; i < buf.size(); ++i) ASSERT_EQ(buf[i], 'x') << "overrun at " << i;
        if (size >= 20) {
            EXPECT_EQ(s.front(), '<');
            EXPECT_EQ(s.back(), '>') << "the closing bracket stays";
        }
    }
}

// ---- URL encoding ----

TEST(MimeUrlEncode, EveryByte) {
    // A blank is encoded too: a Content-ID holds none.
    const std::string kept =
        "!$'()*+,-.0123456789;ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
    for (int c = 1; c < 256; ++c) {
        char in[2] = {static_cast<char>(c), 0}, out[8];
        mime_url_encode(in, out, sizeof out);
        char want[8];
        if (kept.find(static_cast<char>(c)) != std::string::npos)
            std::snprintf(want, sizeof want, "%c", c);
        else
            std::snprintf(want, sizeof want, "%%%02x", c);
        EXPECT_STREQ(out, want) << c;
    }
    EXPECT_EQ(mime_url_encode_table[0].length, 3);
    EXPECT_STREQ(mime_url_encode_table[0].text, "%00");
}

TEST(MimeUrlEncode, ExamplesAndBounds) {
    char out[64];
    EXPECT_STREQ(mime_url_encode("a b;c,d/e@f~g\xc3", out, sizeof out), "a%20b;c,d%2fe%40f%7eg%c3");
    EXPECT_STREQ(mime_url_encode("/a", out, 3), "");
    EXPECT_STREQ(mime_url_encode("/a", out, 4), "%2f");
    EXPECT_STREQ(mime_url_encode("/a", out, 5), "%2fa");
    EXPECT_STREQ(mime_url_encode("abc", out, 1), "");
    out[0] = 'q';
    mime_url_encode("abc", out, 0);
    EXPECT_EQ(out[0], 'q') << "size 0 writes nothing";
}

// ---- encoded words ----

TEST(MimeEncodeWord, CopiesPlainText) {
    EXPECT_EQ(mime_encode_word(nullptr), std::nullopt);
    EXPECT_EQ(mime_encode_word(""), "");
    EXPECT_EQ(mime_encode_word("Plain\ttext ~"), "Plain\ttext ~");
    EXPECT_EQ(mime_encode_word("a\x7f"), "=?utf-8?B?YX8=?=");
    EXPECT_EQ(mime_encode_word("line\nbreak"), "=?utf-8?B?bGluZQpicmVhaw==?=");
}

std::vector<std::string> split_words(const std::string& folded) {
    std::vector<std::string> words;
    size_t at = 0;
    for (size_t next; (next = folded.find("\r\n ", at)) != std::string::npos; at = next + 3)
        words.push_back(folded.substr(at, next - at));
    words.push_back(folded.substr(at));
    return words;
}

bool valid_utf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        auto c = static_cast<uint8_t>(s[i]);
        size_t n = c < 0x80             ? 1
                   : (c & 0xE0) == 0xC0 ? 2
                   : (c & 0xF0) == 0xE0 ? 3
                   : (c & 0xF8) == 0xF0 ? 4
                                        : 0;
        if (!n || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

TEST(MimeEncodeWord, LongTextBecomesFoldedWordsThatDecodeBack) {
    std::string euro = "\xe2\x82\xac", smile = "\xf0\x9f\x98\x80", e = "\xc3\xa9";
    std::vector<std::string> texts = {
        std::string(44, 'a') + e,       // 46 bytes: the "é" may not be split
        std::string(45, 'a') + "\x01",  // 46 bytes
        std::string(45, '\x01'),        // exactly one full word
        [&] {
            std::string s;
            for (int i = 0; i < 300; ++i) s += e;
            return s;
        }(),
        [&] {
            std::string s;
            for (int i = 0; i < 100; ++i) s += euro + "x" + smile;
            return s;
        }(),
        std::string(2000, '\x80'),  // not UTF-8 at all: cut anywhere
        // Characters cut off at the end of the text, and stray bytes at the
        // boundary between two words.
        std::string(44, 'a') + "\xf0",
        std::string(90, 'a') + "\xf0\x9f",
        std::string(43, 'a') + smile + "b",
        std::string(44, 'a') + "\xc3" + std::string(10, 'b'),
        std::string(43, 'a') + "\x80\x80\x80\x80\x80" + e,
        std::string(100, '\xff') + "\xe2\x82",
        "Gr\xc3\xbc\xc3\x9f"
        "e aus M\xc3\xbcnchen, " +
            std::string(200, 'z') + smile,
    };
    test::scratch_dir dir;
    std::vector<std::string> encoded;
    for (const auto& t : texts) {
        auto w = mime_encode_word(t.c_str());
        ASSERT_TRUE(w.has_value());
        encoded.push_back(*w);
        auto words = split_words(*w);
        EXPECT_LE(words.size(), t.size() / 42 + 1)
            << "each word but the last holds 42 bytes or more";
        for (const auto& word : words) {
            EXPECT_LE(word.size(), 75u) << word;
            ASSERT_GE(word.size(), 12u);
            EXPECT_EQ(word.substr(0, 10), "=?utf-8?B?");
            EXPECT_EQ(word.substr(word.size() - 2), "?=");
            if (valid_utf8(t)) {
                std::string b64 = word.substr(10, word.size() - 12);
                std::vector<uint8_t> raw(b64_decode_room(static_cast<int>(b64.size())));
                int n = b64_decode(b64.c_str(), static_cast<int>(b64.size()), raw.data());
                EXPECT_TRUE(valid_utf8(std::string(raw.begin(), raw.begin() + n)))
                    << "split inside a character";
            }
        }
        std::string field = "Subject: " + *w;
        for (const auto& line : split_words(field)) EXPECT_LE(line.size() + 2, 998u);
    }
    auto decoded =
        test::python_map(dir,
                         "    from email.header import decode_header\n"
                         "    out(b''.join(p if isinstance(p, bytes) else p.encode()\n"
                         "                 for p, cs in decode_header(data.decode())))\n",
                         encoded);
    ASSERT_EQ(decoded.size(), texts.size()) << "python3 did not run";
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(decoded[i], texts[i]) << i;
}

// Random texts of whole characters, truncated sequences and stray bytes:
// the words carry exactly the text, every word but the last is at least 42
// bytes long, and no cut falls inside a well-formed character.
TEST(MimeEncodedWords, NoCutInsideAWholeCharacter) {
    const std::string pieces[] = {"a",    " ",    "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                  "\x80", "\xbf", "\xc3",     "\xe2\x82",     "\xf0\x9f\x98",
                                  "\xf8", "\xff", "\x01"};
    std::mt19937 rng(7);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const size_t want = rng() % 400;
        while (text.size() < want) text += pieces[rng() % std::size(pieces)];
        const std::string words = mime_encoded_words(text, "|");
        std::string back;
        std::vector<size_t> cuts;
        size_t at = 0;
        while (at < words.size()) {
            size_t end = words.find('|', at);
            if (end == std::string::npos) end = words.size();
            std::string word = words.substr(at, end - at);
            ASSERT_EQ(word.substr(0, 10), "=?utf-8?B?");
            ASSERT_EQ(word.substr(word.size() - 2), "?=");
            ASSERT_LE(word.size(), 75u);
            std::string b64 = word.substr(10, word.size() - 12);
            std::vector<uint8_t> raw(b64_decode_room(static_cast<int>(b64.size())));
            int n = b64_decode(b64.c_str(), static_cast<int>(b64.size()), raw.data());
            back.append(raw.begin(), raw.begin() + n);
            if (end < words.size()) {
                EXPECT_GE(n, 42) << "a word short of the limit";
                cuts.push_back(back.size());
            }
            at = end + 1;
        }
        ASSERT_TRUE(back == text) << "round " << round;
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        for (size_t cut : cuts) {
            for (size_t start = cut >= 3 ? cut - 3 : 0; start < cut; ++start) {
                char32_t cp;
                size_t len = utf8_decode(p + start, text.size() - start, &cp);
                EXPECT_LE(start + len, cut) << "character at " << start << " cut at " << cut;
            }
        }
    }
}

TEST(MimeEncodeWord, WordCountAtTheLimit) {
    EXPECT_EQ(split_words(*mime_encode_word(std::string(45, '\x01').c_str())).size(), 1u);
    EXPECT_EQ(split_words(*mime_encode_word(std::string(46, '\x01').c_str())).size(), 2u);
    EXPECT_EQ(split_words(*mime_encode_word(std::string(90, '\x01').c_str())).size(), 2u);
}

TEST_F(TokenTest, TwinMakesTokensTheSameWay) {
    mail_token_counter = 7;
    char out[17];
    ASSERT_EQ(mime_random_token_twin(out), out);
    uint8_t b[12];
    ASSERT_EQ(b64_decode(out, 16, b), 12);
    EXPECT_EQ(b[4] | (b[5] << 8), 7);
    EXPECT_EQ(mail_token_counter, 8u);
}

}  // namespace
}  // namespace ostrel
