// Byte codes: every stored vector rounded to one byte a dimension on a grid
// fitted to the stored data, with a bound on each vector's rounding error.
// They let a search prove a candidate out from d bytes instead of its d
// doubles: the bound is rigorous in floating point (code_grid.hpp), so a
// candidate is dropped only when the value the metric function returns, bit
// for bit, cannot be admitted by a strict "value < threshold" test. Derived
// state: refitting them never changes a result, only how much is skipped.
//
// Use from a search loop (a graph's candidate batch, a flat scan):
//
//     const ByteCodeQuery bound(codes, query, query_len, store);  // once per query
//     bound.prefetch(id);                                         // while gathering
//     count = bound.keep(ids, count, threshold);                  // before the exact distances
//
// The writer (update, truncate) runs while no query reads the codes.
//
// Covered: euclidean distance; dot product and cosine similarity ranked by
// value (smallest first) or by 1 - value (most similar first), from lower and
// upper bounds on the dot product (code_grid.hpp has the euclidean
// derivation, byte_codes.cpp the others). Not covered, so never skipped:
// vectors and queries with a non-finite component; for the dot product, data
// whose products could overflow the metric's sum (magnitudes beyond about
// 1e140); for cosine, norms outside [1e-140, 1e140]; a query whose length
// is not the codes' dimension.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "metrics/metrics.hpp"
#include "sketch/code_grid.hpp"

namespace tessra {

class ByteCodeQuery;

// The euclidean distance a skip must prove, relative and absolute (the
// derivation is at ByteCodeQuery::reach_for): the exact sum's rounding, and
// underflow in its squares.
constexpr double kCodeDistanceSlack = 2e-9;
constexpr double kCodeDistanceFloor = 1e-150;
// Cosine: norms of queries and stored vectors must lie within
// [kCodeMinNorm, 1 / kCodeMinNorm], so no product of two of them under- or overflows.
constexpr double kCodeMinNorm = 1e-140;
// The integer form of the euclidean bound (ByteCodeQuery::set_weights has
// the derivation): the rounding of its few double operations, in units of
// 2^-53 of their magnitudes, and the bound on each weight's rounding error
// times the largest code.
constexpr double kCodeWeightRounding = 8.0;
constexpr double kCodeWeightError = 255.0;

class ByteCodes {
public:
    // `row_squares` (euclidean only): each row also keeps a lower bound on
    // |c * step|^2, 4 bytes more, which the integer form of the bound needs.
    explicit ByteCodes(Metric metric = Metric::Euclidean, bool row_squares = false)
        : metric_(metric), row_squares_(row_squares && metric == Metric::Euclidean) {}

    // Called after the stored vectors grew to `count` (back to back in
    // `store`, `dim` doubles each): codes the new ones, or fits the grid and
    // codes every vector once there are sketch_settings().min_vectors of
    // them, again at every fourfold growth, and when more than an eighth of
    // the vectors coded since the last fit fell off its grid after the count doubled.
    void update(const double* store, std::size_t count, std::size_t dim);
    // Called after the stored vectors shrank to `count`: drops the codes beyond.
    void truncate(std::size_t count);

    Metric metric() const { return metric_; }
    const CodeGrid& grid() const { return grid_; }
    // Vectors coded (the first `coded()` of the store); 0 before the first fit.
    std::size_t coded() const { return coded_; }
    const std::uint8_t* row(std::uint64_t id) const { return codes_.data() + id * grid_.dim; }
    float error(std::uint64_t id) const { return errors_[id]; }
    float norm(std::uint64_t id) const { return norms_[id]; }
    bool row_squares() const { return row_squares_; }
    // Memory the codes take per coded vector, in bytes (0 without a grid).
    std::size_t bytes_per_vector() const;
    // Bytes held at capacity, the grid's included.
    std::size_t bytes() const {
        return codes_.capacity() + (errors_.capacity() + norms_.capacity() + squares_.capacity() + grid_.lo.capacity() +
                                    grid_.step.capacity()) *
                                       sizeof(float);
    }

private:
    friend class ByteCodeQuery;
    void code_range(const double* store, std::size_t begin, std::size_t end);

    Metric metric_;
    CodeGrid grid_;
    std::size_t coded_ = 0;
    std::size_t fitted_at_ = 0;  // vectors the grid was fitted to
    std::size_t next_fit_ = 0;   // count at which the grid is fitted again
    std::size_t clamped_ = 0;    // vectors coded since the fit with a component off the grid
    std::vector<std::uint8_t> codes_;  // coded x grid.dim, row-major: vector i's codes at i * dim
    // Per vector: e >= |sigma x - xhat| rounded up (grid units); NaN: never skipped
    // (a non-finite component, or a vector far off the grid).
    std::vector<float> errors_;
    // Cosine only, per vector: sigma |x|, |x| as the metric function computes
    // it, rounded to the nearest float32; NaN (never skipped) when |x| lies
    // outside [kCodeMinNorm, 1 / kCodeMinNorm].
    std::vector<float> norms_;
    // With row_squares, per vector: at most |c * step|^2 (grid units), the
    // squared norm of the point its codes name, relative to lo.
    bool row_squares_ = false;
    std::vector<float> squares_;
};

// The ranked value a threshold is compared with: the metric function's value
// itself (euclidean distance; dot product and cosine similarity ranked
// smallest first, as the flat index does), or 1 - value computed in double
// (a similarity ranked most similar first, as a graph ranks "angular" and
// "inner_product"). Euclidean distance is always ranked by value.
enum class CodeRanking { Value, OneMinus };

class ByteCodeQuery {
public:
    ByteCodeQuery() = default;  // skips nothing
    // `store` is the stored vectors the codes describe (checking mode reads them).
    // `weighted`: euclidean queries prove with the integer form of the bound
    // where the codes keep row squares and the dimension allows it (a
    // quarter of the gap kernel's work per row, nearly as tight).
    ByteCodeQuery(const ByteCodes& codes, const double* query, std::size_t query_len, const double* store,
                  CodeRanking ranking = CodeRanking::Value, bool weighted = false);

