#include "cli/password.hpp"

#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "cli/console.hpp"
#include "cli/dispatch.hpp"
#include "support/encode.hpp"
#include "support/key.hpp"
#include "support/str.hpp"

namespace ostrel {

const uint8_t pw_fixed_key[16] = {0x57, 0x9b, 0x59, 0xc4, 0x49, 0xce, 0x1c, 0xb6,
                                  0x10, 0x95, 0x29, 0xd4, 0xaf, 0xdc, 0x48, 0x39};

namespace {

constexpr size_t random_size = 4;
constexpr size_t marker_size = 4;
constexpr uint8_t marker_tail[3] = {0x0A, 0x05, 0x0A};
constexpr size_t guid_buffer_size = 1024;

// Both layers: a failed cipher can only be a failed allocation inside the
// crypto library.
void aes_ctr(const uint8_t key[16], const uint8_t* iv, size_t iv_len, const uint8_t* in,
             uint8_t* out, size_t length) {
    key_aes_ctr_ctx ctx;
    if (!key_aes_ctr_init(&ctx, key, iv, iv_len) || key_aes_ctr_crypt(&ctx, in, out, length) != 0)
        throw std::bad_alloc();
}

bool has_marker(const uint8_t* plain, uint8_t kind) {
    return plain[0] == kind && std::memcmp(plain + 1, marker_tail, sizeof marker_tail) == 0;
}

// The counter start of the host-bound layer: R and the whole marker.
void host_counter(uint8_t counter[random_size + marker_size], const uint8_t* r) {
    std::memcpy(counter, r, random_size);
    counter[random_size] = 'h';
    std::memcpy(counter + random_size + 1, marker_tail, sizeof marker_tail);
}

}  // namespace

int cli_pw_host_decrypt(const uint8_t* in, size_t length, uint8_t* out, const uint8_t* counter,
                        size_t counter_len) {
    char guid[guid_buffer_size] = {};
    key_machine_guid(guid, sizeof guid);
    uint8_t key[16];
    if (!str_parse_uuid(guid, key)) return 0;
    aes_ctr(key, counter, counter_len, in, out, length);
    return 1;
}

int cli_pw_decrypt(const char* text, char* out, size_t size) {
    const size_t len = std::strlen(text);
    if (len > size) {
        if (size) out[0] = '\0';
        return 0;
    }
    // The decoder counts in int; no real option comes near that.
    if (text[0] == '$' && len - 1 <= INT_MAX / 2) {
        const int enc_len = static_cast<int>(len - 1);
        std::vector<uint8_t> blob(static_cast<size_t>(b64_decode_room(enc_len)));
        const size_t n = static_cast<size_t>(b64_decode(text + 1, enc_len, blob.data()));
        if (n >= random_size + marker_size) {
            const uint8_t* r = blob.data();
            std::vector<uint8_t> plain(n - random_size + 1, 0);
            aes_ctr(pw_fixed_key, r, random_size, r + random_size, plain.data(), n - random_size);
            const uint8_t* inner = plain.data() + marker_size;
            const size_t inner_len = n - random_size - marker_size;
            // A decoded text is shorter than its encoded form, so this holds
            // whenever the text itself fit.
            if (inner_len >= size) return str_copy(out, text, size), 0;
            if (has_marker(plain.data(), 'e')) {
                size_t k = strnlen(reinterpret_cast<const char*>(inner), inner_len);
                std::memcpy(out, inner, k);
                out[k] = '\0';
                return 1;
            }
            if (has_marker(plain.data(), 'h')) {
                uint8_t counter[random_size + marker_size];
                host_counter(counter, r);
                if (!cli_pw_host_decrypt(inner, inner_len, reinterpret_cast<uint8_t*>(out), counter,
                                         sizeof counter))
                    return -1;
                out[inner_len] = '\0';
                return 1;
            }
        }
    }
    str_copy(out, text, size);
    return 0;
}

int cli_pw_encrypt(const char* password, int host_bound) {
    const size_t len = std::strlen(password);
    uint8_t r[random_size];
    if (RAND_bytes(r, sizeof r) != 1) throw cli_exit{1};

    // R, then the marker and the inner text under the outer key.
    std::vector<uint8_t> blob(random_size + marker_size + len, 0);
    std::memcpy(blob.data(), r, random_size);
    uint8_t* plain = blob.data() + random_size;
    plain[0] = host_bound ? 'h' : 'e';
    std::memcpy(plain + 1, marker_tail, sizeof marker_tail);
    uint8_t* inner = plain + marker_size;
    const auto* pw = reinterpret_cast<const uint8_t*>(password);
    if (host_bound) {
        uint8_t counter[random_size + marker_size];
        host_counter(counter, r);
        // Without an identity the inner text stays zero, and the check below
        // refuses it.
        cli_pw_host_decrypt(pw, len, inner, counter, sizeof counter);
    } else {
        std::memcpy(inner, pw, len);
    }
    aes_ctr(pw_fixed_key, r, random_size, plain, plain, marker_size + len);

    std::string text(1 + 4 * ((blob.size() + 2) / 3) + 1, '\0');
    text[0] = '$';
    int enc = b64_url_encode(blob.data(), static_cast<int>(blob.size()), text.data() + 1);
    text.resize(1 + static_cast<size_t>(enc));

    std::vector<char> check(2 * len + 28);
    if (cli_pw_decrypt(text.c_str(), check.data(), check.size()) != 1 ||
        std::strcmp(check.data(), password) != 0)
        throw cli_exit{1};
    cli_printf("$%s\n", text.c_str() + 1);
    return 1;
}

void cli_pw_scrub(char* text) {
    if (text) std::memset(text, cli_pw_scrub_char, std::strlen(text));
}

size_t cli_pw_scrub_hostport(char* text, char delim) {
    if (!text) return 0;
    char* at = std::strrchr(text, '@');
    if (!at) return 0;
    char* d = static_cast<char*>(std::memchr(text, delim, static_cast<size_t>(at - text)));
    if (!d) return 0;
    size_t n = static_cast<size_t>(at - (d + 1));
    std::memset(d + 1, cli_pw_scrub_char, n);
    return n;
}

size_t cli_pw_scrub_userinfo(char* text) {
    if (!text) return 0;
    char* at = std::strrchr(text, '@');
    if (!at) return 0;
    size_t n = static_cast<size_t>(at - text);
    std::memset(text, cli_pw_scrub_char, n);
    return n;
}

namespace {

// Whether a configuration file may be read, and so set the delimiter of
// -host: before any argument acts.
bool config_may_be_read(int argc, char** argv) {
    bool no_default = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view a(argv[i]);
        if (a.starts_with("-config:")) return true;
        if (a == "-nodefault") no_default = true;
    }
    return !no_default;
}

}  // namespace

void cli_pw_scrub_args(int argc, char** argv, cli_private_args* out) {
    out->texts.assign(argv, argv + argc);
    out->argv.clear();
    for (std::string& t : out->texts) out->argv.push_back(t.data());
    out->argv.push_back(nullptr);
    // The configuration files are applied before every argument, so only a
    // -passdelim: argument fixes the delimiter of the -host: after it.
    bool known = !config_may_be_read(argc, argv);
    char delim = ':';
    for (int i = 1; i < argc; ++i) {
        std::string_view a(argv[i]);
        if (a.starts_with("-passdelim:") && a.size() > 11) {
            delim = a[11];
            known = true;
        } else if (a.starts_with("-host:")) {
            if (known)
                cli_pw_scrub_hostport(argv[i] + 6, delim);
            else
                cli_pw_scrub_userinfo(argv[i] + 6);
        } else if (a.starts_with("-proxy:")) {
            cli_pw_scrub_hostport(argv[i] + 7, ':');
        } else if (a.starts_with("-encryptpass:")) {
            cli_pw_scrub(argv[i] + 13);
        }
    }
}

}  // namespace ostrel
