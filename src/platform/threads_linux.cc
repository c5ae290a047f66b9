// Threads, pauses and scheduling priorities.
#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "platform/platform.h"
#include "platform/signal_stack.h"

namespace kelvaring::platform {

struct Thread::Shared {
  void (*entry)() = nullptr;
  std::mutex lock;
  std::condition_variable ended;
  bool done = false;
};

namespace {

void* threadMain(void* argument) {
  auto* shared = static_cast<Thread::Shared*>(argument);
  ensureSignalStack();
  shared->entry();
  releaseSignalStack();
  std::lock_guard<std::mutex> hold(shared->lock);
  shared->done = true;
  shared->ended.notify_all();
  return nullptr;
}

}  // namespace

Thread::~Thread() { join(); }

bool Thread::start(void (*entry)()) {
  if (started_) return false;
  shared_ = new Thread::Shared;
  shared_->entry = entry;
  pthread_t id;
  if (pthread_create(&id, nullptr, threadMain, shared_) != 0) {
    delete shared_;
    shared_ = nullptr;
    return false;
  }
  handle_ = id;
  started_ = true;
  return true;
}

bool Thread::waitForEnd(unsigned milliseconds) {
  if (!started_) return true;
  std::unique_lock<std::mutex> hold(shared_->lock);
  return shared_->ended.wait_for(hold, std::chrono::milliseconds(milliseconds),
                                 [this] { return shared_->done; });
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
  processNice = clampNice(startingNice + classOffset(priorityClass));
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return;
  while (dirent* entry = readdir(tasks)) {
    int tid = std::atoi(entry->d_name);
    if (tid > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), processNice);
  }
  closedir(tasks);
}

void setThreadPriority(ThreadPriority priority) {
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), clampNice(processNice + threadOffset(priority)));
}

[[noreturn]] void exitImmediately(int status) { _exit(status); }

}  // namespace kelvaring::platform
