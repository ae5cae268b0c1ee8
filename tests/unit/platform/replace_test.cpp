#include "platform/replace.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
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
