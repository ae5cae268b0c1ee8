#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cli/build_info.hpp"
#include "cli/console.hpp"
#include "cli/state.hpp"
#include "net/tls.hpp"

namespace ostrel {
namespace {

TEST(CliExitCode, ReducesToEightBitsWithoutTurningFailureIntoSuccess) {
    const std::pair<int, int> cases[] = {
        {0, 0},    {1, 1},     {2, 2},    {10, 10},  {50, 50},   {255, 255}, {256, 50},
        {512, 50}, {666, 154}, {550, 38}, {-1, 255}, {-256, 50}, {421, 165}, {INT32_MIN, 50},
    };
    for (auto [status, want] : cases) EXPECT_EQ(cli_exit_code(status), want) << status;
}

TEST(CliSendFailureStatus, KeepsOnlySmtpFailureCodes) {
    const std::pair<std::optional<std::string>, int> cases[] = {
        {std::nullopt, 50},
        {"550 5.1.1 User unknown", 550},
        {"421 Service not available", 421},
        {"400", 400},
        {"599 x", 599},
        {"* OK IMAP4 ready", 50},
        {"250 OK", 50},
        {"600 odd", 50},
        {"", 50},
        {"99999999999 huge", 50},
    };
    for (const auto& [reply, want] : cases)
        EXPECT_EQ(cli_send_failure_status(reply), want) << reply.value_or("(none)");
}

TEST(CliStamp, SecondsAndMillisecondsSinceStart) {
    const struct {
        uint64_t elapsed_ns;
        const char* want;
    } cases[] = {
        {0, "[0.000] "},          {1500000000, "[1.500] "},   {2005000000, "[2.005] "},
        {2005999999, "[2.005] "}, {61000000000, "[61.000] "},
    };
    for (const auto& c : cases) {
        char out[48];
        EXPECT_STREQ(cli_format_stamp(out, sizeof out, 1000 + c.elapsed_ns, 1000), c.want);
    }
    char tiny[4];
    EXPECT_STREQ(cli_format_stamp(tiny, sizeof tiny, 2005000000, 0), "[2.");
}

TEST(CliSprintf, IsBounded) {
    char buf[8];
    std::memset(buf, 'z', sizeof buf);
    EXPECT_EQ(cli_sprintf(buf, 5, "%s", "abcdefgh"), 8);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(buf[5], 'z');
    EXPECT_EQ(cli_sprintf(buf, 0, "%s", "x"), 0);
}

TEST(CliTexts, BannerAndXMailer) {
    char banner[256];
    std::string want = std::string("Ostrel ") + cli_version_text + " amd64 (" +
                       ip_tls_library_version() + "), " + cli_build_date;
    EXPECT_EQ(cli_format_banner(banner, sizeof banner), want);

    std::string full =
        std::string("Ostrel ") + cli_version_text + " amd64 (" + cli_web_address + ")";
    char mailer[cli_xmailer_size];
    EXPECT_EQ(cli_xmailer(mailer, sizeof mailer), full);
    char small[10];
    EXPECT_EQ(cli_xmailer(small, sizeof small), full.substr(0, 9));
}

std::string traced(int direction, const char* text, int stamps) {
    cli.trace_timestamps = stamps;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(cli_debug_trace(nullptr, direction, text), 1);
    std::fflush(stdout);
    cli.trace_timestamps = 0;
    return ::testing::internal::GetCapturedStdout();
}

TEST(CliDebugTrace, MarksTheDirection) {
    EXPECT_EQ(traced(-1, "Connecting\r\n", 0), "Connecting\r\n");
    EXPECT_EQ(traced(0, "EHLO x\r\n", 0), "> EHLO x\r\n");
    EXPECT_EQ(traced(1, "250 ok\r\n", 0), "< 250 ok\r\n");
    EXPECT_EQ(traced(7, "220 hi\r\n", 0), "< 220 hi\r\n");
    std::string stamped = traced(0, "QUIT\r\n", 1);
    EXPECT_EQ(stamped.front(), '[');
    EXPECT_NE(stamped.find("] > QUIT\r\n"), std::string::npos);
}

// A protocol line, received from the peer or sent from a prepared file, has
// its controls escaped, while each CRLF still ends a trace line.
TEST(CliDebugTrace, ControlsOfProtocolLinesAreEscaped) {
    const struct {
        const char* text;
        const char* shown;
    } cases[] = {
        {"550 \x1b]0;TITLE\x07\x1b[2J\r\n", "550 \\x1b]0;TITLE\\x07\\x1b[2J\r\n"},
        {"250 a\rb\nc\tok\r\n", "250 a\\x0db\\x0ac\tok\r\n"},
        {"no line end \x9b", "no line end \\x9b"},
        {"\r\n", "\r\n"},
        {"two\r\nlines \xc2\x9b\r\n", "two\r\nlines \\x9b\r\n"},
        {"caf\xc3\xa9 \xe2\x82\xac **** \r\n", "caf\xc3\xa9 \xe2\x82\xac **** \r\n"},
    };
    for (const auto& c : cases)
        for (int direction : {0, 1})
            EXPECT_EQ(traced(direction, c.text, 0),
                      std::string(direction == 0 ? "> " : "< ") + c.shown)
                << c.text;
    // The program's own information texts are its own: shown as they are.
    EXPECT_EQ(traced(-1, "recv() read 4 bytes\n", 0), "recv() read 4 bytes\n");
}

}  // namespace
}  // namespace ostrel
