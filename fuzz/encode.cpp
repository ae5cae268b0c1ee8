// Decoders and encoders over hostile bytes, each given exactly the room its
// contract asks for (ASan catches a byte past it).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/encode.hpp"

using namespace ostrel;

namespace {

// Decodes a whole encoded stream line by line, as a reader would.
std::string qp_decode_all(const std::string& enc, int text_mode) {
    std::string out;
    size_t start = 0;
    while (start < enc.size()) {
        size_t end = enc.find("\r\n", start);
        if (end == std::string::npos) end = enc.size();
        if (end - start > 76) __builtin_trap();  // line too long
        std::vector<uint8_t> buf(end - start + 2);
        int n = mime_qp_decode(enc.data() + start, static_cast<int>(end - start), buf.data(), 1);
        out.append(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(n));
        start = end + 2;
    }
    // The decoder ends every line with CR LF; the stream's last line had none.
    if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0 &&
        (enc.size() < 2 || enc.compare(enc.size() - 2, 2, "\r\n") != 0))
        out.resize(out.size() - 2);
    (void)text_mode;
    return out;
}

void qp_slices(FuzzedDataProvider& fdp, int text_mode) {
    uint32_t column = 0;
    uint8_t pending = 0;
    std::string plain, enc;
    while (fdp.remaining_bytes() > 0) {
        std::vector<uint8_t> in = fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange(0, 200));
        std::vector<char> out(9 * in.size() + 1);
        static const uint8_t none = 0;  // an empty slice is not the ending call
        const uint8_t* p = in.empty() ? &none : in.data();
        int n = mime_qp_encode(&column, &pending, p, static_cast<int>(in.size()), out.data(),
                               text_mode);
        if (n < 0 || static_cast<size_t>(n) > 9 * in.size()) __builtin_trap();
        if (column > 76) __builtin_trap();
        plain.append(in.begin(), in.end());
        enc.append(out.data(), static_cast<size_t>(n));
    }
    std::vector<char> end(6);
    int n = mime_qp_encode(&column, &pending, nullptr, 0, end.data(), text_mode);
    if (n < 0 || n > 6) __builtin_trap();
    enc.append(end.data(), static_cast<size_t>(n));
    if (qp_decode_all(enc, text_mode) != plain) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    const int mode = fdp.ConsumeIntegralInRange(0, 6);
    if (mode == 5 || mode == 6) {
        qp_slices(fdp, mode == 6);
        return 0;
    }
    std::vector<uint8_t> in = fdp.ConsumeRemainingBytes<uint8_t>();
    const int len = static_cast<int>(in.size());
    const char* text = reinterpret_cast<const char*>(in.data());
    switch (mode) {
        case 0: {
            std::vector<uint8_t> out(static_cast<size_t>(b64_decode_room(len)));
            int n = b64_decode(text, len, out.data());
            if (n < 0 || n > b64_decode_room(len)) __builtin_trap();
            break;
        }
        case 1: {
            for (int tm = 0; tm < 2; ++tm) {
                std::vector<uint8_t> out(in.size() + 2);
                int n = mime_qp_decode(text, len, out.data(), tm);
                if (n < 0 || n > len + 2) __builtin_trap();
            }
            break;
        }
        case 2: {
            std::vector<char> out(2 * in.size());
            mime_yenc_encode(in.data(), len, out.data());
            std::vector<char> uu(1 + 4 * ((in.size() + 2) / 3));
            mime_uu_encode_line(in.data(), len, uu.data());
            break;
        }
        case 3: {
            std::string s(text, in.size());
            int room = in.empty() ? 1 : in[0] + 1;
            std::vector<char> out(static_cast<size_t>(room));
            str_url_encode(s.c_str(), out.data(), room);
            if (std::strlen(out.data()) >= static_cast<size_t>(room)) __builtin_trap();
            break;
        }
        case 4: {
            // Both alphabets must decode back to the bytes they encoded.
            std::vector<char> out(4 * ((in.size() + 2) / 3));
            for (int url = 0; url < 2; ++url) {
                int n = url ? b64_url_encode(in.data(), len, out.data())
                            : b64_encode(in.data(), len, out.data());
                std::vector<uint8_t> back(static_cast<size_t>(b64_decode_room(n)));
                int m = b64_decode(out.data(), n, back.data());
                if (m != len || (len && std::memcmp(back.data(), in.data(), in.size()) != 0))
                    __builtin_trap();
            }
            break;
        }
    }
    return 0;
}
