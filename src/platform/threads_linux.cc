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

#include "platform/platform.h"
#include "platform/signal_stack.h"

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

void* threadMain(void* argument) {
  auto* shared = static_cast<Thread::Shared*>(argument);
  ensureSignalStack();
  if (shared->entryWithArgument != nullptr)
    shared->entryWithArgument(shared->argument);
  else
    shared->entry();
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

[[noreturn]] void exitImmediately(int status) { _exit(status); }

}  // namespace kelvaring::platform
