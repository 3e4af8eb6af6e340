// Take along the leading axis and the checks of concatenation.
#include <limits>

#include "helpers.hpp"

using namespace corvantile;
using namespace corvantile::testing;

namespace {
constexpr std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();
}  // namespace

// The copying selection walks every kept axis down to the last, whose elements it copies.
TEST(Select, CopiesTheSelectedElementsInOrder) {
    using S = Selector::Slice;
    const Array<double> x = iota({3, 4, 5});
    const std::vector<Selector> block{Selector::Index{1}, S{3, -1, -2}, S{0, 5, 2}};  // x[1, 3::-2, ::2]
    const Array<double> got = ok(x.select(block));
    EXPECT_EQ(sizes(got.shape()), (Sizes{2, 3}));
    EXPECT_EQ(values(got), (std::vector<double>{35, 37, 39, 25, 27, 29}));
    const std::vector<Selector> column{S{0, 3, 1}, Selector::Index{-1}, Selector::Index{4}};  // x[:, -1, 4]
    EXPECT_EQ(values(ok(x.select(column))), (std::vector<double>{19, 39, 59}));
    EXPECT_EQ(sizes(ok(x.select(std::vector<Selector>{S{2, 2, 1}})).shape()), (Sizes{0, 4, 5}));
    // A refused plan comes back as the error, with nothing copied.
    const std::pair<std::vector<Selector>, ArrayError> errors[] = {
        {{S{0, 3, 1}, Selector::Index{-5}}, ArrayError::IndexOutOfBounds{-5, 1, 4}},
        {{Selector::Index{0}, Selector::Index{0}, Selector::Index{0}, Selector::Index{0}},
         ArrayError::TooManyIndices{4, 3}},
    };
    for (const auto& [selectors, error] : errors) {
        const auto r = x.select(selectors);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), error);
    }
}

TEST(TakeLeading, RowsAndErrors) {
    AnyArray b = ok(AnyArray(bools({1, 0, 0}, {3})).take_leading(std::vector<std::int64_t>{0, 0, 1}));
    EXPECT_EQ(values(*b.get_if<Bool>()), (std::vector<int>{1, 1, 0}));
    const std::tuple<Sizes, std::vector<std::int64_t>, ArrayError> errors[] = {
        {{3, 2}, {0, -4, 9}, ArrayError::IndexOutOfBounds{-4, 0, 3}},
        {{3, 0}, {5}, ArrayError::IndexOutOfBounds{5, 0, 3}},
        {{3}, {i64_min}, ArrayError::IndexOutOfBounds{i64_min, 0, 3}},
        {{}, {0}, ArrayError::TooManyIndices{1, 0}},
    };
    for (const auto& [shape, indices, error] : errors) {
        EXPECT_EQ(AnyArray(ok(Array<std::int64_t>::filled(shape, 1))).take_leading(indices).error(), error);
    }
}

TEST(Concatenate, ChecksInOrder) {
    AnyArray f(iota({2, 3})), f4(iota({2, 4})), i(i64({1, 2, 3, 4, 5, 6}, {2, 3})), one_d(iota({3}));
    AnyArray s(Array<double>::scalar(1)), s_int(Array<std::int64_t>::scalar(1));
    // Sizes whose sum is too big, and one that overflows 64 bits (the largest bool axis).
    AnyArray e(ok(Array<Bool>::filled(Sizes{std::uint64_t{1} << 62, 0}, Bool::False)));
    AnyArray big(ok(Array<Bool>::filled(Sizes{0, (std::uint64_t{1} << 63) - 1}, Bool::False)));
    struct Case {
        std::vector<const AnyArray*> arrays;
        std::int64_t axis;
        std::optional<std::string> message;  // empty: not handled natively
    };
    const Case cases[] = {
        {{}, 0, "need at least one array to concatenate"},
        {{&f, &i}, 0, {}},
        {{&s, &s_int}, 5, {}},  // kinds are checked before anything else
        {{&s, &s}, 0, "zero-dimensional arrays cannot be concatenated"},
        {{&f, &f4}, 2, "axis 2 is out of bounds for array of dimension 2"},
        {{&f, &f4}, -3, "axis -3 is out of bounds for array of dimension 2"},
        {{&f, &f4}, -2,
         "all the input array dimensions except for the concatenation axis must match exactly, but "
         "along dimension 1, sizes 3 and 4 differ"},
        {{&f, &one_d}, 0, "all the input arrays must have same number of dimensions"},
        {{&f, &f4}, 0,
         "all the input array dimensions except for the concatenation axis must match exactly, but "
         "along dimension 1, sizes 3 and 4 differ"},
        {{&f, &s}, 0, "all the input arrays must have same number of dimensions"},
        {{&e, &e}, 0, std::string(ARRAY_TOO_BIG)},
        {{&big, &big, &big}, 1, std::string(ARRAY_TOO_BIG)},
    };
    for (const Case& c : cases) {
        auto r = AnyArray::concatenate(c.arrays, c.axis);
        if (c.message) {
            ASSERT_FALSE(r);
            EXPECT_EQ(r.error().message(), *c.message);
        } else {
            ASSERT_TRUE(r);
            EXPECT_FALSE(r->has_value());
        }
    }
}

