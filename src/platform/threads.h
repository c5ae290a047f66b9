// The program's threads: starting and ending them, their priorities, and
// holding them still. In threads_*.cc.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelvaring/state.h"

namespace kelvaring::platform {

void sleepMilliseconds(uint32_t milliseconds);
// Failures are silent: the priorities stay as they were.
void setProcessPriority(PriorityClass priorityClass);
void setThreadPriority(ThreadPriority priority);

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

}  // namespace kelvaring::platform
