// Runs one short test cycle over two small buffers, for a memory-access
// trace taken from outside (valgrind's lackey). Prints the two buffer
// addresses, then the marker words it reads and writes bracket the cycle.
// Given a number of cycles and a sweep share, the worker runs instead and
// stops after that many cycles.
//
//   access_probe <operations> <plant: 0 or 1> [<cycles> <sweep percent>]
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "random/subtractive_random.h"

using namespace kelvaring;

namespace {

// The team made one worker over all words with the whole cycle.
Worker& oneWorker(TestRun& run) {
  setUpWorkers(run, 1);
  return run.workers[0];
}

}  // namespace

static uint32_t cyclesWanted = 1;

static void stopAfterTheLastCycle(TestRun& run, uint32_t) {
  if (run.cycles.load() >= cyclesWanted) run.stopRequested = true;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  TestRun run;
  run.settings.method = 1;
  run.settings.verbose = 1;
  seedRandomAt(run, 1103285978);
  if (!allocateBuffers(run, 64)) return 3;  // eight words each
  run.opsPerCycle = static_cast<uint32_t>(std::atoi(argv[1]));
  if (std::atoi(argv[2]) != 0) {
    // A word of B that no longer matches: the first index drawn.
    SubtractiveRandom copy = run.workers[0].generator;
    run.bufferB.at(nextRandom(copy) % 8) = 0x4D;
  }
  std::printf("%" PRIxPTR " %" PRIxPTR "\n", reinterpret_cast<uintptr_t>(run.bufferA.base),
              reinterpret_cast<uintptr_t>(run.bufferB.base));
  std::fflush(stdout);
  if (argc < 5) {
    runCycle(oneWorker(run));
    return 0;
  }
  cyclesWanted = static_cast<uint32_t>(std::atoi(argv[3]));
  run.settings.sweep = std::atoi(argv[4]);
  run.settings.timeout = 1;
  run.pauseAfterCycle = stopAfterTheLastCycle;
  runWorker(oneWorker(run));
  return 0;
}
