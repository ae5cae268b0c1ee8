// Both canonical forms and the signed-field selection on any bytes as a
// rendered message, then a whole signature over it: a field only when every
// From field of the block is among the signed ones.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "dkim/canon.hpp"
#include "dkim/keys.hpp"
#include "dkim/sign.hpp"
#include "fuzz_util.hpp"
#include "support/str.hpp"

using namespace ostrel;

namespace {

dkim_domain* table = nullptr;

void check_relaxed(const std::string& out) {
    if (out.empty()) return;
    if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0) __builtin_trap();
    if (out.size() >= 4 && out.compare(out.size() - 4, 4, "\r\n\r\n") == 0) __builtin_trap();
    if (out.compare(0, 2, "\r\n") == 0 && out.size() == 2) __builtin_trap();
    if (out.find('\t') != std::string::npos || out.find("  ") != std::string::npos ||
        out.find(" \r\n") != std::string::npos)
        __builtin_trap();
}

// The From fields of a header block, by its CR LF lines: a line that
// starts a field whose name before the first colon is From in any case.
int from_fields(const char* header, size_t len) {
    int n = 0;
    for (size_t pos = 0; pos < len;) {
        size_t end = std::string_view(header, len).find("\r\n", pos);
        if (end == std::string_view::npos) end = len;
        const std::string_view line(header + pos, end - pos);
        const size_t colon = line.find(':');
        if (!line.empty() && line[0] != ' ' && line[0] != '\t' && colon == 4 &&
            str_ncasecmp(line.data(), "From", 4) == 0)
            ++n;
        pos = end + 2;
    }
    return n;
}

void check_simple(const std::string& out, const std::string& body) {
    if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0) __builtin_trap();
    if (out.size() >= 4 && out.compare(out.size() - 4, 4, "\r\n\r\n") == 0) __builtin_trap();
    // The simple body is the body itself up to its last text.
    if (out.size() > 2 && body.compare(0, out.size() - 2, out, 0, out.size() - 2) != 0)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::add_ed25519_key(&table, "example.org");
    if (!table) __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t canon = 1 << in.ConsumeIntegralInRange(0, 3);
    const std::string msg = in.ConsumeRemainingBytesAsString();
    // A copy of exactly the message's size, so that any read past it shows.
    char* exact = static_cast<char*>(std::malloc(msg.size() ? msg.size() : 1));
    std::memcpy(exact, msg.data(), msg.size());

    dkim_ctx ctx;
    if (dkim_ctx_init(&ctx, exact, msg.size())) {
        if (ctx.header_len + 2 + ctx.body_len != msg.size()) __builtin_trap();
        if (ctx.body != exact + ctx.header_len + 2) __builtin_trap();
        std::string body(ctx.body, ctx.body_len);
        check_relaxed(dkim_canon_body_text(ctx.body, ctx.body_len, true));
        check_simple(dkim_canon_body_text(ctx.body, ctx.body_len, false), body);

        char* err = nullptr;
        char* field = dkim_sign(&ctx, canon, dkim_algo_ed25519_sha256, table, nullptr, &err);
        // A block that is no list of fields, or has no From, is refused whole.
        if (!field != ctx.failed) __builtin_trap();
        if (ctx.failed &&
            (ctx.signed_count != 0 || !err || std::strncmp(err, "DKIM signing failed (", 21) != 0))
            __builtin_trap();
        if (ctx.signed_count > dkim_max_signed) __builtin_trap();
        int froms = 0;
        for (int i = 0; i < ctx.signed_count; ++i) {
            const dkim_signed_field& f = ctx.signed_fields[i];
            if (f.line < exact || f.line + f.name_len > exact + ctx.header_len) __builtin_trap();
            std::string name(f.line, f.name_len);
            bool listed = false;
            for (const char* const* n = dkim_signed_header_names; *n; ++n)
                listed = listed || str_casecmp(name.c_str(), *n) == 0;
            if (!listed) __builtin_trap();
            if (str_casecmp(name.c_str(), "From") == 0) ++froms;
        }
        // Every From field of the block is signed, or there is no field.
        if (field && (froms == 0 || froms != from_fields(exact, ctx.header_len))) __builtin_trap();
        if (field && std::strncmp(field, "DKIM-Signature: v=1; a=ed25519-sha256;", 38) != 0)
            __builtin_trap();
        std::free(field);
        std::free(err);
    }
    dkim_ctx_cleanup(&ctx);
    std::free(exact);
    return 0;
}
