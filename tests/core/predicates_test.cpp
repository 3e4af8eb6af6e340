// The float predicate kernel on every Highway target this CPU runs (not only the one
// dispatch picks): each special value on each lane, lengths around the block and the tail,
// misaligned starts, and no byte written past the end.
#include "helpers.hpp"

#include "array/predicates.hpp"

#include <hwy/targets.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

using namespace corvantile;

namespace {

constexpr std::uint64_t SPECIAL_BITS[] = {
    0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001, 0xFFF0000000000001, 0xFFF4000000000123,
    0x7FF0000000000000, 0xFFF0000000000000, 0x0000000000000000, 0x8000000000000000, 0x0000000000000001,
    0x800FFFFFFFFFFFFF, 0x7FEFFFFFFFFFFFFF, 0x8010000000000000, 0x3FF0000000000000, 0xBFF0000000000000,
};

bool expected(loops::FloatTest test, double v) {
    switch (test) {
    case loops::FloatTest::Nan: return std::isnan(v);
    case loops::FloatTest::Finite: return std::isfinite(v);
    case loops::FloatTest::Inf: return std::isinf(v);
    case loops::FloatTest::SignBit: return (std::bit_cast<std::uint64_t>(v) >> 63) != 0;
    }
    return false;
}

constexpr loops::FloatTest TESTS[] = {loops::FloatTest::Nan, loops::FloatTest::Finite, loops::FloatTest::Inf,
                                      loops::FloatTest::SignBit};

// Runs every test over x[0..n) into a guarded buffer and checks each byte and the guard.
void check(const double* x, std::size_t n, const char* target) {
    constexpr unsigned char GUARD = 0xA5;
    for (loops::FloatTest test : TESTS) {
        std::vector<unsigned char> out(n + 64, GUARD);
        loops::float_test(test, x, reinterpret_cast<Bool*>(out.data()), n);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(out[i], expected(test, x[i]) ? 1 : 0)
                << target << " test " << int(test) << " n " << n << " at " << i;
        }
        for (std::size_t i = n; i < out.size(); ++i) ASSERT_EQ(out[i], GUARD) << target << " n " << n;
    }
}

TEST(FloatPredicates, EveryTargetEveryLaneEveryLength) {
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        const char* name = hwy::TargetName(target);
        // One special value alone, and on each lane of two blocks and a tail.
        for (const std::uint64_t bits : SPECIAL_BITS) {
            const double one = std::bit_cast<double>(bits);
            check(&one, 1, name);
            std::vector<double> x(131, 1.5);
            for (std::size_t p = 0; p < x.size(); ++p) {
                x[p] = std::bit_cast<double>(bits);
                check(x.data(), x.size(), name);
                x[p] = 1.5;
            }
        }
        // Mixed values, every length up to three blocks of the widest vectors, from misaligned starts.
        std::vector<double> mixed(200);
        for (std::size_t i = 0; i < mixed.size(); ++i) {
            mixed[i] = std::bit_cast<double>(SPECIAL_BITS[(i * 7 + i / 5) % std::size(SPECIAL_BITS)]);
        }
        for (std::size_t start = 0; start < 3; ++start) {
            for (std::size_t n = 0; n + start <= 195; ++n) check(mixed.data() + start, n, name);
        }
    }
    hwy::SetSupportedTargetsForTest(0);
}

}  // namespace
