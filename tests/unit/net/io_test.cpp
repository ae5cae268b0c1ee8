// Buffered reads, the line reader and formatted writes against a scripted
// peer on 127.0.0.1: split and joined segments, floods, stalls, early closes.
#include "net/io.hpp"

#include <sys/resource.h>

#include <gtest/gtest.h>
#include <tls.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "net/tls.hpp"
#include "net_peers.hpp"

namespace ostrel {
namespace {

using namespace test;
using clock_type = std::chrono::steady_clock;

struct line_case {
    const char* name;
    const char* script;
    std::vector<std::string> lines;  // returned in order, then NULL
};

TEST(IpReadline, SegmentsAndTerminators) {
    const line_case cases[] = {
        {"two lines in one segment",
         R"([{"send":"220 a\r\n250 b\r\n"},{"close":true}])",
         {"220 a", "250 b"}},
        {"CR and LF in two segments",
         R"([{"send":"220 a\r"},{"sleep":0.2},{"send":"\n250 b"},{"sleep":0.2},)"
         R"({"send":"\r\n"},{"close":true}])",
         {"220 a", "250 b"}},
        {"bare LF does not end a line",
         R"([{"send":"a\nb\r\n\r\n"},{"close":true}])",
         {"a\nb", ""}},
        {"NUL ends the text early",
         R"([{"send":"ab\u0000cd\r\nx\r\n"},{"close":true}])",
         {"ab", "x"}},
        {"close in mid-line", R"([{"send":"220 a\r\n250 par"},{"close":true}])", {"220 a"}},
        {"peer closes at once", R"([{"close":true}])", {}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        peer_process p;
        int port = start_script_peer(p, k.script, "");
        ASSERT_NE(port, 0);
        auto c = connect_local(port);
        for (const auto& want : k.lines) {
            const char* got = ip_readline(c.get(), "\r\n", 2);
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(std::string(got), want);
        }
        EXPECT_EQ(ip_readline(c.get(), "\r\n", 2), nullptr);
    }
}

struct small_buffer_case {
    const char* name;
    const char* script;
    std::vector<std::string> lines;
    int buf_size_after;
};

// A 16-byte buffer: a line that fills it exactly, compaction, doubling.
TEST(IpReadline, SmallBufferCompactsAndGrows) {
    const small_buffer_case cases[] = {
        {"line and terminator fill the buffer",
         R"([{"send":"abcdefghijklmn\r\n"},{"close":true}])",
         {"abcdefghijklmn"},
         16},
        {"rest of a line moved to the start",
         R"([{"send":"aaaa\r\nbbbbbbbbbb"},{"sleep":0.2},{"send":"bb\r\n"},{"close":true}])",
         {"aaaa", "bbbbbbbbbbbb"},
         16},
        {"CR in the last byte of a full buffer",
         R"([{"send":"abcdefghijklmno\r"},{"sleep":0.2},{"send":"\n"},{"close":true}])",
         {"abcdefghijklmno"},
         32},
        {"line of the buffer's size",
         R"([{"send":"abcdefghijklmnop\r\nq\r\n"},{"close":true}])",
         {"abcdefghijklmnop", "q"},
         32},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        peer_process p;
        int port = start_script_peer(p, k.script, "");
        ASSERT_NE(port, 0);
        auto c = connect_local(port, 16);
        for (const auto& want : k.lines) {
            const char* got = ip_readline(c.get(), "\r\n", 2);
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(std::string(got), want);
        }
        EXPECT_EQ(c->buf_size, k.buf_size_after);
        EXPECT_EQ(ip_readline(c.get(), "\r\n", 2), nullptr);
    }
}

TEST(IpReadline, OtherTerminatorsAndTheirTrace) {
    peer_process p;
    int port = start_script_peer(p, R"([{"send":"one\ntwo;;three;;"},{"close":true}])", "");
    auto c = connect_local(port);
    trace_log t;
    t.attach(c.get(), ip_f_trace);
    const char* got = ip_readline(c.get(), "\n", 0);  // length from the text
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, "one");
    ASSERT_NE(got = ip_readline(c.get(), ";;", 2), nullptr);
    EXPECT_STREQ(got, "two");
    ASSERT_NE(got = ip_readline(c.get(), ";;", 2), nullptr);
    EXPECT_STREQ(got, "three");
    // term_len 0 traces the line alone, a given length with its terminator.
    std::vector<std::pair<int, std::string>> want = {{1, "one"}, {1, "two;;"}, {1, "three;;"}};
    EXPECT_EQ(t.lines, want);
}

TEST(IpReadline, PartialLineStaysAfterClose) {
    peer_process p;
    int port = start_script_peer(p, R"([{"send":"250 par"},{"close":true}])", "");
    auto c = connect_local(port);
    EXPECT_EQ(ip_readline(c.get(), "\r\n", 2), nullptr);
    EXPECT_EQ(std::string(c->read_ptr, c->buf + c->buf_fill), "250 par");
}

TEST(IpReadline, LongLineGrowsBuffer) {
    peer_process p;
    std::string line(25000, 'y');
    int port = start_script_peer(
        p, R"([{"send":"220 )" + line + R"(\r\n250 ok\r\n"},{"close":true}])", "");
    auto c = connect_local(port, 10000);
    const char* got = ip_readline(c.get(), "\r\n", 2);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got), "220 " + line);
    EXPECT_EQ(c->buf_size, 40000);
    ASSERT_NE(got = ip_readline(c.get(), "\r\n", 2), nullptr);
    EXPECT_STREQ(got, "250 ok");
}

