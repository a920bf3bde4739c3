// The answers of a batch of searches: one row per query, each row the ids and
// distances of that query's results in order, padded to a common width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "common/fault.hpp"
#include "metrics/metrics.hpp"

namespace tessra {

struct BatchResults {
    std::size_t rows = 0;
    std::size_t width = 0;               // the most results any row can hold
    std::vector<std::int64_t> ids;       // rows x width, row-major; -1 past the end of a short row
    std::vector<double> distances;       // rows x width, row-major; NaN past the end of a short row

    // Every row empty (all padding). Too large a table is memory exhaustion.
    void reset(std::size_t row_count, std::size_t row_width) {
        std::size_t cells;
        if (__builtin_mul_overflow(row_count, row_width, &cells) || cells > ids.max_size()) throw std::bad_alloc();
        rows = row_count;
        width = row_width;
        ids.assign(cells, -1);
        distances.assign(cells, std::numeric_limits<double>::quiet_NaN());
    }

    // Row `row` takes `found` in order. Rows are disjoint, so workers may fill
    // different rows at once.
    void set_row(std::size_t row, const std::vector<Candidate>& found) {
        if (found.size() > width) TESSRA_FAULT("batch row holds more results than its width");
        std::int64_t* row_ids = ids.data() + row * width;
        double* row_distances = distances.data() + row * width;
        for (std::size_t i = 0; i < found.size(); ++i) {
            row_ids[i] = static_cast<std::int64_t>(found[i].id);
            row_distances[i] = found[i].distance;
        }
    }
};

}  // namespace tessra
