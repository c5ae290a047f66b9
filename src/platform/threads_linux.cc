// Threads, pauses and scheduling priorities.
#include <dirent.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "platform/signal_stack.h"
#include "platform/threads.h"

namespace kelvaring::platform {

// The end of a thread is a word set as its last action and waited for with
// a plain futex. A fault translated into an exception may unwind the main
// thread out of this wait; unlike a condition variable or a timed join, the
// futex leaves no half-finished waiter state behind.
struct Thread::Shared {
  void (*entry)() = nullptr;
  void (*entryWithArgument)(void*) = nullptr;
  void* argument = nullptr;
  std::atomic<uint32_t> done{0};
};

namespace {

void endThreadHold();

void* threadMain(void* argument) {
  auto* shared = static_cast<Thread::Shared*>(argument);
  ensureSignalStack();
  if (shared->entryWithArgument != nullptr)
    shared->entryWithArgument(shared->argument);
  else
    shared->entry();
  endThreadHold();
  releaseSignalStack();
  shared->done.store(1, std::memory_order_release);
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&shared->done), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
  return nullptr;
}

}  // namespace

Thread::~Thread() { join(); }

bool Thread::start(void (*entry)(), const char* name) {
  if (started_) return false;
  shared_ = new Thread::Shared;
  shared_->entry = entry;
  return launch(name);
}

bool Thread::start(void (*entry)(void*), void* argument, const char* name) {
  if (started_) return false;
  shared_ = new Thread::Shared;
  shared_->entryWithArgument = entry;
  shared_->argument = argument;
  return launch(name);
}

bool Thread::launch(const char* name) {
  // The new thread inherits the signal mask in force here.
  sigset_t stopSignals;
  sigset_t previous;
  sigemptyset(&stopSignals);
  for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) sigaddset(&stopSignals, signal);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  pthread_t id;
  const int failed = pthread_create(&id, nullptr, threadMain, shared_);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (failed != 0) {
    delete shared_;
    shared_ = nullptr;
    return false;
  }
  pthread_setname_np(id, name);
  handle_ = id;
  started_ = true;
  return true;
}

bool Thread::waitForEnd(unsigned milliseconds) {
  if (!started_) return true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (shared_->done.load(std::memory_order_acquire) == 0) {
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::nanoseconds(0)) return false;
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{static_cast<time_t>(nanos / 1000000000), static_cast<long>(nanos % 1000000000)};
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&shared_->done), FUTEX_WAIT_PRIVATE, 0, &timeout, nullptr, 0);
  }
  return true;
}

void Thread::join() {
  if (!started_) return;
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  delete shared_;
  shared_ = nullptr;
  started_ = false;
}

void sleepMilliseconds(uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

// Priorities map onto nice values relative to the nice value the program
// was started with, so that "normal" means "as started" (a run under
// `nice` stays niced). On Linux a nice value belongs to a thread, so the
// process class is given to every thread of the process.
namespace {

const int startingNice = [] {
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, 0);
  return errno == 0 ? nice : 0;
}();
int processNice = startingNice;

int clampNice(int nice) { return nice < -20 ? -20 : nice > 19 ? 19 : nice; }

int classOffset(PriorityClass priorityClass) {
  switch (priorityClass) {
    case PriorityClass::aboveNormal: return -5;
    case PriorityClass::high: return -10;
    default: return 0;
  }
}

int threadOffset(ThreadPriority priority) {
  switch (priority) {
    case ThreadPriority::belowNormal: return 3;
    case ThreadPriority::aboveNormal: return -3;
    case ThreadPriority::highest: return -6;
    default: return 0;
  }
}

}  // namespace

