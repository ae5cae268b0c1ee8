#include "support/key.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "support/tool_run.hpp"

namespace ostrel {
namespace {

using test::from_hex;
using test::to_hex;

std::string ctr(const std::string& key, const std::string& iv, const std::string& in) {
    key_aes_ctr_ctx ctx;
    EXPECT_EQ(key_aes_ctr_init(&ctx, reinterpret_cast<const uint8_t*>(key.data()),
                               reinterpret_cast<const uint8_t*>(iv.data()), iv.size()),
              1);
    std::string out(in.size(), '\0');
    EXPECT_EQ(key_aes_ctr_crypt(&ctx, reinterpret_cast<const uint8_t*>(in.data()),
                                reinterpret_cast<uint8_t*>(out.data()), in.size()),
              0);
    return out;
}

// NIST SP 800-38A F.5.1 (encrypt) and F.5.2 (decrypt): the same call.
TEST(KeyAesCtr, NistVectors) {
    const std::string key = from_hex("2b7e151628aed2a6abf7158809cf4f3c");
    const std::string iv = from_hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    const std::string plain = from_hex(
        "6bc1bee22e409f96e93d7e117393172a"
        "ae2d8a571e03ac9c9eb76fac45af8e51"
        "30c81c46a35ce411e5fbc1191a0a52ef"
        "f69f2445df4f9b17ad2b417be66c3710");
    const std::string cipher = from_hex(
        "874d6191b620e3261bef6864990db6ce"
        "9806f66b7970fdff8617187bb9fffdff"
        "5ae4df3edbd5d35e5b4f09020db03eab"
        "1e031dda2fbe03d1792170a0f3009cee");
    EXPECT_EQ(to_hex(ctr(key, iv, plain)), to_hex(cipher));
    EXPECT_EQ(to_hex(ctr(key, iv, cipher)), to_hex(plain));
}

// The keystream of `openssl enc`, whose counter is the whole block as one
// big-endian number: every length is a prefix of one 100-byte run.
TEST(KeyAesCtr, AgreesWithOpensslEnc) {
    test::scratch_dir dir;
    std::mt19937 rng(20240611);
    struct iv_case {
        const char* name;
        std::string iv;
    };
    const std::vector<iv_case> ivs = {
        {"no IV", ""},
        {"4 bytes", test::random_bytes(rng, 4)},
        {"16 bytes", test::random_bytes(rng, 16)},
        {"carry over the low 32 bits", test::random_bytes(rng, 12) + std::string(4, '\xff')},
        {"carry over 64 bits", test::random_bytes(rng, 8) + std::string(8, '\xff')},
        {"wrap of all 128 bits", std::string(16, '\xff')},
        {"one block before the wrap", std::string(15, '\xff') + "\xfe"},
    };
    for (const auto& c : ivs) {
        const std::string key = test::random_bytes(rng, 16);
        const std::string in = test::random_bytes(rng, 100);
        std::string padded = c.iv + std::string(16 - c.iv.size(), '\0');
        test::write_file(dir.file("in"), in);
        int status = 0;
        test::run_command("openssl enc -aes-128-ctr -K " + to_hex(key) + " -iv " + to_hex(padded) +
                              " -in " + dir.file("in") + " -out " + dir.file("out"),
                          &status);
        ASSERT_EQ(status, 0) << c.name;
        const std::string want = test::read_file(dir.file("out"));
        ASSERT_EQ(want.size(), in.size()) << c.name;
        for (size_t len = 0; len <= in.size(); ++len)
            EXPECT_EQ(to_hex(ctr(key, c.iv, in.substr(0, len))), to_hex(want.substr(0, len)))
                << c.name << ", " << len << " bytes";
    }
}

// Each call starts on a fresh keystream block: 5 then 11 bytes use blocks 0
// and 1, not the rest of block 0.
TEST(KeyAesCtr, EachCallStartsOnTheNextBlock) {
    const std::string key = from_hex("000102030405060708090a0b0c0d0e0f");
    const std::string iv = from_hex("00112233");
    const std::string in = "0123456789abcdef";
    const std::string stream = ctr(key, iv, std::string(32, '\0'));  // blocks 0 and 1

    key_aes_ctr_ctx ctx;
    ASSERT_EQ(key_aes_ctr_init(&ctx, reinterpret_cast<const uint8_t*>(key.data()),
                               reinterpret_cast<const uint8_t*>(iv.data()), iv.size()),
              1);
    std::string out(16, '\0');
    auto* o = reinterpret_cast<uint8_t*>(out.data());
    const auto* i = reinterpret_cast<const uint8_t*>(in.data());
    ASSERT_EQ(key_aes_ctr_crypt(&ctx, i, o, 5), 0);
    ASSERT_EQ(key_aes_ctr_crypt(&ctx, i + 5, o + 5, 11), 0);

    std::string want(16, '\0');
    for (size_t k = 0; k < 5; ++k) want[k] = static_cast<char>(in[k] ^ stream[k]);
    for (size_t k = 5; k < 16; ++k) want[k] = static_cast<char>(in[k] ^ stream[16 + k - 5]);
    EXPECT_EQ(to_hex(out), to_hex(want));
    EXPECT_NE(to_hex(out), to_hex(ctr(key, iv, in)));
    // The counter block after two blocks: IV + 2.
    EXPECT_EQ(to_hex(std::string(reinterpret_cast<char*>(ctx.ivec), 16)),
              "00112233000000000000000000000002");
}

TEST(KeyAesCtr, IvIsCutToOneBlockAndPaddedWithZeros) {
    key_aes_ctr_ctx ctx;
    const uint8_t key[16] = {};
    const std::string iv = from_hex("a1a2a3a4");
    ASSERT_EQ(key_aes_ctr_init(&ctx, key, reinterpret_cast<const uint8_t*>(iv.data()), 4), 1);
    EXPECT_EQ(to_hex(std::string(reinterpret_cast<char*>(ctx.ivec), 16)),
              "a1a2a3a4000000000000000000000000");
    const std::string long_iv(20, '\x07');
    ASSERT_EQ(key_aes_ctr_init(&ctx, key, reinterpret_cast<const uint8_t*>(long_iv.data()), 20), 1);
    EXPECT_EQ(to_hex(std::string(reinterpret_cast<char*>(ctx.ivec), 16)),
              "07070707070707070707070707070707");
    // A context that was never initialised has no schedule and writes nothing.
    key_aes_ctr_ctx none;
    uint8_t in[4] = {1, 2, 3, 4}, out[4] = {9, 9, 9, 9};
    EXPECT_EQ(key_aes_ctr_crypt(&none, in, out, 4), -1);
    EXPECT_EQ(out[0], 9);
}

TEST(StrParseUuid, TextForm) {
    struct uuid_case {
        const char* text;
        const char* bytes;  // NULL: refused
    };
    const uuid_case cases[] = {
        {"00112233-4455-6677-8899-aabbccddeeff", "00112233445566778899aabbccddeeff"},
        {"00112233-4455-6677-8899-AABBCCDDEEFF", "00112233445566778899aabbccddeeff"},
        {"0011223-34455-6677-8899-aabbccddeeff", nullptr},
        {"001122334-455-6677-8899-aabbccddeeff", nullptr},
        {"00112233-445-56677-8899-aabbccddeeff", nullptr},
        {"00112233-44556-677-8899-aabbccddeeff", nullptr},
        {"00112233-4455-667-78899-aabbccddeeff", nullptr},
        {"00112233-4455-66778-899-aabbccddeeff", nullptr},
        {"00112233-4455-6677-889-9aabbccddeeff", nullptr},
        {"00112233-4455-6677-88999-abbccddeeff", nullptr},
        {"00112233-4455-6677-8899-aabbccddeef", nullptr},
        {"00112233-4455-6677-8899-aabbccddeeff0", nullptr},
        {"00112233-4455-6677-8899-aabbccddeegf", nullptr},
        {"00112233-4455-6677-8899+aabbccddeeff", nullptr},
        {"00112233445566778899aabbccddeeff", nullptr},
        {"{0112233-4455-6677-8899-aabbccddeef}", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        uint8_t out[16];
        int r = str_parse_uuid(c.text, out);
        EXPECT_EQ(r, c.bytes ? 1 : 0) << c.text;
        if (c.bytes && r) {
            EXPECT_EQ(to_hex(std::string(reinterpret_cast<char*>(out), 16)), c.bytes) << c.text;
        }
    }
}

TEST(KeyComputerName, LowerCaseCopyOfTheVariable) {
    char buf[8];
    ::unsetenv("COMPUTERNAME");
    EXPECT_STREQ(key_computer_name(buf, sizeof buf), "");
    ::setenv("COMPUTERNAME", "HOST-Ä1", 1);
    EXPECT_STREQ(key_computer_name(buf, sizeof buf), "host-\xc3\x84");  // cut to 7 bytes
    ::setenv("COMPUTERNAME", "Ab", 1);
    EXPECT_STREQ(key_computer_name(buf, 1), "");
    EXPECT_STREQ(key_computer_name(buf, sizeof buf), "ab");
    ::unsetenv("COMPUTERNAME");
}

}  // namespace
}  // namespace ostrel
