// The test engine: the two test buffers and the workers that hammer them.
#pragma once

#include <atomic>
#include <cstdint>

#include "kelvaring/state.h"

namespace kelvaring {

// Marks the few functions that read and write the buffer words in bulk (the
// worker's operation, the compare sweep) as left out of AddressSanitizer's
// instrumentation; every other access, in them too, stays checked. The
// buffers are mapped memory that the sanitizer cannot check anyway (it knows
// no bounds inside a mapping; the bounds check of wordAt guards them), and a
// shadow load before every random access into hundreds of MiB costs a page
// walk on a page of shadow of its own: on some virtual machines that made a
// cycle at 256 MiB last minutes. The plain build's code is the same with it.
#define KELVARING_BUFFER_ACCESS __attribute__((no_sanitize("address")))

inline constexpr uint32_t kFillWord = 0x00000045;
inline constexpr uint64_t kLongCycleThreshold = 0x10000000;  // 256 MiB
inline constexpr uint32_t kShortCycleOps = 0x100000;
inline constexpr uint32_t kLongCycleOps = 0xA00000;

// Splits `bytes` into two buffers of bytes / 8 words each, fills both with
// the fill word and locks both in RAM where permitted. False when either
// buffer cannot be obtained. The three steps below in one call, for tests
// and benchmarks; the run takes them one by one.
bool allocateBuffers(TestRun& run, uint64_t bytes);

// Obtains the two buffers, zero-filled, and sets opsPerCycle; false, with
// nothing printed, when either cannot be obtained.
bool obtainBuffers(TestRun& run, uint64_t bytes);
// Fills words first..end-1 of both buffers with the fill word, again until
// no page replaced after a hardware memory error came in between. With
// `filled`, the words filled so far in the current pass are stored there
// every kFillShownWords and at the end.
inline constexpr uint64_t kFillShownWords = uint64_t{1} << 20;
void fillWords(TestRun& run, uint64_t first, uint64_t end, std::atomic<uint64_t>* filled = nullptr);
// After the fill: locks the buffers; returns whether they are locked (as
// run.buffersLocked then says).
bool completeAllocation(TestRun& run);

// The words worker k of `workers` owns of `words` words per buffer. Where
// every slice can hold a whole 2 MiB (kSliceAlignWords words, words >=
// workers * kSliceAlignWords), each edge lies on a 2 MiB boundary: with S
// = floor(words / kSliceAlignWords), from floor(k * S / workers) to
// floor((k + 1) * S / workers) stretches, the last slice ending at `words`.
// The buffers start on 2 MiB boundaries from that size on, so that no page
// of up to 2 MiB holds words of two workers (a page replaced after a
// hardware memory error has one owner). Smaller tests: floor(k * words /
// workers) to floor((k + 1) * words / workers) - 1. The slices of all
// workers partition the words.
inline constexpr uint64_t kSliceAlignWords = uint64_t{1} << 19;
struct Slice {
  uint64_t first;
  uint64_t end;
  bool operator==(const Slice&) const = default;
};
Slice sliceOf(uint64_t words, uint32_t workers, uint32_t k);

// A worker's share of a cycle's `ops` operations, in proportion to its
// slice; the shares of all workers add up to `ops`.
uint32_t shareOfCycle(uint32_t ops, uint64_t words, const Slice& slice);

// The number of workers the `workers` key asks for: 1 for 1, absent or
// negative; for 0 `cpus`, the CPUs the process may use; else the key's
// value; never more than kMaxWorkers nor than `words`, never less than 1.
uint32_t workerCount(int32_t key, uint32_t cpus, uint64_t words);

// Whether the key asks for anything but a run of one worker: the number is
// then shown (verbose) and logged.
bool workersAsked(int32_t key);

// Seeds the first worker's generator from `seconds` and the notice text,
// and keeps the time for the other workers' seeds.
void seedRandomAt(TestRun& run, uint32_t seconds);
// seedRandomAt with the current time in whole seconds since 1970.
void seedRandom(TestRun& run);

// Sets up `count` workers over the obtained buffers: their slices, their
// shares of opsPerCycle, their generators (worker k > 0 seeded from the
// seed time with k folded in), fresh masks, slots and counts. The first
// worker keeps its generator, mask and slot.
void setUpWorkers(TestRun& run, uint32_t count);

// One test cycle of the worker's share of operations over its slice of its
// run's buffers; the worker's thread only. Adds the share to the run's
// operations.
void runCycle(Worker& worker);

// A worker thread's test: its thread's priority (the process's class has
// been set already, once), a short pause, then cycles until a stop is
// requested or the run reaches its cycleLimit (when not 0), with a
// compare sweep between cycles when one is due.
void runWorker(Worker& worker);

// The worker's handling of a mismatch at `index` (of the whole buffers),
// where the compare read readA from A and readB from B: in method 1 adds
// the differing bits of the words read again to the worker's sticky mask,
// counts the mismatch and publishes its record (addresses, the words read
// again, the compared values, what found it, the worker) in the worker's
// slot, and then wakes the monitor. The worker's thread only.
[[gnu::noinline, gnu::cold]] void handleMismatch(Worker& worker, uint64_t index, uint32_t readA, uint32_t readB,
                                                 ErrorKind kind = ErrorKind::mismatch);

// The worker's handling of a read-back at `index` that found readA in A and
// readB in B after it wrote `value` to both, where B held `before` at the
// compare. A page of A replaced while the operation was under way
// (`pagesReplaced` no longer `replacedAtStart`, the word in the latest
// replaced page) explains readA == before and readB == value: the worker,
// held between its two writes, wrote A's old page. A is then written
// again, and a mismatch is handled only if the pair still differs; any
// other difference is a mismatch at once. The worker's thread only.
[[gnu::noinline, gnu::cold]] void handleReadBack(Worker& worker, uint64_t index, uint32_t readA, uint32_t readB,
                                                 uint32_t before, uint32_t value, uint32_t replacedAtStart);

// One compare sweep of the worker's slice: A against B, in order over every
// word, writing nothing while they agree. A pair that differs is handled as
// a mismatch (kind sweep), and then B's word gets A's value so that the pair
// agrees again.
// Looks at runEnding every few MiB; false when the run's end cut it short.
bool sweepSlice(Worker& worker);

// How long the worker runs on after a sweep that took sweepNanoseconds,
// before the next is due, so that sweeps take `percent` (1..100) of its time.
uint64_t sweepInterval(uint64_t sweepNanoseconds, uint32_t percent);

// Runs sweeps between the worker's cycles at a share of its time. With 0 per
// cent it never sweeps and never reads the clock.
class SweepSchedule {
 public:
  explicit SweepSchedule(int32_t percent) : percent_(percent <= 0 ? 0 : percent >= 100 ? 100 : uint32_t(percent)) {}
  // A sweep of the worker's slice now, if the time since the last one
  // allows it, counted in worker.sweeps; the first comes after the first
  // cycle.
  void sweepIfDue(Worker& worker);

 private:
  uint32_t percent_;
  uint64_t due_ = 0;  // monotonic nanoseconds
};

// After a record was published into a slot or the ring: wakes the monitor,
// with one system call until it has looked. Async-signal-safe.
void noteErrorPublished(TestRun& run);
// Mismatches found so far by every worker and hardware memory errors, each
// counted once, whether its record was read or not.
uint64_t mismatchesFound(const TestRun& run);

// Asks the workers to end after their current cycles; ends a pause at once.
// Callable from any thread except from inside a signal handler.
void requestStop(TestRun& run);

}  // namespace kelvaring
