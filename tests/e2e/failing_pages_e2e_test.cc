// The failing pages of a run: listed before the summary with the kernel
// parameter that excludes them, and taken out of service with `retire=1`.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "program.h"

namespace e2e {
namespace {

// A run with verbose: a bit of word 1000 of B flipped once it tests, then a
// stop; the location line's physical addresses of A's and B's word (groups 1
// and 2) and the exit status.
ExitStatus flipAndStop(Program& run, Match& location) {
  run.expectOut(R"(\r\d+ cycles)");
  EXPECT_TRUE(run.flipInB(1000, 1u << 8));
  location = run.expectOut(R"(Physical \[([0-9A-F]{16})\] vs \[([0-9A-F]{16})\], failing bits 00000100\n)");
  return run.stop(SIGINT);
}

// A flipped word of B, as root (physical addresses visible): both words'
// pages are listed with their physical addresses, the parameter names them,
// the summary stays the last line and the status is 1.
TEST(FailingPages, FlippedWordIsListedWithTheKernelParameter) {
  if (geteuid() != 0) GTEST_SKIP() << "not root: physical addresses are hidden from other users";
  Program run({.args = {"16"}, .settings = "[tweak]\nverbose=1\nlog=run.jsonl\n"});
  Match location;
  ExitStatus status = flipAndStop(run, location);
  ASSERT_TRUE(location);
  EXPECT_TRUE(status.exited_with(1)) << status;
  const std::string out = run.out();
  const std::string pageA = location.groups[1].substr(0, 13) + "000", pageB = location.groups[2].substr(0, 13) + "000";
  // The list starts on a line of its own, the progress line blanked.
  EXPECT_NE(out.find(std::string(79, ' ') + "\rFailing page "), std::string::npos) << out;
  for (const std::string& page : {pageA, pageB})
    EXPECT_NE(out.find("Failing page " + page + " (physical): 1 error, failing bits 00000100, found by "),
              std::string::npos)
        << out;
  const std::regex parameter(R"(\nKernel parameter to keep them out of use from the next boot \(/etc/default/grub\): )"
                             R"((memmap=4K\\\\\\\$0x[0-9a-f]+ ?){1,2}\n\rFAIL: 1 error found in \d+:\d\d:\d\d {10}\n)"
                             R"(\rErrors 1, [^\n]*\nFinished \d\d:\d\d:\d\d\n$)");
  EXPECT_TRUE(std::regex_search(out, parameter)) << out;
  char memmapB[64];
  std::snprintf(memmapB, sizeof memmapB, "4K\\\\\\$0x%llx", std::stoull(pageB, nullptr, 16));
  EXPECT_NE(out.find(memmapB), std::string::npos) << out;
  const std::string log = run.dir().read_file("run.jsonl");
  EXPECT_NE(log.find("{\"page\":\"" + pageB + "\",\"physical\":true,\"errors\":1,\"failing_bits\":\"00000100\""),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(std::string("\"kernel_parameter\":\"") + "memmap="), std::string::npos) << log;
}

// retire=1 where pages cannot be retired (an unprivileged user, or no
// soft-offline file): one line says so, the run goes on and ends as ever.
TEST(FailingPages, RetirementNotAvailableIsOneLineAndTheRunGoesOn) {
  const bool asNobody = geteuid() == 0;
  if (asNobody && access(kAsNobody[0].c_str(), X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
  if (!asNobody && access("/sys/devices/system/memory/soft_offline_page", W_OK) == 0)
    GTEST_SKIP() << "this user may retire pages";
  Program run({.args = {"8"},
               .settings = "[tweak]\nretire=1\n",
               .wrapper = asNobody ? kAsNobody : std::vector<std::string>{},
               .openToAll = asNobody});
  run.expectOut(std::string(kAllocationLine) + R"(Page retirement is not available: [^\n]+\.\n\r)");
  ExitStatus status = run.stop(SIGINT);
  EXPECT_TRUE(status.exited_with(0)) << status << run.err();
  EXPECT_EQ(run.err(), "");
}

// Where the kernel can soft-offline pages (root, a kernel with memory
// failure handling): the flipped page is retired at the end of the run and
// its frame is marked as poisoned.
TEST(FailingPages, RetiredPageIsPoisonedInTheKernelsFlags) {
  if (geteuid() != 0) GTEST_SKIP() << "not root";
  if (access("/sys/devices/system/memory/soft_offline_page", W_OK) != 0)
    GTEST_SKIP() << "this kernel has no soft_offline_page (built without memory failure handling)";
  Program run({.args = {"16"}, .settings = "[tweak]\nverbose=1\nretire=1\n"});
  Match location;
  ExitStatus status = flipAndStop(run, location);
  ASSERT_TRUE(location);
  EXPECT_TRUE(status.exited_with(1)) << status;
  const std::uint64_t frame = std::stoull(location.groups[2], nullptr, 16) >> 12;
  char line[64];
  std::snprintf(line, sizeof line, "Page %016llX retired.\n", static_cast<unsigned long long>(frame << 12));
  EXPECT_NE(run.out().find(line), std::string::npos) << run.out();
  std::ifstream flags("/proc/kpageflags", std::ios::binary);
  flags.seekg(static_cast<std::streamoff>(frame * 8));
  std::uint64_t word = 0;
  flags.read(reinterpret_cast<char*>(&word), sizeof word);
  EXPECT_NE(word & (std::uint64_t{1} << 19), 0u) << "frame " << frame << " not poisoned";
}

}  // namespace
}  // namespace e2e
