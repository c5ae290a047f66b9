// Hardware memory errors in the test buffers are memory errors found, not
// faults: the failed page gives way to a fresh one that holds the other
// buffer's words, and the run goes on. Everything here may run inside a
// signal handler: no allocation, no lock, no print.
#include "control/control.h"
#include "engine/test_run.h"
#include "engine/engine.h"
#include "kelvaring/state.h"
#include "platform/memory.h"
#include "platform/threads.h"

namespace kelvaring {
namespace {

constexpr unsigned kSmallPageShift = 12;
// A gigantic page is the largest the kernel reports.
constexpr unsigned kLargestPageShift = 30;

// Set while this thread replaces a page: a second error in the middle
// (the other buffer's page failed too) is left to the fault course.
thread_local bool replacing = false;

// The worker whose slice holds the word; the slices are in order.
uint32_t workerOfWord(const WorkerTeam& team, uint64_t index) {
  uint32_t low = 0;
  uint32_t high = team.count() - 1;
  while (low < high) {
    const uint32_t middle = low + (high - low + 1) / 2;
    if (team[middle].firstWord <= index)
      low = middle;
    else
      high = middle - 1;
  }
  return low;
}

// The threads of the workers whose slices the words first..last of the
// buffers hold, held still for as long as this lives: a write of theirs to
// the failed page between the copy and the move would be lost with it, and
// the pair it belongs to would differ. The thread that replaces is not held
// (its own writes wait anyway). Left by an exception too, when a second
// fault during the replacement is translated into one. An owner held
// between its write of A and its write of B of one operation, when the
// failed page is A's, finds B's old word in A: its read-back writes A
// again (handleReadBack).
class OwnersHeld {
 public:
  OwnersHeld(WorkerTeam& team, uint64_t first, uint64_t last) {
    const uint32_t end = workerOfWord(team, last) + 1;
    for (uint32_t k = workerOfWord(team, first); k < end; ++k) holds_[count_++] = &team[k].thread;
    platform::holdThreads(holds_, count_);
  }
  ~OwnersHeld() { platform::releaseThreads(holds_, count_); }
  OwnersHeld(const OwnersHeld&) = delete;
  OwnersHeld& operator=(const OwnersHeld&) = delete;

 private:
  ThreadHold* holds_[kMaxWorkers];
  size_t count_ = 0;
};

}  // namespace

std::optional<PageReplacement> planPageReplacement(uintptr_t address, unsigned pageShift, uintptr_t baseA,
                                                   uintptr_t baseB, uint64_t mappedBytes) {
  if (baseA == 0 || baseB == 0 || mappedBytes == 0) return std::nullopt;
  PageReplacement plan;
  uintptr_t failed;
  if (address - baseA < mappedBytes) {
    plan.inBufferA = true;
    failed = baseA;
    plan.source = baseB;
  } else if (address - baseB < mappedBytes) {
    failed = baseB;
    plan.source = baseA;
  } else {
    return std::nullopt;
  }
  // A page smaller than the small page says nothing usable; anything larger
  // than a gigantic one cannot be.
  if (pageShift < kSmallPageShift) pageShift = kSmallPageShift;
  if (pageShift > kLargestPageShift) pageShift = kLargestPageShift;
  const uint64_t pageBytes = uint64_t{1} << pageShift;
  const uint64_t begin = (address - failed) & ~(pageBytes - 1);
  uint64_t end = begin + pageBytes;
  // A huge page never reaches past the mapping; a reported size that would
  // is cut to the buffer all the same.
  if (end > mappedBytes) end = mappedBytes;
  plan.pageShift = pageShift;
  plan.target = failed + begin;
  plan.source += begin;
  plan.bytes = end - begin;
  return plan;
}

bool onHardwareMemoryError(uintptr_t address, unsigned pageShift) {
  const ActiveRunUse use;
  if (use.run() == nullptr) return false;
  TestRun& s = *use.run();
  TestBuffer& a = s.bufferA;
  TestBuffer& b = s.bufferB;
  if (replacing || a.wordCount == 0 || b.wordCount != a.wordCount) return false;
  const uint64_t smallPage = uint64_t{1} << kSmallPageShift;
  const uint64_t mapped = (a.wordCount * 4 + smallPage - 1) & ~(smallPage - 1);
  const std::optional<PageReplacement> plan = planPageReplacement(
      address, pageShift, reinterpret_cast<uintptr_t>(a.base), reinterpret_cast<uintptr_t>(b.base), mapped);
  if (!plan) return false;
  replacing = true;
  bool replaced;
  {
    const uintptr_t failedBase = reinterpret_cast<uintptr_t>(plan->inBufferA ? a.base : b.base);
    const uint64_t first = (plan->target - failedBase) / 4;
    const uint64_t end = first + plan->bytes / 4;
    OwnersHeld owners(s.workers, first, (end < a.wordCount ? end : a.wordCount) - 1);
    replaced = platform::replacePages(reinterpret_cast<void*>(plan->target),
                                      reinterpret_cast<const void*>(plan->source), plan->bytes, s.buffersLocked);
    // Told before the owners go on: one held between its writes of A and
    // B finds the copy's word in A on its read-back, and must know why.
    if (replaced) {
      s.replacedPage.store(plan->target, std::memory_order_relaxed);
      s.replacedBytes.store(plan->bytes, std::memory_order_relaxed);
      s.pagesReplaced.fetch_add(1, std::memory_order_release);
    }
  }
  replacing = false;
  if (!replaced) return false;

  // The word the kernel named, in both buffers, read again from the fresh
  // page, recorded in the ring of hardware memory errors (never in a slot,
  // whose publication this handler may have interrupted) under the worker
  // whose slice holds it.
  const uintptr_t base = reinterpret_cast<uintptr_t>(plan->inBufferA ? a.base : b.base);
  uint64_t index = (address - base) / 4;
  if (index >= a.wordCount) index = a.wordCount - 1;
  ErrorRecord record;
  record.kind = ErrorKind::hardware;
  record.worker = s.workers[workerOfWord(s.workers, index)].number;
  record.addressA = reinterpret_cast<uintptr_t>(&a.at(index));
  record.valueA = a.at(index);
  record.addressB = reinterpret_cast<uintptr_t>(&b.at(index));
  record.valueB = b.at(index);
  record.hardwareAddress = address;
  record.pageShift = static_cast<uint8_t>(plan->pageShift);
  s.hardwareErrors.publish(record, s.errorStamps);
  noteErrorPublished(s);
  return true;
}

}  // namespace kelvaring
