#include "net/udp.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/socket.hpp"

namespace ostrel {

int ip_udp_send(ip_conn* c, const char* data, int len, const void* addr, int addr_len) {
    if (!c || len < 0 || len > ip_udp_max) return 0;
    const void* to = addr ? addr : &c->addr;
    const int to_len = addr ? addr_len : c->addr_len;
    ssize_t n;
    do {
        n = ::sendto(c->sock, data, static_cast<size_t>(len), MSG_NOSIGNAL,
                     to_len > 0 ? static_cast<const sockaddr*>(to) : nullptr,
                     static_cast<socklen_t>(to_len > 0 ? to_len : 0));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return ip_udp_error_base + errno;
    return static_cast<int>(n);
}

int ip_udp_recv(ip_conn* c, char* buf, void* from, int* from_len) {
    if (!c) return 0;
    for (;;) {
        socklen_t len = 128;
        if (from_len) *from_len = 128;
        // MSG_TRUNC gives a datagram's whole length, so a longer one shows.
        ssize_t n =
            ::recvfrom(c->sock, buf, ip_udp_max, MSG_TRUNC,
                       from ? static_cast<sockaddr*>(from) : nullptr, from ? &len : nullptr);
        c->last_error = n < 0 ? errno : 0;
        if (n >= 0) {
            if (from_len && from) *from_len = static_cast<int>(len);
            if (n > ip_udp_max) {
                c->last_error = EMSGSIZE;
                return 0;
            }
            return static_cast<int>(n);
        }
        if (errno == EINTR) continue;
        if (!plat_sock_would_block(errno) || !(c->flags & ip_f_wait)) return 0;
        if (plat_sock_poll(c->sock, POLLIN, c->timeout_ms) <= 0) return 0;
    }
}

}  // namespace ostrel
