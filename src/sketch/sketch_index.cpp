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
std::atomic<int> form{static_cast<int>(SketchForm::Chosen)};
// Sketch-bound stored vectors per kernel call in the Bytes form.
constexpr std::size_t kByteBatch = 16;
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
                          checking.load(std::memory_order_relaxed), counting.load(std::memory_order_relaxed),
                          static_cast<SketchForm>(form.load(std::memory_order_relaxed))};
}

void set_sketch_settings(const SketchSettings& settings) {
    min_vectors.store(settings.min_vectors, std::memory_order_relaxed);
    forced_rank.store(settings.forced_rank, std::memory_order_relaxed);
    checking.store(settings.checking, std::memory_order_relaxed);
    counting.store(settings.counting, std::memory_order_relaxed);
    form.store(static_cast<int>(settings.form), std::memory_order_relaxed);
}

void sketch_settings_from_environment() {
    SketchSettings settings = sketch_settings();
    const char* check = std::getenv("TESSRA_SKETCH_CHECK");
    settings.checking = check != nullptr && *check != '\0';
    const char* count = std::getenv("TESSRA_SKETCH_COUNT");
    settings.counting = count != nullptr && *count != '\0';
    settings.forced_rank = read_number("TESSRA_SKETCH_RANK", settings.forced_rank);
    settings.min_vectors = read_number("TESSRA_SKETCH_MIN", settings.min_vectors);
    if (const char* text = std::getenv("TESSRA_SKETCH_FORM")) {
        const std::string name(text);
        settings.form = name == "doubles" ? SketchForm::Doubles
                        : name == "bytes" ? SketchForm::Bytes
                        : name == "codes" ? SketchForm::Codes
                                          : SketchForm::Chosen;
    }
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
        // Refits at 4x growth: each costs about a sample's worth of projections
        // plus resketching everything, and a larger sample changes the axes little.
        next_fit_ = 4 * count;
        insertion_on_ = true;
        window_insertions_ = 0;
        window_tested_ = window_skipped_ = 0;
        aux_stride_ = metric == Metric::Euclidean ? 1 : 4;
        rows_.clear();
        aux_.clear();
        byte_rows_.clear();
        byte_errors_.clear();
        grid_ = CodeGrid{};
        codes_ = ByteCodes(metric);
        sketched_ = 0;
        basis_ = SketchBasis{};
        basis_.dim = dim;
        if (settings.form != SketchForm::Codes) basis_ = fit_sketch_basis(metric, store, count, dim, settings.forced_rank);
        form_ = choose_form(settings, store, count, dim);
        if (form_ == SketchForm::Codes) {
            basis_ = SketchBasis{};
            basis_.dim = dim;
        }
        rows_.shrink_to_fit(), aux_.shrink_to_fit(), byte_rows_.shrink_to_fit(), byte_errors_.shrink_to_fit();
    }
    if (form_ == SketchForm::Codes) {
        codes_.update(store, count, dim);
    } else if (basis_.rank != 0 && count > sketched_) {
        sketch_range(store, sketched_, count);
    }
    sketched_ = count;
}

namespace {

// The share of sample pairs whose byte code bound (in plain double
// arithmetic: it only predicts) clears a threshold near the 40th best value
// of the whole index, as the sketch fit's simulation takes it.
double simulated_code_share(const double* store, std::size_t count, std::size_t dim) {
    const std::size_t s = std::min<std::size_t>(count, kSketchSample);
    std::vector<double> sample(s * dim);
    for (std::size_t i = 0; i < s; ++i) std::copy_n(store + (i * count / s) * dim, dim, sample.data() + i * dim);
    const CodeGrid grid = fit_code_grid(sample.data(), s, dim, dim);
    if (!grid.fitted() || s < 16) return 0.0;
    std::vector<std::uint8_t> codes(s * dim);
    std::vector<double> errors(s), hat(s * dim);
    for (std::size_t i = 0; i < s; ++i) {
        bool clamped = false;
        errors[i] = code_row(grid, sample.data() + i * dim, 0.0, codes.data() + i * dim, clamped);
        for (std::size_t j = 0; j < dim; ++j) hat[i * dim + j] = grid.lo[j] + codes[i * dim + j] * static_cast<double>(grid.step[j]);
    }
    const std::size_t nth = std::clamp<std::size_t>(static_cast<std::size_t>(40.0 * s / count), 1, s / 8);
    const std::size_t queries = std::min<std::size_t>(32, s);
    double fired = 0.0, tested = 0.0;
    std::vector<double> exact(s), bound(s);
    for (std::size_t qi = 0; qi < queries; ++qi) {
        const double* q = sample.data() + (qi * s / queries) * dim;
        for (std::size_t b = 0; b < s; ++b) {
            double gap = 0.0;
            for (std::size_t j = 0; j < dim; ++j) {
                const double d = grid.scale * q[j] - hat[b * dim + j];
                gap += d * d;
            }
            exact[b] = euclidean_distance(q, dim, sample.data() + b * dim, dim);
            bound[b] = (std::sqrt(gap) - errors[b]) / grid.scale;
        }
        std::vector<double> sorted(exact);
        std::nth_element(sorted.begin(), sorted.begin() + nth, sorted.end());  // nth + 1: the query itself is in the sample
        const double threshold = sorted[nth];
        for (std::size_t b = 0; b < s; ++b) fired += bound[b] >= threshold ? 1.0 : 0.0;
        tested += static_cast<double>(s);
    }
    return fired / tested;
}

}  // namespace