TEST(IpReadline, EndlessLineFailsWithText) {
    peer_process p;
    int port = start_script_peer(p, R"([{"flood":3000000},{"hold":5}])", "");
    auto c = connect_local(port, 10000);
    auto start = clock_type::now();
    EXPECT_EQ(ip_readline(c.get(), "\r\n", 2), nullptr);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(3));
    ASSERT_TRUE(c->error_text.has_value());
    EXPECT_EQ(*c->error_text, "Received line too long");
    EXPECT_LE(c->buf_size, 2 * ip_line_max + 20000);
    // It stays failed, without reading on.
    EXPECT_EQ(ip_readline(c.get(), "\r\n", 2), nullptr);
    EXPECT_LE(c->buf_size, 2 * ip_line_max + 20000);
}

TEST(IpReadline, LineOfTheLimitIsTaken) {
    peer_process p;
    std::string line(ip_line_max, 'z');
    int port = start_script_peer(p, R"([{"send":")" + line + R"(\r\n"},{"close":true}])", "");
    auto c = connect_local(port, 10000);
    const char* got = ip_readline(c.get(), "\r\n", 2);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got).size(), line.size());
}

TEST(IpReadline, SilentPeerTimesOut) {
    peer_process p;
    int port = start_script_peer(p, R"([{"hold":10}])", "");
    auto c = connect_local(port, 1000, 1);
    auto start = clock_type::now();
    EXPECT_EQ(ip_readline(c.get(), "\r\n", 2), nullptr);
    auto took = clock_type::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_TRUE(ip_timed_out(c.get()));
}

// A failed read says whether time ran out or the peer closed, and the next
// read that gets bytes forgets an earlier time-out.
TEST(IpReadline, TimeOutIsToldFromAClose) {
    struct {
        const char* name;
        const char* script;
        bool timed_out;
    } cases[] = {
        {"closed at once", R"([{"close":true}])", false},
        {"closed in mid-line", R"([{"send":"250 par"},{"close":true}])", false},
        {"silent in mid-line", R"([{"send":"250 par"},{"hold":5}])", true},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        peer_process p;
        int port = start_script_peer(p, k.script, "");
        auto c = connect_local(port, 1000, 1);
        EXPECT_EQ(ip_readline(c.get(), "\r\n", 2), nullptr);
        EXPECT_EQ(ip_timed_out(c.get()) != 0, k.timed_out);
    }
    peer_process p;
    int port = start_script_peer(p, R"([{"sleep":1.5},{"send":"late\r\n"},{"hold":3}])", "");
    auto c = connect_local(port, 1000, 1);
    EXPECT_EQ(ip_readline(c.get(), "\r\n", 2), nullptr);
    EXPECT_TRUE(ip_timed_out(c.get()));
    ip_set_timeout(c.get(), 5);
    const char* line = ip_readline(c.get(), "\r\n", 2);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "late");
    EXPECT_FALSE(ip_timed_out(c.get()));
}

