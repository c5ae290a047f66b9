// What the worker's inner loop does to memory, seen from outside: every read
// and write a real access in order, no system call and no allocation.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system_info.h"
#include "capture.h"
#include "test_state.h"
#include "engine/engine.h"
#include "kelvaring/state.h"
#include "random/subtractive_random.h"

// Counts every allocation of this test program. The replacement pairs
// malloc with free itself, which the compiler cannot see.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
std::atomic<uint64_t> allocations{0};
void* operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace kelvaring {
namespace {

using InnerLoopTest = testing::StateTest;

TEST_F(InnerLoopTest, CycleAllocatesNothing) {
  testing::OutputCapture quiet;
  seedRandomAt(run, 1);
  ASSERT_TRUE(allocateBuffers(run, 8 << 20));
  run.settings.verbose = run.settings.method = 1;
  run.bufferB.at(5) = 0;  // mismatch handling runs too
  uint64_t before = allocations.load();
  runCycle(oneWorker(run));
  EXPECT_EQ(allocations.load(), before);
  EXPECT_TRUE(run.errorSeen);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Any system call but the final exit kills the process.
void allowNoSystemCalls() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_exit_group, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
}

TEST_F(InnerLoopTest, CycleMakesNoSystemCall) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto cycleUnderFilter = [this](bool thenCallTheSystem) {
    seedRandomAt(run, 1);
    if (!allocateBuffers(run, 1 << 20)) std::_Exit(3);
    run.settings.verbose = run.settings.method = 1;
    run.bufferB.at(5) = 0;
    // The monitor has not looked since the last wake-up: the mismatch
    // wakes nobody, and the cycle makes no system call at all.
    run.errorSeen = true;
    allowNoSystemCalls();
    runCycle(oneWorker(run));
    // Shows that the filter is in force.
    if (thenCallTheSystem) syscall(SYS_getpid);
    syscall(SYS_exit_group, 7);
  };
  EXPECT_EXIT(cycleUnderFilter(false), ::testing::ExitedWithCode(7), "");
  EXPECT_EXIT(cycleUnderFilter(true), ::testing::KilledBySignal(SIGSYS), "");
}
#endif

#ifdef ACCESS_PROBE
struct Access {
  char kind;  // L load, S store, M both at once
  uint64_t address;
  int size;
  bool operator==(const Access&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Access& a) {
  return out << a.kind << ' ' << std::hex << a.address << std::dec << ',' << a.size;
}

// The probe's accesses to its two buffers of eight words, as valgrind's
// lackey tool records them.
std::vector<Access> traceCycle(int operations, bool plant, uint64_t& a, uint64_t& b,
                               const std::string& workerCyclesAndSweep = "") {
  char trace[] = "/tmp/kelvaring-trace-XXXXXX";
  int fd = mkstemp(trace);
  close(fd);
  std::string addresses = std::string(trace) + ".addr";
  std::string command = "valgrind --tool=lackey --trace-mem=yes --log-file=" + std::string(trace) + " " +
                        ACCESS_PROBE + " " + std::to_string(operations) + (plant ? " 1" : " 0") + " " +
                        workerCyclesAndSweep + " >" +
                        addresses + " 2>/dev/null";
  int status = std::system(command.c_str());
  // The probe's last line holds the two addresses.
  std::ifstream printed(addresses);
  std::string last;
  for (std::string line; std::getline(printed, line);) last = line;
  std::istringstream(last) >> std::hex >> a >> b;
  std::vector<Access> accesses;
  std::ifstream lines(trace);
  std::string line;
  while (status == 0 && std::getline(lines, line)) {
    std::istringstream in(line);
    Access access{};
    char comma;
    if (!(in >> access.kind >> std::hex >> access.address >> comma >> std::dec >> access.size)) continue;
    if (access.kind == 'I') continue;
    bool inA = access.address >= a && access.address < a + 32;
    bool inB = access.address >= b && access.address < b + 32;
    if (inA || inB) accesses.push_back(access);
  }
  std::remove(trace);
  std::remove(addresses.c_str());
  return accesses;
}

TEST(InnerLoopTrace, EveryReadAndWriteIsARealAccessInOrder) {
  if (std::system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "valgrind is not installed";
  for (bool plant : {false, true}) {
    SCOPED_TRACE(plant ? "with a mismatch" : "without a mismatch");
    const int operations = 24;
    uint64_t a = 0, b = 0;
    std::vector<Access> trace = traceCycle(operations, plant, a, b);
    ASSERT_NE(a, 0u);

    std::vector<Access> expected;
    auto load = [&](uint64_t base, uint64_t i) { expected.push_back({'L', base + 4 * i, 4}); };
    auto store = [&](uint64_t base, uint64_t i) { expected.push_back({'S', base + 4 * i, 4}); };
    for (uint64_t i = 0; i < 8; ++i) store(a, i), store(b, i);
    SubtractiveRandom g;
    seedGenerator(g, 1103285978, platform::noticeText());
    if (plant) {
      SubtractiveRandom first = g;
      store(b, nextRandom(first) % 8);  // the probe's planted word
    }
    bool mismatch = plant;
    for (int op = 0; op < operations; ++op) {
      uint64_t i = nextRandom(g) % 8;
      nextRandom(g);
      load(a, i), load(b, i);
      if (mismatch) {
        load(a, i), load(b, i);  // the bits for the sticky mask
        load(a, i), load(b, i);  // the detail
        mismatch = false;
      }
      store(a, i), store(b, i);
      load(a, i), load(b, i);
    }
    ASSERT_GE(trace.size(), expected.size());
    // Earlier users of the same addresses may show up first; the buffers'
    // own accesses are the last ones.
    std::vector<Access> tail(trace.end() - static_cast<long>(expected.size()), trace.end());
    EXPECT_EQ(tail, expected);
  }
}

// The worker for two cycles: with sweep=0 nothing reads the buffers between
// the cycles, nor after them; with sweep=100 a sweep reads every pair, A
// then B, after each cycle.
TEST(InnerLoopTrace, NoReadBetweenCyclesWithoutSweep) {
  if (std::system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "valgrind is not installed";
  for (int sweep : {0, 100}) {
    SCOPED_TRACE(sweep);
    const int operations = 24;
    uint64_t a = 0, b = 0;
    std::vector<Access> trace = traceCycle(operations, false, a, b, "2 " + std::to_string(sweep));
    ASSERT_NE(a, 0u);
    std::vector<Access> expected;
    SubtractiveRandom g;
    seedGenerator(g, 1103285978, platform::noticeText());
    for (int cycle = 0; cycle < 2; ++cycle) {
      for (int op = 0; op < operations; ++op) {
        uint64_t i = nextRandom(g) % 8;
        nextRandom(g);
        expected.push_back({'L', a + 4 * i, 4}), expected.push_back({'L', b + 4 * i, 4});
        expected.push_back({'S', a + 4 * i, 4}), expected.push_back({'S', b + 4 * i, 4});
        expected.push_back({'L', a + 4 * i, 4}), expected.push_back({'L', b + 4 * i, 4});
      }
      for (uint64_t i = 0; sweep != 0 && i < 8; ++i)
        expected.push_back({'L', a + 4 * i, 4}), expected.push_back({'L', b + 4 * i, 4});
    }
    // After the fill's sixteen stores.
    ASSERT_GE(trace.size(), expected.size() + 16);
    std::vector<Access> tail(trace.end() - static_cast<long>(expected.size()), trace.end());
    EXPECT_EQ(tail, expected);
    EXPECT_EQ(trace[trace.size() - expected.size() - 1].kind, 'S') << "a read before the first cycle";
  }
}
#endif

}  // namespace
}  // namespace kelvaring
