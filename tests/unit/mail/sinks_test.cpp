// One message composed through every sink the program has: File mode's
// stream, a growable string and the connection. Every sink must receive the
// same bytes, NUL bytes included, and dot-stuffing must be a property of the
// stream, not of the writers.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "mail/file_mode.hpp"
#include "mail/mail.hpp"
#include "message/compose.hpp"
#include "message/compose_fixture.hpp"
#include "net/conn.hpp"
#include "net/io.hpp"
#include "support/tool_run.hpp"

namespace ostrel {
namespace {

using compose_test::scratch_dir;

class sinks_case : public ::testing::Test {
  protected:
    scratch_dir dir;
    mail_handle h;
    mail_raw_part raw{};
    std::string raw_text;

    void SetUp() override {
        h.mode = mail_mode_file;
        h.msg_time = 1700000000;
        h.message_id = "<fixed@example.org>";
        h.boundary_mixed = "MIXED";
        h.boundary_alt = "ALT";
        h.boundary_related = "REL";
        h.from_addr = "me@example.org";
        h.to.push_back({"you@example.org", std::nullopt, 0});
        h.subject = "sinks";
        h.headers.push_back({".X-Dot", "y"});
        h.body = ".first\r\nplain\r\n.\r\n..two\r\n";
        raw_text = "Content-Type: text/plain\r\n\r\nraw\r\n.\r\n.raw end\r\n";
        raw.text = raw_text.c_str();
        raw.length = raw_text.size();
        h.raw_part = &raw;
        const char eml[] = "Subject: fwd\r\n\r\n.dot\r\nnul\0byte\r\n.\r\n";
        add("fwd.eml", std::string(eml, sizeof eml - 1), mime_enc_auto);
        std::string binary(1 << 20, '\0');
        for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7 + i / 251);
        add("data.bin", binary, mime_enc_base64);
    }
    void add(const std::string& name, const std::string& content, uint32_t encoding) {
        compose_test::add_attachment(h, dir, name, content, encoding, 0);
    }
    void stuffing(bool on) {
        if (on)
            h.flags2 |= mail_f2_dotstuff;
        else
            h.flags2 &= ~mail_f2_dotstuff;
    }

    std::string through_str_buf() {
        return compose_test::capture(
            [&](msg_out_cb out, void* ctx) { mime_compose(&h, out, ctx); });
    }
    std::string through_stream() {
        FILE* f = std::tmpfile();
        mime_compose(&h, fmt_sink_file, f);
        EXPECT_EQ(std::ferror(f), 0);
        std::rewind(f);
        std::string out;
        char block[65536];
        for (size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) out.append(block, n);
        std::fclose(f);
        return out;
    }
    // The connection's sink, over a socket whose other end reads everything.
    std::string through_connection() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        std::string received;
        std::thread reader([&] {
            char block[65536];
            for (ssize_t n; (n = ::read(fds[1], block, sizeof block)) > 0;)
                received.append(block, static_cast<size_t>(n));
            ::close(fds[1]);
        });
        ip_conn_ptr c(ip_conn_new(ip_stream, 1024, ip_f_wait));
        c->sock = fds[0];
        c->timeout_ms = 5000;
        mime_compose(&h, ip_msg_out, c.get());
        EXPECT_EQ(ip_flush(c.get()), 1);
        ::shutdown(fds[0], SHUT_WR);
        reader.join();
        return received;
    }
    std::string through_file_mode(bool dotstuff) {
        h.output_file = dir.file(dotstuff ? "stuffed.eml" : "plain.eml", "");
        if (dotstuff)
            h.flags |= mail_f_dotstuff_file;
        else
            h.flags &= ~mail_f_dotstuff_file;
        int status = -1;
        EXPECT_EQ(mail_write_output_file(&h, &status), 1);
        EXPECT_EQ(status, mail_file_ok);
        return test::read_file(*h.output_file);
    }
};

TEST_F(sinks_case, EverySinkReceivesTheSameBytes) {
    for (bool stuff : {false, true}) {
        SCOPED_TRACE(stuff ? "dot-stuffed" : "as composed");
        stuffing(stuff);
        const std::string m = through_str_buf();
        ASSERT_GT(m.size(), 1u << 20);
        EXPECT_NE(m.find(std::string("nul\0byte", 8)), std::string::npos) << "a NUL byte was lost";
        EXPECT_EQ(through_stream(), m);
        EXPECT_EQ(through_connection(), m);
        EXPECT_EQ(through_file_mode(stuff), m);
    }
}

TEST_F(sinks_case, StuffingIsAPropertyOfTheStream) {
    stuffing(false);
    const std::string plain = through_str_buf();
    stuffing(true);
    const std::string stuffed = through_str_buf();
    EXPECT_EQ(compose_test::unstuffed(stuffed), plain);
    // Every line that began with "." now begins with "..": the custom field,
    // the text body, the raw part and the 7bit message part alike.
    for (const char* line : {"\r\n..X-Dot: y\r\n", "\r\n...two\r\n", "\r\n..first\r\n",
                             "\r\n..\r\n..raw end\r\n", "\r\n..dot\r\n"})
        EXPECT_NE(stuffed.find(line), std::string::npos) << line;
    size_t at = 0;
    for (size_t p; (p = stuffed.find("\n.", at)) != std::string::npos; at = p + 1)
        EXPECT_EQ(stuffed[p + 2], '.') << "a line still begins with a lone dot at " << p;
    EXPECT_EQ(stuffed.find("\r\n.\r\n"), std::string::npos) << "the stream would end early";
}

}  // namespace
}  // namespace ostrel
