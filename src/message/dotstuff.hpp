// Dot-stuffing as a filter on a message writer's output: a "." that begins a
// line goes out doubled, whichever writer produced the line (header fields,
// bodies, attachments, raw parts, prepared files).
#pragma once

#include <cstddef>

#include "support/fmt.hpp"

namespace ostrel {

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
