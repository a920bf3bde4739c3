// Fitting sketch axes: randomized subspace iteration on a centred sample, a
// Jacobi eigen-decomposition of the small projected covariance, and a choice
// of rank by simulating the bound on the sample itself.
#include "sketch/sketch_basis.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "sketch/symmetric_eigen.hpp"

namespace tessra {
namespace {

constexpr double kUnit = 0x1p-53;  // unit roundoff of double
constexpr std::size_t kSimQueries = 32;
// Cost of one sketch coordinate in the bound against one element of an exact
// distance, and the share of the plain cost a sketch must save to be used.
constexpr double kAxisCost = 1.5;
constexpr double kMinSaving = 0.15;

bool finite_vector(const double* x, std::size_t dim) {
    for (std::size_t j = 0; j < dim; ++j)
        if (!std::isfinite(x[j])) return false;
    return true;
}

double dot(const double* a, const double* b, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}

// A deterministic stream of numbers in [-1, 1) (splitmix64).
struct Stream {
    std::uint64_t state;
    double next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * 0x1p-52 - 1.0;
    }
};

// Orthonormalises the rows of q (rows x dim) by modified Gram-Schmidt, twice.
// A row that collapses (the span is smaller than `rows`) is replaced by a
// fresh random direction.
void orthonormalise(std::vector<double>& q, std::size_t rows, std::size_t dim, Stream& stream) {
    for (std::size_t i = 0; i < rows; ++i) {
        double* v = q.data() + i * dim;
        for (int attempt = 0; attempt < 4; ++attempt) {
            const double before = std::sqrt(dot(v, v, dim));
            for (int pass = 0; pass < 2; ++pass)
                for (std::size_t k = 0; k < i; ++k) {
                    const double* w = q.data() + k * dim;
                    const double c = dot(v, w, dim);
                    for (std::size_t j = 0; j < dim; ++j) v[j] -= c * w[j];
                }
            const double norm = std::sqrt(dot(v, v, dim));
            if (norm > 1e-8 * before && norm > 0.0 && std::isfinite(norm)) {
                for (std::size_t j = 0; j < dim; ++j) v[j] /= norm;
                break;
            }
            for (std::size_t j = 0; j < dim; ++j) v[j] = stream.next();
        }
    }
}

// out (s x rows) = x (s x dim) times q^T (q: rows x dim).
TESSRA_WIDE_LOOPS void times_transpose(const std::vector<double>& x, std::size_t s, std::size_t dim, const std::vector<double>& q,
                     std::size_t rows, std::vector<double>& out) {
    std::vector<double> qt(dim * rows);
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < dim; ++j) qt[j * rows + i] = q[i * dim + j];
    out.assign(s * rows, 0.0);
    for (std::size_t a = 0; a < s; ++a) {
        double* o = out.data() + a * rows;
        const double* xa = x.data() + a * dim;
        for (std::size_t j = 0; j < dim; ++j) {
            const double xj = xa[j];
            const double* t = qt.data() + j * rows;
            for (std::size_t i = 0; i < rows; ++i) o[i] += xj * t[i];
        }
    }
}

// out (rows x dim) = y^T (rows x s) times x (s x dim).
TESSRA_WIDE_LOOPS void transpose_times(const std::vector<double>& y, std::size_t s, std::size_t rows, const std::vector<double>& x,
                     std::size_t dim, std::vector<double>& out) {
    out.assign(rows * dim, 0.0);
    for (std::size_t a = 0; a < s; ++a) {
        const double* xa = x.data() + a * dim;
        for (std::size_t i = 0; i < rows; ++i) {
            const double c = y[a * rows + i];
            double* o = out.data() + i * dim;
            for (std::size_t j = 0; j < dim; ++j) o[j] += c * xa[j];
        }
    }
}

// out (rows x dim) = w (rows x k) times q (k x dim), with k = rows.
TESSRA_WIDE_LOOPS void combine(const std::vector<double>& w, std::size_t rows, const std::vector<double>& q,
                               std::size_t dim, std::vector<double>& out) {
    out.assign(rows * dim, 0.0);
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t k = 0; k < rows; ++k) {
            const double c = w[i * rows + k];
            const double* src = q.data() + k * dim;
            double* dst = out.data() + i * dim;
            for (std::size_t j = 0; j < dim; ++j) dst[j] += c * src[j];
        }
}

// out (s x width) = y (s x width) times w^T (w: width x width, row i = new column i).
TESSRA_WIDE_LOOPS void combine_columns(const std::vector<double>& y, std::size_t s, std::size_t width,
                                       const std::vector<double>& w, std::vector<double>& out) {
    std::vector<double> wt(width * width);
    for (std::size_t i = 0; i < width; ++i)
        for (std::size_t k = 0; k < width; ++k) wt[k * width + i] = w[i * width + k];
    out.assign(s * width, 0.0);
    for (std::size_t a = 0; a < s; ++a)
        for (std::size_t k = 0; k < width; ++k) {
            const double c = y[a * width + k];
            const double* src = wt.data() + k * width;
            double* dst = out.data() + a * width;
            for (std::size_t i = 0; i < width; ++i) dst[i] += c * src[i];
        }
}