// A peer that drips bytes, each well within the time-out, is held to one
// time-out for the whole exchange; a nested bound never lengthens it.
TEST(IpDeadline, BoundsTheWholeExchangeAndNests) {
    peer_process p;
    int port =
        start_script_peer(p, R"([{"trickle":")" + std::string(80, '7') + R"(","every":0.2}])", "");
    auto c = connect_local(port, 1000, 1);
    auto start = clock_type::now();
    {
        ip_deadline outer(c.get());
        ip_set_timeout(c.get(), 5);
        ip_deadline inner(c.get());
        EXPECT_EQ(ip_readline(c.get(), "\r\n", 2), nullptr);
    }
    auto took = clock_type::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    EXPECT_TRUE(ip_timed_out(c.get()));
    EXPECT_EQ(c->deadline, 0);  // lifted with its guards
}

TEST(IpReadline, WithoutWaitGivesUpAndSetsWouldBlock) {
    peer_process p;
    int port = start_script_peer(p, R"([{"sleep":0.5},{"send":"220 x\r\n"}])", "");
    auto c = connect_local(port, 1000);
    c->flags &= ~static_cast<uint32_t>(ip_f_wait);
    EXPECT_EQ(ip_readline(c.get(), "\r\n", 2), nullptr);
    EXPECT_TRUE(c->flags & ip_f_would_block);
    c->flags |= ip_f_wait;
    const char* got = ip_readline(c.get(), "\r\n", 2);
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, "220 x");
    EXPECT_FALSE(c->flags & ip_f_would_block);
}

TEST(IpRead, BufferedBytesComeFirstAndAlone) {
    peer_process p;
    int port = start_script_peer(p,
                                 R"([{"send":"220 a\r\nXYZ"},{"sleep":0.3},)"
                                 R"({"send":"more"},{"close":true}])",
                                 "");
    auto c = connect_local(port);
    ASSERT_NE(ip_readline(c.get(), "\r\n", 2), nullptr);
    trace_log t;
    t.attach(c.get(), ip_f_trace_io);
    char dst[100];
    EXPECT_EQ(ip_read(c.get(), dst, sizeof dst), 3);
    EXPECT_EQ(std::string(dst, 3), "XYZ");
    EXPECT_EQ(t.joined(-1), "ip_read() read 3 bytes from buffer\n");
    t.lines.clear();
    EXPECT_EQ(ip_read(c.get(), dst, sizeof dst), 4);
    // The peer sends later: the first recv would block, the wait follows.
    EXPECT_EQ(t.joined(-1),
              "recv() returned -1\nrecv() read 4 bytes\nip_read() read 4 bytes from socket\n");
}

TEST(IpReadAll, ReadsToTheEnd) {
    peer_process p;
    int port = start_script_peer(p, R"([{"send":"220 a\r\nrest"},{"close":true}])", "");
    auto c = connect_local(port);
    ASSERT_NE(ip_readline(c.get(), "\r\n", 2), nullptr);
    int len = 0;
    char* all = ip_read_all(c.get(), &len);
    ASSERT_NE(all, nullptr);
    EXPECT_STREQ(all, "rest");
    EXPECT_EQ(len, 4);
    std::free(all);
}

