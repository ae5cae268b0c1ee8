// POSIX sockets for the network library: non-blocking stream and datagram
// sockets, waits with poll, and the error codes the callers test.
#pragma once

#include <sys/socket.h>

#include <cstdint>

namespace ostrel {

// The error of the last socket call (errno).
int plat_sock_error();
// True for the "would block" codes of reads and writes.
bool plat_sock_would_block(int err);
// True for the code of a connect that is still in progress.
bool plat_sock_in_progress(int err);

// Ignores SIGPIPE for the process, so a closed peer is a failed write.
void plat_sock_ignore_sigpipe();

// A new socket (family AF_INET or AF_INET6, type SOCK_STREAM or SOCK_DGRAM),
// close-on-exec; -1 on failure.
int plat_sock_open(int af, int type);
// Switches the socket to non-blocking mode; 1 or 0.
int plat_sock_set_nonblocking(int sock);
void plat_sock_close(int sock);

// connect; 0 or -1 with the error in plat_sock_error().
int plat_sock_connect(int sock, const sockaddr* addr, socklen_t len);
// The pending error of the socket (SO_ERROR), or the error of getsockopt.
int plat_sock_pending_error(int sock);

// One wait for events (POLLIN, POLLOUT) of one socket for at most
// timeout_ms; EINTR restarts the wait with the time that is left. The
// result is poll's: > 0 ready, 0 time-out, < 0 failure.
int plat_sock_poll(int sock, short events, int timeout_ms);

// recv and send; EINTR is retried, send never raises SIGPIPE.
long plat_sock_recv(int sock, void* dst, size_t len);
long plat_sock_send(int sock, const void* src, size_t len);

}  // namespace ostrel
