// Sketch bounds at the ranks and dimensions the benchmarks use (rank 16-64,
// dimension 128-784), on data the sketch captures completely: a low
// dimensional subspace, hundreds of stored vectors within a few ulps of the
// k-th value of a query, a far cluster that pulls the centre of the data away
// (so the bounds' rounding allowances are large against the gaps between
// near-ties), and the rest far away, so that the bound is fitted and skips.
// Checking mode recomputes every skipped vector; a skipped admissible one is
// a fault. The answers must equal those of a scan without sketches.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "common/fault.hpp"
#include "flat/flat.hpp"
#include "flat/flat_batch.hpp"
#include "hnsw_test_support.hpp"
#include "sketch/sketch_index.hpp"

using namespace tessra;

namespace {

struct Settings {
    SketchSettings saved = sketch_settings();
    explicit Settings(const SketchSettings& s) { set_sketch_settings(s); }
    ~Settings() { set_sketch_settings(saved); }
};

// `rank` orthonormal directions of R^dim, as rows, from random vectors.
std::vector<std::vector<double>> random_basis(std::size_t rank, std::size_t dim, hnsw_test::SeededRandom& rng) {
    std::vector<std::vector<double>> basis;
    while (basis.size() < rank) {
        std::vector<double> v(dim);
        for (double& x : v) x = rng.unit() - 0.5;
        for (int pass = 0; pass < 2; ++pass)
            for (const auto& b : basis) {
                double c = 0.0;
                for (std::size_t j = 0; j < dim; ++j) c += v[j] * b[j];
                for (std::size_t j = 0; j < dim; ++j) v[j] -= c * b[j];
            }
        double norm = 0.0;
        for (double x : v) norm += x * x;
        norm = std::sqrt(norm);
        for (double& x : v) x /= norm;
        basis.push_back(std::move(v));
    }
    return basis;
}

// origin + sum_i s[i] * basis[i]
std::vector<double> point(const std::vector<double>& origin, const std::vector<std::vector<double>>& basis,
                          const std::vector<double>& s) {
    std::vector<double> x = origin;
    for (std::size_t i = 0; i < basis.size(); ++i)
        for (std::size_t j = 0; j < x.size(); ++j) x[j] += s[i] * basis[i][j];
    return x;
}

std::vector<double> unit_coordinates(std::size_t rank, hnsw_test::SeededRandom& rng) {
    std::vector<double> w(rank);
    double norm = 0.0;
    for (double& x : w) x = rng.unit() - 0.5, norm += x * x;
    for (double& x : w) x /= std::sqrt(norm);
    return w;
}

// A few components moved by a few ulps each, so that near-ties differ in
// their last bits, some nearer and some farther than the rest.
void nudge(std::vector<double>& x, hnsw_test::SeededRandom& rng) {
    for (int t = 0; t < 4; ++t) {
        double& c = x[rng.below(x.size())];
        const int steps = static_cast<int>(rng.below(7)) - 3;
        for (int s = 0; s < std::abs(steps); ++s)
            c = std::nextafter(c, steps > 0 ? std::numeric_limits<double>::infinity()
                                            : -std::numeric_limits<double>::infinity());
    }
}

struct Case {
    std::vector<std::vector<double>> data;
    std::vector<double> query;
};

// Euclidean: a shell of radius 1 around the query and a far cluster at 1e9.
// Dot and cosine: a shell of equal value, the rest of larger value (ranked
// after it), half of them a cluster of large vectors. Shell and far vectors
// alternate, so the sketch is fitted to both and its centre lies far from the
// shell: the bounds' rounding is then large against the gaps between near-ties.
Case make_case(Metric metric, std::size_t dim, std::size_t rank, std::size_t shell, hnsw_test::SeededRandom& rng) {
    const auto basis = random_basis(rank, dim, rng);
    Case c;
    std::vector<double> origin(dim, 0.0);
    if (metric == Metric::Euclidean)
        for (double& x : origin) x = 3.0 * (rng.unit() - 0.5);
    std::vector<double> centre = unit_coordinates(rank, rng);
    for (double& x : centre) x *= 2.0;
    c.query = point(origin, basis, centre);
    const std::vector<double> away = unit_coordinates(rank, rng);
    for (std::size_t i = 0; i < shell; ++i) {
        std::vector<double> s(rank);
        const auto w = unit_coordinates(rank, rng);
        if (metric == Metric::Euclidean) {
            for (std::size_t r = 0; r < rank; ++r) s[r] = centre[r] + w[r];
        } else {
            // The component along the query fixed, the rest random: equal dot
            // products; for cosine the whole vector scaled, which keeps the cosine.
            double along = 0.0, qq = 0.0;
            for (std::size_t r = 0; r < rank; ++r) along += w[r] * centre[r], qq += centre[r] * centre[r];
            for (std::size_t r = 0; r < rank; ++r) s[r] = w[r] - along / qq * centre[r] + 0.3 * centre[r];
            if (metric == Metric::Cosine) {
                const double scale = 1.0 + 9.0 * rng.unit();
                for (double& x : s) x *= scale;
            }
        }
        std::vector<double> x = point(origin, basis, s);
        nudge(x, rng);
        c.data.push_back(std::move(x));
        const auto v = unit_coordinates(rank, rng);
        for (std::size_t r = 0; r < rank; ++r)
            s[r] = metric == Metric::Euclidean ? centre[r] + 1e9 * away[r] + 50.0 * v[r]
                                               : (i % 2 ? 1e9 * (centre[r] + 0.1 * v[r]) : 3.0 * centre[r] + 0.2 * v[r]);
        c.data.push_back(point(origin, basis, s));
    }
    return c;
}

bool same(const std::vector<Candidate>& a, const std::vector<Candidate>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].id != b[i].id || std::memcmp(&a[i].distance, &b[i].distance, sizeof(double)) != 0) return false;
    return true;
}

}  // namespace

