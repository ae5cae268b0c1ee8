#include "platform/dir.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "support/tool_run.hpp"

using namespace ostrel;
using ostrel::test::scratch_dir;
using ostrel::test::write_file;
namespace fs = std::filesystem;

namespace {

std::map<std::string, plat_dir_item> list(const std::string& dir) {
    std::map<std::string, plat_dir_item> items;
    plat_dir_search search(dir.c_str());
    EXPECT_TRUE(search.ok()) << dir;
    for (plat_dir_item item; search.next(item);) {
        EXPECT_EQ(items.count(item.name), 0u) << item.name;
        items[item.name] = item;
    }
    return items;
}

void set_times(const std::string& path, time_t accessed, time_t written) {
    const timespec t[2] = {{accessed, 0}, {written, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST(PlatDirSearch, AttributesOfEveryKind) {
    scratch_dir d;
    const std::string root = d.path().string();
    fs::create_directory(root + "/sub");
    fs::create_directory(root + "/.hidden-dir");
    write_file(root + "/file.bin", std::string(1234, 'x'));
    write_file(root + "/.hidden-file", "h");
    fs::create_symlink("file.bin", root + "/to-file");
    fs::create_symlink(".hidden-file", root + "/.hidden-link");
    fs::create_directory_symlink("sub", root + "/to-dir");
    fs::create_symlink("missing", root + "/dangling");
    ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);
    int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sock_path = root + "/sock";
    ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, sock_path.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    set_times(root + "/file.bin", 1000000000, 1200000000);

    auto items = list(root);
    const std::map<std::string, uint32_t> want = {
        {"sub", plat_attr_directory},    {".hidden-dir", plat_attr_directory | plat_attr_hidden},
        {"file.bin", plat_attr_archive}, {".hidden-file", plat_attr_archive | plat_attr_hidden},
        {"to-file", plat_attr_archive},  {".hidden-link", plat_attr_archive | plat_attr_hidden},
        {"to-dir", plat_attr_system},    {"dangling", plat_attr_system},
        {"fifo", plat_attr_system},      {"sock", plat_attr_system},
    };
    ASSERT_EQ(items.size(), want.size());  // no "." or ".."
    for (const auto& [name, attributes] : want) {
        ASSERT_EQ(items.count(name), 1u) << name;
        EXPECT_EQ(items[name].attributes, attributes) << name;
    }
    EXPECT_EQ(items["file.bin"].size, 1234);
    EXPECT_EQ(items["sub"].size, 0);
    EXPECT_EQ(items["fifo"].size, 0);
    EXPECT_EQ(items["to-dir"].size, 0);
    // A link to a file reads with its target's size and times.
    for (const char* name : {"file.bin", "to-file"}) {
        EXPECT_EQ(items[name].accessed, 1000000000) << name;
        EXPECT_EQ(items[name].written, 1200000000) << name;
        struct stat st;
        ASSERT_EQ(::stat((root + "/file.bin").c_str(), &st), 0);
        EXPECT_EQ(items[name].created, st.st_ctim.tv_sec) << name;
    }
    EXPECT_EQ(items["to-file"].size, 1234);
    ::close(sock);
}

TEST(PlatDirSearch, MissingOrUnusableDirectory) {
    scratch_dir d;
    write_file(d.file("f"), "f");
    for (const std::string& dir : {d.file("missing"), d.file("f"), std::string()}) {
        plat_dir_search search(dir.c_str());
        EXPECT_FALSE(search.ok()) << dir;
        plat_dir_item item;
        EXPECT_FALSE(search.next(item)) << dir;
    }
    plat_dir_search none(nullptr);
    EXPECT_FALSE(none.ok());
}

TEST(PlatPathAttributes, FollowsLinks) {
    scratch_dir d;
    const std::string root = d.path().string();
    fs::create_directory(root + "/dir");
    write_file(root + "/file", "f");
    fs::create_directory_symlink("dir", root + "/to-dir");
    fs::create_symlink("nowhere", root + "/dangling");
    EXPECT_EQ(plat_path_attributes((root + "/dir").c_str()), plat_attr_directory);
    EXPECT_EQ(plat_path_attributes((root + "/to-dir").c_str()), plat_attr_directory);
    EXPECT_EQ(plat_path_attributes((root + "/file").c_str()), plat_attr_archive);
    EXPECT_EQ(plat_path_attributes((root + "/dangling").c_str()), -1);
    EXPECT_EQ(plat_path_attributes((root + "/missing").c_str()), -1);
    EXPECT_EQ(plat_path_attributes(nullptr), -1);
}

TEST(PlatRemove, NeverADirectoryNorALinksTarget) {
    scratch_dir d;
    const std::string root = d.path().string();
    fs::create_directory(root + "/dir");
    write_file(root + "/dir/keep", "k");
    fs::create_directory_symlink("dir", root + "/to-dir");
    EXPECT_EQ(plat_remove((root + "/dir").c_str()), -1);
    EXPECT_EQ(plat_remove((root + "/to-dir").c_str()), 0);
    EXPECT_FALSE(fs::is_symlink(root + "/to-dir"));
    EXPECT_EQ(ostrel::test::read_file(root + "/dir/keep"), "k");
    EXPECT_EQ(plat_rmdir((root + "/dir").c_str()), -1);  // not empty
    EXPECT_EQ(plat_remove((root + "/dir/keep").c_str()), 0);
    EXPECT_EQ(plat_rmdir((root + "/dir").c_str()), 0);
    EXPECT_FALSE(fs::exists(root + "/dir"));
    EXPECT_EQ(plat_remove(nullptr), -1);
    EXPECT_EQ(plat_rmdir(nullptr), -1);
}

}  // namespace
