// The thin layer over the operating system. Nothing above it calls the
// system directly; each service here is what the program needs of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelvaring/state.h"

namespace kelvaring::platform {

// --- Memory -----------------------------------------------------------------

// Committed, zero-filled read-write memory; null for 0 bytes or on failure.
void* commitMemory(uint64_t bytes, bool topDown);
void releaseMemory(void* base, uint64_t bytes);

// Physical memory available to a new allocation right now, in bytes: the
// kernel's estimate, or less where a memory cgroup of the process leaves
// less room; kMemoryUnknown when neither says anything (a kernel without
// MemAvailable, outside any limiting cgroup).
inline constexpr uint64_t kMemoryUnknown = UINT64_MAX;
uint64_t availablePhysicalMemory();

// Keeps the pages of a region in RAM (they must be mapped already); false,
// with nothing locked, where the system refuses. unlockMemory undoes it.
bool lockMemory(void* base, uint64_t bytes);
void unlockMemory(void* base, uint64_t bytes);

// The physical address behind a virtual one, from /proc/self/pagemap;
// nullopt when the page is not present or its frame number is hidden (an
// unprivileged reader sees 0).
std::optional<uint64_t> physicalAddress(uintptr_t virt);

// Puts a fresh page range holding a copy of `source` in place of the
// `bytes` at `target` (both page-aligned, the same size), locked in RAM
// when `lock` and the lock limit allows. The copy is made before the swap, so no thread ever sees the
// range half-filled. Async-signal-safe; false, with nothing changed, on
// failure.
bool replacePages(void* target, const void* source, uint64_t bytes, bool lock);

// Makes the process the first the kernel ends when memory runs out; silent
// on failure.
void offerToOomKiller();

// The bytes of some address ranges of the running process that lie in huge
// (large) pages; 0 when the system cannot tell.
struct AddressRange {
  uintptr_t begin;
  uintptr_t end;
};
uint64_t hugePageBytes(const std::vector<AddressRange>& ranges);

// --- Processors ---------------------------------------------------------------

// The CPUs this process may run on: those of its affinity mask, or where
// the cgroup CPU quota allows fewer, the quota rounded up; at least 1.
uint32_t usableCpuCount();

// --- Error counts of the memory controllers (EDAC) ---------------------------

// The counts of one memory module, or of a whole controller that names no
// modules.
struct EccCount {
  std::string controller;  // "mc0"
  std::string module;      // "dimm1", "" for the controller's own counts
  std::string label;       // the module's label; the module or controller name when it has none
  uint64_t corrected = 0;
  uint64_t uncorrected = 0;
};

// The counts of the machine's memory controllers; nullopt where the system
// does not tell them.
std::optional<std::vector<EccCount>> readEccCounts();
// The same under `root` (the kernel's EDAC folder, or a copy of its form):
// per module mc*/dimm*/dimm_ce_count and dimm_ue_count where a controller
// has modules, else mc*/ce_count and ue_count; nullopt when no controller is
// found (EDAC absent).
std::optional<std::vector<EccCount>> readEccCounts(const std::string& root);

// --- Help -------------------------------------------------------------------

// The help's lines that differ between systems, each ending in a line end:
// the platform the program was built for, how the available memory is
// found, where the settings file lies and where the details are.
struct HelpLines {
  const char* builtFor;
  const char* availableMemory;
  const char* settingsFile;
  const char* details;
};
const HelpLines& helpLines();

// --- Time and version -------------------------------------------------------

uint32_t secondsSinceEpoch();
// A clock that only moves forward, unaffected by changes of the time of day.
uint64_t monotonicNanoseconds();

struct TimeOfDay {
  int hour;
  int minute;
  int second;
};
TimeOfDay localTimeOfDay();

// The running kernel's version; false when it cannot be read.
bool kernelVersion(int& major, int& minor);

// The lowest version of the system the program runs on: Linux 3.14, whose
// kernel first gives the available-memory estimate the default size is
// taken from; Windows 4.90.
struct OsVersion {
  int major;
  int minor;
};
OsVersion lowestSupportedVersion();

// The kernel's release text (uname -r) and the host's name; empty when
// unknown.
std::string kernelRelease();
std::string hostName();
// The system and processor the program is built for: "linux-x86_64".
const char* platformName();

// The wall clock to the millisecond and the local time's offset from UTC.
struct WallClock {
  int64_t epochMilliseconds;
  int32_t utcOffsetSeconds;
};
WallClock wallClock();
// The wall clock alone; safe in a signal handler.
int64_t epochMilliseconds();

// --- Console ----------------------------------------------------------------

// Formatted output, written out at once (also into pipes and files) and
// whole with respect to other threads. Returns the characters written.
[[gnu::format(printf, 1, 2)]] int printOut(const char* fmt, ...);
[[gnu::format(printf, 1, 2)]] int printErr(const char* fmt, ...);

// Writes to standard output without any lock or allocation; usable while a
// fault is being handled. The same for standard error.
void writeOutRaw(const char* text, size_t length);
void writeErrRaw(const char* text, size_t length);

// Reads one line from standard input and returns its first character, or
// -1 at the end of input.
int readAnswer();

void setConsoleTitle(const char* title);
// Whether standard error is a terminal (a console on Windows), where a line
// rewritten in place can be shown.
bool errorIsTerminal();
// Sounds the terminal's bell and blocks for the tone's duration.
void beep(unsigned frequency, unsigned milliseconds);

// --- Files ------------------------------------------------------------------

// Paths cross this layer in one form on every system: '/' between the
// names (the Windows files turn them into the system's form and back).
// Gives the program's own path in argv[0] that form; argv[0] may be null.
void portableArguments(int argc, char** argv);
// Whether the path names its place without a starting folder: "/..." on
// Linux; "X:/...", "/..." or "//server/..." on Windows.
bool absolutePath(const std::string& path);

// The full path of the running executable file; false when unknown.
bool executablePath(std::string& path);
bool pathExists(const std::string& path);
// The path with every symbolic link followed; false when it cannot be
// resolved.
bool resolvedPath(const std::string& path, std::string& resolved);
// Where a symbolic link leads, as written in it (its target need not exist);
// false when the path is no link.
bool linkTarget(const std::string& path, std::string& target);
// The whole content of a regular file of at most maxBytes bytes.
bool readSmallFile(const std::string& path, size_t maxBytes, std::string& content);

// An append-only log file, created when missing. Returns its descriptor, or
// -1 with the reason (the system's error text) filled in.
int openLogFile(const std::string& path, std::string& reason);
// Writes the text whole with a single write where the system allows; false
// on failure (lastErrorText tells why). Safe in a signal handler.
bool writeLogText(int fd, const char* text, size_t length);
// Pushes what was written to the storage device; false on failure.
bool syncLogFile(int fd);
void closeLogFile(int fd);

// Replaces the file at `path` with one holding `content`: written whole
// under a hidden name in the same folder, then renamed over the target, so
// that a reader sees the old file or the new one, never a part. The new
// file is created with mode 0666 less the umask. A target that exists and
// is neither a file nor a link (a folder, a device) is refused. False, with
// the reason (the system's error text) filled in and nothing left behind,
// on failure.
bool replaceFile(const std::string& path, std::string_view content, std::string& reason);

// The system's description of why the calling thread's last failed call of
// this layer failed. A constant text: no allocation, safe in a signal
// handler.
const char* lastErrorText();

// --- Scheduling -------------------------------------------------------------

void sleepMilliseconds(uint32_t milliseconds);
// Failures are silent: the priorities stay as they were.
void setProcessPriority(PriorityClass priorityClass);
void setThreadPriority(ThreadPriority priority);

// --- Threads ----------------------------------------------------------------

// A thread of the program, with a signal stack of its own so that its faults
// (a stack overflow included) can be handled. It starts with the stop
// signals blocked: they are the main thread's (and the control handler's)
// to take, also when the thread was started before the handler.
class Thread {
 public:
  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // False when the thread cannot be created. The name (at most 15
  // characters) shows in ps, top and /proc.
  bool start(void (*entry)(), const char* name);
  // The same with an argument for the entry.
  bool start(void (*entry)(void*), void* argument, const char* name);
  // Waits at most `milliseconds` for the thread's end; true once it ended.
  bool waitForEnd(unsigned milliseconds);
  // Waits for the end without limit and releases the thread.
  void join();
  bool running() const { return started_; }

