// The zip of two strided operands must give, element for element, what the plain
// element-by-element C-order walk gives, whatever the two layouts (transposes against
// rows, tiles, repeated rows and values, reversed and long rows).
#include "helpers.hpp"

#include "array/walk_zip.hpp"

#include <random>

using namespace corvantile;

namespace {

constexpr std::size_t BASE = 200'000;

struct Side {
    std::int64_t offset;                // elements
    std::vector<std::int64_t> strides;  // elements
};

struct PairCase {
    const char* name;
    std::vector<std::uint64_t> shape;
    Side a, b;
};

const PairCase CASES[] = {
    {"0-d", {}, {5, {}}, {9, {}}},
    {"contiguous pair", {37}, {3, {1}}, {100, {1}}},
    {"reversed against contiguous", {37}, {36, {-1}}, {0, {1}}},
    {"step 2 against scalar", {20000}, {0, {2}}, {7, {0}}},
    {"scalar against long reversed", {9000}, {1, {0}}, {99'999, {-1}}},
    {"transposes alike", {300, 300}, {7, {1, 300}}, {0, {1, 300}}},
    {"transpose against rows", {300, 300}, {0, {1, 300}}, {5, {300, 1}}},
    {"rows against transpose", {37, 40}, {0, {40, 1}}, {0, {1, 37}}},
    {"transpose against repeated row", {1000, 70}, {1, {1, 1000}}, {3, {0, 1}}},
    {"transpose against repeated column", {64, 5}, {3, {1, 64}}, {3, {1, 0}}},
    {"transpose with long rows", {3, 9000}, {0, {1, 3}}, {0, {9000, 1}}},
    {"transpose 13 rows (not a multiple of 8)", {13, 700}, {0, {1, 13}}, {2, {700, 1}}},
    {"column block against stepped columns", {30, 21}, {4, {37, 1}}, {0, {50, 2}}},
    {"3-d permuted against 3-d rows", {4, 5, 6}, {0, {1, 24, 4}}, {0, {30, 6, 1}}},
    {"3-d broadcast middle", {3, 40, 30}, {0, {1200, 1, 40}}, {11, {30, 0, 1}}},
    {"merged axes", {10, 10, 10}, {0, {100, 10, 1}}, {50, {100, 10, 1}}},
    {"length-1 axes", {1, 9, 1}, {10, {12345, 3, -777}}, {12, {5, -1, 3}}},
    {"all repeated", {6, 10}, {4, {0, 0}}, {8, {0, 0}}},
    // Rows read in place along their step.
    {"step 2 alike", {9001}, {1, {2}}, {0, {2}}},
    {"reversed alike", {1031}, {1030, {-1}}, {2000, {-1}}},
    {"step 2 back alike", {700}, {1500, {-2}}, {1401, {-2}}},
    {"step 3 against step 2", {515}, {0, {3}}, {5, {2}}},
    {"stepped rows alike", {30, 70}, {0, {300, 2}}, {9, {150, 2}}},
    {"rows back and stepped", {12, 65}, {2000, {-140, 2}}, {0, {131, 2}}},
    {"rows stepped back", {9, 64}, {1000, {130, -2}}, {3000, {-200, -2}}},
    {"stepped rows against repeated row", {40, 33}, {0, {70, 2}}, {3, {0, 2}}},
    {"stepped rows against scalar", {40, 33}, {0, {70, 2}}, {3, {0, 0}}},
    {"stepped rows against a column", {40, 33}, {0, {70, 2}}, {3, {1, 0}}},
    {"empty", {0, 5}, {0, {5, 1}}, {0, {1, 0}}},
};

template <class T>
walk::Strided layout(const std::vector<std::uint64_t>& shape, const Side& s, T* base) {
    walk::Strided out;
    out.data = reinterpret_cast<std::byte*>(base + s.offset);
    out.ndim = shape.size();
    for (std::size_t k = 0; k < out.ndim; ++k) {
        out.shape[k] = shape[k];
        out.strides[k] = s.strides[k] * static_cast<std::int64_t>(sizeof(T));
    }
    return out;
}

std::vector<std::int64_t> offsets(const std::vector<std::uint64_t>& shape, const Side& s) {
    std::uint64_t n = 1;
    for (auto len : shape) n *= len;
    std::vector<std::int64_t> out;
    for (std::uint64_t flat = 0; flat < n; ++flat) {
        std::uint64_t rest = flat;
        std::int64_t at = s.offset;
        for (std::size_t k = shape.size(); k-- > 0;) {
            at += static_cast<std::int64_t>(rest % shape[k]) * s.strides[k];
            rest /= shape[k];
        }
        out.push_back(at);
    }
    return out;
}

class WalkZip : public ::testing::TestWithParam<PairCase> {};

template <class R, class T, class U, class F>
void check(const PairCase& c, const std::vector<T>& x, const std::vector<U>& y, F f) {
    const auto oa = offsets(c.shape, c.a), ob = offsets(c.shape, c.b);
    std::vector<R> out(oa.size() + 1, R{});
    const R guard = out.back();
    walk::zip_pair<R, T, U>(layout(c.shape, c.a, const_cast<T*>(x.data())), layout(c.shape, c.b, const_cast<U*>(y.data())),
                            out.data(), f);
    for (std::size_t i = 0; i < oa.size(); ++i) {
        ASSERT_EQ(out[i], f(x[static_cast<std::size_t>(oa[i])], y[static_cast<std::size_t>(ob[i])])) << c.name << " @" << i;
    }
    EXPECT_EQ(out.back(), guard) << c.name << ": written past the end";
}

TEST_P(WalkZip, MatchesTheElementWalk) {
    const PairCase& c = GetParam();
    std::mt19937_64 rng(3);
    std::vector<double> x(BASE), y(BASE);
    std::vector<std::int64_t> i(BASE);
    std::vector<Bool> b(BASE);
    for (std::size_t k = 0; k < BASE; ++k) {
        x[k] = static_cast<double>(rng() % 2001) - 1000.0;
        y[k] = static_cast<double>(rng() % 2001) - 1000.0;
        i[k] = static_cast<std::int64_t>(rng() % 201) - 100;
        b[k] = to_bool(rng() % 2 == 0);
    }
    check<double>(c, x, y, [](double p, double q) { return p - q; });
    check<Bool>(c, x, y, [](double p, double q) { return to_bool(p < q); });
    check<double>(c, i, y, [](std::int64_t p, double q) { return static_cast<double>(p) * q; });
    check<std::int64_t>(c, i, i, [](std::int64_t p, std::int64_t q) { return p ^ (q << 1); });
    check<Bool>(c, b, b, [](Bool p, Bool q) { return to_bool(is_true(p) != is_true(q)); });
    check<Bool>(c, b, x, [](Bool p, double q) { return to_bool(is_true(p) && q > 0.0); });
}

INSTANTIATE_TEST_SUITE_P(Layouts, WalkZip, ::testing::ValuesIn(CASES), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
});

// zip_update writes f(x, y) at each element of a (where a's elements are apart) and
// nothing elsewhere, whatever order it walks them in.
template <class T, class U, class F>
void check_update(const PairCase& c, std::vector<T> x, const std::vector<U>& y, F f) {
    const walk::Strided a = layout(c.shape, c.a, x.data());
    if (!walk::distinct(a, sizeof(T))) return;
    const auto oa = offsets(c.shape, c.a), ob = offsets(c.shape, c.b);
    std::vector<T> want = x;
    for (std::size_t i = 0; i < oa.size(); ++i) {
        const auto at = static_cast<std::size_t>(oa[i]);
        want[at] = f(x[at], y[static_cast<std::size_t>(ob[i])]);
    }
    walk::zip_update<T, U>(a, layout(c.shape, c.b, const_cast<U*>(y.data())), f);
    for (std::size_t k = 0; k < x.size(); ++k) ASSERT_EQ(x[k], want[k]) << c.name << " @" << k;
}

TEST_P(WalkZip, UpdatesInPlace) {
    const PairCase& c = GetParam();
    std::mt19937_64 rng(5);
    std::vector<double> x(BASE), y(BASE);
    std::vector<std::int64_t> i(BASE);
    std::vector<Bool> b(BASE);
    for (std::size_t k = 0; k < BASE; ++k) {
        x[k] = static_cast<double>(rng() % 2001) - 1000.0;
        y[k] = static_cast<double>(rng() % 2001) - 1000.0;
        i[k] = static_cast<std::int64_t>(rng() % 201) - 100;
        b[k] = to_bool(rng() % 2 == 0);
    }
    check_update(c, x, y, [](double p, double q) { return p - q; });
    check_update(c, x, i, [](double p, std::int64_t q) { return p * static_cast<double>(q); });
    check_update(c, i, b, [](std::int64_t p, Bool q) { return p ^ (is_true(q) ? 5 : 0); });
    check_update(c, b, b, [](Bool p, Bool q) { return to_bool(is_true(p) != is_true(q)); });
}

const PairCase UPDATE_CASES[] = {
    {"reversed pair", {37}, {36, {-1}}, {40, {-1}}},
    {"reversed rows against reversed rows", {40, 30}, {1199, {-30, -1}}, {1300, {-30, 1}}},
    {"reversed transpose against repeated row", {64, 24}, {64 * 24 - 1, {-1, -64}}, {30, {0, -1}}},
    {"stepped transpose against rows", {96, 40}, {0, {2, 192}}, {3, {40, 1}}},
};

INSTANTIATE_TEST_SUITE_P(Reversed, WalkZip, ::testing::ValuesIn(UPDATE_CASES), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
});

TEST(WalkZip, BroadcastToPadsAndRepeats) {
    double base[12] = {};
    walk::Strided s;
    s.data = reinterpret_cast<std::byte*>(base);
    s.ndim = 2;
    s.shape = {3, 1};
    s.strides = {8, 8};
    const std::uint64_t shape[] = {2, 3, 4};
    const walk::Strided b = walk::broadcast_to(s, shape, 3);
    EXPECT_EQ(b.ndim, 3u);
    EXPECT_EQ(b.strides[0], 0);
    EXPECT_EQ(b.strides[1], 8);
    EXPECT_EQ(b.strides[2], 0);
    EXPECT_EQ(b.size(), 24u);
}

}  // namespace
