#include "sketch/batch_bound.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <string>

#include "common/fault.hpp"

namespace tessra {
namespace {

constexpr double kFloatUnit = 0x1p-24;
const double kNan = std::numeric_limits<double>::quiet_NaN();

std::size_t panels_for(std::size_t count) { return (count + kProductPanel - 1) / kProductPanel; }

}  // namespace

namespace {

// One panel of the Bytes form: n <= kProductPanel rows of `rank` codes
// decoded to grid points lo + c step (c step is exact in float32, so each
// point rounds once), axis by axis, and each row's sum of squares in axis
// order. Columns past n decode code 0 (never read as a vector's).
TESSRA_WIDE_LOOPS void decode_bytes(const std::uint8_t* codes, std::size_t n, std::size_t rank, const float* lo,
                                    const float* step, float* panel, double* norm2) {
    alignas(64) std::uint8_t columns[kMaxSketchRank][kProductPanel] = {};
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < rank; ++k) columns[k][i] = codes[i * rank + k];
    alignas(64) double sums[kProductPanel] = {};
    for (std::size_t k = 0; k < rank; ++k) {
        float* out = panel + k * kProductPanel;
        for (std::size_t i = 0; i < kProductPanel; ++i) {
            const float x = lo[k] + static_cast<float>(columns[k][i]) * step[k];
            out[i] = x;
            sums[i] += static_cast<double>(x) * static_cast<double>(x);
        }
    }
    std::copy_n(sums, n, norm2);
}

// One panel of the Doubles form: the rows side by side, and their sums of squares.
TESSRA_WIDE_LOOPS void decode_doubles(const double* rows, std::size_t n, std::size_t rank, double* panel,
                                      double* norm2) {
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < rank; ++k) panel[k * kProductPanel + i] = rows[i * rank + k];
    alignas(64) double sums[kProductPanel] = {};
    for (std::size_t k = 0; k < rank; ++k) {
        const double* in = panel + k * kProductPanel;
        for (std::size_t i = 0; i < kProductPanel; ++i) sums[i] += in[i] * in[i];
    }
    std::copy_n(sums, n, norm2);
}

}  // namespace

void SketchTile::load(const SketchIndex& index, std::size_t begin, std::size_t end) {
    index_ = &index;
    form_ = index.form_;
    rank_ = index.basis_.rank;
    begin_ = begin;
    count_ = end - begin;
    sketched_ = index.sketched_ > begin ? std::min(end, index.sketched_) - begin : 0;
    if (form_ == SketchForm::Codes || rank_ == 0) {
        sketched_ = 0;
        return;
    }
    const std::size_t rank = rank_, values = panels_for(count_) * rank * kProductPanel;
    norm2_.resize(count_);
    norm_.resize(count_);
    error_.assign(count_, kNan);
    const bool bytes = form_ == SketchForm::Bytes;
    if (bytes) floats_.resize(values);
    else doubles_.assign(values, 0.0);
    for (std::size_t first = 0; first < sketched_; first += kProductPanel) {
        const std::size_t n = std::min(kProductPanel, sketched_ - first);
        const std::size_t panel = first / kProductPanel * rank * kProductPanel;
        if (bytes)
            decode_bytes(index.byte_rows_.data() + (begin + first) * rank, n, rank, index.grid_.lo.data(),
                         index.grid_.step.data(), floats_.data() + panel, norm2_.data() + first);
        else
            decode_doubles(index.rows_.data() + (begin + first) * rank, n, rank, doubles_.data() + panel,
                           norm2_.data() + first);
    }
    for (std::size_t pos = 0; pos < sketched_; ++pos) {
        norm_[pos] = std::sqrt(norm2_[pos]);
        if (bytes) {
            // The stored bound on |sigma s_x - yhat| (plus sigma times the
            // allowance) and |fl32(yhat) - yhat| <= kProductFloatRounding v
            // |fl32(yhat)|; the factor rounds the two operations up.
            const double stored = static_cast<double>(index.byte_errors_[begin + pos]);
            error_[pos] = (stored + kProductFloatRounding * kFloatUnit * norm_[pos]) * (1.0 + 0x1p-50);
        } else if (index.metric_ == Metric::Euclidean) {
            error_[pos] = index.aux_[begin + pos];
        }
    }
}

