#include "sketch/byte_codes.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "common/fault.hpp"
#include "sketch/sketch_index.hpp"

namespace tessra {
namespace {

// Candidates per kernel call.
constexpr std::size_t kCodeBatch = 16;

bool finite_vector(const double* x, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j)
        if (!std::isfinite(x[j])) return false;
    return true;
}

}  // namespace

void ByteCodes::update(const double* store, std::size_t count, std::size_t dim) {
    const SketchSettings settings = sketch_settings();
    const bool first = !grid_.fitted() && count >= std::max<std::size_t>(settings.min_vectors, 2);
    const bool grown = grid_.fitted() && count >= next_fit_;
    const bool outgrown = grid_.fitted() && count >= 2 * fitted_at_ && 8 * clamped_ > count - fitted_at_;
    if ((first || grown || outgrown) && dim <= kMaxCodedDim) {
        grid_ = fit_code_grid(store, count, dim, dim);
        fitted_at_ = count;
        next_fit_ = 4 * count;
        clamped_ = 0;
        coded_ = 0;
        codes_.clear();
        errors_.clear();
        if (!grid_.fitted()) codes_.shrink_to_fit(), errors_.shrink_to_fit();
    }
    if (grid_.fitted() && count > coded_) code_range(store, coded_, count);
}

void ByteCodes::truncate(std::size_t count) {
    if (count >= coded_) return;
    coded_ = count;
    codes_.resize(count * grid_.dim);
    errors_.resize(count);
}

std::size_t ByteCodes::bytes_per_vector() const {
    return grid_.fitted() ? grid_.dim * sizeof(std::uint8_t) + sizeof(float) : 0;
}

void ByteCodes::code_range(const double* store, std::size_t begin, std::size_t end) {
    const std::size_t dim = grid_.dim;
    codes_.resize(end * dim);
    errors_.resize(end);
    for (std::size_t id = begin; id < end; ++id) {
        bool clamped = false;
        errors_[id] = code_row(grid_, store + id * dim, 0.0, codes_.data() + id * dim, clamped);
        if (id >= fitted_at_ && clamped) ++clamped_;
    }
    coded_ = end;
}

ByteCodeQuery::ByteCodeQuery(const ByteCodes& codes, const double* query, std::size_t query_len,
                             const double* store, CodeRanking ranking) {
    const CodeGrid& grid = codes.grid_;
    if (!grid.fitted() || codes.coded_ == 0 || query_len != grid.dim || !finite_vector(query, query_len)) return;
    if (codes.metric_ != Metric::Euclidean || ranking != CodeRanking::Value) return;
    if (!gap_.set(grid, query)) return;
    codes_ = &codes;
    kernels_ = &active_code_kernels();
    metric_ = codes.metric_;
    ranking_ = ranking;
    count_ = codes.coded_;
    dim_ = grid.dim;
    const SketchSettings settings = sketch_settings();
    checking_ = settings.checking;
    counting_ = settings.counting && !settings.checking;  // checking counts every vector itself
    query_ = query;
    store_ = store;
}

// Euclidean: the distance the metric function returns is
// fl(sqrt(D)) with D the sequential double sum of the n squared differences.
// D >= |q - x|^2 (1 - (n + 2) u) - n 2^-1074, so once
// |q - x| >= max(T, kCodeDistanceFloor) (1 + kCodeDistanceSlack), D >= T^2
// (the squares stay normal, and (1 + 2e-9)^2 (1 - (n + 2) u) > 1 for
// n <= 2^16), and the correctly rounded square root is >= T: no strict
// "< T" test admits the vector.
ByteCodeQuery::Reach ByteCodeQuery::reach_for(double threshold) const {
    Reach reach{std::numeric_limits<double>::quiet_NaN()};
    if (!std::isfinite(threshold)) return reach;
    const double needed = std::max(threshold, kCodeDistanceFloor) * (1.0 + kCodeDistanceSlack);
    reach.r = gap_.reach(needed);
    return reach;
}

