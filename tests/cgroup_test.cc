// The memory cgroup headroom, read from fake cgroup v1 and v2 trees.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <string>

#include "platform/platform_linux.h"

using kelvaring::platform::cgroupHeadroom;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20;
constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
// What cgroup v1 shows for "no limit".
const std::string kV1Unlimited = "9223372036854771712\n";

// A folder that stands for /sys/fs/cgroup; removed with its content.
class FakeTree {
 public:
  FakeTree() {
    char name[] = "/tmp/kelvaring-cgroup-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = name;
  }
  ~FakeTree() { fs::remove_all(root_); }
  const std::string& root() const { return root_; }

  // Files by path below the root; a path ending in '/' makes a folder.
  void add(const std::map<std::string, std::string>& files) const {
    for (const auto& [path, text] : files) {
      fs::path full = root_ + "/" + path;
      if (path.back() == '/') {
        fs::create_directories(full);
        continue;
      }
      fs::create_directories(full.parent_path());
      std::ofstream(full) << text;
    }
  }

 private:
  std::string root_;
};

// Mount lines of the usual layout: v1 memory at ROOT/memory, v2 at ROOT/unified.
std::string mounts(const std::string& root, const std::string& v1Root = "/") {
  return "22 1 0:21 / /proc rw - proc proc rw\n"
         "31 30 0:28 / " + root + "/cpu rw,relatime - cgroup cgroup rw,cpu\n"
         "34 30 0:31 " + v1Root + " " + root + "/memory rw,relatime shared:9 - cgroup cgroup rw,memory\n"
         "40 30 0:37 / " + root + "/unified rw,relatime shared:10 - cgroup2 cgroup2 rw,nsdelegate\n";
}

struct Case {
  const char* name;
  std::string cgroupText;
  std::map<std::string, std::string> files;
  uint64_t expected;
};

