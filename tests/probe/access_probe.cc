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
#include "kelvaring/state.h"
#include "random/subtractive_random.h"

using namespace kelvaring;

namespace {

// The team made one worker over all words with the whole cycle.
Worker& oneWorker() {
  setUpWorkers(1);
  return testState.workers[0];
}

}  // namespace

static uint32_t cyclesWanted = 1;

static void stopAfterTheLastCycle(uint32_t) {
  if (testState.cycles.load() >= cyclesWanted) testState.stopRequested = true;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  testState.settings.method = 1;
  testState.settings.verbose = 1;
  seedRandomAt(1103285978);
  if (!allocateBuffers(64)) return 3;  // eight words each
  testState.opsPerCycle = static_cast<uint32_t>(std::atoi(argv[1]));
  if (std::atoi(argv[2]) != 0) {
    // A word of B that no longer matches: the first index drawn.
    SubtractiveRandom copy = randomState;
    testState.bufferB.at(nextRandom(copy) % 8) = 0x4D;
  }
  std::printf("%" PRIxPTR " %" PRIxPTR "\n", reinterpret_cast<uintptr_t>(testState.bufferA.base),
              reinterpret_cast<uintptr_t>(testState.bufferB.base));
  std::fflush(stdout);
  if (argc < 5) {
    runCycle(oneWorker());
    return 0;
  }
  cyclesWanted = static_cast<uint32_t>(std::atoi(argv[3]));
  testState.settings.sweep = std::atoi(argv[4]);
  testState.settings.timeout = 1;
  pauseAfterCycle = stopAfterTheLastCycle;
  runWorker(oneWorker());
  return 0;
}