void ByteCodeQuery::prove(const std::uint64_t* ids, std::size_t n, const Reach& reach, bool* skip) const {
    if (n == 0) return;
    const std::uint8_t* rows[kCodeBatch];
    float sums[kCodeBatch];
    for (std::size_t i = 0; i < n; ++i) rows[i] = codes_->row(ids[i]);
    kernels_->gaps(gap_.row(), codes_->grid_.step.data(), rows, n, dim_, sums);
    const float* errors = codes_->errors_.data();
    for (std::size_t i = 0; i < n; ++i) skip[i] = gap_.beyond(sums[i], errors[ids[i]], reach.r);
}

template <typename Id>
std::size_t ByteCodeQuery::keep_ids(Id* ids, std::size_t count, double threshold) const {
    if (codes_ == nullptr) return count;
    const Reach reach = reach_for(threshold);
    if (!reach.valid()) return count;
    std::size_t kept = 0, tested = 0;
    for (std::size_t begin = 0; begin < count; begin += kCodeBatch) {
        const std::size_t end = std::min(count, begin + kCodeBatch);
        std::uint64_t batch[kCodeBatch];
        std::size_t n = 0;
        for (std::size_t i = begin; i < end; ++i)
            if (ids[i] < count_) batch[n++] = ids[i];
        bool skip[kCodeBatch] = {};
        prove(batch, n, reach, skip);
        tested += n;
        for (std::size_t i = begin, b = 0; i < end; ++i) {
            const Id id = ids[i];
            bool dropped = false;
            if (id < count_) {
                dropped = skip[b++];
                if (checking_) audit(id, threshold, dropped);
            }
            if (!dropped) ids[kept++] = id;
        }
    }
    add_counts(tested, count - kept);
    return kept;
}

std::size_t ByteCodeQuery::keep(std::uint32_t* ids, std::size_t count, double threshold) const {
    return keep_ids(ids, count, threshold);
}

std::size_t ByteCodeQuery::keep(std::uint64_t* ids, std::size_t count, double threshold) const {
    return keep_ids(ids, count, threshold);
}

std::uint64_t ByteCodeQuery::collect(std::uint64_t begin, std::uint64_t end, double threshold, std::uint64_t* ids,
                                     std::size_t& count, std::size_t capacity) const {
    std::uint64_t id = begin;
    const Reach reach = codes_ != nullptr ? reach_for(threshold) : Reach{std::nan("")};
    if (!reach.valid() || end > count_) {
        for (; id < end && count < capacity; ++id) ids[count++] = id;
        return id;
    }
    const std::size_t before = count;
    while (id < end && count < capacity) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(
            {end - id, kCodeBatch, static_cast<std::uint64_t>(capacity - count)}));
        std::uint64_t batch[kCodeBatch];
        for (std::size_t i = 0; i < n; ++i) batch[i] = id + i;
        bool skip[kCodeBatch];
        prove(batch, n, reach, skip);
        for (std::size_t i = 0; i < n; ++i) {
            if (checking_) audit(batch[i], threshold, skip[i]);
            if (!skip[i]) ids[count++] = batch[i];
        }
        id += n;
    }
    add_counts(id - begin, (id - begin) - (count - before));
    return id;
}

void ByteCodeQuery::add_counts(std::uint64_t tested, std::uint64_t skipped) const {
    tested_ += tested;
    skipped_ += skipped;
    if (counting_) add_sketch_counts(tested, skipped);
}

void ByteCodeQuery::audit(std::uint64_t id, double threshold, bool skipped) const {
    add_sketch_counts(1, skipped ? 1 : 0);
    if (!skipped) return;
    const double exact = metric_function(metric_)(query_, dim_, store_ + id * dim_, dim_);
    const double value = ranking_ == CodeRanking::OneMinus ? 1.0 - exact : exact;
    if (distance_before(value, threshold)) {
        add_sketch_violation();
        TESSRA_FAULT("Byte code bound skipped vector " + std::to_string(id) + " whose value " +
                     std::to_string(value) + " is below the threshold " + std::to_string(threshold));
    }
}

}  // namespace tessra
