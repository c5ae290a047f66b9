// The compare sweep between cycles: A against B over every word, in order,
// with wide loads at the speed of memory. Random operations reach a word
// only every words/rate seconds; the sweep reaches each within one pass.
#include <emmintrin.h>

#include <algorithm>

#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "platform/clock.h"

namespace kelvaring {
namespace {

// A block is compared as a whole with wide loads; only a block that differs
// is gone through word by word.
constexpr uint64_t kBlockBytes = 256;
constexpr uint64_t kBlockWords = kBlockBytes / 4;
constexpr uint64_t kBlockVectors = kBlockBytes / sizeof(__m128i);
// stopRequested is looked at before every stretch of this many words of
// each buffer (4 MiB): a stop waits for well under a millisecond of sweep.
constexpr uint64_t kStopCheckWords = uint64_t{1} << 20;
static_assert(kStopCheckWords % kBlockWords == 0);

// Whether a block of A and the block of B at the same place differ in any
// bit. The loads are volatile: every one of them is made.
KELVARING_BUFFER_ACCESS inline bool blockDiffers(const volatile __m128i* a, const volatile __m128i* b) {
  __m128i diff = _mm_setzero_si128();
#pragma GCC unroll 16
  for (uint64_t k = 0; k < kBlockVectors; ++k) diff = _mm_or_si128(diff, _mm_xor_si128(a[k], b[k]));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(diff, _mm_setzero_si128())) != 0xFFFF;
}

// Words first..end-1 one by one: a pair that differs is a mismatch, and B's
// word then gets the value read from A, so that a flip is reported once and
// a stuck bit again each time it fails anew.
[[gnu::noinline]] KELVARING_BUFFER_ACCESS void compareWords(Worker& worker, uint64_t first, uint64_t end) {
  TestBuffer& a = worker.run->bufferA;
  TestBuffer& b = worker.run->bufferB;
  for (uint64_t i = first; i < end; ++i) {
    const uint32_t readA = a.at(i);
    const uint32_t readB = b.at(i);
    if (readA != readB) [[unlikely]] {
      handleMismatch(worker, i, readA, readB, ErrorKind::sweep);
      b.at(i) = readA;
    }
  }
}

}  // namespace

bool sweepSlice(Worker& worker) {
  const TestRun& run = *worker.run;
  volatile uint32_t* const baseA = run.bufferA.base;
  volatile uint32_t* const baseB = run.bufferB.base;
  const uint64_t words = std::min({run.bufferA.wordCount, run.bufferB.wordCount, worker.endWord});
  const uint64_t first = std::min(worker.firstWord, words);
  // The buffers start on page boundaries; were they not aligned for the
  // wide loads, every word would go the word-by-word way. Whole blocks lie
  // on multiples of the block size; a slice's words before its first one
  // go word by word.
  const bool aligned = (reinterpret_cast<uintptr_t>(baseA) | reinterpret_cast<uintptr_t>(baseB)) % 16 == 0;
  const uint64_t wholeBlocksBegin = std::min((first + kBlockWords - 1) / kBlockWords * kBlockWords, words);
  const uint64_t wholeBlocksEnd = aligned ? std::max(words - words % kBlockWords, wholeBlocksBegin) : 0;
  // Stretches end on multiples of their size, so that blocks stay aligned.
  for (uint64_t start = first, end; start < words; start = end) {
    if (runEnding(run)) return false;
    end = std::min((start / kStopCheckWords + 1) * kStopCheckWords, words);
    const uint64_t wideBegin = aligned ? std::clamp(wholeBlocksBegin, start, end) : end;
    const uint64_t wideEnd = std::clamp(wholeBlocksEnd, wideBegin, end);
    compareWords(worker, start, wideBegin);
    for (uint64_t i = wideBegin; i < wideEnd; i += kBlockWords) {
      const auto* a = reinterpret_cast<const volatile __m128i*>(baseA + i);
      const auto* b = reinterpret_cast<const volatile __m128i*>(baseB + i);
      if (blockDiffers(a, b)) [[unlikely]]
        compareWords(worker, i, i + kBlockWords);
    }
    compareWords(worker, wideEnd, end);
  }
  return true;
}

uint64_t sweepInterval(uint64_t sweepNanoseconds, uint32_t percent) {
  return sweepNanoseconds * (100 - percent) / percent;
}

void SweepSchedule::sweepIfDue(Worker& worker) {
  if (percent_ == 0) return;
  const uint64_t start = platform::monotonicNanoseconds();
  if (start < due_) return;
  sweepSlice(worker);
  ++worker.sweeps;
  const uint64_t end = platform::monotonicNanoseconds();
  due_ = end + sweepInterval(end - start, percent_);
}

}  // namespace kelvaring
