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

#include "engine/engine.h"
#include "kelvaring/state.h"
#include "limit_kernel.h"
#include "platform/platform.h"
#include "random/subtractive_random.h"

namespace kelvaring {
namespace {

constexpr uint32_t kSeedTime = 1103285978;

// Processor time of the calling thread: on a shared machine, time spent
// waiting for a core would otherwise count against whichever side it fell on.
double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

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
  testState.bufferA.release();
  testState.bufferB.release();
}

void BM_NextRandom(benchmark::State& state) {
  seedRandomAt(kSeedTime);
  for (auto _ : state) benchmark::DoNotOptimize(nextRandom());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NextRandom);

// Per iteration one runCycle and one cycle of the limit kernel with as many
// operations, over the same buffers of a test of state.range(0) MiB.
// Counters: operations per second of processor time of each, and runCycle's
// share of the limit.
void BM_CycleShareOfLimit(benchmark::State& state) {
  seedRandomAt(kSeedTime);
  if (!allocateBuffers(uint64_t(state.range(0)) << 20)) {
    state.SkipWithError("allocation failed");
    return;
  }
  TestBuffer& a = testState.bufferA;
  TestBuffer& b = testState.bufferB;
  const uint32_t ops = testState.opsPerCycle;
  const auto words = static_cast<uint32_t>(a.wordCount);
  uint64_t seed = 88172645463325252ULL;
  uint64_t mismatches = 0;
  double cycleSeconds = 0;
  double limitSeconds = 0;
  for (auto _ : state) {
    cycleSeconds += secondsOf([] { runCycle(); });
    limitSeconds += secondsOf([&] { mismatches += bench::limitCycle(a.base, b.base, words, ops, seed); });
  }
  if (mismatches != 0 || testState.errorSeen) state.SkipWithError("mismatch");
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
  if (!allocateBuffers(bytes)) {
    state.SkipWithError("allocation failed");
    return;
  }
  releaseBuffers();
  memsetFreshMemory(bytes);
  double fillSeconds = 0, fillWall = 0;
  double memsetSeconds = 0, memsetWall = 0;
  for (auto _ : state) {
    fillWall += wallSecondsOf([&] { fillSeconds += secondsOf([&] { allocateBuffers(bytes); }); });
    releaseBuffers();
    memsetWall += wallSecondsOf([&] { memsetSeconds += secondsOf([&] { memsetFreshMemory(bytes); }); });
  }
  const double total = double(state.iterations()) * double(bytes);
  state.counters["fill_GB/s"] = total / fillSeconds / 1e9;
  state.counters["memset_GB/s"] = total / memsetSeconds / 1e9;
  state.counters["share"] = memsetSeconds / fillSeconds;
  state.counters["wall_share"] = memsetWall / fillWall;
}
BENCHMARK(BM_FillShareOfMemset)->Arg(1024)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FillShareOfMemset)->Arg(8192)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kelvaring
