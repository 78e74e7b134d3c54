#include "base/Path.h"

#include <gtest/gtest.h>

namespace quorvane::base {
namespace {

TEST(JoinPath, PutsExactlyOneBackslashBetween) {
  EXPECT_EQ(JoinPath("C:\\Data", "Book1.xls"), "C:\\Data\\Book1.xls");
  EXPECT_EQ(JoinPath("C:\\", "Book1.xls"), "C:\\Book1.xls");
  EXPECT_EQ(JoinPath("\\\\srv\\share\\Dir", "a.xls"), "\\\\srv\\share\\Dir\\a.xls");
  EXPECT_EQ(JoinPath("C:\\My Data", "Mixed Case.XLS"), "C:\\My Data\\Mixed Case.XLS");
}

}  // namespace
}  // namespace quorvane::base