TEST(CgroupHeadroom, LeastHeadroomOfEveryLevel) {
  const Case cases[] = {
      {"v1 limit at the leaf",
       "4:memory:/a/b\n1:cpu:/\n",
       {{"memory/memory.limit_in_bytes", kV1Unlimited}, {"memory/memory.usage_in_bytes", "900000000\n"},
        {"memory/a/memory.limit_in_bytes", kV1Unlimited}, {"memory/a/memory.usage_in_bytes", "500000000\n"},
        {"memory/a/b/memory.limit_in_bytes", "1073741824\n"}, {"memory/a/b/memory.usage_in_bytes", "104857600\n"},
        // The cpu hierarchy is no memory cgroup, whatever its files say.
        {"cpu/memory.limit_in_bytes", "1\n"}, {"cpu/memory.usage_in_bytes", "0\n"}},
       924 * MiB},
      {"v1 limit at a parent, usage above it",
       "4:memory:/a/b\n",
       {{"memory/a/memory.limit_in_bytes", "536870912\n"}, {"memory/a/memory.usage_in_bytes", "314572800\n"},
        {"memory/a/b/memory.limit_in_bytes", kV1Unlimited}, {"memory/a/b/memory.usage_in_bytes", "104857600\n"},
        {"memory/c/memory.limit_in_bytes", "1\n"}, {"memory/c/memory.usage_in_bytes", "0\n"}},
       212 * MiB},
      {"v1 over the limit", "4:memory:/a\n",
       {{"memory/a/memory.limit_in_bytes", "1000\n"}, {"memory/a/memory.usage_in_bytes", "4096\n"}}, 0},
      {"v1 without limits",
       "4:memory:/a\n",
       {{"memory/memory.limit_in_bytes", kV1Unlimited}, {"memory/memory.usage_in_bytes", "314572800\n"},
        {"memory/a/memory.limit_in_bytes", kV1Unlimited}, {"memory/a/memory.usage_in_bytes", "104857600\n"}},
       9223372036854771712u - 300 * MiB},
      {"v1 hierarchical limit above the mounted tree",
       "4:memory:/a\n",
       {{"memory/a/memory.limit_in_bytes", kV1Unlimited}, {"memory/a/memory.usage_in_bytes", "104857600\n"},
        {"memory/a/memory.stat", "cache 0\nrss 1\nhierarchical_memory_limit 268435456\nhierarchical_memsw_limit 1\n"}},
       156 * MiB},
      {"v1 unreadable levels impose nothing",
       "4:memory:/a/b/c\n",
       {{"memory/memory.limit_in_bytes", "2147483648\n"}, {"memory/memory.usage_in_bytes", "1073741824\n"},
        {"memory/a/memory.limit_in_bytes", "garbage\n"}, {"memory/a/memory.usage_in_bytes", "0\n"},
        {"memory/a/b/memory.limit_in_bytes/", ""}, {"memory/a/b/memory.usage_in_bytes", "0\n"},
        {"memory/a/b/c/memory.limit_in_bytes", "1\n"}, {"memory/a/b/c/memory.stat", "hierarchical_memory_limit 1\n"}},
       1024 * MiB},
      {"v2 limit at the leaf",
       "0::/a/b\n",
       {{"unified/a/memory.max", "max\n"}, {"unified/a/memory.current", "500000000\n"},
        {"unified/a/b/memory.max", "1073741824\n"}, {"unified/a/b/memory.current", "104857600\n"}},
       924 * MiB},
      {"v2 limit at a parent",
       "0::/a/b\n",
       {{"unified/a/memory.max", "4294967296\n"}, {"unified/a/memory.current", "1073741824\n"},
        {"unified/a/b/memory.max", "max\n"}, {"unified/a/b/memory.current", "104857600\n"}},
       3072 * MiB},
      {"v2 without limits",
       "0::/a/b\n",
       {{"unified/a/memory.max", "max\n"}, {"unified/a/memory.current", "1\n"},
        {"unified/a/b/memory.max", "max\n"}, {"unified/a/b/memory.current", "1\n"}},
       kNone},
      {"v2 unreadable levels impose nothing",
       "0::/a/b\n",
       {{"unified/a/memory.max", "2147483648\n"}, {"unified/a/b/memory.max", "1\n"},
        {"unified/a/b/memory.current/", ""}},
       kNone},
      {"v1 and v2 together: the smaller",
       "4:memory:/a\n0::/b\n",
       {{"memory/a/memory.limit_in_bytes", "1073741824\n"}, {"memory/a/memory.usage_in_bytes", "0\n"},
        {"unified/b/memory.max", "536870912\n"}, {"unified/b/memory.current", "0\n"}},
       512 * MiB},
      {"no memory cgroup", "1:cpu:/a\n", {{"memory/a/memory.limit_in_bytes", "1\n"}}, kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTree tree;
    tree.add(c.files);
    EXPECT_EQ(cgroupHeadroom(c.cgroupText, mounts(tree.root())), c.expected);
  }
}

TEST(CgroupHeadroom, MountedTreeShowingPartOfTheHierarchy) {
  // A container's mount shows /docker/c1 at the mount point.
  FakeTree tree;
  tree.add({{"memory/memory.limit_in_bytes", "1073741824\n"}, {"memory/memory.usage_in_bytes", "0\n"},
            {"memory/sub/memory.limit_in_bytes", "536870912\n"}, {"memory/sub/memory.usage_in_bytes", "0\n"}});
  std::string mountinfo = mounts(tree.root(), "/docker/c1");
  EXPECT_EQ(cgroupHeadroom("4:memory:/docker/c1/sub\n", mountinfo), 512 * MiB);
  EXPECT_EQ(cgroupHeadroom("4:memory:/docker/c1\n", mountinfo), 1024 * MiB);
  // Outside the mounted part (or a mere name prefix): only the mount point is read.
  EXPECT_EQ(cgroupHeadroom("4:memory:/elsewhere/x\n", mountinfo), 1024 * MiB);
  EXPECT_EQ(cgroupHeadroom("4:memory:/docker/c10/sub\n", mountinfo), 1024 * MiB);
}

TEST(CgroupHeadroom, MountPointWithEscapedBlank) {
  FakeTree tree;
  tree.add({{"a b/x/memory.max", "1048576\n"}, {"a b/x/memory.current", "0\n"}});
  std::string mountinfo = "40 30 0:37 / " + tree.root() + "/a\\040b rw - cgroup2 cgroup2 rw\n";
  EXPECT_EQ(cgroupHeadroom("0::/x\n", mountinfo), MiB);
  EXPECT_EQ(cgroupHeadroom("0::/x\n", ""), kNone);
}

// The CPU quota as CPUs: the least of every level that sets one; the CPUs
// it leaves of an affinity mask of 8, the quota rounded up.
TEST(CgroupCpuQuota, LeastQuotaOfEveryLevel) {
  struct QuotaCase {
    const char* name;
    std::string cgroupText;
    std::map<std::string, std::string> files;
    double cpus;
    uint32_t workers;
  };
  const QuotaCase cases[] = {
      {"v2 at the leaf, none above", "0::/a/b\n",
       {{"unified/a/cpu.max", "max 100000\n"}, {"unified/a/b/cpu.max", "150000 100000\n"}}, 1.5, 2},
      {"v2 at a parent below the leaf's", "0::/a/b\n",
       {{"unified/a/cpu.max", "50000 100000\n"}, {"unified/a/b/cpu.max", "300000 100000\n"}}, 0.5, 1},
      {"v2 a hair above one CPU", "0::/a\n", {{"unified/a/cpu.max", "100001 100000\n"}}, 1.00001, 2},
      {"v2 whole CPUs", "0::/a\n", {{"unified/a/cpu.max", "300000 100000\n"}}, 3, 3},
      {"v2 above the affinity mask", "0::/a\n", {{"unified/a/cpu.max", "2000000 100000\n"}}, 20, 8},
      {"v2 none", "0::/a\n", {{"unified/a/cpu.max", "max 100000\n"}}, 0, 8},
      {"v1 at the leaf; -1 sets none", "1:cpu:/a\n",
       {{"cpu/cpu.cfs_quota_us", "-1\n"}, {"cpu/cpu.cfs_period_us", "100000\n"},
        {"cpu/a/cpu.cfs_quota_us", "250000\n"}, {"cpu/a/cpu.cfs_period_us", "100000\n"}}, 2.5, 3},
      {"v1 one and a half", "1:cpu:/a\n",
       {{"cpu/a/cpu.cfs_quota_us", "150000\n"}, {"cpu/a/cpu.cfs_period_us", "100000\n"}}, 1.5, 2},
      {"v1 a hair above one CPU", "1:cpu:/a\n",
       {{"cpu/a/cpu.cfs_quota_us", "100001\n"}, {"cpu/a/cpu.cfs_period_us", "100000\n"}}, 1.00001, 2},
      {"v1 half a CPU", "1:cpu:/a\n",
       {{"cpu/a/cpu.cfs_quota_us", "50000\n"}, {"cpu/a/cpu.cfs_period_us", "100000\n"}}, 0.5, 1},
      {"the memory hierarchy sets no CPU quota", "4:memory:/a\n",
       {{"memory/a/cpu.cfs_quota_us", "1000\n"}, {"memory/a/cpu.cfs_period_us", "100000\n"}}, 0, 8},
  };
  for (const QuotaCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTree tree;
    tree.add(c.files);
    const double cpus = kelvaring::platform::cgroupCpuQuota(c.cgroupText, mounts(tree.root()));
    EXPECT_DOUBLE_EQ(cpus, c.cpus);
    EXPECT_EQ(kelvaring::platform::cpusWithinQuota(8, cpus), c.workers);
  }
}

}  // namespace
