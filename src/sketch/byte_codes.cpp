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
        norms_.clear();
        squares_.clear();
        if (!grid_.fitted())
            codes_.shrink_to_fit(), errors_.shrink_to_fit(), norms_.shrink_to_fit(), squares_.shrink_to_fit();
    }
    if (grid_.fitted() && count > coded_) code_range(store, coded_, count);
}

void ByteCodes::truncate(std::size_t count) {
    if (count >= coded_) return;
    coded_ = count;
    codes_.resize(count * grid_.dim + kCodeRowSlack);
    errors_.resize(count);
    if (metric_ == Metric::Cosine) norms_.resize(count);
    if (row_squares_) squares_.resize(count);
}

std::size_t ByteCodes::bytes_per_vector() const {
    if (!grid_.fitted()) return 0;
    return grid_.dim * sizeof(std::uint8_t) + sizeof(float) * (metric_ == Metric::Cosine || row_squares_ ? 2 : 1);
}

void ByteCodes::code_range(const double* store, std::size_t begin, std::size_t end) {
    const std::size_t dim = grid_.dim;
    codes_.resize(end * dim + kCodeRowSlack);
    errors_.resize(end);
    if (metric_ == Metric::Cosine) norms_.resize(end);
    if (row_squares_) squares_.resize(end);
    for (std::size_t id = begin; id < end; ++id) {
        const double* x = store + id * dim;
        bool clamped = false;
        errors_[id] = code_row(grid_, x, 0.0, codes_.data() + id * dim, clamped);
        if (id >= fitted_at_ && clamped) ++clamped_;
        if (row_squares_) {
            // Each c_j step_j is exact in float32 (8 by 16 bits) and its
            // square exact in double; only the sum rounds, by at most
            // (dim - 1) u relative; then rounded down to float32.
            const std::uint8_t* c = codes_.data() + id * dim;
            double sum = 0.0;
            for (std::size_t j = 0; j < dim; ++j) {
                const double point = static_cast<double>(static_cast<float>(c[j]) * grid_.step[j]);
                sum += point * point;
            }
            const double low = sum * (1.0 - (static_cast<double>(dim) + 1.0) * 0x1p-53);
            float stored = static_cast<float>(low);
            if (static_cast<double>(stored) > low) stored = std::nextafter(stored, -std::numeric_limits<float>::infinity());
            squares_[id] = stored;
        }
        if (metric_ != Metric::Cosine) continue;
        const double norm = std::sqrt(sum_of_squares(x, dim));
        const double scaled = grid_.scale * norm;
        norms_[id] = norm >= kCodeMinNorm && norm <= 1.0 / kCodeMinNorm && scaled >= 0x1p-100 && scaled <= 0x1p100
                         ? static_cast<float>(scaled)
                         : std::numeric_limits<float>::quiet_NaN();
    }
    coded_ = end;
}