TEST(IpWrite, TracesAndWireWithMask) {
    std::string dir = make_temp_dir();
    std::string log = dir + "/wire";
    peer_process p;
    int port = start_script_peer(p, R"([{"read_until":"QUIT\r\n"},{"send":"221 bye\r\n"}])", log);
    auto c = connect_local(port);
    trace_log t;
    t.attach(c.get(), ip_f_trace);
    uint8_t mask[4] = {};
    fmt_mask_set_bit(mask, 1, 1);
    EXPECT_EQ(ip_printf(c.get(), "EHLO %s\r\n", "client.example"), 1);
    EXPECT_EQ(ip_printf_masked(c.get(), mask, "AUTH %s %s\r\n", "PLAIN", "c2VjcmV0"), 1);
    EXPECT_EQ(ip_puts(c.get(), "QUIT\r\n"), 1);
    const char* reply = ip_readline(c.get(), "\r\n", 2);
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(reply, "221 bye");
    ip_disconnect(c.get());
    ASSERT_TRUE(p.wait_exit(5000));
    EXPECT_EQ(read_file(log), "EHLO client.example\r\nAUTH PLAIN c2VjcmV0\r\nQUIT\r\n");
    std::vector<std::pair<int, std::string>> want = {
        {0, "EHLO client.example\r\n"},
        {0, "AUTH PLAIN ********\r\n"},
        {0, "QUIT\r\n"},
        {1, "221 bye\r\n"},
    };
    EXPECT_EQ(t.lines, want);
}

TEST(IpWrite, OutputIsCoalescedAndFlushedBeforeRead) {
    std::string dir = make_temp_dir();
    std::string log = dir + "/wire";
    peer_process p;
    int port = start_script_peer(p, R"([{"read_until":"END\r\n"},{"send":"250 ok\r\n"}])", log);
    auto c = connect_local(port);
    std::string expect;
    for (int i = 0; i < 500; ++i) {
        ip_printf(c.get(), "line %d\r\n", i);
        expect += "line " + std::to_string(i) + "\r\n";
    }
    ip_printf(c.get(), "END\r\n");
    expect += "END\r\n";
    EXPECT_EQ(c->out_pending, expect);  // 5 KB held for one block
    ASSERT_NE(ip_readline(c.get(), "\r\n", 2), nullptr);
    EXPECT_EQ(c->out_pending, "");
    ip_disconnect(c.get());
    ASSERT_TRUE(p.wait_exit(5000));
    EXPECT_EQ(read_file(log), expect);
}

TEST(IpWrite, TraceOfSocketCallsShowsEverySend) {
    std::string dir = make_temp_dir();
    std::string log = dir + "/wire";
    peer_process p;
    int port = start_script_peer(p, R"([{"read_until":"QUIT\r\n"},{"send":"221 bye\r\n"}])", log);
    auto c = connect_local(port);
    trace_log t;
    t.attach(c.get(), ip_f_trace_io);
    uint8_t mask[4] = {};
    fmt_mask_set_bit(mask, 0, 1);
    ip_printf(c.get(), "EHLO %s\r\n", "client.example");
    ip_printf_masked(c.get(), mask, "AUTH PLAIN %s\r\n", "c2VjcmV0");
    ip_printf(c.get(), "QUIT\r\n");
    ASSERT_NE(ip_readline(c.get(), "\r\n", 2), nullptr);
    // ip_printf sends, then traces; the masked form traces first.
    std::vector<std::pair<int, std::string>> want = {
        {-1, "send() sent 21 bytes\n"}, {0, "EHLO client.example\r\n"},
        {0, "AUTH PLAIN ********\r\n"}, {-1, "send() sent 21 bytes\n"},
        {-1, "send() sent 6 bytes\n"},  {0, "QUIT\r\n"},
    };
    ASSERT_GE(t.lines.size(), want.size());
    EXPECT_EQ(decltype(want)(t.lines.begin(), t.lines.begin() + want.size()), want);
    EXPECT_EQ(t.lines.back(), std::make_pair(1, std::string("221 bye\r\n")));
    ip_disconnect(c.get());
    ASSERT_TRUE(p.wait_exit(5000));
    EXPECT_EQ(read_file(log), "EHLO client.example\r\nAUTH PLAIN c2VjcmV0\r\nQUIT\r\n");
}

