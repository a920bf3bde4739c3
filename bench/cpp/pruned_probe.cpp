// Builds and searches the pruned graph straight from the core, for what the
// Python face does not expose: the batch schedule and the fill of a new
// node's layer-0 list (BuildTuning), and runs short enough to profile.
//
//   pruned_probe FILE build [--divisors 0,50,20] [--cap N] [--fill 0|1] [--build-codes 0|1] [--m M] [--efc E]
//                           [--threads T] [--efs 10,20,30] [--repeat R]
//   pruned_probe FILE search [--divisor D] [--ef E] [--rounds R]
//   pruned_probe FILE filters [--values 2,10,100] [--ef E] [--rounds R]
//       builds with one integer tag per value count (tag = a fixed random
//       draw modulo the count), then, per count, filtered searches one query
//       at a time (the query's tag: its number modulo the count): the exact
//       scan and the walk forced, their microseconds per query (best of R
//       rounds), the matching count, the walk's recall@k against the scan
//       with the beam widened as the index would and not at all, and the
//       plan the index makes; unfiltered beside it
//   pruned_probe FILE codes [--efs ...] [--rounds R]
//       one build; per ef, searches with and without the byte-code bound in
//       the walks, in turns (best of R rounds each), and the bound's counts
//   pruned_probe FILE fills [--divisor D] [--efs ...] [--rounds R]
//       builds with a new node's layer-0 list filled to m and to 2m, then
//       times their searches interleaved (best of R rounds each), so the two
//       are compared under the same load
//
// FILE (written by bench/batch_schedule.py): "TPRB", then n, nq, dim, k as uint64,
// then the base (n x dim float64), the queries (nq x dim float64) and the
// exact neighbours (nq x k int64). Levels come from one fixed stream, so every
// build of a run draws the same levels. Output: one JSON object per line.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "pruned/levels.hpp"
#include "pruned/pruned_hnsw.hpp"
#include "sketch/sketch_index.hpp"

using namespace tessra;

