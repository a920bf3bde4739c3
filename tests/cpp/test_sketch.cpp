// Sketch bounds: the eigen routine, the fitted axes, and, in checking mode
// (every skipped vector recomputed), the flat scan and the graph build and
// search on adversarial data, compared bit for bit with runs without sketches.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "check.hpp"
#include "common/fault.hpp"
#include "flat/flat.hpp"
#include "flat/flat_batch.hpp"
#include "hnsw_test_support.hpp"
#include "sketch_test_support.hpp"
#include "sketch/sketch_index.hpp"
#include "sketch/symmetric_eigen.hpp"

using namespace tessra;

using namespace sketch_test;

TEST(symmetric_eigen_reconstructs_random_matrices) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> normal;
    for (std::size_t n : {1, 2, 3, 7, 20, 72}) {
        std::vector<double> a(n * n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i; j < n; ++j) a[i * n + j] = a[j * n + i] = normal(rng) * (i == j ? 10.0 : 1.0);
        const SymmetricEigen e = symmetric_eigen(a, n);
        double worst = 0.0, scale = 0.0;
        for (double x : a) scale = std::max(scale, std::fabs(x));
        for (std::size_t i = 0; i + 1 < n; ++i) CHECK(e.values[i] >= e.values[i + 1]);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                double rebuilt = 0.0, gram = 0.0;
                for (std::size_t k = 0; k < n; ++k) {
                    rebuilt += e.vectors[k * n + i] * e.values[k] * e.vectors[k * n + j];
                    gram += e.vectors[i * n + k] * e.vectors[j * n + k];
                }
                worst = std::max({worst, std::fabs(rebuilt - a[i * n + j]) / scale, std::fabs(gram - (i == j))});
            }
        CHECK(worst < 1e-12);
    }
}

TEST(sketch_axes_follow_the_largest_variance_and_are_orthonormal) {
    std::mt19937_64 rng(8);
    std::normal_distribution<double> normal;
    const std::size_t dim = 40, n = 2000;
    std::vector<double> store;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < dim; ++j)
            store.push_back(5.0 + normal(rng) * (j == 3 ? 100.0 : j == 7 ? 30.0 : j < 16 ? 3.0 : 0.01));
    const SketchBasis basis = fit_sketch_basis(Metric::Euclidean, store.data(), n, dim, 0);
    CHECK(basis.rank >= 8);
    if (basis.rank < 2) return;
    CHECK(std::fabs(basis.axes[0 * dim + 3]) > 0.999);
    CHECK(std::fabs(basis.axes[1 * dim + 7]) > 0.999);
    CHECK(basis.deviation < 1e-12);
    CHECK(basis.slack <= kMaxSlack);
    CHECK(orthonormality_deviation(basis.axes, basis.rank, dim) == basis.deviation);
    // Data without structure worth a sketch (few dimensions, no dominant axes) gets none.
    std::vector<double> flat_noise;
    for (std::size_t i = 0; i < n * 12; ++i) flat_noise.push_back(normal(rng));
    CHECK_EQ(fit_sketch_basis(Metric::Euclidean, flat_noise.data(), n, 12, 0).rank, 0u);
}

// At a threshold just above the exact value the vector is admissible and must
// never be skipped; where the sketch holds all of the data it must skip just
// below the exact value (the bound is rigorous, yet tight).
TEST(sketch_bound_is_tight_but_never_skips_an_admissible_vector) {
    std::mt19937_64 rng(21);
    std::normal_distribution<double> normal;
    const std::size_t dim = 24, n = 400, rank = 8;
    ScopedSettings settings(64, rank, true);
    for (Metric metric : {Metric::Euclidean, Metric::Dot, Metric::Cosine}) {
        for (bool in_subspace : {true, false}) {
            Flat flat(dim, metric);
            std::vector<double> v(dim);
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t j = 0; j < dim; ++j)
                    v[j] = (j < rank || !in_subspace) ? 3.0 + normal(rng) * (1.0 + (j < rank ? 10.0 : 0.0)) : 3.0;
                flat.insert(v.data(), dim);
            }
            CHECK_EQ(flat.sketches.rank(), rank);
            std::size_t tight = 0, pairs = 0;
            expect_no_fault(where(metric, Data::Gaussian, rank), [&] {
                for (std::size_t qi = 0; qi < 20; ++qi) {
                    const double* q = flat.vector_store.data() + (qi * 7) * dim;
                    const SketchQuery sketch(flat.sketches, metric, q, dim, flat.vector_store.data(), dim);
                    CHECK(sketch.active());
                    for (std::size_t id = 0; id < n; ++id) {
                        const double exact = metric_function(metric)(q, dim, flat.vector_store.data() + id * dim, dim);
                        CHECK(!sketch.can_skip(id, std::nextafter(exact, kInf)));
                        CHECK(!sketch.can_skip(id, kNan));
                        const double below = exact - 1e-6 * std::fabs(exact) - 1e-6;
                        tight += sketch.can_skip(id, below) ? 1 : 0;
                        ++pairs;
                    }
                }
            });
            if (in_subspace) CHECK(tight > pairs * 9 / 10);
        }
    }
}

