// Speed of the generator, of a test cycle and of the fill.
#include <benchmark/benchmark.h>

#include "engine/engine.h"
#include "kelvaring/state.h"
#include "random/subtractive_random.h"

namespace kelvaring {
namespace {

constexpr uint32_t kSeedTime = 1103285978;

void BM_NextRandom(benchmark::State& state) {
  seedRandomAt(kSeedTime);
  for (auto _ : state) benchmark::DoNotOptimize(nextRandom());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NextRandom);

// Operations per second of runCycle over a test of state.range(0) MiB.
void BM_RunCycle(benchmark::State& state) {
  seedRandomAt(kSeedTime);
  if (!allocateBuffers(uint64_t(state.range(0)) << 20)) {
    state.SkipWithError("allocation failed");
    return;
  }
  for (auto _ : state) runCycle();
  state.SetItemsProcessed(state.iterations() * testState.opsPerCycle);
  testState.bufferA.release();
  testState.bufferB.release();
}
BENCHMARK(BM_RunCycle)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RunCycle)->Arg(1024)->Unit(benchmark::kMillisecond)->Iterations(3);

// Allocation and fill of both buffers, in bytes per second of the test size.
void BM_AllocateAndFill(benchmark::State& state) {
  const uint64_t bytes = uint64_t(state.range(0)) << 20;
  for (auto _ : state) {
    if (!allocateBuffers(bytes)) {
      state.SkipWithError("allocation failed");
      return;
    }
    state.PauseTiming();
    testState.bufferA.release();
    testState.bufferB.release();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * int64_t(bytes));
}
BENCHMARK(BM_AllocateAndFill)->Arg(1024)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace kelvaring
