// Broadcasting and the element-wise kernels, checked against a direct index computation.
#include "helpers.hpp"

using namespace corvantile;
using namespace corvantile::testing;

namespace {

double sub(double a, double b) { return a - b; }

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

// Zero-sized axes: the operands need no memory but their broadcast is too big.
TEST(ZipMap, BroadcastTooBig) {
    Array<double> z1 = ok(Array<double>::filled(Sizes{0, std::uint64_t{1} << 40, 1}, 1.0));
    Array<double> z2 = ok(Array<double>::filled(Sizes{0, 1, std::uint64_t{1} << 40}, 1.0));
    EXPECT_EQ(z1.zip_map(z2, sub).error().message(), ARRAY_TOO_BIG);
}
