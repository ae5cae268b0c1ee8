// The "$" text decoder of -host: passwords over hostile text, with output
// buffers as small as its contract allows (ASan catches a byte past them).
// Half the inputs are well-formed texts around hostile contents, since random
// bytes almost never decipher to a marker.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli/password.hpp"
#include "support/encode.hpp"
#include "support/key.hpp"

using namespace ostrel;

namespace {

std::string wrap(FuzzedDataProvider& fdp) {
    std::string r = fdp.ConsumeBytesAsString(4);
    r.resize(4, '\0');
    const char kind = fdp.ConsumeBool() ? 'e' : 'h';
    std::string plain = std::string(1, kind) + "\n\x05\n" + fdp.ConsumeRandomLengthString(2000);
    std::vector<uint8_t> blob(4 + plain.size());
    std::memcpy(blob.data(), r.data(), 4);
    key_aes_ctr_ctx ctx;
    key_aes_ctr_init(&ctx, pw_fixed_key, reinterpret_cast<const uint8_t*>(r.data()), 4);
    key_aes_ctr_crypt(&ctx, reinterpret_cast<const uint8_t*>(plain.data()), blob.data() + 4,
                      plain.size());
    std::string text(1 + 4 * (blob.size() + 2) / 3, '\0');
    text[0] = '$';
    text.resize(1 + static_cast<size_t>(b64_url_encode(blob.data(), static_cast<int>(blob.size()),
                                                       text.data() + 1)));
    // Damage: cut it, or add what a careless copy adds.
    text.resize(text.size() -
                fdp.ConsumeIntegralInRange<size_t>(0, text.size() - 1) * fdp.ConsumeBool());
    return text + fdp.ConsumeRandomLengthString(8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    std::string text = fdp.ConsumeBool() ? wrap(fdp) : "$" + fdp.ConsumeRemainingBytesAsString();
    text.resize(std::strlen(text.c_str()));
    for (size_t room : {text.size(), text.size() + 1, text.size() / 2 + 1}) {
        if (room == 0) continue;
        std::vector<char> out(room, '#');
        int r = cli_pw_decrypt(text.c_str(), out.data(), out.size());
        if (r < -1 || r > 1) __builtin_trap();
        if (r == -1) continue;  // no machine identity: nothing written
        size_t len = strnlen(out.data(), out.size());
        if (len == out.size()) __builtin_trap();  // never left unterminated
        if (r == 0 && room > text.size() && std::strcmp(out.data(), text.c_str()) != 0)
            __builtin_trap();  // a plain password is used unchanged
        if (r == 1 && len >= text.size()) __builtin_trap();
    }
    return 0;
}