TEST(sketch_bounds_hold_for_near_ties_at_benchmark_sizes) {
    const std::size_t shell = 300;
    struct Size {
        std::size_t dim, rank;
    };
    for (Metric metric : {Metric::Euclidean, Metric::Dot, Metric::Cosine}) {
        for (const Size size : {Size{128, 16}, Size{256, 32}, Size{784, 64}}) {
            hnsw_test::SeededRandom rng(100 * size.dim + static_cast<int>(metric));
            const Case c = make_case(metric, size.dim, size.rank, shell, rng);
            const std::string where = "metric " + std::to_string(static_cast<int>(metric)) + " dim " +
                                      std::to_string(size.dim) + " rank " + std::to_string(size.rank);
            Flat plain(size.dim, metric), sketched(size.dim, metric);
            {
                Settings off({std::numeric_limits<std::size_t>::max(), 0, false, false});
                for (const auto& v : c.data) plain.insert(v.data(), size.dim);
            }
            Settings on({256, size.rank, true, false});
            for (const auto& v : c.data) sketched.insert(v.data(), size.dim);
            CHECK_EQ(sketched.sketches.rank(), size.rank);
            reset_sketch_counters();
            std::vector<Candidate> got, want;
            std::vector<double> queries;
            try {
                for (std::size_t k : {shell / 4, shell / 2, shell - 10}) {
                    // The query itself, and stored near-ties as queries.
                    for (std::size_t qi = 0; qi < 4; ++qi) {
                        const std::vector<double>& q = qi == 0 ? c.query : c.data[qi * 74];
                        sketched.search(q.data(), size.dim, k, got);
                        plain.search(q.data(), size.dim, k, want);
                        if (!same(got, want)) check::fail(__FILE__, __LINE__, where + ": results differ");
                        queries.insert(queries.end(), q.begin(), q.end());
                    }
                }
                BatchResults batch;
                bool finished = false;
                ParallelFor one;
                flat_search_batch(sketched, queries.data(), queries.size() / size.dim, shell / 2, one, batch,
                                  finished);
            } catch (const Fault& fault) {
                check::fail(__FILE__, __LINE__, where + ": " + fault.what());
            }
            const SketchCounters counters = sketch_counters();
            CHECK_EQ(counters.violations, 0u);
            // The bound is fitted and pays: the far vectors are skipped.
            if (counters.skipped < shell / 4) check::fail(__FILE__, __LINE__, where + ": the bound skipped too little");
        }
    }
}
