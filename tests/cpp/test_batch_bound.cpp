// The batched scan's bound in product form, in checking mode (every skipped
// pair recomputed): rows of flat_search_batch equal, bit for bit, what a
// search without any sketch returns, for every sketch form and metric, on
// adversarial data with removed vectors, and on near ties at the ranks and
// lengths the benchmarks use, built so that the product's rounding is the
// largest error the bound has to cover.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "flat/flat_batch.hpp"
#include "sketch_test_support.hpp"

using namespace sketch_test;

namespace {

ParallelFor threads(std::size_t count) {
    ParallelFor options;
    options.threads = count;
    return options;
}

SketchSettings settings_for(std::size_t min_vectors, std::size_t rank, SketchForm form) {
    SketchSettings settings{min_vectors, rank, true};
    settings.form = form;
    return settings;
}

const char* form_name(SketchForm form) {
    return form == SketchForm::Doubles ? "doubles" : form == SketchForm::Bytes ? "bytes" : "codes";
}

// Every row of the batch (1 and 2 threads) against `plain`, an index with the
// same vectors and removals but no sketches; the batch's index is checked.
void expect_rows_equal(const std::string& context, const Flat& flat, const Flat& plain,
                       const std::vector<std::vector<double>>& queries, std::size_t k) {
    std::vector<double> block;
    for (const auto& q : queries) block.insert(block.end(), q.begin(), q.end());
    for (std::size_t count : {1, 2}) {
        expect_no_fault(context, [&] {
            BatchResults batch;
            bool finished = false;
            flat_search_batch(flat, block.data(), queries.size(), k, threads(count), batch, finished);
            CHECK(finished);
            std::vector<Candidate> want;
            for (std::size_t q = 0; q < queries.size(); ++q) {
                plain.search(queries[q].data(), plain.dim, k, want);
                std::vector<Candidate> got;
                for (std::size_t i = 0; i < batch.width && batch.ids[q * batch.width + i] >= 0; ++i)
                    got.push_back({batch.distances[q * batch.width + i],
                                   static_cast<std::uint64_t>(batch.ids[q * batch.width + i])});
                if (!same_results(got, want))
                    check::fail(__FILE__, __LINE__, context + " k " + std::to_string(k) + ": row " + std::to_string(q));
            }
        });
    }
}

// Vectors in `span` coordinates of `dim` (the others constant), in two
// clusters centred at +-2^20 on the first coordinate, so the data's mean is
// far from every query: |z|, |x| ~ 2^20 against distances near 2^-7. Around
// each query, `shell` vectors whose differences from it are one offset of
// multiples of 2^-10, permuted and sign-flipped (exact in double), so their
// distances differ by a few ulps; the rest 1 to 100 away or in the other
// cluster. Stored in shuffled order; the queries, and each nudged by an ulp.
struct NearTies {
    std::vector<std::vector<double>> data, queries;

    NearTies(std::size_t dim, std::size_t span, std::size_t centres, std::size_t shell, std::mt19937_64& rng) {
        std::uniform_int_distribution<int> small(1, 8), coordinate(-256, 256);
        std::normal_distribution<double> normal;
        std::vector<double> offset(span);
        for (double& w : offset) w = std::ldexp(small(rng), -10);
        for (std::size_t c = 0; c < centres; ++c) {
            std::vector<double> centre(dim, 0.5);
            centre[0] = (c % 2 ? -1.0 : 1.0) * std::ldexp(1.0, 20);
            for (std::size_t j = 1; j < span; ++j) centre[j] = std::ldexp(coordinate(rng), -2);
            queries.push_back(centre);
            std::vector<std::size_t> axes(span);
            std::iota(axes.begin(), axes.end(), 0);
            for (std::size_t h = 0; h < shell; ++h) {
                std::shuffle(axes.begin(), axes.end(), rng);
                std::vector<double> v = centre;
                for (std::size_t j = 0; j < span; ++j) v[axes[j]] += (rng() & 1 ? 1.0 : -1.0) * offset[j];
                data.push_back(v);
            }
            for (std::size_t h = 0; h < shell; ++h) {
                std::vector<double> v = centre;
                const double reach = std::pow(10.0, 2.0 * static_cast<double>(h % 7) / 6.0);
                for (std::size_t j = 0; j < span; ++j) v[j] += reach * normal(rng);
                data.push_back(v);
            }
        }
        std::shuffle(data.begin(), data.end(), rng);
        for (std::size_t c = 0; c < centres; ++c) {
            std::vector<double> q = queries[c];
            q[1 + c % (span - 1)] = std::nextafter(q[1 + c % (span - 1)], c % 3 ? kInf : -kInf);
            queries.push_back(q);
        }
    }
};

}  // namespace

