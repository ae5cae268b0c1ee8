// Listening, accepting and single datagrams on loopback, with Python's socket
// module as the other side where a second implementation matters.
#include "net/listen.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "net/io.hpp"
#include "net/udp.hpp"
#include "net_peers.hpp"
#include "platform/socket.hpp"

namespace ostrel {
namespace {

using namespace test;
using clock_type = std::chrono::steady_clock;

unsigned local_port(ip_conn* c) {
    char buf[64];
    unsigned port = 0;
    EXPECT_NE(ip_local_address(c, buf, sizeof buf, &port), nullptr);
    return port;
}

bool blocking(int sock) {
    return (fcntl(sock, F_GETFL) & O_NONBLOCK) == 0;
}

// A datagram socket that ip_bind made on 127.0.0.1: it blocks.
ip_conn_ptr bound_udp(int wait_flags = ip_f_wait) {
    ip_conn_ptr c(ip_conn_new(ip_datagram, 0, wait_flags));
    EXPECT_TRUE(c);
    if (!c) return c;
    EXPECT_EQ(ip_bind(c.get(), "127.0.0.1", 0), 1);
    EXPECT_TRUE(blocking(c->sock));
    c->timeout_ms = 2000;
    return c;
}

// A datagram connection that ip_connect made to port: it does not block.
ip_conn_ptr udp_to(unsigned port, int wait_flags = ip_f_wait) {
    ip_conn_ptr c(ip_conn_new(ip_datagram, 0, wait_flags));
    EXPECT_TRUE(c);
    if (!c) return c;
    EXPECT_EQ(ip_connect(c.get(), "127.0.0.1", static_cast<int>(port)), 1);
    EXPECT_FALSE(blocking(c->sock));
    return c;
}

TEST(IpUdp, DatagramsUpTo548BytesArriveWhole) {
    ip_conn_ptr rx = bound_udp();
    ip_conn_ptr tx = udp_to(local_port(rx.get()));
    for (int len : {1, 100, 548}) {
        std::string data(static_cast<size_t>(len), '\0');
        for (int i = 0; i < len; ++i) data[static_cast<size_t>(i)] = static_cast<char>(i * 7 + 1);
        ASSERT_EQ(ip_udp_send(tx.get(), data.data(), len, nullptr, 0), len);
        char buf[ip_udp_max + 16];
        sockaddr_storage from{};
        int from_len = 0;
        ASSERT_EQ(ip_udp_recv(rx.get(), buf, &from, &from_len), len);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), data);
        EXPECT_EQ(from.ss_family, AF_INET);
        EXPECT_EQ(from_len, static_cast<int>(sizeof(sockaddr_in)));
        EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in&>(from).sin_port), local_port(tx.get()));
    }
    // 549 bytes are refused and nothing leaves.
    std::string big(549, 'x');
    EXPECT_EQ(ip_udp_send(tx.get(), big.data(), 549, nullptr, 0), 0);
    rx->timeout_ms = 300;
    EXPECT_EQ(ip_poll(rx.get(), POLLIN), 0);
    // An explicit address goes before the connection's own.
    ip_conn_ptr other = bound_udp();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(local_port(other.get())));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(ip_udp_send(tx.get(), "to", 2, &to, sizeof to), 2);
    char buf[ip_udp_max];
    sockaddr_storage from{};
    int from_len = 0;
    EXPECT_EQ(ip_udp_recv(other.get(), buf, &from, &from_len), 2);
    EXPECT_EQ(ip_poll(rx.get(), POLLIN), 0);
}

TEST(IpUdp, LongerDatagramFromPythonIsAFailure) {
    ip_conn_ptr rx = bound_udp();
    const unsigned port = local_port(rx.get());
    peer_process py;
    ASSERT_TRUE(py.start({"/usr/bin/python3", "-c",
                          "import socket, sys\n"
                          "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                          "a = ('127.0.0.1', int(sys.argv[1]))\n"
                          "s.sendto(b'L' * 549, a)\n"
                          "s.sendto(b'S' * 548, a)\n"
                          "print('sent', flush=True)\n",
                          std::to_string(port)},
                         20));
    ASSERT_TRUE(py.wait_exit(10000)) << py.output();
    char buf[ip_udp_max];
    sockaddr_storage from{};
    int from_len = 0;
    EXPECT_EQ(ip_udp_recv(rx.get(), buf, &from, &from_len), 0);
    EXPECT_EQ(rx->last_error, EMSGSIZE);
    // The long one is gone; the next arrives whole.
    EXPECT_EQ(ip_udp_recv(rx.get(), buf, &from, &from_len), 548);
    EXPECT_EQ(std::string(buf, 548), std::string(548, 'S'));
}

TEST(IpUdp, ReceiveOnASilentSocket) {
    ip_conn_ptr rx = bound_udp();
    // Only the non-blocking socket of a connect can time out.
    ip_conn_ptr waiting = udp_to(local_port(rx.get()), ip_f_wait);
    waiting->timeout_ms = 300;
    char buf[ip_udp_max];
    sockaddr_storage from{};
    int from_len = 0;
    auto start = clock_type::now();
    EXPECT_EQ(ip_udp_recv(waiting.get(), buf, &from, &from_len), 0);
    auto waited = clock_type::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_TRUE(plat_sock_would_block(static_cast<int>(waiting->last_error)));

    // Without the wait bit it gives up at once.
    ip_conn_ptr quick = udp_to(local_port(rx.get()), 0);
    quick->timeout_ms = 5000;
    start = clock_type::now();
    EXPECT_EQ(ip_udp_recv(quick.get(), buf, &from, &from_len), 0);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(1));

    // A datagram that comes during the wait is taken. Binding the socket
    // the connect made keeps it non-blocking.
    ASSERT_EQ(ip_bind(waiting.get(), "127.0.0.1", 0), 1);
    EXPECT_FALSE(blocking(waiting->sock));
    waiting->timeout_ms = 5000;
    ip_conn_ptr tx = udp_to(local_port(waiting.get()));
    ASSERT_EQ(ip_udp_send(tx.get(), "late", 4, nullptr, 0), 4);
    EXPECT_EQ(ip_udp_recv(waiting.get(), buf, &from, &from_len), 4);
}

