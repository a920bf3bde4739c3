#include "flat/lane_scan.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessra {
namespace {

static_assert(kQueryLanes == kBoundLanes, "a query group is one bound call");
static_assert(kQueryLanes <= 8, "a stored vector's lanes are the bits of a byte");
static_assert(kScanStep == 64, "a step's vectors are the bits of one word");

// A stored vector at least this many queries of a group still need goes
// through the block kernel for all of them; one needed by fewer goes through
// the one-query kernel for each.
constexpr std::size_t kDenseLanes = 3;
// A query's seed comes from the kSeedFactor * k stored vectors its sketch
// puts nearest, when they are at most 1 / kSeedMinShare of those stored.
constexpr std::size_t kSeedFactor = 2;
constexpr std::size_t kSeedMinShare = 4;

constexpr std::uint64_t first_bits(std::size_t n) { return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1; }

std::size_t bit_count(unsigned x) {
    std::size_t n = 0;
    for (; x != 0; x &= x - 1) ++n;
    return n;
}

std::size_t lowest_bit(std::uint64_t x) { return static_cast<std::size_t>(__builtin_ctzll(x)); }

}  // namespace

LaneScan::LaneScan(const Flat& flat, const double* const* rows, std::size_t lanes, std::size_t keep)
    : metric_(flat.metric),
      count_(flat.size()),
      removed_(flat.removed),
      kernels_(block_kernels_for(active_kernels())),
      kernel_(kernels_.for_metric(flat.metric)),
      euclidean_(flat.metric == Metric::Euclidean),
      keep_(keep),
      lanes_(lanes),
      dim_(flat.dim),
      columns_(flat.dim * kQueryLanes, 0.0),
      best_(lanes) {
    const std::size_t dim = flat.dim;
    singles_.reserve(lanes);
    sketches_.reserve(lanes);
    const SketchQuery* group[kQueryLanes];
    for (std::size_t j = 0; j < lanes; ++j) {
        rows_[j] = rows[j];
        sketches_.emplace_back(flat.sketches, flat.metric, rows[j], dim, flat.vector_store.data(), dim);
        group[j] = &sketches_[j];
        sum_sq_[j] = flat.metric == Metric::Cosine ? sum_of_squares(rows_[j], dim) : 0.0;
        for (std::size_t i = 0; i < dim; ++i) columns_[i * kQueryLanes + j] = rows_[j][i];
        best_[j].reserve(keep);
        singles_.emplace_back(flat.metric, rows_[j], dim, dim);
    }
    bound_ = BatchBound(flat.sketches, group, lanes);
    std::fill_n(seed_, kQueryLanes, std::numeric_limits<double>::quiet_NaN());
    std::fill_n(bars_, kQueryLanes, std::numeric_limits<double>::infinity());
    // Seeds pay where a query keeps few of the stored vectors.
    if (bound_.active() && kSeedFactor * keep * kSeedMinShare <= count_) {
        pool_size_ = kSeedFactor * keep;
        pools_.resize(lanes);
        for (auto& pool : pools_) pool.reserve(2 * pool_size_ + kScanStep);
    }
}

// A pool takes whatever beats its bar and is cut back to the pool_size_ best
// once it holds twice as many (the bar then rises to the worst kept).
void LaneScan::gather(const SketchTile& tile, std::size_t begin, std::size_t end) {
    if (pool_size_ == 0) return;
    alignas(64) double estimates[kBoundLanes * kProductPanel];
    for (std::size_t start = begin; start < end; start += kScanStep) {
        const std::size_t stop = std::min(kScanStep, end - start);
        bound_.estimate(tile, start - tile.begin(), stop, estimates);
        const StepMask live = live_mask(start, stop);
        for (std::size_t j = 0; j < lanes_; ++j) {
            std::vector<Candidate>& pool = pools_[j];
            const double* row = estimates + j * kProductPanel;
            const double bar = bars_[j];
            StepMask better = 0;  // NaN never beats the bar
            for (std::size_t i = 0; i < stop; ++i) better |= static_cast<StepMask>(row[i] <= bar) << i;
            for (better &= live; better != 0; better &= better - 1) {
                const std::size_t i = lowest_bit(better);
                pool.push_back(Candidate{row[i], start + i});
            }
            if (pool.size() >= 2 * pool_size_) cut(j);
        }
    }
}

