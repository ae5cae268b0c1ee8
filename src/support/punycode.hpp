// Punycode (Bootstring with the IDNA parameters): domain labels in code
// points to and from the ASCII text that follows "xn--".
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

enum punycode_status {
    punycode_success = 0,
    punycode_bad_input = 1,
    punycode_big_output = 2,  // the output array's capacity is exceeded
    punycode_overflow = 3,    // a length or value exceeds 32 bits
};

// *output_length holds the capacity of output in bytes on entry. One byte of
// it is always kept for the terminator: on success the text is at most
// capacity - 1 bytes, a NUL follows it and *output_length is its length.
// Case flags, when given, hold one byte per code point (non-zero: upper
// case). On failure *output_length is unchanged.
int addr_punycode_encode(size_t input_length, const uint32_t input[],
                         const unsigned char case_flags[], size_t* output_length, char output[]);

// *output_length holds the capacity of output in code points on entry and
// the number written on success. case_flags, when given, receives one flag
// per code point. On failure *output_length is unchanged.
int addr_punycode_decode(size_t input_length, const char input[], size_t* output_length,
                         uint32_t output[], unsigned char case_flags[]);

}  // namespace ostrel
