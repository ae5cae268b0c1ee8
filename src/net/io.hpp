// Moving bytes over a connection: raw and buffered reads, the CRLF line
// reader, writes that send every byte, and formatted (optionally masked)
// writes through the program's printf engine. Formatted output is collected
// and sent in large blocks (commands at once, message text line by line while
// socket calls are traced); it is flushed before every read and on close. The
// first failed send ends all output of the connection; reads go on.
#pragma once

#include <cstdint>

#include "net/conn.hpp"
#include "support/fmt.hpp"

namespace ostrel {

// The longest line the line reader accepts without its terminator.
inline constexpr int ip_line_max = 65536;
// Collected output is sent once it reaches this size.
inline constexpr size_t ip_out_block = 16384;

// One wait on the socket for events, at most timeout_ms and never past the
// deadline: > 0 ready, < 0 a poll error, 0 when time ran out (which marks
// the connection timed out).
int ip_wait(ip_conn* c, short events);
// 1 when the last raw read or handshake gave up because time ran out, not
// because the peer closed or an error came.
int ip_timed_out(const ip_conn* c);

// Bounds a whole exchange (a reply, a handshake, a proxy's answer) by the
// connection's time-out as it stands at the start: while the guard lives,
// no wait lasts past that point, however the peer paces its bytes. An
// outer deadline that ends sooner stays in force.
class ip_deadline {
  public:
    explicit ip_deadline(ip_conn* c);
    ~ip_deadline();
    ip_deadline(const ip_deadline&) = delete;
    ip_deadline& operator=(const ip_deadline&) = delete;

  private:
    ip_conn* c_;
    int64_t saved_;
};

// Bytes read (> 0); 0 for end of stream, failure, time-out or would-block.
int ip_raw_read(ip_conn* c, char* dst, int len);
int ip_read(ip_conn* c, char* dst, int len);
// The next line (NUL-terminated, inside the read buffer) or NULL.
// term_len 0 uses the length of term.
char* ip_readline(ip_conn* c, const char* term, unsigned term_len);
// len when every byte was sent, 0 on failure (this one or an earlier one) or
// when len < 1.
int ip_write(ip_conn* c, const char* data, int len);
int ip_write_str(ip_conn* c, const char* text);
// Sends the collected output; 1, or 0 when this or an earlier send failed
// (the output is dropped).
int ip_flush(ip_conn* c);
// 1 once a send has failed or timed out since the connect: every later write
// sends nothing, so what the peer got is a prefix of what was written.
int ip_write_failed(const ip_conn* c);

// 1; 0 for a NULL connection. The result of sending is not passed on.
int ip_vprintf(ip_conn* c, const char* format, fmt_args args);
// Traces the text with the conversions whose mask bit is set as stars.
int ip_vprintf_masked(ip_conn* c, const uint8_t* mask, const char* format, fmt_args args);
int ip_puts(ip_conn* c, const char* text);
// The connection's output sink for the message writers (ctx: ip_conn*):
// the bytes by count, collected with the formatted writes. The trace shows
// each line once, whole, when it ends (or before the next command or read).
void ip_msg_out(void* ctx, const char* bytes, size_t len);

template <typename... A>
int ip_printf(ip_conn* c, fmt_string<A...> f, const A&... a) {
    const fmt_arg args[] = {fmt_arg(a)..., fmt_arg(0)};
    return ip_vprintf(c, f.text, fmt_args(args, sizeof...(A)));
}
template <typename... A>
int ip_printf_masked(ip_conn* c, const uint8_t* mask, fmt_string<A...> f, const A&... a) {
    const fmt_arg args[] = {fmt_arg(a)..., fmt_arg(0)};
    return ip_vprintf_masked(c, mask, f.text, fmt_args(args, sizeof...(A)));
}

// Everything up to the end of the connection, as a new text the caller frees.
char* ip_read_all(ip_conn* c, int* len);

}  // namespace ostrel