// Every form (doubles for each metric, bytes, whole-vector codes), forced
// and chosen ranks, removed vectors among the nearest ones (a seed must not
// count them), k from 1 to past the live count.
TEST(batched_scans_equal_plain_search_in_every_sketch_form) {
    const std::size_t n = 300;
    std::uint64_t skipped = 0;
    for (SketchForm form : {SketchForm::Doubles, SketchForm::Bytes, SketchForm::Codes}) {
        for (Metric metric : {Metric::Euclidean, Metric::Dot, Metric::Cosine}) {
            if (form == SketchForm::Bytes && metric != Metric::Euclidean) continue;
            for (Data kind : kAllData) {
                const std::size_t dim = 16 + 23 * (static_cast<std::size_t>(kind) % 2);
                std::mt19937_64 rng(3000 + static_cast<int>(kind) * 10 + dim);
                const auto data = make_data(kind, n, dim, rng);
                const auto queries = make_queries(data, rng);
                std::vector<std::uint64_t> removed;
                for (std::size_t i = 0; i < 12; i += 2) removed.push_back((i * 37) % n);  // sources of queries
                for (std::size_t id = 3; id < n; id += 7) removed.push_back(id);
                std::sort(removed.begin(), removed.end());
                removed.erase(std::unique(removed.begin(), removed.end()), removed.end());

                Flat plain(dim, metric);
                {
                    ScopedSettings off(kNever, 0, false);
                    for (const auto& v : data) plain.insert(v.data(), dim);
                    CHECK(!plain.remove(removed));
                }
                const std::size_t rank = dim == 16 ? 3 + static_cast<std::size_t>(kind) % 6 : 0;
                ScopedSettings on(32, rank, true);
                set_sketch_settings(settings_for(32, rank, form));
                reset_sketch_counters();
                Flat flat(dim, metric);
                for (const auto& v : data) flat.insert(v.data(), dim);
                CHECK(!flat.remove(removed));
                CHECK(flat.sketches.form() == form);
                const std::string context = std::string(form_name(form)) + " " + where(metric, kind, rank) +
                                            " dim " + std::to_string(dim);
                for (std::size_t k : {1, 10, 60, 400}) expect_rows_equal(context, flat, plain, queries, k);
                CHECK_EQ(sketch_counters().violations, 0u);
                skipped += sketch_counters().skipped;
            }
        }
    }
    CHECK(skipped > 0);
}

// Near ties at ranks 16 to 64 and lengths 128 and 784, data the sketch holds
// completely: the doubles and the bytes forms.
TEST(batch_bound_holds_on_near_ties_at_benchmark_ranks) {
    for (SketchForm form : {SketchForm::Doubles, SketchForm::Bytes}) {
        for (std::size_t dim : {128, 784}) {
            for (std::size_t rank : {16, 32, 64}) {
                std::mt19937_64 rng(4000 + dim + rank);
                const NearTies ties(dim, 12, 6, 150, rng);
                Flat plain(dim, Metric::Euclidean);
                {
                    ScopedSettings off(kNever, 0, false);
                    for (const auto& v : ties.data) plain.insert(v.data(), dim);
                }
                ScopedSettings on(256, rank, true);
                set_sketch_settings(settings_for(256, rank, form));
                reset_sketch_counters();
                Flat flat(dim, Metric::Euclidean);
                for (const auto& v : ties.data) flat.insert(v.data(), dim);
                CHECK(flat.sketches.form() == form);
                CHECK_EQ(flat.sketches.rank(), rank);
                const std::string context = std::string(form_name(form)) + " near ties dim " + std::to_string(dim) +
                                            " rank " + std::to_string(rank);
                for (std::size_t k : {1, 10, 200}) expect_rows_equal(context, flat, plain, ties.queries, k);
                const SketchCounters counters = sketch_counters();
                CHECK_EQ(counters.violations, 0u);
                if (counters.skipped == 0) check::fail(__FILE__, __LINE__, context + ": nothing skipped");
            }
        }
    }
}