// Flat scans and graph builds and searches with checked sketches return
// exactly what they return without sketches, on every kind of data.
TEST(sketches_change_no_result_on_adversarial_data) {
    const std::size_t n = 300;
    std::uint64_t skipped_benign = 0;
    for (Metric metric : {Metric::Euclidean, Metric::Dot, Metric::Cosine}) {
        for (Data kind : kAllData) {
            for (std::size_t dim : {16, 40}) {
                const std::size_t rank = dim == 16 ? 3 + static_cast<std::size_t>(kind) % 6 : 0;  // 0: chosen from the data
                std::mt19937_64 rng(1000 + static_cast<int>(kind) * 10 + dim);
                const auto data = make_data(kind, n, dim, rng);
                const auto queries = make_queries(data, rng);
                const std::string context = where(metric, kind, rank) + " dim " + std::to_string(dim);

                Flat plain_flat(dim, metric);
                tessra::HNSW plain_graph(dim, metric, 3, 16, 24, 12, std::nullopt);
                {
                    ScopedSettings off(kNever, 0, false);
                    hnsw_test::SeededRandom levels(77);
                    for (const auto& v : data) {
                        plain_flat.insert(v.data(), dim);
                        plain_graph.insert(v.data(), dim, nullptr, levels);
                    }
                }
                ScopedSettings on(32, rank, true);
                reset_sketch_counters();
                Flat flat(dim, metric);
                tessra::HNSW graph(dim, metric, 3, 16, 24, 12, std::nullopt);
                expect_no_fault(context + " build", [&] {
                    hnsw_test::SeededRandom levels(77);
                    for (const auto& v : data) {
                        flat.insert(v.data(), dim);
                        graph.insert(v.data(), dim, nullptr, levels);
                    }
                });
                bool same_graph = true;
                for (std::size_t id = 0; id < n; ++id) same_graph = same_graph && graph.run(id) == plain_graph.run(id);
                if (!same_graph) check::fail(__FILE__, __LINE__, context + ": graph differs");
                expect_no_fault(context + " search", [&] {
                    std::vector<Candidate> got, want;
                    for (const auto& q : queries)
                        for (std::size_t k : {1, 10, 60}) {
                            flat.search(q.data(), dim, k, got);
                            plain_flat.search(q.data(), dim, k, want);
                            if (!same_results(got, want)) check::fail(__FILE__, __LINE__, context + ": flat differs");
                            graph.search(q.data(), dim, k, nullptr, got);
                            plain_graph.search(q.data(), dim, k, nullptr, want);
                            if (!same_results(got, want)) check::fail(__FILE__, __LINE__, context + ": graph search differs");
                        }
                });
                const SketchCounters counters = sketch_counters();
                if (std::getenv("SKETCH_VERBOSE")) std::fprintf(stderr, "%s: tested %llu skipped %llu rank %zu\n", context.c_str(), (unsigned long long)counters.tested, (unsigned long long)counters.skipped, flat.sketches.rank());
                CHECK_EQ(counters.violations, 0u);
                if (kind == Data::Gaussian || kind == Data::Lattice || kind == Data::Duplicates) {
                    skipped_benign += counters.skipped;
                    if (rank != 0 && counters.skipped == 0)
                        check::fail(__FILE__, __LINE__, context + ": nothing skipped");
                }
            }
        }
    }
    CHECK(skipped_benign > 0);
}