// The share of simulated stored vectors that the bound with `rank` axes
// rejects, for every candidate rank, from the sample's projections.
struct Simulation {
    std::vector<std::size_t> ranks;
    std::vector<double> share;
};

Simulation simulate(Metric metric, const double* store, std::size_t dim, const std::vector<std::size_t>& ids,
                    const std::vector<double>& mean, double scale, const std::vector<double>& centred,
                    const std::vector<double>& proj, std::size_t width, std::size_t count,
                    const std::vector<std::size_t>& ranks) {
    const std::size_t s = ids.size();
    Simulation sim{ranks, std::vector<double>(ranks.size(), 0.0)};
    if (s < 8) return sim;
    // The query's threshold is its j-th best value among the sample: about
    // the 40th best of the whole index, between a k=10 search and a build.
    const std::size_t rank_in_sample =
        std::clamp<std::size_t>(static_cast<std::size_t>(40.0 * s / std::max<std::size_t>(count, 1)), 1, s / 8);
    const std::size_t queries = std::min(kSimQueries, s);
    const MetricFn fn = metric_function(metric);
    // Per sample vector: |x - mean|^2, |x| and mean . (x - mean), in the original scale.
    std::vector<double> centred2(s), norm(s), mean_part(s);
    for (std::size_t b = 0; b < s; ++b) {
        const double* cb = centred.data() + b * dim;
        const double* xb = store + ids[b] * dim;
        centred2[b] = dot(cb, cb, dim) / (scale * scale);
        norm[b] = std::sqrt(dot(xb, xb, dim));
        mean_part[b] = dot(mean.data(), cb, dim) / scale;
    }
    std::vector<double> exact(s), lb(ranks.size() * s);
    double tested = 0.0;
    for (std::size_t qi = 0; qi < queries; ++qi) {
        const std::size_t a = qi * s / queries;
        const double* q = store + ids[a] * dim;
        const double* pa = proj.data() + a * width;
        const double qmu = dot(q, mean.data(), dim);
        std::size_t n = 0;
        for (std::size_t b = 0; b < s; ++b) {
            if (b == a) continue;
            exact[n] = fn(q, dim, store + ids[b] * dim, dim);
            const double* pb = proj.data() + b * width;
            double gap = 0.0, cross = 0.0, pq2 = 0.0, pd2 = 0.0;
            std::size_t r = 0;
            for (std::size_t c = 0; c < ranks.size(); ++c) {
                for (; r < ranks[c]; ++r) {
                    const double g = (pa[r] - pb[r]) / scale;
                    gap += g * g;
                    cross += pa[r] * pb[r] / (scale * scale);
                    pq2 += pa[r] * pa[r] / (scale * scale);
                    pd2 += pb[r] * pb[r] / (scale * scale);
                }
                double bound;
                if (metric == Metric::Euclidean) {
                    bound = std::sqrt(gap);
                } else {
                    // q.x = q.mu + mu.d + q_c.d with q_c = q - mu and d = x - mu.
                    const double res = std::sqrt(std::max(0.0, centred2[a] - pq2)) *
                                       std::sqrt(std::max(0.0, centred2[b] - pd2));
                    bound = qmu + cross + mean_part[b] - res;
                    if (metric == Metric::Cosine) bound /= norm[a] * norm[b];
                }
                lb[c * s + n] = bound;
            }
            ++n;
        }
        std::vector<double> sorted(exact.begin(), exact.begin() + n);
        std::nth_element(sorted.begin(), sorted.begin() + (rank_in_sample - 1), sorted.end(),
                         [](double x, double y) { return distance_before(x, y); });
        const double threshold = sorted[rank_in_sample - 1];
        for (std::size_t c = 0; c < ranks.size(); ++c)
            for (std::size_t b = 0; b < n; ++b) sim.share[c] += lb[c * s + b] >= threshold ? 1.0 : 0.0;
        tested += static_cast<double>(n);
    }
    for (double& x : sim.share) x /= std::max(tested, 1.0);
    return sim;
}

}  // namespace

double orthonormality_deviation(const std::vector<double>& axes, std::size_t rank, std::size_t dim) {
    double worst = 0.0;
    for (std::size_t i = 0; i < rank; ++i)
        for (std::size_t k = i; k < rank; ++k) {
            const double g = dot(axes.data() + i * dim, axes.data() + k * dim, dim) - (i == k ? 1.0 : 0.0);
            if (!(std::fabs(g) <= worst)) worst = std::fabs(g);  // NaN propagates
        }
    // |G - I|_2 <= |G - I|_F <= rank * max entry; each computed entry is off
    // by at most about dim units of roundoff (unit rows).
    const double rounding = 2.0 * static_cast<double>(dim + 2) * kUnit * 1.01;
    return static_cast<double>(rank) * (worst + rounding);
}

