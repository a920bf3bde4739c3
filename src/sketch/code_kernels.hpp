// Kernels over 8-bit codes: one query-side float32 array against stored rows
// of uint8 codes. Every variant adds its terms in one fixed order, so each
// result is bit-identical to the plain loop of code_kernels_scalar.cpp:
// dimension j belongs to lane j % 16 of bank (j / 16) % 4; each lane adds
// its terms in dimension order; the four banks are added lane by lane as
// (b0 + b1) + (b2 + b3), and the sixteen lanes as the tree
// l + (l + 8), then + 4, + 2, + 1. No fused multiply-add anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessra {

constexpr std::size_t kCodeLanes = 16;

// Query-side arrays are padded with zeros to a multiple of kCodeLanes. Rows
// hold `dim` codes, but a kernel reads each row in whole chunks of
// kCodeLanes, up to kCodeRowSlack bytes past its end: whoever owns the rows
// keeps that many readable bytes after the last one. A lane past `dim` adds
// an exact zero whatever byte it reads (its query-side value is zero), just
// as the plain loop adds zero for it.
constexpr std::size_t kCodeRowSlack = kCodeLanes - 1;
constexpr std::size_t padded_code_dim(std::size_t dim) { return (dim + kCodeLanes - 1) / kCodeLanes * kCodeLanes; }

// out[i] = sum over j < dim of (u[j] - float(rows[i][j]) * step[j])^2, each
// product exact (see CodeGrid), each difference, square and sum rounded.
using CodeGapKernel = void (*)(const float* u, const float* step, const std::uint8_t* const* rows, std::size_t count,
                               std::size_t dim, float* out);
// out[i] = sum over j < dim of a[j] * float(rows[i][j]).
using CodeDotKernel = void (*)(const float* a, const std::uint8_t* const* rows, std::size_t count, std::size_t dim,
                               float* out);

// out[i] = sum over j < dim of w[j] * rows[i][j], in integers: exact, so
// every variant agrees whatever its order. Preconditions: |w[j]| <=
// kMaxCodeWeight and dim <= kMaxWeightedDim, which keep every partial sum of
// every variant's 32-bit lanes below 2^31 (a lane adds at most dim / 8 products).
constexpr std::int32_t kMaxCodeWeight = 8192;
constexpr std::size_t kMaxWeightedDim = 4096;
using CodeWeightKernel = void (*)(const std::int16_t* w, const std::uint8_t* const* rows, std::size_t count,
                                  std::size_t dim, std::int64_t* out);

struct CodeKernels {
    const char* name;
    CodeGapKernel gaps;
    CodeDotKernel dots;
    CodeWeightKernel weights;
};

extern const CodeKernels kScalarCodeKernels;
#if defined(TESSRA_X86)
extern const CodeKernels kAvx2CodeKernels;
extern const CodeKernels kAvx512CodeKernels;
#endif

// The fastest set this CPU runs, chosen once by CPU features.
const CodeKernels& active_code_kernels();
// Every set compiled in that this CPU runs, plain scalar first.
std::vector<const CodeKernels*> supported_code_kernels();

}  // namespace tessra
