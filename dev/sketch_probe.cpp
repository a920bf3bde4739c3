// Development probe for the sketch bounds: builds a flat and a graph index on
// a raw float64 file (n x dim, row-major) and reports the fitted rank, build
// and query times, and (in a second, checked pass) the share of distances the
// sketches skipped. Build it against the core library of a tests/cpp build:
//   g++ -O3 -std=c++17 -ffp-contract=off -Isrc dev/sketch_probe.cpp BUILD/libtessra_core.a -o sketch_probe
//   ./sketch_probe FILE DIM [QUERIES] [RANK] [flat|graph|both] [MIN] [euclidean|dot|cosine]
// The last QUERIES rows (default 300) are the queries. Times are processor time.
// TESSRA_SKETCH_FORM (doubles, bytes, codes) forces how the bound's data is kept.
// Bytes read per flat query: the bound's data of every vector it tested, plus
// the full vector of every one whose distance was taken (an upper bound: early
// abandonment reads less of it).
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flat/flat.hpp"
#include "hnsw/hnsw.hpp"
#include "sketch/sketch_index.hpp"

using namespace tessra;

namespace {

// Processor time of this process, not wall time: on a shared machine it
// does not count the time other programs held the processor.
struct Clock {
    static std::clock_t now() { return std::clock(); }
};
double seconds_since(std::clock_t start) { return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC; }

struct Rng : RandomSource {
    std::uint64_t state = 42;
    std::uint64_t next_u64() override {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE DIM [QUERIES] [RANK] [flat|graph|both] [MIN] [euclidean|dot|cosine]\n", argv[0]);
        return 2;
    }
    const std::size_t dim = std::strtoull(argv[2], nullptr, 10);
    const std::size_t nq = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 300;
    const std::size_t rank = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 0;
    const std::string what = argc > 5 ? argv[5] : "both";
    const std::size_t min_vectors = argc > 6 ? std::strtoull(argv[6], nullptr, 10) : SketchSettings{}.min_vectors;
    const std::string metric_name = argc > 7 ? argv[7] : "euclidean";
    const Metric metric = metric_name == "dot" ? Metric::Dot : metric_name == "cosine" ? Metric::Cosine : Metric::Euclidean;
    std::FILE* file = std::fopen(argv[1], "rb");
    if (!file) return 2;
    std::vector<double> all;
    double buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, sizeof(double), 4096, file)) > 0) all.insert(all.end(), buffer, buffer + got);
    std::fclose(file);
    const std::size_t total = all.size() / dim, n = total - nq;
    const double* queries = all.data() + n * dim;
    std::printf("%zu x %zu base, %zu queries, rank %s, sketches from %zu vectors\n", n, dim, nq,
                rank ? argv[4] : "auto", min_vectors);

    sketch_settings_from_environment();
    const SketchForm form = sketch_settings().form;
    for (bool checked : {false, true}) {
        SketchSettings settings{min_vectors, rank, checked, !checked};
        settings.form = form;
        set_sketch_settings(settings);
        reset_sketch_counters();
        const char* pass = checked ? "checked" : "timed";
        std::vector<Candidate> out;
        if (what != "graph") {
            Flat flat(dim, metric);
            auto start = Clock::now();
            for (std::size_t i = 0; i < n; ++i) flat.insert(all.data() + i * dim, dim);
            const double build = seconds_since(start);
            start = Clock::now();
            double sum = 0;
            for (std::size_t q = 0; q < nq; ++q) flat.search(queries + q * dim, dim, 10, out), sum += out.back().distance;
            const double search = seconds_since(start);
            const SketchCounters c = sketch_counters();
            if (!checked && flat.sketches.bytes_per_vector() != 0) {
                // The bound alone: every stored vector against a threshold of 0.
                std::vector<std::uint64_t> ids(n);
                std::size_t kept = 0;
                start = Clock::now();
                const std::size_t rounds = 50;
                for (std::size_t q = 0; q < rounds; ++q) {
                    const SketchQuery sketch(flat.sketches, metric, queries + (q % nq) * dim, dim,
                                             flat.vector_store.data(), dim);
                    std::size_t count = 0;
                    sketch.collect(0, n, 0.0, ids.data(), count, n);
                    kept += count;
                }
                std::printf("bound alone: %.1f ns per stored vector (%zu kept)\n",
                            1e9 * seconds_since(start) / (rounds * n), kept);
            }
            const double read = (static_cast<double>(c.tested) * flat.sketches.bytes_per_vector() +
                                 (static_cast<double>(n) * nq - c.skipped) * dim * sizeof(double)) / nq;
            const char* forms[] = {"chosen", "doubles", "bytes", "codes"};
            std::printf("%s flat: form %s rank %zu (%zu bytes/vector), build %.3f s, %.0f q/s, skipped %.1f%% of %llu, "
                        "%.0f kB read/query (check %g)\n",
                        pass, forms[static_cast<int>(flat.sketches.form())], flat.sketches.rank(),
                        flat.sketches.bytes_per_vector(), build, nq / search,
                        100.0 * c.skipped / (c.tested ? c.tested : 1), (unsigned long long)c.tested, read / 1000, sum);
        }
        reset_sketch_counters();
        if (what != "flat" && !checked) {
            HNSW graph(dim, metric, 5, 16, 200, 50, std::nullopt);
            Rng rng;
            auto start = Clock::now();
            for (std::size_t i = 0; i < n; ++i) graph.insert(all.data() + i * dim, dim, nullptr, rng);
            const double build = seconds_since(start);
            const SketchCounters built = sketch_counters();
            start = Clock::now();
            double sum = 0;
            for (std::size_t q = 0; q < nq; ++q)
                graph.search(queries + q * dim, dim, 10, nullptr, out), sum += out.back().distance;
            const double search = seconds_since(start);
            const SketchCounters searched = sketch_counters();
            std::printf("%s graph: rank %zu, build %.2f s (skipped %.1f%% of %llu), %.0f q/s (skipped %.1f%% of %llu) (check %g)\n",
                        pass, graph.sketches().rank(), build, 100.0 * built.skipped / (built.tested ? built.tested : 1),
                        (unsigned long long)built.tested, nq / search,
                        100.0 * (searched.skipped - built.skipped) / std::max<double>(1, searched.tested - built.tested),
                        (unsigned long long)(searched.tested - built.tested), sum);
        }
    }
}