ByteCodeQuery::ByteCodeQuery(const ByteCodes& codes, const double* query, std::size_t query_len,
                             const double* store, CodeRanking ranking, bool weighted) {
    const CodeGrid& grid = codes.grid_;
    if (!grid.fitted() || codes.coded_ == 0 || query_len != grid.dim || !finite_vector(query, query_len)) return;
    if (codes.metric_ == Metric::Euclidean) {
        if (ranking != CodeRanking::Value || !gap_.set(grid, query)) return;
        if (weighted && codes.row_squares_ && !set_weights(grid)) weights_.clear();
    } else if (!set_dot(grid, codes.metric_, query)) {
        return;
    }
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

// Dot product and cosine. Notation: u = 2^-53, v = 2^-24, n = dim <= 2^16,
// g_n = n u / (1 - n u) for double sums and about 1.004 n v for float32 ones.
// The query is scaled by rho = 2^k (rho max |q_j| in [1/2, 1)); p = rho q is
// exact but for underflow. With xhat_j = lo_j + c_j step_j,
//   rho sigma (q . x) = p . lo + sum_j p_j step_j c_j + p . (sigma x - xhat),
// and the last term is at most |p| e. From the codes:
// - D, the kernel's float32 sum of a_j c_j with a_j = fl32(p_j step_j), is
//   within (g_{n+1} + 1.0001 v) 255 A of sum p_j step_j c_j (0 <= c_j <= 255,
//   A = sum |a_j|; each a_j rounded once from a double product);
// - L = fl(p . lo) is within g_n sum |p_j lo_j| of p . lo.
// The metric's own sequential sum d = fl(q . x) is within
// g_n sum |q_j x_j| + n 2^-1074 of q . x, and rho sigma sum |q_j x_j| <=
// W + |p| e with W = sum |p_j| max(|lo_j|, |lo_j + 255 step_j|). So
//   rho sigma d  in  (L + D) -+ (spread + error_factor e)
// with spread = kCodeSumMargin ((n + 4)(257 v A + u (sum |p_j lo_j| + W + |L|)))
// + rho sigma n 2^-1074 + kCodeFloor (which also covers the rounding of the
// few operations that form and compare the two ends, and every underflow
// of p and of sigma x), and error_factor = |p| (1 + (2n + 16) u).
bool ByteCodeQuery::set_dot(const CodeGrid& grid, Metric metric, const double* query) {
    const std::size_t dim = grid.dim;
    double largest = 0.0;
    for (std::size_t j = 0; j < dim; ++j) largest = std::max(largest, std::fabs(query[j]));
    int exponent = 0;
    if (largest > 0.0) std::frexp(largest, &exponent);
    rho_ = std::ldexp(1.0, std::clamp(-exponent, -1000, 1000));
    a_.assign(padded_code_dim(dim), 0.0f);
    double offset = 0.0, offset_size = 0.0, a_size = 0.0, reach = 0.0, norm2 = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
        const double p = rho_ * query[j];
        const double lo = grid.lo[j], step = grid.step[j];
        a_[j] = static_cast<float>(p * step);
        offset += p * lo;
        offset_size += std::fabs(p * lo);
        a_size += std::fabs(static_cast<double>(a_[j]));
        reach += std::fabs(p) * std::max(std::fabs(lo), std::fabs(lo + 255.0 * step));
        norm2 += p * p;
    }
    const double n = static_cast<double>(dim);
    const double rho_sigma = rho_ * grid.scale;
    offset_ = offset;
    spread_ = kCodeSumMargin * ((n + 4.0) * (257.0 * 0x1p-24 * a_size + 0x1p-53 * (offset_size + reach + std::fabs(offset)))) +
              rho_sigma * n * 0x1p-1074 + kCodeFloor;
    error_factor_ = std::sqrt(norm2) * (1.0 + (2.0 * n + 16.0) * 0x1p-53);
    if (!std::isfinite(spread_) || !std::isfinite(error_factor_) || !std::isfinite(offset_)) return false;
    // The bound on d assumes its sequential sum never overflows: sum |q_j x_j|
    // is at most (W + |p| e) / (rho sigma), with e <= kMaxCodeError. (Cosine
    // needs no such test: its norms are bounded, and so is sum |q_j x_j|.)
    if (metric == Metric::Dot && !((reach + error_factor_ * kMaxCodeError) / rho_sigma <= 0x1p1000)) return false;
    if (metric == Metric::Cosine) {
        norm_ = std::sqrt(sum_of_squares(query, dim));
        if (!(norm_ >= kCodeMinNorm && norm_ <= 1.0 / kCodeMinNorm)) return false;
    }
    return true;
}

// The integer form of the euclidean bound. With u the query row (GapQuery),
// s the steps and c a row's codes, w = u - c s satisfies exactly
//     |w|^2 = |u|^2 - 2 D + N,   D = sum_j a_j c_j,  a_j = u_j s_j,  N = |c s|^2.
// a_j is exact in double (two floats); t is the power of two putting max |a_j|
// / t in [4096, 8192), and w_j = round(a_j / t), so |w_j| <= kMaxCodeWeight
// and the kernel's integer sum I = sum_j w_j c_j is exact. With
// Q = sum_j |a_j - t w_j| (computed, then rounded up by (n + 2) u and an
// underflow allowance), |D - t I| <= 255 Q <= weight_error (E). |u|^2 is a
// sum of squares exact in double, rounded down by (n + 1) u (U); N is at
// least the row's stored square (ByteCodes). So
//     |w|^2 >= U + N - 2 t I - 2 E,
// and evaluating it in double (three operations on terms bounded by
// M = U + N + 2 |t I| + 2 E) errs by at most 3 u M; kCodeWeightRounding u M
// covers it and the rounding of (e + R)^2 (1 + 8 u). A row is proved beyond
// reach R when that lower bound reaches (e + R)^2: then |w| >= e + R, which is
// what GapQuery's test proves (its step 5), so the rest of its derivation
// holds. Preconditions kept here: dim <= kMaxWeightedDim, t >= 2^-1000 (no
// product t w_j underflows).
bool ByteCodeQuery::set_weights(const CodeGrid& grid) {
    const std::size_t dim = grid.dim;
    if (dim > kMaxWeightedDim) return false;
    const float* u = gap_.row();
    double largest = 0.0, square = 0.0;
    std::vector<double> a(dim);
    for (std::size_t j = 0; j < dim; ++j) {
        a[j] = static_cast<double>(u[j]) * static_cast<double>(grid.step[j]);
        largest = std::max(largest, std::fabs(a[j]));
        square += static_cast<double>(u[j]) * static_cast<double>(u[j]);
    }
    int exponent = 0;
    if (largest > 0.0) std::frexp(largest, &exponent);
    if (exponent - 13 < -1000) return false;
    const double t = std::ldexp(1.0, exponent - 13);
    weights_.assign(padded_code_dim(dim), 0);
    double error = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
        const double w = std::nearbyint(a[j] / t);
        weights_[j] = static_cast<std::int16_t>(w);
        error += std::fabs(a[j] - t * w);
    }
    const double n = static_cast<double>(dim);
    weight_scale_ = t;
    weight_error_ = kCodeWeightError * (error * (1.0 + (n + 2.0) * 0x1p-53) + n * 0x1p-1074) * (1.0 + 2.0 * 0x1p-53);
    query_square_ = square * (1.0 - (n + 1.0) * 0x1p-53);
    return std::isfinite(weight_error_) && std::isfinite(query_square_);
}

