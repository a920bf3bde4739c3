// Product kernels and the margin of the product-form bound: every variant
// gives the plain loop's bits, and the floors built on them never exceed the
// true squared distance or dot product, on rows chosen so that the
// expansion |z|^2 + |x|^2 - 2 z . x cancels hard (without the margin, many
// would).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "sketch/batch_bound.hpp"
#include "sketch/product_kernels.hpp"

using namespace tessra;

namespace {

using Wide = __float128;  // exact enough for the true values below

template <typename T>
bool same_bits(T a, T b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// A group of kBoundLanes query rows and a panel of stored rows: the stored
// rows are queries moved by a tiny step in random directions, so each pair
// that shares a base point is nearly equal, far from the origin (the hard
// case), and the others are far apart.
template <typename T>
struct Rows {
    std::size_t rank, count;
    std::vector<T> z, panel;

    Rows(std::mt19937_64& rng, std::size_t rank, std::size_t count, bool adversarial) : rank(rank), count(count) {
        std::normal_distribution<double> normal;
        std::uniform_int_distribution<int> pick(0, 40);
        z.assign(kBoundLanes * rank, 0);
        panel.assign(rank * kProductPanel, 0);
        const double far = std::ldexp(1.0, static_cast<int>(rng() % 40) - 20);
        const double near = far * std::ldexp(1.0, -static_cast<int>(rng() % 30) - 4);
        for (std::size_t j = 0; j < kBoundLanes; ++j)
            for (std::size_t k = 0; k < rank; ++k) z[j * rank + k] = static_cast<T>(far * normal(rng));
        for (std::size_t i = 0; i < count; ++i)
            for (std::size_t k = 0; k < rank; ++k) {
                T x = static_cast<T>(z[(i % kBoundLanes) * rank + k] + near * normal(rng));
                const int r = pick(rng);
                if (adversarial && r == 0) x = 0;
                if (adversarial && r == 1) x = -x;
                if (adversarial && r == 2) x = std::numeric_limits<T>::denorm_min() * static_cast<T>(r + 1);
                panel[k * kProductPanel + i] = x;
            }
    }

    const T* query(std::size_t j) const { return z.data() + j * rank; }
    T stored(std::size_t i, std::size_t k) const { return panel[k * kProductPanel + i]; }
    // The fl64 sum of squares in axis order, as the tile and the bound take it.
    double norm2_query(std::size_t j) const {
        double s = 0.0;
        for (std::size_t k = 0; k < rank; ++k) s += static_cast<double>(query(j)[k]) * static_cast<double>(query(j)[k]);
        return s;
    }
    double norm2_stored(std::size_t i) const {
        double s = 0.0;
        for (std::size_t k = 0; k < rank; ++k) s += static_cast<double>(stored(i, k)) * static_cast<double>(stored(i, k));
        return s;
    }
};

template <typename T>
void run(const ProductKernels& set, const Rows<T>& rows, T* out) {
    if constexpr (sizeof(T) == sizeof(float)) set.floats(rows.z.data(), rows.rank, rows.panel.data(), rows.count, out);
    else set.doubles(rows.z.data(), rows.rank, rows.panel.data(), rows.count, out);
}

template <typename T>
void check_variants_match_scalar() {
    std::mt19937_64 rng(sizeof(T));
    for (const ProductKernels* set : supported_product_kernels()) {
        for (int round = 0; round < 60; ++round) {
            const std::size_t rank = 1 + rng() % kMaxSketchRank;
            const std::size_t count = 1 + rng() % kProductPanel;
            const Rows<T> rows(rng, rank, count, round % 2 == 1);
            std::vector<T> want(kBoundLanes * kProductPanel), got(kBoundLanes * kProductPanel);
            run(kScalarProductKernels, rows, want.data());
            run(*set, rows, got.data());
            bool same = true;
            for (std::size_t j = 0; j < kBoundLanes; ++j)
                for (std::size_t i = 0; i < count; ++i)
                    same = same && same_bits(want[j * kProductPanel + i], got[j * kProductPanel + i]);
            if (!same) check::fail(__FILE__, __LINE__, std::string(set->name) + " differs from the plain loop");
        }
    }
}

// Over every variant: each floor is at most the true value, and the same
// rows with the margin left out (M = 0) exceed it in some pairs.
template <typename T>
void check_floors_hold() {
    std::mt19937_64 rng(100 + sizeof(T));
    const bool float_rows = sizeof(T) == sizeof(float);
    const double floor = float_rows ? kProductFloatFloor : kProductDoubleFloor;
    std::size_t pairs = 0, over_without_margin = 0, broken = 0;
    for (const ProductKernels* set : supported_product_kernels()) {
        for (int round = 0; round < 300; ++round) {
            const std::size_t rank = round % 4 == 0 ? kMaxSketchRank : 1 + rng() % kMaxSketchRank;
            const std::size_t count = kProductPanel;
            const Rows<T> rows(rng, rank, count, round % 3 == 2);
            std::vector<T> products(kBoundLanes * kProductPanel);
            run(*set, rows, products.data());
            const double margin = product_margin(rank, float_rows);
            for (std::size_t j = 0; j < kBoundLanes; ++j) {
                const double a = rows.norm2_query(j);
                for (std::size_t i = 0; i < count; ++i) {
                    const double b = rows.norm2_stored(i);
                    const double g = static_cast<double>(products[j * kProductPanel + i]);
                    Wide gap = 0, dot = 0, magnitude = 0;
                    for (std::size_t k = 0; k < rank; ++k) {
                        const Wide d = static_cast<Wide>(rows.query(j)[k]) - static_cast<Wide>(rows.stored(i, k));
                        gap += d * d;
                        const Wide p = static_cast<Wide>(rows.query(j)[k]) * static_cast<Wide>(rows.stored(i, k));
                        dot += p;
                        magnitude += p < 0 ? -p : p;
                    }
                    // The wide sums are off by far less than these allowances.
                    const Wide gap_limit = gap * (1 + static_cast<Wide>(0x1p-100));
                    const Wide dot_limit = dot + magnitude * static_cast<Wide>(0x1p-100);
                    const double lower = squared_distance_floor(g, a, b, std::sqrt(a), std::sqrt(b), margin, floor);
                    const double lower_dot = dot_floor(g, std::sqrt(a), std::sqrt(b), margin, floor);
                    broken += static_cast<Wide>(lower) > gap_limit || static_cast<Wide>(lower_dot) > dot_limit;
                    const double bare = squared_distance_floor(g, a, b, std::sqrt(a), std::sqrt(b), 0.0, 0.0);
                    over_without_margin += static_cast<Wide>(bare) > gap;
                    ++pairs;
                }
            }
        }
    }
    CHECK_EQ(broken, 0u);
    // The rows are hard enough that the margin matters.
    CHECK(over_without_margin > pairs / 50);
}

}  // namespace

TEST(product_kernels_match_the_plain_loop_bit_for_bit) {
    check_variants_match_scalar<float>();
    check_variants_match_scalar<double>();
}

TEST(product_floors_never_exceed_the_true_value) {
    check_floors_hold<float>();
    check_floors_hold<double>();
}
