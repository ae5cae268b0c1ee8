// DKIM canonicalisation: the split of a rendered message into header block
// and body, the selection of the signed header fields, and the simple and
// relaxed forms of both, fed into the signing context's digests.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrel {

// Canonical forms (header/body), one bit each.
enum dkim_canon_mask : int32_t {
    dkim_canon_simple_simple = 1,
    dkim_canon_simple_relaxed = 2,
    dkim_canon_relaxed_relaxed = 4,
    dkim_canon_relaxed_simple = 8,
};
enum dkim_algo_mask : int32_t {
    dkim_algo_rsa_sha1 = 1,
    dkim_algo_rsa_sha256 = 2,
    dkim_algo_ed25519_sha256 = 4,
};

inline bool dkim_relaxed_header(int32_t canon) {
    return canon == dkim_canon_relaxed_relaxed || canon == dkim_canon_relaxed_simple;
}
inline bool dkim_relaxed_body(int32_t canon) {
    return canon == dkim_canon_simple_relaxed || canon == dkim_canon_relaxed_relaxed;
}

// Room for the selected fields: at most this many are signed.
inline constexpr int dkim_max_signed = 32;

extern const char* const dkim_signed_header_names[];

struct dkim_signed_field {
    const char* line = nullptr;  // where the field starts in the message
    uint8_t name_len = 0;        // its name as written there
};

// The body digests of one message, shared by all its signing contexts, so
// that each canonical body is made once and feeds SHA-1 and SHA-256 in the
// same pass.
struct dkim_body_cache {
    bool want_sha1 = false;
    bool want_sha256 = false;
    bool done[2] = {false, false};  // [relaxed]
    uint8_t sha1[2][20] = {};
    uint8_t sha256[2][32] = {};
};

struct dkim_ctx {
    int32_t canon = 0;
    int32_t algorithm = 0;
    const char* algorithm_name = nullptr;
    EVP_MD_CTX* header_md = nullptr;
    EVP_MD_CTX* body_md = nullptr;
    uint8_t body_hash[EVP_MAX_MD_SIZE] = {};
    uint32_t body_hash_len = 0;
    const char* message = nullptr;  // not owned
    size_t message_len = 0;
    const char* body = nullptr;  // not owned
    uint8_t* signature = nullptr;
    int32_t signature_len = 0;
    size_t header_len = 0;  // through the CR LF that ends the last field
    size_t body_len = 0;
    int32_t signed_count = 0;
    dkim_signed_field signed_fields[dkim_max_signed];
    // Not owned; when set, body digests come from it.
    dkim_body_cache* bodies = nullptr;
    // The t= value; below 0 means the current time.
    int64_t sign_time = -1;
    // Set when a signature could not be made although a key was there.
    bool failed = false;
    std::string work;  // relaxed header field copies
};

// Splits the message (bytes by length; NUL bytes are content) at its first
// empty line. The context, or NULL when there is none; either way it must be
// released with dkim_ctx_cleanup.
dkim_ctx* dkim_ctx_init(dkim_ctx* ctx, const char* text, size_t len);
int dkim_ctx_cleanup(dkim_ctx* ctx);

// Canonicalises the body into body_hash (from the cache when there is one).
int dkim_hash_body(dkim_ctx* ctx);
// Selects the signed fields and hashes them into header_md: every field of
// a listed name in the order of the block, at most dkim_max_signed of them
// and every From field always among them. 1 when they are hashed; 0 with
// nothing selected and "Malformed header (...)" in the slot, saying what is
// wrong and on which line, when a line of the block is no field, there is
// no From field or there are more From fields than that.
int dkim_hash_headers(dkim_ctx* ctx, char** error);
// Part codes: 0 a selected field (then CR LF), 1 the body, 2 the
// DKIM-Signature field being signed (no CR LF).
int dkim_hash_header(dkim_ctx* ctx, int part, const char* text, size_t len);
int dkim_canon_relaxed(dkim_ctx* ctx, int part, const char* text, size_t len);

// Steps 1 and 2 of the relaxed header form (line ends out, blanks after
// the colon out) as a new string; len is in/out.
std::string dkim_unfold_header(const char* text, size_t* len);

// The relaxed header form of one field, appended to out (without CR LF).
void dkim_relaxed_header_text(const char* text, size_t len, std::string* out);

// The canonical body fed to up to two digests at once.
void dkim_canon_body(const char* body, size_t len, bool relaxed, EVP_MD_CTX* const* mds, int n);
// The canonical body as bytes, for tests and tools.
std::string dkim_canon_body_text(const char* body, size_t len, bool relaxed);

}  // namespace ostrel
