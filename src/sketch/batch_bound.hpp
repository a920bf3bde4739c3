// The sketch bound for a group of queries against a tile of stored vectors,
// shaped like a matrix product. A batched scan decodes the sketches of a
// tile once (SketchTile), and for each group of up to kBoundLanes queries
// (BatchBound) takes every pair's projected squared distance (euclidean) or
// projected dot product (inner product, cosine) from one product kernel call
// per panel of kProductPanel stored vectors:
//
//     |z - x|^2 = |z|^2 + |x|^2 - 2 z . x,
//
// less a proven error term for the kernel's and the expansion's rounding
// (ProductMargin below), then applies the margins of the index's sketch form
// exactly as SketchQuery::can_skip does. Each pair is decided on its own:
// prove() clears bit i of keep[j] only when stored vector i cannot rank
// before threshold j for query j, which is what can_skip(id, threshold)
// promises, so a scan may leave that pair out for that query alone.
//
//     SketchTile tile;                       // per worker
//     tile.load(index, begin, end);          // once per tile
//     const BatchBound bound(index, group, lanes);   // group[j]: query j's SketchQuery
//     bound.prove(tile, offset, count, thresholds, keep);   // keep[j]: a bit per vector
//
// Covered: the Doubles form for every metric and the Bytes form. The Codes
// form has no sketch; a BatchBound over it proves nothing (its queries'
// SketchQuery::keep serves them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sketch/product_kernels.hpp"
#include "sketch/sketch_index.hpp"

namespace tessra {

// The proven error term of the product form. For float32 rows z and x of
// rank r <= 64 (grid units, the Bytes form) or float64 rows (the Doubles
// form), v = 2^-24 or 2^-53 the roundoff of the kernel's precision and
// u = 2^-53 that of double:
//
// 1. The kernel's G = fl(z . x) is a chain of r fused multiply-adds from
//    zero, each rounding once: |G - z . x| <= g_r sum |z_k x_k| + r eta
//    <= g_r |z| |x| + r eta, with g_r = r v / (1 - r v) <= r v (1 + 2^-17)
//    and eta the underflow unit of that precision.
// 2. a = fl64(sum z_k^2) in order, and b likewise: the squares are exact
//    for float rows (24 by 24 bits) and rounded once for double rows, so
//    |a - |z|^2| <= 1.01 (r + 1) u |z|^2 + r eta. n_a = fl(sqrt(a)) then
//    gives |z| <= n_a (1 + (r + 3) u), and so for x and n_b.
// 3. The expansion t = fl(fl(a + b) - 2 G) rounds twice:
//    |t - (a + b - 2 G)| <= 2.01 u (a + b + 2 |G|) <= 2.02 u (|z| + |x|)^2.
// 4. Together, with |z|^2 + |x|^2 and 2 |z| |x| both at most (|z| + |x|)^2,
//    |t - |z - x|^2| <= (g_r + 1.01 (r + 4) u)(|z| + |x|)^2 + 4 r eta
//                     <= ((r + 1) v + (1.02 r + 5) u)(n_a + n_b)^2 + 4 r eta.
//    M = kProductMargin (r + 6)(v + u)(n_a + n_b)^2 + floor, computed in
//    double (five roundings, 1 - 5u), exceeds that by 5 v + (1 - 0.02 r) u
//    of (n_a + n_b)^2, more than the last subtraction's rounding (u of
//    (n_a + n_b)^2 and of M), so L = fl(t - M) <= |z - x|^2. The floor
//    (kProductFloatFloor, kProductDoubleFloor) covers 4 r eta.
// 5. The dot product alone: L = fl(G - M') with M' = kProductMargin (r + 6)
//    (v + u) n_a n_b + floor gives L <= z . x by 1 and 2 in the same way.
// A non-finite operand or result proves nothing: every test below asks for
// a finite L.
constexpr double kProductMargin = 1.01;
constexpr double kProductFloatFloor = 0x1p-140;
constexpr double kProductDoubleFloor = 0x1p-1000;

// The factor of (n_a + n_b)^2 in M for rows of rank `rank`, float32 or float64.
inline double product_margin(std::size_t rank, bool float_rows) {
    return kProductMargin * static_cast<double>(rank + 6) * ((float_rows ? 0x1p-24 : 0x1p-53) + 0x1p-53);
}

// L <= |z - x|^2 from the kernel's G, a = fl64 |z|^2, b = fl64 |x|^2, their
// roots n_a and n_b, product_margin() and the floor of the rows' precision.
inline double squared_distance_floor(double product, double norm2_z, double norm2_x, double norm_z, double norm_x,
                                     double margin, double floor) {
    const double sum = norm_z + norm_x;
    return ((norm2_z + norm2_x) - 2.0 * product) - (margin * (sum * sum) + floor);
}

// L <= z . x from the kernel's G and the rows' norms n_a and n_b.
inline double dot_floor(double product, double norm_z, double norm_x, double margin, double floor) {
    return product - (margin * (norm_z * norm_x) + floor);
}

// Relative shrink of the Bytes form's final comparison, L kappa >= (e + R)^2:
// it covers the three roundings of its two sides (1 - 3u against 1 + u).
constexpr double kProductCompareShrink = 1.0 - 0x1p-40;

// A relative allowance on the rounding of each float32 value: decoding a
// grid point fl32(lo + c step) (one rounding, c step is exact) and rounding
// a query's scaled sketch to float32 (v of it, plus underflow, which the
// grid's kCodeFloor covers). 1.01 covers 1 / (1 - v) and the double
// arithmetic of the norms it multiplies.
constexpr double kProductFloatRounding = 1.01;

// The decoded sketches of stored vectors [begin, end): per panel of
// kProductPanel vectors, axis k's values of the panel's vectors side by side
// (as the product kernels read them), and per vector the values the bound's
// epilogue needs. Vectors at or beyond the index's sketched count are never
// skipped.
class SketchTile {
public:
    // Decodes the sketches of [begin, end) of `index` (which must outlive
    // the tile's use and not change meanwhile).
    void load(const SketchIndex& index, std::size_t begin, std::size_t end);
    std::size_t begin() const { return begin_; }

private:
    friend class BatchBound;
    const SketchIndex* index_ = nullptr;
    SketchForm form_ = SketchForm::Doubles;
    std::size_t rank_ = 0;
    std::size_t begin_ = 0;
    std::size_t count_ = 0;     // vectors of the tile
    std::size_t sketched_ = 0;  // of them, the first this many have sketches
    // Panels of rank x kProductPanel: Bytes decodes to float32 grid points
    // lo + c step, Doubles copies its rows.
    std::vector<float> floats_;
    std::vector<double> doubles_;
    std::vector<double> norm2_;  // per vector: fl64 sum of its row's squares
    std::vector<double> norm_;   // per vector: fl(sqrt(norm2_))
    // Per vector, NaN when it is never skipped. Bytes: its stored error
    // bound plus the decoding's rounding, rounded up (grid units);
    // Doubles, euclidean: its allowance. Unused for dot and cosine (the
    // index's per-vector values are read in place).
    std::vector<double> error_;
};

class BatchBound {
public:
    BatchBound() = default;  // proves nothing
    // The group's queries, one SketchQuery each (built on `index`); lanes <= kBoundLanes.
    BatchBound(const SketchIndex& index, const SketchQuery* const* queries, std::size_t lanes);

