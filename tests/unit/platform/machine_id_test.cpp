#include "platform/machine_id.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/file_access.hpp"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

const std::string id_a = "0123456789abcdef0123456789abcdef";
const std::string uuid_a = "01234567-89ab-cdef-0123-456789abcdef";
const std::string id_b = "fedcba9876543210fedcba9876543210";
const std::string uuid_b = "fedcba98-7654-3210-fedc-ba9876543210";

class MachineId : public ::testing::Test {
  protected:
    fs::path dir;
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("machine_id_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir / "first", fs::perms::owner_all, ec);
        fs::remove_all(dir, ec);
    }
    std::string put(const std::string& name, const std::string& bytes) {
        fs::path p = dir / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    }
    // The buffer starts as a marker text, so an untouched buffer shows.
    std::optional<std::string> read(const std::vector<std::string>& files, size_t size = 64) {
        std::vector<char> buf(size, '\0');
        std::strncpy(buf.data(), "untouched", size - 1);
        char* r = plat_machine_id(buf.data(), size, files);
        if (!r) return std::nullopt;
        EXPECT_EQ(r, buf.data());
        return std::string(buf.data());
    }
};

TEST_F(MachineId, FirstUsableFileGivesTheUuidText) {
    struct content_case {
        const char* name;
        std::string first;  // contents of the first file
        std::string want;   // the second file holds identity b
    };
    std::string upper = id_a;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const content_case cases[] = {
        {"digits and line end", id_a + "\n", uuid_a},
        {"digits alone", id_a, uuid_a},
        {"upper case keeps its case", upper + "\n", "01234567-89AB-CDEF-0123-456789ABCDEF"},
        {"a second line is not read", id_a + "\nsomething else\n", uuid_a},
        {"empty", "", uuid_b},
        {"uninitialized", "uninitialized\n", uuid_b},
        {"31 digits", id_a.substr(1) + "\n", uuid_b},
        {"33 digits", id_a + "0\n", uuid_b},
        {"carriage return", id_a + "\r\n", uuid_b},
        {"leading blank", " " + id_a + "\n", uuid_b},
        {"dashed form", uuid_a + "\n", uuid_b},
        {"non-hex digit", "g" + id_a.substr(1) + "\n", uuid_b},
        {"binary", std::string("\0\xff\x01", 3) + id_a, uuid_b},
        {"huge", std::string(1 << 20, 'a'), uuid_b},
    };
    const std::string second = put("second", id_b + "\n");
    for (const auto& c : cases) {
        const std::string first = put("first", c.first);
        EXPECT_EQ(read({first, second}), c.want) << c.name;
    }
}

TEST_F(MachineId, FilesThatAreNotRegularFallBack) {
    const std::string second = put("second", id_b + "\n");
    EXPECT_EQ(read({(dir / "missing").string(), second}), uuid_b);
    fs::create_directory(dir / "a_dir");
    EXPECT_EQ(read({(dir / "a_dir").string(), second}), uuid_b);
    // A FIFO without a writer must not hold the reader.
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read({fifo, second}), uuid_b);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(MachineId, UnreadableFileFallsBack) {
    const std::string first = put("first", id_a + "\n");
    ::chmod(first.c_str(), 0);
    test::file_access_checked checked;
    if (!checked.ok()) GTEST_SKIP() << "this machine lets root read every file";
    EXPECT_EQ(read({first, put("second", id_b + "\n")}), uuid_b);
}

TEST_F(MachineId, WithoutUsableIdentityTheBufferStays) {
    // Opened but unusable: the buffer is returned as it was.
    EXPECT_EQ(read({put("first", ""), put("second", "uninitialized\n")}), "untouched");
    EXPECT_EQ(read({put("first", ""), (dir / "missing").string()}), "untouched");
    // Nothing opened at all: NULL.
    EXPECT_EQ(read({(dir / "missing").string(), (dir / "missing2").string()}), std::nullopt);
    EXPECT_EQ(read({}), std::nullopt);
}

TEST_F(MachineId, BufferMustHoldTheTextAndItsTerminator) {
    const std::string first = put("first", id_a + "\n");
    EXPECT_EQ(read({first}, 36), "untouched");
    EXPECT_EQ(read({first}, 37), uuid_a);
}

TEST(MachineIdDefaults, SystemFilesInOrder) {
    EXPECT_EQ(plat_machine_id_files,
              (std::vector<std::string>{"/etc/machine-id", "/var/lib/dbus/machine-id"}));
}

}  // namespace
}  // namespace ostrel
