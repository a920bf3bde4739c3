#include "common/random.hpp"

#if defined(__linux__)
#include <sys/random.h>
#elif defined(__APPLE__)
#include <unistd.h>  // getentropy
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace tessra {

namespace {

bool fill_from_getrandom(unsigned char* out, std::size_t size) {
#if defined(__APPLE__)
    // getentropy hands out at most 256 bytes per call; a seed is 32.
    return size <= 256 && getentropy(out, size) == 0;
#elif !defined(__linux__)
    (void)out;
    (void)size;
    return false;
#else
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = getrandom(out + done, size - done, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
#endif
}

bool fill_from_urandom(unsigned char* out, std::size_t size) {
    std::FILE* file = std::fopen("/dev/urandom", "rb");
    if (file == nullptr) return false;
    const bool complete = std::fread(out, 1, size, file) == size;
    std::fclose(file);
    return complete;
}

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

std::uint64_t xoshiro_next(std::uint64_t (&state)[4]) {
    const std::uint64_t result = rotl(state[1] * 5, 7) * 9;
    const std::uint64_t t = state[1] << 17;
    state[2] ^= state[0];
    state[3] ^= state[1];
    state[1] ^= state[2];
    state[0] ^= state[3];
    state[2] ^= t;
    state[3] = rotl(state[3], 45);
    return result;
}

class Xoshiro256StarStar final : public RandomSource {
public:
    Xoshiro256StarStar() {
        unsigned char seed[sizeof state_];
        if (!fill_from_getrandom(seed, sizeof seed) && !fill_from_urandom(seed, sizeof seed)) {
            // No system source at all: mix the clock and the thread's identity so
            // that threads still get different streams.
            std::uint64_t mix = static_cast<std::uint64_t>(
                std::chrono::steady_clock::now().time_since_epoch().count());
            mix ^= std::hash<std::thread::id>{}(std::this_thread::get_id());
            for (std::size_t i = 0; i < sizeof seed; i += 8) {
                const std::uint64_t word = splitmix64(mix);
                std::memcpy(seed + i, &word, 8);
            }
        }
        std::memcpy(state_, seed, sizeof state_);
        // The all-zero state would only ever produce zeros.
        if ((state_[0] | state_[1] | state_[2] | state_[3]) == 0) state_[0] = 1;
    }

    std::uint64_t next_u64() override { return xoshiro_next(state_); }

private:
    std::uint64_t state_[4];
};

}  // namespace

RandomSource& thread_random() {
    thread_local Xoshiro256StarStar generator;
    return generator;
}

SeededGenerator::SeededGenerator(std::uint64_t seed) : seed_(seed) {
    // splitmix64 never yields four zero words in a row, so the state is valid.
    std::uint64_t mix = seed;
    for (std::uint64_t& word : state_) word = splitmix64(mix);
}

std::uint64_t SeededGenerator::next_u64() {
    std::uint64_t words[4] = {state_[0], state_[1], state_[2], state_[3]};
    const std::uint64_t result = xoshiro_next(words);
    for (int i = 0; i < 4; ++i) state_[i] = words[i];
    return result;
}

}  // namespace tessra
