// The diversity heuristic: hand-made cases, the plain rule as a differential
// reference (with known-diverse prefixes, NaN, duplicates and every metric),
// and the margin of its early-abandoned comparisons.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "hnsw_test_support.hpp"
#include "pruned/graph_distance.hpp"
#include "pruned/neighbour_selection.hpp"

using namespace tessra;

namespace {

struct Points {
    std::size_t dim;
    std::vector<double> data;  // the base point is row 0
    Metric metric = Metric::Euclidean;

    std::uint32_t add(const std::vector<double>& row) {
        data.insert(data.end(), row.begin(), row.end());
        return static_cast<std::uint32_t>(data.size() / dim - 1);
    }
    const double* at(std::uint32_t id) const { return data.data() + id * dim; }
    double distance(std::uint32_t a, std::uint32_t b) const { return graph_distance(metric, at(a), dim, at(b), dim); }
    StoredVectors stored() const { return StoredVectors{data.data(), dim, metric}; }
};

// Candidates `ids` measured from `base`, in candidate order.
std::vector<SelectionCandidate> ranked(const Points& points, std::uint32_t base, const std::vector<std::uint32_t>& ids,
                                       const std::vector<std::uint32_t>& selected = {}) {
    std::vector<SelectionCandidate> out;
    for (const std::uint32_t id : ids) {
        const bool flagged = std::find(selected.begin(), selected.end(), id) != selected.end();
        out.push_back(SelectionCandidate{points.distance(id, base), id, flagged});
    }
    std::sort(out.begin(), out.end(), [](const SelectionCandidate& a, const SelectionCandidate& b) {
        return candidate_before(Candidate{a.distance, a.id}, Candidate{b.distance, b.id});
    });
    return out;
}

// The plain rule, one metric call per comparison, in the order it is stated.
std::vector<std::uint32_t> plain_rule(const Points& points, const std::vector<SelectionCandidate>& candidates,
                                      std::size_t cap) {
    std::vector<std::uint32_t> kept;
    for (const SelectionCandidate& c : candidates) {
        if (kept.size() == cap) break;
        bool keep = true;
        for (const std::uint32_t r : kept)
            if (distance_before(points.distance(c.id, r), c.distance)) keep = false;
        if (keep) kept.push_back(c.id);
    }
    return kept;
}

std::vector<std::uint32_t> select(const Points& points, const std::vector<SelectionCandidate>& candidates,
                                  std::size_t cap) {
    std::vector<std::uint32_t> out(cap);
    out.resize(select_neighbours(points.stored(), candidates.data(), candidates.size(), cap, out.data()));
    return out;
}

}  // namespace

TEST(pruned_selection_hand_made_cases) {
    Points line{1, {}};
    const std::uint32_t base = line.add({0.0});
    const std::uint32_t near = line.add({1.0}), mid = line.add({2.0}), far = line.add({3.0}), other = line.add({-1.5});
    // Collinear: the nearer point shadows the ones behind it; the other side stays.
    CHECK_LIST(select(line, ranked(line, base, {near, mid, far}), 8), hnsw_test::ids({near}));
    CHECK_LIST(select(line, ranked(line, base, {far, other, mid, near}), 8), hnsw_test::ids({near, other}));
    // A duplicate of a kept point is nearer to it than to the base: rejected.
    const std::uint32_t twin = line.add({1.0});
    CHECK_LIST(select(line, ranked(line, base, {twin, near, other}), 8), hnsw_test::ids({near, other}));
    // A duplicate of the base comes first and shadows nothing: the others tie with it.
    const std::uint32_t same = line.add({0.0});
    CHECK_LIST(select(line, ranked(line, base, {near, other, same}), 8), hnsw_test::ids({same, near, other}));

    Points plane{2, {}};
    const std::uint32_t origin = plane.add({0.0, 0.0});
    const std::uint32_t r = plane.add({2.0, 0.0});
    // Exactly as far from the base as from r (both squared sums are 5): kept.
    const std::uint32_t tie = plane.add({1.0, 2.0});
    CHECK(plane.distance(tie, origin) == plane.distance(tie, r));
    CHECK_LIST(select(plane, ranked(plane, origin, {r, tie}), 8), hnsw_test::ids({r, tie}));
    // Slightly nearer r: rejected.
    const std::uint32_t beside = plane.add({1.1, 2.0});
    CHECK_LIST(select(plane, ranked(plane, origin, {r, beside}), 8), hnsw_test::ids({r}));
    // Points around the base, 72 degrees apart, are all kept, up to the cap.
    std::vector<std::uint32_t> ring;
    for (int i = 0; i < 5; ++i) {
        const double angle = i * (2 * 3.14159265358979 / 5);
        ring.push_back(plane.add({std::cos(angle) * (1 + 0.01 * i), std::sin(angle) * (1 + 0.01 * i)}));
    }
    CHECK_LIST(select(plane, ranked(plane, origin, ring), 8), ring);
    CHECK_LIST(select(plane, ranked(plane, origin, ring), 3), hnsw_test::ids({ring[0], ring[1], ring[2]}));
    CHECK(select(plane, ranked(plane, origin, ring), 0).empty());
}

