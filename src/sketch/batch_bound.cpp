#include "sketch/batch_bound.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <string>

#include "common/fault.hpp"

namespace tessra {
namespace {

constexpr double kUnit = 0x1p-53;
constexpr double kFloatUnit = 0x1p-24;
const double kNan = std::numeric_limits<double>::quiet_NaN();

std::size_t panels_for(std::size_t count) { return (count + kProductPanel - 1) / kProductPanel; }

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
    norm2_.assign(count_, 0.0);
    norm_.assign(count_, 0.0);
    error_.assign(count_, kNan);
    if (form_ == SketchForm::Bytes) {
        floats_.assign(values, 0.0f);
        const CodeGrid& grid = index.grid_;
        for (std::size_t pos = 0; pos < sketched_; ++pos) {
            const std::uint8_t* codes = index.byte_rows_.data() + (begin + pos) * rank;
            float* column = floats_.data() + (pos / kProductPanel) * rank * kProductPanel + pos % kProductPanel;
            double sum = 0.0;
            for (std::size_t k = 0; k < rank; ++k) {
                // c step is exact in float32 (8 by 16 bits), so this rounds once.
                const float x = grid.lo[k] + static_cast<float>(codes[k]) * grid.step[k];
                column[k * kProductPanel] = x;
                sum += static_cast<double>(x) * static_cast<double>(x);
            }
            norm2_[pos] = sum;
            norm_[pos] = std::sqrt(sum);
            // The stored bound on |sigma s_x - yhat| (plus sigma times the
            // allowance) and |fl32(yhat) - yhat| <= kProductFloatRounding v
            // |fl32(yhat)|; the factor rounds the two operations up.
            const double stored = static_cast<double>(index.byte_errors_[begin + pos]);
            error_[pos] = (stored + kProductFloatRounding * kFloatUnit * norm_[pos]) * (1.0 + 0x1p-50);
        }
        return;
    }
    doubles_.assign(values, 0.0);
    const bool euclidean = index.metric_ == Metric::Euclidean;
    for (std::size_t pos = 0; pos < sketched_; ++pos) {
        const double* row = index.rows_.data() + (begin + pos) * rank;
        double* column = doubles_.data() + (pos / kProductPanel) * rank * kProductPanel + pos % kProductPanel;
        double sum = 0.0;
        for (std::size_t k = 0; k < rank; ++k) {
            column[k * kProductPanel] = row[k];
            sum += row[k] * row[k];
        }
        norm2_[pos] = sum;
        norm_[pos] = std::sqrt(sum);
        if (euclidean) error_[pos] = index.aux_[begin + pos];
    }
}

BatchBound::BatchBound(const SketchIndex& index, const SketchQuery* queries, std::size_t lanes) {
    const std::size_t rank = index.basis_.rank;
    if (index.form_ == SketchForm::Codes || rank == 0) return;
    const bool bytes = index.form_ == SketchForm::Bytes;
    index_ = &index;
    form_ = index.form_;
    metric_ = index.metric_;
    rank_ = rank;
    kernels_ = &active_product_kernels();
    margin_ = kProductMargin * static_cast<double>(rank + 6) * ((bytes ? kFloatUnit : kUnit) + kUnit);
    if (bytes) floats_.assign(kBoundLanes * rank, 0.0f);
    else doubles_.assign(kBoundLanes * rank, 0.0);
    for (std::size_t j = 0; j < std::min(lanes, kBoundLanes); ++j) {
        const SketchQuery& q = queries[j];
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
        const double sum = query_norm + norm[i];
        const double lower = ((query_norm2 + norm2[i]) - 2.0 * static_cast<double>(products[i])) -
                             (margin * (sum * sum) + kProductFloatFloor);
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
        const double sum = query_norm + norm[i];
        const double lower = (((query_norm2 + norm2[i]) - 2.0 * products[i]) -
                              (margin * (sum * sum) + kProductDoubleFloor)) * kEuclideanShrink;
        const double reach = threshold + (slack + allowance[i]);
        skip[i] = lower >= reach * reach && lower <= DBL_MAX;
    }
}

}  // namespace

void BatchBound::decide(const SketchTile& tile, std::size_t offset, std::size_t count, std::size_t j,
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
        const double dot = products[i] - (margin_ * (norm_[j] * norm[i]) + kProductDoubleFloor);
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

void BatchBound::prove(const SketchTile& tile, std::size_t offset, std::size_t count, const double* thresholds,
                       std::uint8_t* keep) const {
    if (active_lanes_ == 0 || tile.index_ != index_ || tile.sketched_ <= offset) return;
    count = std::min({count, kProductPanel, tile.sketched_ - offset});
    const bool bytes = form_ == SketchForm::Bytes;
    double reach[kBoundLanes];
    unsigned lanes = 0;
    for (std::size_t j = 0; j < kBoundLanes; ++j) {
        if (!(active_lanes_ >> j & 1u)) continue;
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
            decide(tile, offset, count, j, thresholds[j], double_products + j * kProductPanel, skip);
        const std::uint8_t bit = static_cast<std::uint8_t>(1u << j);
        for (std::size_t i = 0; i < count; ++i) {
            if (!(keep[i] & bit)) continue;
            ++tested;
            if (!skip[i]) continue;
            ++skipped;
            keep[i] = static_cast<std::uint8_t>(keep[i] & ~bit);
            if (checking_) audit(tile.begin_ + offset + i, j, thresholds[j]);
        }
    }
    if (checking_ || counting_) add_sketch_counts(tested, skipped);
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
