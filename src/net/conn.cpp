#include "net/conn.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <tls.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "net/io.hpp"
#include "net/trace.hpp"
#include "platform/socket.hpp"
#include "support/str.hpp"

namespace ostrel {

static int ip_initialised = 0;

void ip_tls_deleter::operator()(struct tls* t) const {
    tls_free(t);
}

void ip_conn_deleter::operator()(ip_conn* c) const {
    ip_disconnect(c);
    ip_conn_free(c);
}

bool ip_tracing(const ip_conn* c, bool io) {
    if (!c || !c->trace_fn) return false;
    return (c->flags & (io ? ip_f_trace_io : (ip_f_trace | ip_f_trace_io))) != 0;
}

void ip_tls_global_init();  // tls.cpp

int ip_init(int with_tls) {
    if (ip_initialised) return 1;
    // A peer that closes must show as a failed write, not end the process.
    plat_sock_ignore_sigpipe();
    if (with_tls) ip_tls_global_init();
    ip_initialised = 1;
    return 1;
}

void ip_cleanup() {}

ip_conn* ip_conn_new(int type, int buf_size, int flags) {
    try {
        auto c = std::make_unique<ip_conn>();
        c->type = type;
        if (type == ip_stream) {
            if (buf_size < 1) return nullptr;
            c->storage.resize(static_cast<size_t>(buf_size));
            c->buf_size = buf_size;
            c->buf = c->storage.data();
            c->read_ptr = c->buf;
        }
        c->sock = -1;
        c->timeout_ms = ip_default_timeout_ms;
        c->flags = static_cast<uint32_t>(flags) & ip_f_wait;
        return c.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int ip_conn_free(ip_conn* c) {
    if (!c) return 0;
    std::unique_ptr<ip_conn> owned(c);
    return 1;
}

int ip_conn_set_family(ip_conn* c, int family) {
    if (!c) return 0;
    c->family = family;
    return family == 4 || family == 6 ? 1 : 0;
}

void ip_set_timeout(ip_conn* c, int seconds) {
    if (!c) return;
    // The signed 32-bit product of the platform, without overflow in C++.
    c->timeout_ms = static_cast<int>(static_cast<uint32_t>(seconds) * 1000u);
}

namespace {

struct addrinfo_deleter {
    void operator()(addrinfo* a) const { freeaddrinfo(a); }
};

}  // namespace

int ip_resolve_first(const char* host, int port, int want, int socktype, sockaddr_storage* out,
                     int* len, int* found) {
    addrinfo hints{};
    hints.ai_family = want == 4 ? AF_INET : want == 6 ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = socktype;
    if (!host) hints.ai_flags = AI_PASSIVE;
    char port_text[16];
    str_sprintf(port_text, sizeof port_text, "%d", port);
    addrinfo* res = nullptr;
    if (getaddrinfo(host, port_text, &hints, &res) != 0 || !res) return 0;
    std::unique_ptr<addrinfo, addrinfo_deleter> owned(res);
    size_t n = res->ai_addrlen;
    if (n > sizeof *out) n = sizeof *out;
    std::memset(out, 0, sizeof *out);
    std::memcpy(out, res->ai_addr, n);
    *len = static_cast<int>(n);
    *found = res->ai_family == AF_INET ? 4 : 6;
    return 1;
}

namespace {

void trace_connect(ip_conn* c, int rc) {
    if (!ip_tracing(c, true)) return;
    if (rc != 0) {
        ip_tracef(c, -1, "connect() failed with %d\n", rc);
        return;
    }
    char local[64], peer[64];
    unsigned lport = 0, pport = 0;
    ip_local_address(c, local, sizeof local, &lport);
    ip_peer_address(c, peer, sizeof peer, &pport);
    ip_tracef(c, -1, "connect() successful ([%s]:%d -> [%s]:%d)\n", local, static_cast<int>(lport),
              peer, static_cast<int>(pport));
}

// Waits for a connect in progress; the socket's pending error decides.
int wait_connected(ip_conn* c) {
    if (plat_sock_poll(c->sock, POLLOUT, c->timeout_ms) <= 0) return 0;
    return plat_sock_pending_error(c->sock) == 0 ? 1 : 0;
}

}  // namespace

int ip_resolve(const char* host, int port, int* family, void* addr, int* len) {
    sockaddr_storage ss{};
    int n = 0, found = 0;
    if (!ip_resolve_first(host, port, family ? *family : 0, SOCK_STREAM, &ss, &n, &found)) return 0;
    std::memcpy(addr, &ss, sizeof ss);
    if (len) *len = n;
    if (family) *family = found;
    return 1;
}

int ip_resolve_conn(ip_conn* c, const char* host, int port) {
    int found = 0;
    int socktype = c->type == ip_datagram ? SOCK_DGRAM : SOCK_STREAM;
    if (!ip_resolve_first(host, port, c->family, socktype, &c->addr, &c->addr_len, &found))
        return 0;
    c->family = found;
    return 1;
}

int ip_socket_create(ip_conn* c) {
    c->sock = plat_sock_open(c->family == 4 ? AF_INET : AF_INET6,
                             c->type == ip_stream ? SOCK_STREAM : SOCK_DGRAM);
    if (c->sock < 0) return 0;
    return plat_sock_set_nonblocking(c->sock);
}

int ip_connect(ip_conn* c, const char* host, int port) {
    if (!c) return 0;
    // A new connection owes nothing to the output of the last one.
    c->write_failed = 0;
    c->timed_out = 0;
    c->out_pending.clear();
    c->trace_line.clear();
    if (!ip_resolve_conn(c, host, port)) return 0;
    if (c->sock == -1 && !ip_socket_create(c)) return 0;
    if (c->type == ip_stream) {
        int rc = plat_sock_connect(c->sock, reinterpret_cast<const sockaddr*>(&c->addr),
                                   static_cast<socklen_t>(c->addr_len));
        int err = rc ? plat_sock_error() : 0;
        trace_connect(c, rc);
        if (rc == 0) return -1;
        if (!plat_sock_in_progress(err)) return 0;
        // Without the wait bit the caller waits itself.
        if (!(c->flags & ip_f_wait)) return -1;
        return wait_connected(c);
    }
    if (c->type == ip_datagram) {
        if (c->broadcast) {
            int one = 1;
            setsockopt(c->sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        }
        return 1;
    }
    return -1;
}

void ip_tls_close(ip_conn* c);  // tls.cpp

void ip_disconnect(ip_conn* c) {
    if (!c || c->sock == -1) return;
    ip_flush(c);
    c->read_ptr = c->buf;
    c->buf_fill = 0;
    if (c->tls) ip_tls_close(c);
    if (c->error_owned & 1) {
        c->error_text.reset();
        c->error_owned &= ~1u;
    }
    plat_sock_close(c->sock);
    c->sock = -1;
    c->write_failed = 0;
}

char* ip_addr_to_text(int af, const void* bytes, char* buf, int size) {
    if (size < 1) return buf;
    if (af == AF_INET) {
        in_addr a;
        std::memcpy(&a, bytes, sizeof a);
        str_copy(buf, inet_ntoa(a), static_cast<size_t>(size));
        return buf;
    }
    const auto* b = static_cast<const unsigned char*>(bytes);
    for (int g = 0; g < 8; ++g) {
        char part[8];
        str_sprintf(part, sizeof part, g ? ":%x" : "%x", (b[2 * g] << 8) | b[2 * g + 1]);
        str_append(buf, part, static_cast<size_t>(size));
    }
    return buf;
}

static char* address_text(const sockaddr_storage& ss, char* buf, int size, unsigned* port) {
    if (ss.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(ss);
        str_copy(buf, inet_ntoa(in.sin_addr), static_cast<size_t>(size));
        if (port) *port = ntohs(in.sin_port);
    } else {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(ss);
        ip_addr_to_text(AF_INET6, &in6.sin6_addr, buf, size);
        if (port) *port = ntohs(in6.sin6_port);
    }
    return buf;
}

char* ip_peer_address(ip_conn* c, char* buf, int size, unsigned* port) {
    if (!buf || size < 1) return nullptr;
    buf[0] = 0;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (!c || c->sock < 0 || getpeername(c->sock, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return nullptr;
    return address_text(ss, buf, size, port);
}

char* ip_local_address(ip_conn* c, char* buf, int size, unsigned* port) {
    if (!buf || size < 1) return nullptr;
    buf[0] = 0;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (!c || c->sock < 0 || getsockname(c->sock, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return nullptr;
    return address_text(ss, buf, size, port);
}

int ip_grow_buffer(ip_conn* c) {
    if (!c || c->buf_size <= 0 || c->buf_size > INT32_MAX / 2) return 0;
    try {
        c->storage.resize(static_cast<size_t>(c->buf_size) * 2);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    c->buf_size *= 2;
    c->buf = c->storage.data();
    c->read_ptr = c->buf;
    return c->buf_size;
}

int ip_noop() {
    return 1;
}

}  // namespace ostrel
