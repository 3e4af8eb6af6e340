#include "array/folds.hpp"

namespace corvantile::folds {

CORVANTILE_CLONES double variance(const double* x, std::size_t n) noexcept {
    const double count = static_cast<double>(n);
    const double mean = lanes(x, n) / count;
    double acc = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = x[i] - mean;
        const double sq = d * d;
        acc = acc + sq;
    }
    return acc / count;
}

CORVANTILE_CLONES double lane_dot(const double* x, const double* y, std::size_t n) noexcept {
    const std::size_t m = n - n % 8;
    double lane[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < m; i += 8) {
        for (std::size_t j = 0; j < 8; ++j) lane[j] = lane[j] + y[i + j] * x[i + j];
    }
    const double body =
        m > 0 ? ((lane[3] + lane[7]) + (lane[2] + lane[6])) + ((lane[1] + lane[5]) + (lane[0] + lane[4])) : 0.0;
    double tail = -0.0;
    for (std::size_t i = m; i < n; ++i) tail = tail + y[i] * x[i];
    return tail + body;
}

CORVANTILE_CLONES std::int64_t wrapping_sum(const std::int64_t* x, std::size_t n) noexcept {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) total += static_cast<std::uint64_t>(x[i]);
    return static_cast<std::int64_t>(total);
}

CORVANTILE_CLONES std::int64_t count_true(const Bool* x, std::size_t n) noexcept {
    std::int64_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += x[i] != Bool::False;
    return count;
}

}  // namespace corvantile::folds
