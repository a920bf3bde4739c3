// A grid of 8-bit codes per dimension, fitted to rows of doubles, and the
// euclidean bound it gives: a stored row y is kept as codes c_j and an error
// e >= |sigma y - yhat| with yhat_j = lo_j + c_j step_j, so for a query row z
//
//     sigma |z - y| >= |sigma z - yhat| - e,
//
// and |sigma z - yhat| is bounded from below from the codes in float32. Used
// for the byte codes of whole vectors and for compact sketches.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sketch/code_kernels.hpp"

namespace tessra {

// The margins below are derived for at most this many coded dimensions.
constexpr std::size_t kMaxCodedDim = std::size_t{1} << 16;
// A row whose error bound exceeds this (in grid units) is never skipped; with
// queries limited to kMaxCodeQuery the bound's sums then stay far from overflow.
constexpr double kMaxCodeError = 0x1p60;
constexpr double kMaxCodeQuery = 0x1p64;

struct CodeGrid {
    std::size_t dim = 0;  // coded dimensions; 0: no grid (nothing is coded, nothing skipped)
    // sigma, a power of two chosen so that the largest |sigma y_j| of the
    // fitted rows lies in [1/2, 1): scaling by it is exact, and it keeps
    // float32 away from overflow and underflow whatever the data's scale.
    double scale = 1.0;
    // Per dimension, padded with zeros to padded_code_dim(dim): the grid's
    // first point (at most the smallest fitted sigma y_j) and its spacing.
    // A spacing has at most 16 significant bits, so code * step (8 by 16
    // bits) is exact in float32; 0 for a constant dimension (code 0 always).
    std::vector<float> lo;
    std::vector<float> step;

    bool fitted() const { return dim != 0; }
};

// Fits a grid to the finite rows among `count` rows of `dim` doubles,
// `stride` doubles apart. No grid when no row is finite or dim is 0 or
// beyond kMaxCodedDim.
CodeGrid fit_code_grid(const double* rows, std::size_t count, std::size_t dim, std::size_t stride);

// Writes the dim codes of row y (nearest grid point per dimension, clamped to
// 0..255) and returns, rounded up to float32, a bound on |sigma y - yhat|
// plus sigma * allowance (an error the caller's row already carries); NaN
// (never skip) when y has a non-finite component or the bound exceeds
// kMaxCodeError. `clamped` is set when a component lay off the grid.
float code_row(const CodeGrid& grid, const double* y, double allowance, std::uint8_t* codes, bool& clamped);

// Margins of the gap bound, named so that mutation checks can remove them
// (the derivation is at GapQuery). Relative to float32 roundoff 2^-24: the
// factor on the rounding of the sum of n squares, and on the rounding of
// the query's row to float32.
constexpr double kCodeSumMargin = 1.01;
constexpr double kCodeQueryRounding = 1.01;
// Absolute allowances in grid units: every underflow of the bound's
// arithmetic together, and the least reach a skip must clear (it makes the
// sum's absolute underflow negligible against the squared reach).
constexpr double kCodeFloor = 0x1p-60;
constexpr double kCodeReachFloor = 0x1p-40;

// The query side of the gap bound for one query row z: u_j = fl32(sigma z_j
// - lo_j), and what the codes' sum needs to clear.
//
// Derivation (v = 2^-24, u = 2^-53, n = dim <= 2^16, so n v <= 2^-8):
// 1. The double difference and its rounding to float32 give
//    |u_j - (sigma z_j - lo_j)| <= (u + v + uv)|sigma z_j - lo_j| + 2^-150,
//    so |u - (sigma z - lo)| <= E1 = kCodeQueryRounding * v * N plus
//    underflow, N the computed |fl64(sigma z - lo)| (its own rounding is far
//    inside the 1.01).
// 2. The kernel's t_j = fl(u_j - c_j step_j) rounds once (the product is
//    exact, and a difference of floats landing among the subnormals is
//    exact): t_j = w_j (1 + d_j), |d_j| <= v, with w_j = u_j - c_j step_j.
// 3. Its sum S of the n rounded squares, in any order, satisfies
//    S <= (1 + g_n) sum t_j^2 + n 2^-148 (g_n = n v / (1 - n v); underflow),
//    and sum w_j^2 >= sum t_j^2 / (1 + v)^2, so
//    |w|^2 >= (S - n 2^-148)(1 - g_{n+2}).
// 4. sigma z - yhat = w + ((sigma z - lo) - u), hence
//    sigma |z - y| >= |w| - E1 - e, less underflow in sigma z (kCodeFloor).
// 5. A row is proved out of reach R (R >= E1 + kCodeFloor + the distance
//    needed, in grid units, and R >= kCodeReachFloor) when, in double,
//    S kappa >= (e + R)^2 with kappa = 1 - kCodeSumMargin (n + 8) v. The two
//    sides' own rounding is at most (1 + u)/(1 - u)^3 <= 1 + 4.01 u; the right
//    side is at least 2^-80, so S >= 2^-81 and n 2^-148 <= 2^-51 S; and
//    (1 - 2^-51)(1 - g_{n+2}) / (1 + 4.01 u) >= 1 - 1.004 (n + 2) v - 2^-50
//    >= kappa. So |w|^2 >= (e + R)^2 and sigma |z - y| >= R - E1 - kCodeFloor.
// 6. Overflow: with |u_j| <= kMaxCodeQuery and e, R <= kMaxCodeError, an
//    infinite S means some exact partial sum passed FLT_MAX, so
//    |w|^2 >= 2^126 > (e + R)^2, and the test (inf >= finite) is right.
class GapQuery {
public:
    // False (and the query proves nothing) when z has a non-finite component
    // or lies too far off the grid.
    bool set(const CodeGrid& grid, const double* z);
    // The reach R for a distance `needed` (unscaled, >= 0 and finite), or NaN
    // when no row can be proved beyond it.
    double reach(double needed) const {
        double r = (scale_ * needed + rounding_ + kCodeFloor) * (1.0 + 0x1p-50);
        if (r < kCodeReachFloor) r = kCodeReachFloor;
        return r <= kMaxCodeError ? r : std::nan("");
    }
    // True when the row with gap sum S (from the gap kernel) and error e lies beyond reach R.
    bool beyond(float sum, float error, double reach) const {
        const double side = static_cast<double>(error) + reach;
        return static_cast<double>(sum) * kappa_ >= side * side;
    }
    const float* row() const { return u_.data(); }
    double scale() const { return scale_; }

private:
    std::vector<float> u_;  // padded_code_dim(dim)
    double scale_ = 1.0;
    double rounding_ = 0.0;  // E1
    double kappa_ = 1.0;
};

}  // namespace tessra