// Euclidean: the distance the metric function returns is
// fl(sqrt(D)) with D the sequential double sum of the n squared differences.
// D >= |q - x|^2 (1 - (n + 2) u) - n 2^-1074, so once
// |q - x| >= max(T, kCodeDistanceFloor) (1 + kCodeDistanceSlack), D >= T^2
// (the squares stay normal, and (1 + 2e-9)^2 (1 - (n + 2) u) > 1 for
// n <= 2^16), and the correctly rounded square root is >= T: no strict
// "< T" test admits the vector.
//
// Dot product, ranked by value: d >= T once rho sigma d >= rho sigma T (an
// exact scaling but for underflow, inside kCodeFloor). Ranked by 1 - d:
// fl(1 - d) >= T once d <= T'' with T'' one step below fl(1 - T), so
// T'' <= 1 - T.
// Cosine: the metric returns fl(d / fl(|q| |x|)) with the norms as computed,
// and |x| lies within norm(id) / sigma times [1 / (1 + v), 1 / (1 - v)]. For
// T >= 0, fl(d / den) >= T once d >= T |q| |x| (1 + u), which holds once
// rho sigma d >= rho T |q| norm(id) (1 + 2^-22) (that factor also covers
// the products' rounding); for T < 0, once rho sigma d >= rho T |q| norm(id)
// (1 - 2^-22). Ranked by 1 - cosine: cosine <= T'' is needed, with the
// factors swapped.
ByteCodeQuery::Reach ByteCodeQuery::reach_for(double threshold) const {
    Reach reach{std::numeric_limits<double>::quiet_NaN()};
    if (!std::isfinite(threshold)) return reach;
    if (metric_ == Metric::Euclidean) {
        const double needed = std::max(threshold, kCodeDistanceFloor) * (1.0 + kCodeDistanceSlack);
        reach.r = gap_.reach(needed);
        return reach;
    }
    double t = threshold;
    if (ranking_ == CodeRanking::OneMinus) {
        t = std::nextafter(1.0 - threshold, -std::numeric_limits<double>::infinity());
        reach.upper = true;
    }
    const double target = metric_ == Metric::Cosine ? rho_ * (t * norm_) : rho_ * codes_->grid_.scale * t;
    if (!(std::fabs(target) <= 0x1p900)) return reach;
    reach.r = target;
    if (metric_ == Metric::Cosine) reach.factor = (t >= 0.0) != reach.upper ? 1.0 + 0x1p-22 : 1.0 - 0x1p-22;
    return reach;
}

void ByteCodeQuery::prove(const std::uint64_t* ids, std::size_t n, const Reach& reach, bool* skip) const {
    if (n == 0) return;
    const std::uint8_t* rows[kCodeBatch];
    float sums[kCodeBatch];
    for (std::size_t i = 0; i < n; ++i) rows[i] = codes_->row(ids[i]);
    const float* errors = codes_->errors_.data();
    if (metric_ == Metric::Euclidean && !weights_.empty()) {
        std::int64_t dots[kCodeBatch];
        kernels_->weights(weights_.data(), rows, n, dim_, dots);
        const float* squares = codes_->squares_.data();
        for (std::size_t i = 0; i < n; ++i) {
            const double scaled = weight_scale_ * static_cast<double>(dots[i]);
            const double row_square = static_cast<double>(squares[ids[i]]);
            const double low = ((query_square_ + row_square) - 2.0 * scaled) - 2.0 * weight_error_;
            const double size = query_square_ + row_square + 2.0 * std::fabs(scaled) + 2.0 * weight_error_;
            const double side = static_cast<double>(errors[ids[i]]) + reach.r;
            // NaN (an error marker) proves nothing.
            skip[i] = low - kCodeWeightRounding * 0x1p-53 * size >= side * side * (1.0 + 8.0 * 0x1p-53);
        }
        return;
    }
    if (metric_ == Metric::Euclidean) {
        kernels_->gaps(gap_.row(), codes_->grid_.step.data(), rows, n, dim_, sums);
        for (std::size_t i = 0; i < n; ++i) skip[i] = gap_.beyond(sums[i], errors[ids[i]], reach.r);
        return;
    }
    kernels_->dots(a_.data(), rows, n, dim_, sums);
    const bool cosine = metric_ == Metric::Cosine;
    for (std::size_t i = 0; i < n; ++i) {
        const double center = offset_ + static_cast<double>(sums[i]);
        const double spread = spread_ + error_factor_ * static_cast<double>(errors[ids[i]]);
        const double target =
            cosine ? reach.r * static_cast<double>(codes_->norms_[ids[i]]) * reach.factor : reach.r;
        // NaN (an error or norm marker) proves nothing either way.
        skip[i] = reach.upper ? center + spread <= target : center - spread >= target;
    }
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
