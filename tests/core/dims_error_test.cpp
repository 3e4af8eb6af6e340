// Shape records and the array size limit.
#include <limits>

#include "helpers.hpp"

using namespace corvantile;
using namespace corvantile::testing;

TEST(Dims, CStridesWithoutClamping) {
    const std::tuple<Sizes, std::uint8_t, std::vector<std::int64_t>, std::uint64_t> cases[] = {
        {{}, 8, {}, 1},         {{2, 3}, 1, {3, 1}, 6},  {{3, 0}, 8, {0, 8}, 0},
        {{0, 3}, 8, {24, 8}, 0}, {{2, 3, 4}, 8, {96, 32, 8}, 24}, {Sizes(8, 1), 1, std::vector<std::int64_t>(8, 1), 1},
    };
    for (const auto& [shape, itemsize, strides, size] : cases) {
        ArrayDims d = ok(ArrayDims::make(shape, itemsize));
        EXPECT_EQ(sizes(d.shape()), shape);
        EXPECT_EQ(strides_of(d), strides);
        EXPECT_EQ(d.size(), size);
        EXPECT_EQ(d.itemsize(), itemsize);
    }
    ArrayDims d = ok(ArrayDims::make(Sizes{2, 3, 4}, 8));
    EXPECT_EQ(sizes(d.element_strides()), (Sizes{12, 4, 1}));
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
        {{0, big, 4}, 8}, {{std::numeric_limits<std::uint64_t>::max()}, 1}, {{1u << 16, 1u << 16, 1u << 16, 1u << 16}, 1},
    };
    for (const auto& [shape, itemsize] : refused) {
        EXPECT_EQ(ArrayDims::make(shape, itemsize).error().message(),
                  "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.");
    }
    EXPECT_TRUE(ArrayDims::make(Sizes{big}, 1));
    EXPECT_TRUE(ArrayDims::make(Sizes{(std::uint64_t{1} << 60) - 1}, 8));
    EXPECT_TRUE(ArrayDims::make(Sizes{0, big}, 1));
}

// The texts internal failures carry: the variant and every field.
TEST(ArrayErrorText, DebugNamesTheVariantAndItsFields) {
    const std::pair<ArrayError, std::string_view> cases[] = {
        {ArrayError::ShapeMismatch{{2, 3}, {4}}, "ShapeMismatch([2, 3], [4])"},
        {ArrayError::ShapeMismatch{{}, {0, 1}}, "ShapeMismatch([], [0, 1])"},
        {DimsError{9}, "Dims(TooManyDims(9))"},
        {ArrayError::IndexOutOfBounds{-4, 1, 3}, "IndexOutOfBounds { index: -4, axis: 1, len: 3 }"},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.debug(), text);
}
