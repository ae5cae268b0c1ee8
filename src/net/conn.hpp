// One network connection (socket, resolved address, read buffer, wait limit,
// trace settings, TLS context) and the library's start-up, connect and
// disconnect, name resolution and socket address texts.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct tls;

namespace ostrel {

// Trace callback: level -1 information, 0 a text sent, 1 a line received.
// The text is freed as soon as the callback returns. The result is ignored.
using ip_trace_fn = int (*)(void* ctx, int level, const char* text);

// Bits of ip_conn::flags.
enum : uint32_t {
    ip_f_wait = 1,         // an operation that would block waits
    ip_f_would_block = 2,  // the last raw read gave up because it would block
    ip_f_trace = 4,        // trace the conversation
    ip_f_trace_io = 8,     // trace the socket and TLS calls as well
};

// Connection types.
enum : int { ip_stream = 1, ip_datagram = 2 };

inline constexpr int ip_default_timeout_ms = 300000;

struct ip_tls_deleter {
    void operator()(struct tls* t) const;
};
using ip_tls_ptr = std::unique_ptr<struct tls, ip_tls_deleter>;

struct ip_conn {
    int sock = -1;
    sockaddr_storage addr{};
    int family = 0;  // 4, 6, or anything else for either
    int addr_len = 0;
    int type = ip_stream;
    int listening = 0;
    int buf_size = 0;
    int buf_fill = 0;
    int timeout_ms = ip_default_timeout_ms;
    uint32_t flags = 0;
    int64_t last_error = 0;
    char* read_ptr = nullptr;  // next unread byte of buf
    char* buf = nullptr;       // the read buffer (storage's bytes); NULL for datagrams
    int peer_addr_len = 0;
    sockaddr_storage peer_addr{};
    ip_trace_fn trace_fn = nullptr;
    void* trace_ctx = nullptr;
    int broadcast = 0;
    std::optional<std::string> error_text;  // the last TLS or read error text
    uint32_t error_owned = 0;               // bit 0: error_text is set by the connection
    ip_tls_ptr tls;

    // The bytes behind buf.
    std::vector<char> storage;
    // Output collected by the formatted writes, sent in large blocks.
    std::string out_pending;
    // While tracing: the message line being written, traced once it ends.
    std::string trace_line;
    // Set by a send that failed or timed out; nothing is sent after it until
    // the next connect or disconnect.
    int write_failed = 0;
    // When set (platform_counter ticks), no wait of a read or write lasts
    // past it: a caller's bound on a whole exchange, not on one wait.
    int64_t deadline = 0;
    // Set by a wait that ran out of time (its own limit or the deadline);
    // cleared at every connect, raw read and handshake, so after a failed
    // read it tells a time-out from a peer that closed or an error.
    int timed_out = 0;
};

// True when tracing is on: a callback and bit 4 or 8 (io: bit 8 only).
bool ip_tracing(const ip_conn* c, bool io = false);

// 1 when ready (the platform has nothing that can fail here).
int ip_init(int with_tls);
void ip_cleanup();

ip_conn* ip_conn_new(int type, int buf_size, int flags);
// Frees the buffer and the object; 1, or 0 for NULL. ip_disconnect comes first.
int ip_conn_free(ip_conn* c);

// Owns a connection: disconnects and frees it.
struct ip_conn_deleter {
    void operator()(ip_conn* c) const;
};
using ip_conn_ptr = std::unique_ptr<ip_conn, ip_conn_deleter>;

int ip_conn_set_family(ip_conn* c, int family);
void ip_set_timeout(ip_conn* c, int seconds);
// 0 failure; -1 or 1 success.
int ip_connect(ip_conn* c, const char* host, int port);
void ip_disconnect(ip_conn* c);

char* ip_peer_address(ip_conn* c, char* buf, int size, unsigned* port);
char* ip_local_address(ip_conn* c, char* buf, int size, unsigned* port);
char* ip_addr_to_text(int af, const void* bytes, char* buf, int size);

// The first address of host and port for a socket type (SOCK_STREAM or
// SOCK_DGRAM), of family want (4 or 6; anything else: either). Without a host,
// the wildcard address to bind. found gets the family of the result; 1, or 0
// when nothing resolves.
int ip_resolve_first(const char* host, int port, int want, int socktype, sockaddr_storage* out,
                     int* len, int* found);
int ip_resolve(const char* host, int port, int* family, void* addr, int* len);
int ip_resolve_conn(ip_conn* c, const char* host, int port);
int ip_socket_create(ip_conn* c);
int ip_grow_buffer(ip_conn* c);
int ip_noop();

}  // namespace ostrel
