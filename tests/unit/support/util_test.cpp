#include "support/util.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/tool_run.hpp"

using namespace ostrel;
using ostrel::test::scratch_dir;
namespace fs = std::filesystem;

namespace {

TEST(IntPow, Table) {
    struct {
        uint32_t base, exponent, want;
    } cases[] = {
        {3, 0, 1},
        {2, 10, 1024},
        {2, 32, 0},
        {0, 0, 1},
        {0, 5, 0},
        {1, 0xFFFFFFFF, 1},
        {7, 1, 7},
        {0xFFFFFFFF, 2, 1},
        {0xFFFFFFFF, 3, 0xFFFFFFFF},
        {3, 0x80000000u, 0x00000001},  // 3^(2^31) mod 2^32
        {2, 31, 0x80000000u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(int_pow(c.base, c.exponent), c.want) << c.base << "^" << c.exponent;
}

TEST(IntPow, AgreesWithPython) {
    scratch_dir dir;
    std::mt19937 rng(1111);
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    std::vector<std::string> inputs;
    for (int i = 0; i < 2000; ++i) {
        uint32_t b = rng(), e = rng();
        if (i % 4 == 0) e |= 0x80000000u;  // the upper half of the exponents
        if (i % 5 == 0) b &= 0xF;
        if (i % 7 == 0) e &= 0x3F;
        pairs.emplace_back(b, e);
        std::string in(8, '\0');
        std::memcpy(in.data(), &b, 4);
        std::memcpy(in.data() + 4, &e, 4);
        inputs.push_back(in);
    }
    auto out = ostrel::test::python_map(dir,
                                        "    b = int.from_bytes(data[:4], 'little')\n"
                                        "    e = int.from_bytes(data[4:], 'little')\n"
                                        "    out(pow(b, e, 2**32).to_bytes(4, 'little'))\n",
                                        inputs);
    ASSERT_EQ(out.size(), inputs.size()) << "python3 did not answer";
    for (size_t i = 0; i < pairs.size(); ++i) {
        uint32_t want;
        std::memcpy(&want, out[i].data(), 4);
        EXPECT_EQ(int_pow(pairs[i].first, pairs[i].second), want)
            << pairs[i].first << "^" << pairs[i].second;
    }
}

TEST(PathChmod, OctalText) {
    scratch_dir d;
    const std::string f = d.file("f");
    ostrel::test::write_file(f, "x");
    struct stat st;
    EXPECT_EQ(path_chmod(f.c_str(), "640"), 1);
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(path_chmod(f.c_str(), "0755"), 1);
    ASSERT_EQ(::stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(path_chmod(d.file("missing").c_str(), "644"), 0);
    EXPECT_EQ(path_chmod(nullptr, "644"), 0);
    EXPECT_EQ(path_chmod(f.c_str(), nullptr), 0);
}

TEST(PathMkdirRecursive, CreatesWhatIsMissing) {
    scratch_dir d;
    const std::string root = d.path().string();
    // Absolute paths stay absolute; both separators split.
    EXPECT_EQ(path_mkdir_recursive((root + "/a/b\\c//d").c_str(), "755"), 1);
    EXPECT_TRUE(fs::is_directory(root + "/a/b/c/d"));
    EXPECT_EQ(path_mkdir_recursive((root + "/a/b").c_str(), nullptr), 1);  // exists
    ostrel::test::write_file(root + "/file", "f");
    EXPECT_EQ(path_mkdir_recursive((root + "/file/sub").c_str(), nullptr), 0);
    EXPECT_FALSE(fs::exists(root + "/file/sub"));
    // A path too long for the work area is refused, not cut into another.
    std::string long_path = root;
    while (long_path.size() < 1100) long_path += "/" + std::string(100, 'x');
    EXPECT_EQ(path_mkdir_recursive(long_path.c_str(), nullptr), 0);
    EXPECT_FALSE(fs::exists(root + "/" + std::string(100, 'x')));
    EXPECT_EQ(path_mkdir_recursive("", nullptr), 0);
    EXPECT_EQ(path_mkdir_recursive(nullptr, nullptr), 0);
}

TEST(PathBuild, JoinsAndCreates) {
    char out[path_out_size];
    EXPECT_STREQ(path_build(out, "C:\\out", nullptr, "a.txt", 0), "C:\\out/a.txt");
    EXPECT_STREQ(path_build(out, "dir", "sub", "n", 0), "dir/sub/n");
    EXPECT_STREQ(path_build(out, "dir", "", "n", 0), "dir//n");
    scratch_dir d;
    const std::string root = d.path().string();
    EXPECT_EQ(path_build(out, root.c_str(), "x/y", "f.txt", 1), out);
    EXPECT_EQ(std::string(out), root + "/x/y/f.txt");
    EXPECT_TRUE(fs::is_directory(root + "/x/y"));
    EXPECT_FALSE(fs::exists(root + "/x/y/f.txt"));
    EXPECT_EQ(path_build(out, root.c_str(), "no", "f.txt", 0), out);
    EXPECT_FALSE(fs::exists(root + "/no"));
    // Cut at 4095 bytes; a "/" that does not fit is not written.
    const std::string dir(4094, 'd');
    path_build(out, dir.c_str(), "s", "n", 0);
    EXPECT_EQ(std::string(out), dir + "/");
    path_build(out, std::string(4095, 'd').c_str(), nullptr, "n", 0);
    EXPECT_EQ(std::string(out), std::string(4095, 'd'));
}

TEST(PathFull, Lexical) {
    char* cwd_c = ::getcwd(nullptr, 0);
    ASSERT_NE(cwd_c, nullptr);
    const std::string cwd = cwd_c;
    std::free(cwd_c);
    const std::string base = cwd == "/" ? "" : cwd;
    struct {
        std::string path, want;
    } cases[] = {
        {"/", "/"},
        {"/a/b", "/a/b"},
        {"//a///b//", "/a/b"},
        {"/a/./b/.", "/a/b"},
        {"/a/b/../c", "/a/c"},
        {"/../..", "/"},
        {"/a/../../b", "/b"},
        {"/a/..b/c..", "/a/..b/c.."},
        {"/nonexistent-ostrel/x", "/nonexistent-ostrel/x"},
        {"x/y", base + "/x/y"},
        {"./x/../y", base + "/y"},
        {"", cwd},
        {".", cwd},
    };
    char out[path_out_size];
    for (const auto& c : cases) {
        ASSERT_NE(path_full(c.path.c_str(), out), nullptr) << c.path;
        EXPECT_EQ(std::string(out), c.want) << c.path;
    }
    // Links stay as they are: ".." after a link goes back over the link.
    scratch_dir d;
    const std::string root = d.path().string();
    fs::create_directories(root + "/real/inner");
    fs::create_directory_symlink(root + "/real/inner", root + "/link");
    ASSERT_NE(path_full((root + "/link/..").c_str(), out), nullptr);
    EXPECT_EQ(std::string(out), root);
    // Too long for the output: NULL; resolving may shorten it to fit.
    const std::string long_path = "/" + std::string(4095, 'a');
    EXPECT_EQ(path_full(long_path.c_str(), out), nullptr);
    EXPECT_NE(path_full((long_path + "/..").c_str(), out), nullptr);
    EXPECT_STREQ(out, "/");
    EXPECT_EQ(path_full(nullptr, out), nullptr);
}

TEST(Lists, StringsNumbersAndDigits) {
    const char* list[] = {"x", "ABC", nullptr};
    EXPECT_EQ(str_list_contains("Abc", 0, list), 1);
    EXPECT_EQ(str_list_contains("Abc", 1, list), 0);
    EXPECT_EQ(str_list_contains("ABC", 1, list), 1);
    EXPECT_EQ(str_list_contains("Ab", 0, list), 0);
    EXPECT_EQ(str_list_contains("ABCD", 0, list), 0);
    const char* empty[] = {nullptr};
    EXPECT_EQ(str_list_contains("x", 0, empty), 0);
    EXPECT_EQ(str_list_contains("x", 0, nullptr), 0);
    const char* same[] = {"\xe9", nullptr};
    EXPECT_EQ(str_list_contains("\xc9", 0, same), 0);  // only ASCII folds
    EXPECT_EQ(str_list_contains(same[0], 0, same), 1);

    const char* idx[] = {"a", "b", "a", nullptr};
    EXPECT_EQ(str_list_index("a", idx), 0);
    EXPECT_EQ(str_list_index("b", idx), 1);
    EXPECT_EQ(str_list_index("B", idx), -1);
    EXPECT_EQ(str_list_index("a", empty), -1);

    EXPECT_EQ(int_in_list(5, 1, 5, -1), 1);
    EXPECT_EQ(int_in_list(7, 1, 5, -1), 0);
    EXPECT_EQ(int_in_list(-1, 1, 5, -1), 1);
    EXPECT_EQ(int_in_list(-2, 1, 5, -1), 0);
    EXPECT_EQ(int_in_list(9, -3, 9, -1), 0);  // the list ended at -3
    EXPECT_EQ(int_in_list(0, 0, -1), 1);

    const struct {
        int c, want;
    } digits[] = {{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15},
                  {'g', 0}, {'G', 0}, {'/', 0},  {':', 0},  {'@', 0},  {0xFF, 0}};
    for (const auto& d : digits) EXPECT_EQ(hex_digit_value(d.c), d.want) << d.c;
}

TEST(DataList, OrderAndOwnership) {
    data_list* list = nullptr;
    char first[] = "first";
    char second[] = "second!";
    ASSERT_NE(data_list_push(&list, first, sizeof first, 1), nullptr);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(data_list_push(&list, second, sizeof second, 0), nullptr);
    char third[] = "3";
    ASSERT_NE(data_list_push(&list, third, sizeof third, 1), nullptr);

    // Iteration: newest first; the end leaves the iterator where it was.
    std::vector<std::string> seen;
    data_node* it = nullptr;
    uint32_t size = 0;
    while (void* p = data_list_next(list, &size, &it))
        seen.emplace_back(static_cast<char*>(p), size);
    EXPECT_EQ(seen, (std::vector<std::string>{std::string("3\0", 2), std::string("second!\0", 8),
                                              std::string("first\0", 6)}));
    EXPECT_NE(it, nullptr);
    EXPECT_EQ(data_list_next(list, nullptr, &it), nullptr);
    EXPECT_STREQ(static_cast<char*>(data_list_next(list, nullptr, nullptr)), "3");

    void* p = data_list_pop(&list, &size);
    EXPECT_NE(p, third);  // a copy, now the caller's
    EXPECT_STREQ(static_cast<char*>(p), "3");
    mem_free(p);
    p = data_list_pop(&list, &size);
    EXPECT_EQ(p, second);  // not copied: the caller's own block
    EXPECT_EQ(size, sizeof second);
    p = data_list_pop(&list, nullptr);
    EXPECT_NE(p, first);
    first[0] = 'X';  // the copy does not follow the original
    EXPECT_STREQ(static_cast<char*>(p), "first");
    mem_free(p);
    EXPECT_EQ(data_list_pop(&list, nullptr), nullptr);  // releases the head
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(data_list_pop(&list, nullptr), nullptr);
    EXPECT_EQ(data_list_pop(nullptr, nullptr), nullptr);
    EXPECT_EQ(data_list_next(nullptr, nullptr, nullptr), nullptr);

    // A copy of a negative size is refused; the head made for it stays.
    EXPECT_EQ(data_list_push(&list, first, -1, 1), nullptr);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(data_list_pop(&list, nullptr), nullptr);
    EXPECT_EQ(list, nullptr);
}

TEST(PtrList, FreesEverything) {
    ptr_node* head = nullptr;
    for (int i = 0; i < 3; ++i) {
        auto* n = static_cast<ptr_node*>(std::malloc(sizeof(ptr_node)));
        n->value = std::malloc(16);
        n->next = head;
        head = n;
    }
    ptr_list_free(&head);  // the sanitizer build reports anything left
    EXPECT_EQ(head, nullptr);
    ptr_list_free(&head);
    ptr_list_free(nullptr);
}

TEST(XmlEscape, Table) {
    const struct {
        const char* in;
        const char* want;
    } cases[] = {
        {"a<b & \"c\" 100%", "a&lt;b &amp; &quot;c&quot; 100&percnt;"},
        {"a\vb", "ab"},
        {"t\tn\nr\r", "t\tn\nr\r"},
        {"\x01\x1f", ""},
        {"it's", "it's"},
        {"\x7f\x80\xff caf\xc3\xa9", "\x7f\x80\xff caf\xc3\xa9"},
        {"", ""},
        {">>>", "&gt;&gt;&gt;"},
    };
    for (const auto& c : cases) {
        char* out = xml_escape(c.in);
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out, c.want) << c.in;
        mem_free(out);
    }
    EXPECT_EQ(xml_escape(nullptr), nullptr);
}

std::string hexdump(const std::string& data) {
    testing::internal::CaptureStdout();
    fmt_hexdump(data.data(), static_cast<int64_t>(data.size()));
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Hexdump, Example) {
    EXPECT_EQ(hexdump(std::string("AB\0", 3)),
              "41 42 00   " + std::string(39, ' ') + "|  AB. \n\n");
    EXPECT_EQ(hexdump(""), "\n");
}

// Every line: the bytes in hex with their spaces, "|" at column 50, the
// printable text; the hex read back gives the data.
TEST(Hexdump, Lengths) {
    std::mt19937 rng(5);
    for (size_t len : {0, 1, 3, 8, 9, 15, 16, 17, 32}) {
        std::string data = ostrel::test::random_bytes(rng, len);
        if (len > 2) data[1] = 'z';
        auto lines = ostrel::test::split_lines(hexdump(data));
        ASSERT_EQ(lines.size(), (len + 15) / 16 + 1) << len;
        EXPECT_EQ(lines.back(), "") << len;
        std::string back, text;
        for (size_t l = 0; l + 1 < lines.size(); ++l) {
            const std::string& line = lines[l];
            ASSERT_GE(line.size(), 54u) << len;
            EXPECT_EQ(line.substr(50, 3), "|  ") << len << " line " << l;
            EXPECT_EQ(line.back(), ' ');
            size_t n = std::min<size_t>(16, len - 16 * l);
            EXPECT_EQ(line.size(), 50 + 3 + n + 1) << len;
            for (size_t i = 0; i < n; ++i) {
                size_t col = 3 * i + (i >= 8 ? 1 : 0);
                back += static_cast<char>(std::stoi(line.substr(col, 2), nullptr, 16));
                EXPECT_EQ(line[col + 2], ' ');
                unsigned char b = data[16 * l + i];
                EXPECT_EQ(line[53 + i], b >= 32 && b < 127 ? static_cast<char>(b) : '.');
            }
            EXPECT_EQ(line.substr(0, 50).find_first_not_of("0123456789ABCDEF "), std::string::npos);
        }
        EXPECT_EQ(back, data) << len;
    }
}

TEST(Rot13, Table) {
    char text[] = "Hello, World";
    EXPECT_STREQ(str_rot13(text), "Uryyb, Jbeyq");
    EXPECT_STREQ(str_rot13(text), "Hello, World");
    char all[] = "AMNZamnz@[`{09\xc3\xa9";
    EXPECT_STREQ(str_rot13(all), "NZAMnzam@[`{09\xc3\xa9");
    EXPECT_EQ(str_rot13(nullptr), nullptr);
}

TEST(ByteSwap, LoadAndStore) {
    const unsigned char w32[4] = {0x11, 0x22, 0x33, 0x44};
    uint32_t v = byte_swap32_load(w32);
    unsigned char mem[8];
    std::memcpy(mem, &v, 4);
    EXPECT_EQ(std::memcmp(mem, "\x44\x33\x22\x11", 4), 0);
    const unsigned char w16[2] = {0xAB, 0xCD};
    uint16_t v16 = byte_swap16_load(w16);
    std::memcpy(mem, &v16, 2);
    EXPECT_EQ(std::memcmp(mem, "\xCD\xAB", 2), 0);
    const unsigned char w64[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    uint64_t v64 = byte_swap64_load(w64 + 1);  // unaligned
    std::memcpy(mem, &v64, 8);
    EXPECT_EQ(std::memcmp(mem, "\x08\x07\x06\x05\x04\x03\x02\x01", 8), 0);

    uint16_t out16 = 0;
    EXPECT_EQ(byte_swap16_store(0x1234, &out16), &out16);
    EXPECT_EQ(out16, 0x3412);
    unsigned char out[9];
    EXPECT_EQ(byte_swap32_store(0x11223344u, out + 1), out + 1);
    uint32_t stored32;
    std::memcpy(&stored32, out + 1, 4);
    EXPECT_EQ(stored32, 0x44332211u);
    byte_swap64_store(0x0102030405060708ull, out + 1);
    uint64_t stored64;
    std::memcpy(&stored64, out + 1, 8);
    EXPECT_EQ(stored64, 0x0807060504030201ull);
    EXPECT_EQ(byte_swap64_load(out + 1), 0x0102030405060708ull);
}

}  // namespace
