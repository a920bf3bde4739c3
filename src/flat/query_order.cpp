#include "flat/query_order.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessra {
namespace {

// Coordinates the split looks at: the leading axes carry most of the spread.
constexpr std::size_t kSplitAxes = 8;

void split(const std::vector<SketchQuery>& queries, std::size_t group, std::size_t axes, std::size_t* first,
           std::size_t* last) {
    const std::size_t n = static_cast<std::size_t>(last - first);
    if (n <= group) return;
    std::size_t widest = 0;
    double spread = -1.0;
    for (std::size_t a = 0; a < axes; ++a) {
        double low = std::numeric_limits<double>::infinity(), high = -low;
        for (const std::size_t* q = first; q != last; ++q) {
            const double x = queries[*q].coordinates()[a];
            low = std::min(low, x);
            high = std::max(high, x);
        }
        if (high - low > spread) spread = high - low, widest = a;
    }
    // Halves of whole groups, the first at least as large as the second.
    const std::size_t groups = (n + group - 1) / group;
    std::size_t* middle = first + std::min(n, (groups + 1) / 2 * group);
    std::nth_element(first, middle, last, [&](std::size_t a, std::size_t b) {
        return queries[a].coordinates()[widest] < queries[b].coordinates()[widest];
    });
    split(queries, group, axes, first, middle);
    split(queries, group, axes, middle, last);
}

}  // namespace

std::vector<std::size_t> coherent_order(const std::vector<SketchQuery>& queries, std::size_t group) {
    std::vector<std::size_t> order;
    order.reserve(queries.size());
    std::size_t axes = 0;
    for (std::size_t q = 0; q < queries.size(); ++q)
        if (queries[q].rank() != 0) order.push_back(q), axes = queries[q].rank();
    const std::size_t sketched = order.size();
    for (std::size_t q = 0; q < queries.size(); ++q)
        if (queries[q].rank() == 0) order.push_back(q);
    split(queries, std::max<std::size_t>(group, 1), std::min(axes, kSplitAxes), order.data(), order.data() + sketched);
    return order;
}

}  // namespace tessra
