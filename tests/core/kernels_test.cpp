// Broadcasting and the element-wise kernels, checked against a direct index computation.
#include <cmath>
#include <random>

#include "helpers.hpp"

using namespace corvantile;
using namespace corvantile::testing;

namespace {

double sub(double a, double b) { return a - b; }

// Element of `a` (shape `sa`) at multi-index `idx` of an n-axis broadcast shape.
double at_broadcast(const Array<double>& a, const std::vector<std::uint64_t>& idx) {
    const auto s = a.shape();
    const std::size_t pad = idx.size() - s.size();
    std::uint64_t off = 0;
    for (std::size_t k = 0; k < s.size(); ++k) off = off * s[k] + (s[k] == 1 ? 0 : idx[pad + k]);
    return a.data()[off];
}

// f over the broadcast of a and b, by plain multi-index arithmetic.
std::vector<double> reference_zip(const Array<double>& a, const Array<double>& b, const Sizes& shape,
                                  double (*f)(double, double)) {
    std::uint64_t total = 1;
    for (auto s : shape) total *= s;
    std::vector<double> out;
    for (std::uint64_t flat = 0; flat < total; ++flat) {
        std::vector<std::uint64_t> idx(shape.size());
        std::uint64_t rest = flat;
        for (std::size_t k = shape.size(); k-- > 0;) {
            idx[k] = rest % shape[k];
            rest /= shape[k];
        }
        out.push_back(f(at_broadcast(a, idx), at_broadcast(b, idx)));
    }
    return out;
}

}  // namespace

