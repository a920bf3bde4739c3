// Sketches: every stored vector's coordinates on a few principal axes of the
// stored data, and the lower bounds they give on the exact metric value. A
// scan that only admits values strictly before a threshold T may skip a
// stored vector unread once its bound proves the exact value, as the metric
// functions compute it bit for bit, is at or after T. Sketches are derived
// state: refitting them never changes a result, only how much is skipped.
//
// Use from any scan loop (flat scan, layer search, a batched scan):
//
//     const SketchQuery sketch(index.sketches, metric, query, query_len, store, dim);
//     ...
//     if (full && sketch.can_skip(id, threshold)) continue;  // before the exact distance
//
// can_skip(id, T) is true only when metric(query, stored vector id) >= T or
// is NaN, so the vector cannot rank strictly before T; it then also cannot
// rank before any later, smaller threshold. Ties at T are never admitted by
// a strict comparison, so a flat scan in id order (equal values keep the
// lower id) and a layer search (admits only strictly smaller) may both skip.
// A query or stored vector with a non-finite component, or a query whose
// length differs from dim, is never skipped.
#pragma once

#include <array>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "metrics/metrics.hpp"
#include "sketch/byte_codes.hpp"
#include "sketch/code_grid.hpp"
#include "sketch/sketch_basis.hpp"

namespace tessra {

// How an index keeps what its bound reads per stored vector:
// - Doubles: the sketch, r doubles, and its error allowance;
// - Bytes (euclidean only): the sketch rounded to one byte an axis on a
//   grid fitted to the sketches (code_grid.hpp), and one float32 bounding
//   its rounding and allowance together: r + 4 bytes;
// - Codes: no sketch; byte codes of the whole vector (byte_codes.hpp).
// Chosen: the fit picks by the data (see SketchIndex::update).
enum class SketchForm { Chosen, Doubles, Bytes, Codes };

// Process-wide settings; tests change them, indexes read them when they grow.
struct SketchSettings {
    std::size_t min_vectors = 256;  // no sketches below this many stored vectors
    std::size_t forced_rank = 0;    // 0: the rank the data's variance profile pays for; else this rank
    bool checking = false;          // recompute every skipped vector and fault if it was admissible
    bool counting = false;          // count tested and skipped vectors (cheap: once per batch)
    SketchForm form = SketchForm::Chosen;
};
SketchSettings sketch_settings();
void set_sketch_settings(const SketchSettings& settings);
// TESSRA_SKETCH_CHECK (non-empty: checking mode), TESSRA_SKETCH_COUNT
// (non-empty: counting only), TESSRA_SKETCH_RANK and TESSRA_SKETCH_MIN
// (numbers), TESSRA_SKETCH_FORM (doubles, bytes or codes): for test and
// benchmark runs of whole programs.
void sketch_settings_from_environment();

// Counted only in checking or counting mode, over every query of every index.
struct SketchCounters {
    std::uint64_t tested = 0;      // can_skip calls on a sketched vector
    std::uint64_t skipped = 0;     // ... that answered true
    std::uint64_t violations = 0;  // skipped vectors that were admissible (a fault is raised too)
};
SketchCounters sketch_counters();
void reset_sketch_counters();
// For the other bounds that share the counters (byte codes).
void add_sketch_counts(std::uint64_t tested, std::uint64_t skipped);
void add_sketch_violation();

class SketchQuery;

class SketchIndex {
public:
    // Called after the stored vectors grew to `count` (back to back in `store`):
    // sketches the new ones, or refits the axes and resketches every vector
    // when the count reached the next fit point (min_vectors, then doublings).
    void update(Metric metric, const double* store, std::size_t count, std::size_t dim);
    // Called after the stored vectors shrank to `count`: drops the sketches beyond.
    void truncate(std::size_t count);

    std::size_t rank() const { return basis_.rank; }
    SketchForm form() const { return form_; }
    const ByteCodes& codes() const { return codes_; }
    const SketchBasis& basis() const { return basis_; }
    std::size_t sketched() const { return sketched_; }
    // The sketch an insertion's layer searches use: inactive while recent
    // insertions found that the bound skips too little to pay for itself.
    // record_insertion() feeds that measurement; neither changes a result.
    SketchQuery insertion_query(const double* vector, const double* store) const;
    void record_insertion(const SketchQuery& used);
    bool insertions_use_sketches() const { return insertion_on_; }

