// The 32-bit Mersenne Twister (MT19937) behind the mail library's random
// tokens. Not for secrets: keys and passwords use the TLS library's source.
#pragma once

#include <cstdint>
#include <memory>

namespace ostrel {

constexpr int rand_mt_words = 624;

struct rand_mt_state {
    uint32_t mt[rand_mt_words];
    uint16_t index;  // next word to draw; rand_mt_words: regenerate first
};

// A new state seeded with the reference seeding routine (any seed, 0
// included), or NULL when memory is exhausted. Release it with rand_mt_free.
rand_mt_state* rand_mt_create(uint32_t seed);
uint32_t rand_mt_next(rand_mt_state* state);
void rand_mt_free(rand_mt_state* state);

struct rand_mt_deleter {
    void operator()(rand_mt_state* state) const { rand_mt_free(state); }
};
using rand_mt_ptr = std::unique_ptr<rand_mt_state, rand_mt_deleter>;

}  // namespace ostrel
