#include "sketch/sketch_index.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

#include "common/fault.hpp"

namespace tessra {
namespace {

std::atomic<std::size_t> min_vectors{SketchSettings{}.min_vectors};
std::atomic<std::size_t> forced_rank{0};
std::atomic<bool> checking{false};
std::atomic<bool> counting{false};
std::atomic<std::uint64_t> tested_count{0}, skipped_count{0}, violation_count{0};

bool finite_vector(const double* x, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j)
        if (!std::isfinite(x[j])) return false;
    return true;
}

// out = P (x - mean); returns |x - mean| as computed from the same differences.
TESSRA_WIDE_LOOPS double project(const SketchBasis& basis, const double* x, double* out) {
    const std::size_t rank = basis.rank, dim = basis.dim;
    std::fill(out, out + rank, 0.0);
    double norm = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
        const double d = x[j] - basis.mean[j];
        norm += d * d;
        const double* column = basis.axes_t.data() + j * rank;
        for (std::size_t i = 0; i < rank; ++i) out[i] += d * column[i];
    }
    return std::sqrt(norm);
}

// |(x - mean) - P^T s| for the sketch s of x; `scratch` holds dim doubles.
TESSRA_WIDE_LOOPS double residual(const SketchBasis& basis, const double* x, const double* s, std::vector<double>& scratch) {
    const std::size_t rank = basis.rank, dim = basis.dim;
    scratch.assign(dim, 0.0);
    for (std::size_t i = 0; i < rank; ++i) {
        const double c = s[i];
        const double* axis = basis.axes.data() + i * dim;
        for (std::size_t j = 0; j < dim; ++j) scratch[j] += c * axis[j];
    }
    double sum = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
        const double r = (x[j] - basis.mean[j]) - scratch[j];
        sum += r * r;
    }
    return std::sqrt(sum);
}

double norm_of(const double* x, std::size_t n) { return std::sqrt(sum_of_squares(x, n)); }

std::size_t read_number(const char* name, std::size_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return (end != nullptr && *end == '\0') ? static_cast<std::size_t>(value) : fallback;
}

}  // namespace

SketchSettings sketch_settings() {
    return SketchSettings{min_vectors.load(std::memory_order_relaxed), forced_rank.load(std::memory_order_relaxed),
                          checking.load(std::memory_order_relaxed), counting.load(std::memory_order_relaxed)};
}

void set_sketch_settings(const SketchSettings& settings) {
    min_vectors.store(settings.min_vectors, std::memory_order_relaxed);
    forced_rank.store(settings.forced_rank, std::memory_order_relaxed);
    checking.store(settings.checking, std::memory_order_relaxed);
    counting.store(settings.counting, std::memory_order_relaxed);
}

void sketch_settings_from_environment() {
    SketchSettings settings = sketch_settings();
    const char* check = std::getenv("TESSRA_SKETCH_CHECK");
    settings.checking = check != nullptr && *check != '\0';
    const char* count = std::getenv("TESSRA_SKETCH_COUNT");
    settings.counting = count != nullptr && *count != '\0';
    settings.forced_rank = read_number("TESSRA_SKETCH_RANK", settings.forced_rank);
    settings.min_vectors = read_number("TESSRA_SKETCH_MIN", settings.min_vectors);
    set_sketch_settings(settings);
}

SketchCounters sketch_counters() {
    return SketchCounters{tested_count.load(), skipped_count.load(), violation_count.load()};
}

void reset_sketch_counters() {
    tested_count = 0;
    skipped_count = 0;
    violation_count = 0;
}

void add_sketch_counts(std::uint64_t tested, std::uint64_t skipped) {
    tested_count.fetch_add(tested, std::memory_order_relaxed);
    skipped_count.fetch_add(skipped, std::memory_order_relaxed);
}

void add_sketch_violation() { violation_count.fetch_add(1, std::memory_order_relaxed); }