    // Memory the sketches take per stored vector, in bytes (0 without sketches).
    std::size_t bytes_per_vector() const {
        if (form_ == SketchForm::Codes) return codes_.bytes_per_vector();
        if (basis_.rank == 0) return 0;
        if (form_ == SketchForm::Bytes) return basis_.rank + sizeof(float);
        return (basis_.rank + aux_stride_) * sizeof(double);
    }

private:
    friend class SketchQuery;
    friend class SketchTile;
    friend class BatchBound;
    void sketch_range(const double* store, std::size_t begin, std::size_t end);
    void sketch_bytes(const double* store, std::size_t begin, std::size_t end);
    SketchForm choose_form(const SketchSettings& settings, const double* store, std::size_t count,
                           std::size_t dim) const;
    // The Chosen form's rule (see choose_form).
    static constexpr double kCodeDimCost = 0.3;
    static constexpr double kCodesMinSaving = 0.15;
    // Zero: an index stores no more per vector than it did before codes
    // existed, so where no sketch pays nothing is stored (codes then only
    // when forced, TESSRA_SKETCH_FORM=codes). They would double the flat scan
    // of low-dimensional data for d + 4 bytes a vector.
    static constexpr std::size_t kCodesMaxBytes = 0;

    Metric metric_ = Metric::Euclidean;
    SketchForm form_ = SketchForm::Doubles;
    SketchBasis basis_;
    std::size_t sketched_ = 0;
    std::size_t next_fit_ = 0;
    std::size_t aux_stride_ = 1;
    // Insertions measure in windows of kInsertionWindow: a window whose share
    // of skipped candidates is below pays_share() turns the bound off for the
    // next kInsertionPause windows, after which it is measured again.
    static constexpr std::size_t kInsertionWindow = 256;
    static constexpr std::size_t kInsertionPause = 4;
    double pays_share() const;
    bool insertion_on_ = true;
    std::size_t window_insertions_ = 0;
    std::size_t paused_windows_ = 0;
    std::uint64_t window_tested_ = 0;
    std::uint64_t window_skipped_ = 0;
    std::vector<double> rows_;  // Doubles: sketched_ x rank: P (x - mean)
    // Bytes: the grid the sketches are coded on (fitted to all of them at
    // each fit), their codes (sketched_ x rank) and per vector a bound on
    // |sigma (P (x - mean) - its grid point)| plus sigma times its allowance
    // (NaN: never skipped).
    CodeGrid grid_;
    std::vector<std::uint8_t> byte_rows_;
    std::vector<float> byte_errors_;
    ByteCodes codes_;  // Codes
    // Per vector, NaN when it must never be skipped. Euclidean: the absolute
    // error allowance of its sketch. Dot and cosine: its residual norm
    // |x - mean - P^T P (x - mean)|, mean . (x - mean), the scale of its
    // rounding errors 2 (|x| + |x - mean| + |mean|), and |x|.
    std::vector<double> aux_;
};

class SketchQuery {
public:
    SketchQuery() = default;  // skips nothing
    SketchQuery(const SketchIndex& index, Metric metric, const double* query, std::size_t query_len,
                const double* store, std::size_t dim);

    bool active() const { return index_ != nullptr || codes_.active(); }
    // Candidates this query's bound looked at, and skipped.
    std::uint64_t tested() const { return tested_ + codes_.tested(); }
    std::uint64_t skipped() const { return skipped_ + codes_.skipped(); }

    bool can_skip(std::uint64_t id, double threshold) const {
        if (codes_.active()) return codes_.keep(&id, 1, threshold) == 0;
        if (index_ == nullptr || id >= count_) return false;
        if (bytes_) return keep_bytes(&id, 1, threshold) == 0;
        const bool skip = proves_not_before(id, threshold);
        if (checking_) audit(id, threshold, skip);
        ++tested_;
        skipped_ += skip ? 1 : 0;
        return skip;
    }

    // Batched forms, compiled for the widest vector unit the CPU has:
    // keep() compacts ids[0, count) to those can_skip would not skip and
    // returns how many remain; collect() appends to ids[count, capacity) the
    // ids from `begin` on that can_skip would not skip, stopping at `end` or
    // when full, and returns the first id it did not look at.
    std::size_t keep(std::uint64_t* ids, std::size_t count, double threshold) const;
    std::uint64_t collect(std::uint64_t begin, std::uint64_t end, double threshold, std::uint64_t* ids,
                          std::size_t& count, std::size_t capacity) const;

