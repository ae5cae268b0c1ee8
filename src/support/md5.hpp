// MD5 and HMAC-MD5, for the CRAM-MD5 answer to an SMTP server's challenge.
// Nothing else uses MD5; signatures hash with the crypto library's SHA.
#pragma once

#include <cstdint>

namespace ostrel {

// Running state of one digest, owned by the caller.
struct hash_md5_ctx {
    uint32_t state[4];
    uint32_t count[2];  // message length in bits, low word first
    uint8_t buffer[64];
};

void hash_md5_init(hash_md5_ctx* ctx);
void hash_md5_update(hash_md5_ctx* ctx, const uint8_t* data, uint32_t length);
// Pads, writes the 16-byte digest and zeroes the whole context.
void hash_md5_final(uint8_t out[16], hash_md5_ctx* ctx);
// The compression function on one 64-byte block of little-endian words.
void hash_md5_transform(uint32_t state[4], const uint8_t block[64]);
// One-shot digest; a negative length measures data as a NUL-terminated string.
void hash_md5(uint8_t out[16], const void* data, int32_t length);
// 32 lower-case hex digits and a NUL into out; returns out.
char* hash_md5_hex(char out[33], const uint8_t digest[16]);
// HMAC-MD5 of the data under the key; a negative key length counts as 0.
void hash_hmac_md5(const uint8_t* data, uint32_t data_length, const void* key, int32_t key_length,
                   uint8_t out[16]);

}  // namespace ostrel