void SketchIndex::update(Metric metric, const double* store, std::size_t count, std::size_t dim) {
    metric_ = metric;
    const SketchSettings settings = sketch_settings();
    if (count >= std::max<std::size_t>(settings.min_vectors, 2) && count >= next_fit_) {
        basis_ = fit_sketch_basis(metric, store, count, dim, settings.forced_rank);
        // Refits at 4x growth: each costs about a sample's worth of projections
        // plus resketching everything, and a larger sample changes the axes little.
        next_fit_ = 4 * count;
        insertion_on_ = true;
        window_insertions_ = 0;
        window_tested_ = window_skipped_ = 0;
        aux_stride_ = metric == Metric::Euclidean ? 1 : 4;
        rows_.clear();
        aux_.clear();
        sketched_ = 0;
        if (basis_.rank == 0) rows_.shrink_to_fit(), aux_.shrink_to_fit();
    }
    if (basis_.rank != 0 && count > sketched_) sketch_range(store, sketched_, count);
    sketched_ = count;
}

void SketchIndex::truncate(std::size_t count) {
    if (count >= sketched_) return;
    sketched_ = count;
    if (basis_.rank == 0) return;
    rows_.resize(count * basis_.rank);
    aux_.resize(count * aux_stride_);
}

double SketchIndex::pays_share() const {
    // Skipping a candidate saves about dim element steps (fewer with early
    // abandonment); testing one costs about rank plus a cache miss.
    return std::min(0.9, 0.1 + 1.5 * static_cast<double>(basis_.rank) / static_cast<double>(basis_.dim));
}

SketchQuery SketchIndex::insertion_query(const double* vector, const double* store) const {
    if (!insertion_on_) return SketchQuery();
    return SketchQuery(*this, metric_, vector, basis_.dim, store, basis_.dim);
}

void SketchIndex::record_insertion(const SketchQuery& used) {
    window_tested_ += used.tested();
    window_skipped_ += used.skipped();
    if (++window_insertions_ < kInsertionWindow) return;
    if (insertion_on_) {
        const bool pays = window_tested_ == 0 ||
                          static_cast<double>(window_skipped_) >= pays_share() * static_cast<double>(window_tested_);
        if (!pays) insertion_on_ = false, paused_windows_ = 0;
    } else if (++paused_windows_ >= kInsertionPause) {
        insertion_on_ = true;
    }
    window_insertions_ = 0;
    window_tested_ = window_skipped_ = 0;
}

void SketchIndex::sketch_range(const double* store, std::size_t begin, std::size_t end) {
    const std::size_t rank = basis_.rank, dim = basis_.dim;
    rows_.resize(end * rank);
    aux_.resize(end * aux_stride_);
    std::vector<double> scratch;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t id = begin; id < end; ++id) {
        const double* x = store + id * dim;
        double* row = rows_.data() + id * rank;
        double* aux = aux_.data() + id * aux_stride_;
        const bool finite = finite_vector(x, dim);
        const double centred = project(basis_, x, row);
        if (metric_ == Metric::Euclidean) {
            // Each sketch coordinate is off by at most about (dim + 1) units
            // of roundoff times |x - mean|; slack is far above sqrt(rank) times that.
            aux[0] = finite ? 2.0 * basis_.slack * centred : nan;
            continue;
        }
        const double norm = norm_of(x, dim);
        double mean_part = 0.0;
        for (std::size_t j = 0; j < dim; ++j) mean_part += basis_.mean[j] * (x[j] - basis_.mean[j]);
        aux[0] = residual(basis_, x, row, scratch);
        aux[1] = mean_part;
        aux[2] = finite ? 2.0 * ((norm + centred) + basis_.mean_norm) : nan;
        aux[3] = norm;
        if (metric_ == Metric::Cosine && !(norm >= kCosineMinNorm)) aux[2] = nan;
    }
}