// Chosen: euclidean sketches are kept as Bytes (a fraction of the memory and
// of the bytes a scan reads, for nearly the same skips); where no sketch
// pays, the whole vector's byte codes are taken when their simulated share
// of skips pays for their cost (a code dimension costs about kCodeDimCost of
// an exact one) and they take at most kCodesMaxBytes a vector. Other metrics
// keep Doubles sketches, and so does a forced rank without a forced form.
SketchForm SketchIndex::choose_form(const SketchSettings& settings, const double* store, std::size_t count,
                                    std::size_t dim) const {
    if (settings.form == SketchForm::Codes) return SketchForm::Codes;
    if (settings.form == SketchForm::Bytes && metric_ == Metric::Euclidean) return SketchForm::Bytes;
    // A forced rank probes the Doubles form unless a form is forced too.
    if (settings.form == SketchForm::Doubles || metric_ != Metric::Euclidean || settings.forced_rank != 0)
        return SketchForm::Doubles;
    if (basis_.rank != 0) return SketchForm::Bytes;
    if (dim + sizeof(float) > kCodesMaxBytes || dim > kMaxCodedDim) return SketchForm::Bytes;
    const double share = simulated_code_share(store, count, dim);
    return kCodeDimCost + (1.0 - share) < 1.0 - kCodesMinSaving ? SketchForm::Codes : SketchForm::Bytes;
}

void SketchIndex::truncate(std::size_t count) {
    if (count >= sketched_) return;
    sketched_ = count;
    codes_.truncate(count);
    if (basis_.rank == 0) return;
    if (form_ == SketchForm::Bytes) {
        byte_rows_.resize(count * basis_.rank + kCodeRowSlack);
        byte_errors_.resize(count);
        return;
    }
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

void SketchIndex::sketch_bytes(const double* store, std::size_t begin, std::size_t end) {
    const std::size_t rank = basis_.rank, dim = basis_.dim;
    std::vector<double> rows((end - begin) * rank), allowance(end - begin);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t id = begin; id < end; ++id) {
        const double* x = store + id * dim;
        const double centred = project(basis_, x, rows.data() + (id - begin) * rank);
        // The Doubles form's allowance (below), widened so that the bound
        // proves the projected distance that form's test needs (see bytes_reach).
        allowance[id - begin] = finite_vector(x, dim) ? 2.0 * basis_.slack * centred * (1.0 + 2 * kCodeDistanceSlack) : nan;
    }
    // The grid is fitted to every sketch at a fit; later ones are coded on it.
    if (begin == 0) grid_ = fit_code_grid(rows.data(), end, rank, rank);
    byte_rows_.resize(end * rank + kCodeRowSlack);
    byte_errors_.resize(end);
    for (std::size_t id = begin; id < end; ++id) {
        bool clamped = false;
        byte_errors_[id] = grid_.fitted() ? code_row(grid_, rows.data() + (id - begin) * rank, allowance[id - begin],
                                                     byte_rows_.data() + id * rank, clamped)
                                          : static_cast<float>(nan);
    }
}

