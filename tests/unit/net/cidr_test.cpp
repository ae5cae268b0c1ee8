// Address texts and address lists, checked against the C library's own
// address parser and printer where the forms agree.
#include "net/cidr.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace ostrel {
namespace {

// Owns a list for one case.
struct cidr_list {
    ip_cidr* head = nullptr;
    ~cidr_list() { ip_cidr_list_free(head); }
    int add(const std::string& text, unsigned value) {
        return ip_cidr_list_add(&head, text.c_str(), value);
    }
};

std::string text_of(const ip_cidr* e) {
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    ip_cidr_to_text(e, buf);
    EXPECT_NE(std::memchr(buf, '\0', sizeof buf), nullptr);
    return buf;
}

struct match_case {
    std::vector<std::pair<const char*, unsigned>> entries;  // in the order of adding
    const char* address;
    int match;
    unsigned value;
};

TEST(IpCidrList, NewestCoveringEntryOfTheFamilyGivesTheValue) {
    const match_case cases[] = {
        {{{"10.0.0.0/8", 1}, {"10.1.0.0/16", 2}}, "10.1.2.3", 1, 2},
        {{{"10.0.0.0/8", 1}, {"10.1.0.0/16", 2}}, "10.2.0.1", 1, 1},
        {{{"10.0.0.0/8", 1}, {"10.1.0.0/16", 2}}, "11.0.0.1", 0, 0},
        // No longest-prefix search: the newest entry wins.
        {{{"10.1.0.0/16", 2}, {"10.0.0.0/8", 1}}, "10.1.2.3", 1, 1},
        {{{"10.1.0.0/16", 2}, {"10.0.0.0/8", 1}}, "10.2.0.1", 1, 1},
        // Prefix 0 covers every address of its family, and only of it.
        {{{"0.0.0.0/0", 7}}, "255.255.255.255", 1, 7},
        {{{"0.0.0.0/0", 7}}, "::1", 0, 0},
        {{{"::/0", 8}}, "2001:db8::5", 1, 8},
        {{{"::/0", 8}}, "1.2.3.4", 0, 0},
        {{{"::/0", 1}, {"0.0.0.0/0", 2}}, "::", 1, 1},
        {{{"0.0.0.0/0", 2}, {"::/0", 1}}, "1.2.3.4", 1, 2},
        // An IPv4 prefix over 32 is taken and never matches.
        {{{"10.0.0.0/33", 3}}, "10.0.0.0", 0, 0},
        {{{"10.0.0.0/32", 3}}, "10.0.0.0", 1, 3},
        {{{"10.0.0.0/32", 3}}, "10.0.0.1", 0, 0},
        {{{"192.168.1.128/25", 9}}, "192.168.1.255", 1, 9},
        {{{"192.168.1.128/25", 9}}, "192.168.1.127", 0, 0},
        // Digits alone are IPv6: 10/8 is the range of the group 0x0010.
        {{{"10/8", 4}}, "10::1", 1, 4},
        {{{"10/8", 4}}, "ff::", 1, 4},
        {{{"10/8", 4}}, "1000::", 0, 0},
        {{{"10/8", 4}}, "10.0.0.1", 0, 0},
        {{{"2001:db8::1/128", 5}}, "2001:db8:0:0:0:0:0:1", 1, 5},
        {{{"2001:db8::1/128", 5}}, "2001:db8::2", 0, 0},
        {{{"2001:db8::/32", 6}}, "2001:DB8:ffff::1", 1, 6},
        {{{"2001:db8::/33", 6}}, "2001:db8:8000::", 0, 0},
        // The address text must be one.
        {{{"0.0.0.0/0", 7}}, "", 0, 0},
        {{{"0.0.0.0/0", 7}}, "1.2.3", 0, 0},
        {{{"0.0.0.0/0", 7}}, "1.2.3.256", 0, 0},
        {{{"0.0.0.0/0", 7}}, "host.example", 0, 0},
    };
    for (const auto& c : cases) {
        cidr_list list;
        std::string names;
        for (const auto& [text, value] : c.entries) {
            ASSERT_EQ(list.add(text, value), 1) << text;
            names += std::string(text) + " ";
        }
        unsigned value = 12345;
        EXPECT_EQ(ip_cidr_list_match(list.head, c.address, &value), c.match)
            << names << "/ " << c.address;
        EXPECT_EQ(value, c.value) << names << "/ " << c.address;
        EXPECT_EQ(ip_cidr_list_match(list.head, c.address, nullptr), c.match);
    }
}

TEST(IpCidrList, RefusedTexts) {
    const char* refused[] = {
        "10.0.0.256/8",        // a part over 255
        "4294967306.0.0.1/8",  // one that would wrap round to 10
        "99999999999999999999.0.0.1/8",
        "10.0.0.0/",  // a prefix without digits
        "10.0.0.0/x",
        "10.0.0.0/ ",
        "10.0.0.0",  // no "/"
        "10.0.0.0/129",
        "10.0.0.0/99999999999999999999",
        "10.0.0.0/-1",
        "/8",
        "/",
        "",
        "10.0.0/8",
        "10.0.0.0/8/8",            // the address holds a "/"
        "1:2:3:4:5:6:7:8:9:0/64",  // a ninth group followed by ":"
        "123456::/16",             // six characters before a ":"
        "12345::/16",              // over 16 bits
        "::123456/16",
        "1.2.3.4x/8",
        "host.example/8",
        " 1.2.3.4/8",
    };
    for (const char* text : refused) {
        cidr_list list;
        EXPECT_EQ(list.add(text, 1), 0) << text;
        EXPECT_EQ(list.head, nullptr) << text;
    }
    // Forms the lenient reader takes as they are.
    const std::pair<const char*, const char*> taken[] = {
        {"1.2.3.4.5/8", "1.2.3.4/8"},  // later parts ignored
        {"1..2.3.4/8", "1.2.3.4/8"},   // empty parts skipped
        {"0ffff::/16", "ffff:0:0:0:0:0:0:0/16"},
        {"1:2:3:4:5:6:7:8:9/64", "1:2:3:4:5:6:7:8/64"},  // a last ninth group ignored
        {":::/0", "::/0"},
        {"10.0.0.0/8x", "10.0.0.0/8"},
    };
    for (const auto& [text, shown] : taken) {
        cidr_list list;
        ASSERT_EQ(list.add(text, 1), 1) << text;
        EXPECT_EQ(text_of(list.head), shown) << text;
    }
}

TEST(IpCidrList, NewEntriesGoInAtTheHeadWithTheirLinks) {
    cidr_list list;
    ASSERT_EQ(list.add("1.0.0.0/8", 1), 1);
    ASSERT_EQ(list.add("2.0.0.0/8", 2), 1);
    ASSERT_EQ(list.add("3.0.0.0/8", 3), 1);
    const ip_cidr* a = list.head;
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->value, 3u);
    EXPECT_EQ(a->back, nullptr);
    EXPECT_EQ(a->next->value, 2u);
    EXPECT_EQ(a->next->back, &a->next);
    EXPECT_EQ(a->next->next->value, 1u);
    EXPECT_EQ(a->next->next->back, &a->next->next);
    EXPECT_EQ(a->next->next->next, nullptr);
}

