#include "array/folds.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

namespace corvantile::folds {

namespace {

CORVANTILE_INLINE double squared_deviation(double x, double mean) noexcept {
    const double d = x - mean;
    return d * d;
}

// The squared deviations of x[0..n) added to acc one after another.
CORVANTILE_INLINE double add_in_order(const double* x, std::size_t n, double mean, double acc) noexcept {
    for (std::size_t i = 0; i < n; ++i) acc = acc + squared_deviation(x[i], mean);
    return acc;
}

inline constexpr std::size_t VAR_LANES = 16;

// What one pass over a block learns: the total of its terms rounded to multiples of the
// accumulator's unit, and the largest distance of a term from its rounding.
struct BlockScan {
    double rounded_total;
    double largest_error;
};

// base is a power of two: (base + p) - base rounds p to a multiple of base's unit in the
// last place for every p below base, ties to even multiples.
CORVANTILE_INLINE BlockScan scan_block(const double* x, std::size_t n, double mean, double base) noexcept {
    double total[VAR_LANES] = {}, error[VAR_LANES] = {};
    for (std::size_t i = 0; i < n; i += VAR_LANES) {
        for (std::size_t j = 0; j < VAR_LANES; ++j) {
            const double p = squared_deviation(x[i + j], mean);
            const double q = (base + p) - base;
            const double e = std::fabs(p - q);
            total[j] = total[j] + q;
            error[j] = e > error[j] ? e : error[j];
        }
    }
    BlockScan s{0.0, 0.0};
    for (std::size_t j = 0; j < VAR_LANES; ++j) {
        s.rounded_total = s.rounded_total + total[j];
        s.largest_error = error[j] > s.largest_error ? error[j] : s.largest_error;
    }
    return s;
}

// The sequential sum acc + p0 + p1 + ... of the squared deviations of x[0..n) (n a
// multiple of VAR_LANES), found without the chain of dependent additions where that
// gives the same bits; empty where not.
// While acc stays in its binade [B, 2B) (B a power of two, unit u = B * 2^-52), each step
// adds to acc its term rounded to a multiple of u, so the sequential sum is acc plus the
// total of those roundings: multiples of u, added exactly in any order while below 2B.
// That holds when no rounding is a tie (acc's own last bit would decide it) and the
// final sum is still below 2B: the terms are not negative, so every step stayed in the
// binade, and a term of B or more alone would have taken the sum to 2B. NaN and
// infinite terms, and an acc that is subnormal, infinite or NaN (B is then 0 or
// infinite), fail these tests. From +0.0 or -0.0 (B = 0, q = p), a block of zero terms
// gives +0.0.
CORVANTILE_INLINE double binade_of(double acc) noexcept {
    constexpr std::uint64_t EXPONENT = 0x7FF0000000000000;
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(acc) & EXPONENT);
}

struct AtOnce {
    std::optional<double> sum;
    double rounded_total;  // of the terms (an estimate of their size where sum is empty)
    bool crosses;          // empty because the sum leaves acc's binade (or starts from zero)
};
CORVANTILE_INLINE AtOnce add_block_at_once(const double* x, std::size_t n, double mean, double acc) noexcept {
    const double base = binade_of(acc);
    const BlockScan s = scan_block(x, n, mean, base);
    if (acc == 0.0) {
        if (s.rounded_total == 0.0) return {0.0, 0.0, false};
        return {std::nullopt, s.rounded_total, std::isfinite(s.rounded_total)};
    }
    if (!(s.largest_error < base * 0x1p-53)) return {std::nullopt, s.rounded_total, false};
    const double sum = acc + s.rounded_total;
    if (!(sum < base + base)) return {std::nullopt, s.rounded_total, sum >= base + base && std::isfinite(sum)};
    return {sum, s.rounded_total, false};
}

// acc + the squared deviations of x[0..n) (n a multiple of VAR_LANES) in order, by
// stretches summed at once. A sum that leaves its binade within a stretch (every time it
// doubles, often while it starts) takes a shorter one ending before that, sized by
// `term`, the average term seen so far (0 while unknown), then the few terms where it
// leaves added one by one.
CORVANTILE_INLINE double add_stretches(const double* x, std::size_t n, double mean, double acc, double& term) noexcept {
    std::size_t pos = 0, size = n;
    while (pos < n) {
        // (A subnormal acc has no binade: base 0, no room, and no stretch at once.)
        if (const double room = 2.0 * binade_of(acc) - acc; term > 0.0 && room > 0.0) {
            const double fit = room / term * 0.875;
            if (fit < static_cast<double>(size)) {
                size = std::max(VAR_LANES, static_cast<std::size_t>(fit) / VAR_LANES * VAR_LANES);
            }
        }
        const AtOnce s = add_block_at_once(x + pos, size, mean, acc);
        if (s.rounded_total > 0.0 && std::isfinite(s.rounded_total)) term = s.rounded_total / static_cast<double>(size);
        if (s.sum) {
            acc = *s.sum;
        } else if (s.crosses && acc != 0.0 && size > VAR_LANES) {
            continue;  // sized again by the new term, shorter
        } else {
            if (s.crosses) size = VAR_LANES;
            acc = add_in_order(x + pos, size, mean, acc);
        }
        pos += size;
        size = n - pos;
    }
    return acc;
}

}  // namespace