void SketchIndex::sketch_range(const double* store, std::size_t begin, std::size_t end) {
    if (form_ == SketchForm::Bytes) return sketch_bytes(store, begin, end);
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
    if (index.form_ == SketchForm::Codes) {
        if (metric == index.metric_ && index.codes_.grid().dim == dim)
            codes_ = ByteCodeQuery(index.codes_, query, query_len, store);
        return;
    }
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
    if (index.form_ == SketchForm::Bytes) {
        if (!index.grid_.fitted() || !gap_.set(index.grid_, sketch_.data())) return;
        bytes_ = true;
        kernels_ = &active_code_kernels();
    }
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
    if (codes_.active()) return codes_.keep(ids, count, threshold);
    if (index_ == nullptr) return count;
    if (bytes_) return keep_bytes(ids, count, threshold);
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
    if (codes_.active()) return codes_.collect(begin, end, threshold, ids, count, capacity);
    if (bytes_ && end <= count_) return collect_bytes(begin, end, threshold, ids, count, capacity);
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

// Bytes: the Doubles test skips when its computed projected distance, shrunk
// by kEuclideanShrink, reaches T + slack_q + allowance_x. The grid bound
// proves the real projected distance (between the computed sketches) at
// least (max(T, 0) + slack_q)(1 + 2 kCodeDistanceSlack) + allowance_x, the
// allowance so widened when coded, which is more than that test's premise.
double SketchQuery::bytes_reach(double threshold) const {
    if (!std::isfinite(threshold)) return std::numeric_limits<double>::quiet_NaN();
    return gap_.reach((std::max(threshold, 0.0) + slack_) * (1.0 + 2 * kCodeDistanceSlack));
}

void SketchQuery::prove_bytes(const std::uint64_t* ids, std::size_t n, double reach, bool* skip) const {
    if (n == 0) return;
    const std::uint8_t* rows[kByteBatch];
    float sums[kByteBatch];
    for (std::size_t i = 0; i < n; ++i) rows[i] = index_->byte_rows_.data() + ids[i] * rank_;
    kernels_->gaps(gap_.row(), index_->grid_.step.data(), rows, n, rank_, sums);
    const float* errors = index_->byte_errors_.data();
    for (std::size_t i = 0; i < n; ++i) skip[i] = gap_.beyond(sums[i], errors[ids[i]], reach);
}

std::size_t SketchQuery::keep_bytes(std::uint64_t* ids, std::size_t count, double threshold) const {
    const double reach = bytes_reach(threshold);
    if (!(reach == reach)) return count;
    std::size_t kept = 0;
    for (std::size_t begin = 0; begin < count; begin += kByteBatch) {
        const std::size_t end = std::min(count, begin + kByteBatch);
        std::uint64_t batch[kByteBatch];
        std::size_t n = 0;
        for (std::size_t i = begin; i < end; ++i)
            if (ids[i] < count_) batch[n++] = ids[i];
        bool skip[kByteBatch] = {};
        prove_bytes(batch, n, reach, skip);
        for (std::size_t i = begin, b = 0; i < end; ++i) {
            const std::uint64_t id = ids[i];
            bool dropped = false;
            if (id < count_) {
                dropped = skip[b++];
                if (checking_) audit(id, threshold, dropped);
            }
            if (!dropped) ids[kept++] = id;
        }
    }
    add_counts(count, count - kept);
    return kept;
}

std::uint64_t SketchQuery::collect_bytes(std::uint64_t begin, std::uint64_t end, double threshold, std::uint64_t* ids,
                                         std::size_t& count, std::size_t capacity) const {
    std::uint64_t id = begin;
    const double reach = bytes_reach(threshold);
    if (!(reach == reach)) {
        for (; id < end && count < capacity; ++id) ids[count++] = id;
        return id;
    }
    const std::size_t before = count;
    while (id < end && count < capacity) {
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({end - id, kByteBatch, static_cast<std::uint64_t>(capacity - count)}));
        std::uint64_t batch[kByteBatch];
        for (std::size_t i = 0; i < n; ++i) batch[i] = id + i;
        bool skip[kByteBatch];
        prove_bytes(batch, n, reach, skip);
        for (std::size_t i = 0; i < n; ++i) {
            if (checking_) audit(batch[i], threshold, skip[i]);
            if (!skip[i]) ids[count++] = batch[i];
        }
        id += n;
    }
    add_counts(id - begin, (id - begin) - (count - before));
    return id;
}

void SketchQuery::add_counts(std::uint64_t tested, std::uint64_t skipped) const {
    tested_ += tested;
    skipped_ += skipped;
    if (counting_) add_sketch_counts(tested, skipped);
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
