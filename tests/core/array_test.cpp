// Constructors, reshapes, casts and conversions.
#include <bit>
#include <cmath>
#include <limits>

#include "helpers.hpp"

using namespace corvantile;
using namespace corvantile::testing;

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();
}  // namespace

TEST(Construct, FromVecShapesAndErrors) {
    struct Case {
        std::size_t count;
        Sizes shape;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {1, {}, {}},
        {2, {}, "cannot reshape array of size 2 into shape with 1 elements"},
        {6, {4}, "cannot reshape array of size 6 into shape with 4 elements"},
        {6, {2, 3}, {}},
        {0, {0}, {}},
        {0, {3, 0}, {}},
        {1, Sizes(9, 1), "corvantile supports at most 8 dimensions natively, got 9"},
        {1, Sizes(8, 1), {}},
        {0, {std::uint64_t{1} << 62, 0, 4},
         "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(array::shape_str(c.shape));
        auto r = Array<double>::from_vec(std::vector<double>(c.count, 1.5), c.shape);
        ASSERT_EQ(r.has_value(), !c.error);
        if (c.error) {
            EXPECT_EQ(r.error().message(), *c.error);
            continue;
        }
        EXPECT_EQ(r->len(), c.count);
        EXPECT_EQ(sizes(r->shape()), c.shape);
        EXPECT_FALSE(r->is_borrowed());
        EXPECT_NE(r->data(), nullptr);
    }
    auto e = Array<double>::from_vec({1, 2}, Sizes{});
    EXPECT_EQ(e.error(), ArrayError(ArrayError::SizeMismatch{1, 2}));
}

TEST(Construct, ThreeKindsShareTheirBehaviour) {
    Array<double> f = f64({1, 2, 3, 4, 5, 6}, {2, 3});
    Array<std::int64_t> i = i64({1, 2, 3, 4, 5, 6}, {2, 3});
    Array<Bool> b = bools({1, 0, 1, 0, 1, 0}, {2, 3});
    EXPECT_EQ(strides_of(f.dims()), (std::vector<std::int64_t>{24, 8}));
    EXPECT_EQ(strides_of(i.dims()), (std::vector<std::int64_t>{24, 8}));
    EXPECT_EQ(strides_of(b.dims()), (std::vector<std::int64_t>{3, 1}));
    EXPECT_EQ(b.dims().itemsize(), 1u);
    EXPECT_EQ(Array<Bool>::from_vec(std::vector<Bool>(9, Bool::True), Sizes(9, 1)).error().message(),
              "corvantile supports at most 8 dimensions natively, got 9");
    EXPECT_EQ(Array<std::int64_t>::from_vec({1, 2, 3}, Sizes{2}).error(),
              ArrayError(ArrayError::SizeMismatch{2, 3}));
}

TEST(Construct, FromStorageTakesTheBufferOver) {
    Storage<double> s = Storage<double>::copy_of(std::vector<double>{1, 2, 3, 4});
    const double* p = s.ptr();
    Array<double> a = ok(Array<double>::from_storage(std::move(s), Sizes{2, 2}));
    EXPECT_EQ(a.data(), p);
    EXPECT_EQ(s.len(), 0u);
    auto bad = Array<double>::from_storage(Storage<double>::zeroed(3), Sizes{2, 2});
    EXPECT_EQ(bad.error().message(), "cannot reshape array of size 3 into shape with 4 elements");
}

TEST(Construct, StorageCollect) {
    std::vector<int> src{3, 1, 4};
    Storage<std::int64_t> s = Storage<std::int64_t>::collect(src);
    EXPECT_EQ(s.len(), 3u);
    EXPECT_EQ(s.ptr()[2], 4);
    Storage<std::int64_t> t = Storage<std::int64_t>::collect(std::views::iota(0, 5) | std::views::filter([](int x) { return x % 2 == 0; }));
    ASSERT_EQ(t.len(), 3u);
    EXPECT_EQ(t.ptr()[1], 2);
    Storage<double> empty;
    EXPECT_EQ(empty.len(), 0u);
    EXPECT_NE(empty.ptr(), nullptr);
}

TEST(Construct, FilledAndScalar) {
    struct Case {
        Sizes shape;
        double value;
    };
    const Case cases[] = {{{2, 3}, 0.0}, {{2, 3}, -0.0}, {{4}, 2.5}, {{}, 7.0}, {{0, 5}, 1.0}};
    for (const Case& c : cases) {
        Array<double> a = ok(Array<double>::filled(c.shape, c.value));
        EXPECT_EQ(sizes(a.shape()), c.shape);
        for (double x : a.elements()) EXPECT_EQ(std::bit_cast<std::uint64_t>(x), std::bit_cast<std::uint64_t>(c.value));
    }
    EXPECT_EQ(values(ok(Array<Bool>::filled(Sizes{3}, Bool::True))), (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(values(ok(Array<std::int64_t>::filled(Sizes{2}, -4))), (std::vector<std::int64_t>{-4, -4}));
    EXPECT_EQ(Array<double>::filled(Sizes(9, 1), 0.0).error().kind(), ArrayError::Kind::Dims);
    EXPECT_EQ(Array<double>::filled(Sizes{std::uint64_t{1} << 61}, 0.0).error().message(),
              std::string(ARRAY_TOO_BIG));

    Array<std::int64_t> s = Array<std::int64_t>::scalar(42);
    EXPECT_EQ(s.ndim(), 0u);
    EXPECT_EQ(s.len(), 1u);
    EXPECT_EQ(s.dims(), ArrayDims::scalar(8));
    EXPECT_EQ(Array<Bool>::scalar(Bool::True).dims(), ArrayDims::scalar(1));
}

TEST(Construct, AllocationFailureIsBadAllocNotInternalFailure) {
    // 2^62 bytes passes the size check but no machine can hold it.
    EXPECT_THROW((void)Array<Bool>::filled(Sizes{std::uint64_t{1} << 62}, Bool::True), std::bad_alloc);
    EXPECT_THROW((void)Array<Bool>::filled(Sizes{std::uint64_t{1} << 62}, Bool::False), std::bad_alloc);
}

TEST(Construct, ReshapeCopies) {
    Array<double> a = iota({2, 3});
    Array<double> r = ok(a.reshape(Sizes{3, 2}));
    EXPECT_NE(r.data(), a.data());
    EXPECT_EQ(values(r), values(a));
    EXPECT_EQ(strides_of(r.dims()), (std::vector<std::int64_t>{16, 8}));
    EXPECT_EQ(a.reshape(Sizes{4}).error().message(), "cannot reshape array of size 6 into shape with 4 elements");
    EXPECT_EQ(a.reshape(Sizes(9, 1)).error().kind(), ArrayError::Kind::Dims);

    AnyArray b(bools({1, 0, 1, 1}, {4}));
    AnyArray rb = ok(b.reshape(Sizes{2, 2}));
    EXPECT_EQ(rb.kind(), ElementKind::Bool);
    EXPECT_EQ(strides_of(rb.dims()), (std::vector<std::int64_t>{2, 1}));
    EXPECT_EQ(b.reshape(Sizes{}).error(), ArrayError(ArrayError::SizeMismatch{1, 4}));
}

TEST(Construct, ZerosLikeIgnoresTheSource) {
    AnyArray a(i64({1, 2, 3}, {3}));
    AnyArray z = ok(a.zeros_like(Sizes{2, 2}));
    ASSERT_EQ(z.kind(), ElementKind::I64);
    EXPECT_EQ(values(*z.get_if<std::int64_t>()), (std::vector<std::int64_t>{0, 0, 0, 0}));
    AnyArray zb = ok(AnyArray(bools({1}, {1})).zeros_like(Sizes{3}));
    EXPECT_EQ(values(*zb.get_if<Bool>()), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(a.zeros_like(Sizes(9, 2)).error().kind(), ArrayError::Kind::Dims);
}

TEST(Construct, SetDimsKeepsTheCount) {
    Array<double> a = iota({2, 3});
    a.set_dims(ok(ArrayDims::make(Sizes{3, 2}, 8)));
    EXPECT_EQ(sizes(a.shape()), (Sizes{3, 2}));
    EXPECT_THROW(a.set_dims(ok(ArrayDims::make(Sizes{4}, 8))), InternalFailure);
    EXPECT_THROW(a.set_dims(ok(ArrayDims::make(Sizes{6}, 1))), InternalFailure);
    EXPECT_THROW((void)Array<double>::from_parts(Storage<double>::zeroed(2), ok(ArrayDims::make(Sizes{3}, 8))),
                 InternalFailure);
}

TEST(Convert, ToF64) {
    AnyArray i(i64({(std::int64_t{1} << 53) + 1, -3, 0}, {3}));
    Array<double> f = i.to_f64();
    EXPECT_EQ(values(f), (std::vector<double>{9007199254740992.0, -3.0, 0.0}));
    EXPECT_EQ(f.dims(), ok(ArrayDims::make(Sizes{3}, 8)));
    Array<double> fb = AnyArray(bools({1, 0}, {2, 1})).to_f64();
    EXPECT_EQ(values(fb), (std::vector<double>{1.0, 0.0}));
    EXPECT_EQ(strides_of(fb.dims()), (std::vector<std::int64_t>{8, 8}));
    AnyArray ff(f64({1.5, kNaN}, {2}));
    Array<double> copy = ff.to_f64();
    EXPECT_NE(copy.data(), ff.get_if<double>()->data());
    EXPECT_TRUE(std::isnan(copy.data()[1]));
}

TEST(Convert, Cast) {
    struct Case {
        AnyArray (*source)();
        const char* dtype;
        std::optional<ElementKind> kind;  // empty: not handled natively
        std::vector<double> expect;       // the result through to_f64
    };
    const Case cases[] = {
        {[] { return AnyArray(f64({1.9, -1.9}, {2})); }, "int64", ElementKind::I64, {1, -1}},
        {[] { return AnyArray(f64({9.2e18}, {1})); }, "int64", {}, {}},
        {[] { return AnyArray(f64({-9.2e18}, {1})); }, "int64", {}, {}},
        {[] { return AnyArray(f64({9.19e18}, {1})); }, "int64", ElementKind::I64, {9.19e18}},
        {[] { return AnyArray(f64({1.0, kNaN}, {2})); }, "int64", {}, {}},
        {[] { return AnyArray(f64({inf}, {1})); }, "int64", {}, {}},
        {[] { return AnyArray(f64({kNaN, -0.0, 0.5}, {3})); }, "bool", ElementKind::Bool, {1, 0, 1}},
        {[] { return AnyArray(f64({0.5}, {1})); }, "float64", ElementKind::F64, {0.5}},
        {[] { return AnyArray(f64({0.5}, {1})); }, "float32", {}, {}},
        {[] { return AnyArray(bools({1, 0}, {2})); }, "float64", ElementKind::F64, {1, 0}},
        {[] { return AnyArray(bools({1, 0}, {2})); }, "int64", ElementKind::I64, {1, 0}},
        {[] { return AnyArray(bools({1, 0}, {2})); }, "bool", ElementKind::Bool, {1, 0}},
        {[] { return AnyArray(bools({1, 0}, {2})); }, "int32", {}, {}},
        {[] { return AnyArray(bools({1, 0}, {2})); }, "Float64", {}, {}},
        {[] { return AnyArray(i64({5, 0, -2}, {3})); }, "int64", ElementKind::I64, {5, 0, -2}},
        {[] { return AnyArray(i64({5, 0, -2}, {3})); }, "bool", ElementKind::Bool, {1, 0, 1}},
        {[] { return AnyArray(i64({5}, {1})); }, "float64", ElementKind::F64, {5}},
        {[] { return AnyArray(i64({5}, {1})); }, "uint8", {}, {}},
    };
    for (const Case& c : cases) {
        AnyArray src = c.source();
        SCOPED_TRACE(std::string(src.dtype_name()) + " -> " + c.dtype);
        auto r = src.cast(c.dtype);
        ASSERT_EQ(r.has_value(), c.kind.has_value());
        if (!r) continue;
        EXPECT_EQ(r->kind(), *c.kind);
        EXPECT_EQ(sizes(r->shape()), sizes(src.shape()));
        EXPECT_EQ(r->dims(), ok(ArrayDims::make(src.shape(), itemsize_of(*c.kind))));
        EXPECT_NE(r->raw_data(), src.raw_data());
        EXPECT_FALSE(r->is_borrowed());
        EXPECT_EQ(values(r->to_f64()), c.expect);
    }
}

TEST(Convert, CastKeepsShape) {
    AnyArray a(f64({1, 2, 3, 4, 5, 6}, {2, 3}));
    AnyArray b = *a.cast("bool");
    EXPECT_EQ(strides_of(b.dims()), (std::vector<std::int64_t>{3, 1}));
    AnyArray i = *a.cast("int64");
    EXPECT_EQ(i.dims(), a.dims());
}