    bool active() const { return codes_ != nullptr; }
    // Candidates this query's bound looked at, and skipped.
    std::uint64_t tested() const { return tested_; }
    std::uint64_t skipped() const { return skipped_; }

    // Starts loading what the bound reads for `id`.
    void prefetch(std::uint64_t id) const {
        if (codes_ == nullptr || id >= count_) return;
        const char* row = reinterpret_cast<const char*>(codes_->row(id));
        for (std::size_t line = 0; line < dim_; line += 64) __builtin_prefetch(row + line);
        __builtin_prefetch(codes_->errors_.data() + id);
        if (metric_ == Metric::Cosine) __builtin_prefetch(codes_->norms_.data() + id);
    }

    // Compacts ids[0, count) to those the bound cannot prove out at
    // `threshold` (their order kept) and returns how many remain. An id is
    // dropped only when the ranked value for it is >= threshold or NaN. A NaN
    // or infinite threshold drops nothing; ids not coded are kept.
    std::size_t keep(std::uint32_t* ids, std::size_t count, double threshold) const;
    std::size_t keep(std::uint64_t* ids, std::size_t count, double threshold) const;
    // Appends to ids[count, capacity) the ids from `begin` on that keep()
    // would keep, stopping at `end` or when full; returns the first id it
    // did not look at.
    std::uint64_t collect(std::uint64_t begin, std::uint64_t end, double threshold, std::uint64_t* ids,
                          std::size_t& count, std::size_t capacity) const;

private:
    template <typename Id>
    std::size_t keep_ids(Id* ids, std::size_t count, double threshold) const;
    // Bound state for one threshold; valid() false when it can prove nothing.
    // Euclidean: r is the reach in grid units. Dot product: r is the
    // threshold on rho sigma dot. Cosine: r * norm(id) * factor is that
    // threshold for vector id. `upper`: the dot must be proved at or below
    // it (1 - value ranking), else at or above.
    struct Reach {
        double r = 0.0;
        double factor = 1.0;
        bool upper = false;
        bool valid() const { return r == r; }
    };
    Reach reach_for(double threshold) const;
    bool set_dot(const CodeGrid& grid, Metric metric, const double* query);
    bool set_weights(const CodeGrid& grid);
    // skip[i] for rows[i], i < n <= kCodeBatch.
    void prove(const std::uint64_t* ids, std::size_t n, const Reach& reach, bool* skip) const;
    void audit(std::uint64_t id, double threshold, bool skipped) const;
    void add_counts(std::uint64_t tested, std::uint64_t skipped) const;

    const ByteCodes* codes_ = nullptr;
    const CodeKernels* kernels_ = nullptr;
    Metric metric_ = Metric::Euclidean;
    CodeRanking ranking_ = CodeRanking::Value;
    std::size_t count_ = 0;  // vectors coded when the query was made
    std::size_t dim_ = 0;
    bool checking_ = false;
    bool counting_ = false;
    const double* query_ = nullptr;
    const double* store_ = nullptr;
    GapQuery gap_;
    // Dot product and cosine (the derivation is at the constructor): the
    // query scaled by rho = 2^k (p = rho q), a_j = fl32(p_j step_j), and
    // rho sigma dot(q, x) lies within center +- (spread + scale_error * e)
    // with center = offset + the codes' dot with a.
    std::vector<float> a_;
    double rho_ = 1.0;
    double offset_ = 0.0;        // p . lo
    double spread_ = 0.0;        // every rounding of the estimate but the error e's share
    double error_factor_ = 0.0;  // bound on |p| (1 + g_n), rounding included
    double norm_ = 0.0;          // cosine: |q| as the metric function computes it
    // The integer form (set_weights): w_j, one per padded dimension, with
    // t w_j within t / 2 of u_j step_j; t a power of two; a lower bound on
    // |u|^2; the bound on the error of t * (w . c) as a value of u . (c step).
    std::vector<std::int16_t> weights_;
    double weight_scale_ = 0.0;
    double query_square_ = 0.0;
    double weight_error_ = 0.0;
    mutable std::uint64_t tested_ = 0;
    mutable std::uint64_t skipped_ = 0;
};

}  // namespace tessra
