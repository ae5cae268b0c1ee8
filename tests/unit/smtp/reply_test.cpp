#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "model/handle.hpp"
#include "net/conn.hpp"
#include "smtp/smtp.hpp"

namespace ostrel {
namespace {

TEST(SmtpReadLine, LinesThenEndClearsConnected) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ip_conn_ptr conn(ip_conn_new(ip_stream, 1024, ip_f_wait));
    ASSERT_NE(conn, nullptr);
    conn->sock = fds[0];
    const char replies[] = "250-first\r\n250 second\r\n";
    ASSERT_EQ(write(fds[1], replies, sizeof replies - 1), static_cast<ssize_t>(sizeof replies - 1));
    close(fds[1]);
    mail_handle h;
    h.conn = conn.get();
    h.flags = mail_f_connected;
    const char* line = smtp_read_line(&h);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "250-first");
    EXPECT_STREQ(smtp_read_line(&h), "250 second");
    EXPECT_EQ(h.flags & mail_f_connected, mail_f_connected);
    EXPECT_EQ(smtp_read_line(&h), nullptr);
    EXPECT_EQ(h.flags & mail_f_connected, 0u);
    h.conn = nullptr;
}

}  // namespace
}  // namespace ostrel
