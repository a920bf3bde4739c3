#include "flat/query_order.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessra {
namespace {

void split(const std::vector<double>& keys, std::size_t axes, std::size_t group, std::size_t* first,
           std::size_t* last) {
    const std::size_t n = static_cast<std::size_t>(last - first);
    if (n <= group) return;
    std::size_t widest = 0;
    double spread = -1.0;
    for (std::size_t a = 0; a < axes; ++a) {
        double low = std::numeric_limits<double>::infinity(), high = -low;
        for (const std::size_t* q = first; q != last; ++q) {
            const double x = keys[*q * kOrderAxes + a];
            low = std::min(low, x);
            high = std::max(high, x);
        }
        if (high - low > spread) spread = high - low, widest = a;
    }
    // Halves of whole groups, the first at least as large as the second.
    const std::size_t groups = (n + group - 1) / group;
    std::size_t* middle = first + std::min(n, (groups + 1) / 2 * group);
    std::nth_element(first, middle, last, [&](std::size_t a, std::size_t b) {
        return keys[a * kOrderAxes + widest] < keys[b * kOrderAxes + widest];
    });
    split(keys, axes, group, first, middle);
    split(keys, axes, group, middle, last);
}

}  // namespace

bool order_key(const SketchBasis& basis, const double* query, double* key) {
    const std::size_t axes = std::min(kOrderAxes, basis.rank), dim = basis.dim;
    if (axes == 0) return false;
    std::fill_n(key, axes, 0.0);
    for (std::size_t j = 0; j < dim; ++j) {
        const double d = query[j] - basis.mean[j];
        const double* column = basis.axes_t.data() + j * basis.rank;
        for (std::size_t a = 0; a < axes; ++a) key[a] += d * column[a];
    }
    for (std::size_t a = 0; a < axes; ++a)
        if (!std::isfinite(key[a])) return false;
    return true;
}

std::vector<std::size_t> coherent_order(const std::vector<double>& keys, const std::vector<char>& has_key,
                                        std::size_t axes, std::size_t group) {
    std::vector<std::size_t> order;
    order.reserve(has_key.size());
    for (std::size_t q = 0; q < has_key.size(); ++q)
        if (has_key[q]) order.push_back(q);
    const std::size_t keyed = order.size();
    for (std::size_t q = 0; q < has_key.size(); ++q)
        if (!has_key[q]) order.push_back(q);
    if (axes != 0) split(keys, std::min(axes, kOrderAxes), std::max<std::size_t>(group, 1), order.data(),
                         order.data() + keyed);
    return order;
}

}  // namespace tessra
