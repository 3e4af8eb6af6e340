// Selection plans, gathering, take, the bounds of a broadcast walk and the checks of concatenation.
#include <limits>

#include "array/kernels.hpp"
#include "helpers.hpp"

using namespace corvantile;
using namespace corvantile::testing;

namespace {
using Index = Selector::Index;
using Slice = Selector::Slice;
constexpr std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();
}  // namespace

// The plan's (start, step, count) per axis, the same for every element kind, and the
// copy it selects from 0, 1, 2, ...
TEST(SelectionPlan, TriplesAndSelect) {
    struct Case {
        Sizes shape;
        std::vector<Selector> selectors;
        std::vector<PlanItem> items;
        Sizes result;
        std::vector<double> expect;
    };
    const Case cases[] = {
        {{5}, {Slice{4, -1, -1}}, {{4, -1, 5}}, {5}, {4, 3, 2, 1, 0}},
        {{5}, {Slice{1, 5, 2}}, {{1, 2, 2}}, {2}, {1, 3}},
        {{5}, {Slice{4, 0, -2}}, {{4, -2, 2}}, {2}, {4, 2}},
        {{5}, {Index{-1}}, {{4, 1, 1}}, {}, {4}},
        {{2, 3}, {Index{1}}, {{1, 1, 1}, {0, 1, 3}}, {3}, {3, 4, 5}},
        {{2, 3}, {Slice{1, -1, -1}}, {{1, -1, 2}, {0, 1, 3}}, {2, 3}, {3, 4, 5, 0, 1, 2}},
        {{2, 3}, {Slice{0, 2, 1}, Slice{2, -1, -2}}, {{0, 1, 2}, {2, -2, 2}}, {2, 2}, {2, 0, 5, 3}},
        {{2, 3, 4}, {Slice{0, 2, 1}, Index{2}}, {{0, 1, 2}, {2, 1, 1}, {0, 1, 4}}, {2, 4},
         {8, 9, 10, 11, 20, 21, 22, 23}},
        {{0}, {Slice{-1, -1, -1}}, {{static_cast<std::uint64_t>(-1), -1, 0}}, {0}, {}},
        {{3, 0}, {Slice{2, -1, -1}}, {{2, -1, 3}, {0, 1, 0}}, {3, 0}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(array::shape_str(c.shape));
        Array<double> a = iota(c.shape);
        SelectionPlan p = ok(a.selection_plan(c.selectors));
        EXPECT_EQ(std::vector<PlanItem>(p.axes().begin(), p.axes().end()), c.items);
        EXPECT_EQ(sizes(p.shape), c.result);
        SelectionPlan q = ok(AnyArray(ok(Array<Bool>::filled(c.shape, Bool::False))).selection_plan(c.selectors));
        EXPECT_EQ(std::vector<PlanItem>(q.axes().begin(), q.axes().end()), c.items);
        Array<double> r = ok(a.select(c.selectors));
        EXPECT_EQ(r.dims(), ok(ArrayDims::make(c.result, 8)));
        EXPECT_EQ(values(r), c.expect);
        EXPECT_FALSE(r.is_borrowed());
    }
    EXPECT_EQ(iota({2}).select(std::vector<Selector>{Index{2}}).error().message(),
              "index 2 is out of bounds for axis 0 with size 2");
}

TEST(SelectionPlan, Errors) {
    Array<double> a = iota({2, 3});
    const std::pair<std::vector<Selector>, ArrayError> errors[] = {
        {{Index{0}, Index{0}, Index{0}}, ArrayError::TooManyIndices{3, 2}},
        {{Slice{0, 2, 1}, Index{-4}}, ArrayError::IndexOutOfBounds{-4, 1, 3}},
        {{Index{2}, Index{9}}, ArrayError::IndexOutOfBounds{2, 0, 2}},  // the first failure
    };
    for (const auto& [selectors, error] : errors) EXPECT_EQ(a.selection_plan(selectors).error(), error);
    EXPECT_EQ(Array<double>::scalar(1).selection_plan(std::vector<Selector>{Index{0}}).error(),
              ArrayError(ArrayError::TooManyIndices{1, 0}));
    // Selectors that no normalised slice can produce are broken invariants.
    for (Slice bad : {Slice{0, 2, 0}, Slice{0, 5, 1}, Slice{i64_min, std::numeric_limits<std::int64_t>::max(), 1}}) {
        EXPECT_THROW((void)a.selection_plan(std::vector<Selector>{bad}), InternalFailure);
    }
}

TEST(Gather, AppendsAtTheCursor) {
    Array<std::int64_t> a = i64({0, 1, 2, 3, 4, 5}, {2, 3});
    SelectionPlan p = ok(a.selection_plan(std::vector<Selector>{Slice{1, -1, -1}, Slice{0, 3, 2}}));
    std::vector<std::int64_t> out(5, -1);
    std::int64_t* cursor = out.data() + 1;
    array::gather<std::int64_t>(a.elements(), p, a.dims().element_strides(), 0, 0, cursor);
    EXPECT_EQ(cursor, out.data() + 5);
    EXPECT_EQ(out, (std::vector<std::int64_t>{-1, 3, 5, 0, 2}));
    // A plan that reaches outside the source is a broken invariant, not a read.
    SelectionPlan bogus = p;
    bogus.items[1] = {2, 1, 2};
    cursor = out.data();
    EXPECT_THROW(array::gather<std::int64_t>(a.elements(), bogus, a.dims().element_strides(), 0, 0, cursor),
                 InternalFailure);
}

// The last element a walk reaches must lie inside its operand.
TEST(Gather, WalkBounds) {
    EXPECT_NO_THROW(detail::check_walk_bounds(Shape{2, 3}, Shape{3, 1}, 6));
    EXPECT_THROW(detail::check_walk_bounds(Shape{2, 3}, Shape{3, 1}, 5), InternalFailure);
    EXPECT_THROW(detail::check_walk_bounds(Shape{4}, Shape{0}, 0), InternalFailure);
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

