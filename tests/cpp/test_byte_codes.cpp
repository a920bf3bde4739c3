// Byte code bounds: every kernel variant against the plain loop, and every
// skip on adversarial data checked against the exact distance, pair by pair
// at thresholds one step either side of it.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>

#include "check.hpp"
#include "common/fault.hpp"
#include "metrics/metrics.hpp"
#include "sketch/byte_codes.hpp"
#include "sketch/sketch_index.hpp"

using namespace tessra;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNan = std::numeric_limits<double>::quiet_NaN();

struct ScopedFit {
    SketchSettings saved = sketch_settings();
    explicit ScopedFit(std::size_t min_vectors, bool checking = false) {
        SketchSettings s = saved;
        s.min_vectors = min_vectors;
        s.checking = checking;
        s.counting = false;
        set_sketch_settings(s);
    }
    ~ScopedFit() { set_sketch_settings(saved); }
};

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b); }

// A store, the count the grid is fitted to (the rest is coded on that grid),
// and the queries to test.
struct Scenario {
    std::string name;
    std::size_t dim = 0;
    std::vector<double> store;
    std::size_t fit_at = 0;
    std::vector<std::vector<double>> queries;
    bool tight = true;  // the bound must prove most far vectors out
    std::size_t size() const { return store.size() / dim; }
    const double* vector(std::size_t i) const { return store.data() + i * dim; }
};

Scenario named(const std::string& name, std::size_t dim) {
    Scenario s;
    s.name = name;
    s.dim = dim;
    return s;
}

std::vector<double> ulps_off(const double* x, std::size_t dim, std::mt19937_64& rng, int spread) {
    std::vector<double> q(x, x + dim);
    for (double& v : q) {
        const int steps = static_cast<int>(rng() % (2 * spread + 1)) - spread;
        for (int s = 0; s < std::abs(steps); ++s) v = std::nextafter(v, steps > 0 ? kInf : -kInf);
    }
    return q;
}

// Pixels: integers 0..255 with both ends in every dimension, so the grid is
// exact (x = xhat) and only the float32 arithmetic is left to the margin.
Scenario lattice(std::size_t n, std::size_t dim, std::mt19937_64& rng) {
    Scenario s = named("lattice", dim);
    std::uniform_int_distribution<int> pixel(0, 255);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < dim; ++j) s.store.push_back(i == 0 ? 0.0 : i == 1 ? 255.0 : pixel(rng));
    s.fit_at = n;
    std::uniform_real_distribution<double> fraction(0.0, 0.5);
    for (std::size_t k = 0; k < 6; ++k) {
        std::vector<double> corner(dim);  // near the grid's low corner: the query row barely rounds
        for (double& v : corner) v = fraction(rng);
        s.queries.push_back(corner);
        s.queries.emplace_back(s.vector(2 + k), s.vector(3 + k));  // q = x = xhat
        // Half to most of a float32 step of sigma x above x in every
        // dimension: the query row rounds away from x.
        std::vector<double> off(s.vector(10 + k), s.vector(11 + k));
        const double sigma = 0x1p-8;
        for (double& v : off) {
            const float f = static_cast<float>(v * sigma);
            const double gap = static_cast<double>(std::nextafter(f, 2.0f)) - f;
            v += (0.5 + 0.2 * fraction(rng)) * gap / sigma;
        }
        s.queries.push_back(off);
    }
    return s;
}