SketchQuery::SketchQuery(const SketchIndex& index, Metric metric, const double* query, std::size_t query_len,
                         const double* store, std::size_t dim) {
    const SketchBasis& basis = index.basis_;
    if (basis.rank == 0 || index.sketched_ == 0 || metric != index.metric_ || query_len != dim ||
        basis.dim != dim || !finite_vector(query, query_len))
        return;
    const double centred = project(basis, query, sketch_.data());
    if (metric == Metric::Euclidean) {
        slack_ = 2.0 * basis.slack * centred + kEuclideanFloor;
        if (!std::isfinite(slack_)) return;
    } else {
        std::vector<double> scratch;
        residual_ = residual(basis, query, sketch_.data(), scratch);
        norm_ = norm_of(query, dim);
        query_mean_ = 0.0;
        for (std::size_t j = 0; j < dim; ++j) query_mean_ += query[j] * basis.mean[j];
        scale_ = norm_ + basis.mean_norm;
        if (!std::isfinite(residual_) || !std::isfinite(scale_) || !std::isfinite(query_mean_)) return;
        if (metric == Metric::Cosine && !(norm_ >= kCosineMinNorm)) return;
    }
    for (std::size_t i = 0; i < basis.rank; ++i)
        if (!std::isfinite(sketch_[i])) return;
    index_ = &index;
    metric_ = metric;
    rank_ = basis.rank;
    count_ = index.sketched_;
    const SketchSettings settings = sketch_settings();
    checking_ = settings.checking;
    counting_ = settings.counting && !settings.checking;  // checking counts every vector itself
    query_ = query;
    query_len_ = query_len;
    store_ = store;
    dim_ = dim;
}

TESSRA_WIDE_LOOPS std::size_t SketchQuery::keep(std::uint64_t* ids, std::size_t count, double threshold) const {
    if (index_ == nullptr) return count;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t id = ids[i];
        const bool skip = id < count_ && proves_not_before(id, threshold);
        if (checking_ && id < count_) audit(id, threshold, skip);
        if (!skip) ids[kept++] = id;
    }
    tested_ += count;
    skipped_ += count - kept;
    if (counting_) {
        tested_count.fetch_add(count, std::memory_order_relaxed);
        skipped_count.fetch_add(count - kept, std::memory_order_relaxed);
    }
    return kept;
}

TESSRA_WIDE_LOOPS std::uint64_t SketchQuery::collect(std::uint64_t begin, std::uint64_t end, double threshold,
                                                     std::uint64_t* ids, std::size_t& count,
                                                     std::size_t capacity) const {
    std::uint64_t id = begin;
    if (index_ == nullptr || end > count_) {
        for (; id < end && count < capacity; ++id) ids[count++] = id;
        return id;
    }
    const std::size_t before = count;
    for (; id < end && count < capacity; ++id) {
        const bool skip = proves_not_before(id, threshold);
        if (checking_) audit(id, threshold, skip);
        if (!skip) ids[count++] = id;
    }
    tested_ += id - begin;
    skipped_ += (id - begin) - (count - before);
    if (counting_) {
        tested_count.fetch_add(id - begin, std::memory_order_relaxed);
        skipped_count.fetch_add((id - begin) - (count - before), std::memory_order_relaxed);
    }
    return id;
}

void SketchQuery::audit(std::uint64_t id, double threshold, bool skipped) const {
    tested_count.fetch_add(1, std::memory_order_relaxed);
    if (!skipped) return;
    skipped_count.fetch_add(1, std::memory_order_relaxed);
    const double exact = metric_function(metric_)(query_, query_len_, store_ + id * dim_, dim_);
    if (exact < threshold) {
        violation_count.fetch_add(1, std::memory_order_relaxed);
        TESSRA_FAULT("Sketch bound skipped vector " + std::to_string(id) + " whose value " + std::to_string(exact) +
                     " is below the threshold " + std::to_string(threshold));
    }
}

}  // namespace tessra
