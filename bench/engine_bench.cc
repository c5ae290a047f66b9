// Speed of the generator, of a test cycle against the limit of the same
// traffic, and of the allocation and fill against memset.
//
// The machine may be shared and noisy: every comparison is made inside one
// benchmark, iteration by iteration, so both sides see the same conditions;
// run with --benchmark_repetitions and read the medians.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <atomic>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "limit_kernel.h"
#include "platform/memory.h"
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

// Processor time of the calling thread: on a shared machine, time spent
// waiting for a core would otherwise count against whichever side it fell on.
using bench::threadSeconds;

double secondsOf(auto work) {
  const double start = threadSeconds();
  work();
  return threadSeconds() - start;
}

double wallSecondsOf(auto work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void releaseBuffers() {
  run.bufferA.release();
  run.bufferB.release();
}

// The generator seeded and the buffers of a test of state.range(0) MiB
// filled; false, with the benchmark skipped, when they cannot be had.
bool seededBuffers(benchmark::State& state) {
  seedRandomAt(run, kSeedTime);
  if (allocateBuffers(run, uint64_t(state.range(0)) << 20)) return true;
  state.SkipWithError("allocation failed");
  return false;
}

void BM_NextRandom(benchmark::State& state) {
  seedRandomAt(run, kSeedTime);
  for (auto _ : state) benchmark::DoNotOptimize(nextRandom(run.workers[0].generator));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NextRandom);

// Per iteration one runCycle and one cycle of the limit kernel with as many
// operations, over the same buffers of a test of state.range(0) MiB.
// Counters: operations per second of processor time of each, and runCycle's
// share of the limit.
void BM_CycleShareOfLimit(benchmark::State& state) {
  if (!seededBuffers(state)) return;
  TestBuffer& a = run.bufferA;
  TestBuffer& b = run.bufferB;
  const uint32_t ops = run.opsPerCycle;
  const auto words = static_cast<uint32_t>(a.wordCount);
  uint64_t seed = 88172645463325252ULL;
  uint64_t mismatches = 0;
  double cycleSeconds = 0;
  double limitSeconds = 0;
  for (auto _ : state) {
    cycleSeconds += secondsOf([] { runCycle(oneWorker(run)); });
    limitSeconds += secondsOf([&] { mismatches += bench::limitCycle(a.base, b.base, words, ops, seed); });
  }
  if (mismatches != 0 || run.errorSeen) state.SkipWithError("mismatch");
  const double total = double(state.iterations()) * ops;
  state.counters["cycle_ops/s"] = total / cycleSeconds;
  state.counters["limit_ops/s"] = total / limitSeconds;
  state.counters["share"] = limitSeconds / cycleSeconds;
  releaseBuffers();
}
// At 1 MiB the buffers stay in the caches: what the draws cost.
BENCHMARK(BM_CycleShareOfLimit)->Arg(1)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CycleShareOfLimit)->Arg(64)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CycleShareOfLimit)->Arg(1024)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CycleShareOfLimit)->Arg(8192)->Iterations(2)->Unit(benchmark::kMillisecond);

// One cycle of the run's workers, each on a thread of its own, all at once;
// adds each one's processor time and operations to seconds[k] and
// operations[k].
void runWorkersCycle(double* seconds, double* operations) {
  const uint32_t count = run.workers.count();
  std::vector<std::thread> running;
  for (uint32_t k = 0; k < count; ++k) {
    operations[k] += run.workers[k].opsPerCycle;
    running.emplace_back([k, seconds] { seconds[k] += secondsOf([k] { runCycle(run.workers[k]); }); });
  }
  for (std::thread& t : running) t.join();
}

// Operations per second of n threads side by side, each at the rate its
// own processor time gives it: what they do where every thread has a core
// of its own, which a shared machine may not grant in wall time.
double sumOfRates(const double* seconds, const double* operations, uint32_t n) {
  double rate = 0;
  for (uint32_t t = 0; t < n; ++t) rate += operations[t] / seconds[t];
  return rate;
}

