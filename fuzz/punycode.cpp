// Punycode both ways on hostile input; the decoded code points go back
// through the encoder and must come out the same.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "support/punycode.hpp"

using namespace ostrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    const size_t cap = fdp.ConsumeIntegralInRange<size_t>(0, 300);
    const bool flags = fdp.ConsumeBool();
    const bool raw_cps = fdp.ConsumeBool();
    if (raw_cps) {
        std::vector<uint32_t> cps;
        while (fdp.remaining_bytes() >= 4 && cps.size() < 300)
            cps.push_back(fdp.ConsumeIntegral<uint32_t>() % 0x110000);
        std::vector<unsigned char> cf(cps.size(), 1);
        std::vector<char> out(cap);
        size_t n = cap;
        int rc = addr_punycode_encode(cps.size(), cps.data(), flags ? cf.data() : nullptr, &n,
                                      out.data());
        if (rc != punycode_success) return 0;
        if (n >= cap || out[n] != '\0') __builtin_trap();
        if (flags) return 0;  // flagged basic letters come back in upper case
        std::vector<uint32_t> back(cps.size() + 1);
        size_t m = back.size();
        if (addr_punycode_decode(n, out.data(), &m, back.data(), nullptr) != punycode_success ||
            m != cps.size() || !std::equal(cps.begin(), cps.end(), back.begin()))
            __builtin_trap();
        return 0;
    }
    std::string in = fdp.ConsumeRemainingBytesAsString();
    std::vector<uint32_t> out(cap);
    std::vector<unsigned char> cf(cap);
    size_t n = cap;
    int rc =
        addr_punycode_decode(in.size(), in.data(), &n, out.data(), flags ? cf.data() : nullptr);
    if (rc != punycode_success) return 0;
    if (n > cap) __builtin_trap();
    std::vector<char> enc(in.size() + 2);
    size_t en = enc.size();
    rc = addr_punycode_encode(n, out.data(), nullptr, &en, enc.data());
    if (rc == punycode_success && en >= enc.size()) __builtin_trap();
    return 0;
}