TEST(IpCidrToText, RunOfZeroGroups) {
    const std::pair<const char*, const char*> cases[] = {
        {"10.1.0.0/16", "10.1.0.0/16"},
        {"0.0.0.0/0", "0.0.0.0/0"},
        {"2001:db8::1/64", "2001:db8::1/64"},
        {"::/0", "::/0"},
        {"::1/128", "::1/128"},
        // A run that reaches the last group is not written as "::".
        {"1:2:3:4::/64", "1:2:3:4:0:0:0:0/64"},
        {"1::/16", "1:0:0:0:0:0:0:0/16"},
        // A single zero group is a run.
        {"1:0:2:3:4:5:6:7/128", "1::2:3:4:5:6:7/128"},
        {"0:1:2:3:4:5:6:0/7", "::1:2:3:4:5:6:0/7"},
        // Longest wins; of equal runs the later one.
        {"0:0:0:1:0:0:2:3/8", "::1:0:0:2:3/8"},
        {"0:0:1:0:0:2:3:4/8", "0:0:1::2:3:4/8"},
        {"1:0:2:0:3:0:4:5/8", "1:0:2:0:3::4:5/8"},
        {"FFFF:ABCD::1/32", "ffff:abcd::1/32"},
        {"10/8", "10:0:0:0:0:0:0:0/8"},
        {"1:2:3:4:5:6:7:8/128", "1:2:3:4:5:6:7:8/128"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128",
         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff/128"},
    };
    for (const auto& [text, want] : cases) {
        cidr_list list;
        ASSERT_EQ(list.add(text, 0), 1) << text;
        EXPECT_EQ(text_of(list.head), want) << text;
    }
}

// Random addresses through the C library's printer and back: the parser
// reads every form it writes, and the list's text is one it reads again.
TEST(IpCidrToText, AgreesWithTheLibraryParser) {
    std::mt19937 rng(2105);
    for (int i = 0; i < 3000; ++i) {
        uint8_t bytes[16];
        for (auto& b : bytes) b = static_cast<uint8_t>(rng());
        // Zero groups in runs, so that every "::" placement shows.
        for (int g = 0; g < 8; ++g)
            if (rng() % 2) bytes[2 * g] = bytes[2 * g + 1] = 0;
        const bool v4 = i % 4 == 0;
        char lib[64];
        ASSERT_NE(inet_ntop(v4 ? AF_INET : AF_INET6, bytes, lib, sizeof lib), nullptr);
        if (!v4 && std::strchr(lib, '.')) continue;  // a dotted tail is no form of ours
        uint8_t parsed[16] = {}, family = 0;
        ASSERT_NE(ip_parse_address(lib, 0, parsed, &family), nullptr) << lib;
        EXPECT_EQ(family, v4 ? 4 : 6) << lib;
        EXPECT_EQ(std::memcmp(parsed, bytes, v4 ? 4 : 16), 0) << lib;

        const int prefix = static_cast<int>(rng() % 129);
        cidr_list list;
        ASSERT_EQ(list.add(std::string(lib) + "/" + std::to_string(prefix), 1), 1) << lib;
        std::string text = text_of(list.head);
        std::string addr = text.substr(0, text.find('/'));
        uint8_t again[16] = {};
        ASSERT_EQ(inet_pton(v4 ? AF_INET : AF_INET6, addr.c_str(), again), 1) << text;
        EXPECT_EQ(std::memcmp(again, bytes, v4 ? 4 : 16), 0) << text;
        EXPECT_EQ(text.substr(text.find('/')), "/" + std::to_string(prefix));
    }
}

TEST(IpParseAddress, FamilyAndLength) {
    uint8_t out[16];
    uint8_t family = 0;
    // Only the first len characters count.
    EXPECT_NE(ip_parse_address("1.2.3.4/8", 7, out, &family), nullptr);
    EXPECT_EQ(family, 4);
    EXPECT_EQ(std::memcmp(out, "\x01\x02\x03\x04", 4), 0);
    // The family is told even when the parse fails.
    family = 0;
    EXPECT_EQ(ip_parse_address("1.2.3", 0, out, &family), nullptr);
    EXPECT_EQ(family, 4);
    family = 0;
    EXPECT_EQ(ip_parse_address("1:2:3:4:5:6:7:8:9:", 0, out, &family), nullptr);
    EXPECT_EQ(family, 6);
    family = 0;
    EXPECT_EQ(ip_parse_address("1.2.3.4:80", 0, out, &family), nullptr);
    EXPECT_EQ(family, 0);
    EXPECT_EQ(ip_parse_address("", 0, out, &family), nullptr);
    uint8_t v4[4];
    EXPECT_EQ(ip_parse_ipv4("255.0.0.255", v4), v4);
    EXPECT_EQ(ip_parse_ipv4("256.0.0.1", v4), nullptr);
}

// Hostile texts: nothing crashes, and whatever is taken prints within its
// 64 bytes as an address the C library reads.
TEST(IpCidrList, HostileTextsAreReadSafely) {
    std::mt19937 rng(99);
    const std::string pool = "0123456789abcdefABCDEF:::...//x ";
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const size_t len = rng() % 60;
        for (size_t k = 0; k < len; ++k) text += pool[rng() % pool.size()];
        cidr_list list;
        if (!list.add(text, 1)) continue;
        std::string shown = text_of(list.head);
        std::string addr = shown.substr(0, shown.find('/'));
        uint8_t bytes[16];
        EXPECT_EQ(inet_pton(list.head->family == 4 ? AF_INET : AF_INET6, addr.c_str(), bytes), 1)
            << text << " -> " << shown;
        ip_cidr_list_match(list.head, text.c_str(), nullptr);
    }
    for (const std::string& text :
         {std::string(100000, ':') + "/8", std::string(100000, '1') + "/8",
          std::string(100000, '.') + "/8", "1" + std::string(100000, '0') + "::/8",
          std::string("/") + std::string(100000, '9')}) {
        cidr_list list;
        EXPECT_EQ(list.add(text, 1), text == std::string(100000, ':') + "/8" ? 1 : 0);
    }
}

}  // namespace
}  // namespace ostrel
