#include "message/out.hpp"

#include <cstring>

namespace ostrel {

void msg_dotstuff_out(void* ctx, const char* bytes, size_t len) {
    auto* f = static_cast<msg_dotstuffer*>(ctx);
    const char* const end = bytes + len;
    const char* run = bytes;  // bytes not yet passed on
    const char* p = bytes;
    while (p < end) {
        if (f->line_start && *p == '.') {
            if (p > run) f->next(f->next_ctx, run, static_cast<size_t>(p - run));
            f->next(f->next_ctx, ".", 1);
            run = p;  // the line's own "." follows in the next run
        }
        const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
        if (!lf) {
            f->line_start = false;
            break;
        }
        p = static_cast<const char*>(lf) + 1;
        f->line_start = true;
    }
    if (end > run) f->next(f->next_ctx, run, static_cast<size_t>(end - run));
}

void msg_dotstuff_wrap(bool on, msg_dotstuffer* filter, msg_out_cb* out, void** ctx) {
    if (!on) return;
    filter->next = *out;
    filter->next_ctx = *ctx;
    filter->line_start = true;
    *out = msg_dotstuff_out;
    *ctx = filter;
}

}  // namespace ostrel