// The message writers cut their text anywhere (the stuffing ".", the
// engine's pieces): the trace shows each line once, whole. Under bit 4 the
// output stays collected; under bit 8 each line goes out in one send before
// it is traced. A line left open is traced before the next command.
TEST(IpWrite, MessageTextIsTracedLineByLine) {
    const std::vector<std::string> pieces = {"Subj",      "ect: a\r\n", ".",    ".dot\r\n",
                                             "one\r\ntw", "o\r\n.",     "\r\n", "open"};
    const std::string wire = "Subject: a\r\n..dot\r\none\r\ntwo\r\n.\r\nopen.\r\n";
    for (uint32_t bits : {uint32_t{ip_f_trace}, uint32_t{ip_f_trace_io}}) {
        SCOPED_TRACE(bits);
        std::string log = make_temp_dir() + "/wire";
        peer_process p;
        int port =
            start_script_peer(p, R"([{"read_until":"open.\r\n"},{"send":"250 ok\r\n"}])", log);
        auto c = connect_local(port);
        trace_log t;
        t.attach(c.get(), bits);
        for (const auto& piece : pieces) ip_msg_out(c.get(), piece.data(), piece.size());
        if (bits == ip_f_trace) {
            EXPECT_EQ(c->out_pending, wire.substr(0, wire.size() - 3));  // nothing sent yet
        }
        ip_printf(c.get(), ".\r\n");
        ASSERT_NE(ip_readline(c.get(), "\r\n", 2), nullptr);
        std::vector<std::pair<int, std::string>> sent;
        for (const auto& line : t.lines) {
            if (line.first == 0 || line.first == 1 || line.second.rfind("send()", 0) == 0)
                sent.push_back(line);
        }
        std::vector<std::pair<int, std::string>> want = {
            {0, "Subject: a\r\n"}, {0, "..dot\r\n"}, {0, "one\r\n"}, {0, "two\r\n"},
            {0, ".\r\n"},          {0, "open"},      {0, ".\r\n"},   {1, "250 ok\r\n"}};
        if (bits == ip_f_trace_io) {
            const char* sends[] = {"send() sent 12 bytes\n", "send() sent 7 bytes\n",
                                   "send() sent 5 bytes\n",  "send() sent 5 bytes\n",
                                   "send() sent 3 bytes\n",  "send() sent 4 bytes\n",
                                   "send() sent 3 bytes\n"};
            for (size_t i = 0; i < std::size(sends); ++i)
                want.insert(want.begin() + static_cast<long>(2 * i), {-1, sends[i]});
        }
        EXPECT_EQ(sent, want);
        ip_disconnect(c.get());
        ASSERT_TRUE(p.wait_exit(5000));
        EXPECT_EQ(read_file(log), wire);
    }
}

TEST(IpWrite, CollectedOutputIsSentOnDisconnect) {
    std::string dir = make_temp_dir();
    std::string log = dir + "/wire";
    peer_process p;
    int port = start_script_peer(p, "[]", log);
    auto c = connect_local(port);
    std::string big(3 * ip_out_block + 17, 'm');
    ip_printf(c.get(), "%s", big);
    ip_printf(c.get(), "QUIT\r\n");
    ip_disconnect(c.get());
    ASSERT_TRUE(p.wait_exit(5000));
    EXPECT_EQ(read_file(log), big + "QUIT\r\n");
}

TEST(IpWrite, ClosedPeerIsAFailedWriteNotADeadProcess) {
    peer_process p;
    int port = start_script_peer(p, R"([{"close":true}])", "");
    auto c = connect_local(port);
    EXPECT_EQ(ip_readline(c.get(), "\r\n", 2), nullptr);
    std::string block(65536, 'w');
    int result = 1;
    for (int i = 0; i < 50 && result; ++i) result = ip_write(c.get(), block.data(), 65536);
    EXPECT_EQ(result, 0);
    EXPECT_NE(c->last_error, 0);
    EXPECT_EQ(ip_write(c.get(), "x", 0), 0);
    EXPECT_EQ(ip_printf(c.get(), "still %s\r\n", "alive"), 1);
    EXPECT_EQ(ip_printf(nullptr, "x"), 0);
}