  struct Shared;

 private:
  bool launch(const char* name);

  Shared* shared_ = nullptr;
  unsigned long handle_ = 0;
  bool started_ = false;
};

// --- Holding threads still --------------------------------------------------

// Makes the calling thread the one `hold` stands for, until the thread
// ends (a Thread marks its end in it) or another thread takes it over.
// Waits while a holdThreads keeps it from starting. Not inside a signal
// handler.
void attachThreadHold(ThreadHold& hold);

// Holds still the threads of `holds` other than the calling one: each is
// held (waiting in a signal handler of its own), or has ended, or has not
// started yet and then cannot start until the release. One holder at a time
// in the process; while waiting for its turn, the caller can be held itself.
// A thread that does not answer within a second (one stopped by a debugger)
// is not waited for longer. Async-signal-safe.
void holdThreads(ThreadHold* const* holds, size_t count);
// Lets them go on; the next holder may begin.
void releaseThreads(ThreadHold* const* holds, size_t count);

// --- Faults -----------------------------------------------------------------

// What is known of a fault besides its code. For an access violation the
// kind of access (0 read, 1 write, 8 instruction fetch) and the address;
// zero for faults raised by the program.
struct FaultRecord {
  uint64_t accessKind = 0;
  uintptr_t address = 0;
  // False when the fault left nothing to unwind from (a jump to a bad
  // address that no call made): the translator must not throw.
  bool unwindable = true;
};

// Called on the faulting thread while the fault is handled; it must not
// return (it throws or ends the process).
using FaultTranslator = void (*)(uint32_t code, const FaultRecord& record);

// Makes `translator` the calling thread's fault translator and returns the
// previous one. Processor faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE) on a
// thread with a translator are handed to it on an alternate signal stack;
// on a thread without one they take their default course.
FaultTranslator setFaultTranslator(FaultTranslator translator);

// A hardware memory error the kernel reported (SIGBUS with BUS_MCEERR_AR or
// BUS_MCEERR_AO): the address in the failed page and the log2 of its size.
// The handler runs inside the signal handler of whichever thread received
// it and must be async-signal-safe. True: the error is taken care of and
// the thread goes on where it was; false: it is the fault it would be
// without a handler.
using HardwareErrorHandler = bool (*)(uintptr_t address, unsigned pageShift);
void setHardwareErrorHandler(HardwareErrorHandler handler);

// Raises a fault with the given code on the calling thread, as a processor
// fault would be. The breakpoint code takes the course of SIGTRAP.
[[noreturn]] void raiseFault(uint32_t code);

// Ends the process at once with the given status, without exit processing.
[[noreturn]] void exitImmediately(int status);

// --- Console control events -------------------------------------------------

inline constexpr uint32_t kCtrlCEvent = 0;      // SIGINT
inline constexpr uint32_t kCtrlBreakEvent = 1;  // SIGQUIT
inline constexpr uint32_t kCtrlCloseEvent = 2;  // SIGHUP and SIGTERM

// Receives the control type; true means handled. Runs on a thread of its
// own, never inside a signal handler.
using ControlHandler = bool (*)(uint32_t controlType);

// While a handler is registered, SIGINT, SIGQUIT, SIGHUP and SIGTERM go to
// it; before and after they take their default course. A stop signal that
// was ignored when the program started stays ignored throughout. Register on
// the main thread before any other thread of the program is started. The
// handler's thread hands its faults to `faultCourse`.
bool addControlHandler(ControlHandler handler, FaultTranslator faultCourse);
void removeControlHandler(ControlHandler handler);
// Removes the handler and leaves the four signals ignored for the rest of
// the process, those already pending included.
void ignoreControlEvents(ControlHandler handler);
// The name of the signal behind the control event the handler is being
// called for ("SIGINT", "SIGQUIT", "SIGHUP", "SIGTERM"); call it from the
// handler. Null outside one.
const char* controlEventSignal();

}  // namespace kelvaring::platform