TEST(IpUdp, FailedSendGivesACodeAboveTheLargestCount) {
    ip_conn_ptr c(ip_conn_new(ip_datagram, 0, 0));
    ASSERT_TRUE(c);
    // No socket at all.
    EXPECT_EQ(ip_udp_send(c.get(), "x", 1, nullptr, 0), ip_udp_error_base + EBADF);
    // A socket without any destination.
    ASSERT_EQ(ip_bind(c.get(), "127.0.0.1", 0), 1);
    int r = ip_udp_send(c.get(), "x", 1, nullptr, 0);
    EXPECT_EQ(r, ip_udp_error_base + EDESTADDRREQ);
    EXPECT_GT(r, ip_udp_max);
}

TEST(IpBind, ResolvesForTheConnectionsTypeAndFamily) {
    // Without a host: the wildcard address of the family.
    for (int family : {4, 6}) {
        ip_conn_ptr c(ip_conn_new(ip_datagram, 0, 0));
        ASSERT_TRUE(c);
        c->family = family;
        ASSERT_EQ(ip_bind(c.get(), nullptr, 0), 1) << family;
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        ASSERT_EQ(getsockname(c->sock, reinterpret_cast<sockaddr*>(&ss), &len), 0);
        EXPECT_EQ(ss.ss_family, family == 4 ? AF_INET : AF_INET6);
        int type = 0;
        socklen_t tlen = sizeof type;
        getsockopt(c->sock, SOL_SOCKET, SO_TYPE, &type, &tlen);
        EXPECT_EQ(type, SOCK_DGRAM);
    }
    // A host picks its own family, whatever the connection's.
    ip_conn_ptr c(ip_conn_new(ip_stream, 64, 0));
    ASSERT_TRUE(c);
    c->family = 6;
    ASSERT_EQ(ip_bind(c.get(), "127.0.0.1", 0), 1);
    char buf[64];
    EXPECT_STREQ(ip_local_address(c.get(), buf, sizeof buf, nullptr), "127.0.0.1");
    // A port in use and a name that does not resolve fail.
    ip_conn_ptr again(ip_conn_new(ip_stream, 64, 0));
    EXPECT_EQ(ip_bind(again.get(), "127.0.0.1", static_cast<int>(local_port(c.get()))), 0);
    ip_conn_ptr nowhere(ip_conn_new(ip_stream, 64, 0));
    EXPECT_EQ(ip_bind(nowhere.get(), "no-such-host.invalid", 0), 0);
    EXPECT_EQ(nowhere->sock, -1);
}

TEST(IpListen, AcceptsAPythonClientThatThenTalks) {
    ip_conn_ptr listener(ip_conn_new(ip_stream, 64, ip_f_wait));
    ASSERT_TRUE(listener);
    ASSERT_EQ(ip_bind(listener.get(), "127.0.0.1", 0), 1);
    ASSERT_EQ(ip_listen(listener.get()), 1);
    EXPECT_EQ(listener->listening, 1);
    const unsigned port = local_port(listener.get());

    peer_process py;
    ASSERT_TRUE(py.start({"/usr/bin/python3", "-c",
                          "import socket, sys\n"
                          "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])), 10)\n"
                          "s.sendall(b'HELLO there\\r\\n')\n"
                          "f = s.makefile('rb')\n"
                          "print(f.readline().decode().strip(), flush=True)\n",
                          std::to_string(port)},
                         20));
    // The wait says when accept will not block.
    listener->timeout_ms = 10000;
    ASSERT_GT(ip_poll(listener.get(), POLLIN), 0);
    ip_conn_ptr conn(ip_accept(listener.get(), 10000, ip_f_wait));
    ASSERT_TRUE(conn);
    EXPECT_FALSE(blocking(conn->sock));
    EXPECT_NE(fcntl(conn->sock, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_TRUE(blocking(listener->sock));
    EXPECT_EQ(conn->peer_addr.ss_family, AF_INET);
    EXPECT_EQ(conn->peer_addr_len, static_cast<int>(sizeof(sockaddr_in)));
    conn->timeout_ms = 10000;

    EXPECT_GT(ip_poll(conn.get(), POLLIN), 0);
    char* line = ip_readline(conn.get(), "\r\n", 0);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "HELLO there");
    ASSERT_EQ(ip_write_str(conn.get(), "WELCOME back\r\n"), 14);
    ASSERT_EQ(ip_flush(conn.get()), 1);
    EXPECT_TRUE(py.wait_output("WELCOME back\n", 10000)) << py.output();
    EXPECT_EQ(py.output(), "WELCOME back\n");
    EXPECT_TRUE(py.wait_exit(10000));

    // A closed socket accepts nothing.
    ip_conn_ptr idle(ip_conn_new(ip_stream, 64, 0));
    EXPECT_EQ(ip_accept(idle.get(), 64, 0), nullptr);
}

}  // namespace
}  // namespace ostrel