// The failure stays with the connection until it ends; the next one on the
// same object starts clean and carries its bytes whole.
TEST(IpWrite, FailureLastsUntilTheConnectionEnds) {
    peer_process gone;
    int port = start_script_peer(gone, R"([{"close":true}])", "");
    auto c = connect_local(port);
    EXPECT_EQ(ip_write_failed(c.get()), 0);
    EXPECT_EQ(ip_readline(c.get(), "\r\n", 2), nullptr);
    std::string block(65536, 'w');
    while (ip_write(c.get(), block.data(), 65536)) {
    }
    EXPECT_EQ(ip_write_failed(c.get()), 1);
    EXPECT_EQ(ip_write_str(c.get(), "x"), 0);
    ip_printf(c.get(), "%s", block);
    EXPECT_EQ(c->out_pending, "");  // nothing is collected for a failed connection
    EXPECT_EQ(ip_flush(c.get()), 0);
    ip_disconnect(c.get());
    EXPECT_EQ(ip_write_failed(c.get()), 0);

    std::string log = make_temp_dir() + "/wire";
    peer_process next;
    port = start_script_peer(next, R"([{"read_until":"QUIT\r\n"},{"send":"221 bye\r\n"}])", log);
    ASSERT_NE(ip_connect(c.get(), "127.0.0.1", port), 0);
    EXPECT_EQ(ip_write_str(c.get(), "EHLO x\r\n"), 8);
    ip_printf(c.get(), "QUIT\r\n");
    const char* reply = ip_readline(c.get(), "\r\n", 2);
    ASSERT_NE(reply, nullptr);
    EXPECT_STREQ(reply, "221 bye");
    EXPECT_EQ(ip_write_failed(c.get()), 0);
    ip_disconnect(c.get());
    ASSERT_TRUE(next.wait_exit(5000));
    EXPECT_EQ(read_file(log), "EHLO x\r\nQUIT\r\n");
}

// A message body as the writers send it: 131072 numbered lines of 75 bytes,
// one ip_printf each, so a lost or repeated block shows wherever it is.
constexpr int stream_lines = 131072;
const std::string& line_body() {
    static const std::string body = [] {
        std::string b;
        for (int i = 0; i < 64; ++i) b += static_cast<char>('A' + i % 26);
        return b;
    }();
    return body;
}
const std::string& stream_text() {
    static const std::string text = [] {
        std::string all;
        char line[80];
        for (int i = 0; i < stream_lines; ++i) {
            std::snprintf(line, sizeof line, "%08d %s\r\n", i, line_body().c_str());
            all += line;
        }
        return all;
    }();
    return text;
}

struct stall_case {
    const char* name;
    bool tls;
    // The peer's script after the handshake: it stops reading for longer
    // than the writer's time-out.
    const char* script;
    // The peer reads again while the connection is still up, and answers.
    bool resumes;
};

