// Broadcasting and the element-wise kernels, checked against a direct index computation.
#include <cmath>
#include <limits>

#include "helpers.hpp"

using namespace corvantile;
using namespace corvantile::testing;

namespace {

double sub(double a, double b) { return a - b; }
double add(double a, double b) { return a + b; }
double mul(double a, double b) { return a * b; }

// Element of `a` at multi-index `idx` of a broadcast shape.
double at_broadcast(const Array<double>& a, const std::vector<std::uint64_t>& idx) {
    const auto s = a.shape();
    const std::size_t pad = idx.size() - s.size();
    std::uint64_t off = 0;
    for (std::size_t k = 0; k < s.size(); ++k) off = off * s[k] + (s[k] == 1 ? 0 : idx[pad + k]);
    return a.data()[off];
}

// a - b over their broadcast shape, by plain multi-index arithmetic.
std::vector<double> reference_sub(const Array<double>& a, const Array<double>& b, const Sizes& shape) {
    std::uint64_t total = 1;
    for (auto s : shape) total *= s;
    std::vector<double> out;
    for (std::uint64_t flat = 0; flat < total; ++flat) {
        std::vector<std::uint64_t> idx(shape.size());
        for (std::uint64_t k = shape.size(), rest = flat; k-- > 0; rest /= shape[k]) idx[k] = rest % shape[k];
        out.push_back(at_broadcast(a, idx) - at_broadcast(b, idx));
    }
    return out;
}

}  // namespace

