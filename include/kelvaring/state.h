// The types a run is made of: its settings, buffers, workers and the
// records of the errors they find (src/engine/test_run.h puts them
// together).
#pragma once

#include <atomic>
#include <memory>
#include <cstdint>
#include <string>

namespace kelvaring {

inline constexpr const char* kProgramName = "Kelvaring";

struct TestRun;

// The one exception type. It carries a result code in HRESULT form and ends
// a run at the main function's single catch point.
struct CAtlException {
  int32_t m_hr;
};

inline constexpr int32_t kInvalidArgument = static_cast<int32_t>(0x80070057);
inline constexpr int32_t kOutOfMemory = static_cast<int32_t>(0x8007000E);

inline constexpr uint32_t kAccessViolation = 0xC0000005;
inline constexpr uint32_t kArrayBoundsExceeded = 0xC000008C;
inline constexpr uint32_t kBreakpoint = 0x80000003;

// Raises the bounds fault of TestBuffer::at; it takes the course of a
// processor fault on the calling thread.
[[noreturn]] void raiseBoundsFault();

// One test array of 32-bit words in memory of its own.
class TestBuffer {
 public:
  TestBuffer() = default;
  ~TestBuffer() { release(); }
  TestBuffer(const TestBuffer&) = delete;
  TestBuffer& operator=(const TestBuffer&) = delete;

  // Obtains wordCount zero-filled words; false (and base null) on failure,
  // always for 0 words. A buffer that holds memory releases it first.
  bool allocate(uint64_t wordCount, bool topDown);
  void release();

  // Every access to a buffer word goes through here.
  volatile uint32_t& at(uint64_t index) { return wordAt(base, wordCount, index); }

  // The same for a copy of a buffer's place and size, which a loop can keep
  // in registers across calls (a buffer never moves during a run).
  static volatile uint32_t& wordAt(volatile uint32_t* base, uint64_t wordCount, uint64_t index) {
    if (index >= wordCount) [[unlikely]]
      raiseBoundsFault();
    return base[index];
  }

  volatile uint32_t* base = nullptr;
  uint64_t wordCount = 0;
};

// The state of a subtractive generator (src/random). Slots are numbered 1
// to 97; slots[0] is never used. Slots 1..55 form the lag table and slots
// 55..96 the shuffle table (slot 55 belongs to both).
struct SubtractiveRandom {
  uint32_t slots[98];
  int32_t writeIndex;
  int32_t subtractIndex;
  uint32_t lastOutput;
};

// What found an error report.
enum class ErrorKind : uint8_t { mismatch, sweep, hardware, ecc };

// Where an error was seen and what the two words held when read again: the
// words of a published record (below), each an atomic word of its own so
// that a reader racing the writer reads no torn word. Zero at start.
struct MismatchDetail {
  std::atomic<uintptr_t> addressA{0};
  std::atomic<uintptr_t> addressB{0};
  std::atomic<uint32_t> valueA{0};
  std::atomic<uint32_t> valueB{0};
  std::atomic<uint32_t> comparedA{0};   // the two values the failing compare read
  std::atomic<uint32_t> comparedB{0};
  std::atomic<uint8_t> kind{0};         // an ErrorKind
  // A hardware memory error: the address the kernel named and the log2 of
  // the size of the page it reported (and that was replaced).
  std::atomic<uintptr_t> hardwareAddress{0};
  std::atomic<uint8_t> pageShift{0};
  std::atomic<uint32_t> worker{0};      // whose slice holds the words
  std::atomic<uint32_t> stamp{0};       // order of publication among all slots
  std::atomic<uint64_t> found{0};       // the finder's count when it published
};

// One error as its finder saw it, copied whole out of a slot.
struct ErrorRecord {
  ErrorKind kind = ErrorKind::mismatch;
  uint32_t worker = 0;
  uintptr_t addressA = 0;
  uintptr_t addressB = 0;
  uint32_t valueA = 0;
  uint32_t valueB = 0;
  uint32_t comparedA = 0;
  uint32_t comparedB = 0;
  uintptr_t hardwareAddress = 0;
  uint8_t pageShift = 0;
  uint32_t stamp = 0;
  // Mismatches its finder had found when it published this one, this one
  // included: the slot's count, or the hardware errors' in all.
  uint64_t found = 0;
};

// The latest error of one worker, published whole under a sequence lock:
// the sequence is odd while a record is being written. The monitor reads
// the newest complete record and never clears it, so that a record is never
// a mix of two errors and none is lost to a clear. Every mismatch is
// counted before its record is written; one publication at a time: a
// second one that finds the slot being written gives way and writes
// nothing, and its count goes with the next record. The worker is the
// slot's only writer. Lock-free, safe in a signal handler.
class ErrorSlot {
 public:
  // False when the slot was being written and nothing was published.
  // The record takes the next of `stamps`, the order of publication.
  bool publish(ErrorRecord record, std::atomic<uint32_t>& stamps);
  // The newest complete record and its sequence number (0: none published
  // yet); false while one is being written.
  bool read(ErrorRecord& record, uint32_t& sequence) const;
  // Mismatches counted so far, published or not.
  uint64_t found() const { return found_.load(std::memory_order_acquire); }
  // Back to nothing found, while no finder runs.
  void clear();

  MismatchDetail detail;