BatchBound::BatchBound(const SketchIndex& index, const SketchQuery* const* queries, std::size_t lanes) {
    const std::size_t rank = index.basis_.rank;
    if (index.form_ == SketchForm::Codes || rank == 0) return;
    const bool bytes = index.form_ == SketchForm::Bytes;
    index_ = &index;
    form_ = index.form_;
    metric_ = index.metric_;
    rank_ = rank;
    kernels_ = &active_product_kernels();
    margin_ = product_margin(rank, bytes);
    if (bytes) floats_.assign(kBoundLanes * rank, 0.0f);
    else doubles_.assign(kBoundLanes * rank, 0.0);
    for (std::size_t j = 0; j < std::min(lanes, kBoundLanes); ++j) {
        const SketchQuery& q = *queries[j];
        if (q.index_ != &index || q.codes_.active() || q.bytes_ != bytes) continue;
        double sum = 0.0;
        if (bytes) {
            // z* = sigma s_q is exact (sigma is a power of two) but for
            // underflow, which the grid's kCodeFloor covers; fl32(z*) is off
            // by at most v |z*| plus underflow.
            const double sigma = index.grid_.scale;
            double exact_sum = 0.0;
            bool fits = true;
            for (std::size_t k = 0; k < rank; ++k) {
                const double scaled = sigma * q.sketch_[k];
                fits = fits && std::fabs(scaled) <= kMaxCodeQuery;
                const float z = static_cast<float>(scaled);
                floats_[j * rank + k] = z;
                sum += static_cast<double>(z) * static_cast<double>(z);
                exact_sum += scaled * scaled;
            }
            if (!fits) {
                std::fill_n(floats_.begin() + j * rank, rank, 0.0f);
                continue;
            }
            rounding_[j] = kProductFloatRounding * kFloatUnit * std::sqrt(exact_sum);
        } else {
            for (std::size_t k = 0; k < rank; ++k) {
                doubles_[j * rank + k] = q.sketch_[k];
                sum += q.sketch_[k] * q.sketch_[k];
            }
        }
        norm2_[j] = sum;
        norm_[j] = std::sqrt(sum);
        slack_[j] = q.slack_;
        query_mean_[j] = q.query_mean_;
        residual_[j] = q.residual_;
        scale_[j] = q.scale_;
        query_norm_[j] = q.norm_;
        query_[j] = q.query_;
        query_len_ = q.query_len_;
        store_ = q.store_;
        dim_ = q.dim_;
        checking_ = q.checking_;
        counting_ = q.counting_;
        active_lanes_ |= 1u << j;
    }
}

// As SketchQuery::bytes_reach and GapQuery::reach: the product bound must
// prove sigma |s_q - s_x| >= sigma needed + sigma allowance_x, needed =
// (max(T, 0) + slack_q)(1 + 2 kCodeDistanceSlack), which is more than the
// Doubles test's premise. The query's own rounding to float32 and every
// underflow are added to R here (kCodeFloor); the factor rounds R up.
double BatchBound::bytes_reach(std::size_t j, double threshold) const {
    if (!std::isfinite(threshold)) return kNan;
    const double needed = (std::max(threshold, 0.0) + slack_[j]) * (1.0 + 2 * kCodeDistanceSlack);
    double r = (index_->grid_.scale * needed + rounding_[j] + kCodeFloor) * (1.0 + 0x1p-50);
    if (r < kCodeReachFloor) r = kCodeReachFloor;
    return r <= kMaxCodeError ? r : kNan;
}