// The compact forms (sketches on a byte grid, byte codes of whole vectors):
// flat scans, batched scans and graph builds and searches in checking mode
// return exactly what they return without any bound.
TEST(compact_sketch_forms_change_no_result_on_adversarial_data) {
    const std::size_t n = 300;
    std::uint64_t skipped_benign = 0;
    for (SketchForm form : {SketchForm::Bytes, SketchForm::Codes}) {
        for (Metric metric : {Metric::Euclidean, Metric::Dot, Metric::Cosine}) {
            if (form == SketchForm::Bytes && metric != Metric::Euclidean) continue;
            for (Data kind : kAllData) {
                const std::size_t dim = 16 + 23 * (static_cast<std::size_t>(kind) % 2);
                std::mt19937_64 rng(2000 + static_cast<int>(kind) * 10 + dim);
                const auto data = make_data(kind, n, dim, rng);
                const auto queries = make_queries(data, rng);
                const std::string context = std::string(form == SketchForm::Bytes ? "bytes " : "codes ") +
                                            where(metric, kind, 0) + " dim " + std::to_string(dim);
                Flat plain_flat(dim, metric);
                tessra::HNSW plain_graph(dim, metric, 3, 16, 24, 12, std::nullopt);
                {
                    ScopedSettings off(kNever, 0, false);
                    hnsw_test::SeededRandom levels(77);
                    for (const auto& v : data) plain_flat.insert(v.data(), dim), plain_graph.insert(v.data(), dim, nullptr, levels);
                }
                const std::size_t rank = dim == 16 ? 3 + static_cast<std::size_t>(kind) % 6 : 0;  // 0: chosen from the data
                ScopedSettings on(32, rank, true);
                SketchSettings settings = sketch_settings();
                settings.form = form;
                set_sketch_settings(settings);
                reset_sketch_counters();
                Flat flat(dim, metric);
                tessra::HNSW graph(dim, metric, 3, 16, 24, 12, std::nullopt);
                expect_no_fault(context + " build", [&] {
                    hnsw_test::SeededRandom levels(77);
                    for (const auto& v : data) flat.insert(v.data(), dim), graph.insert(v.data(), dim, nullptr, levels);
                });
                CHECK(flat.sketches.form() == form);
                bool same_graph = true;
                for (std::size_t id = 0; id < n; ++id) same_graph = same_graph && graph.run(id) == plain_graph.run(id);
                if (!same_graph) check::fail(__FILE__, __LINE__, context + ": graph differs");
                std::vector<double> block;
                for (const auto& q : queries) block.insert(block.end(), q.begin(), q.end());
                expect_no_fault(context + " search", [&] {
                    std::vector<Candidate> got, want;
                    for (std::size_t k : {1, 10, 60}) {
                        BatchResults batch;
                        bool finished = false;
                        flat_search_batch(flat, block.data(), queries.size(), k, ParallelFor{}, batch, finished);
                        for (std::size_t qi = 0; qi < queries.size(); ++qi) {
                            const auto& q = queries[qi];
                            flat.search(q.data(), dim, k, got);
                            plain_flat.search(q.data(), dim, k, want);
                            if (!same_results(got, want)) check::fail(__FILE__, __LINE__, context + ": flat differs");
                            for (std::size_t i = 0; i < want.size(); ++i)
                                if (batch.ids[qi * batch.width + i] != static_cast<std::int64_t>(want[i].id))
                                    check::fail(__FILE__, __LINE__, context + ": batch differs");
                            graph.search(q.data(), dim, k, nullptr, got);
                            plain_graph.search(q.data(), dim, k, nullptr, want);
                            if (!same_results(got, want)) check::fail(__FILE__, __LINE__, context + ": graph search differs");
                        }
                    }
                });
                const SketchCounters counters = sketch_counters();
                CHECK_EQ(counters.violations, 0u);
                if (std::getenv("SKETCH_VERBOSE")) std::fprintf(stderr, "%s: tested %llu skipped %llu\n", context.c_str(), (unsigned long long)counters.tested, (unsigned long long)counters.skipped);
                if (kind == Data::Gaussian || kind == Data::Lattice || kind == Data::Duplicates) {
                    skipped_benign += counters.skipped;
                    if ((rank != 0 || form == SketchForm::Codes) && counters.skipped == 0)
                        check::fail(__FILE__, __LINE__, context + ": nothing skipped");
                }
            }
        }
    }
    CHECK(skipped_benign > 0);
}