// Per iteration a whole cycle (opsPerCycle operations in all) of 1 and then
// of 2 workers, and the limit kernel with as many operations on 1 and then
// on 2 threads (thread t on slice t), over the same buffers of a test of
// state.range(0) MiB. Counters: operations per second of each, in wall
// time and as the sum of the threads' rates in processor time (_cpu), each
// run's share of the limit on as many threads, and the speed-up of 2
// workers over 1.
void BM_WorkersShareOfLimit(benchmark::State& state) {
  if (!seededBuffers(state)) return;
  TestBuffer& a = run.bufferA;
  TestBuffer& b = run.bufferB;
  const uint32_t ops = run.opsPerCycle;
  uint64_t mismatches = 0;
  double wall[2][3] = {};          // [workers, limit][threads]
  double seconds[2][3][2] = {};    // processor time per thread
  double operations[2][3][2] = {};
  for (auto _ : state) {
    for (uint32_t n : {1u, 2u}) {
      setUpWorkers(run, n);
      wall[0][n] += wallSecondsOf([&] { runWorkersCycle(seconds[0][n], operations[0][n]); });
      wall[1][n] += wallSecondsOf([&] {
        mismatches += bench::limitCycleOnThreads(a.base, b.base, a.wordCount, ops, n, seconds[1][n], operations[1][n]);
      });
    }
  }
  if (mismatches != 0 || run.errorSeen) state.SkipWithError("mismatch");
  const double total = double(state.iterations()) * ops;
  double cpuRate[2][3] = {};
  for (uint32_t n : {1u, 2u}) {
    const std::string w = std::to_string(n) + "w";
    for (int side : {0, 1}) cpuRate[side][n] = sumOfRates(seconds[side][n], operations[side][n], n);
    state.counters[w + "_ops/s"] = total / wall[0][n];
    state.counters[w + "_limit_ops/s"] = total / wall[1][n];
    state.counters[w + "_share"] = wall[1][n] / wall[0][n];
    state.counters[w + "_cpu_ops/s"] = cpuRate[0][n];
    state.counters[w + "_cpu_share"] = cpuRate[0][n] / cpuRate[1][n];
  }
  state.counters["speedup"] = wall[0][1] / wall[0][2];
  state.counters["cpu_speedup"] = cpuRate[0][2] / cpuRate[0][1];
  oneWorker(run);
  releaseBuffers();
}
BENCHMARK(BM_WorkersShareOfLimit)->Arg(64)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WorkersShareOfLimit)->Arg(1024)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WorkersShareOfLimit)->Arg(8192)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The worker's own loop (cycles, sweeps when due) with the given sweep share,
// for `cycles` cycles; the processor time of the worker thread from the end
// of its first cycle to the end of its last, sweeps included.
std::atomic<uint32_t> cyclesWanted{0};
double firstCycleEnd = 0;
double lastCycleEnd = 0;

void timeEveryCycle(TestRun& run, uint32_t) {
  const double now = threadSeconds();
  const uint32_t done = run.cycles.load();
  if (done == 1) firstCycleEnd = now;
  lastCycleEnd = now;
  if (done >= cyclesWanted.load()) run.stopRequested = true;
}

double workerSeconds(int32_t sweep, uint32_t cycles) {
  run.settings.sweep = sweep;
  run.settings.timeout = 1;  // calls the hook below after each cycle and its sweep
  run.cycles = 0;
  run.stopRequested = false;
  cyclesWanted = cycles;
  run.pauseAfterCycle = timeEveryCycle;
  std::thread worker([] { runWorker(oneWorker(run)); });
  worker.join();
  run.pauseAfterCycle = waitForStopOrTimeout;
  run.settings.timeout = 0;
  return lastCycleEnd - firstCycleEnd;
}