namespace {

// Bytes: with L <= |z - x~|^2 (the product margin) and side = error_x + R,
// L >= side^2 gives |z - x~| >= error_x + R, and then
//   sigma |s_q - s_x| >= |z - x~| - |z - z*| - |x~ - yhat| - |yhat - sigma s_x|
//                     >= R - rounding_q - kCodeFloor + sigma allowance_x,
// which bytes_reach makes at least sigma (needed + allowance_x). The two
// sides of the comparison round three times; kProductCompareShrink covers them.
TESSRA_WIDE_LOOPS void decide_bytes(const float* products, const double* norm2, const double* norm, const double* error,
                                    std::size_t count, double query_norm2, double query_norm, double margin,
                                    double reach, std::uint8_t* skip) {
    for (std::size_t i = 0; i < count; ++i) {
        const double lower = squared_distance_floor(static_cast<double>(products[i]), query_norm2, norm2[i],
                                                    query_norm, norm[i], margin, kProductFloatFloor);
        const double side = error[i] + reach;
        skip[i] = lower * kProductCompareShrink >= side * side;
    }
}

// Doubles, euclidean: SketchQuery::proves_not_before with L, a proven lower
// bound on the squared distance of the two sketches, where it reads the
// computed one (whose rounding the shrink covers).
TESSRA_WIDE_LOOPS void decide_euclidean(const double* products, const double* norm2, const double* norm,
                                        const double* allowance, std::size_t count, double query_norm2,
                                        double query_norm, double margin, double threshold, double slack,
                                        std::uint8_t* skip) {
    for (std::size_t i = 0; i < count; ++i) {
        const double lower = squared_distance_floor(products[i], query_norm2, norm2[i], query_norm, norm[i], margin,
                                                    kProductDoubleFloor) * kEuclideanShrink;
        const double reach = threshold + (slack + allowance[i]);
        skip[i] = lower >= reach * reach && lower <= DBL_MAX;
    }
}

}  // namespace

void BatchBound::decide_doubles(const SketchTile& tile, std::size_t offset, std::size_t count, std::size_t j,
                        double threshold, const double* products, std::uint8_t* skip) const {
    const double* norm2 = tile.norm2_.data() + offset;
    const double* norm = tile.norm_.data() + offset;
    if (metric_ == Metric::Euclidean) {
        decide_euclidean(products, norm2, norm, tile.error_.data() + offset, count, norm2_[j], norm_[j], margin_,
                         threshold, slack_[j], skip);
        return;
    }
    // Dot and cosine: SketchQuery::proves_not_before with L <= s_q . s_x in
    // place of the computed sketch dot product.
    const double* aux = index_->aux_.data() + (tile.begin_ + offset) * 4;
    const double basis_slack = index_->basis_.slack;
    for (std::size_t i = 0; i < count; ++i, aux += 4) {
        const double dot = dot_floor(products[i], norm_[j], norm[i], margin_, kProductDoubleFloor);
        const double slack = (scale_[j] * aux[2]) * basis_slack + kDotFloor;
        const double lower = query_mean_[j] + aux[1] + dot - residual_[j] * aux[0] - slack;
        if (metric_ == Metric::Dot) {
            skip[i] = lower >= threshold && std::fabs(lower) <= DBL_MAX;
            continue;
        }
        double cosine = lower / (query_norm_[j] * aux[3]);
        cosine -= basis_slack * (1.0 + std::fabs(cosine));
        skip[i] = cosine >= threshold && std::fabs(cosine) <= DBL_MAX;
    }
}

namespace {

std::uint64_t mask_of(const std::uint8_t* flags, std::size_t count) {
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < count; ++i) mask |= static_cast<std::uint64_t>(flags[i] != 0) << i;
    return mask;
}

}  // namespace

