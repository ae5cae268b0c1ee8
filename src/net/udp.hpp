// Single UDP datagrams of at most 548 bytes, the size every IPv4 path
// carries whole.
#pragma once

#include "net/conn.hpp"

namespace ostrel {

inline constexpr int ip_udp_max = 548;
// Added to errno in a failed send's result, so that codes never read as byte
// counts (those are at most ip_udp_max).
inline constexpr int ip_udp_error_base = 10000;

// Sends len bytes to addr (NULL: the connection's address). The byte count;
// 0 without sending when len is over ip_udp_max (or negative);
// ip_udp_error_base + errno when the send fails.
int ip_udp_send(ip_conn* c, const char* data, int len, const void* addr, int addr_len);

// Receives one datagram into buf (ip_udp_max bytes) and its sender into from
// (128 bytes; *from_len is set to 128 first). The byte count, or 0 on
// failure, for a longer datagram (it is dropped, last_error EMSGSIZE), and
// when nothing came: at once without the wait bit, else after timeout_ms.
// last_error keeps errno.
int ip_udp_recv(ip_conn* c, char* buf, void* from, int* from_len);

}  // namespace ostrel
