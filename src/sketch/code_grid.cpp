#include "sketch/code_grid.hpp"

#include <algorithm>
#include <cfloat>
#include <limits>

namespace tessra {
namespace {

constexpr double kUnit = 0x1p-53;
constexpr double kFloatUnit = 0x1p-24;
// Spacings below this are treated as 0: the dimension is constant for the
// grid (its rows' spread is far below every reach floor).
constexpr double kLeastStep = 0x1p-100;

bool finite_row(const double* y, std::size_t dim) {
    for (std::size_t j = 0; j < dim; ++j)
        if (!std::isfinite(y[j])) return false;
    return true;
}

// The float32 at or below x (x finite, within float range).
float float_down(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) > x) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
}

float float_up(double x) {
    float f = static_cast<float>(x);
    if (static_cast<double>(f) < x) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

// x > 0 rounded up to 16 significant bits, as a float32.
float step_up(double x) {
    int exponent = 0;
    const double mantissa = std::frexp(x, &exponent);  // [1/2, 1)
    return static_cast<float>(std::ldexp(std::ceil(std::ldexp(mantissa, 16)), exponent - 16));
}

}  // namespace

CodeGrid fit_code_grid(const double* rows, std::size_t count, std::size_t dim, std::size_t stride) {
    CodeGrid grid;
    if (dim == 0 || dim > kMaxCodedDim) return grid;
    std::vector<double> low(dim, std::numeric_limits<double>::infinity());
    std::vector<double> high(dim, -std::numeric_limits<double>::infinity());
    double largest = 0.0;
    bool any = false;
    for (std::size_t i = 0; i < count; ++i) {
        const double* y = rows + i * stride;
        if (!finite_row(y, dim)) continue;
        any = true;
        for (std::size_t j = 0; j < dim; ++j) {
            low[j] = std::min(low[j], y[j]);
            high[j] = std::max(high[j], y[j]);
            largest = std::max(largest, std::fabs(y[j]));
        }
    }
    if (!any) return grid;
    // sigma = 2^k with sigma * largest in [1/2, 1) (k kept where 2^k is a normal double).
    int exponent = 0;
    if (largest > 0.0) std::frexp(largest, &exponent);
    grid.scale = std::ldexp(1.0, std::clamp(-exponent, -1000, 1000));
    grid.dim = dim;
    const std::size_t padded = padded_code_dim(dim);
    grid.lo.assign(padded, 0.0f);
    grid.step.assign(padded, 0.0f);
    for (std::size_t j = 0; j < dim; ++j) {
        const double lo = grid.scale * low[j], hi = grid.scale * high[j];
        grid.lo[j] = float_down(lo);
        const double spread = (hi - static_cast<double>(grid.lo[j])) / 255.0;
        grid.step[j] = spread >= kLeastStep ? step_up(spread) : 0.0f;
    }
    return grid;
}

float code_row(const CodeGrid& grid, const double* y, double allowance, std::uint8_t* codes, bool& clamped) {
    const std::size_t dim = grid.dim;
    const double sigma = grid.scale;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // g = sigma y - h and h = fl(lo + c step) (c step is exact in double):
    // |sigma y_j - yhat_j| <= (1 + u)|g_j| + u (1 + u)|h_j|, and each computed
    // norm is below the true one by at most (n + 3) u of itself.
    double g2 = 0.0, h2 = 0.0;
    bool finite = true;
    for (std::size_t j = 0; j < dim; ++j) {
        const double sy = sigma * y[j];
        if (!std::isfinite(sy)) {
            finite = false;
            codes[j] = 0;
            continue;
        }
        const double lo = grid.lo[j], step = grid.step[j];
        double c = 0.0;
        if (step > 0.0) {
            const double raw = std::nearbyint((sy - lo) / step);
            if (!(raw >= 0.0 && raw <= 255.0)) clamped = true;
            c = std::clamp(raw, 0.0, 255.0);
        } else if (sy != lo) {
            clamped = clamped || std::fabs(sy - lo) > 0x1p-90;
        }
        codes[j] = static_cast<std::uint8_t>(c);
        const double h = lo + c * step;
        const double g = sy - h;
        g2 += g * g;
        h2 += h * h;
    }
    if (!finite) return nan;
    const double n = static_cast<double>(dim);
    const double bound = (std::sqrt(g2) * (1.0 + (n + 5.0) * kUnit) + 1.02 * kUnit * std::sqrt(h2) +
                          sigma * allowance) * (1.0 + 4.0 * kUnit);
    if (!(bound <= kMaxCodeError)) return nan;
    return float_up(bound);
}

bool GapQuery::set(const CodeGrid& grid, const double* z) {
    const std::size_t dim = grid.dim;
    u_.assign(padded_code_dim(dim), 0.0f);
    scale_ = grid.scale;
    double norm2 = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
        const double y = scale_ * z[j] - static_cast<double>(grid.lo[j]);
        if (!(std::fabs(y) <= kMaxCodeQuery)) return false;
        u_[j] = static_cast<float>(y);
        norm2 += y * y;
    }
    rounding_ = kCodeQueryRounding * kFloatUnit * std::sqrt(norm2);
    kappa_ = 1.0 - kCodeSumMargin * (static_cast<double>(dim) + 8.0) * kFloatUnit;
    return true;
}

}  // namespace tessra