void BatchBound::prove(const SketchTile& tile, std::size_t offset, std::size_t count, const double* thresholds,
                       std::uint64_t* keep) const {
    if (active_lanes_ == 0 || tile.index_ != index_ || tile.sketched_ <= offset) return;
    count = std::min({count, kProductPanel, tile.sketched_ - offset});
    const std::uint64_t in_range = count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    const bool bytes = form_ == SketchForm::Bytes;
    double reach[kBoundLanes];
    unsigned lanes = 0;
    for (std::size_t j = 0; j < kBoundLanes; ++j) {
        if (!(active_lanes_ >> j & 1u) || (keep[j] & in_range) == 0) continue;
        reach[j] = bytes ? bytes_reach(j, thresholds[j]) : thresholds[j];
        if (!std::isnan(reach[j])) lanes |= 1u << j;
    }
    if (lanes == 0) return;
    const std::size_t panel = offset / kProductPanel * rank_ * kProductPanel;
    alignas(64) float float_products[kBoundLanes * kProductPanel];
    alignas(64) double double_products[kBoundLanes * kProductPanel];
    if (bytes) kernels_->floats(floats_.data(), rank_, tile.floats_.data() + panel, count, float_products);
    else kernels_->doubles(doubles_.data(), rank_, tile.doubles_.data() + panel, count, double_products);
    std::uint64_t tested = 0, skipped = 0;
    for (std::size_t j = 0; j < kBoundLanes; ++j) {
        if (!(lanes >> j & 1u)) continue;
        std::uint8_t skip[kProductPanel];
        if (bytes)
            decide_bytes(float_products + j * kProductPanel, tile.norm2_.data() + offset, tile.norm_.data() + offset,
                         tile.error_.data() + offset, count, norm2_[j], norm_[j], margin_, reach[j], skip);
        else
            decide_doubles(tile, offset, count, j, thresholds[j], double_products + j * kProductPanel, skip);
        const std::uint64_t looked = keep[j] & in_range;
        const std::uint64_t dropped = looked & mask_of(skip, count);
        keep[j] &= ~dropped;
        if (!checking_ && !counting_) continue;
        tested += static_cast<std::uint64_t>(__builtin_popcountll(looked));
        skipped += static_cast<std::uint64_t>(__builtin_popcountll(dropped));
        if (checking_)
            for (std::uint64_t rest = dropped; rest != 0; rest &= rest - 1)
                audit(tile.begin_ + offset + static_cast<std::size_t>(__builtin_ctzll(rest)), j, thresholds[j]);
    }
    if (checking_ || counting_) add_sketch_counts(tested, skipped);
}

void BatchBound::estimate(const SketchTile& tile, std::size_t offset, std::size_t count, double* out) const {
    std::fill_n(out, kBoundLanes * kProductPanel, kNan);
    if (active_lanes_ == 0 || tile.index_ != index_ || tile.sketched_ <= offset) return;
    count = std::min({count, kProductPanel, tile.sketched_ - offset});
    const bool bytes = form_ == SketchForm::Bytes;
    const std::size_t panel = offset / kProductPanel * rank_ * kProductPanel;
    alignas(64) float float_products[kBoundLanes * kProductPanel];
    alignas(64) double double_products[kBoundLanes * kProductPanel];
    if (bytes) kernels_->floats(floats_.data(), rank_, tile.floats_.data() + panel, count, float_products);
    else kernels_->doubles(doubles_.data(), rank_, tile.doubles_.data() + panel, count, double_products);
    const double* norm2 = tile.norm2_.data() + offset;
    for (std::size_t j = 0; j < kBoundLanes; ++j) {
        if (!(active_lanes_ >> j & 1u)) continue;
        double* row = out + j * kProductPanel;
        if (bytes) {
            const float* products = float_products + j * kProductPanel;
            for (std::size_t i = 0; i < count; ++i)
                row[i] = (norm2_[j] + norm2[i]) - 2.0 * static_cast<double>(products[i]);
            continue;
        }
        const double* products = double_products + j * kProductPanel;
        if (metric_ == Metric::Euclidean) {
            for (std::size_t i = 0; i < count; ++i) row[i] = (norm2_[j] + norm2[i]) - 2.0 * products[i];
            continue;
        }
        const double* aux = index_->aux_.data() + (tile.begin_ + offset) * 4;
        for (std::size_t i = 0; i < count; ++i) {
            const double value = query_mean_[j] + aux[i * 4 + 1] + products[i];
            row[i] = metric_ == Metric::Dot ? value : value / (query_norm_[j] * aux[i * 4 + 3]);
        }
    }
}

void BatchBound::audit(std::size_t id, std::size_t j, double threshold) const {
    const double exact = metric_function(metric_)(query_[j], query_len_, store_ + id * dim_, dim_);
    if (exact < threshold) {
        add_sketch_violation();
        TESSRA_FAULT("Batch sketch bound skipped vector " + std::to_string(id) + " whose value " +
                     std::to_string(exact) + " is below the threshold " + std::to_string(threshold));
    }
}

}  // namespace tessra
