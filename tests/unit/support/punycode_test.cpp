#include "support/punycode.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel {
namespace {

struct puny_case {
    std::u32string text;
    std::string puny;
};

// The sample strings of the Punycode definition (section 7.1), case
// annotations included.
const std::vector<puny_case> rfc_samples = {
    {U"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631\u0628\u064A\u061F",
     "egbpdaj6bu4bxfgehfvwxn"},
    {U"\u4ED6\u4EEC\u4E3A\u4EC0\u4E48\u4E0D\u8BF4\u4E2D\u6587",
     "ihqwcrb4cv8a8dqg056pqjye"},
    {U"\u4ED6\u5011\u7232\u4EC0\u9EBD\u4E0D\u8AAA\u4E2D\u6587",
     "ihqwctvzc91f659drss3x8bo0yb"},
    {U"Pro\u010Dprost\u011Bnemluv\u00ED\u010Desky",
     "Proprostnemluvesky-uyb24dma41a"},
    {U"\u05DC\u05DE\u05D4\u05D4\u05DD\u05E4\u05E9\u05D5\u05D8\u05DC\u05D0\u05DE\u05D3\u05D1\u05E8\u05D9\u05DD\u05E2\u05D1\u05E8\u05D9\u05EA",
     "4dbcagdahymbxekheh6e0a7fei0b"},
    {U"\u092F\u0939\u0932\u094B\u0917\u0939\u093F\u0928\u094D\u0926\u0940\u0915\u094D\u092F\u094B\u0902\u0928\u0939\u0940\u0902\u092C\u094B\u0932\u0938\u0915\u0924\u0947\u0939\u0948\u0902",
     "i1baa7eci9glrd9b2ae1bj0hfcgg6iyaf8o0a1dig0cd"},
    {U"\u306A\u305C\u307F\u3093\u306A\u65E5\u672C\u8A9E\u3092\u8A71\u3057\u3066\u304F\u308C\u306A\u3044\u306E\u304B",
     "n8jok5ay5dzabd5bym9f0cm5685rrjetr6pdxa"},
    {U"\uC138\uACC4\uC758\uBAA8\uB4E0\uC0AC\uB78C\uB4E4\uC774\uD55C\uAD6D\uC5B4\uB97C\uC774\uD574\uD55C\uB2E4\uBA74\uC5BC\uB9C8\uB098\uC88B\uC744\uAE4C",
     "989aomsvi5e83db1d2a355cv1e0vak1dwrv93d5xbh15a0dt30a5jpsd879ccm6fea98c"},
    {U"\u043F\u043E\u0447\u0435\u043C\u0443\u0436\u0435\u043E\u043D\u0438\u043D\u0435\u0433\u043E\u0432\u043E\u0440\u044F\u0442\u043F\u043E\u0440\u0443\u0441\u0441\u043A\u0438",
     "b1abfaaepdrnnbgefbaDotcwatmq2g4l"},
    {U"Porqu\u00E9nopuedensimplementehablarenEspa\u00F1ol",
     "PorqunopuedensimplementehablarenEspaol-fmd56a"},
    {U"T\u1EA1isaoh\u1ECDkh\u00F4ngth\u1EC3ch\u1EC9n\u00F3iti\u1EBFngVi\u1EC7t",
     "TisaohkhngthchnitingVit-kjcr8268qyxafd2f1b9g"},
    {U"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F",
     "3B-ww4c5e180e575a65lsy2b"},
    {U"\u5B89\u5BA4\u5948\u7F8E\u6075-with-SUPER-MONKEYS",
     "-with-SUPER-MONKEYS-pc58ag80a8qai00g7n9n"},
    {U"Hello-Another-Way-\u305D\u308C\u305E\u308C\u306E\u5834\u6240",
     "Hello-Another-Way--fc4qua05auwb3674vfr0b"},
    {U"\u3072\u3068\u3064\u5C4B\u6839\u306E\u4E0B2",
     "2-u9tlzr9756bt3uc0v"},
    {U"Maji\u3067Koi\u3059\u308B5\u79D2\u524D",
     "MajiKoi5-783gue6qz075azm5e"},
    {U"\u30D1\u30D5\u30A3\u30FCde\u30EB\u30F3\u30D0",
     "de-jg4avhby1noc0d"},
    {U"\u305D\u306E\u30B9\u30D4\u30FC\u30C9\u3067",
     "d9juau41awczczp"},
    {U"-> $1.00 <-",
     "-> $1.00 <--"},
};

// Encodings made with Python's punycode codec (no case flags).
const std::vector<puny_case> python_table = {
    {U"m\U000000FCnchen", "mnchen-3ya"},
    {U"b\U000000FCcher", "bcher-kva"},
    {U"\U000000FC", "tda"},
    {U"M\U000000DCnchen", "Mnchen-psa"},
    {U"abc", "abc-"},
    {U"a", "a-"},
    {U"\U000000DF", "zca"},
    {U"stra\U000000DFe", "strae-oqa"},
    {U"B\U000000FCcher-Stra\U000000DFe", "Bcher-Strae-46a18a"},
    {U"\U0001F600", "e28h"},
    {U"a\U0001F600b", "ab-no82a"},
    {U"\U000030C9\U000030E1\U000030A4\U000030F3\U0000540D\U00004F8B", "eckwd4c7cu47r2wf"},
    {U"\U000003C0\U000003B1\U000003C1\U000003AC\U000003B4\U000003B5\U000003B9\U000003B3\U000003BC\U000003B1", "hxajbheg2az3al"},
    {U"\U0000043F\U00000440\U00000438\U0000043C\U00000435\U00000440", "e1afmkfd"},
    {U"\U00004F8B\U00005B50", "fsqu00a"},
    {U"-\U000000FC", "--eha"},
    {U"\U000000FC-", "--dha"},
    {U"a-b-\U000000FC", "a-b--3ra"},
    {U"\U000000FF\U000000FF\U000000FF", "wdaaa"},
    {U"\U00000080", "a"},
    {U"\U0010FFFF", "dn32g"},
    {U"\U000065E5\U0000672C\U00008A9E\U000030C9\U000030E1\U000030A4\U000030F3\U000030C6\U000030B9\U000030C8", "eckzbwbjb8l5e3728bdocu19k"},
    {U"\U000000DCn\U000000EFc\U000000F6d\U000000E9", "ncd-ska2e7a2c"},
    {U"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\U000000E9", "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx-4xc"},
    {U"\U000001C5\U000001C5\U000001C5\U000001C5\U000001C5", "kjaaaaa"},
    {U"\U0000FF11\U0000FF12\U0000FF13", "8g7ccd"},
};

struct encoded {
    int status;
    std::string text;
    size_t length;
};

encoded encode(const std::u32string& cps, const unsigned char* flags, size_t capacity) {
    std::vector<char> out(capacity + 1, '#');
    size_t len = capacity;
    const int st = addr_punycode_encode(cps.size(), reinterpret_cast<const uint32_t*>(cps.data()),
                                        flags, &len, out.data());
    EXPECT_EQ(out[capacity], '#') << "wrote past the capacity";
    if (st != punycode_success) return {st, "", len};
    EXPECT_LT(len, capacity);
    EXPECT_EQ(out[len], '\0');
    return {st, std::string(out.data(), len), len};
}

struct decoded {
    int status;
    std::u32string text;
    std::vector<unsigned char> flags;
};

decoded decode(const std::string& puny, size_t capacity = 256) {
    std::vector<uint32_t> out(capacity + 1, 0xDEADBEEF);
    std::vector<unsigned char> flags(capacity + 1, 0xEE);
    size_t len = capacity;
    const int st = addr_punycode_decode(puny.size(), puny.data(), &len, out.data(), flags.data());
    EXPECT_EQ(out[capacity], 0xDEADBEEF) << "wrote past the capacity";
    if (st != punycode_success) {
        EXPECT_EQ(len, capacity);
        return {st, U"", {}};
    }
    return {st, std::u32string(out.begin(), out.begin() + static_cast<long>(len)),
            std::vector<unsigned char>(flags.begin(), flags.begin() + static_cast<long>(len))};
}

TEST(Punycode, SamplesDecodeAndEncodeBackWithTheirCaseFlags) {
    for (const auto& c : rfc_samples) {
        const decoded d = decode(c.puny);
        ASSERT_EQ(d.status, punycode_success) << c.puny;
        EXPECT_EQ(d.text, c.text) << c.puny;
        const encoded e = encode(c.text, d.flags.data(), 256);
        EXPECT_EQ(e.status, punycode_success);
        EXPECT_EQ(e.text, c.puny);
    }
}

TEST(Punycode, CaseFlagsMarkTheAnnotatedCodePoint) {
    // The Russian sample carries one upper-case digit: its first code point's.
    const decoded d = decode("b1abfaaepdrnnbgefbaDotcwatmq2g4l");
    ASSERT_EQ(d.status, punycode_success);
    std::vector<unsigned char> want(d.text.size(), 0);
    want[0] = 1;
    EXPECT_EQ(d.flags, want);
    // Flags on basic letters decide their case; other basic code points stay.
    const unsigned char flags[] = {1, 0, 1, 1, 0};
    EXPECT_EQ(encode(U"aB-\u00FCz", flags, 64).text, "Ab-z-2rA");
    EXPECT_EQ(encode(U"aB-\u00FCz", nullptr, 64).text, "aB-z-2ra");
}

TEST(Punycode, EncodingMatchesPython) {
    for (const auto& c : python_table) {
        const encoded e = encode(c.text, nullptr, 256);
        EXPECT_EQ(e.status, punycode_success) << c.puny;
        EXPECT_EQ(e.text, c.puny);
        const decoded d = decode(c.puny);
        EXPECT_EQ(d.status, punycode_success) << c.puny;
        EXPECT_EQ(d.text, c.text) << c.puny;
    }
}

TEST(Punycode, EmptyInput) {
    EXPECT_EQ(encode(U"", nullptr, 1).status, punycode_success);
    EXPECT_EQ(encode(U"", nullptr, 1).length, 0u);
    const decoded d = decode("");
    EXPECT_EQ(d.status, punycode_success);
    EXPECT_TRUE(d.text.empty());
}

// The capacity includes the terminator the caller writes after the text.
TEST(Punycode, EncodeCapacityKeepsRoomForTheTerminator) {
    struct capacity_case {
        std::u32string text;
        size_t capacity;
        int status;
    };
    const capacity_case cases[] = {
        {U"abc", 5, punycode_success},       {U"abc", 4, punycode_big_output},
        {U"abc", 3, punycode_big_output},    {U"m\u00FCnchen", 11, punycode_success},
        {U"m\u00FCnchen", 10, punycode_big_output}, {U"\u00FC", 4, punycode_success},
        {U"\u00FC", 3, punycode_big_output}, {U"", 0, punycode_big_output},
    };
    for (const auto& c : cases)
        EXPECT_EQ(encode(c.text, nullptr, c.capacity).status, c.status)
            << c.text.size() << " in " << c.capacity;
}

TEST(Punycode, EncodeOverflow) {
    // After U+0080 the step to U+FFFFFFFF times two code points exceeds 32 bits.
    EXPECT_EQ(encode(U"\u0080", nullptr, 64).status, punycode_success);
    const std::u32string far = {0x80, 0xFFFFFFFFu};
    EXPECT_EQ(encode(far, nullptr, 64).status, punycode_overflow);
    // An input longer than 2^32 - 1 is refused before it is read.
    uint32_t one = 'a';
    char out[8];
    size_t len = sizeof out;
    EXPECT_EQ(addr_punycode_encode(size_t{1} << 32, &one, nullptr, &len, out), punycode_overflow);
    EXPECT_EQ(len, sizeof out);
}

TEST(Punycode, DecodeStatuses) {
    const struct {
        std::string puny;
        size_t capacity;
        int status;
    } cases[] = {
        {"a%", 16, punycode_bad_input},
        {"mnchen-3y", 16, punycode_bad_input},  // ends inside a number
        {"\xC3\xBC-abc", 16, punycode_bad_input},
        {"-tda", 16, punycode_bad_input},        // an empty basic part: "-" is read as a digit
        {"99999999999", 16, punycode_overflow},
        {"mnchen-3ya", 7, punycode_success},
        {"mnchen-3ya", 6, punycode_big_output},  // no room to insert the extra code point
        {"mnchen-3ya", 5, punycode_big_output},  // the basic part alone does not fit
        {"abc-", 3, punycode_success},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode(c.puny, c.capacity).status, c.status) << c.puny << " in " << c.capacity;
}

TEST(Punycode, DecodeSmallCases) {
    EXPECT_EQ(decode("tda").text, U"\u00FC");
    EXPECT_EQ(decode("mnchen-3ya").text, U"m\u00FCnchen");
    const decoded upper = decode("MNCHEN-3YA");
    EXPECT_EQ(upper.text, U"M\u00FCNCHEN");  // as Python decodes it
    EXPECT_EQ(upper.flags, (std::vector<unsigned char>{1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(decode("abc-").text, U"abc");
    // Without a flag array the decoder still works.
    uint32_t out[8];
    size_t len = 8;
    EXPECT_EQ(addr_punycode_decode(3, "tda", &len, out, nullptr), punycode_success);
    EXPECT_EQ(len, 1u);
    EXPECT_EQ(out[0], 0xFCu);
}

}  // namespace
}  // namespace ostrel
