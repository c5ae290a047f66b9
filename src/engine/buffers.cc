// The test buffers: allocation, release and the fill.
#include <emmintrin.h>

#include <cinttypes>

#include "engine/engine.h"
#include "kelvaring/state.h"
#include "platform/platform.h"

namespace kelvaring {

TestState testState;

void raiseBoundsFault() { platform::raiseFault(kArrayBoundsExceeded); }

namespace {

// Words filled at a time with wide stores, A's stretch and then B's.
constexpr uint64_t kFillStretch = 4096;
static_assert(kFillStretch % 4 == 0);

// Fills `count` words from word `first` on, 16 bytes per store, bypassing
// the caches (the words are not read again soon). Bounds-checked like `at`.
void streamFill(TestBuffer& buffer, uint64_t first, uint64_t count) {
  if (first > buffer.wordCount || count > buffer.wordCount - first) [[unlikely]]
    raiseBoundsFault();
  auto* words = reinterpret_cast<__m128i*>(const_cast<uint32_t*>(buffer.base + first));
  const __m128i fill = _mm_set1_epi32(static_cast<int>(kFillWord));
  for (uint64_t i = 0; i < count / 4; ++i) _mm_stream_si128(words + i, fill);
}

bool alignedFor16(const TestBuffer& buffer) { return reinterpret_cast<uintptr_t>(buffer.base) % 16 == 0; }

// Both buffers in step, in ascending order: the bulk stretch by stretch,
// the rest (all of a small buffer) word by word, A[i] and then B[i].
void fillInStep(TestBuffer& a, TestBuffer& b) {
  const uint64_t words = a.wordCount;
  uint64_t i = 0;
  if (alignedFor16(a) && alignedFor16(b)) {
    for (; words - i >= kFillStretch; i += kFillStretch) {
      streamFill(a, i, kFillStretch);
      streamFill(b, i, kFillStretch);
    }
    _mm_sfence();  // the streamed stores are ordered before everything after the fill
  }
  for (; i < words; ++i) {
    a.at(i) = kFillWord;
    b.at(i) = kFillWord;
  }
}

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

bool allocateBuffers(uint64_t bytes) {
  TestBuffer& a = testState.bufferA;
  TestBuffer& b = testState.bufferB;
  const Settings& settings = testState.settings;
  uint64_t words = bytes >> 3;
  if (!a.allocate(words, false)) return false;
  if (!b.allocate(words, settings.topmem != 0)) return false;
  fillInStep(a, b);
  bool locked = lockBuffers(a, b);
  testState.buffersLocked = locked;
  testState.opsPerCycle = bytes < kLongCycleThreshold ? kShortCycleOps : kLongCycleOps;
  if (settings.verbose != 0 && settings.topmem != 0) platform::printOut("%s in use.\n", "MEM_TOP_DOWN");
  platform::printOut("%i Mb allocated (%016" PRIXPTR "/%016" PRIXPTR ")\n", static_cast<int32_t>(bytes >> 20),
                     reinterpret_cast<uintptr_t>(a.base), reinterpret_cast<uintptr_t>(b.base));
  if (settings.verbose != 0)
    platform::printOut("%s", locked ? "Buffers locked in RAM.\n" : "Buffers not locked in RAM.\n");
  return true;
}

}  // namespace kelvaring
