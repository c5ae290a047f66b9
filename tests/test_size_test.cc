#include "app/test_size.h"

#include <gtest/gtest.h>

using namespace kelvaring;

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;

TEST(TestSize, ReserveIsAFloorAndASixteenth) {
  EXPECT_EQ(memoryReserve(0), 64 * MiB);
  EXPECT_EQ(memoryReserve(1024 * MiB), 128 * MiB);
  EXPECT_EQ(memoryReserve(24 * 1024 * MiB), (64 + 1536) * MiB);
}

TEST(TestSize, DefaultAndGivenSizesWithinAvailableLessReserve) {
  struct Case {
    uint32_t megabytes;
    uint64_t available;
    uint64_t expected;
  };
  const Case cases[] = {
      // A 1 GiB cgroup: 1024 - 64 - 64.
      {0, 1024 * MiB, 896 * MiB},
      {896, 1024 * MiB, 896 * MiB},
      {897, 1024 * MiB, 0},
      {2048, 1024 * MiB, 0},
      {1, 1024 * MiB, 1 * MiB},
      // A 4 GiB cgroup: 4096 - 64 - 256.
      {0, 4096 * MiB, 3776 * MiB},
      // Not a whole number of MiB: the default is rounded down to one.
      {0, 1000 * MiB + 12345, 873 * MiB},
      {873, 1000 * MiB + 12345, 873 * MiB},
      {874, 1000 * MiB + 12345, 0},
      // Less than the reserve, or nothing left: nothing fits.
      {0, 68 * MiB, 0},
      {1, 68 * MiB, 0},
      {0, 0, 0},
      {1, 0, 0},
      // The largest count: 2 PiB.
      {0x7FFFFFFF, 24 * 1024 * MiB, 0},
      // Nothing known (an old kernel): a given size is tried as it is, and
      // there is no default.
      {0, ~uint64_t{0}, 0},
      {3, ~uint64_t{0}, 3 * MiB},
      {0x7FFFFFFF, ~uint64_t{0}, uint64_t{0x7FFFFFFF} << 20},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(testSize(c.megabytes, c.available), c.expected) << c.megabytes << " of " << c.available;
  }
}

// A share of what no size takes, in whole MiB: 100 % is the default size.
TEST(TestSize, ShareOfTheDefaultSize) {
  EXPECT_EQ(shareOfDefault(100, 1024 * MiB), 896 * MiB);
  EXPECT_EQ(shareOfDefault(50, 1024 * MiB), 448 * MiB);
  EXPECT_EQ(shareOfDefault(33, 1024 * MiB), 295 * MiB);  // 295.68 rounded down
  EXPECT_EQ(shareOfDefault(1, 68 * MiB), 0u);
  EXPECT_EQ(shareOfDefault(50, ~uint64_t{0}), 0u);
  // 24 TiB available: no overflow.
  EXPECT_EQ(shareOfDefault(100, uint64_t{24} << 40), testSize(0, uint64_t{24} << 40));
}

}  // namespace