TEST(Broadcast, Shapes) {
    struct Case {
        Sizes a, b;
        std::optional<Sizes> result;
    };
    const Case cases[] = {
        {{3, 1}, {1, 4}, Sizes{3, 4}},
        {{2, 3}, {3}, Sizes{2, 3}},
        {{}, {2, 2}, Sizes{2, 2}},
        {{2, 2}, {}, Sizes{2, 2}},
        {{1}, {0}, Sizes{0}},
        {{0}, {1}, Sizes{0}},
        {{}, {}, Sizes{}},
        {{8, 1, 6, 1}, {7, 1, 5}, Sizes{8, 7, 6, 5}},
        {{2, 3}, {2}, {}},
        {{2}, {2, 3}, {}},
        {{2}, {3}, {}},
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
    EXPECT_EQ(array::broadcast_shape(Sizes{2, 3}, Sizes{2}).error().message(),
              "operands could not be broadcast together with shapes (2, 3) (2,)");
    EXPECT_EQ(array::broadcast_shape(Sizes{2}, Sizes{2, 3}).error().message(),
              "operands could not be broadcast together with shapes (2,) (2, 3)");
}

TEST(Broadcast, Strides) {
    EXPECT_EQ(sizes(array::broadcast_strides(Sizes{3, 1}, 2)), (Sizes{1, 0}));
    EXPECT_EQ(sizes(array::broadcast_strides(Sizes{2, 3, 4}, 3)), (Sizes{12, 4, 1}));
    EXPECT_EQ(sizes(array::broadcast_strides(Sizes{3}, 3)), (Sizes{0, 0, 1}));
    EXPECT_EQ(sizes(array::broadcast_strides(Sizes{1}, 2)), (Sizes{0, 0}));
    EXPECT_EQ(sizes(array::broadcast_strides(Sizes{}, 2)), (Sizes{0, 0}));
    EXPECT_THROW((void)array::broadcast_strides(Sizes{2, 2}, 1), InternalFailure);
}

TEST(ZipMap, MatchesDirectIndexingOverManyShapePairs) {
    const std::pair<Sizes, Sizes> pairs[] = {
        {{2, 3}, {2, 3}}, {{2, 3}, {3}},       {{3}, {2, 3}},          {{3, 1}, {1, 4}},
        {{2, 3}, {2, 1}}, {{2, 1}, {2, 3}},    {{}, {2, 2}},           {{2, 2}, {}},
        {{}, {}},         {{4, 1, 3}, {2, 1}}, {{1, 5, 1, 2}, {5, 3, 1}}, {{2, 1, 3, 1}, {1, 4, 1, 5}},
        {{7}, {1}},       {{1}, {7}},          {{1, 1}, {1}},          {{2, 2, 2, 2, 2, 2, 2, 2}, {2}},
    };
    for (const auto& [sa, sb] : pairs) {
        SCOPED_TRACE(array::shape_str(sa) + " " + array::shape_str(sb));
        Array<double> a = iota(sa, 1);
        Array<double> b = iota(sb, 100);
        Array<double> r = ok(a.zip_map(b, sub));
        Sizes shape = sizes(ok(array::broadcast_shape(sa, sb)));
        EXPECT_EQ(r.dims(), ok(ArrayDims::make(shape, 8)));
        EXPECT_EQ(values(r), reference_zip(a, b, shape, sub));
        // Both paths agree, with a lambda as the element function.
        Array<double> rb = ok(a.zip_map_broadcast(b, [](double x, double y) { return x - y; }));
        EXPECT_EQ(values(rb), values(r));
    }
}

TEST(ZipMap, RowTimesColumn) {
    Array<double> a = iota({2, 3});
    Array<double> b = f64({10, 20, 30}, {3});
    Array<double> r = ok(a.zip_map(b, [](double x, double y) { return x * y; }));
    EXPECT_EQ(values(r), (std::vector<double>{0, 20, 60, 30, 80, 150}));
}

TEST(ZipMap, EmptyResultNeverCallsTheFunction) {
    int calls = 0;
    auto f = [&calls](double x, double y) {
        ++calls;
        return x + y;
    };
    Array<double> r = ok(iota({0, 3}).zip_map(iota({1, 3}), f));
    EXPECT_EQ(sizes(r.shape()), (Sizes{0, 3}));
    EXPECT_EQ(r.len(), 0u);
    r = ok(iota({0}).zip_map(iota({0}), f));
    EXPECT_EQ(r.len(), 0u);
    EXPECT_EQ(calls, 0);
    Array<double> s = ok(Array<double>::scalar(2).zip_map(Array<double>::scalar(3), f));
    EXPECT_EQ(s.ndim(), 0u);
    EXPECT_EQ(values(s), (std::vector<double>{5}));
    EXPECT_EQ(calls, 1);
}

TEST(ZipMap, ShapeMismatchNamesSelfFirst) {
    auto r = iota({2, 3}).zip_map(iota({2}), sub);
    EXPECT_EQ(r.error().message(), "operands could not be broadcast together with shapes (2, 3) (2,)");
    r = iota({2}).zip_map(iota({2, 3}), sub);
    EXPECT_EQ(r.error().message(), "operands could not be broadcast together with shapes (2,) (2, 3)");
}

TEST(ZipMap, BroadcastResultTooBigIsRefused) {
    // Zero-sized axes: the operands need no memory but their broadcast is too big.
    Array<double> z1 = ok(Array<double>::filled(Sizes{0, std::uint64_t{1} << 40, 1}, 1.0));
    Array<double> z2 = ok(Array<double>::filled(Sizes{0, 1, std::uint64_t{1} << 40}, 1.0));
    auto r = z1.zip_map(z2, sub);
    EXPECT_EQ(r.error().message(), std::string(ARRAY_TOO_BIG));
}

TEST(ZipMapInplace, SameLayoutAndBroadcast) {
    Array<double> a = iota({3, 4});
    ASSERT_TRUE(a.zip_map_inplace(f64({1, 2, 3, 4}, {4}), [](double x, double y) { return x * y; }));
    EXPECT_EQ(values(a), (std::vector<double>{0, 2, 6, 12, 4, 10, 18, 28, 8, 18, 30, 44}));
    Array<double> b = iota({2, 2});
    ASSERT_TRUE(b.zip_map_inplace(iota({2, 2}, 10), sub));
    EXPECT_EQ(values(b), (std::vector<double>{-10, -10, -10, -10}));
    Array<double> c = iota({2, 3});
    ASSERT_TRUE(c.zip_map_inplace(f64({5}, {1}), sub));
    EXPECT_EQ(values(c), (std::vector<double>{-5, -4, -3, -2, -1, 0}));
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
        const std::vector<double> before = values(self);
        auto r = self.zip_map_inplace(iota(c.other), sub);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().message(), c.message);
        EXPECT_EQ(values(self), before);
    }
}

TEST(ZipMapInplace, SameBufferStaysDirect) {
    Array<double> a = iota({5}, 1);
    const double* p = a.data();
    ASSERT_TRUE(a.zip_map_inplace(a, [](double x, double y) { return x + y; }));
    EXPECT_EQ(a.data(), p);
    EXPECT_EQ(values(a), (std::vector<double>{2, 4, 6, 8, 10}));
}

// Two views of one buffer that overlap without being the same: the result is as if the
// operands did not overlap (a[1:] += a[:-1] gives 1, 3, 5, 7, 9, not a running sum).
TEST(ZipMapInplace, OverlappingViewsComputeAside) {
    struct Case {
        std::uint64_t self_offset, other_offset;
        double (*f)(double, double);
        std::vector<double> expect;  // the whole base afterwards
    };
    const Case cases[] = {
        {1, 0, [](double x, double y) { return x + y; }, {1, 3, 5, 7, 9}},
        {0, 1, [](double x, double y) { return x + y; }, {3, 5, 7, 9, 5}},
        {1, 0, [](double x, double y) { return x * y; }, {1, 2, 6, 12, 20}},
    };
    for (const Case& c : cases) {
        Array<double> base = iota({5}, 1);
        Array<double> self = Array<double>::view(base, c.self_offset, Sizes{4}, Owner::adopt(fake_ref(1)));
        const Array<double> other = Array<double>::view(base, c.other_offset, Sizes{4}, Owner::adopt(fake_ref(1)));
        ASSERT_TRUE(self.zip_map_inplace(other, c.f));
        EXPECT_EQ(values(base), c.expect);
    }
    // Overlap through the broadcasting path as well: self (2, 2) over base[1:5], other (2,) at base[0:2].
    Array<double> base = iota({5}, 1);
    Array<double> self = Array<double>::view(base, 1, Sizes{2, 2}, Owner::adopt(fake_ref(1)));
    const Array<double> other = Array<double>::view(base, 0, Sizes{2}, Owner::adopt(fake_ref(1)));
    ASSERT_TRUE(self.zip_map_inplace(other, [](double x, double y) { return x + y; }));
    EXPECT_EQ(values(base), (std::vector<double>{1, 3, 5, 5, 7}));
}

