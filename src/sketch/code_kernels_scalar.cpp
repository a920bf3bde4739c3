// Portable code kernels: the fixed lane order written out as plain loops.
#include <cstring>

#include "sketch/code_kernels.hpp"

namespace tessra {
namespace {

constexpr std::size_t kBanks = 4;

float reduce(const float (&bank)[kBanks][kCodeLanes]) {
    float lanes[kCodeLanes];
    for (std::size_t l = 0; l < kCodeLanes; ++l) lanes[l] = (bank[0][l] + bank[1][l]) + (bank[2][l] + bank[3][l]);
    for (std::size_t width = kCodeLanes / 2; width >= 1; width /= 2)
        for (std::size_t l = 0; l < width; ++l) lanes[l] = lanes[l] + lanes[l + width];
    return lanes[0];
}

// Calls chunk(bank, codes of 16 dimensions, first dimension) for every chunk
// of 16 dimensions, the last one through a zero-padded copy (the vector
// kernels read bytes past the row there, to the same effect).
template <typename Chunk>
void for_each_chunk(const std::uint8_t* row, std::size_t dim, Chunk&& chunk) {
    std::size_t j = 0, k = 0;
    for (; j + kCodeLanes <= dim; j += kCodeLanes, ++k) chunk(k % kBanks, row + j, j);
    if (j < dim) {
        std::uint8_t tail[kCodeLanes] = {};
        std::memcpy(tail, row + j, dim - j);
        chunk(k % kBanks, tail, j);
    }
}

void gaps_scalar(const float* u, const float* step, const std::uint8_t* const* rows, std::size_t count,
                 std::size_t dim, float* out) {
    for (std::size_t i = 0; i < count; ++i) {
        float bank[kBanks][kCodeLanes] = {};
        for_each_chunk(rows[i], dim, [&](std::size_t b, const std::uint8_t* c, std::size_t j) {
            for (std::size_t l = 0; l < kCodeLanes; ++l) {
                const float t = u[j + l] - static_cast<float>(c[l]) * step[j + l];
                bank[b][l] = bank[b][l] + t * t;
            }
        });
        out[i] = reduce(bank);
    }
}

void dots_scalar(const float* a, const std::uint8_t* const* rows, std::size_t count, std::size_t dim, float* out) {
    for (std::size_t i = 0; i < count; ++i) {
        float bank[kBanks][kCodeLanes] = {};
        for_each_chunk(rows[i], dim, [&](std::size_t b, const std::uint8_t* c, std::size_t j) {
            for (std::size_t l = 0; l < kCodeLanes; ++l) bank[b][l] = bank[b][l] + a[j + l] * static_cast<float>(c[l]);
        });
        out[i] = reduce(bank);
    }
}

void weights_scalar(const std::int16_t* w, const std::uint8_t* const* rows, std::size_t count, std::size_t dim,
                    std::int64_t* out) {
    for (std::size_t i = 0; i < count; ++i) {
        std::int64_t sum = 0;
        for (std::size_t j = 0; j < dim; ++j) sum += static_cast<std::int64_t>(w[j]) * rows[i][j];
        out[i] = sum;
    }
}

}  // namespace

const CodeKernels kScalarCodeKernels{"scalar", gaps_scalar, dots_scalar, weights_scalar};

}  // namespace tessra