// Per iteration the worker with the default sweep share, then without
// sweeps, over the same buffers of a test of state.range(0) MiB, for
// state.range(1) cycles each. Counters: operations per second of the
// worker's processor time with and without, and the share of the two.
void BM_SweepCost(benchmark::State& state) {
  if (!seededBuffers(state)) return;
  const auto cycles = static_cast<uint32_t>(state.range(1));
  double withSweep = 0;
  double without = 0;
  for (auto _ : state) {
    withSweep += workerSeconds(Settings{}.sweep, cycles);
    without += workerSeconds(0, cycles);
  }
  if (run.errorSeen) state.SkipWithError("mismatch");
  const double ops = double(state.iterations()) * (cycles - 1) * run.opsPerCycle;
  state.counters["sweep_ops/s"] = ops / withSweep;
  state.counters["plain_ops/s"] = ops / without;
  state.counters["share"] = without / withSweep;
  releaseBuffers();
}
BENCHMARK(BM_SweepCost)->Args({64, 41})->Iterations(3)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_SweepCost)->Args({1024, 9})->Iterations(3)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_SweepCost)->Args({8192, 13})->Iterations(2)->Unit(benchmark::kSecond)->UseRealTime();

// Per iteration one sweep and one plain read of both buffers (the limit),
// of a test of state.range(0) MiB. Counters in GB/s of both buffers read per
// second of processor time, and the sweep's share of the limit.
void BM_SweepShareOfLimit(benchmark::State& state) {
  if (!allocateBuffers(run, uint64_t(state.range(0)) << 20)) {
    state.SkipWithError("allocation failed");
    return;
  }
  const uint64_t words = run.bufferA.wordCount;
  const auto* a = const_cast<const uint32_t*>(run.bufferA.base);
  const auto* b = const_cast<const uint32_t*>(run.bufferB.base);
  double sweepSeconds = 0;
  double limitSeconds = 0;
  uint32_t fold = 0;
  for (auto _ : state) {
    sweepSeconds += secondsOf([] { sweepSlice(oneWorker(run)); });
    limitSeconds += secondsOf([&] { fold |= bench::readBoth(a, b, words); });
  }
  if (fold != 0 || run.errorSeen) state.SkipWithError("mismatch");
  const double bytes = double(state.iterations()) * double(words) * 8;
  state.counters["sweep_GB/s"] = bytes / sweepSeconds / 1e9;
  state.counters["limit_GB/s"] = bytes / limitSeconds / 1e9;
  state.counters["share"] = limitSeconds / sweepSeconds;
  releaseBuffers();
}
BENCHMARK(BM_SweepShareOfLimit)->Arg(64)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SweepShareOfLimit)->Arg(1024)->Iterations(5)->Unit(benchmark::kMillisecond);

// Maps both halves of a test of `bytes` as the buffers are mapped (huge-page
// aligned and advised) and sets them with memset.
void memsetFreshMemory(uint64_t bytes) {
  const uint64_t half = (bytes >> 3) * 4;
  void* a = platform::commitMemory(half, false);
  void* b = platform::commitMemory(half, false);
  if (a != nullptr && b != nullptr) {
    std::memset(a, 0x45, half);
    std::memset(b, 0x45, half);
    benchmark::ClobberMemory();
  }
  platform::releaseMemory(b, half);
  platform::releaseMemory(a, half);
}

