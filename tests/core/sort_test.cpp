// The 1-D sorts against a plain stable sort: bit for bit, with NaNs of several payloads,
// both zeros, ties, and keys that agree in their high bits over a wide range.
#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <numeric>
#include <random>

#include <hwy/targets.h>

#include "helpers.hpp"

using namespace corvantile;
using namespace corvantile::testing;

namespace {

constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();

bool nan_last_less(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

template <class T>
std::vector<std::int64_t> reference_argsort(const std::vector<T>& v) {
    std::vector<std::int64_t> idx(v.size());
    std::iota(idx.begin(), idx.end(), 0);
    std::ranges::stable_sort(idx, [&v](std::int64_t i, std::int64_t j) {
        if constexpr (std::same_as<T, double>) {
            return nan_last_less(v[i], v[j]);
        } else {
            return v[i] < v[j];
        }
    });
    return idx;
}

template <class Range>
std::vector<std::uint64_t> bits(const Range& v) {
    std::vector<std::uint64_t> b;
    for (auto x : v) b.push_back(std::bit_cast<std::uint64_t>(x));
    return b;
}

template <class T>
void check(const std::vector<T>& v, const char* what) {
    SCOPED_TRACE(::testing::Message() << what << ", length " << v.size());
    const auto want = reference_argsort(v);
    std::vector<T> sorted;
    for (auto i : want) sorted.push_back(v[i]);
    Array<T> a = make(v, {v.size()});
    EXPECT_EQ(values(a.argsort_1d()), want);
    EXPECT_EQ(bits(a.sorted_1d().elements()), bits(sorted));
}

double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }

const std::size_t LENGTHS[] = {0,  1,   2,   3,   4,   5,   7,   8,   9,    15,   16,   17,  31,
                               32, 33,  63,  64,  65,  127, 128, 129, 255,  256,  257,  511, 512,
                               513, 1000, 1023, 1024, 1025, 4095, 4096, 4097, 20000};

using F64Gen = std::function<double(std::size_t i, std::size_t n, std::mt19937_64&)>;
const std::pair<const char*, F64Gen> F64_INPUTS[] = {
    {"random", [](auto, auto, auto& g) { return std::normal_distribution<double>()(g); }},
    {"specials", [](auto, auto, auto& g) {
         const double s[] = {from_bits(0x7FF8000000000000), from_bits(0xFFF8000000000123), from_bits(0x7FF0000000000001),
                             from_bits(0xFFFFFFFFFFFFFFFF), -0.0, 0.0, -0.0, 0.0, 1.0, -1.0, 5e-324, -5e-324,
                             INFINITY, -INFINITY, 2.5};
         return s[g() % std::size(s)];
     }},
    {"zeros", [](auto, auto, auto& g) { return g() % 2 ? -0.0 : 0.0; }},
    {"all equal", [](auto, auto, auto&) { return 3.25; }},
    {"all NaN", [](std::size_t i, auto, auto&) { return from_bits(0x7FF8000000000000 | i); }},
    {"sorted", [](std::size_t i, auto, auto&) { return static_cast<double>(i) - 100.0; }},
    {"reversed", [](std::size_t i, std::size_t n, auto&) { return static_cast<double>(n - i) * 0.5; }},
    // A wide range around a cluster of neighbouring doubles: keys equal in their high bits.
    {"wide with a cluster", [](auto, auto, auto& g) {
         const auto r = g() % 8;
         return r == 0 ? 1e300 : r == 1 ? -1e300 : from_bits(std::bit_cast<std::uint64_t>(1.0) + g() % 64);
     }},
    {"narrow", [](auto, auto, auto& g) { return from_bits(std::bit_cast<std::uint64_t>(1.0) + g() % 5000); }},
};

using I64Gen = std::function<std::int64_t(std::size_t i, std::size_t n, std::mt19937_64&)>;
const std::pair<const char*, I64Gen> I64_INPUTS[] = {
    {"random", [](auto, auto, auto& g) { return static_cast<std::int64_t>(g()); }},
    {"ties", [](auto, auto, auto& g) { return static_cast<std::int64_t>(g() % 5) - 2; }},
    {"extremes and ties", [](auto, auto, auto& g) {
         const auto r = g() % 4;
         return r == 0 ? I64_MIN : r == 1 ? I64_MAX : static_cast<std::int64_t>(g() % 3);
     }},
    {"wide with a cluster", [](auto, auto, auto& g) {
         const auto r = g() % 8;
         return r == 0 ? I64_MIN : r == 1 ? I64_MAX : static_cast<std::int64_t>(g() % 1000);
     }},
    {"all equal", [](auto, auto, auto&) { return std::int64_t{-7}; }},
    {"sorted", [](std::size_t i, auto, auto&) { return static_cast<std::int64_t>(i) * 3 - 50; }},
    {"reversed", [](std::size_t i, std::size_t n, auto&) { return static_cast<std::int64_t>(n - i); }},
};

}  // namespace

TEST(Sort, Float64MatchesAStableSort) {
    std::mt19937_64 g(19);
    for (const auto& [what, gen] : F64_INPUTS) {
        for (std::size_t n : LENGTHS) {
            std::vector<double> v(n);
            for (std::size_t i = 0; i < n; ++i) v[i] = gen(i, n, g);
            check(v, what);
        }
    }
}

TEST(Sort, Int64MatchesAStableSort) {
    std::mt19937_64 g(23);
    for (const auto& [what, gen] : I64_INPUTS) {
        for (std::size_t n : LENGTHS) {
            std::vector<std::int64_t> v(n);
            for (std::size_t i = 0; i < n; ++i) v[i] = gen(i, n, g);
            check(v, what);
        }
    }
}

// The pass that sets the zeros and NaNs apart, on each target: one special value on each
// lane of a few vectors and the tail, and mostly numbers with a few specials of each kind.
TEST(Sort, Float64SpecialsOnEveryLaneOnEveryTarget) {
    const double specials[] = {0.0, -0.0, from_bits(0x7FF8000000000000), from_bits(0xFFF0000000000001)};
    std::mt19937_64 g(29);
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        const char* name = hwy::TargetName(target);
        for (std::size_t n : {1, 5, 19, 37}) {
            for (const double s : specials) {
                for (std::size_t p = 0; p < n; ++p) {
                    std::vector<double> v(n);
                    for (auto& x : v) x = std::normal_distribution<double>()(g);
                    v[p] = s;
                    check(v, name);
                }
            }
        }
        for (std::size_t n = 0; n < 200; n += 1 + n / 16) {
            std::vector<double> v(n);
            for (auto& x : v) {
                const auto r = g() % 16;
                x = r < std::size(specials) ? specials[r] : r == 15 ? 1.5 : std::normal_distribution<double>()(g);
            }
            check(v, name);
        }
    }
    hwy::SetSupportedTargetsForTest(0);
}

TEST(Sort, NotOneDimensionalIsAnInternalFailure) {
    EXPECT_THROW((void)iota({2, 2}).sorted_1d(), InternalFailure);
    EXPECT_THROW((void)iota({2, 2}).argsort_1d(), InternalFailure);
}
