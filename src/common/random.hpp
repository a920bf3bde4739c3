// Uniform 64-bit random words for level draws: one generator per thread, or
// an index's own generator when the index was given a seed.
#pragma once

#include <array>
#include <cstdint>

namespace tessra {

struct RandomSource {
    virtual ~RandomSource() = default;
    virtual std::uint64_t next_u64() = 0;
};

// The calling thread's generator (xoshiro256**), seeded on first use from the
// operating system's random source. Never shared between threads.
RandomSource& thread_random();

// xoshiro256**, the thread generators' algorithm, started from a seed
// through splitmix64: the same seed gives the same words on every machine.
// Its whole state can be saved and restored, so a loaded index draws on
// exactly as the original would have.
class SeededGenerator final : public RandomSource {
public:
    using State = std::array<std::uint64_t, 4>;

    explicit SeededGenerator(std::uint64_t seed);
    // A generator of `seed` that has moved on to `state`. Precondition: the
    // state is not all zero (no seed leads there; a loader checks it).
    SeededGenerator(std::uint64_t seed, const State& state) : seed_(seed), state_(state) {}

    std::uint64_t next_u64() override;
    std::uint64_t seed() const { return seed_; }
    const State& state() const { return state_; }

private:
    std::uint64_t seed_;  // what the generator was started from
    State state_;         // where it stands now
};

}  // namespace tessra
