#include "support/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/tool_run.hpp"

namespace ostrel {
namespace {

using test::file_size_limit;
using test::read_file;
using test::scratch_dir;
using test::write_file;

std::u16string wide(const char* text) {
    std::unique_ptr<char16_t, decltype(&std::free)> w(path_utf8_to_wide(text), &std::free);
    return w ? std::u16string(w.get()) : u"<null>";
}

dev_t device_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
}

TEST(PathBasename, LastSeparatorOfEitherKind) {
    struct row {
        const char *in, *out;
    } rows[] = {{"d:\\dir/sub\\file.txt", "file.txt"},
                {"a/b\\c", "c"},
                {"name", "name"},
                {"dir/", ""},
                {"a\\b/c", "c"},
                {"", ""}};
    for (const auto& r : rows) {
        EXPECT_STREQ(path_basename(r.in), r.out) << r.in;
        EXPECT_GE(path_basename(r.in), r.in);  // points into the argument
    }
}

TEST(PathUtf8ToWide, ConvertsLikeAUtf16Encoder) {
    EXPECT_EQ(wide("abc"), u"abc");
    EXPECT_EQ(wide("r\xC3\xA9sum\xC3\xA9.txt"), u"r\u00E9sum\u00E9.txt");
    EXPECT_EQ(wide("\xE2\x82\xAC"), u"\u20AC");
    EXPECT_EQ(wide("\xF0\x9F\x98\x80"), u"\U0001F600");  // a surrogate pair
    EXPECT_EQ(wide(""), u"");
    // Malformed input gives replacement characters, never reads past the end.
    EXPECT_EQ(wide("a\xC3"), u"a\uFFFD");
    EXPECT_EQ(wide("\xFF"
                   "b"),
              u"\uFFFDb");
    EXPECT_EQ(wide("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong "/"
    EXPECT_EQ(wide("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // a lone surrogate
}

TEST(FileNames, Utf8NamesReachTheFileSystemUnchanged) {
    scratch_dir dir;
    std::string name = dir.file("r\xC3\xA9sum\xC3\xA9.txt");
    EXPECT_EQ(file_exists_utf8(name.c_str()), 0);
    FILE* f = file_fopen_utf8(name.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("hello", f);
    std::fclose(f);
    EXPECT_EQ(file_exists_utf8(name.c_str()), 1);
    EXPECT_EQ(file_exists(name.c_str()), 1);
    EXPECT_EQ(read_file(name), "hello");
    // The directory holds exactly that byte name.
    bool found = false;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        found |= e.path().filename().string() == "r\xC3\xA9sum\xC3\xA9.txt";
    EXPECT_TRUE(found);

    int fd = file_open_utf8(name.c_str(), file_o_binary, file_s_iread);
    ASSERT_GE(fd, 0);
    char buf[8] = {};
    EXPECT_EQ(::read(fd, buf, sizeof buf), 5);
    EXPECT_EQ(::write(fd, "x", 1), -1);  // opened read-only
    ::close(fd);
    EXPECT_EQ(file_open_utf8(dir.file("missing").c_str(), file_o_binary, file_s_iread), -1);
    EXPECT_EQ(file_fopen_utf8(dir.file("missing").c_str(), "rb"), nullptr);
}

TEST(FileNames, RuntimeOpenFlagsAreTranslated) {
    scratch_dir dir;
    std::string name = dir.file("new.bin");
    // _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, read and write permission.
    int fd = file_open_utf8(name.c_str(), 0x0001 | 0x0100 | 0x0200 | 0x8000, 0x0100 | 0x0080);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, "abc", 3), 3);
    ::close(fd);
    EXPECT_EQ(read_file(name), "abc");
    struct stat st {};
    ASSERT_EQ(::stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0600, 0600u);
    // _O_CREAT | _O_EXCL on an existing file fails.
    EXPECT_EQ(file_open_utf8(name.c_str(), 0x0001 | 0x0100 | 0x0400, 0x0180), -1);
}

TEST(FileNames, ADirectoryDoesNotOpenAsAFile) {
    EXPECT_EQ(file_fopen_utf8("/", "rb"), nullptr);
    EXPECT_EQ(file_fopen_utf8("/tmp", "r"), nullptr);
}

TEST(FileExists, FilesDirectoriesAndMissing) {
    scratch_dir dir;
    write_file(dir.file("a"), "x");
    EXPECT_EQ(file_exists(dir.file("a").c_str()), 1);
    EXPECT_EQ(file_exists(dir.path().c_str()), 1);
    EXPECT_EQ(file_exists(dir.file("b").c_str()), 0);
    EXPECT_EQ(file_exists_utf8(dir.file("b").c_str()), 0);
}

TEST(FileSizeAndTime, ExistingAndMissing) {
    scratch_dir dir;
    write_file(dir.file("a"), std::string(1234, 'z'));
    EXPECT_EQ(file_size(dir.file("a").c_str()), 1234);
    EXPECT_EQ(file_size(dir.file("none").c_str()), -1);
    EXPECT_EQ(file_mtime(dir.file("none").c_str()), 0);
    int64_t now = ::time(nullptr);
    EXPECT_LE(std::llabs(file_mtime(dir.file("a").c_str()) - now), 60);
}

TEST(FileMap, WholeFileWithATerminatorAfterIt) {
    scratch_dir dir;
    long page = ::sysconf(_SC_PAGESIZE);
    // A file that fills whole pages is where a view without a terminator
    // would end at an unmapped page.
    for (size_t n : {size_t{10}, size_t{1}, static_cast<size_t>(page),
                     static_cast<size_t>(3 * page), static_cast<size_t>(page) + 1}) {
        std::mt19937 rng(static_cast<unsigned>(n));
        std::string data = test::random_bytes(rng, n, "abcdefgh\n");
        write_file(dir.file("m"), data);
        file_mapping_ptr m(file_map(dir.file("m").c_str(), 0));
        ASSERT_NE(m, nullptr) << n;
        ASSERT_EQ(m->size, n);
        EXPECT_EQ(std::string(m->view, n), data);
        EXPECT_EQ(m->view[n], '\0');
        EXPECT_EQ(std::strlen(m->view), n);  // a scanner stops at the end
    }
}

TEST(FileMap, RefusesEmptyMissingAndDirectories) {
    scratch_dir dir;
    write_file(dir.file("empty"), "");
    EXPECT_EQ(file_map(dir.file("empty").c_str(), 0), nullptr);
    EXPECT_EQ(file_map(dir.file("missing").c_str(), 0), nullptr);
    EXPECT_EQ(file_map(dir.path().c_str(), 0), nullptr);
    file_unmap(nullptr);
}

TEST(FileMap, NoDescriptorLeftBehind) {
    scratch_dir dir;
    write_file(dir.file("empty"), "");
    write_file(dir.file("full"), "0123456789");
    int before = ::dup(0);
    ::close(before);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(file_map(dir.file("empty").c_str(), 0), nullptr);
        file_unmap(file_map(dir.file("full").c_str(), 0));
    }
    int after = ::dup(0);
    ::close(after);
    EXPECT_EQ(after, before);
}

TEST(FileMap, WritableViewWritesTheFile) {
    scratch_dir dir;
    write_file(dir.file("w"), "0123456789");
    {
        file_mapping_ptr m(file_map(dir.file("w").c_str(), 1));
        ASSERT_NE(m, nullptr);
        m->view[0] = 'X';
    }
    EXPECT_EQ(read_file(dir.file("w")), "X123456789");
}

// The lines of a whole text, split as a scanner over it would.
std::vector<std::string> whole_text_lines(const std::string& text) {
    std::vector<std::string> out;
    for (size_t pos = 0; pos < text.size();) {
        size_t p = text.find_first_of("\r\n", pos);
        if (p == std::string::npos) p = text.size();
        out.push_back(text.substr(pos, p - pos));
        if (p < text.size()) p += text.compare(p, 2, "\r\n") == 0 ? 2 : 1;
        pos = p;
    }
    return out;
}

std::vector<std::string> reader_lines(file_line_reader& r) {
    std::vector<std::string> out;
    std::string_view line;
    while (r.next_line(&line)) out.emplace_back(line);
    return out;
}

// The lines with their ends, as the reader tells them: the text itself.
std::string reader_text(file_line_reader& r) {
    std::string out;
    std::string_view line;
    size_t end_len = 9;
    while (r.next_line(&line, &end_len)) out.append(line.data(), line.size() + end_len);
    return out;
}

// Blocks of any size give the lines of the whole text: a CR LF split over
// two blocks is one line end, a line longer than a block comes whole.
TEST(FileLineReader, BlocksGiveTheLinesOfTheWholeText) {
    scratch_dir dir;
    const std::string texts[] = {"a\r\nb\r\n",
                                 "a\rb\nc\r\n\r\nd",
                                 "\r\n\r\n",
                                 "\r",
                                 "x",
                                 "a\r\r\nb\n\r",
                                 "long line " + std::string(50, 'x') + "\r\nend",
                                 "a\n\nb\r\r\n\r\n"};
    for (const std::string& text : texts) {
        write_file(dir.file("t"), text);
        for (size_t block : {1, 2, 3, 5, 64}) {
            SCOPED_TRACE(testing::Message() << text << " / " << block);
            file_line_reader r(true, block);
            ASSERT_TRUE(r.open(dir.file("t").c_str()));
            EXPECT_EQ(reader_lines(r), whole_text_lines(text));
            EXPECT_EQ(r.status(), file_line_reader::file_read_ok);
            file_line_reader again(true, block);
            ASSERT_TRUE(again.open(dir.file("t").c_str()));
            EXPECT_EQ(reader_text(again), text);
        }
    }
}

// Writes text over the file at offset, in place: same size, same inode.
void write_in_place(const std::string& path, const std::string& text, off_t offset) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::pwrite(fd, text.data(), text.size(), offset), static_cast<ssize_t>(text.size()));
    ::close(fd);
}

void cut_to(const std::string& path, off_t size) {
    ASSERT_EQ(::truncate(path.c_str(), size), 0);
}

// A file that changes while it is read is never taken for whole: whatever
// the change, after any block or at the end, also where the size stays.
TEST(FileLineReader, AFileThatChangesFailsTheRead) {
    scratch_dir dir;
    const std::string path = dir.file("c");
    const std::string first(99, 'a'), second(199, 'b');
    const std::string text = first + "\n" + second + "\n";  // three blocks of 100
    const std::string other = std::string(99, 'z') + "\n" + std::string(199, 'y') + "\n";
    struct row {
        const char* what;
        void (*change)(const std::string& path, const std::string& other);
        bool linked = false;  // the name is a link to the file read
    } rows[] = {
        {"cut to nothing", [](const std::string& p, const std::string&) { cut_to(p, 0); }},
        {"cut inside the next block",
         [](const std::string& p, const std::string&) { cut_to(p, 150); }},
        {"grown",
         [](const std::string& p, const std::string&) {
             FILE* f = std::fopen(p.c_str(), "ab");
             std::fputs("more\n", f);
             std::fclose(f);
         }},
        {"written in place at the same size",
         [](const std::string& p, const std::string& o) { write_in_place(p, o, 0); }},
        {"truncated and written back",
         [](const std::string& p, const std::string& o) {
             cut_to(p, 0);
             write_in_place(p, o, 0);
         }},
        {"copied over", [](const std::string& p, const std::string& o) { write_file(p, o); }},
        {"another file renamed over its name",
         [](const std::string& p, const std::string& o) {
             write_file(p + ".new", o);
             std::rename((p + ".new").c_str(), p.c_str());
         }},
        // The file read stays as it was; only its name leads elsewhere now.
        {"its link pointed at another file",
         [](const std::string& p, const std::string& o) {
             write_file(p + ".other", o);
             ASSERT_EQ(::symlink((p + ".other").c_str(), (p + ".new").c_str()), 0);
             std::rename((p + ".new").c_str(), p.c_str());
         },
         true},
    };
    for (const row& r : rows) {
        // Changed after the first block, or once the whole file is in the
        // first block, before its end is reached.
        for (size_t block : {100, 4096}) {
            SCOPED_TRACE(testing::Message() << r.what << " / block " << block);
            ::unlink(path.c_str());
            const std::string target = r.linked ? path + ".target" : path;
            write_file(target, text);
            ASSERT_TRUE(test::age_file(target));
            if (r.linked) {
                ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
            }
            file_line_reader reader(true, block);
            ASSERT_TRUE(reader.open(path.c_str()));
            std::string_view line;
            ASSERT_TRUE(reader.next_line(&line));
            EXPECT_EQ(line, first);
            r.change(path, other);
            std::vector<std::string> rest;
            while (reader.next_line(&line)) rest.emplace_back(line);
            EXPECT_EQ(reader.status(), file_line_reader::file_read_changed);
            // Only lines of the version opened ever come out.
            for (const std::string& l : rest) EXPECT_EQ(l, second);
        }
    }
}

// A reader given the stamp of an earlier read takes the file only as it was.
TEST(FileLineReader, ExpectedStampBindsTheOpen) {
    scratch_dir dir;
    const std::string path = dir.file("s");
    write_file(path, "one\ntwo\n");
    ASSERT_TRUE(test::age_file(path));
    file_line_reader first(true);
    ASSERT_TRUE(first.open(path.c_str()));
    ASSERT_TRUE(first.read_to_end());
    const plat_file_stamp seen = first.stamp();

    file_line_reader same(true);
    EXPECT_TRUE(same.open(path.c_str(), &seen));
    EXPECT_EQ(reader_lines(same), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(same.status(), file_line_reader::file_read_ok);

    write_in_place(path, "ONE", 0);
    file_line_reader later(true);
    EXPECT_FALSE(later.open(path.c_str(), &seen));
    EXPECT_EQ(later.status(), file_line_reader::file_read_changed);
    std::string_view line;
    EXPECT_FALSE(later.next_line(&line));
}

TEST(FileLineReader, NulMissingEmptyAndNonRegularFiles) {
    scratch_dir dir;
    write_file(dir.file("nul"), std::string("a\nb\0c\n", 6));
    file_line_reader strict(true, 2), lenient(false, 2);
    ASSERT_TRUE(strict.open(dir.file("nul").c_str()));
    EXPECT_FALSE(strict.read_to_end());
    EXPECT_EQ(strict.status(), file_line_reader::file_read_nul);
    ASSERT_TRUE(lenient.open(dir.file("nul").c_str()));
    EXPECT_EQ(reader_lines(lenient), (std::vector<std::string>{"a", std::string("b\0c", 3)}));
    EXPECT_EQ(lenient.status(), file_line_reader::file_read_ok);

    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    write_file(dir.file("empty"), "");
    for (const std::string& path :
         {dir.file("missing"), dir.file("empty"), dir.path().string(), fifo}) {
        SCOPED_TRACE(path);
        file_line_reader r(false);
        EXPECT_FALSE(r.open(path.c_str()));  // a FIFO without a writer does not block
        EXPECT_EQ(r.status(), file_line_reader::file_read_failed);
        std::string_view line;
        EXPECT_FALSE(r.next_line(&line));
    }
}

TEST(FileCopy, CopiesWholeFiles) {
    scratch_dir dir;
    std::mt19937 rng(1);
    for (size_t n : {0, 1, 4096, 10000}) {
        std::string data = test::random_bytes(rng, n);
        write_file(dir.file("src"), data);
        EXPECT_EQ(file_copy(dir.file("src").c_str(), dir.file("dst").c_str()), 1) << n;
        EXPECT_EQ(read_file(dir.file("dst")), data) << n;
    }
}

TEST(FileCopy, ReportsOpenReadAndWriteFailures) {
    scratch_dir dir;
    write_file(dir.file("src"), std::string(10000, 'q'));
    EXPECT_EQ(file_copy(dir.file("missing").c_str(), dir.file("dst").c_str()), 0);
    EXPECT_EQ(file_copy(dir.file("src").c_str(), dir.file("no/dir/dst").c_str()), 0);
    // Reading a directory fails after it opened.
    EXPECT_EQ(file_copy(dir.path().c_str(), dir.file("dst2").c_str()), 0);
    // Every write to /dev/full fails.
    if (file_exists("/dev/full")) {
        EXPECT_EQ(file_copy(dir.file("src").c_str(), "/dev/full"), 0);
    }
}

TEST(FileMove, RenamesOrCopiesAndRemoves) {
    scratch_dir dir;
    write_file(dir.file("a"), "payload");
    EXPECT_EQ(file_move(dir.file("a").c_str(), dir.file("b").c_str()), 1);
    EXPECT_EQ(file_exists(dir.file("a").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("b")), "payload");

    // Across file systems rename fails and the copy takes over.
    if (!file_exists("/dev/shm") || device_of("/dev/shm") == device_of(dir.path().string()))
        GTEST_SKIP() << "no second file system";
    std::string other = "/dev/shm/ostrel-move-" + std::to_string(::getpid());
    EXPECT_EQ(file_move(dir.file("b").c_str(), other.c_str()), 1);
    EXPECT_EQ(file_exists(dir.file("b").c_str()), 0);
    EXPECT_EQ(read_file(other), "payload");
    std::remove(other.c_str());
}

TEST(FileMove, FailureKeepsTheSource) {
    scratch_dir dir;
    write_file(dir.file("a"), "payload");
    EXPECT_EQ(file_move(dir.file("a").c_str(), dir.file("no/dir/b").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("a")), "payload");
    // A failed write on the copy path: rename to another device fails first.
    if (file_exists("/dev/full") && device_of("/dev/full") != device_of(dir.path().string())) {
        EXPECT_EQ(file_move(dir.file("a").c_str(), "/dev/full"), 0);
        EXPECT_EQ(read_file(dir.file("a")), "payload");
    }
    // A failed read on the copy path: a directory moved to another device.
    if (file_exists("/dev/shm") && device_of("/dev/shm") != device_of(dir.path().string())) {
        std::filesystem::create_directory(dir.file("d"));
        std::string other = "/dev/shm/ostrel-move-dir-" + std::to_string(::getpid());
        EXPECT_EQ(file_move(dir.file("d").c_str(), other.c_str()), 0);
        EXPECT_EQ(file_exists(dir.file("d").c_str()), 1);
        std::remove(other.c_str());
    }
}

TEST(FileAppendZeros, AppendsCountZeroBytes) {
    scratch_dir dir;
    write_file(dir.file("z"), "ab");
    EXPECT_EQ(file_append_zeros(dir.file("z").c_str(), 5000), 1);
    EXPECT_EQ(read_file(dir.file("z")), "ab" + std::string(5000, '\0'));
    EXPECT_EQ(file_append_zeros(dir.file("z").c_str(), 0), 1);
    EXPECT_EQ(file_size(dir.file("z").c_str()), 5002);
    EXPECT_EQ(file_append_zeros(dir.file("no/dir/z").c_str(), 3), 0);
}

TEST(FileOutput, KeptWholeOrRemoved) {
    scratch_dir dir;
    const std::string kept = dir.file("kept.txt"), dropped = dir.file("dropped.txt");
    {
        file_output out(kept.c_str());
        FILE* f = out.open(1 << 16);
        ASSERT_NE(f, nullptr);
        std::fputs("whole", f);
        EXPECT_TRUE(out.close());
        out.keep();
    }
    EXPECT_EQ(read_file(kept), "whole");
    {
        file_output out(dropped.c_str());
        FILE* f = out.open();
        ASSERT_NE(f, nullptr);
        std::fputs("half", f);
    }
    EXPECT_FALSE(file_exists(dropped.c_str())) << "a file not kept is removed, also unclosed";
    {
        file_size_limit limit(1000);
        file_output out(dropped.c_str());
        FILE* f = out.open();
        ASSERT_NE(f, nullptr);
        const std::string block(4096, 'x');
        std::fwrite(block.data(), 1, block.size(), f);
        EXPECT_FALSE(out.close()) << "bytes that never reached the file";
    }
    EXPECT_FALSE(file_exists(dropped.c_str()));
    file_output missing(dir.file("no/such/dir.txt").c_str());
    EXPECT_EQ(missing.open(), nullptr);
    EXPECT_FALSE(missing.close());
}

TEST(FileOutput, ADeviceOrPipeIsNeverRemoved) {
    scratch_dir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    {
        file_output out(fifo.c_str());
        FILE* f = out.open();
        ASSERT_NE(f, nullptr);
        std::fputs("taken", f);
        EXPECT_TRUE(out.close());
    }
    struct stat st {};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    char got[8] = {};
    EXPECT_EQ(::read(reader, got, sizeof got), 5);
    ::close(reader);
}

}  // namespace
}  // namespace ostrel
