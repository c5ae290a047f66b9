// The memory a run takes: within its cgroup, checked before the fill, locked
// in RAM.
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "cgroup.h"
#include "program.h"

namespace e2e {
namespace {

constexpr std::uint64_t MiB = std::uint64_t{1} << 20;

// A line of /proc/PID/status, e.g. "VmLck:", as its number.
std::optional<long> statusField(pid_t pid, const std::string& key) {
  std::ifstream status(proc(pid, "status"));
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, key.size(), key) == 0) return std::stol(line.substr(key.size()));
  return std::nullopt;
}

std::string oomScoreAdjustment(pid_t pid) {
  std::ifstream file(proc(pid, "oom_score_adj"));
  std::string value;
  file >> value;
  return value;
}

TEST(MemoryLimits, DefaultSizeFillsMostOfAOneGibCgroupWithoutOomKill) {
  // The sanitizers' shadow memory of the buffers is charged to the cgroup too.
  if (sanitizedBuild()) GTEST_SKIP() << "sanitizers need memory beside the buffers that the reserve does not cover";
  MemoryCgroup cgroup(1024 * MiB);
  if (cgroup.folder().empty()) GTEST_SKIP() << cgroup.whyNot();
  {
    Program run({.cgroup = cgroup.folder()});
    Match allocated = run.expectOut(kAllocationLine, Millis(60000));
    ASSERT_TRUE(allocated);
    int megabytes = std::stoi(allocated.groups[1]);
    EXPECT_GE(megabytes, 600);
    // 1024 MiB less the reserve of 64 MiB and a sixteenth.
    EXPECT_LE(megabytes, 896);
    run.expectOut(R"(\r\d+ cycles)");
    ExitStatus status = run.stop(SIGINT);
    EXPECT_TRUE(status.exited_with(0)) << status << "\n" << run.err();
  }
  EXPECT_EQ(cgroup.oomKills(), 0);
}

TEST(MemoryLimits, SizeBeyondTheCgroupFailsBeforeTheFill) {
  MemoryCgroup cgroup(1024 * MiB);
  if (cgroup.folder().empty()) GTEST_SKIP() << cgroup.whyNot();
  // 2048 asks for more than the cgroup holds; the other two saturate at the
  // largest count. Wrapped, they would ask for all memory or for 64 MiB.
  for (const char* size : {"2048", "4294967296", "4294967360"}) {
    SCOPED_TRACE(size);
    Program run({.args = {size}, .cgroup = cgroup.folder()});
    ExitStatus status = run.process().wait_exit(Millis(30000));
    EXPECT_TRUE(status.exited_with(26)) << status;
    EXPECT_EQ(run.err(), "Memory allocation failed.\n");
    EXPECT_EQ(run.out().find("allocated"), std::string::npos) << run.out();
  }
  EXPECT_EQ(cgroup.oomKills(), 0);
  // Not one of the buffers' pages was touched.
  EXPECT_LT(cgroup.maxUsage().value_or(0), 256 * MiB);
}

TEST(MemoryLocking, BothBuffersLockedAndFirstForTheOomKiller) {
  if (geteuid() != 0) GTEST_SKIP() << "locking 40 MiB needs root beyond the usual RLIMIT_MEMLOCK";
  // 40 MiB: two buffers of 20 MiB.
  Program run({.args = {"40"}, .settings = "[tweak]\nverbose=1\n"});
  ASSERT_TRUE(run.expectOut(std::string(kAllocationLine) + R"(Buffers locked in RAM\.\nECC counts (not )?watched\.\nStarted )"));
  EXPECT_GE(statusField(run.process().pid(), "VmLck:").value_or(0), 40 * 1024);
  EXPECT_EQ(oomScoreAdjustment(run.process().pid()), "1000");
  EXPECT_TRUE(run.stop(SIGINT).exited_with(0));
}

TEST(MemoryLocking, RefusedLockLeavesTheRunGoingUnlocked) {
  // Root gives up its privileges here; anyone else has none to give.
  if (geteuid() == 0 && access(kAsNobody[0].c_str(), X_OK) != 0) GTEST_SKIP() << "setpriv is not installed";
  Program run({.args = {"8"},
               .settings = "[tweak]\nverbose=1\n",
               .wrapper = geteuid() == 0 ? kAsNobody : std::vector<std::string>{},
               .openToAll = true,
               .memlockLimit = 1 * MiB});
  ASSERT_TRUE(run.expectOut(std::string(kAllocationLine) + R"(Buffers not locked in RAM\.\nECC counts (not )?watched\.\nStarted [^]*\r\d+ cycles)"));
  EXPECT_EQ(statusField(run.process().pid(), "VmLck:"), 0);
  EXPECT_TRUE(run.stop(SIGINT).exited_with(0)) << run.err();
}

}  // namespace
}  // namespace e2e