TEST(ZipMapInplace, LargeRandomMatchesOutOfPlace) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> dist(-1e3, 1e3);
    std::vector<double> v(1003);
    for (double& x : v) x = dist(rng);
    Array<double> a = f64(v, {1003});
    Array<double> b = a.map([](double x) { return x * 0.5 + 1; });
    Array<double> expect = ok(a.zip_map(b, [](double x, double y) { return x / y; }));
    ASSERT_TRUE(a.zip_map_inplace(b, [](double x, double y) { return x / y; }));
    EXPECT_EQ(values(a), values(expect));
}

TEST(Map, FloatAndInt) {
    Array<double> a = f64({1, -2, 3}, {3, 1});
    Array<double> m = a.map([](double x) { return std::fabs(x); });
    EXPECT_EQ(values(m), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(m.dims(), a.dims());
    EXPECT_FALSE(m.is_borrowed());
    Array<std::int64_t> i = i64({1, 2, std::numeric_limits<std::int64_t>::max()}, {3});
    // Wrapping add through unsigned arithmetic, as the int64 callers do.
    Array<std::int64_t> w = i.map_int([](std::int64_t x) {
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(x) + 1);
    });
    EXPECT_EQ(values(w), (std::vector<std::int64_t>{2, 3, std::numeric_limits<std::int64_t>::min()}));
    EXPECT_EQ(iota({0}).map([](double x) { return x; }).len(), 0u);
}

TEST(ZipInt, SameLayoutOnly) {
    Array<std::int64_t> a = i64({1, 2, 3, 4}, {2, 2});
    Array<std::int64_t> b = i64({10, 20, 30, 40}, {2, 2});
    auto r = a.zip_int(b, [](std::int64_t x, std::int64_t y) { return x - y; });
    ASSERT_TRUE(r);
    EXPECT_EQ(values(*r), (std::vector<std::int64_t>{-9, -18, -27, -36}));
    EXPECT_EQ(r->dims(), a.dims());
    auto plus = [](std::int64_t x, std::int64_t y) { return x + y; };
    EXPECT_FALSE(i64({1, 2}, {2}).zip_int(i64({1, 2}, {2, 1}), plus));
    EXPECT_FALSE(i64({1, 2}, {2}).zip_int(i64({1}, {1}), plus));
    EXPECT_FALSE(i64({1, 2}, {2}).zip_int(i64({1, 2}, {1, 2}), plus));
}

TEST(Compare, IdenticalShapesOnly) {
    auto lt = [](double x, double y) { return x < y; };
    auto r = array::compare(f64({1, 5, 3, 4}, {2, 2}), f64({2, 2, 3, 9}, {2, 2}), lt);
    ASSERT_TRUE(r);
    EXPECT_EQ(values(*r), (std::vector<int>{1, 0, 0, 1}));
    EXPECT_EQ(strides_of(r->dims()), (std::vector<std::int64_t>{2, 1}));
    EXPECT_EQ(r->dims().itemsize(), 1u);
    EXPECT_FALSE(array::compare(iota({3}), iota({1, 3}), lt));
    EXPECT_FALSE(array::compare(iota({3}), iota({1}), lt));
    EXPECT_FALSE(array::compare(Array<double>::scalar(1), iota({1}), lt));
    auto ne = array::compare(f64({std::nan(""), 0.0}, {2}), f64({std::nan(""), -0.0}, {2}),
                             [](double x, double y) { return x != y; });
    EXPECT_EQ(values(*ne), (std::vector<int>{1, 0}));
    auto eqb = array::compare(bools({1, 0, 1}, {3}), bools({1, 1, 0}, {3}),
                              [](Bool x, Bool y) { return x == y; });
    EXPECT_EQ(values(*eqb), (std::vector<int>{1, 0, 0}));
    auto gei = array::compare(i64({-1, 5}, {2}), i64({0, 5}, {2}), [](std::int64_t x, std::int64_t y) { return x >= y; });
    EXPECT_EQ(values(*gei), (std::vector<int>{0, 1}));
    auto empty = array::compare(iota({0, 2}), iota({0, 2}), lt);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->len(), 0u);
}