TEST(IpWrite, StalledPeerCostsOneTimeOutAndGetsNoHole) {
    const stall_case cases[] = {
        {"pauses past the time-out, then reads and answers", false,
         R"({"sleep":2.5},{"drain":0.5},{"send":"451 cut short\r\n"})", true},
        {"reads nothing until the writer is gone", false, R"({"sleep":4})", false},
        {"over TLS: pauses, then reads and answers", true,
         R"({"sleep":2.5},{"drain":0.5},{"send":"451 cut short\r\n"})", true},
        {"over TLS: reads nothing until the writer is gone", true, R"({"sleep":4})", false},
    };
    const std::string& stream = stream_text();
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        std::string log = make_temp_dir() + "/wire";
        std::string script = "[";
        if (k.tls)
            script += R"({"tls":[")" + pki().self_cert + R"(",")" + pki().self_key + R"("]},)";
        script += std::string(k.script) + "]";
        peer_process p;
        int port = start_script_peer(p, script, log);
        ASSERT_NE(port, 0);
        auto c = connect_local(port, 10000, 1);
        if (k.tls) {
            // The configuration of this start, not one left by another test.
            if (ip_tls_client_config) tls_config_free(ip_tls_client_config);
            ip_tls_client_config = nullptr;
            const char* err = nullptr;
            ASSERT_EQ(ip_tls_start(c.get(), 0, &err, "localhost", 0, nullptr, nullptr), 1)
                << (err ? err : "");
        }
        const auto start = clock_type::now();
        int not_one = 0;
        char number[16];
        for (int i = 0; i < stream_lines; ++i) {
            std::snprintf(number, sizeof number, "%08d", i);
            if (ip_printf(c.get(), "%s %s\r\n", number, line_body()) != 1) ++not_one;
        }
        EXPECT_EQ(not_one, 0);  // the formatted writes keep their result
        const auto took = clock_type::now() - start;
        EXPECT_EQ(ip_write_failed(c.get()), 1);
        // One wait of one second, not one per block.
        EXPECT_GE(took, std::chrono::milliseconds(900));
        EXPECT_LT(took, std::chrono::milliseconds(1900));

        if (k.resumes) {
            // Past the pause the peer takes bytes again; none may follow the cut.
            std::this_thread::sleep_until(start + std::chrono::milliseconds(3500));
            ip_printf(c.get(), "tail after the pause\r\n.\r\n");
            EXPECT_EQ(ip_write_failed(c.get()), 1);
            // Reading still works: the peer's answer arrives.
            ip_set_timeout(c.get(), 10);
            const char* reply = ip_readline(c.get(), "\r\n", 2);
            ASSERT_NE(reply, nullptr);
            EXPECT_STREQ(reply, "451 cut short");
        }
        const auto closing = clock_type::now();
        ip_disconnect(c.get());
        EXPECT_LT(clock_type::now() - closing, std::chrono::milliseconds(500));
        ASSERT_TRUE(p.wait_exit(10000));

        std::string got = read_file(log);
        EXPECT_GT(got.size(), 0u);
        EXPECT_LT(got.size(), stream.size());
        // A prefix of the stream and nothing after it.
        size_t same = 0;
        while (same < got.size() && same < stream.size() && got[same] == stream[same]) ++same;
        EXPECT_EQ(same, got.size()) << "received " << got.size() << " bytes, differing at " << same
                                    << " (line " << same / 75 << ")";
    }
}

// A wait whose poll fails ends the read; it must not try again at once
// forever. The poll fails here because no descriptor may be open at all.
TEST(IpRawRead, FailedPollEndsTheRead) {
    peer_process p;
    int port = start_script_peer(p, R"([{"sleep":1.5},{"send":"late\r\n"},{"hold":3}])", "");
    auto c = connect_local(port, 1000, 30);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit none = old;
    none.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    char dst[64];
    const auto start = clock_type::now();
    int n = ip_raw_read(c.get(), dst, sizeof dst);
    const auto took = clock_type::now() - start;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(n, 0);
    EXPECT_LT(took, std::chrono::milliseconds(500));
    EXPECT_FALSE(ip_timed_out(c.get()));  // an error, not a time-out
}

TEST(IpWrite, TraceOfSocketCalls) {
    peer_process p;
    int port = start_script_peer(p, R"([{"read_until":"\r\n"},{"send":"ok\r\n"}])", "");
    auto c = connect_local(port);
    trace_log t;
    t.attach(c.get(), ip_f_trace_io);
    EXPECT_EQ(ip_write_str(c.get(), "NOOP\r\n"), 6);
    ASSERT_NE(ip_readline(c.get(), "\r\n", 2), nullptr);
    EXPECT_TRUE(t.has(-1, "send() sent 6 bytes\n"));
    EXPECT_TRUE(t.has(-1, "recv() read 4 bytes\n"));
    EXPECT_TRUE(t.has(1, "ok\r\n"));
}

}  // namespace
}  // namespace ostrel
