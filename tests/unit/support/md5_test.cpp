#include "support/md5.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace ostrel {
namespace {

std::string hex_of(const uint8_t digest[16]) {
    char out[33];
    return hash_md5_hex(out, digest);
}

std::string md5_hex(const std::string& data) {
    uint8_t d[16];
    hash_md5(d, data.data(), static_cast<int32_t>(data.size()));
    return hex_of(d);
}

std::string md5_pieces(const std::string& data, size_t piece) {
    hash_md5_ctx ctx;
    hash_md5_init(&ctx);
    for (size_t at = 0; at < data.size(); at += piece) {
        const size_t n = std::min(piece, data.size() - at);
        hash_md5_update(&ctx, reinterpret_cast<const uint8_t*>(data.data()) + at,
                        static_cast<uint32_t>(n));
    }
    uint8_t d[16];
    hash_md5_final(d, &ctx);
    return hex_of(d);
}

struct md5_case {
    std::string data;
    const char* hex;
};

// The test suite of the MD5 definition, plus the lengths around the final
// block's boundary (digests from Python's hashlib).
const std::vector<md5_case>& md5_cases() {
    static const std::vector<md5_case> cases = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(1000, 'x'), "398533d48111e9f664b1f64cb10c4b63"},
    };
    return cases;
}

TEST(Md5, DigestsOfKnownMessages) {
    for (const auto& c : md5_cases()) EXPECT_EQ(md5_hex(c.data), c.hex) << c.data.size();
}

TEST(Md5, PiecesOfAnySizeGiveTheSameDigest) {
    for (const auto& c : md5_cases())
        for (size_t piece : {1, 3, 63, 64, 65})
            EXPECT_EQ(md5_pieces(c.data, piece), c.hex) << c.data.size() << " by " << piece;
}

TEST(Md5, NegativeLengthMeasuresTheString) {
    uint8_t d[16];
    hash_md5(d, "", -1);
    EXPECT_EQ(hex_of(d), "d41d8cd98f00b204e9800998ecf8427e");
    hash_md5(d, "message digest", -1);
    EXPECT_EQ(hex_of(d), "f96b697d7cb7938d525a2f31aaf161d0");
}

TEST(Md5, UnalignedInput) {
    const std::string msg = "message digest";
    std::vector<uint8_t> buf(msg.size() + 1);
    std::memcpy(buf.data() + 1, msg.data(), msg.size());
    uint8_t d[16];
    hash_md5(d, buf.data() + 1, static_cast<int32_t>(msg.size()));
    EXPECT_EQ(hex_of(d), "f96b697d7cb7938d525a2f31aaf161d0");
}

TEST(Md5, FinalZeroesTheContext) {
    hash_md5_ctx ctx;
    hash_md5_init(&ctx);
    hash_md5_update(&ctx, reinterpret_cast<const uint8_t*>("abc"), 3);
    uint8_t d[16];
    hash_md5_final(d, &ctx);
    const hash_md5_ctx zero{};
    EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
}

TEST(Md5, HexIsLowerCaseAndTerminated) {
    uint8_t digest[16];
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<uint8_t>(0xf0 + i - 2 * i);
    char out[34];
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(hash_md5_hex(out, digest), out);
    EXPECT_STREQ(out, "f0efeeedecebeae9e8e7e6e5e4e3e2e1");
    EXPECT_EQ(out[32], '\0');
    EXPECT_EQ(out[33], 'Z');
}

struct hmac_case {
    std::string key;
    std::string data;
    const char* hex;
};

TEST(HmacMd5, KeyedDigestVectors) {
    const hmac_case cases[] = {
        // The keyed-hashing definition's three examples, which are also the
        // first three HMAC-MD5 test cases.
        {std::string(16, '\x0b'), "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
        {"Jefe", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
        {std::string(16, '\xaa'), std::string(50, '\xdd'), "56be34521d144c88dbb8c733f0e8b3f6"},
        {std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12"
                     "\x13\x14\x15\x16\x17\x18\x19"),
         std::string(50, '\xcd'), "697eaf0aca3a3aea3a75164746ffaa79"},
        {std::string(16, '\x0c'), "Test With Truncation", "56461ef2342edc00f9bab995690efd4c"},
        // 80-byte keys are hashed first.
        {std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
        {std::string(80, '\xaa'),
         "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "6f630fad67cda0ee1fb1f562db3aa53e"},
        // Around the block size (Python's hmac module).
        {std::string(64, 'k'), "exactly one block of key", "29db757a1b1926d3cf3efa7ba5aabb6a"},
        {std::string(65, 'k'), "one byte over", "10ebd3cf4df28e334eb57ce16692df5e"},
        {"", "", "74e6f7298a9c2d168935f58c001bad88"},
    };
    for (const auto& c : cases) {
        uint8_t out[16];
        hash_hmac_md5(reinterpret_cast<const uint8_t*>(c.data.data()),
                      static_cast<uint32_t>(c.data.size()), c.key.data(),
                      static_cast<int32_t>(c.key.size()), out);
        EXPECT_EQ(hex_of(out), c.hex) << c.data;
    }
}

// The CRAM-MD5 example exchange: the answer's digest part for the challenge
// under the shared secret.
TEST(HmacMd5, CramMd5Example) {
    const std::string challenge = "<1896.697170952@postoffice.reston.mci.net>";
    const std::string secret = "tanstaaftanstaaf";
    uint8_t out[16];
    hash_hmac_md5(reinterpret_cast<const uint8_t*>(challenge.data()),
                  static_cast<uint32_t>(challenge.size()), secret.data(),
                  static_cast<int32_t>(secret.size()), out);
    EXPECT_EQ(hex_of(out), "b913a602c7eda7a495b4e6e7334d3890");
}

TEST(HmacMd5, NegativeKeyLengthIsAnEmptyKey) {
    uint8_t a[16], b[16];
    const uint8_t data[] = {'x'};
    hash_hmac_md5(data, 1, "ignored", -1, a);
    hash_hmac_md5(data, 1, "", 0, b);
    EXPECT_EQ(hex_of(a), hex_of(b));
}

}  // namespace
}  // namespace ostrel