TEST(Broadcast, ShapesAndStrides) {
    struct Case {
        Sizes a, b;
        std::optional<Sizes> result;
    };
    const Case cases[] = {
        {{3, 1}, {1, 4}, Sizes{3, 4}}, {{2, 3}, {3}, Sizes{2, 3}}, {{}, {2, 2}, Sizes{2, 2}},
        {{2, 2}, {}, Sizes{2, 2}},     {{1}, {0}, Sizes{0}},       {{0}, {1}, Sizes{0}},
        {{}, {}, Sizes{}},             {{8, 1, 6, 1}, {7, 1, 5}, Sizes{8, 7, 6, 5}},
        {{2, 3}, {2}, {}},             {{2}, {2, 3}, {}},          {{2}, {3}, {}},
        {{0}, {2}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(array::shape_str(c.a) + " " + array::shape_str(c.b));
        auto r = array::broadcast_shape(c.a, c.b);
        ASSERT_EQ(r.has_value(), c.result.has_value());
        if (r) {
            EXPECT_EQ(sizes(*r), *c.result);
        } else {
            EXPECT_EQ(r.error(), ArrayError(ArrayError::ShapeMismatch{c.a, c.b}));
        }
    }
    const std::tuple<Sizes, std::size_t, Sizes> strides[] = {
        {{3, 1}, 2, {1, 0}}, {{2, 3, 4}, 3, {12, 4, 1}}, {{3}, 3, {0, 0, 1}}, {{}, 2, {0, 0}}};
    for (const auto& [shape, n, want] : strides) EXPECT_EQ(sizes(array::broadcast_strides(shape, n)), want);
    EXPECT_THROW((void)array::broadcast_strides(Sizes{2, 2}, 1), InternalFailure);
}

// Both out-of-place paths, and the in-place kernel where the result keeps self's shape,
// against the reference; the element function runs once per element (never for an empty
// result); odd lengths reach the vector loops' tails.
TEST(ZipMap, MatchesDirectIndexingOverManyShapePairs) {
    const std::pair<Sizes, Sizes> pairs[] = {
        {{2, 3}, {2, 3}}, {{2, 3}, {3}},       {{3}, {2, 3}},             {{3, 1}, {1, 4}},
        {{2, 3}, {2, 1}}, {{2, 1}, {2, 3}},    {{}, {2, 2}},              {{2, 2}, {}},
        {{}, {}},         {{4, 1, 3}, {2, 1}}, {{1, 5, 1, 2}, {5, 3, 1}}, {{2, 1, 3, 1}, {1, 4, 1, 5}},
        {{7}, {1}},       {{1}, {7}},          {{1, 1}, {1}},             {{2, 2, 2, 2, 2, 2, 2, 2}, {2}},
        {{0, 3}, {1, 3}}, {{0}, {0}},          {{1003}, {1003}},          {{3, 1003}, {1003}},
    };
    for (const auto& [sa, sb] : pairs) {
        SCOPED_TRACE(array::shape_str(sa) + " " + array::shape_str(sb));
        Array<double> a = iota(sa, 1);
        Array<double> b = iota(sb, 100).map([](double x) { return x * 0.37; });
        Sizes shape = sizes(ok(array::broadcast_shape(sa, sb)));
        const std::vector<double> want = reference_sub(a, b, shape);
        std::size_t calls = 0;
        Array<double> r = ok(a.zip_map(b, [&calls](double x, double y) { return ++calls, x - y; }));
        EXPECT_EQ(r.dims(), ok(ArrayDims::make(shape, 8)));
        EXPECT_EQ(values(r), want);
        EXPECT_EQ(calls, want.size());
        EXPECT_EQ(values(ok(a.zip_map_broadcast(b, [](double x, double y) { return x - y; }))), want);
        if (shape == sa) {
            ASSERT_TRUE(a.zip_map_inplace(b, sub));
            EXPECT_EQ(values(a), want);
        }
    }
}

TEST(ZipMap, Errors) {
    EXPECT_EQ(iota({2, 3}).zip_map(iota({2}), sub).error().message(),
              "operands could not be broadcast together with shapes (2, 3) (2,)");
    EXPECT_EQ(iota({2}).zip_map(iota({2, 3}), sub).error().message(),
              "operands could not be broadcast together with shapes (2,) (2, 3)");
    // Zero-sized axes: the operands need no memory but their broadcast is too big.
    Array<double> z1 = ok(Array<double>::filled(Sizes{0, std::uint64_t{1} << 40, 1}, 1.0));
    Array<double> z2 = ok(Array<double>::filled(Sizes{0, 1, std::uint64_t{1} << 40}, 1.0));
    EXPECT_EQ(z1.zip_map(z2, sub).error().message(), ARRAY_TOO_BIG);
}

TEST(ZipMapInplace, FailuresLeaveSelfUnchanged) {
    struct Case {
        Sizes self, other;
        std::string message;
    };
    const Case cases[] = {
        {{3, 1}, {3, 4}, "non-broadcastable output operand with shape (3, 1) doesn't match the broadcast shape (3, 4)"},
        {{4}, {1, 4}, "non-broadcastable output operand with shape (4,) doesn't match the broadcast shape (1, 4)"},
        {{}, {2}, "non-broadcastable output operand with shape () doesn't match the broadcast shape (2,)"},
        {{2}, {3}, "operands could not be broadcast together with shapes (2,) (3,)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Array<double> self = iota(c.self, 1);
        auto r = self.zip_map_inplace(iota(c.other), sub);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message(), c.message);
        EXPECT_EQ(values(self), values(iota(c.self, 1)));
    }
}

// Two views of one buffer that overlap without being the same: the result is as if the
// operands did not overlap (a[1:] += a[:-1] gives 1, 3, 5, 7, 9, not a running sum).
// The same buffer on both sides stays on the direct path.
TEST(ZipMapInplace, OverlappingViewsComputeAside) {
    struct Case {
        std::uint64_t self_offset, other_offset;
        Sizes self_shape, other_shape;
        double (*f)(double, double);
        std::vector<double> expect;  // the whole base afterwards
    };
    const Case cases[] = {
        {1, 0, {4}, {4}, add, {1, 3, 5, 7, 9}},
        {0, 1, {4}, {4}, add, {3, 5, 7, 9, 5}},
        {1, 0, {4}, {4}, mul, {1, 2, 6, 12, 20}},
        {1, 0, {2, 2}, {2}, add, {1, 3, 5, 5, 7}},  // through the broadcasting path
        {0, 0, {5}, {5}, add, {2, 4, 6, 8, 10}},  // a += a
    };
    for (const Case& c : cases) {
        Array<double> base = iota({5}, 1);
        Array<double> self = Array<double>::view(base, c.self_offset, c.self_shape, Owner::adopt(fake_ref(1)));
        const Array<double> other = Array<double>::view(base, c.other_offset, c.other_shape, Owner::adopt(fake_ref(1)));
        ASSERT_TRUE(self.zip_map_inplace(other, c.f));
        EXPECT_EQ(values(base), c.expect);
    }
}

TEST(Map, Float) {
    Array<double> m = f64({1, -2, 3}, {3, 1}).map([](double x) { return std::fabs(x); });
    EXPECT_EQ(values(m), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(m.dims(), ok(ArrayDims::make(Sizes{3, 1}, 8)));
    EXPECT_EQ(iota({0}).map([](double x) { return x; }).len(), 0u);
}
