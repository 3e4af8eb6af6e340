// Constructors, storage and reshapes.
#include "helpers.hpp"

using namespace corvantile;
using namespace corvantile::testing;

namespace {
using I64s = std::vector<std::int64_t>;
}  // namespace

TEST(Construct, FromVecShapesAndErrors) {
    struct Case {
        std::size_t count;
        Sizes shape;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {1, {}, {}}, {6, {2, 3}, {}}, {0, {3, 0}, {}}, {1, Sizes(8, 1), {}},
        {2, {}, "cannot reshape array of size 2 into shape with 1 elements"},
        {6, {4}, "cannot reshape array of size 6 into shape with 4 elements"},
        {1, Sizes(9, 1), "corvantile supports at most 8 dimensions natively, got 9"},
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
    // The other kinds take the same checks; strides follow the itemsize.
    EXPECT_EQ(Array<std::int64_t>::from_vec({1, 2, 3}, Sizes{2}).error(), ArrayError(ArrayError::SizeMismatch{2, 3}));
    EXPECT_EQ(Array<Bool>::from_vec(std::vector<Bool>(9, Bool::True), Sizes(9, 1)).error(), ArrayError(DimsError{9}));
    EXPECT_EQ(strides_of(i64({1, 2, 3, 4, 5, 6}, {2, 3}).dims()), (I64s{24, 8}));
    EXPECT_EQ(strides_of(bools({1, 0, 1, 0, 1, 0}, {2, 3}).dims()), (I64s{3, 1}));
}

TEST(Construct, Storage) {
    Storage<double> s = Storage<double>::copy_of(std::vector<double>{1, 2, 3, 4});
    const double* p = s.ptr();
    Array<double> a = ok(Array<double>::from_storage(std::move(s), Sizes{2, 2}));
    EXPECT_EQ(a.data(), p);  // taken over, not copied
    EXPECT_EQ(s.len(), 0u);
    EXPECT_EQ(Array<double>::from_storage(Storage<double>::zeroed(3), Sizes{2, 2}).error().message(),
              "cannot reshape array of size 3 into shape with 4 elements");
    auto even = std::views::iota(0, 5) | std::views::filter([](int x) { return x % 2 == 0; });
    Storage<std::int64_t> t = Storage<std::int64_t>::collect(even);
    ASSERT_EQ(t.len(), 3u);
    EXPECT_EQ(t.ptr()[2], 4);
    EXPECT_NE(Storage<double>().ptr(), nullptr);
}

TEST(Construct, BuffersStartOnALine) {
    // Buffers of 1 KiB or more, of every element size, zeroed or not, start on a 64-byte line;
    // writing the first and last element of any stays inside its block and each is freed
    // whole (the sanitizer build checks).
    for (const std::uint64_t len : {1, 3, 17, 127, 128, 129, 1000, 1 << 19}) {
        Storage<Bool> b = Storage<Bool>::uninit(len);
        Storage<std::int64_t> z = Storage<std::int64_t>::zeroed(len);
        Storage<double> d = Storage<double>::deferred(len);
        d.materialize();
        const std::pair<const void*, std::uint64_t> buffers[] = {{b.ptr(), len}, {z.ptr(), len * 8}, {d.ptr(), len * 8}};
        for (const auto& [p, bytes] : buffers) {
            if (bytes >= 1024) {
                EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 64, 0u) << bytes;
            }
        }
        b.ptr()[0] = b.ptr()[len - 1] = Bool::True;
        EXPECT_EQ(z.ptr()[0] + z.ptr()[len - 1], 0);
        d.ptr()[0] = d.ptr()[len - 1] = 1.0;
    }
}

TEST(Construct, LargeBuffers) {
    // Around the size from which buffers ask for huge pages.
    for (const std::uint64_t len : {(std::uint64_t{1} << 19) - 1, std::uint64_t{1} << 19, (std::uint64_t{1} << 19) + 3}) {
        Storage<double> s = Storage<double>::uninit(len);
        Storage<double> deferred = Storage<double>::deferred(len);
        deferred.materialize();
        for (Storage<double>* t : {&s, &deferred}) {
            t->ptr()[0] = 1.0;  // both ends are ours (the sanitizer build checks)
            t->ptr()[len - 1] = 2.0;
        }
        Storage<double> moved = std::move(s);  // freed once, by its new holder
        EXPECT_EQ(moved.ptr()[len - 1], 2.0);
        const Storage<double> zeros = Storage<double>::zeroed(len);
        EXPECT_EQ(zeros.ptr()[len - 1], 0.0);
    }
}

TEST(Construct, ReshapeZerosLikeAndSetDims) {
    Array<double> a = iota({2, 3});
    Array<double> r = ok(a.reshape(Sizes{3, 2}));
    EXPECT_NE(r.data(), a.data());
    EXPECT_EQ(values(r), values(a));
    EXPECT_EQ(strides_of(r.dims()), (I64s{16, 8}));
    EXPECT_EQ(a.reshape(Sizes{4}).error().message(), "cannot reshape array of size 6 into shape with 4 elements");
    EXPECT_EQ(a.reshape(Sizes(9, 1)).error().kind(), ArrayError::Kind::Dims);
    AnyArray b(bools({1, 0, 1, 1}, {4}));
    EXPECT_EQ(ok(b.reshape(Sizes{2, 2})).dims(), ok(ArrayDims::make(Sizes{2, 2}, 1)));
    EXPECT_EQ(b.reshape(Sizes{}).error(), ArrayError(ArrayError::SizeMismatch{1, 4}));

    AnyArray z = ok(AnyArray(i64({1, 2, 3}, {3})).zeros_like(Sizes{2, 2}));
    ASSERT_EQ(z.kind(), ElementKind::I64);
    EXPECT_EQ(values(*z.get_if<std::int64_t>()), (I64s{0, 0, 0, 0}));
    EXPECT_EQ(values(*ok(b.zeros_like(Sizes{3})).get_if<Bool>()), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(b.zeros_like(Sizes(9, 2)).error().kind(), ArrayError::Kind::Dims);

    a.set_dims(ok(ArrayDims::make(Sizes{3, 2}, 8)));
    EXPECT_EQ(sizes(a.shape()), (Sizes{3, 2}));
    EXPECT_THROW(a.set_dims(ok(ArrayDims::make(Sizes{4}, 8))), InternalFailure);
    EXPECT_THROW(a.set_dims(ok(ArrayDims::make(Sizes{6}, 1))), InternalFailure);
    EXPECT_THROW((void)Array<double>::from_parts(Storage<double>::zeroed(2), ok(ArrayDims::make(Sizes{3}, 8))),
                 InternalFailure);
}
