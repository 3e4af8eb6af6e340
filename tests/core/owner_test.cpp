// Owner handles and borrowed storage: every reference taken is released exactly once.
#include <map>

#include "helpers.hpp"

using namespace corvantile;
using namespace corvantile::testing;

namespace {

std::map<void*, int> live;  // references held per fake object

class OwnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        live.clear();
        set_owner_hooks({[](void* p) { ++live[p]; }, [](void* p) { --live[p]; }});
    }
    void TearDown() override { set_owner_hooks({nullptr, nullptr}); }
    // A reference the test "owns", as the Python layer would after an INCREF.
    static Owner take(void* p) {
        ++live[p];
        return Owner::adopt(p);
    }
};

}  // namespace

TEST_F(OwnerTest, CopyMoveResetDetach) {
    void* obj = fake_ref(0x1000);
    {
        Owner a = take(obj);
        Owner b = a;             // acquire
        Owner c = std::move(b);  // no change
        EXPECT_FALSE(b);
        EXPECT_EQ(live[obj], 2);
        c.reset();
        EXPECT_EQ(live[obj], 1);
        c = a;
        c = c;  // self-assignment keeps the one reference
        EXPECT_EQ(c.detach(), obj);  // handed to the caller, not released
        EXPECT_EQ(live[obj], 2);
        --live[obj];
    }
    EXPECT_EQ(live[obj], 0);
    EXPECT_FALSE(Owner());
}

TEST_F(OwnerTest, BorrowedStorageReleasesOnce) {
    void* obj = fake_ref(0x2000);
    Array<double> base = iota({6});
    {
        Array<double> v = Array<double>::view(base, 2, Sizes{2, 2}, take(obj));
        EXPECT_TRUE(v.is_borrowed());
        AnyArray any(std::move(v));
        AnyArray again(std::move(any));
        EXPECT_EQ(live[obj], 1);
        // A view of the view names the same root owner with a reference of its own.
        const Array<double>& inner = *again.get_if<double>();
        Array<double> vv = Array<double>::view(inner, 1, Sizes{3}, inner.owner());
        EXPECT_EQ(live[obj], 2);
        EXPECT_EQ(values(vv), (std::vector<double>{3, 4, 5}));
        // Writes reach the base; a clone owns its buffer and holds no reference.
        vv.data()[0] = 30;
        EXPECT_EQ(base.data()[3], 30);
        AnyArray copy = again.clone();
        EXPECT_FALSE(copy.is_borrowed());
        static_cast<double*>(copy.raw_data())[1] = -1;
        EXPECT_EQ(base.data()[3], 30);
        EXPECT_EQ(live[obj], 2);
    }
    EXPECT_EQ(live[obj], 0);
    std::int64_t memory[6] = {1, 2, 3, 4, 5, 6};
    {
        auto a = Array<std::int64_t>::borrowed(memory + 2, ok(ArrayDims::make(Sizes{2, 2}, 8)), take(obj));
        EXPECT_EQ(values(a), (std::vector<std::int64_t>{3, 4, 5, 6}));
        EXPECT_EQ(a.data(), memory + 2);
    }
    EXPECT_EQ(live[obj], 0);
    // A view outside its base is a broken invariant; the handle passed in is released.
    EXPECT_THROW((void)Array<double>::view(base, 5, Sizes{2}, take(obj)), InternalFailure);
    EXPECT_THROW((void)Array<double>::view(base, ~std::uint64_t{0}, Sizes{2}, take(obj)), InternalFailure);
    EXPECT_EQ(live[obj], 0);
    Array<double> whole = Array<double>::view(base, 0, Sizes{6}, take(obj));
    Array<double> empty = Array<double>::view(base, 6, Sizes{0}, take(obj));
    EXPECT_EQ(live[obj], 2);
}