// Gaussian clusters, some vectors far outside the fitted range (clamped
// codes), some dimensions constant, and queries at stored vectors, at their
// grid points and a few ulps off.
Scenario clustered(std::size_t n, std::size_t dim, double scale, double offset, std::mt19937_64& rng,
                   const std::string& name) {
    Scenario s = named(name, dim);
    std::normal_distribution<double> normal;
    std::vector<std::vector<double>> centres(5, std::vector<double>(dim));
    for (auto& c : centres)
        for (double& v : c) v = 3.0 * normal(rng);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < dim; ++j) {
            double v = centres[i % 5][j] + normal(rng) / (1.0 + 0.1 * j);
            if (j % 7 == 3) v = 1.25;                 // constant dimension
            if (i >= n * 3 / 4 && j % 3 == 0) v *= 4.0;  // beyond the fitted range
            s.store.push_back(offset + scale * v);
        }
    }
    s.fit_at = n * 3 / 4;
    for (std::size_t k = 0; k < 8; ++k) {
        const double* x = s.vector((k * 37) % n);
        s.queries.emplace_back(x, x + dim);
        s.queries.push_back(ulps_off(x, dim, rng, 3));
        std::vector<double> far(x, x + dim);
        for (double& v : far) v += scale * normal(rng);
        s.queries.push_back(far);
    }
    return s;
}

// Points a few ulps either side of the distance r0 from q, in many directions.
Scenario near_ties(std::size_t dim, std::mt19937_64& rng) {
    Scenario s = named("near-ties", dim);
    std::normal_distribution<double> normal;
    std::vector<double> q(dim);
    for (double& v : q) v = normal(rng);
    const double r0 = 0.75;
    for (int k = -150; k <= 150; ++k) {
        std::vector<double> dir(dim);
        double norm = 0.0;
        for (double& v : dir) v = normal(rng), norm += v * v;
        norm = std::sqrt(norm);
        const double t = r0 * (1.0 + k * 0x1p-52);
        for (std::size_t j = 0; j < dim; ++j) s.store.push_back(q[j] + t * dir[j] / norm);
    }
    for (std::size_t j = 0; j < dim; ++j) s.store.push_back(q[j] + 3.0 * (j % 2 ? 1.0 : -1.0));  // widen the grid
    s.fit_at = s.size();
    s.queries.push_back(q);
    s.tight = false;
    return s;
}

// Non-finite components in stored vectors, and special queries.
Scenario non_finite(std::size_t dim, std::mt19937_64& rng) {
    Scenario s = clustered(200, dim, 1.0, 0.0, rng, "non-finite");
    for (std::size_t i = 5; i < s.size(); i += 11) s.store[i * dim + i % dim] = (i % 2) ? kNan : -kInf;
    std::vector<double> with_nan = s.queries[0], with_inf = s.queries[1], zero(dim, 0.0);
    with_nan[1] = kNan;
    with_inf[0] = kInf;
    s.queries = {s.queries[0], with_nan, with_inf, zero};
    return s;
}

struct Tally {
    std::size_t pairs = 0, wrong = 0, far = 0, far_skipped = 0;
};

struct Ranked {
    Metric metric;
    CodeRanking ranking;
    bool weighted = false;  // the integer form of the euclidean bound
};
const Ranked kRanked[] = {{Metric::Euclidean, CodeRanking::Value}, {Metric::Euclidean, CodeRanking::Value, true},
                          {Metric::Dot, CodeRanking::Value},       {Metric::Dot, CodeRanking::OneMinus},
                          {Metric::Cosine, CodeRanking::Value},    {Metric::Cosine, CodeRanking::OneMinus}};

std::string label(const Ranked& r) {
    const char* metric = r.metric == Metric::Euclidean ? "euclidean" : r.metric == Metric::Dot ? "dot" : "cosine";
    return std::string(metric) + (r.ranking == CodeRanking::OneMinus ? " (1 - value)" : "") +
           (r.weighted ? " (integer)" : "");
}

