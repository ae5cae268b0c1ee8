// Key material for password obfuscation: the host's machine identity, UUID
// text to bytes, and AES-128 in counter mode.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ostrel {

struct key_cipher_free {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// One AES-128-CTR stream, owned by its caller.
struct key_aes_ctr_ctx {
    uint32_t num = 0;       // position inside the current keystream block
    uint8_t ivec[16] = {};  // the counter block, one 128-bit big-endian number
    uint8_t ecount[16] = {};
    std::unique_ptr<EVP_CIPHER_CTX, key_cipher_free> schedule;  // AES-128 of one block
};

// The machine identity as a UUID text (see plat_machine_id). Returns buffer,
// or NULL when no identity file can be opened; callers clear the buffer
// first, so that no identity reads as an empty text.
char* key_machine_guid(char* buffer, size_t size);

// $COMPUTERNAME, cut to size - 1 bytes and lowered (ASCII only); unset gives
// "". size must be at least 1. Returns buffer.
char* key_computer_name(char* buffer, size_t size);

// 8-4-4-4-12 hex digits of either case into 16 bytes in text order. Returns 1,
// or 0 for any other text.
int str_parse_uuid(const char* text, uint8_t out[16]);

// Clears ctx, takes the first min(iv_len, 16) IV bytes as the counter block
// (the rest zero) and builds the key schedule. Returns 1, or 0 when the
// schedule could not be built.
int key_aes_ctr_init(key_aes_ctr_ctx* ctx, const uint8_t key[16], const uint8_t* iv, size_t iv_len);

// Encrypts or decrypts length bytes (in and out may be the same buffer).
// Every call starts on a fresh keystream block; the counter goes on from the
// last call. Returns 0, or -1 when ctx has no schedule or the cipher failed
// (out is then not to be used).
int key_aes_ctr_crypt(key_aes_ctr_ctx* ctx, const uint8_t* in, uint8_t* out, size_t length);

}  // namespace ostrel
