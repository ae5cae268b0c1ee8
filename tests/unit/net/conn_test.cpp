// Connection object, connect and address texts, against peers on 127.0.0.1.
#include "net/conn.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <regex>

#include "net_peers.hpp"

namespace ostrel {
namespace {

using namespace test;

TEST(IpAddrText, FormsOfBothFamilies) {
    struct {
        int af;
        const char* in;
        const char* text;
    } cases[] = {
        {AF_INET, "127.0.0.1", "127.0.0.1"},
        {AF_INET, "10.200.3.4", "10.200.3.4"},
        // Every group written, no "::" shortening, no dotted tail.
        {AF_INET6, "::1", "0:0:0:0:0:0:0:1"},
        {AF_INET6, "2001:db8::ff00:42:8329", "2001:db8:0:0:0:ff00:42:8329"},
        {AF_INET6, "::ffff:1.2.3.4", "0:0:0:0:0:ffff:102:304"},
    };
    for (const auto& k : cases) {
        unsigned char bytes[16];
        ASSERT_EQ(inet_pton(k.af, k.in, bytes), 1);
        char buf[64] = "";
        EXPECT_STREQ(ip_addr_to_text(k.af, bytes, buf, sizeof buf), k.text) << k.in;
    }
    unsigned char lo[16] = {};
    lo[15] = 1;
    char small[8] = "";
    EXPECT_STREQ(ip_addr_to_text(AF_INET6, lo, small, sizeof small), "0:0:0:0");  // cut, terminated
}

TEST(IpConn, NewFreeAndSettings) {
    ip_conn* c = ip_conn_new(ip_stream, 100, ip_f_wait | ip_f_trace | ip_f_would_block);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->sock, -1);
    EXPECT_EQ(c->flags, ip_f_wait);  // only the wait bit is taken
    EXPECT_EQ(c->timeout_ms, 300000);
    EXPECT_EQ(c->buf_size, 100);
    EXPECT_EQ(c->read_ptr, c->buf);
    ip_set_timeout(c, 30);
    EXPECT_EQ(c->timeout_ms, 30000);
    ip_set_timeout(nullptr, 30);
    EXPECT_EQ(ip_conn_set_family(c, 0), 0);
    EXPECT_EQ(ip_conn_set_family(c, 6), 1);
    ip_disconnect(c);  // no socket: nothing happens
    EXPECT_EQ(ip_conn_free(c), 1);
    EXPECT_EQ(ip_conn_free(nullptr), 0);

    ip_conn_ptr d(ip_conn_new(ip_datagram, 100, 0));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->buf, nullptr);
}

TEST(IpConnect, UnresolvableAndWrongFamilyFail) {
    ip_init(1);
    ip_conn_ptr c(ip_conn_new(ip_stream, 100, ip_f_wait));
    EXPECT_EQ(ip_connect(c.get(), "no-such-host.invalid", 25), 0);
    EXPECT_EQ(c->sock, -1);
    ip_conn_set_family(c.get(), 6);
    EXPECT_EQ(ip_connect(c.get(), "127.0.0.1", 25), 0);
    EXPECT_EQ(c->sock, -1);
}

TEST(IpConnect, RefusedFailsPromptlyWithTrace) {
    ip_init(1);
    refused_port closed;
    int port = closed.port();
    ip_conn_ptr c(ip_conn_new(ip_stream, 100, ip_f_wait));
    trace_log t;
    t.attach(c.get(), ip_f_trace_io);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ip_connect(c.get(), "127.0.0.1", port), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(t.joined(-1), "connect() failed with -1\n");
    EXPECT_EQ(c->family, 4);
}

TEST(IpConnect, ConnectsTracesAndGivesAddresses) {
    peer_process p;
    int port = start_script_peer(p, R"([{"send":"220 hi\r\n"}])", "");
    ASSERT_NE(port, 0);
    ip_init(1);
    ip_conn_ptr c(ip_conn_new(ip_stream, 100, ip_f_wait));
    trace_log t;
    t.attach(c.get(), ip_f_trace_io);
    int rc = ip_connect(c.get(), "127.0.0.1", port);
    EXPECT_TRUE(rc == 1 || rc == -1);
    // A connect in progress traces its -1, one done at once its addresses.
    std::regex done(R"(connect\(\) successful \(\[127\.0\.0\.1\]:\d+ -> \[127\.0\.0\.1\]:)" +
                    std::to_string(port) + "\\)\n");
    std::string text = t.joined(-1);
    EXPECT_TRUE(text == "connect() failed with -1\n" || std::regex_match(text, done)) << text;

    char buf[64];
    unsigned peer_port = 0, local_port = 0;
    EXPECT_STREQ(ip_peer_address(c.get(), buf, sizeof buf, &peer_port), "127.0.0.1");
    EXPECT_EQ(peer_port, static_cast<unsigned>(port));
    EXPECT_STREQ(ip_local_address(c.get(), buf, sizeof buf, &local_port), "127.0.0.1");
    EXPECT_NE(local_port, 0u);

    ip_disconnect(c.get());
    EXPECT_EQ(c->sock, -1);
    ip_disconnect(c.get());  // a second one does nothing
    buf[0] = 'x';
    EXPECT_EQ(ip_peer_address(c.get(), buf, sizeof buf, nullptr), nullptr);
    EXPECT_STREQ(buf, "");
}

TEST(IpConnect, Ipv6RefusedPromptly) {
    ip_init(1);
    ip_conn_ptr c(ip_conn_new(ip_stream, 100, ip_f_wait));
    ip_conn_set_family(c.get(), 6);
    ip_set_timeout(c.get(), 2);
    auto start = std::chrono::steady_clock::now();
    refused_port closed(6);
    int rc = ip_connect(c.get(), "::1", closed.port());
    EXPECT_EQ(rc, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(IpResolve, FirstAddressAndFamily) {
    sockaddr_storage ss{};
    int len = 0, family = 4;
    ASSERT_EQ(ip_resolve("127.0.0.1", 25, &family, &ss, &len), 1);
    EXPECT_EQ(family, 4);
    EXPECT_EQ(len, static_cast<int>(sizeof(sockaddr_in)));
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in&>(ss).sin_port), 25);
    family = 0;
    ASSERT_EQ(ip_resolve("::1", 587, &family, &ss, &len), 1);
    EXPECT_EQ(family, 6);
    EXPECT_EQ(ip_resolve("no-such-host.invalid", 25, nullptr, &ss, &len), 0);
}

TEST(IpConn, GrowBufferDoubles) {
    ip_conn_ptr c(ip_conn_new(ip_stream, 16, 0));
    std::memcpy(c->buf, "0123456789abcdef", 16);
    EXPECT_EQ(ip_grow_buffer(c.get()), 32);
    EXPECT_EQ(c->buf_size, 32);
    EXPECT_EQ(c->read_ptr, c->buf);
    EXPECT_EQ(std::string(c->buf, 16), "0123456789abcdef");
    EXPECT_EQ(ip_noop(), 1);
}

}  // namespace
}  // namespace ostrel
