#include "base/Unique.h"

#include <gtest/gtest.h>

#include <vector>

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
    EXPECT_FALSE(a);
    EXPECT_TRUE(closed.empty());

    UniqueNumber c(2);
    c = std::move(b);  // 2 goes, 1 moves in
    EXPECT_EQ(closed, std::vector<int>({2}));
    EXPECT_EQ(c.get(), 1);

    auto& alias = c;
    c = std::move(alias);  // self-move keeps the value
    EXPECT_EQ(c.get(), 1);

    *c.put() = 3;  // put closes what was held
    EXPECT_EQ(closed, std::vector<int>({2, 1}));

    UniqueNumber d(4);
    EXPECT_EQ(d.release(), 4);  // released: the caller closes it
    UniqueNumber empty;
    empty.reset();
  }
  EXPECT_EQ(closed, std::vector<int>({2, 1, 3}));
}

}  // namespace
}  // namespace quorvane::base