SketchBasis fit_sketch_basis(Metric metric, const double* store, std::size_t count, std::size_t dim,
                             std::size_t forced_rank) {
    SketchBasis basis;
    basis.dim = dim;
    if (dim < 2 || count < 2) return basis;

    // An evenly spread sample of finite vectors.
    std::vector<std::size_t> ids;
    const std::size_t want = std::min({count, kSketchSample, std::max<std::size_t>(kSketchSampleValues / dim, 64)});
    for (std::size_t i = 0; i < want; ++i) {
        const std::size_t id = i * count / want;
        if (finite_vector(store + id * dim, dim)) ids.push_back(id);
    }
    const std::size_t s = ids.size();
    if (s < 2) return basis;
    std::vector<double> mean(dim, 0.0);
    for (std::size_t id : ids)
        for (std::size_t j = 0; j < dim; ++j) mean[j] += store[id * dim + j] / static_cast<double>(s);
    if (!finite_vector(mean.data(), dim)) return basis;
    // Centre and scale the sample into a safe range (the axes do not depend on scale).
    std::vector<double> centred(s * dim);
    double largest = 0.0;
    for (std::size_t a = 0; a < s; ++a)
        for (std::size_t j = 0; j < dim; ++j) {
            const double c = store[ids[a] * dim + j] - mean[j];
            centred[a * dim + j] = c;
            largest = std::max(largest, std::fabs(c));
        }
    if (!(largest > 0.0) || !std::isfinite(largest)) return basis;
    for (double& c : centred) c /= largest;

    std::vector<std::size_t> ranks;
    if (forced_rank != 0) {
        ranks.push_back(std::min({forced_rank, dim, kMaxSketchRank}));
    } else {
        for (std::size_t r = 8; r <= kMaxSketchRank && 2 * r <= dim; r *= 2) ranks.push_back(r);
        if (ranks.empty()) return basis;
    }
    const std::size_t width = std::min(dim, ranks.back() + 8);

    // Randomized subspace iteration for the top `width` directions.
    Stream stream{0x5EEDu + dim};
    std::vector<double> q(width * dim), y, z;
    for (double& x : q) x = stream.next();
    orthonormalise(q, width, dim, stream);
    for (int power = 0; power < 2; ++power) {
        times_transpose(centred, s, dim, q, width, y);
        transpose_times(y, s, width, centred, dim, q);
        orthonormalise(q, width, dim, stream);
    }
    // Rayleigh-Ritz: eigenvectors of the covariance restricted to span(q).
    times_transpose(centred, s, dim, q, width, y);
    std::vector<double> gram(width * width, 0.0);
    for (std::size_t a = 0; a < s; ++a)
        for (std::size_t i = 0; i < width; ++i)
            for (std::size_t k = i; k < width; ++k) gram[i * width + k] += y[a * width + i] * y[a * width + k];
    const SymmetricEigen eigen = symmetric_eigen(gram, width);
    std::vector<double> axes, proj;
    combine(eigen.vectors, width, q, dim, axes);
    combine_columns(y, s, width, eigen.vectors, proj);
    orthonormalise(axes, width, dim, stream);

    std::size_t rank = ranks.front();
    if (forced_rank == 0) {
        const Simulation sim = simulate(metric, store, dim, ids, mean, 1.0 / largest, centred, proj, width, count, ranks);
        double best = (1.0 - kMinSaving) * static_cast<double>(dim);
        rank = 0;
        for (std::size_t c = 0; c < ranks.size(); ++c) {
            const double cost = kAxisCost * static_cast<double>(ranks[c]) + (1.0 - sim.share[c]) * static_cast<double>(dim);
            if (cost < best) best = cost, rank = ranks[c];
        }
        if (rank == 0) return basis;
    }

    axes.resize(rank * dim);
    const double deviation = orthonormality_deviation(axes, rank, dim);
    const double slack = 16.0 * kUnit * static_cast<double>(dim + rank + 8) * (std::sqrt(static_cast<double>(rank)) + 1.0) +
                         4.0 * deviation;
    if (!(slack <= kMaxSlack)) return basis;
    basis.rank = rank;
    basis.mean = std::move(mean);
    basis.axes = std::move(axes);
    basis.axes_t.resize(dim * rank);
    for (std::size_t i = 0; i < rank; ++i)
        for (std::size_t j = 0; j < dim; ++j) basis.axes_t[j * rank + i] = basis.axes[i * dim + j];
    basis.mean_norm = std::sqrt(dot(basis.mean.data(), basis.mean.data(), dim));
    basis.slack = slack;
    basis.deviation = deviation;
    return basis;
}

}  // namespace tessra
