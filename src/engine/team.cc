// The workers of a run: how the buffers and a cycle are shared among them,
// and how many there are.
#include <algorithm>

#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/mul_div.h"
#include "kelvaring/state.h"
#include "platform/clock.h"
#include "platform/system_info.h"
#include "random/subtractive_random.h"

namespace kelvaring {

void WorkerTeam::resize(uint32_t count) {
  count = std::clamp<uint32_t>(count, 1, kMaxWorkers);
  others_.reset(count > 1 ? new Worker[count - 1] : nullptr);
  count_ = count;
  for (uint32_t k = 1; k < count; ++k) {
    others_[k - 1].run = first_.run;
    others_[k - 1].number = k;
  }
}

Slice sliceOf(uint64_t words, uint32_t workers, uint32_t k) {
  const uint64_t stretches = words / kSliceAlignWords;
  if (stretches < workers) {
    // k times a word count of up to 2^61 does not fit 64 bits.
    auto edge = [&](uint64_t j) { return mulDiv(j, words, workers); };
    return {edge(k), edge(uint64_t{k} + 1)};
  }
  // Whole 2 MiB stretches, spread as the words are above; the last slice
  // also takes the words after the last whole stretch.
  auto edge = [&](uint64_t j) { return j >= workers ? words : mulDiv(j, stretches, workers) * kSliceAlignWords; };
  return {edge(k), edge(uint64_t{k} + 1)};
}

uint32_t shareOfCycle(uint32_t ops, uint64_t words, const Slice& slice) {
  if (words == 0) return 0;
  auto upTo = [&](uint64_t word) { return mulDiv(ops, word, words); };
  return static_cast<uint32_t>(upTo(slice.end) - upTo(slice.first));
}

uint32_t workerCount(int32_t key, uint32_t cpus, uint64_t words) {
  uint64_t count = key == 0 ? cpus : key > 1 ? static_cast<uint64_t>(key) : 1;
  count = std::min<uint64_t>({count, kMaxWorkers, words});
  return count == 0 ? 1 : static_cast<uint32_t>(count);
}

bool workersAsked(int32_t key) { return key == 0 || key > 1; }

void seedRandomAt(TestRun& run, uint32_t seconds) {
  seedGenerator(run.workers[0].generator, seconds, platform::noticeText());
  run.seedSeconds = seconds;
}

void seedRandom(TestRun& run) { seedRandomAt(run, platform::secondsSinceEpoch()); }

void setUpWorkers(TestRun& s, uint32_t count) {
  const uint64_t words = s.bufferA.wordCount;
  s.workers.resize(count);
  count = s.workers.count();
  for (uint32_t k = 0; k < count; ++k) {
    Worker& w = s.workers[k];
    const Slice slice = sliceOf(words, count, k);
    w.firstWord = slice.first;
    w.endWord = slice.end;
    w.opsPerCycle = shareOfCycle(s.opsPerCycle, words, slice);
    if (k > 0) seedWorkerGenerator(w.generator, s.seedSeconds, k);
  }
}

}  // namespace kelvaring
