#include "support/wild.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/file_access.hpp"
#include "support/tool_run.hpp"

using namespace ostrel;
using ostrel::test::scratch_dir;
using ostrel::test::write_file;
namespace fs = std::filesystem;

namespace {

struct match_case {
    const char* text;
    const char* pattern;
    int exact;
    int want;
};

TEST(WildMatch, Table) {
    const match_case cases[] = {
        {"Report.TXT", "*.txt", 0, 1},
        {"Report.TXT", "*.txt", 1, 0},
        {"abc", "a?c", 1, 1},
        {"ac", "a?c", 1, 0},
        {"", "", 1, 1},
        {"a", "", 1, 0},
        {"", "*", 1, 1},
        {"b", "[abc]", 1, 1},
        {"d", "[^abc]", 1, 1},
        {"b", "[^abc]", 1, 0},
        {"b", "[a-c]", 1, 1},
        {"B", "[a-c]", 0, 1},
        {"B", "[a-c]", 1, 0},
        {"b", "[A-C]", 0, 1},
        {"_", "[A-Z]", 0, 0},
        {"-", "[-a]", 1, 0},
        {"a", "[-a]", 1, 0},  // "-a" is a range without a start, not two members
        {"b", "[-ab]", 1, 1},
        {"x", "[]", 1, 0},
        {"x", "[^]", 1, 1},
        {"a*b", "a\\*b", 1, 1},
        {"axb", "a\\*b", 1, 0},
        {"a\\b", "a\\\\b", 1, 1},
        {"a?", "a\\?", 1, 1},
        {"ab", "a\\?", 1, 0},
        {"a*", "a*b", 1, 1},
        {"ab*", "a*q", 1, 1},
        {"a*b", "a*q", 1, 0},
        {"a", "a*b", 1, 0},
        {"ab", "ab[^x]", 1, 0},
        {"abc", "a**c", 1, 1},
        {"abc", "a*", 1, 1},
        {"abc", "*c", 1, 1},
        {"abcabd", "*ab?", 1, 1},
        // A range after a range starts at the previous range's end.
        {"d", "[a-c-e]", 1, 1},
        {"f", "[a-c-e]", 1, 0},
        // "-" before "]" is a member.
        {"-", "[a-]", 1, 1},
        // Bytes 0x80-0xFF sort below 0x00 in ranges.
        {"\xe9", "[\x80-a]", 1, 1},
        {"\xe9", "[a-\xff]", 1, 0},
        {"\xe9", "\xc9", 0, 0},  // only ASCII letters fold
        // An unclosed set ends the pattern with it.
        {"a", "[abc", 1, 1},
        {"ab", "[abc", 1, 0},
        {"", "[abc", 1, 0},
        // A trailing backslash matches only the end of the text.
        {"a", "a\\", 1, 1},
        {"ab", "a\\", 1, 0},
        {"", "\\", 1, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(str_wild_match(c.text, c.pattern, c.exact), c.want)
            << "'" << c.text << "' '" << c.pattern << "' exact " << c.exact;
}

TEST(WildMatch, StarText) {
    EXPECT_EQ(str_wild_match_star("*", "[0-9]", 1), 1);
    EXPECT_EQ(str_wild_match_star("*", "", 1), 1);
    EXPECT_EQ(str_wild_match_star("**", "[0-9]", 1), 0);
    EXPECT_EQ(str_wild_match_star("5", "[0-9]", 1), 1);
    EXPECT_EQ(str_wild_match("*", "[0-9]", 1), 0);
}

// On the subset both understand, the matcher agrees with Python's fnmatch,
// in both modes.
TEST(WildMatch, AgreesWithPythonFnmatch) {
    scratch_dir dir;
    std::mt19937 rng(20261210);
    const std::string alphabet = "abcdeXY.-";
    const char* pieces[] = {"?", "*", "[a-c]", "[^a-c]"};
    std::vector<std::string> texts, patterns, inputs;
    for (int i = 0; i < 3000; ++i) {
        std::string p;
        for (size_t n = rng() % 7; n > 0; --n) {
            if (rng() % 2)
                p += alphabet[rng() % alphabet.size()];
            else
                p += pieces[rng() % 4];
        }
        std::string t = ostrel::test::random_bytes(rng, rng() % 9, alphabet);
        texts.push_back(t);
        patterns.push_back(p);
        std::string py = p;
        for (size_t at; (at = py.find("[^")) != std::string::npos;) py.replace(at, 2, "[!");
        inputs.push_back(t + '\0' + py);
    }
    auto answers = ostrel::test::python_map(dir,
                                            "    import fnmatch\n"
                                            "    t, p = data.decode().split('\\0')\n"
                                            "    a = fnmatch.fnmatchcase(t, p)\n"
                                            "    b = fnmatch.fnmatchcase(t.lower(), p.lower())\n"
                                            "    out(bytes([48 + a, 48 + b]))\n",
                                            inputs);
    ASSERT_EQ(answers.size(), inputs.size()) << "python3 did not answer";
    for (size_t i = 0; i < inputs.size(); ++i) {
        const char* t = texts[i].c_str();
        const char* p = patterns[i].c_str();
        EXPECT_EQ(str_wild_match(t, p, 1), answers[i][0] - '0') << "'" << t << "' '" << p << "'";
        EXPECT_EQ(str_wild_match(t, p, 0), answers[i][1] - '0')
            << "'" << t << "' '" << p << "' nocase";
    }
}

TEST(WildMatch, ManyStarsStayFast) {
    std::string pattern;
    for (int i = 0; i < 20; ++i) pattern += "*a";
    pattern += "*b";
    const std::string name(255, 'a');
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(str_wild_match(name.c_str(), pattern.c_str(), 1), 0);
    EXPECT_EQ(str_wild_match(name.c_str(), pattern.c_str(), 0), 0);
    EXPECT_EQ(str_wild_match((name + "b").c_str(), pattern.c_str(), 1), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(WildMatch, ManyStarGroupsOnALongTextStayFast) {
    // Each "*" run would otherwise retry every later position for every
    // position the run before it reached.
    std::string pattern;
    for (int i = 0; i < 2000; ++i) pattern += "*a";
    const std::string text(4096, 'a');
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(str_wild_match(text.c_str(), (pattern + "*b").c_str(), 1), 0);
    EXPECT_EQ(str_wild_match(text.c_str(), (pattern + "?b").c_str(), 0), 0);
    EXPECT_EQ(str_wild_match(text.c_str(), (pattern + "*[a]").c_str(), 1), 1);
    EXPECT_EQ(str_wild_match((text + "*").c_str(), (pattern + "*b").c_str(), 1), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(WildMatch, LongHostileInput) {
    const std::string stars(10240, '*');
    const std::string name(255, 'a');
    EXPECT_EQ(str_wild_match(name.c_str(), stars.c_str(), 1), 1);
    EXPECT_EQ(str_wild_match(name.c_str(), (stars + "b").c_str(), 1), 0);
    std::string star_a;
    while (star_a.size() < 10240) star_a += "*a";
    EXPECT_EQ(str_wild_match(name.c_str(), (star_a + "b").c_str(), 1), 0);
    EXPECT_EQ(str_wild_match(name.c_str(), star_a.c_str(), 1), 0);  // 5120 "a" needed
    const std::string sets = std::string(10240, '[');
    EXPECT_EQ(str_wild_match("[", sets.c_str(), 1), 1);  // one set of "[" members
    const std::string escapes(10241, '\\');
    EXPECT_EQ(str_wild_match(std::string(5120, '\\').c_str(), escapes.c_str(), 1), 1);
    // A list longer than 10240 bytes is cut: the item at its end is lost.
    std::string list(10240, ',');
    EXPECT_EQ(str_wild_list_csv("x", (list + "x").c_str(), 1), 0);
    EXPECT_EQ(str_wild_list_csv("x", (list.substr(1) + "x").c_str(), 1), 0);
    EXPECT_EQ(str_wild_list_csv("x", (list.substr(2) + "x").c_str(), 1), 1);
    EXPECT_EQ(str_wild_all_csv("x", list.c_str(), 1), 0);
}

TEST(WildLists, AllAndOr) {
    const char* jpg[] = {"*.jpg", "!*thumb*", nullptr};
    EXPECT_EQ(str_wild_all("photo.jpg", jpg, 0), 1);
    EXPECT_EQ(str_wild_all("photo_thumb.jpg", jpg, 0), 0);
    EXPECT_EQ(str_wild_all("photo.png", jpg, 0), 0);
    EXPECT_EQ(str_wild_all("*", jpg, 0), 0);  // "*" matches the negation too
    const char* plain[] = {"*.jpg", nullptr};
    EXPECT_EQ(str_wild_all("*", plain, 0), 1);
    const char* none[] = {nullptr};
    EXPECT_EQ(str_wild_all("anything", none, 0), 1);
    EXPECT_EQ(str_wild_all_csv("photo.jpg", "*.jpg,!*thumb*", 0), 1);
    EXPECT_EQ(str_wild_all_csv("photo_thumb.jpg", ",*.jpg,,!*thumb*,", 0), 0);
    EXPECT_EQ(str_wild_all_csv("photo.jpg", "", 0), 0);
    EXPECT_EQ(str_wild_all_csv("photo.jpg", ",,,", 0), 0);

    EXPECT_EQ(str_wild_list_csv("a.txt", "a*,!*.txt", 0), 0);
    EXPECT_EQ(str_wild_list_csv("a.txt", "!*.txt,a*", 0), 1);
    EXPECT_EQ(str_wild_list_csv("b.doc", "!*.txt,a*", 0), 0);
    EXPECT_EQ(str_wild_list_csv("A.TXT", "a*", 1), 0);
    EXPECT_EQ(str_wild_list_csv("*", "!x,y", 1), 1);
    EXPECT_EQ(str_wild_list_csv("*", "y,!x", 1), 0);
    const char* order[] = {"!*.txt", "a*", nullptr};
    EXPECT_EQ(str_wild_list_or("a.txt", order, 0), 1);
    const char* empty[] = {nullptr};
    EXPECT_EQ(str_wild_list_or("a.txt", empty, 0), 0);
}

TEST(WildLists, FindCsv) {
    char out[16] = "untouched";
    EXPECT_EQ(str_wild_find_csv("x.doc,y.txt,z.txt", "*.txt", out, sizeof out, 0), 1);
    EXPECT_STREQ(out, "y.txt");
    EXPECT_EQ(str_wild_find_csv("x.doc,,Y.TXT", "*.txt", out, sizeof out, 0), 1);
    EXPECT_STREQ(out, "Y.TXT");
    std::strcpy(out, "untouched");
    EXPECT_EQ(str_wild_find_csv("x.doc,Y.TXT", "*.txt", out, sizeof out, 1), 0);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(str_wild_find_csv("a.txt", "*.txt", nullptr, 0, 0), 1);
    char small[4];
    EXPECT_EQ(str_wild_find_csv("long-name.txt", "*.txt", small, sizeof small, 0), 1);
    EXPECT_STREQ(small, "lon");  // cut, as every bounded copy
    EXPECT_EQ(str_wild_find_csv("", "*", out, sizeof out, 0), 0);
}

// What a callback saw: path relative to the walked root, flags, level, size.
struct seen {
    std::string path;
    uint32_t flags;
    uint32_t level;
    int64_t size;
    bool operator==(const seen&) const = default;
};

std::ostream& operator<<(std::ostream& o, const seen& s) {
    return o << "{" << s.path << " f" << s.flags << " l" << s.level << " s" << s.size << "}";
}

struct recorder {
    std::string root;
    std::vector<seen> entries;
};

int record(void* ctx, dir_entry* e) {
    auto* r = static_cast<recorder*>(ctx);
    std::string path = e->path;
    if (path.rfind(r->root, 0) == 0) path = path.substr(r->root.size());
    r->entries.push_back({path, e->flags, e->level, e->size});
    return 0;
}

bool running_as_root() {
    return ::geteuid() == 0;
}

// The fixture tree of the walk: nested folders, hidden entries, names that
// differ only in case, links to a file, to a folder and to nothing, a FIFO,
// a folder that cannot be read, and a file of another type.
struct walk_tree {
    scratch_dir dir;
    std::string root;
    walk_tree() {
        root = dir.file("t");
        fs::create_directories(root + "/c");
        fs::create_directories(root + "/.git");
        fs::create_directories(root + "/locked");
        write_file(root + "/b.txt", "bb");
        write_file(root + "/A.txt", "a");
        write_file(root + "/e.log", "eeeee");
        write_file(root + "/Case.txt", "C");
        write_file(root + "/case.txt", "cc");
        write_file(root + "/c/d.txt", "dddd");
        write_file(root + "/c/.hidden.txt", "hhh");
        write_file(root + "/.git/x.txt", "x");
        write_file(root + "/locked/in.txt", "in");
        fs::create_symlink("b.txt", root + "/lnfile.txt");
        fs::create_directory_symlink("c", root + "/lndir.txt");
        fs::create_symlink("nowhere", root + "/dangling.txt");
        ::mkfifo((root + "/fifo.txt").c_str(), 0600);
        ::chmod((root + "/locked").c_str(), 0);
    }
    ~walk_tree() { ::chmod((root + "/locked").c_str(), 0700); }
};

TEST(DirWalk, OrderFlagsLevelsAndCount) {
    walk_tree t;
    recorder r{t.root + "/", {}};
    uint32_t count = dir_walk(t.root.c_str(), "*.txt", 1, record, &r);
    EXPECT_EQ(count, 8u);  // A, b, Case, case, dangling, fifo, lndir, lnfile
    std::vector<seen> want = {
        {".git", 3, 1, 0},         {".git/x.txt", 8, 2, 1}, {"A.txt", 8, 1, 1},
        {"b.txt", 8, 1, 2},        {"c", 1, 1, 0},          {"c/.hidden.txt", 10, 2, 3},
        {"c/d.txt", 8, 2, 4},      {"Case.txt", 8, 1, 1},   {"case.txt", 8, 1, 2},
        {"dangling.txt", 4, 1, 0}, {"fifo.txt", 4, 1, 0},   {"lndir.txt", 4, 1, 0},
        {"lnfile.txt", 8, 1, 2},  // the target's size
        {"locked", 1, 1, 0},
    };
    // Root reads every folder; see UnreadableFolderListsNothing.
    if (running_as_root()) want.push_back({"locked/in.txt", 8, 2, 2});
    EXPECT_EQ(r.entries, want);
}

TEST(DirWalk, UnreadableFolderListsNothing) {
    walk_tree t;
    test::file_access_checked checked;
    if (!checked.ok()) GTEST_SKIP() << "this machine lets root read every folder";
    recorder r{t.root + "/", {}};
    EXPECT_EQ(dir_walk((t.root + "/locked").c_str(), nullptr, 1, record, &r), 0u);
    EXPECT_TRUE(r.entries.empty());
}

TEST(DirWalk, LevelZeroDoesNotDescend) {
    walk_tree t;
    recorder r{t.root + "/", {}};
    EXPECT_EQ(dir_walk(t.root.c_str(), nullptr, 0, record, &r), 9u);  // e.log too
    std::vector<std::string> paths;
    for (const auto& s : r.entries) {
        EXPECT_EQ(s.level, 0u);
        paths.push_back(s.path);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{".git", "A.txt", "b.txt", "c", "Case.txt",
                                               "case.txt", "dangling.txt", "e.log", "fifo.txt",
                                               "lndir.txt", "lnfile.txt", "locked"}));
}

TEST(DirWalk, PartExample) {
    scratch_dir d;
    std::string root = d.path().string();
    fs::create_directories(root + "/c");
    write_file(root + "/b.txt", "");
    write_file(root + "/A.txt", "");
    write_file(root + "/e.log", "");
    write_file(root + "/c/d.txt", "");
    recorder r{root + "/", {}};
    // A directory given with its trailing "/" gets no second one.
    EXPECT_EQ(dir_walk((root + "/").c_str(), "*.TXT", 1, record, &r), 2u);
    ASSERT_EQ(r.entries.size(), 4u);
    EXPECT_EQ(r.entries[0].path, "A.txt");
    EXPECT_EQ(r.entries[1].path, "b.txt");
    EXPECT_EQ(r.entries[2].path, "c");
    EXPECT_EQ(r.entries[3], (seen{"c/d.txt", 8, 2, 0}));
}

TEST(DirWalk, MissingDirectoryAndLongPaths) {
    recorder r;
    EXPECT_EQ(dir_walk("/nonexistent-ostrel-dir", nullptr, 1, record, &r), 0u);
    EXPECT_EQ(dir_walk("", nullptr, 1, record, &r), 0u);
    EXPECT_EQ(dir_walk(nullptr, nullptr, 1, record, &r), 0u);
    EXPECT_TRUE(r.entries.empty());

    // An entry whose path would pass 1023 bytes is left out, never cut into
    // the name of another file.
    scratch_dir d;
    std::string base = d.path().string();
    while (base.size() < 800) {  // leaves names of about 220 bytes
        size_t n = std::max<size_t>(1, std::min<size_t>(200, 800 - base.size() - 1));
        base += "/" + std::string(n, 'd');
        fs::create_directory(base);
    }
    base += "/";
    std::string name_ok(1023 - base.size(), 'n');
    std::string name_long = name_ok + "x";
    write_file(base + name_ok, "ok");
    write_file(base + name_long, "long");
    ASSERT_TRUE(fs::exists(base + name_long));
    recorder r2{base, {}};
    EXPECT_EQ(dir_walk(base.c_str(), nullptr, 1, record, &r2), 1u);
    ASSERT_EQ(r2.entries.size(), 1u);
    EXPECT_EQ(r2.entries[0].path, name_ok);
    // A directory of 1023 bytes is listed; its own entries could not be.
    recorder r3{base, {}};
    fs::remove(base + name_ok);
    fs::create_directory(base + name_ok);
    write_file(base + name_ok + "/f", "f");
    EXPECT_EQ(dir_walk(base.c_str(), nullptr, 1, record, &r3), 0u);
    ASSERT_EQ(r3.entries.size(), 1u);
    EXPECT_EQ(r3.entries[0].path, name_ok);
}

TEST(DirIsDirectory, Kinds) {
    walk_tree t;
    EXPECT_EQ(dir_is_directory(t.root.c_str()), 1);
    EXPECT_EQ(dir_is_directory((t.root + "/lndir.txt").c_str()), 1);  // links are followed
    EXPECT_EQ(dir_is_directory((t.root + "/b.txt").c_str()), 0);
    EXPECT_EQ(dir_is_directory((t.root + "/fifo.txt").c_str()), 0);
    EXPECT_EQ(dir_is_directory((t.root + "/dangling.txt").c_str()), -1);
    EXPECT_EQ(dir_is_directory((t.root + "/missing").c_str()), -1);
    EXPECT_EQ(dir_is_directory(""), -1);
}

TEST(DirList, InsertSorted) {
    dir_entry* head = nullptr;
    const int64_t times[3] = {1, 2, 3};
    EXPECT_EQ(dir_list_insert_sorted(&head, "d/b", 0, 1, 0, times), 1);
    EXPECT_EQ(dir_list_insert_sorted(&head, "d/a", 0, 2, 0, times), 1);
    EXPECT_EQ(dir_list_insert_sorted(&head, "d/B", 0, 3, 0, times), 1);
    EXPECT_EQ(dir_list_insert_sorted(&head, "d/A", 0, 4, 0, times), 1);
    EXPECT_EQ(dir_list_insert_sorted(&head, "d/a", 7, 5, 9, times), 1);  // after its equal
    EXPECT_EQ(dir_list_insert_sorted(&head, nullptr, 0, 6, 0, times), 0);
    std::vector<std::string> order;
    std::vector<uint32_t> flags;
    for (dir_entry* e = head; e; e = e->next) {
        order.push_back(e->path);
        flags.push_back(e->flags);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"d/A", "d/a", "d/a", "d/B", "d/b"}));
    EXPECT_EQ(flags, (std::vector<uint32_t>{4, 2, 5, 3, 1}));
    EXPECT_EQ(head->next->next->level, 7u);
    EXPECT_EQ(head->next->next->size, 9);
    EXPECT_EQ(head->written, 2);
    dir_list_free(head);
}

// A tree for deleting, with things outside it that links point to.
struct delete_tree {
    scratch_dir dir;
    std::string root, outside;
    delete_tree() {
        root = dir.file("t");
        outside = dir.file("outside");
        fs::create_directories(outside + "/keep");
        write_file(outside + "/keep/k.log", "k");
        write_file(outside + "/o.log", "o");
        fs::create_directories(root + "/sub/deeper");
        fs::create_directories(root + "/.hid");
        write_file(root + "/a.log", "a");
        write_file(root + "/a.txt", "a");
        write_file(root + "/sub/b.log", "b");
        write_file(root + "/sub/b.txt", "b");
        write_file(root + "/sub/deeper/c.log", "c");
        write_file(root + "/.hid/h.log", "h");
        fs::create_directory_symlink(outside + "/keep", root + "/keep.log");
        fs::create_symlink(outside + "/o.log", root + "/o.log");
        ::mkfifo((root + "/pipe.log").c_str(), 0600);
    }
    std::vector<std::string> left() const {
        std::vector<std::string> out;
        for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it)
            out.push_back(fs::relative(it->path(), root).string());
        std::sort(out.begin(), out.end());
        return out;
    }
    void outside_intact() const {
        EXPECT_EQ(ostrel::test::read_file(outside + "/keep/k.log"), "k");
        EXPECT_EQ(ostrel::test::read_file(outside + "/o.log"), "o");
    }
};

TEST(DirDelete, PatternDeletesOnlyMatchingFiles) {
    delete_tree t;
    EXPECT_EQ(dir_remove_tree(t.root.c_str(), "*.log"), -1);  // not empty afterwards
    EXPECT_EQ(t.left(), (std::vector<std::string>{".hid", ".hid/h.log", "a.txt", "sub", "sub/b.log",
                                                  "sub/b.txt", "sub/deeper", "sub/deeper/c.log"}));
    t.outside_intact();
}

TEST(DirDelete, PatternInSubdirectories) {
    delete_tree t;
    dir_delete_matching(t.root.c_str(), "*.LOG", 1);
    EXPECT_EQ(t.left(),
              (std::vector<std::string>{".hid", "a.txt", "sub", "sub/b.txt", "sub/deeper"}));
    t.outside_intact();
}

TEST(DirDelete, ContentsWithoutPattern) {
    delete_tree t;
    dir_delete_contents(t.root.c_str(), 0);
    // A hidden folder is not a plain one, so it stays with what it holds.
    EXPECT_EQ(t.left(), (std::vector<std::string>{".hid", ".hid/h.log"}));
    t.outside_intact();
    dir_delete_contents(t.root.c_str(), 1);
    EXPECT_EQ(t.left(), (std::vector<std::string>{".hid"}));
    EXPECT_EQ(dir_remove_tree((t.root + "/.hid").c_str(), nullptr), 0);
    EXPECT_EQ(dir_remove_tree(t.root.c_str(), nullptr), 0);
    EXPECT_FALSE(fs::exists(t.root));
    t.outside_intact();
}

TEST(DirDelete, EntryCallback) {
    delete_tree t;
    dir_entry plain{t.root.data(), 0, 0, 0, 0, 0, 0, nullptr};
    std::string sub = t.root + "/sub";
    plain.path = sub.data();
    plain.flags = dir_flag_directory;
    EXPECT_EQ(dir_delete_entry_cb(nullptr, &plain), 1);
    EXPECT_FALSE(fs::exists(sub));
    std::string hid = t.root + "/.hid";
    plain.path = hid.data();
    plain.flags = dir_flag_directory | dir_flag_hidden;
    EXPECT_EQ(dir_delete_entry_cb(nullptr, &plain), 1);
    EXPECT_TRUE(fs::exists(hid + "/h.log"));
    std::string link = t.root + "/keep.log";
    plain.path = link.data();
    plain.flags = dir_flag_system;
    EXPECT_EQ(dir_delete_entry_cb(nullptr, &plain), 1);
    EXPECT_FALSE(fs::is_symlink(link));
    t.outside_intact();
}

}  // namespace
