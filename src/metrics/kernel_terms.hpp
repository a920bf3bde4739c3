// The per-element terms of the metric sums, in vector registers, for the SIMD
// kernel files. Internal linkage on purpose: each kernel file is compiled for
// its own instruction set, and must never share a copy with another.
#pragma once

#include <immintrin.h>

namespace tessra {
namespace {

enum class Term { SquaredDifference, Product, Square };

#if defined(__AVX2__)
template <Term T>
inline __m256d term(__m256d q, __m256d v) {
    if constexpr (T == Term::SquaredDifference) {
        const __m256d d = _mm256_sub_pd(q, v);
        return _mm256_mul_pd(d, d);
    } else if constexpr (T == Term::Product) {
        return _mm256_mul_pd(q, v);
    } else {
        return _mm256_mul_pd(v, v);
    }
}
#endif

#if defined(__AVX512F__)
template <Term T>
inline __m512d term(__m512d q, __m512d v) {
    if constexpr (T == Term::SquaredDifference) {
        const __m512d d = _mm512_sub_pd(q, v);
        return _mm512_mul_pd(d, d);
    } else if constexpr (T == Term::Product) {
        return _mm512_mul_pd(q, v);
    } else {
        return _mm512_mul_pd(v, v);
    }
}
#endif

}  // namespace
}  // namespace tessra
