// The test buffers: allocation, release and the fill.
#include <emmintrin.h>


#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "platform/faults.h"
#include "platform/memory.h"

namespace kelvaring {

void raiseBoundsFault() { platform::raiseFault(kArrayBoundsExceeded); }

namespace {

// Words filled at a time with wide stores, A's stretch and then B's.
constexpr uint64_t kFillStretch = 4096;
static_assert(kFillStretch % 4 == 0 && kFillShownWords % kFillStretch == 0);

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

// Words first..end-1 of both buffers in step, in ascending order: the bulk
// stretch by stretch, the rest (all of a small range, and the words before
// the first 16-byte boundary) word by word, A[i] and then B[i].
// With `filled`, how far it got is stored there (relaxed) once per
// kFillShownWords and at the end: one store per 4 MiB, not per word.
void fillInStep(TestBuffer& a, TestBuffer& b, uint64_t first, uint64_t end, std::atomic<uint64_t>* filled) {
  uint64_t i = first;
  auto fillWord = [&] {
    a.at(i) = kFillWord;
    b.at(i) = kFillWord;
    ++i;
  };
  uint64_t stretches = 0;
  if (alignedFor16(a) && alignedFor16(b)) {
    while (i % 4 != 0 && i < end) fillWord();
    for (; end - i >= kFillStretch; i += kFillStretch) {
      streamFill(a, i, kFillStretch);
      streamFill(b, i, kFillStretch);
      if (filled != nullptr && ++stretches % (kFillShownWords / kFillStretch) == 0)
        filled->store(i + kFillStretch - first, std::memory_order_relaxed);
    }
    _mm_sfence();  // the streamed stores are ordered before everything after the fill
  }
  while (i < end) fillWord();
  if (filled != nullptr) filled->store(end - first, std::memory_order_relaxed);
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

bool obtainBuffers(TestRun& run, uint64_t bytes) {
  uint64_t words = bytes >> 3;
  if (!run.bufferA.allocate(words, false)) return false;
  if (!run.bufferB.allocate(words, run.settings.topmem != 0)) return false;
  run.opsPerCycle = bytes < kLongCycleThreshold ? kShortCycleOps : kLongCycleOps;
  return true;
}

void fillWords(TestRun& run, uint64_t first, uint64_t end, std::atomic<uint64_t>* filled) {
  // A page replaced after a hardware memory error during the fill holds the
  // other buffer's words of that moment, some of which the fill had not
  // reached yet: the fill is made again until none comes between.
  uint32_t replaced;
  do {
    replaced = run.pagesReplaced.load(std::memory_order_relaxed);
    if (filled != nullptr) filled->store(0, std::memory_order_relaxed);
    fillInStep(run.bufferA, run.bufferB, first, end, filled);
  } while (run.pagesReplaced.load(std::memory_order_relaxed) != replaced);
}

bool completeAllocation(TestRun& run) {
  run.buffersLocked = lockBuffers(run.bufferA, run.bufferB);
  return run.buffersLocked;
}

bool allocateBuffers(TestRun& run, uint64_t bytes) {
  if (!obtainBuffers(run, bytes)) return false;
  fillWords(run, 0, run.bufferA.wordCount);
  completeAllocation(run);
  return true;
}

}  // namespace kelvaring
