#include "dkim/canon.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "support/fmt.hpp"
#include "support/str.hpp"

namespace ostrel {

const char* const dkim_signed_header_names[] = {
    "Cc",           "Content-Type", "Date",    "From", "List-Unsubscribe", "Message-ID",
    "MIME-Version", "Reply-To",     "Subject", "To",   "X-Mailer",         nullptr};

namespace {

bool is_wsp(char c) {
    return c == ' ' || c == '\t';
}

// Collects canonical bytes and hands them to the digests in large blocks,
// so that SHA-1 and SHA-256 take turns over data still in cache.
class digest_feed {
  public:
    using sink = void (*)(void* arg, const char* p, size_t n);
    digest_feed(sink fn, void* arg) : fn_(fn), arg_(arg) {}
    ~digest_feed() { flush(); }
    digest_feed(const digest_feed&) = delete;
    digest_feed& operator=(const digest_feed&) = delete;

    void put(const char* p, size_t len) {
        if (len > sizeof buf_ - used_) {
            flush();
            if (len >= sizeof buf_) {
                direct(p, len);
                return;
            }
        }
        std::memcpy(buf_ + used_, p, len);
        used_ += len;
    }
    // Bytes of the message that are their own canonical form: long runs go
    // to the digests in place, without a copy.
    void put_source(const char* p, size_t len) {
        if (len >= sizeof buf_ / 4) {
            flush();
            direct(p, len);
        } else {
            put(p, len);
        }
    }
    void put(char c) {
        if (used_ == sizeof buf_) flush();
        buf_[used_++] = c;
    }
    void crlf() { put("\r\n", 2); }
    void flush() {
        direct(buf_, used_);
        used_ = 0;
    }
    // Large runs go to the digests in slices so that both digests share
    // each slice while it is in cache.
    void direct(const char* p, size_t len) {
        while (len) {
            size_t n = len < sizeof buf_ ? len : sizeof buf_;
            fn_(arg_, p, n);
            p += n;
            len -= n;
        }
    }

