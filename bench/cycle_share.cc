// The cycle's share of its limit (the plain kernel of the same traffic over
// the same buffers) without Google Benchmark, so that the same measurement
// runs on every system the program builds for, Windows under Wine included.
//
//   kelvaring_cycle_share [MIB [ITERATIONS]]...   default: 64 20 1024 3
//   kelvaring_cycle_share -t THREADS [MIB [ITERATIONS]]...
//
// Per iteration one runCycle and one limit cycle, each timed in processor
// time of the thread; prints the sums' ratio per size. Run both builds on
// the same machine the same day and compare the shares. With -t, the limit
// alone on THREADS threads at once, each over its slice as the workers of
// a team: their rates added up (bench/program_rate.py compares a team's
// rate with it).
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "limit_kernel.h"
#include "random/subtractive_random.h"

namespace kelvaring {
namespace {

// The benchmark's run: its buffers, its workers and their counters.
TestRun run;

// The team made one worker over all words with the whole cycle.
Worker& oneWorker(TestRun& run) {
  setUpWorkers(run, 1);
  return run.workers[0];
}


constexpr uint32_t kSeedTime = 1103285978;

double threadSeconds() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  auto ticks = [](FILETIME t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
  return double(ticks(kernel) + ticks(user)) * 1e-7;
#else
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
#endif
}

template <typename Work>
double secondsOf(Work work) {
  const double start = threadSeconds();
  work();
  return threadSeconds() - start;
}

bool measure(uint64_t mebibytes, unsigned iterations) {
  seedRandomAt(run, kSeedTime);
  if (!allocateBuffers(run, mebibytes << 20)) {
    std::fprintf(stderr, "%" PRIu64 " MiB: allocation failed\n", mebibytes);
    return false;
  }
  TestBuffer& a = run.bufferA;
  TestBuffer& b = run.bufferB;
  const uint32_t ops = run.opsPerCycle;
  const auto words = static_cast<uint32_t>(a.wordCount);
  uint64_t seed = 88172645463325252ULL;
  uint64_t mismatches = 0;
  double cycleSeconds = 0, limitSeconds = 0;
  for (unsigned i = 0; i < iterations; ++i) {
    cycleSeconds += secondsOf([] { runCycle(oneWorker(run)); });
    limitSeconds += secondsOf([&] { mismatches += bench::limitCycle(a.base, b.base, words, ops, seed); });
  }
  const double total = double(iterations) * ops;
  std::printf("%6" PRIu64 " MiB  %3u iterations  cycle %.3g ops/s  limit %.3g ops/s  share %.3f%s\n", mebibytes,
              iterations, total / cycleSeconds, total / limitSeconds, limitSeconds / cycleSeconds,
              mismatches != 0 || run.errorSeen ? "  (mismatch!)" : "");
  run.bufferA.release();
  run.bufferB.release();
  return mismatches == 0;
}

bool measureLimit(uint64_t mebibytes, unsigned iterations, uint32_t threads) {
  if (!allocateBuffers(run, mebibytes << 20)) {
    std::fprintf(stderr, "%" PRIu64 " MiB: allocation failed\n", mebibytes);
    return false;
  }
  std::vector<double> seconds(threads, 0), operations(threads, 0);
  uint64_t mismatches = 0;
  for (unsigned i = 0; i < iterations; ++i)
    mismatches += bench::limitCycleOnThreads(run.bufferA.base, run.bufferB.base, run.bufferA.wordCount,
                                             run.opsPerCycle, threads, seconds.data(), operations.data());
  double rate = 0;
  for (uint32_t t = 0; t < threads; ++t) rate += operations[t] / seconds[t];
  std::printf("%6" PRIu64 " MiB  %3u iterations  %u threads  limit %.3g ops/s%s\n", mebibytes, iterations, threads, rate,
              mismatches != 0 ? "  (mismatch!)" : "");
  run.bufferA.release();
  run.bufferB.release();
  return mismatches == 0;
}

}  // namespace
}  // namespace kelvaring

int main(int argc, char** argv) {
  std::vector<unsigned long> args;
  uint32_t threads = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "-t" && i + 1 < argc) {
      threads = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
      continue;
    }
    args.push_back(std::strtoul(argv[i], nullptr, 10));
  }
  if (args.empty()) args = {64, 20, 1024, 3};
  bool ok = true;
  for (size_t i = 0; i + 1 < args.size(); i += 2) {
    const auto iterations = static_cast<unsigned>(args[i + 1]);
    ok = (threads != 0 ? kelvaring::measureLimit(args[i], iterations, threads)
                       : kelvaring::measure(args[i], iterations)) && ok;
  }
  return ok ? 0 : 1;
}
