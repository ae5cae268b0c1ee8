// The output path of every message writer: the sink, the one formatter in
// front of it, and dot-stuffing as a filter on the stream, so that a "."
// that begins a line goes out doubled whichever writer produced the line
// (header fields, bodies, attachments, raw parts, prepared files).
#pragma once

#include <cstddef>

#include "support/fmt.hpp"

namespace ostrel {

// The output sink of every message writer: the same byte primitive. Writers
// format through msg_out (the engine) and hand content over by count through
// msg_write, so every sink receives the same bytes.
using msg_out_cb = fmt_sink;

// Formats through the engine into a message writer's sink. Content that may
// hold NUL bytes never goes through a format: it goes by count (msg_write).
template <typename... A>
void msg_out(msg_out_cb out, void* ctx, fmt_string<A...> f, const A&... a) {
    const fmt_arg args[] = {fmt_arg(a)..., fmt_arg(0)};
    fmt_engine(out, ctx, nullptr, nullptr, f.text, fmt_args(args, sizeof...(A)));
}
// Hands bytes to a message writer's sink as they are.
inline void msg_write(msg_out_cb out, void* ctx, const char* bytes, size_t len) {
    if (len) out(ctx, bytes, len);
}

// The filter's state; ctx of msg_dotstuff_out. A stream starts at a line start.
struct msg_dotstuffer {
    msg_out_cb next = nullptr;
    void* next_ctx = nullptr;
    bool line_start = true;
};

// The msg_out_cb of the filter: passes the bytes on to next, with a "."
// written first wherever one begins a line (after LF, or at the start).
void msg_dotstuff_out(void* ctx, const char* bytes, size_t len);

// Points *out and *ctx at the filter when on, with *out and *ctx as its
// next sink; the filter must outlive the writing.
void msg_dotstuff_wrap(bool on, msg_dotstuffer* filter, msg_out_cb* out, void** ctx);

}  // namespace ostrel