    // Starts loading what can_skip(id, ...) reads (a layer search calls it
    // while gathering, long before the test).
    void prefetch(std::uint64_t id) const {
        if (codes_.active()) return codes_.prefetch(id);
        if (index_ == nullptr || id >= count_) return;
        if (bytes_) {
            __builtin_prefetch(index_->byte_rows_.data() + id * rank_);
            __builtin_prefetch(index_->byte_errors_.data() + id);
            return;
        }
        const char* row = reinterpret_cast<const char*>(index_->rows_.data() + id * rank_);
        for (std::size_t line = 0; line < rank_ * sizeof(double); line += 64) __builtin_prefetch(row + line);
        __builtin_prefetch(index_->aux_.data() + id * index_->aux_stride_);
    }

private:
    friend class BatchBound;
    bool proves_not_before(std::uint64_t id, double threshold) const;
    void audit(std::uint64_t id, double threshold, bool skipped) const;
    // The Bytes form's keep() and collect().
    std::size_t keep_bytes(std::uint64_t* ids, std::size_t count, double threshold) const;
    std::uint64_t collect_bytes(std::uint64_t begin, std::uint64_t end, double threshold, std::uint64_t* ids,
                                std::size_t& count, std::size_t capacity) const;
    // skip[i] for ids[i], i < n <= 16, all sketched, at reach R.
    void prove_bytes(const std::uint64_t* ids, std::size_t n, double reach, bool* skip) const;
    double bytes_reach(double threshold) const;
    void add_counts(std::uint64_t tested, std::uint64_t skipped) const;

    const SketchIndex* index_ = nullptr;
    Metric metric_ = Metric::Euclidean;
    std::size_t rank_ = 0;
    std::size_t count_ = 0;
    bool checking_ = false;
    bool counting_ = false;
    const double* query_ = nullptr;
    std::size_t query_len_ = 0;
    const double* store_ = nullptr;
    std::size_t dim_ = 0;
    std::array<double, kMaxSketchRank> sketch_{};  // P (q - mean)
    double slack_ = 0.0;         // euclidean: the query's error allowance plus the underflow floor
    double query_mean_ = 0.0;    // q . mean
    double residual_ = 0.0;      // |q - mean - P^T P (q - mean)|
    double scale_ = 0.0;         // |q| + |mean|
    double norm_ = 0.0;          // |q|
    bool bytes_ = false;         // the index keeps the Bytes form
    GapQuery gap_;               // Bytes: the query's sketch on the grid
    const CodeKernels* kernels_ = nullptr;
    ByteCodeQuery codes_;        // the index keeps the Codes form
    mutable std::uint64_t tested_ = 0;
    mutable std::uint64_t skipped_ = 0;
};

// Sum over i < rank of (a[i] - b[i])^2 and of a[i] * b[i], in eight
// independent partial sums (the bound's own arithmetic need not follow the
// metric's order; its rounding is covered by the basis slack).
inline double sketch_gap_squared(const double* a, const double* b, std::size_t rank) {
    double acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 8 <= rank; i += 8)
        for (std::size_t k = 0; k < 8; ++k) {
            const double d = a[i + k] - b[i + k];
            acc[k] += d * d;
        }
    for (; i < rank; ++i) {
        const double d = a[i] - b[i];
        acc[0] += d * d;
    }
    return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

inline double sketch_dot(const double* a, const double* b, std::size_t rank) {
    double acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 8 <= rank; i += 8)
        for (std::size_t k = 0; k < 8; ++k) acc[k] += a[i + k] * b[i + k];
    for (; i < rank; ++i) acc[0] += a[i] * b[i];
    return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

// Relative shrink of a squared euclidean bound before it is compared: covers
// the exact sum's rounding, the bound's and the axes' deviation (all below
// kMaxSlack) with room to spare.
constexpr double kEuclideanShrink = 1.0 - 1e-9;
// Absolute floors below which underflow could hide rounding: a euclidean
// bound must clear the threshold by this much, a dot bound by kDotFloor.
constexpr double kEuclideanFloor = 1e-150;
constexpr double kDotFloor = 1e-300;
// Cosine bounds need both norms at least this large (no underflow in them).
constexpr double kCosineMinNorm = 1e-140;

inline bool SketchQuery::proves_not_before(std::uint64_t id, double threshold) const {
    const SketchIndex& index = *index_;
    const double* row = index.rows_.data() + id * rank_;
    if (metric_ == Metric::Euclidean) {
        const double lower = sketch_gap_squared(sketch_.data(), row, rank_) * kEuclideanShrink;
        const double reach = threshold + (slack_ + index.aux_[id]);
        return lower >= reach * reach && lower <= DBL_MAX;
    }
    const double* aux = index.aux_.data() + id * 4;
    const double slack = (scale_ * aux[2]) * index.basis_.slack + kDotFloor;
    const double lower = query_mean_ + aux[1] + sketch_dot(sketch_.data(), row, rank_) - residual_ * aux[0] - slack;
    if (metric_ == Metric::Dot) return lower >= threshold && std::fabs(lower) <= DBL_MAX;
    double cosine = lower / (norm_ * aux[3]);
    cosine -= index.basis_.slack * (1.0 + std::fabs(cosine));
    return cosine >= threshold && std::fabs(cosine) <= DBL_MAX;
}

}  // namespace tessra