void LaneScan::cut(std::size_t j) {
    std::vector<Candidate>& pool = pools_[j];
    if (pool.size() <= pool_size_) return;
    const auto by_estimate = [](const Candidate& a, const Candidate& b) { return a.distance < b.distance; };
    std::nth_element(pool.begin(), pool.begin() + (pool_size_ - 1), pool.end(), by_estimate);
    bars_[j] = pool[pool_size_ - 1].distance;
    pool.resize(pool_size_);
}

// With `keep` live vectors at or below a value T, the k-th best distance is
// at most T, so a vector farther than T is in no answer: the scan may drop
// anything that does not rank before the seed, the value just above T,
// whether its heap is full or not. (A vector at T may still rank before an
// equal one of a higher id: the seed admits it.)
void LaneScan::seed(const double* base) {
    for (std::size_t j = 0; j < pools_.size(); ++j) {
        cut(j);
        std::vector<Candidate>& pool = pools_[j];
        std::vector<double> exact;
        exact.reserve(pool.size());
        for (std::size_t first = 0; first < pool.size(); first += kBatch) {
            const std::size_t n = std::min(kBatch, pool.size() - first);
            const double* batch[kBatch];
            double out[kBatch];
            for (std::size_t s = 0; s < n; ++s) batch[s] = base + pool[first + s].id * dim_;
            singles_[j].batch(batch, n, out);
            for (std::size_t s = 0; s < n; ++s)
                if (!std::isnan(out[s])) exact.push_back(out[s]);
        }
        pool = std::vector<Candidate>();
        if (exact.size() < keep_) continue;
        std::nth_element(exact.begin(), exact.begin() + (keep_ - 1), exact.end());
        const double at_most = exact[keep_ - 1];
        if (std::isfinite(at_most)) seed_[j] = std::nextafter(at_most, std::numeric_limits<double>::infinity());
    }
}

void LaneScan::scan(const double* base, const SketchTile& tile, std::size_t begin, std::size_t end) {
    // Built here, not kept: the scan may have moved since the last call.
    const QueryBlockView view{lanes_, dim_, rows_, columns_.data(), sum_sq_};
    double bounds[kQueryLanes], thresholds[kQueryLanes];
    StepMask keep[kQueryLanes];
    alignas(64) double distances[kScanStep * kQueryLanes];
    for (std::size_t start = begin; start < end; start += kScanStep) {
        // A query holding `keep` pairs admits only a distance that ranks
        // strictly before the worst of them: that distance is its
        // threshold; a seeded query admits only what ranks before its seed
        // too. A query with neither admits anything (NaN).
        bool bounded = false;
        for (std::size_t j = 0; j < kQueryLanes; ++j) {
            double t = std::numeric_limits<double>::quiet_NaN();
            if (j < lanes_ && best_[j].size() == keep_) t = best_[j].front().distance;
            if (j < lanes_ && !distance_before(t, seed_[j])) t = seed_[j];
            thresholds[j] = t;
            bounds[j] = j >= lanes_ ? -std::numeric_limits<double>::infinity() : t;
            bounded |= !std::isnan(t);
        }
        const std::size_t stop = std::min(kScanStep, end - start);
        const StepMask live = live_mask(start, stop);
        for (std::size_t j = 0; j < kQueryLanes; ++j) keep[j] = j < lanes_ ? live : 0;
        // A pair whose sketch proves it ranks before no query's threshold is
        // left out before any distance is taken.
        if (bounded) prove(tile, start, stop, thresholds, keep);
        compute(base, view, start, keep, bounds, distances);
        for (std::size_t j = 0; j < lanes_; ++j)
            for (StepMask rest = keep[j]; rest != 0; rest &= rest - 1) {
                const std::size_t i = lowest_bit(rest);
                admit(base, j, Candidate{distances[i * kQueryLanes + j], start + i});
            }
    }
}

// Ids arrive in increasing order, so a newcomer beats the worst kept pair
// exactly when its distance ranks strictly before it.
void LaneScan::admit(const double* base, std::size_t j, Candidate c) {
    if (!std::isnan(seed_[j]) && !distance_before(c.distance, seed_[j])) return;
    std::vector<Candidate>& best = best_[j];
    if (best.size() < keep_) {
        if (std::isnan(c.distance)) c = Candidate{one_query_distance(base, j, c.id), c.id};
        best.push_back(c);
        std::push_heap(best.begin(), best.end(), candidate_before);
    } else if (distance_before(c.distance, best.front().distance)) {
        std::pop_heap(best.begin(), best.end(), candidate_before);
        best.back() = c;
        std::push_heap(best.begin(), best.end(), candidate_before);
    }
}

const std::vector<Candidate>& LaneScan::finish(std::size_t j) {
    std::sort_heap(best_[j].begin(), best_[j].end(), candidate_before);
    return best_[j];
}

