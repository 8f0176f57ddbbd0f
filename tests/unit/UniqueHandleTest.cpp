// The one owner of C handles: each handle closed once, whatever moves, replaces or gives it up.
#include "PAL/UniqueHandle.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

std::vector<int> closed;

struct CountedTraits {
    using Type = int;
    static Type invalid() noexcept { return -1; }
    static void close(Type handle) noexcept { closed.push_back(handle); }
};
using Counted = PAL::UniqueHandle<CountedTraits>;

TEST(UniqueHandleTest, EachHandleIsClosedOnceAndAnEmptyOneNever) {
    closed.clear();
    {
        Counted a(1);
        Counted b(2);
        b = std::move(a); // 2 closed; 1 moves on
        Counted c(std::move(b));
        *c.put() = 3; // 1 closed; 3 taken from an out-parameter
        c.reset(4);   // 3 closed
        Counted d(5);
        EXPECT_EQ(5, d.release());
        EXPECT_FALSE(d);
        Counted none;
    } // 4 closed; d, none and the moved-from hold nothing
    EXPECT_EQ((std::vector<int>{2, 1, 3, 4}), closed);
}

} // namespace
