#include "support/key.hpp"

#include <cstdlib>
#include <cstring>

#include "platform/machine_id.hpp"
#include "support/str.hpp"

namespace ostrel {

char* key_machine_guid(char* buffer, size_t size) {
    return plat_machine_id(buffer, size, plat_machine_id_files);
}

char* key_computer_name(char* buffer, size_t size) {
    const char* name = std::getenv("COMPUTERNAME");
    str_copy(buffer, name ? name : "", size);
    for (char* p = buffer; *p; ++p)
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    return buffer;
}

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_dash_position(size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

// The whole block is one big-endian number, so a carry runs through all 16
// bytes and ff..ff wraps to zero.
void counter_increment(uint8_t block[16]) {
    for (int i = 15; i >= 0; --i)
        if (++block[i] != 0) break;
}

}  // namespace

int str_parse_uuid(const char* text, uint8_t out[16]) {
    if (std::strlen(text) != 36) return 0;
    int digits[32];
    size_t n = 0;
    for (size_t i = 0; i < 36; ++i) {
        if (is_dash_position(i)) {
            if (text[i] != '-') return 0;
            continue;
        }
        int v = hex_value(text[i]);
        if (v < 0) return 0;
        digits[n++] = v;
    }
    for (size_t i = 0; i < 16; ++i)
        out[i] = static_cast<uint8_t>((digits[2 * i] << 4) | digits[2 * i + 1]);
    return 1;
}

int key_aes_ctr_init(key_aes_ctr_ctx* ctx, const uint8_t key[16], const uint8_t* iv,
                     size_t iv_len) {
    *ctx = key_aes_ctr_ctx{};
    if (iv && iv_len) std::memcpy(ctx->ivec, iv, iv_len < 16 ? iv_len : 16);
    // The counter stream is built here from single-block AES, so the bytes
    // are those of the classic CTR routine whatever the library offers.
    std::unique_ptr<EVP_CIPHER_CTX, key_cipher_free> c(EVP_CIPHER_CTX_new());
    if (!c || EVP_EncryptInit_ex(c.get(), EVP_aes_128_ecb(), nullptr, key, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(c.get(), 0) != 1)
        return 0;
    ctx->schedule = std::move(c);
    return 1;
}

int key_aes_ctr_crypt(key_aes_ctr_ctx* ctx, const uint8_t* in, uint8_t* out, size_t length) {
    if (!ctx->schedule) return -1;
    ctx->num = 0;
    for (size_t i = 0; i < length; ++i) {
        if (ctx->num == 0) {
            int len = 0;
            if (EVP_EncryptUpdate(ctx->schedule.get(), ctx->ecount, &len, ctx->ivec, 16) != 1 ||
                len != 16)
                return -1;
            counter_increment(ctx->ivec);
        }
        out[i] = in[i] ^ ctx->ecount[ctx->num];
        ctx->num = (ctx->num + 1) & 15;
    }
    return 0;
}

}  // namespace ostrel
