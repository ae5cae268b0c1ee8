#include "net/listen.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/socket.hpp"

namespace ostrel {

int ip_poll(ip_conn* c, short events) {
    if (!c) return -1;
    return plat_sock_poll(c->sock, events, c->timeout_ms);
}

int ip_bind(ip_conn* c, const char* host, int port) {
    if (!c) return 0;
    // With a host the family is left open: the host's own address decides.
    const int socktype = c->type == ip_datagram ? SOCK_DGRAM : SOCK_STREAM;
    sockaddr_storage addr{};
    int len = 0, found = 0;
    if (!ip_resolve_first(host, port, host ? 0 : c->family, socktype, &addr, &len, &found))
        return 0;
    if (c->sock == -1) {
        // A new socket blocks: accept and receive wait for their peer.
        c->sock = plat_sock_open(found == 4 ? AF_INET : AF_INET6, socktype);
        if (c->sock < 0) return 0;
    }
    return ::bind(c->sock, reinterpret_cast<const sockaddr*>(&addr), static_cast<socklen_t>(len)) ==
                   0
               ? 1
               : 0;
}

int ip_listen(ip_conn* c) {
    if (!c) return 0;
    c->listening = 1;
    return ::listen(c->sock, SOMAXCONN) == 0 ? 1 : 0;
}

ip_conn* ip_accept(ip_conn* listener, int buf_size, int flags) {
    if (!listener) return nullptr;
    ip_conn_ptr c(ip_conn_new(ip_stream, buf_size, flags));
    if (!c) return nullptr;
    c->family = listener->family;
    socklen_t len = sizeof c->peer_addr;
    int sock;
    do {
        len = sizeof c->peer_addr;
        sock = ::accept4(listener->sock, reinterpret_cast<sockaddr*>(&c->peer_addr), &len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (sock < 0 && errno == EINTR);
    if (sock < 0) return nullptr;
    c->sock = sock;
    c->peer_addr_len = static_cast<int>(len);
    return c.release();
}

}  // namespace ostrel
