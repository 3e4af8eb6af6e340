// The block walks over strided layouts must give, element for element and bit for bit,
// what the plain element-by-element C-order walk gives: copies, maps, folds in the 8-lane
// order, extremes with their NaN and signed-zero rules, and writes back into the base.
#include "helpers.hpp"

#include "array/walk.hpp"

#include <bit>
#include <cctype>
#include <cmath>
#include <random>
#include <set>
#include <string>

using namespace corvantile;

namespace {

constexpr std::size_t BASE = 100'000;

struct Case {
    const char* name;
    std::int64_t offset;  // elements
    std::vector<std::uint64_t> shape;
    std::vector<std::int64_t> strides;  // elements
    bool distinct;
};

const Case CASES[] = {
    {"0-d", 5, {}, {}, true},
    {"contiguous", 3, {37}, {1}, true},
    {"pair", 3, {2}, {1}, true},
    {"reversed", 36, {37}, {-1}, true},
    {"step 2", 1, {50}, {2}, true},
    {"step -3", 200, {60}, {-3}, true},
    {"long step 2 (several chunks)", 0, {20000}, {2}, true},
    {"long reversed", 99'999, {9000}, {-1}, true},
    {"transpose 37x40", 0, {37, 40}, {1, 37}, true},
    {"transpose 300x300 (tiles)", 7, {300, 300}, {1, 300}, true},
    {"transpose 1000x13", 0, {1000, 13}, {1, 1000}, true},
    {"transpose with long rows", 0, {3, 5000}, {1, 3}, true},
    {"reversed transpose", 299, {300, 200}, {-1, 300}, true},
    {"transpose with reversed rows", 300 * 62, {300, 63}, {1, -300}, true},
    {"transpose 64x5 (rows shorter than a tile)", 3, {64, 5}, {1, 64}, true},
    {"transpose 40x16 (whole tiles)", 0, {40, 16}, {1, 40}, true},
    {"transpose 1000x70 (several tiled blocks)", 1, {1000, 70}, {1, 1000}, true},
    {"column block", 4, {20, 5}, {37, 1}, true},
    {"short rows across blocks", 1, {4000, 3}, {5, 1}, true},
    {"short stepped rows backward", 3, {3000, 2}, {7, -2}, true},
    {"stepped columns", 0, {30, 21}, {50, 2}, true},
    {"3-d permuted", 0, {4, 5, 6}, {1, 24, 4}, true},
    {"3-d transposed last two", 0, {3, 40, 30}, {1200, 1, 40}, true},
    {"length-1 axes", 10, {1, 9, 1}, {12345, 3, -777}, true},
    {"3-d transpose 9x10x17", 0, {9, 10, 17}, {1, 9, 90}, true},
    {"4-d transpose 3x9x2x11", 0, {3, 9, 2, 11}, {1, 3, 27, 54}, true},
    {"transpose stepped 17x33", 0, {17, 33}, {2, 100}, true},
    {"transpose reversed both 23x9", 206, {23, 9}, {-1, -23}, true},
    {"3-d transpose, middle reversed", 90, {8, 11, 9}, {1, -9, 99}, true},
    {"zero stride", 2, {5, 7}, {0, 1}, false},
    {"overlapping rows", 0, {6, 10}, {3, 1}, false},
};

std::vector<double> make_base(std::mt19937_64& rng) {
    std::normal_distribution<double> normal(0.0, 1e3);
    std::vector<double> base(BASE);
    for (double& v : base) v = normal(rng);
    return base;
}

walk::Strided layout_of(const Case& c, std::byte* data, std::size_t itemsize) {
    walk::Strided s;
    s.data = data + c.offset * static_cast<std::int64_t>(itemsize);
    s.ndim = c.shape.size();
    for (std::size_t k = 0; k < s.ndim; ++k) {
        s.shape[k] = c.shape[k];
        s.strides[k] = c.strides[k] * static_cast<std::int64_t>(itemsize);
    }
    return s;
}

// The element offsets of the layout in logical C order, one element at a time.
std::vector<std::int64_t> offsets(const Case& c) {
    std::vector<std::int64_t> out;
    std::uint64_t n = 1;
    for (auto len : c.shape) n *= len;
    for (std::uint64_t flat = 0; flat < n; ++flat) {
        std::uint64_t rest = flat;
        std::int64_t at = c.offset;
        for (std::size_t k = c.shape.size(); k-- > 0;) {
            at += static_cast<std::int64_t>(rest % c.shape[k]) * c.strides[k];
            rest /= c.shape[k];
        }
        out.push_back(at);
    }
    return out;
}

template <class T>
std::vector<T> reference(const std::vector<T>& base, const Case& c) {
    std::vector<T> out;
    for (auto at : offsets(c)) out.push_back(base[static_cast<std::size_t>(at)]);
    return out;
}

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

class Walk : public ::testing::TestWithParam<Case> {};

TEST_P(Walk, CopyMapZipMatchTheElementWalk) {
    const Case& c = GetParam();
    std::mt19937_64 rng(1);
    std::vector<double> base = make_base(rng);
    const walk::Strided s = layout_of(c, reinterpret_cast<std::byte*>(base.data()), 8);
    const std::vector<double> want = reference(base, c);
    const std::size_t n = want.size();
    ASSERT_EQ(s.size(), n);

    std::vector<double> got(n, -1.0);
    walk::copy<double>(s, got.data());
    EXPECT_EQ(got, want);

    const auto f = [](double x) { return x * 2.0 + 1.0; };
    walk::map<double, double>(s, got.data(), f);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(got[i], f(want[i])) << i;

    std::vector<Bool> positive(n);
    walk::map<Bool, double>(s, positive.data(), [](double x) { return to_bool(x > 0.0); });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(positive[i], to_bool(want[i] > 0.0)) << i;

    std::vector<double> y(n), sum(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = static_cast<double>(i) * 0.5;
    walk::zip<double, double>(s, y.data(), sum.data(), [](double a, double b) { return a - b; });
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(sum[i], want[i] - y[i]) << i;
}

TEST_P(Walk, ByteCopiesMatchTheElementWalk) {
    const Case& c = GetParam();
    std::vector<Bool> base(BASE);
    for (std::size_t i = 0; i < BASE; ++i) base[i] = static_cast<Bool>((i * 2654435761u >> 7) & 1);
    const walk::Strided s = layout_of(c, reinterpret_cast<std::byte*>(base.data()), 1);
    const std::vector<Bool> want = reference(base, c);
    std::vector<Bool> got(want.size(), Bool{2});
    walk::copy<Bool>(s, got.data());
    EXPECT_EQ(got, want);
}

TEST_P(Walk, FoldsKeepTheContiguousOrder) {
    const Case& c = GetParam();
    std::mt19937_64 rng(2);
    std::vector<double> base = make_base(rng);
    // Zeros of both signs and a spread of magnitudes, so that the order shows in the bits.
    for (std::size_t i = 0; i < BASE; i += 97) base[i] = (i / 97) % 2 ? 0.0 : -0.0;
    for (std::size_t i = 0; i < BASE; i += 13) base[i] *= 1e12;
    const walk::Strided s = layout_of(c, reinterpret_cast<std::byte*>(base.data()), 8);
    const std::vector<double> want = reference(base, c);
    const std::size_t n = want.size();

    EXPECT_EQ(bits(walk::lane_sum<double>(s)), bits(folds::lanes(want.data(), n)));
    EXPECT_EQ(bits(walk::extreme<true>(s)), bits(folds::extreme<true>(want.data(), n)));
    EXPECT_EQ(bits(walk::extreme<false>(s)), bits(folds::extreme<false>(want.data(), n)));
    EXPECT_EQ(bits(walk::fold(s, 1.0, folds::MulStep{})), bits(folds::fold(want.data(), n, 1.0, folds::MulStep{})));

    // A NaN anywhere makes the extremes NaN (unless it is the only element).
    base[static_cast<std::size_t>(offsets(c).back())] = std::nan("");
    const std::vector<double> with_nan = reference(base, c);
    EXPECT_EQ(bits(walk::extreme<true>(s)), bits(folds::extreme<true>(with_nan.data(), n)));

    // Every element zero: the sign of the last zero decides.
    for (auto at : offsets(c)) base[static_cast<std::size_t>(at)] = -0.0;
    base[static_cast<std::size_t>(offsets(c)[n / 2])] = 0.0;
    const std::vector<double> zeros = reference(base, c);
    EXPECT_EQ(bits(walk::extreme<false>(s)), bits(folds::extreme<false>(zeros.data(), n)));
    EXPECT_EQ(bits(walk::extreme<true>(s)), bits(folds::extreme<true>(zeros.data(), n)));
}

TEST_P(Walk, IntegerAndBoolLaneSums) {
    const Case& c = GetParam();
    std::mt19937_64 rng(3);
    std::vector<std::int64_t> ints(BASE);
    std::vector<Bool> flags(BASE);
    for (std::size_t i = 0; i < BASE; ++i) {
        ints[i] = static_cast<std::int64_t>(rng() >> 8) - (std::int64_t{1} << 55);
        flags[i] = to_bool(rng() % 3 == 0);
    }
    const std::vector<std::int64_t> wi = reference(ints, c);
    const std::vector<Bool> wb = reference(flags, c);
    EXPECT_EQ(bits(walk::lane_sum<std::int64_t>(layout_of(c, reinterpret_cast<std::byte*>(ints.data()), 8))),
              bits(folds::lanes(wi.data(), wi.size())));
    EXPECT_EQ(bits(walk::lane_sum<Bool>(layout_of(c, reinterpret_cast<std::byte*>(flags.data()), 1))),
              bits(folds::lanes(wb.data(), wb.size())));
    std::vector<Bool> copied(wb.size());
    walk::copy<Bool>(layout_of(c, reinterpret_cast<std::byte*>(flags.data()), 1), copied.data());
    EXPECT_EQ(copied, wb);
}

TEST_P(Walk, WritesLandInTheirPlaces) {
    const Case& c = GetParam();
    std::mt19937_64 rng(4);
    std::vector<double> base = make_base(rng);
    const walk::Strided s = layout_of(c, reinterpret_cast<std::byte*>(base.data()), 8);
    EXPECT_EQ(walk::distinct(s, 8), c.distinct);
    if (!c.distinct) return;

    std::vector<double> want = base;
    for (auto at : offsets(c)) want[static_cast<std::size_t>(at)] = want[static_cast<std::size_t>(at)] * 3.0 - 1.0;
    walk::update<double>(s, [](double x) { return x * 3.0 - 1.0; });
    ASSERT_EQ(base, want);

    const std::vector<std::int64_t> at = offsets(c);
    std::vector<double> src(at.size());
    for (std::size_t i = 0; i < src.size(); ++i) {
        src[i] = static_cast<double>(i) + 0.25;
        want[static_cast<std::size_t>(at[i])] = src[i];
    }
    walk::assign<double>(s, src.data());
    ASSERT_EQ(base, want);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Walk, ::testing::ValuesIn(CASES), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
});

TEST(DenseStart, OnlyForwardLayoutsThatFillTheirMemory) {
    const std::set<std::string> dense = {
        "contiguous", "pair", "transpose 37x40", "transpose 300x300 (tiles)", "transpose 1000x13",
        "transpose with long rows", "transpose 64x5 (rows shorter than a tile)", "transpose 40x16 (whole tiles)",
        "transpose 1000x70 (several tiled blocks)", "3-d permuted", "3-d transposed last two",
        "3-d transpose 9x10x17", "4-d transpose 3x9x2x11"};
    std::vector<double> base(BASE);
    for (const Case& c : CASES) {
        const walk::Strided s = layout_of(c, reinterpret_cast<std::byte*>(base.data()), 8);
        const std::byte* start = walk::dense_start(s, 8);
        EXPECT_EQ(start != nullptr, dense.contains(c.name)) << c.name;
        if (start != nullptr) {
            EXPECT_EQ(start, s.data) << c.name;
        }
    }
}

TEST(Simplify, MergesAxesThatStepAsOne) {
    walk::Strided s;
    s.ndim = 4;
    s.shape = {2, 1, 3, 4};
    s.strides = {96, 5, 32, 8};
    const walk::Strided t = walk::simplify(s);
    ASSERT_EQ(t.ndim, 1u);
    EXPECT_EQ(t.shape[0], 24u);
    EXPECT_EQ(t.strides[0], 8);

    s.strides = {8, 0, 16, 48};  // a transpose: nothing merges, the length-1 axis goes
    const walk::Strided u = walk::simplify(s);
    ASSERT_EQ(u.ndim, 3u);
    EXPECT_EQ(u.strides[2], 48);

    // In memory order the transpose, reversed along one axis, is one ascending run.
    double block[24];
    s.data = reinterpret_cast<std::byte*>(block + 4);
    s.strides = {8, 0, -16, 48};
    const walk::Strided m = walk::memory_order(s);
    ASSERT_EQ(m.ndim, 1u);
    EXPECT_EQ(m.shape[0], 24u);
    EXPECT_EQ(m.strides[0], 8);
    EXPECT_EQ(m.data, reinterpret_cast<std::byte*>(block));
}

}  // namespace