// Every stored vector against thresholds at, one step above and one step
// below its ranked value; a vector dropped at a threshold above its value is
// a wrong skip. A far threshold (below the value by a good part of its
// scale) measures how often the bound fires.
void run(const Scenario& s, const Ranked& ranked, Tally& tally) {
    const std::size_t n = s.size(), dim = s.dim;
    ByteCodes codes(ranked.metric, ranked.weighted);
    codes.update(s.store.data(), s.fit_at, dim);
    for (std::size_t count = s.fit_at + 1; count <= n; count += 7) codes.update(s.store.data(), std::min(count, n), dim);
    codes.update(s.store.data(), n, dim);
    CHECK_EQ(codes.coded(), n);
    const MetricFn metric = metric_function(ranked.metric);
    for (const auto& q : s.queries) {
        const ByteCodeQuery bound(codes, q.data(), dim, s.store.data(), ranked.ranking, ranked.weighted);
        bool finite = true;
        for (double v : q) finite = finite && std::isfinite(v);
        if (!finite) {
            CHECK(!bound.active());
            continue;
        }
        const double norm_q = std::sqrt(sum_of_squares(q.data(), dim));
        for (std::uint32_t id = 0; id < n; ++id) {
            const double exact = metric(q.data(), dim, s.vector(id), dim);
            const double value = ranked.ranking == CodeRanking::OneMinus ? 1.0 - exact : exact;
            const double scale = ranked.metric == Metric::Euclidean ? 0.5 * value
                                 : ranked.metric == Metric::Cosine  ? 0.3
                                                                    : 0.3 * norm_q * std::sqrt(sum_of_squares(s.vector(id), dim));
            const double far = value - scale;
            for (double t : {std::nextafter(value, kInf), value, std::nextafter(value, -kInf), far}) {
                std::uint32_t one = id;
                const bool dropped = bound.keep(&one, 1, t) == 0;
                ++tally.pairs;
                if (dropped && distance_before(value, t)) {
                    ++tally.wrong;
                    if (tally.wrong <= 5)
                        check::fail(__FILE__, __LINE__, s.name + ", " + label(ranked) + ": vector " + std::to_string(id) +
                                                            " at " + std::to_string(value) + " skipped at threshold " +
                                                            std::to_string(t));
                }
                if (t == far && far < value && std::isfinite(far) && bound.active()) {
                    ++tally.far;
                    tally.far_skipped += dropped;
                }
            }
        }
    }
}

}  // namespace

TEST(code_kernels_match_the_scalar_loop_bit_for_bit) {
    std::mt19937_64 rng(41);
    std::normal_distribution<double> normal;
    // Every count of trailing chunks (dim % 64 up to 16, 32, 48 and 63) and the widest integer form.
    for (std::size_t dim : {1, 5, 16, 17, 31, 32, 48, 50, 63, 64, 65, 100, 120, 129, 784, 4096}) {
        const std::size_t padded = padded_code_dim(dim);
        std::vector<float> u(padded, 0.0f), step(padded, 0.0f), a(padded, 0.0f);
        for (std::size_t j = 0; j < dim; ++j) {
            const int kind = static_cast<int>(rng() % 8);
            u[j] = static_cast<float>(normal(rng) * (kind == 0 ? 1e-40 : kind == 1 ? 1e18 : 1.0));
            step[j] = kind == 2 ? 0.0f : static_cast<float>(std::fabs(normal(rng)) * 0.01);
            a[j] = kind == 3 ? -0.0f : static_cast<float>(normal(rng) * (kind == 4 ? 1e-42 : 1.0));
        }
        const std::size_t count = 13;
        std::vector<std::uint8_t> codes(count * dim + kCodeRowSlack);
        for (auto& c : codes) c = static_cast<std::uint8_t>(rng() % 4 == 0 ? (rng() % 2) * 255 : rng() % 256);
        std::vector<const std::uint8_t*> rows;
        for (std::size_t i = 0; i < count; ++i) rows.push_back(codes.data() + i * dim);
        std::vector<float> want_gap(count), want_dot(count), got(count);
        kScalarCodeKernels.gaps(u.data(), step.data(), rows.data(), count, dim, want_gap.data());
        kScalarCodeKernels.dots(a.data(), rows.data(), count, dim, want_dot.data());
        // Integer weights at the extremes the kernels allow.
        std::vector<std::int16_t> w(padded, 0);
        for (std::size_t j = 0; j < dim; ++j)
            w[j] = static_cast<std::int16_t>(rng() % 3 == 0 ? (rng() % 2 ? kMaxCodeWeight : -kMaxCodeWeight)
                                                            : static_cast<std::int64_t>(rng() % (2 * kMaxCodeWeight + 1)) - kMaxCodeWeight);
        std::vector<std::int64_t> want_weighted(count), got_weighted(count);
        for (std::size_t i = 0; i < count; ++i) {
            std::int64_t sum = 0;
            for (std::size_t j = 0; j < dim; ++j) sum += static_cast<std::int64_t>(w[j]) * rows[i][j];
            want_weighted[i] = sum;
        }
        for (const CodeKernels* set : supported_code_kernels()) {
            set->gaps(u.data(), step.data(), rows.data(), count, dim, got.data());
            for (std::size_t i = 0; i < count; ++i)
                if (!same_bits(got[i], want_gap[i]))
                    check::fail(__FILE__, __LINE__, std::string(set->name) + " gap differs, dim " + std::to_string(dim));
            set->dots(a.data(), rows.data(), count, dim, got.data());
            for (std::size_t i = 0; i < count; ++i)
                if (!same_bits(got[i], want_dot[i]))
                    check::fail(__FILE__, __LINE__, std::string(set->name) + " dot differs, dim " + std::to_string(dim));
            set->weights(w.data(), rows.data(), count, dim, got_weighted.data());
            CHECK(got_weighted == want_weighted);
        }
    }
}

