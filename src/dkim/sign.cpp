#include "dkim/sign.hpp"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include "support/encode.hpp"
#include "support/fmt.hpp"
#include "support/str.hpp"

namespace ostrel {

namespace {

// The field is built within these bounds: the text before bh= within 4096
// bytes, the whole field within 8192.
constexpr size_t field_head_limit = 4096;
constexpr size_t field_limit = 8192;
// 57 signature bytes make one line of 76 base64 characters.
constexpr size_t b_chunk = 57;

struct bio_free {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct pkey_free {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct c_free {
    void operator()(char* p) const { std::free(p); }
};
struct md_ctx_free {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

const dkim_key* pick_key(const dkim_domain* record, uint8_t type, const char* selector) {
    for (const dkim_key_link* l = record->keys; l; l = l->next) {
        const dkim_key* k = dkim_key_of(l);
        if (k->type != type) continue;
        if (selector && str_casecmp(k->selector, selector) != 0) continue;
        return k;
    }
    return nullptr;
}

std::string base64(const uint8_t* in, size_t len) {
    std::string out(4 * ((len + 2) / 3) + 1, '\0');
    int n = b64_encode(in, static_cast<int>(len), out.data());
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

char* give_out(const std::string& text) {
    auto* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (!out) throw std::bad_alloc();
    std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

}  // namespace

const char* dkim_algorithm_name(int32_t algorithm) {
    switch (algorithm) {
        case dkim_algo_rsa_sha1:
            return "rsa-sha1";
        case dkim_algo_rsa_sha256:
            return "rsa-sha256";
        case dkim_algo_ed25519_sha256:
            return "ed25519-sha256";
        default:
            return nullptr;
    }
}

const char* dkim_canon_tag(int32_t canon) {
    switch (canon) {
        case dkim_canon_simple_relaxed:
            return " c=simple/relaxed;";
        case dkim_canon_relaxed_relaxed:
            return " c=relaxed/relaxed;";
        case dkim_canon_relaxed_simple:
            return " c=relaxed;";
        default:
            return "";
    }
}

int dkim_sign_digest(dkim_ctx* ctx, const char* text, size_t len, const char* pem, char**) {
    ctx->signature_len = 0;
    dkim_hash_header(ctx, 2, text, len);
    std::unique_ptr<BIO, bio_free> bio(BIO_new_mem_buf(pem, -1));
    if (!bio) return 0;
    std::unique_ptr<EVP_PKEY, pkey_free> key(
        PEM_read_bio_PrivateKey(bio.get(), nullptr, dkim_pass_phrase_cb, nullptr));
    bio.reset();
    if (!key) return 0;
    int size = EVP_PKEY_size(key.get());
    if (size <= 0) return 0;
    std::free(ctx->signature);
    ctx->signature = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
    if (!ctx->signature) throw std::bad_alloc();
    int result = 0;
    if (ctx->algorithm == dkim_algo_rsa_sha1 || ctx->algorithm == dkim_algo_rsa_sha256) {
        if (EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) return 0;
        unsigned int n = 0;
        if (EVP_SignFinal(ctx->header_md, ctx->signature, &n, key.get()) == 1) {
            ctx->signature_len = static_cast<int32_t>(n);
            result = 1;
        }
    } else if (ctx->algorithm == dkim_algo_ed25519_sha256) {
        if (EVP_PKEY_base_id(key.get()) != EVP_PKEY_ED25519) return 0;
        // The signature is over the 32-byte SHA-256 hash of the header data.
        uint8_t hash[EVP_MAX_MD_SIZE];
        unsigned int hash_len = 0;
        std::unique_ptr<EVP_MD_CTX, md_ctx_free> sign(EVP_MD_CTX_new());
        if (!sign || EVP_DigestFinal_ex(ctx->header_md, hash, &hash_len) != 1) return 0;
        size_t n = 0;
        if (EVP_DigestSignInit(sign.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
            EVP_DigestSign(sign.get(), nullptr, &n, hash, hash_len) == 1 &&
            n <= static_cast<size_t>(size) &&
            EVP_DigestSign(sign.get(), ctx->signature, &n, hash, hash_len) == 1) {
            ctx->signature_len = static_cast<int32_t>(n);
            result = 1;
        }
    }
    EVP_MD_CTX_reset(ctx->header_md);
    return result;
}

char* dkim_sign(dkim_ctx* ctx, int32_t canon, int32_t algorithm, const dkim_domain* record,
                const char* selector, char** error) {
    const char* name = dkim_algorithm_name(algorithm);
    if (!name || !record) return nullptr;
    const dkim_key* key = pick_key(
        record, algorithm == dkim_algo_ed25519_sha256 ? dkim_key_ed25519 : dkim_key_rsa, selector);
    if (!key) return nullptr;
    auto failed = [&](const char* why = nullptr) -> char* {
        ctx->failed = true;
        if (error)
            str_set_printf(error, "DKIM signing failed (a=%s; d=%s; s=%s)%s%s", name,
                           record->domain, key->selector, why ? ": " : "", why ? why : "");
        return nullptr;
    };
    ctx->canon = canon;
    ctx->algorithm = algorithm;
    ctx->algorithm_name = name;
    const EVP_MD* md = algorithm == dkim_algo_rsa_sha1 ? EVP_sha1() : EVP_sha256();
    if (!ctx->header_md || !ctx->body_md || EVP_DigestInit_ex(ctx->header_md, md, nullptr) != 1 ||
        EVP_DigestInit_ex(ctx->body_md, md, nullptr) != 1)
        return failed();
    dkim_hash_body(ctx);
    // A block that cannot be read as fields, or one whose From would go
    // unsigned, gets no signature at all: a verifier fails it either way.
    char* walk_error = nullptr;
    const int walked = dkim_hash_headers(ctx, &walk_error);
    std::unique_ptr<char, c_free> walk_text(walk_error);
    if (!walked) return failed(walk_text ? walk_text.get() : "Malformed header");

    std::string field;
    field.reserve(1024);
    int64_t now = ctx->sign_time >= 0 ? ctx->sign_time : static_cast<int64_t>(std::time(nullptr));
    field += "DKIM-Signature: v=1; a=";
    field += name;
    field += ';';
    field += dkim_canon_tag(canon);
    field += " t=";
    field += std::to_string(now < 0 ? 0 : now);
    field += ";\r\n\ts=";
    field += key->selector;
    field += "; d=";
    field += record->domain;
    field += ";\r\n\th=";
    for (int i = 0; i < ctx->signed_count; ++i) {
        if (i) field += ':';
        field.append(ctx->signed_fields[i].line, ctx->signed_fields[i].name_len);
        if (field.size() > field_head_limit) return failed("signature field too long");
    }
    field += ";\r\n\tbh=";
    field += base64(ctx->body_hash, ctx->body_hash_len);
    field += ";\r\n\tb=;";
    if (!dkim_sign_digest(ctx, field.data(), field.size(), key->pem, error) ||
        ctx->signature_len <= 0)
        return failed();
    field.pop_back();  // the ";" of the empty b= gives way to the value
    const auto len = static_cast<size_t>(ctx->signature_len);
    for (size_t at = 0; at < len; at += b_chunk) {
        size_t n = len - at < b_chunk ? len - at : b_chunk;
        if (at) field += '\t';
        field += base64(ctx->signature + at, n);
        if (at + n == len) field += ';';
        field += "\r\n";
    }
    if (field.size() >= field_limit) return failed("signature field too long");
    return give_out(field);
}

}  // namespace ostrel
