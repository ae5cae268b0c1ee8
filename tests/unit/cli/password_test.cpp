#include "cli/password.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli/dispatch.hpp"
#include "cli_fixture.hpp"
#include "platform/machine_id.hpp"
#include "support/tool_run.hpp"

namespace ostrel::test {
namespace {

const char* const id_a = "3f2504e04f8941d39a0c0305e82c3301";
const char* const id_b = "c0ffee00123445678899aabbccddeeff";

// The text format as it stands, written independently on Python's AES:
//   M pw_hex|- r_hex marker id_hex|-  ->  the text
//   R text id_hex|-                 ->  r_hex marker inner_hex
// Its key is the program's outer key, written out: a changed key fails here.
const char* const model_py = R"PY(
import base64, sys
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
FIXED = bytes.fromhex("579b59c449ce1cb6109529d4afdc4839")
TAIL = b"\n\x05\n"
def ctr(key, start, data):
    c = Cipher(algorithms.AES(key), modes.CTR(start + bytes(16 - len(start)))).encryptor()
    return c.update(data) + c.finalize()
def make(pw, r, marker, guid):
    inner = ctr(guid, r + b"h" + TAIL, pw) if marker == b"h" else pw
    return "$" + base64.urlsafe_b64encode(r + ctr(FIXED, r, marker + TAIL + inner)).rstrip(b"=").decode()
def read(text, guid):
    body = text[1:]
    blob = base64.urlsafe_b64decode(body + "=" * (-len(body) % 4))
    r, plain = blob[:4], ctr(FIXED, blob[:4], blob[4:])
    inner = plain[4:]
    if plain[:4] == b"h" + TAIL:
        inner = ctr(guid, r + plain[:4], inner)
    return r, plain[:1], inner
for line in open(sys.argv[1]):
    f = line.split()
    if f[0] == "M":
        guid = bytes.fromhex(f[4]) if f[4] != "-" else None
        pw = bytes.fromhex(f[1]) if f[1] != "-" else b""
        print(make(pw, bytes.fromhex(f[2]), f[3].encode(), guid))
    else:
        guid = bytes.fromhex(f[2]) if f[2] != "-" else None
        r, marker, inner = read(f[1], guid)
        print(r.hex(), marker.decode(), inner.hex() or "-")
)PY";

std::string hex_or_dash(const std::string& s) {
    return s.empty() ? "-" : to_hex(s);
}

struct model_read {
    std::string r, marker, inner;
};

class Password : public CliTest {
  protected:
    scratch_dir scratch;
    std::string id_file = scratch.file("machine-id");

    void SetUp() override {
        CliTest::SetUp();
        plat_machine_id_files = {id_file};
        use_identity(id_a);
    }
    void TearDown() override {
        plat_machine_id_files = {"/etc/machine-id", "/var/lib/dbus/machine-id"};
        CliTest::TearDown();
    }
    void use_identity(const std::string& digits) { write_file(id_file, digits + "\n"); }

    std::vector<std::string> model(const std::vector<std::string>& lines) {
        write_file(scratch.file("model.py"), model_py);
        std::string in;
        for (const auto& l : lines) in += l + "\n";
        write_file(scratch.file("model.in"), in);
        int status = 0;
        std::string out = run_command(
            "/usr/bin/python3 " + scratch.file("model.py") + " " + scratch.file("model.in"),
            &status);
        EXPECT_EQ(status, 0) << "the model needs python3-cryptography";
        std::vector<std::string> result = split_lines(out);
        EXPECT_EQ(result.size(), lines.size());
        result.resize(lines.size());
        return result;
    }
    std::string make(const std::string& pw, const std::string& r, char marker,
                     const char* id = id_a) {
        return model(
            {"M " + hex_or_dash(pw) + " " + to_hex(r) + " " + marker + " " + (id ? id : "-")})[0];
    }
    std::vector<model_read> read_all(const std::vector<std::string>& texts, const char* id = id_a) {
        std::vector<std::string> lines;
        for (const auto& t : texts) lines.push_back("R " + t + " " + (id ? id : "-"));
        std::vector<model_read> result;
        for (const auto& line : model(lines)) {
            std::istringstream f(line);
            model_read m;
            f >> m.r >> m.marker >> m.inner;
            m.inner = m.inner == "-" ? "" : from_hex(m.inner);
            result.push_back(m);
        }
        return result;
    }
    model_read read(const std::string& text, const char* id = id_a) {
        return read_all({text}, id)[0];
    }

