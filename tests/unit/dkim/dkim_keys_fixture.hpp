// Keys for the signer's tests, made with the crypto library at run time.
#pragma once

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <string>

namespace ostrel::test {

inline std::string pem_of(EVP_PKEY* key, bool public_only = false) {
    std::string out;
    BIO* bio = BIO_new(BIO_s_mem());
    int ok = public_only
                 ? PEM_write_bio_PUBKEY(bio, key)
                 : PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    BUF_MEM* mem = nullptr;
    BIO_get_mem_ptr(bio, &mem);
    if (ok && mem) out.assign(mem->data, mem->length);
    BIO_free(bio);
    return out;
}

// kind: "RSA" (with bits), "ED25519" or "EC" (P-256).
inline std::string make_key(const std::string& kind, unsigned bits = 2048,
                            bool public_only = false) {
    EVP_PKEY* key = nullptr;
    if (kind == "RSA")
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits));
    else if (kind == "EC")
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    else
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, kind.c_str());
    std::string pem = key ? pem_of(key, public_only) : std::string();
    EVP_PKEY_free(key);
    return pem;
}

// Keys are slow to make: each kind once per test binary.
inline const std::string& rsa_key() {
    static const std::string k = make_key("RSA", 2048);
    return k;
}
inline const std::string& rsa1024_key() {
    static const std::string k = make_key("RSA", 1024);
    return k;
}
inline const std::string& ed_key() {
    static const std::string k = make_key("ED25519");
    return k;
}

}  // namespace ostrel::test
