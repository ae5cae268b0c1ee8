// The server side of a connection: binding a local address, listening,
// accepting, and waiting on one connection. Accepted connections read and
// write like client ones.
#pragma once

#include "net/conn.hpp"

namespace ostrel {

// poll's result for the connection's socket and events, waiting at most
// timeout_ms (an interrupted wait goes on with the time that is left).
int ip_poll(ip_conn* c, short events);

// Binds to host (NULL: the wildcard address of the connection's family) and
// port, resolved for the connection's type; without a socket, makes one from
// the first result, in blocking mode. 1 when bound, else 0. The address is not
// kept in the connection.
int ip_bind(ip_conn* c, const char* host, int port);

// Marks the connection listening and listens; 1, or 0 when listen fails.
int ip_listen(ip_conn* c);

// The next connection of a listening one, as ip_conn_new(stream, buf_size,
// flags) makes it, with the listener's family and the peer's address. Its
// socket is non-blocking and close-on-exec, so that reads and writes wait
// under the time-out; the listener is left as it was. NULL on failure.
ip_conn* ip_accept(ip_conn* listener, int buf_size, int flags);

}  // namespace ostrel