// The vectors of a step starting at `start` (a multiple of kScanStep) that are not removed.
LaneScan::StepMask LaneScan::live_mask(std::size_t start, std::size_t stop) const {
    return first_bits(stop) & ~removed_.word(start / kScanStep);
}

// Clears the bit of every pair of the step the sketches prove out.
void LaneScan::prove(const SketchTile& tile, std::size_t start, std::size_t stop, const double* thresholds,
                     StepMask* keep) const {
    if (bound_.active()) {
        bound_.prove(tile, start - tile.begin(), stop, thresholds, keep);
        return;
    }
    // Sketches without a product form (whole-vector codes): query by query.
    for (std::size_t j = 0; j < lanes_; ++j) {
        if (std::isnan(thresholds[j]) || !sketches_[j].active()) continue;
        std::uint64_t ids[kScanStep];
        std::size_t n = 0;
        for (StepMask rest = keep[j]; rest != 0; rest &= rest - 1) ids[n++] = start + lowest_bit(rest);
        n = sketches_[j].keep(ids, n, thresholds[j]);
        keep[j] = 0;
        for (std::size_t i = 0; i < n; ++i) keep[j] |= StepMask{1} << (ids[i] - start);
    }
}

// distances[i * kQueryLanes + j] for every pair whose bit i of keep[j] is set
// (others: anything).
void LaneScan::compute(const double* base, const QueryBlockView& view, std::size_t start, const StepMask* keep,
                       const double* bounds, double* distances) const {
    StepMask any = 0;
    for (std::size_t j = 0; j < lanes_; ++j) any |= keep[j];
    const double* dense[kScanStep];
    std::size_t dense_at[kScanStep], dense_count = 0;
    std::size_t scattered[kQueryLanes][kScanStep], scattered_count[kQueryLanes] = {};
    const std::size_t enough = std::min(kDenseLanes, lanes_);
    for (; any != 0; any &= any - 1) {
        const std::size_t i = lowest_bit(any);
        unsigned lanes = 0;
        for (std::size_t j = 0; j < lanes_; ++j) lanes |= static_cast<unsigned>(keep[j] >> i & 1u) << j;
        if (bit_count(lanes) >= enough) {
            dense_at[dense_count] = i;
            dense[dense_count++] = base + (start + i) * dim_;
            continue;
        }
        for (; lanes != 0; lanes &= lanes - 1) {
            const std::size_t j = lowest_bit(lanes);
            scattered[j][scattered_count[j]++] = i;
        }
    }
    if (dense_count != 0) {
        alignas(64) double out[kScanStep * kQueryLanes];
        // Euclidean scans may stop reading a vector once no query can admit it.
        if (euclidean_) kernels_.euclidean_bounded(view, dense, dense_count, bounds, out);
        else kernel_(view, dense, dense_count, out);
        for (std::size_t s = 0; s < dense_count; ++s)
            std::copy_n(out + s * kQueryLanes, kQueryLanes, distances + dense_at[s] * kQueryLanes);
    }
    for (std::size_t j = 0; j < lanes_; ++j) {
        const std::size_t* at = scattered[j];
        for (std::size_t first = 0; first < scattered_count[j]; first += kBatch) {
            const std::size_t n = std::min(kBatch, scattered_count[j] - first);
            const double* batch[kBatch];
            double out[kBatch];
            for (std::size_t s = 0; s < n; ++s) batch[s] = base + (start + at[first + s]) * dim_;
            // A NaN bound (a query with no threshold yet) reads every vector to the end.
            singles_[j].batch_below(batch, n, bounds[j], out);
            for (std::size_t s = 0; s < n; ++s) distances[at[first + s] * kQueryLanes + j] = out[s];
        }
    }
}

// The distance as Flat::search takes it: through the one-query kernel, in the
// batch of kBatch stored vectors that holds `id`. Only a NaN needs it: every
// number comes out the same from any kernel of the set, but which NaN an
// operation on two NaNs keeps depends on how the compiler ordered its
// operands, kernel by kernel.
double LaneScan::one_query_distance(const double* base, std::size_t j, std::size_t id) const {
    const std::size_t start = id / kBatch * kBatch;
    const std::size_t n = std::min(kBatch, count_ - start);
    const double* batch[kBatch];
    double out[kBatch];
    for (std::size_t i = 0; i < n; ++i) batch[i] = base + (start + i) * dim_;
    QueryDistances(metric_, rows_[j], dim_, dim_).batch(batch, n, out);
    return out[id - start];
}

}  // namespace tessra
