#include "platform/replace.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "support/tool_run.hpp"

using namespace ostrel;
using ostrel::test::file_size_limit;
using ostrel::test::read_file;
using ostrel::test::scratch_dir;
using ostrel::test::write_file;
namespace fs = std::filesystem;

namespace {

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(PlatReplace, ReplacesWholeKeepingTheModeOrTheUmask) {
    scratch_dir d;
    std::string old_file = d.file("old.json"), new_file = d.file("new.json");
    write_file(old_file, "{\"old\": true}");
    ASSERT_EQ(::chmod(old_file.c_str(), 0640), 0);
    mode_t mask = ::umask(027);
    EXPECT_EQ(plat_replace_file(old_file.c_str(), "{}\n", 3), 1);
    EXPECT_EQ(plat_replace_file(new_file.c_str(), "[]\n", 3), 1);
    ::umask(mask);
    EXPECT_EQ(read_file(old_file), "{}\n");
    EXPECT_EQ(mode_of(old_file), 0640u);
    EXPECT_EQ(read_file(new_file), "[]\n");
    EXPECT_EQ(mode_of(new_file), 0640u);  // 0666 less the umask 027
    EXPECT_EQ(names_in(d.path()), (std::set<std::string>{"old.json", "new.json"}));
}

TEST(PlatReplace, FailureLeavesTheFileAsItWasAndNoTemporary) {
    scratch_dir d;
    std::string name = d.file("r.json");
    write_file(name, "{\"old\": true}");
    const std::string doc(4096, 'x');
    {
        file_size_limit limit(100);  // a full disk after 100 bytes
        EXPECT_EQ(plat_replace_file(name.c_str(), doc.data(), doc.size()), 0);
    }
    EXPECT_EQ(read_file(name), "{\"old\": true}");
    // A folder in the file's place: the rename fails.
    fs::create_directory(d.file("folder"));
    EXPECT_EQ(plat_replace_file(d.file("folder").c_str(), "{}", 2), 0);
    EXPECT_TRUE(fs::is_directory(d.file("folder")));
    // No folder at all: no temporary file can be made.
    EXPECT_EQ(plat_replace_file(d.file("none/r.json").c_str(), "{}", 2), 0);
    EXPECT_EQ(names_in(d.path()), (std::set<std::string>{"r.json", "folder"}));
}

// In place: the file ends with the new bytes, or holds the old ones whole,
// also when the disk is full before the room is reserved or while the
// reserved room is written.
TEST(PlatRewrite, LeavesTheNewBytesOrTheOldOnes) {
    const std::string old_doc = "{\"old\": true}", long_old(4096, 'o');
    const struct {
        const char* what;
        std::string old_text, new_text;
        rlim_t limit;  // 0: none
        int result;
    } cases[] = {
        {"grows", old_doc, std::string(3000, 'n'), 0, 1},
        {"shrinks: no old byte stays behind", long_old, "{}\n", 0, 1},
        {"from nothing", "", "{}\n", 0, 1},
        {"no room to reserve", old_doc, std::string(4096, 'n'), 100, 0},
        {"the reserved room cannot be written", long_old, std::string(2000, 'n'), 100, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir d;
        std::string name = d.file("r.json");
        write_file(name, c.old_text);
        FILE* f = plat_open_rewritable(name.c_str());
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(read_file(name), c.old_text);  // not truncated by the opening
        {
            std::optional<file_size_limit> limit;
            if (c.limit) limit.emplace(c.limit);
            EXPECT_EQ(plat_rewrite_file(f, c.new_text.data(), c.new_text.size()), c.result);
        }
        std::fclose(f);
        EXPECT_EQ(read_file(name), c.result ? c.new_text : c.old_text);
    }
}

// Where the old bytes could not be read, a failed write leaves no part of
// either text: the file is empty, as a run that ends early leaves it.
TEST(PlatRewrite, WithoutTheOldBytesAFailureEmptiesTheFile) {
    scratch_dir d;
    std::string name = d.file("r.json");
    write_file(name, std::string(4096, 'o'));
    FILE* f = ::fdopen(::open(name.c_str(), O_WRONLY | O_CLOEXEC), "wb");
    ASSERT_NE(f, nullptr);
    const std::string doc(2000, 'n');
    {
        file_size_limit limit(100);
        EXPECT_EQ(plat_rewrite_file(f, doc.data(), doc.size()), 0);
    }
    EXPECT_EQ(read_file(name), "");
    EXPECT_EQ(plat_rewrite_file(f, doc.data(), doc.size()), 1);  // write-only is enough
    std::fclose(f);
    EXPECT_EQ(read_file(name), doc);
}

TEST(PlatRewrite, OnlyRegularFilesAndNewNamesAreRewritable) {
    scratch_dir d;
    write_file(d.file("regular"), "kept");
    fs::create_symlink(d.file("regular"), d.file("link"));
    fs::create_symlink(d.file("made"), d.file("dangling"));
    ASSERT_EQ(::mkfifo(d.file("fifo").c_str(), 0600), 0);
    fs::create_directory(d.file("folder"));
    const struct {
        const char* name;
        bool rewritable;
    } cases[] = {
        {"regular", true}, {"link", true},    {"dangling", true},
        {"fifo", false},   {"folder", false}, {"none/inside", false},
    };
    for (const auto& c : cases) {
        FILE* f = plat_open_rewritable(d.file(c.name).c_str());
        EXPECT_EQ(f != nullptr, c.rewritable) << c.name;
        if (f) std::fclose(f);
    }
    EXPECT_EQ(read_file(d.file("regular")), "kept");
    EXPECT_TRUE(fs::is_regular_file(d.file("made")));  // through the link, created empty
    EXPECT_TRUE(fs::is_symlink(d.file("link")));
}

TEST(PlatReplace, OnlyRegularFilesAndNewNamesAreReplaceable) {
    scratch_dir d;
    write_file(d.file("regular"), "kept");
    fs::create_symlink(d.file("regular"), d.file("link"));
    fs::create_symlink(d.file("nowhere"), d.file("dangling"));
    ASSERT_EQ(::mkfifo(d.file("fifo").c_str(), 0600), 0);
    fs::create_directory(d.file("folder"));
    const struct {
        const char* name;
        bool replaceable;
    } cases[] = {
        {"regular", true}, {"new", true},     {"link", false},        {"dangling", false},
        {"fifo", false},   {"folder", false}, {"none/inside", false},
    };
    for (const auto& c : cases) {
        FILE* f = plat_open_replaceable(d.file(c.name).c_str());
        EXPECT_EQ(f != nullptr, c.replaceable) << c.name;
        if (f) std::fclose(f);
    }
    EXPECT_EQ(read_file(d.file("regular")), "kept");  // not truncated
    EXPECT_TRUE(fs::is_regular_file(d.file("new")));  // created empty
    EXPECT_EQ(fs::file_size(d.file("new")), 0u);
    EXPECT_FALSE(fs::exists(d.file("nowhere")));  // a link is not followed

    FILE* f = plat_open_replaceable(d.file("regular").c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(plat_truncate(f), 1);
    std::fclose(f);
    EXPECT_EQ(read_file(d.file("regular")), "");
}

}  // namespace
