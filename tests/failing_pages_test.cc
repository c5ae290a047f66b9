// The failing-pages table and the kernel parameter made of it.
#include "report/failing_pages.h"

#include <gtest/gtest.h>

namespace kelvaring {
namespace {

TEST(FailingPagesTest, ErrorsOfOnePageMergeAndTheListIsOrdered) {
  FailingPages pages;
  pages.add(0x7f0000001234, false, 1, 0x1, kFoundByCompare, 100);
  pages.add(0x5000, true, 2, 0x100, kFoundBySweep, 200);
  pages.add(0x5ffc, true, 1, 0x8, kFoundByCompare, 300);
  pages.add(0x3008, true, 1, 0, kFoundByHardware, 400, true);
  ASSERT_EQ(pages.pages().size(), 3u);
  const FailingPage& merged = pages.pages()[1];
  EXPECT_EQ(merged.address, 0x5000u);
  EXPECT_EQ(merged.errors, 3u);
  EXPECT_EQ(merged.failingBits, 0x108u);
  EXPECT_EQ(foundByText(merged.foundBy), "compare+sweep");
  EXPECT_EQ(merged.firstMilliseconds, 200);
  EXPECT_EQ(merged.lastMilliseconds, 300);
  EXPECT_EQ(pages.pages()[0].address, 0x3000u);  // physical pages first, in address order
  EXPECT_TRUE(pages.pages()[0].retiredByKernel);
  EXPECT_FALSE(pages.pages()[2].physical);
  EXPECT_EQ(pages.pages()[2].address, 0x7f0000001000u);
}

TEST(FailingPagesTest, PagesPastTheBoundAreCountedOnce) {
  FailingPages pages(2);
  for (uint64_t page : {1, 2, 3, 3, 4, 1}) pages.add(page * 4096, true, 1, 1, kFoundByCompare, 0);
  EXPECT_EQ(pages.pages().size(), 2u);
  EXPECT_EQ(pages.pages()[0].errors, 2u);  // a kept page still counts its errors
  EXPECT_EQ(pages.overflow(), 2u);         // pages 3 and 4
}

TEST(FailingPagesTest, MemmapRangesMergeAdjacentPages) {
  struct Row {
    std::vector<uint64_t> physical;
    std::string parameter;
  };
  for (const Row& row : std::vector<Row>{
           {{}, ""},
           {{0x12345000}, R"(memmap=4K\\\$0x12345000)"},
           {{0x2000, 0x1000, 0x3000}, R"(memmap=12K\\\$0x1000)"},
           {{0x1000, 0x3000, 0x100000000}, R"(memmap=4K\\\$0x1000 memmap=4K\\\$0x3000 memmap=4K\\\$0x100000000)"},
       }) {
    FailingPages pages;
    for (uint64_t address : row.physical) pages.add(address + 12, true, 1, 1, kFoundBySweep, 0);
    pages.add(0x4000, false, 1, 1, kFoundBySweep, 0);  // virtual: never in the parameter
    EXPECT_EQ(memmapParameter(pages.pages()), row.parameter);
  }
}

}  // namespace
}  // namespace kelvaring
