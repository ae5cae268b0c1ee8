#include "platform/socket.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace ostrel {

int plat_sock_error() {
    return errno;
}

bool plat_sock_would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

bool plat_sock_in_progress(int err) {
    return err == EINPROGRESS || plat_sock_would_block(err);
}

void plat_sock_ignore_sigpipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

int plat_sock_open(int af, int type) {
    return ::socket(af, type | SOCK_CLOEXEC, 0);
}

int plat_sock_set_nonblocking(int sock) {
    int fl = ::fcntl(sock, F_GETFL, 0);
    if (fl < 0) return 0;
    return ::fcntl(sock, F_SETFL, fl | O_NONBLOCK) == 0 ? 1 : 0;
}

void plat_sock_close(int sock) {
    if (sock >= 0) ::close(sock);
}

int plat_sock_connect(int sock, const sockaddr* addr, socklen_t len) {
    int r = ::connect(sock, addr, len);
    // An interrupted connect goes on in the background, like one in progress.
    if (r < 0 && errno == EINTR) errno = EINPROGRESS;
    return r;
}

int plat_sock_pending_error(int sock) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno ? errno : -1;
    return err;
}

static long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int plat_sock_poll(int sock, short events, int timeout_ms) {
    if (timeout_ms < 0) timeout_ms = 0;
    const long long end = now_ms() + timeout_ms;
    for (;;) {
        pollfd p{sock, events, 0};
        int r = ::poll(&p, 1, timeout_ms);
        if (r >= 0 || errno != EINTR) return r;
        long long left = end - now_ms();
        if (left <= 0) return 0;
        timeout_ms = static_cast<int>(left);
    }
}

long plat_sock_recv(int sock, void* dst, size_t len) {
    for (;;) {
        ssize_t n = ::recv(sock, dst, len, 0);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

long plat_sock_send(int sock, const void* src, size_t len) {
    for (;;) {
        ssize_t n = ::send(sock, src, len, MSG_NOSIGNAL);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

}  // namespace ostrel
