// The network library's own trace texts: formatted by the printf engine into
// a new string that is freed as soon as the callback returns.
#pragma once

#include <cstdlib>

#include "net/conn.hpp"
#include "support/fmt.hpp"

namespace ostrel {

// Hands text to the trace callback (no check of the trace bits).
inline void ip_trace_text(ip_conn* c, int level, const char* text) {
    if (c->trace_fn && text) c->trace_fn(c->trace_ctx, level, text);
}

template <typename... A>
void ip_tracef(ip_conn* c, int level, fmt_string<A...> f, const A&... a) {
    if (!c->trace_fn) return;
    char* text = fmt_asprintf(nullptr, f, a...);
    ip_trace_text(c, level, text);
    std::free(text);
}

}  // namespace ostrel
