#include "base/NativeFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace quorvane::base {
namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// Descriptor 0 is a real descriptor and -1 is none: an owner that took 0 for
// none would leak it, one that took -1 for a descriptor would close(-1).
TEST(UniqueFd, OwnsEveryDescriptorButMinusOneAndClosesItOnce) {
  const UniqueFd none(-1);
  EXPECT_FALSE(none);

  UniqueFd zero(0);
  EXPECT_TRUE(zero);
  EXPECT_EQ(zero.release(), 0);  // standard input stays open

  const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  {
    UniqueFd first(fd);
    UniqueFd second(std::move(first));
    EXPECT_FALSE(first);
    first.reset();  // owns nothing any more: must not close the moved descriptor
    EXPECT_TRUE(IsOpen(fd));
  }
  EXPECT_FALSE(IsOpen(fd));
}

}  // namespace
}  // namespace quorvane::base