CORVANTILE_CLONES double add_squared_deviations(const double* x, std::size_t n, double mean, double acc) noexcept {
    std::size_t i = 0;
    double term = 0.0;
    for (; i + VAR_BLOCK <= n; i += VAR_BLOCK) acc = add_stretches(x + i, VAR_BLOCK, mean, acc, term);
    return add_in_order(x + i, n - i, mean, acc);
}

void SquaredDeviations::add(const double* x, std::size_t n) noexcept {
    if (held_ != 0) {
        const std::size_t take = std::min(n, VAR_BLOCK - held_);
        std::memcpy(block_ + held_, x, take * sizeof(double));
        held_ += take;
        x += take;
        n -= take;
        if (held_ < VAR_BLOCK) return;
        acc_ = add_squared_deviations(block_, VAR_BLOCK, mean_, acc_);
        held_ = 0;
    }
    const std::size_t whole = n - n % VAR_BLOCK;
    if (whole != 0) acc_ = add_squared_deviations(x, whole, mean_, acc_);
    held_ = n - whole;
    if (held_ != 0) std::memcpy(block_, x + whole, held_ * sizeof(double));
}

CORVANTILE_CLONES double variance(const double* x, std::size_t n) noexcept {
    const double count = static_cast<double>(n);
    const double mean = lanes(x, n) / count;
    return add_squared_deviations(x, n, mean, -0.0) / count;
}

CORVANTILE_CLONES double lane_dot(const std::byte* x, std::int64_t x_step, const std::byte* y, std::int64_t y_step,
                                  std::size_t n) noexcept {
    const auto at = [](const std::byte* p, std::int64_t step, std::size_t i) CORVANTILE_INLINE_LAMBDA {
        double v;
        std::memcpy(&v, p + static_cast<std::int64_t>(i) * step, sizeof v);
        return v;
    };
    const std::size_t m = n - n % 8;
    double lane[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < m; i += 8) {
        for (std::size_t j = 0; j < 8; ++j) lane[j] = lane[j] + at(y, y_step, i + j) * at(x, x_step, i + j);
    }
    double tail = -0.0;
    for (std::size_t i = m; i < n; ++i) tail = tail + at(y, y_step, i) * at(x, x_step, i);
    return lanes_finish(lane, m > 0, tail, m != n);
}

CORVANTILE_CLONES double lane_dot(const double* x, const double* y, std::size_t n) noexcept {
    const std::size_t m = n - n % 8;
    double lane[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < m; i += 8) {
        for (std::size_t j = 0; j < 8; ++j) lane[j] = lane[j] + y[i + j] * x[i + j];
    }
    double tail = -0.0;
    for (std::size_t i = m; i < n; ++i) tail = tail + y[i] * x[i];
    return lanes_finish(lane, m > 0, tail, m != n);
}

CORVANTILE_CLONES std::int64_t wrapping_sum(const std::int64_t* x, std::size_t n) noexcept {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) total += static_cast<std::uint64_t>(x[i]);
    return static_cast<std::int64_t>(total);
}

namespace {

// How many bytes of a word are not zero: each byte's top bit set where any of its bits is,
// then counted.
constexpr std::uint64_t nonzero_bytes(std::uint64_t w) noexcept {
    constexpr std::uint64_t LOW7 = 0x7F7F7F7F7F7F7F7FULL;
    return std::popcount((((w & LOW7) + LOW7) | w) & ~LOW7);
}

}  // namespace

CORVANTILE_CLONES std::int64_t count_true(const Bool* x, std::size_t n) noexcept {
    // Counted in 64 byte lanes (at most 255 lines before the lanes are added up), the tail
    // of a long run as the last line again with the bytes already counted masked off.
    const auto* b = reinterpret_cast<const std::uint8_t*>(x);
    std::uint64_t count = 0;
    std::size_t i = 0;
    if (n >= 64) {
        alignas(64) std::uint8_t lane[64];
        const auto add_lanes = [&] {
            for (std::size_t j = 0; j < 64; ++j) count += lane[j];
        };
        while (n - i >= 64) {
            for (std::size_t j = 0; j < 64; ++j) lane[j] = 0;
            const std::size_t end = i + std::min<std::size_t>((n - i) / 64, 255) * 64;
            for (; i < end; i += 64) {
                for (std::size_t j = 0; j < 64; ++j) lane[j] = static_cast<std::uint8_t>(lane[j] + (b[i + j] != 0));
            }
            add_lanes();
        }
        if (i != n) {
            alignas(64) static constexpr auto TAIL = [] {
                std::array<std::uint8_t, 128> t{};
                for (std::size_t j = 64; j < 128; ++j) t[j] = 1;
                return t;
            }();
            const std::uint8_t* keep = TAIL.data() + (n - i);
            const std::uint8_t* last = b + n - 64;
            for (std::size_t j = 0; j < 64; ++j) lane[j] = static_cast<std::uint8_t>((last[j] != 0) & keep[j]);
            add_lanes();
        }
        return static_cast<std::int64_t>(count);
    }
    for (; n - i >= 8; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, b + i, sizeof w);
        count += static_cast<std::uint64_t>(nonzero_bytes(w));
    }
    for (; i < n; ++i) count += b[i] != 0;
    return static_cast<std::int64_t>(count);
}

}  // namespace corvantile::folds
