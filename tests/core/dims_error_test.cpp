// Shape records, shape text and the error texts.
#include <limits>

#include "helpers.hpp"

using namespace corvantile;
using namespace corvantile::testing;

static_assert(MAX_NDIM == 8);

TEST(Dims, CStridesWithoutClamping) {
    struct Case {
        Sizes shape;
        std::uint8_t itemsize;
        std::vector<std::int64_t> strides;
        std::uint64_t size;
    };
    const Case cases[] = {
        {{}, 8, {}, 1},          {{2, 3}, 8, {24, 8}, 6}, {{2, 3}, 1, {3, 1}, 6},
        {{3, 0}, 8, {0, 8}, 0},  {{0, 3}, 8, {24, 8}, 0}, {{2, 3, 4}, 8, {96, 32, 8}, 24},
        {{1, 1, 1, 1, 1, 1, 1, 1}, 1, {1, 1, 1, 1, 1, 1, 1, 1}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(array::shape_str(c.shape));
        ArrayDims d = ok(ArrayDims::make(c.shape, c.itemsize));
        EXPECT_EQ(sizes(d.shape()), c.shape);
        EXPECT_EQ(strides_of(d), c.strides);
        EXPECT_EQ(d.ndim(), c.shape.size());
        EXPECT_EQ(d.itemsize(), c.itemsize);
        EXPECT_EQ(d.size(), c.size);
        for (std::size_t k = c.shape.size(); k < MAX_NDIM; ++k) {
            EXPECT_EQ(d.shape_slots()[k], 0u);
            EXPECT_EQ(d.stride_slots()[k], 0);
        }
    }
    ArrayDims d = ok(ArrayDims::make(Sizes{2, 3, 4}, 8));
    EXPECT_EQ(sizes(d.element_strides()), (Sizes{12, 4, 1}));
    EXPECT_EQ(d, ok(ArrayDims::make(Sizes{2, 3, 4}, 8)));
    EXPECT_NE(d, ok(ArrayDims::make(Sizes{2, 3, 4}, 1)));
    EXPECT_NE(d, ok(ArrayDims::make(Sizes{2, 12}, 8)));
    EXPECT_EQ(ArrayDims::make(Sizes(9, 1), 8).error(), ArrayError(DimsError{9}));
}

// Byte sizes beyond the signed 64-bit range are refused with NumPy's text, also when an
// axis of size 0 makes the array empty.
TEST(Dims, ArrayTooBig) {
    constexpr std::uint64_t big = std::uint64_t{1} << 62;
    const std::pair<Sizes, std::uint8_t> refused[] = {
        {{big}, 8}, {{std::uint64_t{1} << 31, std::uint64_t{1} << 31}, 8}, {{std::uint64_t{1} << 60}, 8},
        {{0, big, 4}, 8}, {{std::numeric_limits<std::uint64_t>::max()}, 1},
        {{1u << 16, 1u << 16, 1u << 16, 1u << 16}, 1},
    };
    for (const auto& [shape, itemsize] : refused) {
        SCOPED_TRACE(array::shape_str(shape));
        auto r = ArrayDims::make(shape, itemsize);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), ArrayError::Kind::Message);
        EXPECT_EQ(r.error().message(),
                  "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.");
        EXPECT_FALSE(r.error().is_index_error());
    }
    EXPECT_TRUE(ArrayDims::make(Sizes{big}, 1));
    EXPECT_TRUE(ArrayDims::make(Sizes{(std::uint64_t{1} << 60) - 1}, 8));
    EXPECT_TRUE(ArrayDims::make(Sizes{0, big}, 1));
}

TEST(Errors, MessagesKindsAndDebugText) {
    struct Case {
        ArrayError error;
        ArrayError::Kind kind;
        bool index_error;
        const char* message;
        const char* debug;
    };
    const Case cases[] = {
        {ArrayError::ShapeMismatch{{2, 3}, {2}}, ArrayError::Kind::ShapeMismatch, false,
         "operands could not be broadcast together with shapes (2, 3) (2,)", "ShapeMismatch([2, 3], [2])"},
        {ArrayError::ShapeMismatch{{}, {0}}, ArrayError::Kind::ShapeMismatch, false,
         "operands could not be broadcast together with shapes () (0,)", "ShapeMismatch([], [0])"},
        {ArrayError::SizeMismatch{4, 6}, ArrayError::Kind::SizeMismatch, false,
         "cannot reshape array of size 6 into shape with 4 elements", "SizeMismatch { expected: 4, got: 6 }"},
        {DimsError{9}, ArrayError::Kind::Dims, false, "corvantile supports at most 8 dimensions natively, got 9",
         "Dims(TooManyDims(9))"},
        {ArrayError::IndexOutOfBounds{-3, 0, 2}, ArrayError::Kind::IndexOutOfBounds, true,
         "index -3 is out of bounds for axis 0 with size 2", "IndexOutOfBounds { index: -3, axis: 0, len: 2 }"},
        {ArrayError::TooManyIndices{3, 2}, ArrayError::Kind::TooManyIndices, true,
         "too many indices for array: array is 2-dimensional, but 3 were indexed",
         "TooManyIndices { given: 3, ndim: 2 }"},
        {ArrayError::from_message("need at least one array to concatenate"), ArrayError::Kind::Message, false,
         "need at least one array to concatenate", "Message(\"need at least one array to concatenate\")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.debug);
        EXPECT_EQ(c.error.kind(), c.kind);
        EXPECT_EQ(c.error.is_index_error(), c.index_error);
        EXPECT_EQ(c.error.debug(), c.debug);
        EXPECT_EQ(c.error.message(), c.message);
    }
    EXPECT_EQ(DimsError{9}.debug(), "TooManyDims(9)");
    EXPECT_EQ(array::shape_str(Sizes{2, 3, 4}), "(2, 3, 4)");
    try {
        internal_failure("view out of bounds");
    } catch (const InternalFailure& e) {
        EXPECT_STREQ(e.what(), "view out of bounds");
    }
}