    bool active() const { return active_lanes_ != 0; }

    // For the stored vectors tile.begin() + offset + i, i < count (offset a
    // multiple of kProductPanel, count <= kProductPanel): clears bit i of
    // keep[j] for every query j whose threshold thresholds[j] the pair is
    // proved not to rank before (as can_skip would). Other bits are left as
    // they are; pairs whose bit is clear are not looked at. Checking mode
    // recomputes every cleared pair (a fault if it was admissible).
    void prove(const SketchTile& tile, std::size_t offset, std::size_t count, const double* thresholds,
               std::uint64_t* keep) const;

    // Estimates of every pair's value from the sketches alone, for choosing
    // candidates only (no margin: never a proof): out[j * kProductPanel + i]
    // for the stored vectors of prove(); NaN for a query without a bound or
    // a vector without a sketch. Euclidean: the squared projected distance
    // (grid units for the Bytes form); dot and cosine: the value without the
    // residual term.
    void estimate(const SketchTile& tile, std::size_t offset, std::size_t count, double* out) const;

private:
    // The euclidean reach R of the Bytes form for query j at threshold T
    // (grid units), or NaN when nothing can be proved.
    double bytes_reach(std::size_t j, double threshold) const;
    // The Doubles form's decision for query j (bit i of skip: vector i proved out).
    void decide_doubles(const SketchTile& tile, std::size_t offset, std::size_t count, std::size_t j, double threshold,
                const double* products, std::uint8_t* skip) const;
    void audit(std::size_t id, std::size_t j, double threshold) const;

    const SketchIndex* index_ = nullptr;
    SketchForm form_ = SketchForm::Doubles;
    Metric metric_ = Metric::Euclidean;
    std::size_t rank_ = 0;
    unsigned active_lanes_ = 0;  // bit j: query j's bound applies
    bool checking_ = false;
    bool counting_ = false;
    double margin_ = 0.0;        // kProductMargin (rank + 6)(v + u)
    const ProductKernels* kernels_ = nullptr;
    // The queries' rows, kBoundLanes x rank (inactive lanes zero): Bytes,
    // fl32(sigma P (q - mean)); Doubles, P (q - mean).
    std::vector<float> floats_;
    std::vector<double> doubles_;
    // Per query: its row's sum of squares and norm as the tile's; the
    // euclidean allowance (slack_ of its SketchQuery); Bytes: the rounding
    // of its row to float32 (grid units); dot and cosine: q . mean, the
    // residual norm, |q| + |mean| and |q|.
    double norm2_[kBoundLanes] = {};
    double norm_[kBoundLanes] = {};
    double slack_[kBoundLanes] = {};
    double rounding_[kBoundLanes] = {};
    double query_mean_[kBoundLanes] = {};
    double residual_[kBoundLanes] = {};
    double scale_[kBoundLanes] = {};
    double query_norm_[kBoundLanes] = {};
    // For audits: each query and the stored vectors.
    const double* query_[kBoundLanes] = {};
    std::size_t query_len_ = 0;
    const double* store_ = nullptr;
    std::size_t dim_ = 0;
};

}  // namespace tessra