namespace {

struct Data {
    std::uint64_t n = 0, nq = 0, dim = 0, k = 0;
    std::vector<double> base, queries;
    std::vector<std::int64_t> truth;
};

Data read_data(const char* path) {
    std::ifstream in(path, std::ios::binary);
    char magic[4];
    Data d;
    in.read(magic, 4);
    if (!in || std::memcmp(magic, "TPRB", 4) != 0) throw std::runtime_error("not a probe file");
    std::uint64_t head[4];
    in.read(reinterpret_cast<char*>(head), sizeof head);
    d.n = head[0], d.nq = head[1], d.dim = head[2], d.k = head[3];
    d.base.resize(d.n * d.dim);
    d.queries.resize(d.nq * d.dim);
    d.truth.resize(d.nq * d.k);
    in.read(reinterpret_cast<char*>(d.base.data()), d.base.size() * 8);
    in.read(reinterpret_cast<char*>(d.queries.data()), d.queries.size() * 8);
    in.read(reinterpret_cast<char*>(d.truth.data()), d.truth.size() * 8);
    if (!in) throw std::runtime_error("short probe file");
    return d;
}

std::vector<std::uint64_t> numbers(const std::string& list) {
    std::vector<std::uint64_t> out;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');) out.push_back(std::stoull(item));
    return out;
}

double process_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Options {
    std::vector<std::uint64_t> values{2, 10, 100, 1000, 10000};
    std::vector<std::uint64_t> divisors{0, 50, 20, 10};
    std::uint64_t cap = 256, m = 16, efc = 200, threads = 2, repeat = 1, rounds = 3;
    bool fill = true;
    bool build_codes = false;
    std::vector<std::uint64_t> efs{10, 20, 30, 50, 100, 200};
};

PrunedHNSW build(const Data& d, const Options& o, std::uint64_t divisor, double& seconds, double& cpu,
                 AddResult& stats, bool tagged = false) {
    Schema schema;
    std::vector<MetadataRecord> records;
    if (tagged) {
        schema.emplace();
        for (const std::uint64_t v : o.values) schema->push_back("v" + std::to_string(v));
        SeededGenerator draws(777);
        records.resize(d.n);
        for (auto& record : records) {
            const std::uint64_t word = draws.next_u64();
            for (const std::uint64_t v : o.values) record.push_back(Metadata::integer(static_cast<std::int64_t>(word % v)));
        }
    }
    PrunedHNSW index(d.dim, Metric::Euclidean, PrunedHNSW::kDefaultLayers, o.m, o.efc, 50, schema);
    BuildTuning tuning;
    tuning.divisor = divisor;
    tuning.cap = o.cap;
    tuning.fill_layer0 = o.fill;
    tuning.codes_in_build = o.build_codes;
    index.set_tuning(tuning);
    std::vector<std::uint64_t> levels(d.n);
    SeededGenerator words(20240611);
    for (auto& level : levels) level = draw_pruned_level(o.m, PrunedHNSW::kDefaultLayers, words);
    VectorList rows;
    rows.reserve(d.n, d.n * d.dim);
    for (std::uint64_t i = 0; i < d.n; ++i) {
        rows.values().insert(rows.values().end(), d.base.begin() + i * d.dim, d.base.begin() + (i + 1) * d.dim);
        rows.end_vector();
    }
    AddOptions options;
    options.threads = o.threads;
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = process_seconds();
    stats = index.add_with_levels(rows, tagged ? &records : nullptr, levels, options);
    cpu = process_seconds() - cpu_start;
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return index;
}

double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Queries per second of processor time on this thread (steadier than wall
// time on a shared machine), and the recall.
double recall(const Data& d, const PrunedHNSW& index, std::uint64_t ef, double& qps) {
    std::vector<Candidate> found;
    std::size_t hits = 0;
    const double start = thread_seconds();
    for (std::uint64_t q = 0; q < d.nq; ++q) {
        index.search(d.queries.data() + q * d.dim, d.dim, d.k, nullptr, found, ef);
        std::set<std::int64_t> truth(d.truth.begin() + q * d.k, d.truth.begin() + (q + 1) * d.k);
        for (const Candidate& c : found) hits += truth.count(static_cast<std::int64_t>(c.id));
    }
    qps = d.nq / (thread_seconds() - start);
    return static_cast<double>(hits) / static_cast<double>(d.nq * d.k);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: pruned_probe FILE build|search [options]\n");
        return 2;
    }
    const Data d = read_data(argv[1]);
    const std::string command = argv[2];
    Options o;
    std::uint64_t divisor = 20, ef = 30;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--divisors") o.divisors = numbers(value);
        else if (key == "--divisor") divisor = std::stoull(value);
        else if (key == "--cap") o.cap = std::stoull(value);
        else if (key == "--fill") o.fill = value != "0";
        else if (key == "--build-codes") o.build_codes = value != "0";
        else if (key == "--m") o.m = std::stoull(value);
        else if (key == "--efc") o.efc = std::stoull(value);
        else if (key == "--threads") o.threads = std::stoull(value);
        else if (key == "--efs") o.efs = numbers(value);
        else if (key == "--values") o.values = numbers(value);
        else if (key == "--ef") ef = std::stoull(value);
        else if (key == "--repeat") o.repeat = std::stoull(value);
        else if (key == "--rounds") o.rounds = std::stoull(value);
        else throw std::runtime_error("unknown option " + key);
    }
    if (command == "build") {
        for (std::uint64_t r = 0; r < o.repeat; ++r) {
            for (const std::uint64_t div : o.divisors) {
                double seconds, cpu;
                AddResult stats;
                const PrunedHNSW index = build(d, o, div, seconds, cpu, stats);
                std::printf("{\"divisor\": %llu, \"cap\": %llu, \"fill\": %d, \"seconds\": %.4f, \"cpu\": %.4f, "
                            "\"plan_cpu\": %.4f, \"merge_seconds\": %.4f, \"batches\": %zu, \"entries\": %zu, \"recall\": {",
                            (unsigned long long)div, (unsigned long long)o.cap, o.fill ? 1 : 0, seconds, cpu,
                            stats.search_seconds, stats.commit_seconds, stats.batches, index.link_entries());
                for (std::size_t i = 0; i < o.efs.size(); ++i) {
                    double qps;
                    const double r = recall(d, index, o.efs[i], qps);
                    std::printf("%s\"%llu\": [%.4f, %.0f]", i ? ", " : "", (unsigned long long)o.efs[i], r, qps);
                }
                std::printf("}}\n");
                std::fflush(stdout);
            }
        }
    } else if (command == "search") {
        double seconds, cpu;
        AddResult stats;
        const PrunedHNSW index = build(d, o, divisor, seconds, cpu, stats);
        std::fprintf(stderr, "built in %.2f s\n", seconds);
        for (std::uint64_t r = 0; r < o.rounds; ++r) {
            double qps;
            const double rec = recall(d, index, ef, qps);
            std::printf("{\"ef\": %llu, \"recall\": %.4f, \"qps\": %.0f}\n", (unsigned long long)ef, rec, qps);
        }
    } else if (command == "filters") {
        double seconds, cpu;
        AddResult stats;
        PrunedHNSW index = build(d, o, divisor, seconds, cpu, stats, true);
        std::fprintf(stderr, "built in %.2f s; posting lists %zu bytes\n", seconds, index.postings().bytes());
        const SearchTuning defaults = index.search_tuning();
        const auto timed = [&](const SearchTuning& tuning, const Filter* filter_of_q(std::uint64_t),
                               std::vector<std::vector<Candidate>>& found) {
            index.set_search_tuning(tuning);
            found.assign(d.nq, {});
            double best = 1e300;
            for (std::uint64_t r = 0; r < o.rounds; ++r) {
                const double start = thread_seconds();
                for (std::uint64_t q = 0; q < d.nq; ++q)
                    index.search(d.queries.data() + q * d.dim, d.dim, d.k, filter_of_q(q), found[q], ef);
                best = std::min(best, thread_seconds() - start);
            }
            index.set_search_tuning(defaults);
            return best * 1e6 / static_cast<double>(d.nq);
        };
        const auto recall_of = [&](const std::vector<std::vector<Candidate>>& found,
                                   const std::vector<std::vector<Candidate>>& truth) {
            std::size_t hits = 0, wanted = 0;
            for (std::uint64_t q = 0; q < d.nq; ++q) {
                std::set<std::uint64_t> exact;
                for (const Candidate& c : truth[q]) exact.insert(c.id);
                wanted += exact.size();
                for (const Candidate& c : found[q]) hits += exact.count(c.id);
            }
            return wanted == 0 ? 1.0 : static_cast<double>(hits) / static_cast<double>(wanted);
        };
        static std::vector<Filter> filters;
        {
            std::vector<std::vector<Candidate>> found;
            const double us = timed(defaults, [](std::uint64_t) -> const Filter* { return nullptr; }, found);
            std::printf("{\"values\": 1, \"us\": %.1f}\n", us);
        }
        for (const std::uint64_t v : o.values) {
            filters.clear();
            for (std::uint64_t q = 0; q < d.nq; ++q)
                filters.push_back(Filter::equals("v" + std::to_string(v), Metadata::integer(static_cast<std::int64_t>(q % v))));
            const auto filter_of = [](std::uint64_t q) -> const Filter* { return &filters[q]; };
            SearchTuning scan = defaults, walk = defaults, narrow = defaults, planned = defaults;
            scan.scan_factor = -1.0;
            double matching = 0;
            std::size_t scans = 0;
            for (std::uint64_t q = 0; q < d.nq; ++q) {
                PrunedHNSW::SearchPlan plan;
                index.set_search_tuning(scan);
                index.plan_search(d.k, &filters[q], ef, plan);
                matching += static_cast<double>(plan.matching().value_or(0));
                index.set_search_tuning(defaults);
                index.plan_search(d.k, &filters[q], ef, plan);
                scans += plan.scans() ? 1 : 0;
            }
            walk.scan_factor = 0.0;
            narrow.scan_factor = 0.0;
            narrow.widen_cap = 1.0;
            SearchTuning plain_scan = scan;
            plain_scan.codes_in_scan = false;
            std::vector<std::vector<Candidate>> truth, walked, narrowed, chosen, plain;
            const double scan_us = timed(scan, filter_of, truth);
            const double plain_us = timed(plain_scan, filter_of, plain);
            for (std::uint64_t q = 0; q < d.nq; ++q) {
                bool same = plain[q].size() == truth[q].size();
                for (std::size_t i = 0; same && i < plain[q].size(); ++i)
                    same = plain[q][i].id == truth[q][i].id &&
                           std::memcmp(&plain[q][i].distance, &truth[q][i].distance, sizeof(double)) == 0;
                if (!same) throw std::runtime_error("the scan's results depend on the codes");
            }
            const double walk_us = timed(walk, filter_of, walked);
            const double narrow_us = timed(narrow, filter_of, narrowed);
            const double planned_us = timed(planned, filter_of, chosen);
            std::printf("{\"values\": %llu, \"matching\": %.1f, \"scanned\": %zu, \"scan_us\": %.1f, \"plain_scan_us\": %.1f, "
                        "\"walk_us\": %.1f, \"walk_recall\": %.4f, \"narrow_us\": %.1f, \"narrow_recall\": %.4f, "
                        "\"planned_us\": %.1f, \"planned_recall\": %.4f}\n",
                        (unsigned long long)v, matching / static_cast<double>(d.nq), scans, scan_us, plain_us, walk_us,
                        recall_of(walked, truth), narrow_us, recall_of(narrowed, truth), planned_us,
                        recall_of(chosen, truth));
            std::fflush(stdout);
        }
    } else if (command == "codes") {
        double seconds, cpu;
        AddResult stats;
        PrunedHNSW index = build(d, o, divisor, seconds, cpu, stats);
        SearchTuning on = index.search_tuning(), off = on;
        on.codes_in_walks = true;
        off.codes_in_walks = false;
        index.set_search_tuning(on);  // fits the codes
        std::printf("{\"code_bytes\": %zu}\n", index.codes().bytes());
        for (const std::uint64_t e : o.efs) {
            double best[2] = {0, 0}, rec[2] = {0, 0};
            for (std::uint64_t r = 0; r < o.rounds; ++r) {
                for (int c = 0; c < 2; ++c) {
                    index.set_search_tuning(c ? on : off);
                    double qps;
                    rec[c] = recall(d, index, e, qps);
                    best[c] = std::max(best[c], qps);
                }
            }
            SketchSettings counting = sketch_settings();
            const SketchSettings saved = counting;
            counting.counting = true;
            set_sketch_settings(counting);
            reset_sketch_counters();
            index.set_search_tuning(on);
            double qps;
            recall(d, index, e, qps);
            const SketchCounters counts = sketch_counters();
            set_sketch_settings(saved);
            std::printf("{\"ef\": %llu, \"recall\": [%.4f, %.4f], \"qps_plain\": %.0f, \"qps_codes\": %.0f, "
                        "\"ratio\": %.3f, \"tested_per_query\": %.1f, \"skipped_share\": %.3f}\n",
                        (unsigned long long)e, rec[0], rec[1], best[0], best[1], best[1] / best[0],
                        static_cast<double>(counts.tested) / static_cast<double>(d.nq),
                        counts.tested ? static_cast<double>(counts.skipped) / static_cast<double>(counts.tested) : 0.0);
            std::fflush(stdout);
        }
    } else if (command == "fills") {
        std::vector<PrunedHNSW> indexes;
        for (const bool fill : {false, true}) {
            o.fill = fill;
            double seconds, cpu;
            AddResult stats;
            indexes.push_back(build(d, o, divisor, seconds, cpu, stats));
            std::printf("{\"fill\": %d, \"build_cpu\": %.3f, \"entries\": %zu}\n", fill ? 1 : 0, cpu,
                        indexes.back().link_entries());
        }
        for (const std::uint64_t e : o.efs) {
            double best[2] = {0, 0}, rec[2] = {0, 0};
            for (std::uint64_t r = 0; r < o.rounds; ++r) {
                for (int f = 0; f < 2; ++f) {
                    double qps;
                    rec[f] = recall(d, indexes[f], e, qps);
                    best[f] = std::max(best[f], qps);
                }
            }
            std::printf("{\"ef\": %llu, \"m\": [%.4f, %.0f], \"2m\": [%.4f, %.0f]}\n", (unsigned long long)e, rec[0],
                        best[0], rec[1], best[1]);
            std::fflush(stdout);
        }
    } else {
        throw std::runtime_error("unknown command " + command);
    }
    return 0;
}
