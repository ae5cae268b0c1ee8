#include "support/punycode.hpp"

#include <cstring>

namespace ostrel {

namespace {

constexpr uint32_t base = 36;
constexpr uint32_t tmin = 1;
constexpr uint32_t tmax = 26;
constexpr uint32_t skew = 38;
constexpr uint32_t damp = 700;
constexpr uint32_t initial_bias = 72;
constexpr uint32_t initial_n = 0x80;
constexpr char delimiter = '-';
constexpr uint32_t maxint = UINT32_MAX;

bool is_basic(uint32_t cp) { return cp < 0x80; }

bool is_flagged(unsigned char c) { return c >= 'A' && c <= 'Z'; }

// 0-25 are letters (upper case when flagged), 26-35 the digits "0" to "9".
char encode_digit(uint32_t d, bool upper) {
    if (d < 26) return static_cast<char>((upper ? 'A' : 'a') + d);
    return static_cast<char>('0' + (d - 26));
}

// base for a byte that is no digit.
uint32_t decode_digit(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0' + 26u;
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a';
    return base;
}

char encode_basic(uint32_t cp, bool upper) {
    if (cp >= 'a' && cp <= 'z' && upper) return static_cast<char>(cp - 'a' + 'A');
    if (cp >= 'A' && cp <= 'Z' && !upper) return static_cast<char>(cp - 'A' + 'a');
    return static_cast<char>(cp);
}

uint32_t threshold(uint32_t k, uint32_t bias) {
    if (k <= bias) return tmin;
    if (k >= bias + tmax) return tmax;
    return k - bias;
}

uint32_t adapt(uint32_t delta, uint32_t numpoints, bool first) {
    delta = first ? delta / damp : delta / 2;
    delta += delta / numpoints;
    uint32_t k = 0;
    while (delta > ((base - tmin) * tmax) / 2) {
        delta /= base - tmin;
        k += base;
    }
    return k + (base - tmin + 1) * delta / (delta + skew);
}

}  // namespace

int addr_punycode_encode(size_t input_length, const uint32_t input[],
                         const unsigned char case_flags[], size_t* output_length, char output[]) {
    if (input_length > maxint) return punycode_overflow;
    // The last byte of the capacity is the terminator's.
    if (*output_length == 0) return punycode_big_output;
    const size_t max_out = *output_length - 1;
    size_t out = 0;
    for (size_t j = 0; j < input_length; ++j) {
        if (!is_basic(input[j])) continue;
        if (max_out - out < 2) return punycode_big_output;
        output[out++] = case_flags ? encode_basic(input[j], case_flags[j] != 0)
                                   : static_cast<char>(input[j]);
    }
    uint32_t h = static_cast<uint32_t>(out);
    const uint32_t b = h;
    if (b > 0) output[out++] = delimiter;

    uint32_t n = initial_n, delta = 0, bias = initial_bias;
    while (h < input_length) {
        uint32_t m = maxint;
        for (size_t j = 0; j < input_length; ++j)
            if (input[j] >= n && input[j] < m) m = input[j];
        if (m - n > (maxint - delta) / (h + 1)) return punycode_overflow;
        delta += (m - n) * (h + 1);
        n = m;
        for (size_t j = 0; j < input_length; ++j) {
            if (input[j] < n && ++delta == 0) return punycode_overflow;
            if (input[j] != n) continue;
            uint32_t q = delta;
            for (uint32_t k = base;; k += base) {
                if (out >= max_out) return punycode_big_output;
                const uint32_t t = threshold(k, bias);
                if (q < t) break;
                output[out++] = encode_digit(t + (q - t) % (base - t), false);
                q = (q - t) / (base - t);
            }
            output[out++] = encode_digit(q, case_flags && case_flags[j]);
            bias = adapt(delta, h + 1, h == b);
            delta = 0;
            ++h;
        }
        ++delta;
        ++n;
    }
    output[out] = '\0';
    *output_length = out;
    return punycode_success;
}

int addr_punycode_decode(size_t input_length, const char input[], size_t* output_length,
                         uint32_t output[], unsigned char case_flags[]) {
    const auto* in_bytes = reinterpret_cast<const unsigned char*>(input);
    const size_t max_out = *output_length > maxint ? maxint : *output_length;
    size_t b = 0;
    for (size_t j = 0; j < input_length; ++j)
        if (in_bytes[j] == delimiter) b = j;
    if (b > max_out) return punycode_big_output;

    size_t out = 0;
    for (size_t j = 0; j < b; ++j) {
        if (!is_basic(in_bytes[j])) return punycode_bad_input;
        if (case_flags) case_flags[out] = is_flagged(in_bytes[j]);
        output[out++] = in_bytes[j];
    }

    uint32_t n = initial_n, i = 0, bias = initial_bias;
    for (size_t in = b > 0 ? b + 1 : 0; in < input_length; ++out) {
        const uint32_t oldi = i;
        for (uint32_t w = 1, k = base;; k += base) {
            if (in >= input_length) return punycode_bad_input;
            const uint32_t digit = decode_digit(in_bytes[in++]);
            if (digit >= base) return punycode_bad_input;
            if (digit > (maxint - i) / w) return punycode_overflow;
            i += digit * w;
            const uint32_t t = threshold(k, bias);
            if (digit < t) break;
            if (w > maxint / (base - t)) return punycode_overflow;
            w *= base - t;
        }
        const auto count = static_cast<uint32_t>(out + 1);
        bias = adapt(i - oldi, count, oldi == 0);
        if (i / count > maxint - n) return punycode_overflow;
        n += i / count;
        i %= count;
        if (out >= max_out) return punycode_big_output;
        std::memmove(output + i + 1, output + i, (out - i) * sizeof *output);
        if (case_flags) {
            std::memmove(case_flags + i + 1, case_flags + i, out - i);
            case_flags[i] = is_flagged(in_bytes[in - 1]);
        }
        output[i++] = n;
    }
    *output_length = out;
    return punycode_success;
}

}  // namespace ostrel