// A query of another length than the index, or an index without a fit yet, skips nothing.
TEST(sketch_query_is_inactive_where_the_bound_does_not_apply) {
    ScopedSettings settings(16, 4, true);
    Flat flat(8, Metric::Euclidean);
    std::vector<double> v(8, 1.0);
    for (int i = 0; i < 15; ++i) v[i % 8] += 1.0, flat.insert(v.data(), 8);
    CHECK(!SketchQuery(flat.sketches, Metric::Euclidean, v.data(), 8, flat.vector_store.data(), 8).active());
    flat.insert(v.data(), 8);
    CHECK(SketchQuery(flat.sketches, Metric::Euclidean, v.data(), 8, flat.vector_store.data(), 8).active());
    CHECK(!SketchQuery(flat.sketches, Metric::Euclidean, v.data(), 7, flat.vector_store.data(), 8).active());
    CHECK(!SketchQuery(flat.sketches, Metric::Dot, v.data(), 8, flat.vector_store.data(), 8).active());
    CHECK_EQ(flat.sketches.bytes_per_vector(), 5 * sizeof(double));
}

// Counting mode (per batch, no recomputation) counts what checking mode counts per vector.
TEST(counting_mode_counts_what_checking_mode_counts) {
    std::mt19937_64 rng(3);
    const auto data = make_data(Data::Gaussian, 500, 24, rng);
    const auto queries = make_queries(data, rng);
    SketchCounters seen[2];
    for (int mode = 0; mode < 2; ++mode) {
        ScopedSettings settings(64, 6, mode == 0);
        if (mode == 1) set_sketch_settings({64, 6, false, true});
        reset_sketch_counters();
        Flat flat(24, Metric::Euclidean);
        tessra::HNSW graph(24, Metric::Euclidean, 3, 16, 24, 12, std::nullopt);
        hnsw_test::SeededRandom levels(5);
        for (const auto& v : data) flat.insert(v.data(), 24), graph.insert(v.data(), 24, nullptr, levels);
        std::vector<Candidate> out;
        for (const auto& q : queries) flat.search(q.data(), 24, 10, out), graph.search(q.data(), 24, 10, nullptr, out);
        seen[mode] = sketch_counters();
    }
    CHECK(seen[0].skipped > 0);
    CHECK_EQ(seen[0].tested, seen[1].tested);
    CHECK_EQ(seen[0].skipped, seen[1].skipped);
}

// Insertions turn the bound off where it skips too little to pay (uniform
// data, few axes) and keep it where it skips most candidates (data on the
// sketch's axes); after a pause they measure again.
TEST(insertions_switch_the_bound_off_where_it_does_not_pay) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit;
    const std::size_t dim = 32;
    for (bool structured : {false, true}) {
        ScopedSettings settings(64, structured ? 8 : 2, false);
        tessra::HNSW graph(dim, Metric::Euclidean, 2, 16, 16, 12, std::nullopt);
        hnsw_test::SeededRandom levels(9);
        std::vector<double> v(dim);
        bool seen_off = false, seen_on_again = false;
        for (std::size_t i = 0; i < 64 + 256 * 6; ++i) {
            for (std::size_t j = 0; j < dim; ++j) v[j] = (!structured || j < 8) ? unit(rng) * (j < 8 ? 1.0 : 0.5) : 0.0;
            graph.insert(v.data(), dim, nullptr, levels);
            if (i < 1000) {
                seen_off = seen_off || !graph.sketches().insertions_use_sketches();
            } else {
                seen_on_again = seen_on_again || (seen_off && graph.sketches().insertions_use_sketches());
            }
        }
        CHECK_EQ(seen_off, !structured);
        if (!structured) CHECK(seen_on_again);
    }
}