 private:
  std::atomic<uint64_t> found_{0};
  std::atomic<uint32_t> sequence_{0};
};

// Hardware memory errors, each in a place of its own, so that a signal
// handler that meets one never waits nor gives way, even inside a
// publication of its own thread: it takes the next ticket and writes that
// entry under the entry's own sequence (2t+1 while ticket t is written, 2t+2
// once it is whole). The monitor reads the tickets in order. An entry is
// reused after kEntries more errors; one not read by then is lost, and
// counted all the same.
class ErrorRing {
 public:
  static constexpr uint32_t kEntries = 64;
  enum class Read { whole, pending, lost };

  void publish(ErrorRecord record, std::atomic<uint32_t>& stamps);
  // Ticket t's record: whole, still being written, or overwritten.
  Read read(uint64_t ticket, ErrorRecord& record) const;
  // Tickets handed out: the hardware memory errors found so far.
  uint64_t published() const { return tickets_.load(std::memory_order_acquire); }
  // Back to nothing found, while no finder runs.
  void clear();

 private:
  struct Entry {
    std::atomic<uint64_t> sequence{0};
    MismatchDetail words;
  };
  Entry entries_[kEntries];
  std::atomic<uint64_t> tickets_{0};
};

// Priority class values as the settings file names them.
enum class PriorityClass : uint32_t {
  normal = 0x20,
  aboveNormal = 0x8000,
  high = 0x80,
};

// Priority of the worker threads relative to their process.
enum class ThreadPriority : int32_t {
  belowNormal = -1,
  normal = 0,
  aboveNormal = 1,
  highest = 2,
};

// Written once during start-up, before the workers exist; read-only after.
struct Settings {
  int32_t console = 0;  // acted on while read; kept for the results log
  int32_t verbose = 0;
  int32_t timeout = 0;  // milliseconds, taken as unsigned
  int32_t signal = 0;
  int32_t method = 0;
  int32_t topmem = 0;
  int32_t errmax = 0;  // taken as unsigned; 0 means no limit
  int32_t sweep = 10;  // per cent of each worker's time for compare sweeps, 0..100
  PriorityClass processPriorityClass = PriorityClass::normal;
  ThreadPriority threadPriority = ThreadPriority::normal;
  std::string log;  // results log path, resolved beside the settings file; empty: none
  // The run ends in order once the coverage reaches this many per cent, or
  // after this many minutes; both taken as unsigned, 0 means no such end.
  int32_t coverage = 0;
  int32_t minutes = 0;
  std::string metrics;  // Prometheus text file, resolved like log; empty: none
  int32_t workers = 1;  // as written; 1, absent or negative: one worker; 0: one per CPU
  int32_t retire = 0;   // 1: failing physical pages are taken out of service
  int32_t progress = 0;  // seconds between progress lines with a line end; 0: "\r" lines
  int32_t eccfail = 1;   // 0: a rise of a corrected-error count is not counted as an error
};

// The thread of a worker as another thread sees it, so that it can hold it
// still for a moment (platform::holdThreads): the system's id of the thread
// and where it stands. Zero: no thread yet. The platform layer alone reads
// and writes both words.
struct ThreadHold {
  std::atomic<uint32_t> id{0};
  std::atomic<uint32_t> state{0};
};

// The most workers a run starts.
inline constexpr uint32_t kMaxWorkers = 1024;

// What one worker owns: its slice of both buffers (words firstWord to
// endWord - 1, and no other), its generator, its sticky mask, its share of
// a cycle's operations and the slot of its latest error. Written by the
// run before the worker's thread starts; afterwards the generator, the mask
// and the slot's writes belong to the worker (and the slot's reads to the
// monitor).
struct alignas(64) Worker {
  // The run whose buffers and counters it works on; set by its team.
  TestRun* run = nullptr;
  uint32_t number = 0;
  uint64_t firstWord = 0;
  uint64_t endWord = 0;
  uint32_t opsPerCycle = 0;
  // Seeded from the run's seed time and the notice text, with the worker's
  // number folded in for worker k > 0 (seedRandomAt, setUpWorkers).
  SubtractiveRandom generator{};
  uint32_t stickyMask = 0;
  ErrorSlot errors;
  // Compare sweeps its schedule ran; the worker's own, read once it ended.
  uint64_t sweeps = 0;
  // Its thread, made so by the thread itself when it starts on the slice.
  ThreadHold thread;
  // Words of its slice filled so far in the fill's current pass, in both
  // buffers; published every 4 MiB. Written by the worker's thread while it
  // fills, read by the main thread to show how far the fill is. Relaxed:
  // a figure to show, nothing else is read by it.
  std::atomic<uint64_t> filledWords{0};
};

// The workers of the run: the first always there, the others made when a
// run of several is set up.
class WorkerTeam {
 public:
  uint32_t count() const { return count_; }
  Worker& operator[](uint32_t k) { return k == 0 ? first_ : others_[k - 1]; }
  const Worker& operator[](uint32_t k) const { return k == 0 ? first_ : others_[k - 1]; }
  // count workers in all (1 to kMaxWorkers), the others fresh.
  void resize(uint32_t count);

 private:
  Worker first_;
  std::unique_ptr<Worker[]> others_;
  uint32_t count_ = 1;
};


}  // namespace kelvaring
