#include "support/md5.hpp"

#include <cstring>

namespace ostrel {

namespace {

constexpr uint32_t sine_table[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Shift amounts of the four passes, four per pass.
constexpr int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

uint32_t rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

uint32_t load_le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void store_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Clears memory the compiler may not drop as a dead store.
void wipe(void* p, size_t n) {
    volatile auto* b = static_cast<volatile uint8_t*>(p);
    while (n--) *b++ = 0;
}

}  // namespace

void hash_md5_transform(uint32_t state[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = load_le32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        const int pass = i / 16;
        uint32_t f;
        int g;
        switch (pass) {
            case 0:
                f = (b & c) | (~b & d);
                g = i;
                break;
            case 1:
                f = (b & d) | (c & ~d);
                g = (5 * i + 1) % 16;
                break;
            case 2:
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
                break;
            default:
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
                break;
        }
        const uint32_t rotated = rotl(a + f + sine_table[i] + x[g], shifts[pass][i % 4]);
        a = d;
        d = c;
        c = b;
        b += rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    wipe(x, sizeof x);
}

void hash_md5_init(hash_md5_ctx* ctx) {
    ctx->count[0] = ctx->count[1] = 0;
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
}

void hash_md5_update(hash_md5_ctx* ctx, const uint8_t* data, uint32_t length) {
    const uint32_t buffered = (ctx->count[0] >> 3) & 0x3f;
    const uint32_t bits = length << 3;
    ctx->count[0] += bits;
    if (ctx->count[0] < bits) ++ctx->count[1];
    ctx->count[1] += length >> 29;
    const uint32_t room = 64 - buffered;
    uint32_t i = 0;
    if (length >= room) {
        std::memcpy(ctx->buffer + buffered, data, room);
        hash_md5_transform(ctx->state, ctx->buffer);
        // Whole blocks go through the buffer, so any alignment is fine.
        for (i = room; length - i >= 64; i += 64) {
            std::memcpy(ctx->buffer, data + i, 64);
            hash_md5_transform(ctx->state, ctx->buffer);
        }
        if (i < length) std::memcpy(ctx->buffer, data + i, length - i);
    } else if (length > 0) {
        std::memcpy(ctx->buffer + buffered, data, length);
    }
}

void hash_md5_final(uint8_t out[16], hash_md5_ctx* ctx) {
    uint8_t bit_count[8];
    store_le32(bit_count, ctx->count[0]);
    store_le32(bit_count + 4, ctx->count[1]);
    const uint32_t buffered = (ctx->count[0] >> 3) & 0x3f;
    const uint32_t pad_length = buffered < 56 ? 56 - buffered : 120 - buffered;
    static const uint8_t padding[64] = {0x80};
    hash_md5_update(ctx, padding, pad_length);
    hash_md5_update(ctx, bit_count, 8);
    for (int i = 0; i < 4; ++i) store_le32(out + 4 * i, ctx->state[i]);
    wipe(ctx, sizeof *ctx);
}

void hash_md5(uint8_t out[16], const void* data, int32_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    const size_t n =
        length < 0 ? std::strlen(static_cast<const char*>(data)) : static_cast<size_t>(length);
    hash_md5_ctx ctx;
    hash_md5_init(&ctx);
    hash_md5_update(&ctx, bytes, static_cast<uint32_t>(n));
    hash_md5_final(out, &ctx);
}

char* hash_md5_hex(char out[33], const uint8_t digest[16]) {
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0x0f];
    }
    out[32] = '\0';
    return out;
}

void hash_hmac_md5(const uint8_t* data, uint32_t data_length, const void* key, int32_t key_length,
                   uint8_t out[16]) {
    uint8_t key_digest[16];
    const auto* k = static_cast<const uint8_t*>(key);
    uint32_t klen = key_length < 0 ? 0 : static_cast<uint32_t>(key_length);
    if (klen > 64) {
        hash_md5(key_digest, k, static_cast<int32_t>(klen));
        k = key_digest;
        klen = 16;
    }
    uint8_t k_ipad[64] = {};
    uint8_t k_opad[64] = {};
    if (klen > 0) {
        std::memcpy(k_ipad, k, klen);
        std::memcpy(k_opad, k, klen);
    }
    for (int i = 0; i < 64; ++i) {
        k_ipad[i] ^= 0x36;
        k_opad[i] ^= 0x5c;
    }
    uint8_t inner[16];
    hash_md5_ctx ctx;
    hash_md5_init(&ctx);
    hash_md5_update(&ctx, k_ipad, 64);
    hash_md5_update(&ctx, data, data_length);
    hash_md5_final(inner, &ctx);
    hash_md5_init(&ctx);
    hash_md5_update(&ctx, k_opad, 64);
    hash_md5_update(&ctx, inner, 16);
    hash_md5_final(out, &ctx);
    wipe(k_ipad, sizeof k_ipad);
    wipe(k_opad, sizeof k_opad);
    wipe(key_digest, sizeof key_digest);
}

}  // namespace ostrel
