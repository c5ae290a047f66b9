// The test buffers: allocation, release and the fill.
#include <cinttypes>

#include "engine/engine.h"
#include "kelvaring/state.h"
#include "platform/platform.h"

namespace kelvaring {

TestState testState;

void raiseBoundsFault() { platform::raiseFault(kArrayBoundsExceeded); }

bool TestBuffer::allocate(uint64_t words, bool topDown) {
  release();
  base = static_cast<volatile uint32_t*>(platform::commitMemory(words * 4, topDown));
  if (base == nullptr) return false;
  wordCount = words;
  return true;
}

void TestBuffer::release() {
  platform::releaseMemory(const_cast<uint32_t*>(base), wordCount * 4);
  base = nullptr;
  wordCount = 0;
}

namespace {

// Locked after the fill, so that the test stays on physical memory (and the
// pages keep the form the fill gave them). Both or neither: where locking is
// refused, as under an unprivileged RLIMIT_MEMLOCK, the test runs unlocked.
bool lockBuffers(TestBuffer& a, TestBuffer& b) {
  void* baseA = const_cast<uint32_t*>(a.base);
  if (!platform::lockMemory(baseA, a.wordCount * 4)) return false;
  if (platform::lockMemory(const_cast<uint32_t*>(b.base), b.wordCount * 4)) return true;
  platform::unlockMemory(baseA, a.wordCount * 4);
  return false;
}

}  // namespace

bool allocateBuffers(uint64_t bytes) {
  TestBuffer& a = testState.bufferA;
  TestBuffer& b = testState.bufferB;
  const Settings& settings = testState.settings;
  uint64_t words = bytes >> 3;
  if (!a.allocate(words, false)) return false;
  if (!b.allocate(words, settings.topmem != 0)) return false;
  // In step, so that both buffers' pages are touched in the same order.
  for (uint64_t i = 0; i < a.wordCount; ++i) {
    a.at(i) = kFillWord;
    b.at(i) = kFillWord;
  }
  bool locked = lockBuffers(a, b);
  testState.opsPerCycle = bytes < kLongCycleThreshold ? kShortCycleOps : kLongCycleOps;
  if (settings.verbose != 0 && settings.topmem != 0) platform::printOut("%s in use.\n", "MEM_TOP_DOWN");
  platform::printOut("%i Mb allocated (%016" PRIXPTR "/%016" PRIXPTR ")\n", static_cast<int32_t>(bytes >> 20),
                     reinterpret_cast<uintptr_t>(a.base), reinterpret_cast<uintptr_t>(b.base));
  if (settings.verbose != 0)
    platform::printOut("%s", locked ? "Buffers locked in RAM.\n" : "Buffers not locked in RAM.\n");
  return true;
}

}  // namespace kelvaring
