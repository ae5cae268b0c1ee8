#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli_fixture.hpp"
#include "cli/config.hpp"
#include "platform/appdata.hpp"

namespace ostrel::test {
namespace {

// Sets or clears environment variables for one test and puts them back.
class EnvGuard {
  public:
    EnvGuard(std::initializer_list<std::pair<const char*, const char*>> vars) {
        for (auto [name, value] : vars) {
            const char* old = std::getenv(name);
            saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
            if (value)
                ::setenv(name, value, 1);
            else
                ::unsetenv(name);
        }
    }
    ~EnvGuard() {
        for (auto& [name, value] : saved_) {
            if (value)
                ::setenv(name, value->c_str(), 1);
            else
                ::unsetenv(name);
        }
    }

  private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

class Config : public CliTest {
  protected:
    cli_failure configure(std::vector<std::string> args) {
        args.insert(args.begin(), "ostrel");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        cli_failure f;
        ::testing::internal::CaptureStderr();
        try {
            cli_configure(h, static_cast<int>(argv.size()), argv.data());
        } catch (const cli_exit& e) {
            f.status = e.status;
        }
        f.message = ::testing::internal::GetCapturedStderr();
        return f;
    }
    std::string subject() const { return h->subject ? *h->subject : "<null>"; }
};

TEST_F(Config, LineEndsBomCommentsAndBlankLines) {
    const std::pair<const char*, std::string> files[] = {
        {"LF", "subject:S\nto:a@example.org\n"},
        {"CRLF", "subject:S\r\nto:a@example.org\r\n"},
        {"CR only", "subject:S\rto:a@example.org\r"},
        {"no final line end", "subject:S\nto:a@example.org"},
        {"BOM", "\xEF\xBB\xBFsubject:S\nto:a@example.org\n"},
        {"comments and blank lines",
         "# a comment\n\n\r\n#to:x@example.org\nsubject:S\n\n\nto:a@example.org\n"},
    };
    for (const auto& [what, data] : files) {
        TearDown();
        SetUp();
        EXPECT_EQ(cli_read_config(h, write_file("c.conf", data).c_str()), 1) << what;
        EXPECT_EQ(subject(), "S") << what;
        ASSERT_EQ(h->to.size(), 1u) << what;
        EXPECT_EQ(h->to[0].address, "a@example.org") << what;
    }
}

TEST_F(Config, LinesAreNotTrimmed) {
    EXPECT_EQ(cli_read_config(h, write_file("c.conf", "subject:a #b  \n").c_str()), 1);
    EXPECT_EQ(subject(), "a #b  ");
    std::string path = write_file("space.conf", "subject:x\n to:a@example.org\nhelo:never\n");
    ::testing::internal::CaptureStderr();
    int status = 0;
    try {
        cli_read_config(h, path.c_str());
    } catch (const cli_exit& e) {
        status = e.status;
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Unknown option:  to:a@example.org\n");
    EXPECT_EQ(status, 2);
    EXPECT_FALSE(h->helo);  // the file stops at the refused line
}

TEST_F(Config, MissingEmptyAndOddFiles) {
    EXPECT_EQ(cli_read_config(h, (dir / "none.conf").c_str()), 0);
    EXPECT_EQ(cli_read_config(h, dir.c_str()), 0);  // a directory is no file
    EXPECT_EQ(cli_read_config(h, write_file("empty.conf", "").c_str()), 1);
    EXPECT_EQ(cli_read_config(h, write_file("bom.conf", "\xEF\xBB\xBF").c_str()), 1);
    EXPECT_EQ(cli_read_config(h, write_file("ends.conf", "\r\n\r\r\n\n").c_str()), 1);
    // A NUL byte would cut its line unseen: the file is refused whole.
    EXPECT_EQ(cli_read_config(h, write_file("nul.conf", std::string("subject:a\0b\n", 12)).c_str()),
              0);
    EXPECT_FALSE(h->subject);
    const std::string big(100000, 'y');
    EXPECT_EQ(cli_read_config(h, write_file("long.conf", "subject:" + big + "\n").c_str()), 1);
    EXPECT_EQ(subject(), big);
}

TEST_F(Config, FileOnlyKeywords) {
    std::string inner = write_file("inner.conf", "subject:from inner\n");
    std::string outer =
        write_file("outer.conf", "config:" + inner +
                                     "\nnodefault\nskipnofile\nclutf8\nbody-literal\n"
                                     "results:r.json\nign:whatever\n");
    EXPECT_EQ(cli_read_config(h, outer.c_str()), 1);
    EXPECT_FALSE(h->subject);  // files do not nest
    EXPECT_EQ(cli.skip_no_file, 0);
    EXPECT_EQ(cli.body_literal, 0);
    EXPECT_EQ(cli.no_default_config, 0);
    for (const char* kw : {"encryptpass:secret", "bindpass", "doc", "asciidoc"}) {
        std::string path = write_file("bad.conf", std::string(kw) + "\n");
        ::testing::internal::CaptureStderr();
        int status = 0;
        try {
            cli_read_config(h, path.c_str());
        } catch (const cli_exit& e) {
            status = e.status;
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  std::string("Unknown option: ") + kw + "\n");
        EXPECT_EQ(status, 2) << kw;
    }
}

TEST_F(Config, StandardInput) {
    std::string path = write_file("stdin.conf", "subject:piped\n-\n");
    ASSERT_NE(std::freopen(path.c_str(), "r", stdin), nullptr);
    EXPECT_EQ(cli_read_config(h, "-"), 1);
    EXPECT_EQ(subject(), "piped");
    EXPECT_EQ(cli.body_from_stdin, 1);
}

TEST_F(Config, SourcesInOrder) {
    EnvGuard env{{"APPDATA", dir.c_str()}};
    write_file("ostrel.conf", "subject:default\nto:d@example.org\nhelo:default.example\n");
    std::string c1 = write_file("one.conf", "subject:one\nto:o@example.org\n");
    std::string c2 = write_file("two.conf", "subject:two\nhelo:two.example\n");
    // -config: files are read before every command-line option wherever they
    // stand; single values take the last one, lists add up.
    cli_failure f =
        configure({"-subject:cmdline", "-config:" + c2, "-to:c@example.org", "-config:" + c1});
    EXPECT_EQ(f.status, -1) << f.message;
    EXPECT_EQ(subject(), "cmdline");
    EXPECT_EQ(h->helo ? *h->helo : "", "two.example");
    ASSERT_EQ(h->to.size(), 3u);
    EXPECT_EQ(h->to[2].address, "d@example.org");
    EXPECT_EQ(h->to[1].address, "o@example.org");
    EXPECT_EQ(h->to[0].address, "c@example.org");
}

TEST_F(Config, NoDefaultAndMissingDefault) {
    EnvGuard env{{"APPDATA", dir.c_str()}};
    write_file("ostrel.conf", "subject:default\n");
    cli.no_default_config = 1;
    EXPECT_EQ(configure({"-nodefault"}).status, -1);
    EXPECT_FALSE(h->subject);
    cli.no_default_config = 0;
    std::filesystem::remove(dir / "ostrel.conf");
    EXPECT_EQ(configure({"-helo:x.example"}).status, -1);
    EXPECT_FALSE(h->subject);
}

TEST_F(Config, ConfigFailuresComeBeforeCommandLineOptions) {
    std::string missing = (dir / "missing.conf").string();
    cli_failure f = configure({"-subject:early", "-config:" + missing});
    EXPECT_EQ(f.status, 1);
    EXPECT_EQ(f.message, "Unable to open configuration file " + missing + "\n");
    EXPECT_FALSE(h->subject);

    f = configure({"-subject:x", "to:a@example.org"});
    EXPECT_EQ(f.status, 2);
    EXPECT_EQ(f.message, "Unknown option: to:a@example.org\n");
    f = configure({"--"});
    EXPECT_EQ(f.status, -1);
    EXPECT_EQ(cli.body_from_stdin, 1);
    f = configure({"-"});
    EXPECT_EQ(f.status, 2);
    EXPECT_EQ(f.message, "Unknown option: \n");
    f = configure({"--x"});
    EXPECT_EQ(f.status, 2);
    EXPECT_EQ(f.message, "Unknown option: -x\n");
}

TEST_F(Config, TwiceGivenFileAppliesTwice) {
    std::string c = write_file("c.conf", "to:t@example.org\n");
    EXPECT_EQ(configure({"-config:" + c, "-config:" + c}).status, -1);
    EXPECT_EQ(h->to.size(), 2u);
}

struct appdata_case {
    const char* appdata;
    const char* xdg;
    const char* home;
    std::optional<std::string> dir;
};

TEST(AppData, Folder) {
    const appdata_case cases[] = {
        {"/a", "/x", "/h", "/a"},
        {nullptr, "/x", "/h", "/x"},
        {"", "/x", "/h", "/x"},
        {nullptr, nullptr, "/h", "/h/.config"},
        {nullptr, "", "/h", "/h/.config"},
        {nullptr, nullptr, nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        EnvGuard env{{"APPDATA", c.appdata}, {"XDG_CONFIG_HOME", c.xdg}, {"HOME", c.home}};
        EXPECT_EQ(platform_appdata_dir(), c.dir);
    }
}

TEST(AppData, DefaultPathIsBounded) {
    {
        EnvGuard env{{"APPDATA", "/cfg"}};
        EXPECT_EQ(cli_default_config_path(), "/cfg/ostrel.conf");
    }
    std::string fits(1023 - std::string("/ostrel.conf").size(), 'd');
    {
        EnvGuard env{{"APPDATA", fits.c_str()}};
        EXPECT_EQ(cli_default_config_path()->size(), 1023u);
    }
    std::string too_long = fits + "d";
    {
        EnvGuard env{{"APPDATA", too_long.c_str()}};
        EXPECT_EQ(cli_default_config_path(), std::nullopt);
    }
}

}  // namespace
}  // namespace ostrel::test
