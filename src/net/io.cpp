#include "net/io.hpp"

#include <poll.h>
#include <tls.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "net/trace.hpp"
#include "platform/clock.hpp"
#include "platform/socket.hpp"

namespace ostrel {

namespace {

int64_t ticks_per_ms() {
    return static_cast<int64_t>(platform_counter_frequency() / 1000);
}

int wait_for(ip_conn* c, short events) {
    int ms = c->timeout_ms;
    if (c->deadline) {
        const int64_t left = c->deadline - platform_counter();
        if (left <= 0) {
            c->timed_out = 1;
            return 0;
        }
        const int64_t left_ms = left / ticks_per_ms() + 1;
        if (left_ms < ms) ms = static_cast<int>(left_ms);
    }
    const int r = plat_sock_poll(c->sock, events, ms);
    if (r == 0) c->timed_out = 1;
    return r;
}

// One read through the TLS context, waiting on the WANT results.
int tls_raw_read(ip_conn* c, char* dst, int len) {
    for (;;) {
        ssize_t n = tls_read(c->tls.get(), dst, static_cast<size_t>(len));
        if (ip_tracing(c, true)) {
            if (n < 0)
                ip_tracef(c, -1, "tls_read() returned %d\n", static_cast<int>(n));
            else
                ip_tracef(c, -1, "tls_read() read %d bytes\n", static_cast<int>(n));
        }
        if (n == TLS_WANT_POLLIN || n == TLS_WANT_POLLOUT) {
            if (!(c->flags & ip_f_wait)) {
                c->flags |= ip_f_would_block;
                return 0;
            }
            if (wait_for(c, n == TLS_WANT_POLLIN ? POLLIN : POLLOUT) <= 0) return 0;
            continue;
        }
        return n >= 0 ? static_cast<int>(n) : 0;
    }
}

int sock_raw_read(ip_conn* c, char* dst, int len) {
    for (;;) {
        long n = plat_sock_recv(c->sock, dst, static_cast<size_t>(len));
        c->last_error = n < 0 ? plat_sock_error() : 0;
        if (ip_tracing(c, true)) {
            if (n < 0)
                ip_tracef(c, -1, "recv() returned %d\n", static_cast<int>(n));
            else
                ip_tracef(c, -1, "recv() read %d bytes\n", static_cast<int>(n));
        }
        if (n >= 0) return static_cast<int>(n);
        if (!plat_sock_would_block(static_cast<int>(c->last_error))) return 0;
        if (!(c->flags & ip_f_wait)) {
            c->flags |= ip_f_would_block;
            return 0;
        }
        // A failed poll would fail again at once: give up, do not spin.
        if (wait_for(c, POLLIN) <= 0) return 0;
    }
}

// One write attempt; the count sent, or -1 with *wait_ev set when the
// socket must become ready first, or -2 on failure.
long write_once(ip_conn* c, const char* data, int len, short* wait_ev) {
    *wait_ev = POLLOUT;
    if (c->tls) {
        long n = tls_write(c->tls.get(), data, static_cast<size_t>(len));
        if (ip_tracing(c, true)) {
            if (n < 0)
                ip_tracef(c, -1, "tls_write() returned %d\n", static_cast<int>(n));
            else
                ip_tracef(c, -1, "tls_write() sent %d bytes\n", static_cast<int>(n));
        }
        if (n == TLS_WANT_POLLIN) *wait_ev = POLLIN;
        if (n == TLS_WANT_POLLIN || n == TLS_WANT_POLLOUT) return -1;
        return n < 0 ? -2 : n;
    }
    long n = plat_sock_send(c->sock, data, static_cast<size_t>(len));
    if (ip_tracing(c, true)) {
        if (n < 0)
            ip_tracef(c, -1, "send() returned %d\n", static_cast<int>(n));
        else
            ip_tracef(c, -1, "send() sent %d bytes\n", static_cast<int>(n));
    }
    if (n >= 0) return n;
    c->last_error = plat_sock_error();
    return plat_sock_would_block(static_cast<int>(c->last_error)) ? -1 : -2;
}

// Ends the output of the connection: once a send has failed or timed out,
// nothing more goes out, so the peer never gets a stream with a hole and a
// stalled peer costs one time-out, not one per block.
int fail_writes(ip_conn* c) {
    c->write_failed = 1;
    return 0;
}

// Sends every byte at once, bypassing the collected output.
int write_now(ip_conn* c, const char* data, int len) {
    if (len < 1 || c->write_failed) return 0;
    if (c->sock < 0) return fail_writes(c);
    int sent = 0;
    while (sent < len) {
        short wait_ev;
        long n = write_once(c, data + sent, len - sent, &wait_ev);
        if (n == -2) return fail_writes(c);
        if (n >= 0)
            sent += static_cast<int>(n);
        else if (wait_for(c, wait_ev) <= 0)
            return fail_writes(c);
    }
    return sent;
}

// Sends what was collected; 1, or 0 when this or an earlier send failed
// (after a failed send write_now sends nothing: the output is dropped).
int send_pending(ip_conn* c) {
    const bool ok =
        c->out_pending.empty()
            ? !c->write_failed
            : write_now(c, c->out_pending.data(), static_cast<int>(c->out_pending.size())) != 0;
    c->out_pending.clear();
    return ok ? 1 : 0;
}

// Collects output and sends it in full blocks.
void collect(ip_conn* c, const char* bytes, size_t len) {
    try {
        c->out_pending.append(bytes, len);
    } catch (const std::bad_alloc&) {
        send_pending(c);
        write_now(c, bytes, static_cast<int>(len));
        return;
    }
    if (c->out_pending.size() >= ip_out_block) send_pending(c);
}

// Sink of the formatted writes. While the socket calls are traced, each text
// goes out at once, so the trace shows every send where it happens.
void out_sink(void* ctx, const char* bytes, size_t len) {
    auto* c = static_cast<ip_conn*>(ctx);
    if (len == 0) return;
    if (ip_tracing(c, true)) {
        ip_write(c, bytes, static_cast<int>(len));
        return;
    }
    collect(c, bytes, len);
}

// Ends the message line being written: it is traced once, whole. Under the
// socket-call trace its bytes go out first, so its sends show before it.
void end_msg_line(ip_conn* c) {
    if (ip_tracing(c, true)) send_pending(c);
    if (c->trace_line.empty()) return;
    ip_trace_text(c, 0, c->trace_line.c_str());
    c->trace_line.clear();
}

void set_read_error(ip_conn* c, const char* text) {
    c->error_text = text;
    c->error_owned |= 1;
}

int unread(const ip_conn* c) {
    return static_cast<int>(c->buf + c->buf_fill - c->read_ptr);
}

// The first terminator among the unread bytes, or NULL.
char* find_term(ip_conn* c, const char* term, int n) {
    if (unread(c) < n) return nullptr;
    char* last = c->buf + c->buf_fill - n;
    for (char* p = c->read_ptr; p <= last; ++p)
        if (*p == term[0] && std::strncmp(p, term, static_cast<size_t>(n)) == 0) return p;
    return nullptr;
}

void trace_line(ip_conn* c, const char* line, size_t len, unsigned term_len) {
    if (!ip_tracing(c)) return;
    try {
        std::string copy(line, len + term_len);
        ip_trace_text(c, 1, copy.c_str());
    } catch (const std::bad_alloc&) {
        // Out of memory: the line goes untraced.
    }
}

// Makes room behind the held bytes: compacts, or doubles a full buffer.
int make_room(ip_conn* c) {
    int held = unread(c);
    if (held == c->buf_size) {
        // The held bytes fill the buffer, so they start at its beginning.
        if (!ip_grow_buffer(c)) return 0;
        c->buf_fill = held;
        return 1;
    }
    std::memmove(c->buf, c->read_ptr, static_cast<size_t>(held));
    c->read_ptr = c->buf;
    c->buf_fill = held;
    return 1;
}

}  // namespace

int ip_wait(ip_conn* c, short events) {
    return wait_for(c, events);
}

int ip_timed_out(const ip_conn* c) {
    return c && c->timed_out ? 1 : 0;
}

ip_deadline::ip_deadline(ip_conn* c) : c_(c), saved_(c->deadline) {
    int64_t end = platform_counter() + ticks_per_ms() * static_cast<int64_t>(c->timeout_ms);
    if (end == 0) end = 1;  // 0 means no deadline
    if (saved_ == 0 || end < saved_) c->deadline = end;
}

ip_deadline::~ip_deadline() {
    c_->deadline = saved_;
}

int ip_flush(ip_conn* c) {
    if (!c) return 1;
    end_msg_line(c);
    return send_pending(c);
}

int ip_write_failed(const ip_conn* c) {
    return c && c->write_failed ? 1 : 0;
}

int ip_raw_read(ip_conn* c, char* dst, int len) {
    // What was collected must reach the peer before its answer is awaited.
    ip_flush(c);
    c->flags &= ~static_cast<uint32_t>(ip_f_would_block);
    c->timed_out = 0;
    if (len < 1 || c->sock < 0) return 0;
    return c->tls ? tls_raw_read(c, dst, len) : sock_raw_read(c, dst, len);
}

int ip_read(ip_conn* c, char* dst, int len) {
    int avail = unread(c);
    if (c->buf && avail > 0) {
        int n = avail < len ? avail : len;
        if (n < 0) n = 0;
        std::memcpy(dst, c->read_ptr, static_cast<size_t>(n));
        c->read_ptr += n;
        if (ip_tracing(c, true)) ip_tracef(c, -1, "ip_read() read %d bytes from buffer\n", n);
        return n;
    }
    int n = ip_raw_read(c, dst, len);
    if (ip_tracing(c, true)) ip_tracef(c, -1, "ip_read() read %d bytes from socket\n", n);
    return n;
}

char* ip_readline(ip_conn* c, const char* term, unsigned term_len) {
    if (!c || !c->buf || !term) return nullptr;
    const int n = static_cast<int>(term_len ? term_len : std::strlen(term));
    if (n < 1 || n > c->buf_size) return nullptr;
    if (c->buf_fill == 0) {
        c->read_ptr = c->buf;
        c->buf_fill = ip_raw_read(c, c->buf, c->buf_size);
        if (c->buf_fill == 0) return nullptr;
    }
    for (;;) {
        if (char* p = find_term(c, term, n)) {
            char* line = c->read_ptr;
            c->read_ptr = p + n;
            trace_line(c, line, static_cast<size_t>(p - line), term_len);
            *p = 0;
            return line;
        }
        // A line that cannot end within the limit is refused, not buffered on.
        if (unread(c) > ip_line_max + n - 1) {
            set_read_error(c, "Received line too long");
            return nullptr;
        }
        if (n + c->buf_fill > c->buf_size && !make_room(c)) return nullptr;
        int got = ip_raw_read(c, c->buf + c->buf_fill, c->buf_size - c->buf_fill);
        if (got == 0) return nullptr;
        c->buf_fill += got;
        if (!(c->flags & ip_f_wait)) return nullptr;
    }
}

int ip_write(ip_conn* c, const char* data, int len) {
    if (!c || len < 1) return 0;
    ip_flush(c);
    return write_now(c, data, len);
}

int ip_write_str(ip_conn* c, const char* text) {
    return ip_write(c, text, static_cast<int>(std::strlen(text)));
}

int ip_vprintf(ip_conn* c, const char* format, fmt_args args) {
    if (!c) return 0;
    if (!ip_tracing(c)) {
        fmt_engine(out_sink, c, nullptr, nullptr, format, args);
        return 1;
    }
    end_msg_line(c);
    char* text = fmt_vasprintf(nullptr, nullptr, nullptr, format, args);
    if (!text) return 1;
    out_sink(c, text, std::strlen(text));
    ip_trace_text(c, 0, text);
    std::free(text);
    return 1;
}

int ip_vprintf_masked(ip_conn* c, const uint8_t* mask, const char* format, fmt_args args) {
    if (!c) return 0;
    if (ip_tracing(c)) {
        end_msg_line(c);
        char* masked = fmt_vasprintf(nullptr, mask, nullptr, format, args);
        ip_trace_text(c, 0, masked);
        std::free(masked);
    }
    fmt_engine(out_sink, c, nullptr, nullptr, format, args);
    return 1;
}

int ip_puts(ip_conn* c, const char* text) {
    return ip_printf(c, "%s", text);
}

void ip_msg_out(void* ctx, const char* bytes, size_t len) {
    auto* c = static_cast<ip_conn*>(ctx);
    if (!c || len == 0) return;
    if (!ip_tracing(c)) {
        collect(c, bytes, len);
        return;
    }
    // The writers cut their text anywhere (the stuffing ".", the engine's
    // pieces, a whole signed message at once): the trace follows lines.
    const char* const end = bytes + len;
    while (bytes < end) {
        const void* lf = std::memchr(bytes, '\n', static_cast<size_t>(end - bytes));
        const char* stop = lf ? static_cast<const char*>(lf) + 1 : end;
        const auto n = static_cast<size_t>(stop - bytes);
        collect(c, bytes, n);
        try {
            c->trace_line.append(bytes, n);
        } catch (const std::bad_alloc&) {
            // Out of memory: the start of the line goes untraced, never its bytes.
            c->trace_line.clear();
        }
        if (lf) end_msg_line(c);
        bytes = stop;
    }
}

char* ip_read_all(ip_conn* c, int* len) {
    std::string all;
    try {
        char block[4096];
        for (int n; (n = ip_read(c, block, sizeof block)) > 0;) all.append(block, n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    char* out = static_cast<char*>(std::malloc(all.size() + 1));
    if (!out) return nullptr;
    std::memcpy(out, all.data(), all.size());
    out[all.size()] = 0;
    if (len) *len = static_cast<int>(all.size());
    return out;
}

}  // namespace ostrel