  private:
    sink fn_;
    void* arg_;
    size_t used_ = 0;
    char buf_[64 * 1024];
};

// Offset of the next CR LF at or after pos, or len.
size_t next_crlf(const char* text, size_t pos, size_t len) {
    size_t from = pos;
    while (from < len) {
        const void* hit = std::memchr(text + from, '\n', len - from);
        if (!hit) return len;
        size_t i = static_cast<size_t>(static_cast<const char*>(hit) - text);
        if (i > pos && text[i - 1] == '\r') return i - 1;
        from = i + 1;
    }
    return len;
}

// One line folded: runs of blanks become one space, the run at the end is
// dropped. s..e holds at least one byte that is not a blank.
void fold_line(const char* s, const char* e, digest_feed& out) {
    while (e > s && is_wsp(e[-1])) --e;
    const char* span = s;
    const char* p = s;
    while (p < e) {
        char c = *p;
        if (!is_wsp(c) || (c == ' ' && !is_wsp(p[1]))) {
            ++p;  // a lone space stays as it is
            continue;
        }
        out.put(span, static_cast<size_t>(p - span));
        out.put(' ');
        while (is_wsp(*p)) ++p;  // e ends in a non-blank, so this stops before it
        span = p;
    }
    out.put(span, static_cast<size_t>(e - span));
}

// True when the line (at least one byte that is not a blank) is already
// folded: no tab, no two blanks in a row, no blank at its end.
bool folded_already(const char* s, const char* e) {
    if (e[-1] == ' ' || std::memchr(s, '\t', static_cast<size_t>(e - s))) return false;
    for (const char* p = s; (p = static_cast<const char*>(
                                 std::memchr(p, ' ', static_cast<size_t>(e - p)))) != nullptr;) {
        if (++p < e && *p == ' ') return false;
    }
    return true;
}

void relaxed_body(const char* body, size_t len, digest_feed& out) {
    size_t pending = 0;  // empty lines held back until a text line follows
    // Whole lines that stay as they are, with their line ends, are passed on
    // as one run of the message's own bytes.
    const char* run = nullptr;
    auto end_run = [&](const char* upto) {
        if (run) out.put_source(run, static_cast<size_t>(upto - run));
        run = nullptr;
    };
    size_t pos = 0;
    while (pos < len) {
        size_t end = next_crlf(body, pos, len);
        const char* s = body + pos;
        const char* e = body + end;
        const char* first = s;
        while (first < e && is_wsp(*first)) ++first;
        if (first == e) {
            end_run(s);
            ++pending;
        } else if (!pending && end < len && folded_already(s, e)) {
            if (!run) run = s;
        } else {
            end_run(s);
            for (; pending; --pending) out.crlf();
            fold_line(s, e, out);
            out.crlf();
        }
        pos = end + 2;
    }
    end_run(body + (pos < len ? pos : len));
}

void simple_body(const char* body, size_t len, digest_feed& out) {
    while (len >= 2 && body[len - 2] == '\r' && body[len - 1] == '\n') len -= 2;
    out.direct(body, len);
    out.crlf();
}

// A field of the header block: its first byte, its length through the end
// of its last line (that line end excluded), and the length of its name.
struct header_field {
    const char* start;
    size_t len;
    size_t name_len;
};

// The fields of a header block, or where the block stops being one: the
// number of its first line that neither starts a field (a name and ':',
// however long the name) nor continues one.
struct header_block {
    std::vector<header_field> fields;
    size_t bad_line = 0;
    bool bad_continuation = false;
};

header_block header_fields(const char* text, size_t len) {
    header_block block;
    size_t pos = 0;
    for (size_t line = 1; pos < len; ++line) {
        size_t end = next_crlf(text, pos, len);
        const bool continuation = is_wsp(text[pos]);
        const void* colon = continuation ? nullptr : std::memchr(text + pos, ':', end - pos);
        if (continuation && !block.fields.empty()) {
            block.fields.back().len = end - static_cast<size_t>(block.fields.back().start - text);
        } else if (colon) {
            const auto name_len =
                static_cast<size_t>(static_cast<const char*>(colon) - (text + pos));
            block.fields.push_back({text + pos, end - pos, name_len});
        } else {
            block.bad_line = line;
            block.bad_continuation = continuation;
            return block;
        }
        pos = end + 2;
    }
    return block;
}

bool signed_name(const char* name, size_t len) {
    for (const char* const* n = dkim_signed_header_names; *n; ++n)
        if (std::strlen(*n) == len && str_ncasecmp(name, *n, static_cast<int>(len)) == 0)
            return true;
    return false;
}

bool same_name(const char* a, size_t alen, const char* b, size_t blen) {
    return alen == blen && str_ncasecmp(a, b, static_cast<int>(alen)) == 0;
}

}  // namespace

dkim_ctx* dkim_ctx_init(dkim_ctx* ctx, const char* text, size_t len) {
    dkim_body_cache* bodies = ctx->bodies;
    int64_t when = ctx->sign_time;
    dkim_ctx_cleanup(ctx);
    ctx->bodies = bodies;
    ctx->sign_time = when;
    ctx->failed = false;
    ctx->header_md = EVP_MD_CTX_new();
    ctx->body_md = EVP_MD_CTX_new();
    ctx->canon = dkim_canon_simple_simple;
    ctx->message = text;
    ctx->message_len = len;
    if (!ctx->header_md || !ctx->body_md || !text) return nullptr;
    // A message that starts with its empty line has an empty header block.
    size_t split;
    if (len >= 2 && text[0] == '\r' && text[1] == '\n') {
        split = 0;
    } else {
        split = len;
        for (size_t at = next_crlf(text, 0, len); at < len; at = next_crlf(text, at + 2, len)) {
            if (at + 4 <= len && text[at + 2] == '\r' && text[at + 3] == '\n') {
                split = at + 2;
                break;
            }
        }
        if (split == len) return nullptr;
    }
    ctx->header_len = split;
    ctx->body = text + split + 2;
    ctx->body_len = len - split - 2;
    return ctx;
}

int dkim_ctx_cleanup(dkim_ctx* ctx) {
    std::free(ctx->signature);
    ctx->signature = nullptr;
    ctx->signature_len = 0;
    EVP_MD_CTX_free(ctx->header_md);
    EVP_MD_CTX_free(ctx->body_md);
    ctx->header_md = ctx->body_md = nullptr;
    ctx->message = ctx->body = nullptr;
    ctx->message_len = ctx->header_len = ctx->body_len = 0;
    ctx->signed_count = 0;
    ctx->body_hash_len = 0;
    return 1;
}

namespace {

struct digest_list {
    EVP_MD_CTX* const* mds;
    int n;
};

void to_digests(void* arg, const char* p, size_t n) {
    const auto* l = static_cast<const digest_list*>(arg);
    for (int i = 0; i < l->n; ++i) EVP_DigestUpdate(l->mds[i], p, n);
}

void to_text(void* arg, const char* p, size_t n) {
    static_cast<std::string*>(arg)->append(p, n);
}

void canon_body(const char* body, size_t len, bool relaxed, digest_feed& out) {
    if (relaxed)
        relaxed_body(body, len, out);
    else
        simple_body(body, len, out);
}

}  // namespace

void dkim_canon_body(const char* body, size_t len, bool relaxed, EVP_MD_CTX* const* mds, int n) {
    digest_list list{mds, n};
    digest_feed out(to_digests, &list);
    canon_body(body, len, relaxed, out);
}

std::string dkim_canon_body_text(const char* body, size_t len, bool relaxed) {
    std::string text;
    {
        digest_feed out(to_text, &text);
        canon_body(body, len, relaxed, out);
    }
    return text;
}

int dkim_hash_body(dkim_ctx* ctx) {
    bool relaxed = dkim_relaxed_body(ctx->canon);
    bool sha1 = ctx->algorithm == dkim_algo_rsa_sha1;
    dkim_body_cache* cache = ctx->bodies;
    if (cache && (sha1 ? cache->want_sha1 : cache->want_sha256)) {
        int form = relaxed ? 1 : 0;
        if (!cache->done[form]) {
            EVP_MD_CTX* mds[2];
            int n = 0;
            EVP_MD_CTX* a = cache->want_sha1 ? EVP_MD_CTX_new() : nullptr;
            EVP_MD_CTX* b = cache->want_sha256 ? EVP_MD_CTX_new() : nullptr;
            bool ok = (!cache->want_sha1 || a) && (!cache->want_sha256 || b);
            if (ok && a) ok = EVP_DigestInit_ex(a, EVP_sha1(), nullptr) == 1;
            if (ok && b) ok = EVP_DigestInit_ex(b, EVP_sha256(), nullptr) == 1;
            if (a) mds[n++] = a;
            if (b) mds[n++] = b;
            if (ok) {
                dkim_canon_body(ctx->body, ctx->body_len, relaxed, mds, n);
                unsigned int l = 0;
                if (a) ok = EVP_DigestFinal_ex(a, cache->sha1[form], &l) == 1;
                if (ok && b) ok = EVP_DigestFinal_ex(b, cache->sha256[form], &l) == 1;
            }
            EVP_MD_CTX_free(a);
            EVP_MD_CTX_free(b);
            if (!ok) throw std::bad_alloc();
            cache->done[form] = true;
        }
        if (sha1) {
            std::memcpy(ctx->body_hash, cache->sha1[form], 20);
            ctx->body_hash_len = 20;
        } else {
            std::memcpy(ctx->body_hash, cache->sha256[form], 32);
            ctx->body_hash_len = 32;
        }
        return 1;
    }
    EVP_MD_CTX* mds[1] = {ctx->body_md};
    dkim_canon_body(ctx->body, ctx->body_len, relaxed, mds, 1);
    unsigned int l = 0;
    EVP_DigestFinal_ex(ctx->body_md, ctx->body_hash, &l);
    ctx->body_hash_len = l;
    EVP_MD_CTX_reset(ctx->body_md);
    return 1;
}

void dkim_relaxed_header_text(const char* text, size_t len, std::string* out) {
    bool in_name = true;
    bool seen_colon = false;
    bool after_colon = false;
    bool blank = false;
    for (size_t i = 0; i < len; ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') continue;
        if (!seen_colon && c == ':') {
            seen_colon = after_colon = true;
            in_name = blank = false;  // no blank before the colon either
            out->push_back(':');
            continue;
        }
        if (is_wsp(c)) {
            if (!after_colon) blank = true;
            in_name = false;
            continue;
        }
        after_colon = false;
        if (blank) {
            out->push_back(' ');
            blank = false;
        }
        if (in_name && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        out->push_back(c);
    }
}

std::string dkim_unfold_header(const char* text, size_t* len) {
    std::string out;
    if (!text || *len < 1) {
        *len = 0;
        return out;
    }
    out.reserve(*len + 2);
    bool seen_colon = false;
    bool skipping = false;
    for (size_t i = 0; i < *len; ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') continue;
        if (skipping && is_wsp(c)) continue;
        skipping = false;
        out.push_back(c);
        if (c == ':' && !seen_colon) seen_colon = skipping = true;
    }
    *len = out.size();
    return out;
}

int dkim_canon_relaxed(dkim_ctx* ctx, int part, const char* text, size_t len) {
    if (part == 1) {
        EVP_MD_CTX* mds[1] = {ctx->body_md};
        dkim_canon_body(text, len, true, mds, 1);
        return 0;
    }
    ctx->work.clear();
    ctx->work.reserve(len + 2);
    dkim_relaxed_header_text(text, len, &ctx->work);
    if (part == 0) ctx->work.append("\r\n");
    EVP_DigestUpdate(ctx->header_md, ctx->work.data(), ctx->work.size());
    return 0;
}

int dkim_hash_header(dkim_ctx* ctx, int part, const char* text, size_t len) {
    if (part == 1) {
        EVP_MD_CTX* mds[1] = {ctx->body_md};
        dkim_canon_body(text, len, dkim_relaxed_body(ctx->canon), mds, 1);
        return 1;
    }
    if (dkim_relaxed_header(ctx->canon)) {
        dkim_canon_relaxed(ctx, part, text, len);
        return 1;
    }
    if (part == 0) {
        while (len && (text[len - 1] == '\r' || text[len - 1] == '\n')) --len;
        EVP_DigestUpdate(ctx->header_md, text, len);
        EVP_DigestUpdate(ctx->header_md, "\r\n", 2);
    } else {
        EVP_DigestUpdate(ctx->header_md, text, len);
    }
    return 1;
}

int dkim_hash_headers(dkim_ctx* ctx, char** error) {
    ctx->signed_count = 0;
    const header_block block = header_fields(ctx->message, ctx->header_len);
    if (block.bad_line) {
        if (error)
            str_set_printf(error, "Malformed header (line %zu %s)", block.bad_line,
                           block.bad_continuation ? "continues no field" : "has no field name");
        return 0;
    }
    const std::vector<header_field>& fields = block.fields;
    auto is_from = [](const header_field* f) {
        return same_name(f->start, f->name_len, "From", 4);
    };
    std::vector<const header_field*> chosen;
    for (const header_field& f : fields)
        if (signed_name(f.start, f.name_len)) chosen.push_back(&f);
    // A verifier fails a signature that leaves a From field out, the one
    // that readers show included.
    const auto froms = static_cast<size_t>(std::count_if(chosen.begin(), chosen.end(), is_from));
    constexpr auto room = static_cast<size_t>(dkim_max_signed);
    if (froms == 0) {
        if (error) str_set_printf(error, "%s", "Malformed header (no From field)");
        return 0;
    }
    if (froms > room) {
        if (error)
            str_set_printf(error, "Malformed header (more than %d From fields)", dkim_max_signed);
        return 0;
    }
    // The room for the fields: every From field has its place, the other
    // fields fill the rest in the order of the block, and h= keeps that order.
    if (chosen.size() > room) {
        size_t others = room - froms;
        std::erase_if(chosen, [&](const header_field* f) {
            if (is_from(f)) return false;
            if (others == 0) return true;
            --others;
            return false;
        });
    }
    for (const header_field* f : chosen)
        ctx->signed_fields[ctx->signed_count++] = {f->start, static_cast<uint8_t>(f->name_len)};
    // A name listed k times stands, for a verifier, for its k lowest
    // instances: the first mention is the bottom-most field of that name.
    for (int i = 0; i < ctx->signed_count; ++i) {
        const dkim_signed_field& s = ctx->signed_fields[i];
        int earlier = 0;
        for (int j = 0; j < i; ++j) {
            const dkim_signed_field& t = ctx->signed_fields[j];
            if (same_name(s.line, s.name_len, t.line, t.name_len)) ++earlier;
        }
        for (auto f = fields.rbegin(); f != fields.rend(); ++f) {
            if (!same_name(s.line, s.name_len, f->start, f->name_len)) continue;
            if (earlier-- == 0) {
                dkim_hash_header(ctx, 0, f->start, f->len);
                break;
            }
        }
    }
    return 1;
}

}  // namespace ostrel