void setProcessPriority(PriorityClass priorityClass) {
  int nice = clampNice(startingNice + classOffset(priorityClass));
  DIR* tasks = opendir("/proc/self/task");
  if (tasks != nullptr) {
    while (dirent* entry = readdir(tasks)) {
      int tid = std::atoi(entry->d_name);
      if (tid > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
    }
    closedir(tasks);
  }
  // Where raising was refused, the thread levels build on what is in force.
  errno = 0;
  int inForce = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  processNice = errno == 0 ? inForce : startingNice;
}

void setThreadPriority(ThreadPriority priority) {
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), clampNice(processNice + threadOffset(priority)));
}

// Holding a thread still: the holder asks with a signal of the program's
// own, sent to that thread alone; its handler says it is held and waits
// until the holder lets it go. The two words of a ThreadHold:
//
//   id     written by the thread in attachThreadHold before it sets state
//          to running (release); read by the holder after it saw running
//          (acquire).
//   state  idle -> running     the thread, attaching (waits while barred)
//          running -> ended    the thread, at its end, its hold signal
//                              blocked first
//          asked -> ended      the same, when the ask came after the block
//          running -> asked    the holder, before it sends the signal
//          asked -> held       the thread, in the signal's handler
//          asked -> running    the holder, withdrawing an ask that the
//                              thread does not answer (or cannot: the
//                              signal could not be sent)
//          held -> running     the holder, letting it go
//          idle -> barred      the holder, for a thread not yet started
//          barred -> idle      the holder, letting it start
//
// One holder at a time (holderTurn), so asked, held and barred are only
// ever the current holder's. The interleavings that matter:
// - The holder sees running, sets asked and signals. Either the signal is
//   delivered (held: the holder goes on) or the thread blocked it first on
//   its way out (its end then finds asked and sets ended: the holder goes
//   on; the blocked signal dies with the thread). The thread's writes before
//   either store are ordered before it (release) and the holder's copy after
//   its load (acquire).
// - The thread ends first: the holder sees ended and neither signals nor
//   waits; an ended thread writes nothing more.
// - The holder sees idle and bars: a thread that attaches now waits until
//   the release and writes nothing before. A thread attaching between the
//   holder's load and its compare-and-swap makes the swap fail; the holder
//   loads again and sees running.
// - A signal left over from a withdrawn ask finds running (or a later ask,
//   which it then answers early): the handler does nothing on anything but
//   asked.
namespace {

constexpr uint32_t kIdle = 0;
constexpr uint32_t kRunning = 1;
constexpr uint32_t kAsked = 2;
constexpr uint32_t kHeld = 3;
constexpr uint32_t kEnded = 4;
constexpr uint32_t kBarred = 5;

// A holder waits for an answer at most this many times 10 ms.
constexpr int kAnswerWaits = 100;

int holdSignal = 0;
thread_local ThreadHold* attachedHold = nullptr;
thread_local uint32_t ownId = 0;  // the calling thread's, once asked for
std::atomic<uint32_t> holderTurn{0};

uint32_t* futexWord(std::atomic<uint32_t>& word) { return reinterpret_cast<uint32_t*>(&word); }

// Waits while `word` holds `value`, at most `nanoseconds` (0: no limit);
// may return early.
void futexWait(std::atomic<uint32_t>& word, uint32_t value, long nanoseconds = 0) {
  timespec timeout{0, nanoseconds};
  syscall(SYS_futex, futexWord(word), FUTEX_WAIT_PRIVATE, value, nanoseconds != 0 ? &timeout : nullptr, nullptr, 0);
}

void futexWake(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, futexWord(word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

void onHoldSignal(int) {
  const int savedErrno = errno;
  ThreadHold* hold = attachedHold;
  uint32_t asked = kAsked;
  if (hold != nullptr && hold->state.compare_exchange_strong(asked, kHeld)) {
    futexWake(hold->state);
    while (hold->state.load(std::memory_order_acquire) == kHeld) futexWait(hold->state, kHeld);
  }
  errno = savedErrno;
}

void installHoldSignal() {
  static const bool installed = [] {
    holdSignal = SIGRTMIN + 2;
    struct sigaction action{};
    action.sa_handler = onHoldSignal;
    action.sa_flags = SA_ONSTACK | SA_RESTART;
    sigemptyset(&action.sa_mask);
    return sigaction(holdSignal, &action, nullptr) == 0;
  }();
  (void)installed;
}

// A Thread's last step: from here on it writes nothing a holder could lose.
void endThreadHold() {
  ThreadHold* hold = attachedHold;
  if (hold == nullptr) return;
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, holdSignal);
  pthread_sigmask(SIG_BLOCK, &one, nullptr);
  attachedHold = nullptr;
  if (hold->id.load(std::memory_order_relaxed) != ownId) return;  // taken over
  hold->state.store(kEnded, std::memory_order_release);
  futexWake(hold->state);
}

// Asks the thread of `hold` to hold, or bars it from starting; false when
// there is nothing to wait for.
bool ask(ThreadHold& hold, uint32_t self) {
  uint32_t state = hold.state.load(std::memory_order_acquire);
  for (;;) {
    if (state == kIdle) {
      if (hold.state.compare_exchange_weak(state, kBarred)) return false;
    } else if (state == kRunning) {
      const uint32_t id = hold.id.load(std::memory_order_relaxed);
      if (id == self) return false;
      if (hold.state.compare_exchange_weak(state, kAsked)) {
        if (syscall(SYS_tgkill, getpid(), id, holdSignal) == 0) return true;
        state = kAsked;
        hold.state.compare_exchange_strong(state, kRunning);
        return false;
      }
    } else {
      return false;  // ended
    }
  }
}

}  // namespace

void attachThreadHold(ThreadHold& hold) {
  // Attached already: no system call (the one-worker entries attach on
  // every call, their cycles included).
  if (attachedHold == &hold && ownId != 0 && hold.id.load(std::memory_order_relaxed) == ownId) return;
  installHoldSignal();
  if (ownId == 0) ownId = static_cast<uint32_t>(gettid());
  attachedHold = &hold;
  hold.id.store(ownId, std::memory_order_relaxed);
  uint32_t state = hold.state.load(std::memory_order_relaxed);
  for (;;) {
    if (state == kAsked || state == kHeld || state == kBarred) {
      futexWait(hold.state, state);
      state = hold.state.load(std::memory_order_relaxed);
    } else if (hold.state.compare_exchange_weak(state, kRunning, std::memory_order_acq_rel)) {
      return;
    }
  }
}

void holdThreads(ThreadHold* const* holds, size_t count) {
  uint32_t free = 0;
  while (!holderTurn.compare_exchange_weak(free, 1, std::memory_order_acquire)) {
    if (free != 0) futexWait(holderTurn, free);
    free = 0;
  }
  const auto self = static_cast<uint32_t>(gettid());
  // All asked first, so that they stop side by side; then each answer.
  bool asked[kMaxWorkers] = {};
  for (size_t k = 0; k < count && k < kMaxWorkers; ++k) asked[k] = ask(*holds[k], self);
  for (size_t k = 0; k < count && k < kMaxWorkers; ++k) {
    if (!asked[k]) continue;
    std::atomic<uint32_t>& state = holds[k]->state;
    for (int i = 0; i < kAnswerWaits && state.load(std::memory_order_acquire) == kAsked; ++i)
      futexWait(state, kAsked, 10000000);
    uint32_t unanswered = kAsked;
    state.compare_exchange_strong(unanswered, kRunning, std::memory_order_acquire);
  }
}

void releaseThreads(ThreadHold* const* holds, size_t count) {
  for (size_t k = 0; k < count; ++k) {
    std::atomic<uint32_t>& state = holds[k]->state;
    const uint32_t now = state.load(std::memory_order_relaxed);
    if (now != kHeld && now != kBarred) continue;
    state.store(now == kHeld ? kRunning : kIdle, std::memory_order_release);
    futexWake(state);
  }
  holderTurn.store(0, std::memory_order_release);
  futexWake(holderTurn);
}

}  // namespace kelvaring::platform