// Removing a margin (kCodeSumMargin, kCodeQueryRounding) makes the lattice
// and clustered cases skip admissible vectors.
TEST(byte_code_skips_hold_against_the_exact_distance) {
    ScopedFit fit(1u << 30);  // grids are fitted by hand below
    std::mt19937_64 rng(7);
    std::vector<Scenario> scenarios;
    scenarios.push_back(lattice(120, 784, rng));
    scenarios.push_back(lattice(200, 33, rng));
    scenarios.push_back(clustered(240, 40, 1.0, 0.0, rng, "clustered"));
    scenarios.push_back(clustered(160, 17, 1e300, 0.0, rng, "huge"));
    scenarios.push_back(clustered(160, 17, 1e290, 1e300, rng, "huge offset"));
    scenarios.push_back(clustered(160, 17, 1e140, 1e150, rng, "large offset"));
    scenarios.push_back(clustered(160, 17, 1e150, 0.0, rng, "large"));
    // Distances below the underflow floor: nothing may be skipped there.
    scenarios.push_back(clustered(160, 24, 1e-310, 0.0, rng, "subnormal"));
    scenarios.push_back(clustered(160, 24, 1e-160, 0.0, rng, "tiny squares"));
    scenarios[scenarios.size() - 1].tight = scenarios[scenarios.size() - 2].tight = false;
    // Offsets far above the spread: the float32 grid cannot resolve them.
    scenarios[4].tight = scenarios[5].tight = false;
    scenarios.push_back(clustered(160, 24, 1.0, 1e6, rng, "offset"));
    scenarios.push_back(near_ties(64, rng));
    scenarios.push_back(near_ties(5, rng));
    scenarios.push_back(non_finite(12, rng));
    scenarios.push_back(clustered(160, 24, 1e153, 0.0, rng, "overflowing products"));
    for (const Ranked& ranked : kRanked)
        for (const Scenario& s : scenarios) {
            // The grid is fitted to a prefix; the rest is coded on it.
            set_sketch_settings({s.fit_at, 0, false, false});
            Tally tally;
            run(s, ranked, tally);
            CHECK_EQ(tally.wrong, 0u);
            CHECK(tally.pairs > 0);
            if (std::getenv("CODES_VERBOSE"))
                std::fprintf(stderr, "%s, %s: fired %zu of %zu far\n", s.name.c_str(), label(ranked).c_str(),
                             tally.far_skipped, tally.far);
            if (s.tight && tally.far_skipped * 10 < tally.far * 7)
                check::fail(__FILE__, __LINE__, s.name + ", " + label(ranked) + ": the bound fired at " +
                                                    std::to_string(tally.far_skipped) + " of " +
                                                    std::to_string(tally.far) + " far pairs");
        }
}