// Per iteration allocateBuffers (mapping and fill) and the same mappings
// set by memset, both of fresh memory. Counters in bytes of the test per
// second of processor time (the kernel's page clearing included), and the
// fill's share of memset, also in wall time (which shows the host's page
// supply in a virtual machine, and every other process's load). A first untimed round warms the
// memory: memory the machine has not handed out lately comes slowly.
void BM_FillShareOfMemset(benchmark::State& state) {
  const uint64_t bytes = uint64_t(state.range(0)) << 20;
  if (!allocateBuffers(run, bytes)) {
    state.SkipWithError("allocation failed");
    return;
  }
  releaseBuffers();
  memsetFreshMemory(bytes);
  double fillSeconds = 0, fillWall = 0;
  double memsetSeconds = 0, memsetWall = 0;
  for (auto _ : state) {
    fillWall += wallSecondsOf([&] { fillSeconds += secondsOf([&] { allocateBuffers(run, bytes); }); });
    releaseBuffers();
    memsetWall += wallSecondsOf([&] { memsetSeconds += secondsOf([&] { memsetFreshMemory(bytes); }); });
  }
  const double total = double(state.iterations()) * double(bytes);
  state.counters["fill_GB/s"] = total / fillSeconds / 1e9;
  state.counters["memset_GB/s"] = total / memsetSeconds / 1e9;
  state.counters["share"] = memsetSeconds / fillSeconds;
  state.counters["wall_share"] = memsetWall / fillWall;
}
// Both buffers of a test of `bytes`, mapped as the buffers are, set by
// memset on 2 threads, thread t on slice t of each.
void memsetFreshMemoryOnTwoThreads(uint64_t bytes) {
  const uint64_t words = bytes >> 3;
  auto* a = static_cast<uint32_t*>(platform::commitMemory(words * 4, false));
  auto* b = static_cast<uint32_t*>(platform::commitMemory(words * 4, false));
  if (a != nullptr && b != nullptr) {
    std::vector<std::thread> running;
    for (uint32_t t = 0; t < 2; ++t) {
      running.emplace_back([=] {
        const Slice slice = sliceOf(words, 2, t);
        std::memset(a + slice.first, 0x45, (slice.end - slice.first) * 4);
        std::memset(b + slice.first, 0x45, (slice.end - slice.first) * 4);
      });
    }
    for (std::thread& t : running) t.join();
    benchmark::ClobberMemory();
  }
  platform::releaseMemory(b, words * 4);
  platform::releaseMemory(a, words * 4);
}

// The fill of a run of 2 workers: the buffers obtained, then each worker's
// thread fills its own slice.
void fillWithTwoWorkers(uint64_t bytes) {
  if (!obtainBuffers(run, bytes)) return;
  setUpWorkers(run, 2);
  std::vector<std::thread> running;
  for (uint32_t k = 0; k < 2; ++k) {
    running.emplace_back([k] { fillWords(run, run.workers[k].firstWord, run.workers[k].endWord); });
  }
  for (std::thread& t : running) t.join();
}

// Per iteration the fill of 2 workers and a 2-thread memset of the same
// size, both of fresh memory, in wall time. A first untimed round warms the
// memory.
void BM_TwoWorkerFillShareOfMemset(benchmark::State& state) {
  const uint64_t bytes = uint64_t(state.range(0)) << 20;
  fillWithTwoWorkers(bytes);
  if (run.bufferA.base == nullptr) {
    state.SkipWithError("allocation failed");
    return;
  }
  releaseBuffers();
  memsetFreshMemoryOnTwoThreads(bytes);
  double fillWall = 0;
  double memsetWall = 0;
  for (auto _ : state) {
    fillWall += wallSecondsOf([&] { fillWithTwoWorkers(bytes); });
    releaseBuffers();
    memsetWall += wallSecondsOf([&] { memsetFreshMemoryOnTwoThreads(bytes); });
  }
  const double total = double(state.iterations()) * double(bytes);
  state.counters["fill_GB/s"] = total / fillWall / 1e9;
  state.counters["memset_GB/s"] = total / memsetWall / 1e9;
  state.counters["share"] = memsetWall / fillWall;
  oneWorker(run);
}
BENCHMARK(BM_TwoWorkerFillShareOfMemset)->Arg(1024)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TwoWorkerFillShareOfMemset)->Arg(8192)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK(BM_FillShareOfMemset)->Arg(1024)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FillShareOfMemset)->Arg(8192)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvaring
