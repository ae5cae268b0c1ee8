// Decimal number parsing with the results of the 32-bit runtime the program
// was designed on: atoi with a 32-bit result and _strtoui64 in base 10.
#pragma once

#include <cstdint>

namespace ostrel {

// Leading white space, an optional sign, then digits; stops at the first
// non-digit. A value beyond 32 bits saturates at INT32_MAX / INT32_MIN.
// A NULL text gives 0.
int32_t plat_atoi(const char* text);

// Leading white space, an optional sign, then decimal digits; a minus sign
// negates the value modulo 2^64. A value beyond 64 bits gives UINT64_MAX
// (whatever the sign). A NULL text gives 0.
uint64_t plat_strtoui64(const char* text);

}  // namespace ostrel
