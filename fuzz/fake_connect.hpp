// The connect of the fuzz targets that play a server's side of a whole
// conversation. The library makes its own connection and connects it by
// name (the opening and the proxy roads all go through ip_connect), and it
// has no way to be handed a socket that is already connected. So a target
// that includes this header is linked with
//     // fuzz-link: -Wl,--wrap=_ZN6ostrel10ip_connectEPNS_7ip_connEPKci
// (build.sh reads that line from the target's source): every call of
// ip_connect from the library's archives comes here instead, and the
// connection gets the socket set up for it, already connected to the input.
#pragma once

#include <fcntl.h>

#include "net/conn.hpp"

namespace fuzz {

// The socket the next connect hands over (then -1); -1: the connect fails.
inline int connect_sock = -1;
// How many connects the library asked for.
inline int connect_calls = 0;

}  // namespace fuzz

// The mangled name of ostrel::ip_connect(ip_conn*, const char*, int), behind
// the linker's "__wrap_" prefix.
extern "C" int __wrap__ZN6ostrel10ip_connectEPNS_7ip_connEPKci(ostrel::ip_conn* c, const char*,
                                                               int) {
    ++fuzz::connect_calls;
    if (!c || fuzz::connect_sock < 0) return 0;
    // What ip_connect leaves behind on success: a fresh output state and a
    // non-blocking socket.
    c->write_failed = 0;
    c->out_pending.clear();
    c->trace_line.clear();
    c->sock = fuzz::connect_sock;
    fuzz::connect_sock = -1;
    fcntl(c->sock, F_SETFL, O_NONBLOCK);
    return 1;
}
