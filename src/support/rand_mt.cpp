#include "support/rand_mt.hpp"

#include <new>

namespace ostrel {

namespace {

constexpr int shift_period = 397;
constexpr uint32_t matrix_a = 0x9908b0dfU;
constexpr uint32_t upper_mask = 0x80000000U;
constexpr uint32_t lower_mask = 0x7fffffffU;

// Regenerates in place and in increasing order, so the later words already
// see the new values of the earlier ones.
void regenerate(rand_mt_state& s) {
    for (int i = 0; i < rand_mt_words; ++i) {
        uint32_t y = (s.mt[i] & upper_mask) | (s.mt[(i + 1) % rand_mt_words] & lower_mask);
        uint32_t v = s.mt[(i + shift_period) % rand_mt_words] ^ (y >> 1);
        s.mt[i] = (y & 1U) ? v ^ matrix_a : v;
    }
    s.index = 0;
}

}  // namespace

rand_mt_state* rand_mt_create(uint32_t seed) {
    std::unique_ptr<rand_mt_state> state;
    try {
        state = std::make_unique<rand_mt_state>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    state->mt[0] = seed;
    for (uint32_t i = 1; i < rand_mt_words; ++i) {
        uint32_t prev = state->mt[i - 1];
        state->mt[i] = 1812433253U * (prev ^ (prev >> 30)) + i;
    }
    state->index = rand_mt_words;
    return state.release();
}

uint32_t rand_mt_next(rand_mt_state* state) {
    if (state->index >= rand_mt_words) regenerate(*state);
    uint32_t y = state->mt[state->index++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680U;
    y ^= (y << 15) & 0xefc60000U;
    y ^= y >> 18;
    return y;
}

void rand_mt_free(rand_mt_state* state) {
    std::unique_ptr<rand_mt_state> owned(state);
}

}  // namespace ostrel
