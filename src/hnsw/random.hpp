// Uniform 64-bit random words for level draws, one generator per thread.
#pragma once

#include <cstdint>

namespace tessra {

struct RandomSource {
    virtual ~RandomSource() = default;
    virtual std::uint64_t next_u64() = 0;
};

// The calling thread's generator (xoshiro256**), seeded on first use from the
// operating system's random source. Never shared between threads.
RandomSource& thread_random();

}  // namespace tessra