// Thresholds that prove nothing, queries of another length, vectors not yet
// coded, and a shrunk store.
TEST(byte_codes_skip_nothing_where_the_bound_does_not_apply) {
    ScopedFit fit(32);
    std::mt19937_64 rng(3);
    Scenario s = clustered(100, 8, 1.0, 0.0, rng, "small");
    ByteCodes codes;
    codes.update(s.store.data(), 31, 8);
    CHECK_EQ(codes.coded(), 0u);
    CHECK(!ByteCodeQuery(codes, s.queries[2].data(), 8, s.store.data()).active());
    codes.update(s.store.data(), 60, 8);
    CHECK_EQ(codes.coded(), 60u);
    CHECK_EQ(codes.bytes_per_vector(), 8u + 4u);
    CHECK(!ByteCodeQuery(codes, s.queries[2].data(), 7, s.store.data()).active());
    const ByteCodeQuery bound(codes, s.queries[2].data(), 8, s.store.data());
    CHECK(bound.active());
    std::vector<std::uint64_t> ids(100);
    for (std::size_t i = 0; i < 100; ++i) ids[i] = i;
    for (double t : {kNan, kInf, -kInf}) CHECK_EQ(bound.keep(ids.data(), ids.size(), t), 100u);
    // At threshold 0 every coded vector not at distance 0 goes; the 40 not coded stay, in order.
    const std::size_t kept = bound.keep(ids.data(), ids.size(), 1e-300);
    CHECK(kept >= 40u && kept < 50u);
    CHECK_EQ(ids[kept - 40], 60u);
    CHECK_EQ(ids[kept - 1], 99u);
    codes.truncate(20);
    CHECK_EQ(codes.coded(), 20u);
    codes.update(s.store.data(), 100, 8);
    CHECK_EQ(codes.coded(), 100u);
    // Euclidean distance has no 1 - value ranking; cosine keeps a norm a vector.
    CHECK(!ByteCodeQuery(codes, s.queries[2].data(), 8, s.store.data(), CodeRanking::OneMinus).active());
    ByteCodes cosine(Metric::Cosine);
    cosine.update(s.store.data(), 100, 8);
    CHECK_EQ(cosine.bytes_per_vector(), 8u + 8u);
    CHECK(ByteCodeQuery(cosine, s.queries[2].data(), 8, s.store.data(), CodeRanking::OneMinus).active());
    const std::vector<double> zero(8, 0.0);
    CHECK(!ByteCodeQuery(cosine, zero.data(), 8, s.store.data()).active());
}

// Checking mode recounts every candidate and recomputes every skip; the
// batched forms agree with one candidate at a time.
TEST(byte_code_batches_agree_with_single_tests_and_are_audited) {
    std::mt19937_64 rng(9);
    Scenario s = clustered(300, 24, 1.0, 0.0, rng, "batches");
    ScopedFit fit(300, true);
    ByteCodes codes;
    codes.update(s.store.data(), 300, 24);
    const ByteCodeQuery bound(codes, s.queries[2].data(), 24, s.store.data());
    const double t = euclidean_distance(s.queries[2].data(), 24, s.vector(5), 24);
    reset_sketch_counters();
    std::vector<std::uint64_t> all(300), collected(300);
    for (std::size_t i = 0; i < 300; ++i) all[i] = i;
    const std::size_t kept = bound.keep(all.data(), 300, t);
    std::size_t count = 0;
    CHECK_EQ(bound.collect(0, 300, t, collected.data(), count, 300), 300u);
    CHECK_EQ(count, kept);
    for (std::size_t i = 0; i < kept; ++i) {
        CHECK_EQ(collected[i], all[i]);
        std::uint32_t one = static_cast<std::uint32_t>(all[i]);
        CHECK_EQ(bound.keep(&one, 1, t), 1u);
    }
    const SketchCounters counters = sketch_counters();
    CHECK_EQ(counters.tested, 600u + kept);
    CHECK_EQ(counters.skipped, 2 * (300 - kept));
    CHECK(kept < 150u);
    CHECK_EQ(counters.violations, 0u);
}