    // What -encryptpass: prints, and whether it ended the program.
    std::string encrypt(const std::string& pw, int host_bound, int* status = nullptr) {
        ::testing::internal::CaptureStdout();
        int st = -1;
        try {
            EXPECT_EQ(cli_pw_encrypt(pw.c_str(), host_bound), 1);
        } catch (const cli_exit& e) {
            st = e.status;
        }
        std::fflush(stdout);
        if (status) *status = st;
        return ::testing::internal::GetCapturedStdout();
    }
    int decrypt(const std::string& text, std::string* out, size_t size = 0) {
        std::vector<char> buf(size ? size : text.size() + 1, '#');
        int r = cli_pw_decrypt(text.c_str(), buf.data(), buf.size());
        *out = std::string(buf.data(), strnlen(buf.data(), buf.size()));
        return r;
    }
};

size_t base64url_length(size_t bytes) {
    return (4 * bytes + 2) / 3;
}

TEST_F(Password, PrintedTextsTurnBackInTheModelAndHere) {
    std::mt19937 rng(7);
    const std::vector<std::string> passwords = {
        "",
        "x",
        "secret",
        "p\xc3\xa4sswo\xcc\x88rd \xe2\x82\xac",
        "\x01\x1f\x7f\ttab",
        "$dollar:colon@at",
        random_bytes(rng, 100, "abcdefghijklmnopqrstuvwxyz0123456789!\"$%&")};
    const std::regex shape("\\$[A-Za-z0-9_-]*\n");
    for (int bound : {0, 1}) {
        std::vector<std::string> texts;
        for (const auto& pw : passwords) {
            std::string printed = encrypt(pw, bound);
            ASSERT_TRUE(std::regex_match(printed, shape)) << printed;
            std::string text = printed.substr(0, printed.size() - 1);
            EXPECT_EQ(text.size(), 1 + base64url_length(pw.size() + 8)) << text;
            std::string back;
            EXPECT_EQ(decrypt(text, &back), 1) << text;
            EXPECT_EQ(to_hex(back), to_hex(pw)) << text;
            texts.push_back(text);
        }
        std::vector<model_read> m = read_all(texts);
        for (size_t i = 0; i < texts.size(); ++i) {
            EXPECT_EQ(m[i].marker, bound ? "h" : "e") << texts[i];
            EXPECT_EQ(to_hex(m[i].inner), to_hex(passwords[i])) << texts[i];
        }
    }
    EXPECT_EQ(encrypt("", 0).size(), 1 + 11 + 1u);
    EXPECT_EQ(encrypt("1", 0).size(), 1 + 12 + 1u);
}

TEST_F(Password, EveryTextHasItsOwnRandomPart) {
    std::string a = encrypt("same", 0), b = encrypt("same", 0);
    a.pop_back();
    b.pop_back();
    EXPECT_NE(read(a).r, read(b).r);
    std::string back;
    EXPECT_EQ(decrypt(a, &back), 1);
    EXPECT_EQ(back, "same");
    EXPECT_EQ(decrypt(b, &back), 1);
    EXPECT_EQ(back, "same");
}

// Made by the first build: texts in configuration files must keep working.
TEST_F(Password, TextOfTheFirstBuildTurnsBack) {
    const std::string golden = "$6X8FpBYxr-mMSsbl4L27qjZXMqrtDL31a4ydJQ";
    std::string back;
    EXPECT_EQ(decrypt(golden, &back), 1);
    EXPECT_EQ(back, "Gold p\xc3\xa4ssw\xc3\xb6rd:1$@x");
    EXPECT_EQ(read(golden).inner, back);
}

TEST_F(Password, ModelTextsTurnBackOnlyWithTheirIdentity) {
    const std::string r("\x01\x02\xfe\xff", 4);
    for (const std::string& pw : {std::string("hunter2"), std::string(""), std::string(300, 'z')}) {
        const std::string plain = make(pw, r, 'e'), bound = make(pw, r, 'h', id_a);
        std::string back;
        EXPECT_EQ(decrypt(plain, &back), 1);
        EXPECT_EQ(back, pw);
        EXPECT_EQ(decrypt(bound, &back), 1);
        EXPECT_EQ(back, pw);

        // Another machine: other bytes, and no error (the format cannot tell).
        use_identity(id_b);
        EXPECT_EQ(decrypt(bound, &back), 1);
        std::string other = read(bound, id_b).inner;
        EXPECT_EQ(to_hex(back), to_hex(other.substr(0, strnlen(other.c_str(), other.size()))));
        if (!pw.empty()) {
            EXPECT_NE(back, pw);
        }

        // No usable identity: only the host-bound text is refused.
        for (const char* unusable : {"", "uninitialized"}) {
            write_file(id_file, unusable);
            EXPECT_EQ(decrypt(bound, &back), -1) << unusable;
            EXPECT_EQ(decrypt(plain, &back), 1);
            EXPECT_EQ(back, pw);
        }
        plat_machine_id_files = {scratch.file("none")};
        EXPECT_EQ(decrypt(bound, &back), -1);
        plat_machine_id_files = {id_file};
        use_identity(id_a);
    }
}

TEST_F(Password, BothAlphabetsAndPaddingAreRead) {
    // "\xfb\xff" in the random part puts "+/" or "-_" into the text.
    std::string text = make("pw?>", std::string("\xfb\xff\xfb\xff", 4), 'e');
    for (char& c : text) c = c == '-' ? '+' : c == '_' ? '/' : c;
    text += std::string((4 - (text.size() - 1) % 4) % 4, '=');
    std::string back;
    EXPECT_EQ(decrypt(text, &back), 1) << text;
    EXPECT_EQ(back, "pw?>");
}

TEST_F(Password, OtherTextsAreUsedUnchanged) {
    const std::string r = "abcd";
    const std::vector<std::string> texts = {
        "",
        "plain",
        "$",
        "$short",               // 4 bytes once decoded
        "$AAAAAAAAAA",          // 7 bytes
        "$not base64 at all!",  // decodes to something without a marker
        make("pw", r, 'x'),     // another marker
        make("pw", r, 'E'),
        make("", r, 'e').substr(0, 10),  // cut below 8 bytes
    };
    for (const auto& t : texts) {
        std::string back;
        EXPECT_EQ(decrypt(t, &back), 0) << t;
        EXPECT_EQ(back, t);
    }
}

TEST_F(Password, TextLongerThanTheBufferGivesNothing) {
    std::string back;
    EXPECT_EQ(decrypt("abcdef", &back, 5), 0);
    EXPECT_EQ(back, "");
    std::string text = encrypt("secret", 0);
    text.pop_back();
    EXPECT_EQ(decrypt(text, &back, text.size() - 1), 0);
    EXPECT_EQ(back, "");
    // Exactly the text's length is room enough to turn it back.
    EXPECT_EQ(decrypt(text, &back, text.size()), 1);
    EXPECT_EQ(back, "secret");
}

TEST_F(Password, HostileTextsAreReadSafely) {
    std::mt19937 rng(99);
    const std::string pool = "AZaz09+/-_=$!~\x80\xff \t";
    for (size_t len = 0; len < 4096; len += 1 + len / 8) {
        std::string t = "$" + random_bytes(rng, len, pool);
        std::string back;
        EXPECT_EQ(decrypt(t, &back), 0) << t;
        EXPECT_EQ(back, t);
    }
    // A last group of one character, "=" in odd places.
    for (const char* t : {"$AAAAAAAAAAAAA", "$A=A=A=A=A=A=A=A=", "$====", "$AAAAAAAAAAA=AAAA"}) {
        std::string back;
        EXPECT_EQ(decrypt(t, &back), 0) << t;
        EXPECT_EQ(back, t);
    }
}

TEST_F(Password, HostBoundTextNeedsAnIdentity) {
    write_file(id_file, "uninitialized\n");
    int status = 0;
    EXPECT_EQ(encrypt("secret", 1, &status), "");
    EXPECT_EQ(status, 1);
    // The plain form needs none.
    EXPECT_NE(encrypt("secret", 0, &status), "");
    EXPECT_EQ(status, -1);
}

// The password the client would send is the one in the handle.
TEST_F(Password, HostOptionTurnsTheTextBack) {
    for (int bound : {0, 1}) {
        std::string text = encrypt("s3cr:et", bound);
        text.pop_back();
        EXPECT_EQ(apply("host:user:" + text + "@mx.example:587"), 1);
        ASSERT_TRUE(h->password);
        EXPECT_EQ(*h->password, "s3cr:et") << text;
        EXPECT_EQ(*h->user, "user");
        EXPECT_EQ(*h->host, "mx.example");
    }
    for (const char* pw : {"$short", "$not base64 at all!", "$QUJDREVGR0hJSktMTU5PUA"}) {
        EXPECT_EQ(apply(std::string("host:u:") + pw + "@mx.example"), 1);
        EXPECT_EQ(*h->password, pw);
    }
}

TEST_F(Password, HostBoundTextWithoutIdentityEndsTheProgram) {
    std::string text = encrypt("secret", 1);
    text.pop_back();
    write_file(id_file, "");
    cli_failure f = run("host:u:" + text + "@mx.example");
    EXPECT_EQ(f.status, 1);
    EXPECT_EQ(f.message, "Failed to decrypt password\n");
    // Proxy passwords are never decoded.
    EXPECT_EQ(apply("proxy:u:" + text + "@proxy.example:8080"), 1);
    EXPECT_EQ(*h->proxy_password, text);
}

// The bytes that ip_parse_hostport takes for the password, and no others.
TEST(PasswordScrub, OverwritesOnlyThePasswordBytes) {
    const struct {
        const char* text;
        char delim;
        const char* want;
        size_t count;
    } cases[] = {
        {"alice:S3CRET@mx.example:587", ':', "alice:******@mx.example:587", 6},
        {"alice:s:e:cret@mx.example", ':', "alice:********@mx.example", 8},
        // The last "@" ends the user information, the first delimiter the user.
        {"a:b@c@mx.example", ':', "a:***@mx.example", 3},
        {"us:er|pa:ss@mx.example", '|', "us:er|*****@mx.example", 5},
        {"us:er@mx.example", '|', "us:er@mx.example", 0},
        {":pw@mx.example", ':', ":**@mx.example", 2},
        {"alice:@mx.example", ':', "alice:@mx.example", 0},
        {"alice@mx.example", ':', "alice@mx.example", 0},
        {"mx.example:25", ':', "mx.example:25", 0},
        {"", ':', "", 0},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(cli_pw_scrub_hostport(text.data(), c.delim), c.count) << c.text;
        EXPECT_EQ(text, c.want) << c.text;
    }
    std::string secret = "pässwort";
    cli_pw_scrub(secret.data());
    EXPECT_EQ(secret, std::string(secret.size(), '*'));
    for (auto [text, want] :
         {std::pair{"us:er|pa:ss@a@mx.example:25", "*************@mx.example:25"},
          std::pair{"mx.example:25", "mx.example:25"}}) {
        std::string t = text;
        cli_pw_scrub_userinfo(t.data());
        EXPECT_EQ(t, want);
    }
}

// The arguments that the process list shows once the first pass has begun;
// the dispatcher's copies keep every byte.
TEST(PasswordScrub, ArgumentsLoseTheirPasswordsFirst) {
    using args = std::vector<std::string>;
    const struct {
        args given, shown;
    } cases[] = {
        {{"-nodefault", "-host:al:pw@mx", "-proxy:bob:pp@px:8080", "-encryptpass:sec"},
         {"-nodefault", "-host:al:**@mx", "-proxy:bob:**@px:8080", "-encryptpass:***"}},
        // A configuration file may set the delimiter before any argument acts.
        {{"-host:al:pw@mx"}, {"-host:*****@mx"}},
        {{"-nodefault", "-config:c.conf", "-host:al:pw@mx"},
         {"-nodefault", "-config:c.conf", "-host:*****@mx"}},
        {{"-passdelim:", "-host:al:pw@mx"}, {"-passdelim:", "-host:*****@mx"}},
        // Only a -passdelim: before the -host: is its delimiter, and it wins
        // over every file.
        {{"-passdelim:|", "-host:a:b|pw@mx", "-passdelim::", "-host:a:b|pw@mx"},
         {"-passdelim:|", "-host:a:b|**@mx", "-passdelim::", "-host:a:****@mx"}},
        {{"-nodefault", "-host:a|b:pw@mx", "-passdelim:|"},
         {"-nodefault", "-host:a|b:**@mx", "-passdelim:|"}},
        {{"-nodefault", "-passdelim:", "-host:al:pw@mx"},
         {"-nodefault", "-passdelim:", "-host:al:**@mx"}},
        // What holds no password, or is no such option, stays.
        {{"-host:mx.example:25", "-subject:-host:al:pw@mx", "-proxytype:HTTPS"},
         {"-host:mx.example:25", "-subject:-host:al:pw@mx", "-proxytype:HTTPS"}},
    };
    for (const auto& c : cases) {
        args visible = c.given;
        visible.insert(visible.begin(), "ostrel");
        std::vector<char*> argv;
        for (std::string& a : visible) argv.push_back(a.data());
        cli_private_args copy;
        cli_pw_scrub_args(static_cast<int>(argv.size()), argv.data(), &copy);
        EXPECT_EQ(args(visible.begin() + 1, visible.end()), c.shown) << c.given[0];
        ASSERT_EQ(copy.argv.size(), visible.size() + 1);
        EXPECT_EQ(copy.argv.back(), nullptr);
        EXPECT_STREQ(copy.argv[0], "ostrel");
        EXPECT_EQ(args(copy.argv.begin() + 1, copy.argv.end() - 1), c.given);
    }
}

// The dispatcher overwrites the password in the very text it was given (an
// argument of the process), after the handle has its copy.
TEST_F(Password, OptionTextsKeepNoPasswordOnceCopied) {
    std::string text = encrypt("s3cr:et", 0);
    text.pop_back();
    const struct {
        std::string option, after;
        const std::optional<std::string>& password;
        const char* want;
    } cases[] = {
        {"host:alice:S3CRET@mx.example:587", "host:alice:******@mx.example:587", h->password,
         "S3CRET"},
        {"host:alice:" + text + "@mx.example",
         "host:alice:" + std::string(text.size(), '*') + "@mx.example", h->password, "s3cr:et"},
        {"proxy:bob:PS3CRET@proxy.example:8080", "proxy:bob:*******@proxy.example:8080",
         h->proxy_password, "PS3CRET"},
        {"host:mx.example:25", "host:mx.example:25", h->password, nullptr},
    };
    for (const auto& c : cases) {
        std::string arg = c.option;
        EXPECT_EQ(cli_apply_option(h, arg.data()), 1) << c.option;
        EXPECT_EQ(arg, c.after);
        EXPECT_EQ(c.password, c.want ? std::optional<std::string>(c.want) : std::nullopt)
            << c.option;
    }
    // The delimiter in force decides where the password starts.
    EXPECT_EQ(apply("passdelim:|"), 1);
    std::string arg = "host:us:er|pa:ss@mx.example";
    EXPECT_EQ(cli_apply_option(h, arg.data()), 1);
    EXPECT_EQ(arg, "host:us:er|*****@mx.example");
    EXPECT_EQ(*h->user, "us:er");
    EXPECT_EQ(*h->password, "pa:ss");
}

}  // namespace
}  // namespace ostrel::test
