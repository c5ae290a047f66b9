// The process-wide record shared by the main thread and the test worker,
// and the few types around it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvaring {

inline constexpr const char* kProgramName = "Kelvaring";

// Printed as the banner's third field and mixed into the generator's seed;
// it names the platform the program was built for.
#if defined(_WIN64)
inline constexpr std::string_view kNoticeText = "RAM checker for Windows (x64)";
#elif defined(_WIN32)
inline constexpr std::string_view kNoticeText = "RAM checker for Windows (x86)";
#else
inline constexpr std::string_view kNoticeText = "RAM checker for x86-64 Linux.";
#endif
static_assert(kNoticeText.size() == 29);

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

// What found an error report.
enum class ErrorKind : uint8_t { mismatch, sweep, hardware, ecc };

// Where the latest error was seen and what the two words held when read
// again. Written by the finder before it sets errorSeen, zeroed by the main
// thread after printing (verbose).
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
};

// Priority class values as the settings file names them.
enum class PriorityClass : uint32_t {
  normal = 0x20,
  aboveNormal = 0x8000,
  high = 0x80,
};

// Priority of the worker thread relative to its process.
enum class ThreadPriority : int32_t {
  belowNormal = -1,
  normal = 0,
  aboveNormal = 1,
  highest = 2,
};

// Written once during start-up, before the worker exists; read-only after.
struct Settings {
  int32_t console = 0;  // acted on while read; kept for the results log
  int32_t verbose = 0;
  int32_t timeout = 0;  // milliseconds, taken as unsigned
  int32_t signal = 0;
  int32_t method = 0;
  int32_t topmem = 0;
  int32_t errmax = 0;  // taken as unsigned; 0 means no limit
  int32_t sweep = 10;  // per cent of the worker's time for compare sweeps, 0..100
  PriorityClass processPriorityClass = PriorityClass::normal;
  ThreadPriority threadPriority = ThreadPriority::normal;
  std::string log;  // results log path, resolved beside the settings file; empty: none
};

struct TestState {
  uint32_t errors = 0;                 // main thread
  std::atomic<uint32_t> cycles{0};     // incremented by the worker alone
  uint32_t opsPerCycle = 0;            // set before the worker starts
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> errorSeen{false};
  uint32_t stickyMask = 0;             // worker only
  MismatchDetail detail;
  uint32_t spinnerCount = 0;           // main thread
  TestBuffer bufferA;
  TestBuffer bufferB;
  bool buffersLocked = false;          // set by allocateBuffers
  // Pages replaced after hardware memory errors; written inside the signal
  // handler of whichever thread met the error.
  std::atomic<uint32_t> pagesReplaced{0};
  Settings settings;
};

extern TestState testState;

}  // namespace kelvaring
