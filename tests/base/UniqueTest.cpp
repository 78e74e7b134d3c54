#include "base/Unique.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/NativeFile.h"

namespace quorvane::base {
namespace {

std::vector<int> closed;
void RecordClose(int value) noexcept { closed.push_back(value); }
using UniqueNumber = unique_any<int, &RecordClose>;

TEST(UniqueAny, ClosesEachValueExactlyOnceThroughMovesAndResets) {
  closed.clear();
  {
    UniqueNumber a(1);
    UniqueNumber b(std::move(a));

    UniqueNumber c(2);
    c = std::move(b);  // 2 goes, 1 moves in

    auto& alias = c;
    c = std::move(alias);  // self-move keeps the value
    EXPECT_EQ(c.get(), 1);

    *c.put() = 3;  // put closes what was held

    UniqueNumber d(4);
    EXPECT_EQ(d.release(), 4);  // released: the caller closes it
  }
  EXPECT_EQ(closed, std::vector<int>({2, 1, 3}));  // in the order each was let go
}

#ifndef _WIN32
// Descriptor 0 is a real descriptor and -1 is none: an owner that took 0 for
// none would leak it, one that took -1 for a descriptor would close(-1).
TEST(UniqueFd, OwnsEveryDescriptorButMinusOne) {
  EXPECT_FALSE(UniqueFd(-1));
  UniqueFd zero(0);
  EXPECT_TRUE(zero);
  EXPECT_EQ(zero.release(), 0);  // standard input stays open
}
#endif

}  // namespace
}  // namespace quorvane::base