// Random candidate sets against the plain rule, with a known-diverse subset
// flagged as a list's selected prefix is: the output of an earlier selection.
TEST(pruned_selection_matches_the_plain_rule) {
    std::mt19937_64 rng(7);
    const Metric metrics[] = {Metric::Euclidean, Metric::Cosine, Metric::Dot};
    std::size_t trials = 0, mismatches = 0;
    for (const Metric metric : metrics) {
        for (const std::size_t dim : {1, 3, 17, 70}) {
            for (int trial = 0; trial < 40; ++trial) {
                Points points{dim, {}};
                points.metric = metric;
                std::normal_distribution<double> normal(0.0, 1.0);
                std::uniform_int_distribution<int> pick(0, 30);
                const std::size_t count = 1 + rng() % 60;
                std::vector<double> row(dim);
                for (std::size_t i = 0; i <= count; ++i) {
                    const int kind = pick(rng);
                    if (kind == 0 && i > 1) {  // a duplicate of an earlier point
                        const std::size_t from = 1 + rng() % (i - 1);
                        row.assign(points.at(static_cast<std::uint32_t>(from)), points.at(static_cast<std::uint32_t>(from)) + dim);
                    } else {
                        for (double& x : row) x = kind == 1 ? std::round(normal(rng)) : normal(rng);
                        if (kind == 2) row[rng() % dim] = std::numeric_limits<double>::quiet_NaN();
                    }
                    points.add(row);
                }
                std::vector<std::uint32_t> ids;
                for (std::uint32_t id = 1; id <= count; ++id) ids.push_back(id);
                // Half the candidates selected among themselves first, as a list's earlier selection.
                std::vector<std::uint32_t> earlier;
                for (const std::uint32_t id : ids)
                    if (rng() % 2) earlier.push_back(id);
                const std::size_t cap = 1 + rng() % 20;
                const std::vector<std::uint32_t> prefix = plain_rule(points, ranked(points, 0, earlier), cap);
                for (const bool flagged : {false, true}) {
                    const auto candidates = ranked(points, 0, ids, flagged ? prefix : std::vector<std::uint32_t>{});
                    for (const std::size_t limit : {cap, std::size_t{2} * cap}) {
                        ++trials;
                        if (select(points, candidates, limit) != plain_rule(points, candidates, limit)) ++mismatches;
                    }
                }
            }
        }
    }
    CHECK_EQ(mismatches, std::size_t{0});
    CHECK(trials > 1000);
}

// Early abandonment never decides a pair: the euclidean kernel gives up on a
// sum that reaches the square of its bound (rounded up), and the bound is
// the candidate's own distance x. A pair whose distance is x (a tie) may be
// abandoned and keeps the candidate, as the exact distance would; a pair one
// step nearer, prev(x), must be computed and reject it, even when its
// partial sum after the first block exceeds prev(x) squared, so that a bound
// one step too low would hide it.
TEST(pruned_selection_early_abandonment_keeps_every_decision) {
    constexpr std::size_t dim = 2 * kBoundBlock;
    std::size_t cases = 0;
    for (double x = 1.0; x < 3.0 && cases < 20; x = std::nextafter(x + 0.0137, 4.0)) {
        const double near = std::nextafter(x, 0.0);
        // r's squared difference from c: one step above near^2, and still near once rooted.
        const double target = std::nextafter(near * near, 64.0);
        if (std::sqrt(target) != near) continue;
        // Split over two elements of the first block so the sum is exactly the target.
        const double a = 0.9 * x;
        double b = std::sqrt(target - a * a);
        for (int step = 0; step < 64 && a * a + b * b != target; ++step)
            b = a * a + b * b < target ? std::nextafter(b, 4.0) : std::nextafter(b, 0.0);
        if (a * a + b * b != target) continue;
        Points points{dim, {}};
        std::vector<double> row(dim, 0.0);
        row[0] = x;  // base
        const std::uint32_t base = points.add(row);
        row[0] = 0.0;  // c, at distance x from the base
        const std::uint32_t c = points.add(row);
        row[0] = a, row[1] = b;  // r, one step nearer to c than the base is, and nearer the base
        const std::uint32_t r = points.add(row);
        CHECK(points.distance(c, base) == x);
        CHECK(points.distance(c, r) == near);
        CHECK(points.distance(r, base) < x);
        ++cases;
        // r is kept first and must reject c, whichever way the pair is compared.
        for (const bool r_selected : {false, true})
            CHECK_LIST(select(points, ranked(points, base, {c, r}, r_selected ? std::vector<std::uint32_t>{r} :
                                                                                   std::vector<std::uint32_t>{}), 4),
                       hnsw_test::ids({r}));
    }
    CHECK(cases >= 5);
}
