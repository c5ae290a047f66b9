// Stops and rewrites single threads of a running process with ptrace.
//
// Makes one thread of a running process call address 0, as a call through a
// null function pointer would, by rewriting its registers with ptrace.
#pragma once

#include <sys/types.h>

namespace e2e {

// The thread stops, gets a return address pushed (its current instruction)
// and the instruction pointer 0, and is let go. False when ptrace fails.
bool injectCallToNull(pid_t tid);
// The thread's stack pointer or instruction pointer set to `address`.
bool injectStackPointer(pid_t tid, unsigned long long address);
bool injectJump(pid_t tid, unsigned long long address);

// Delivers to thread `tid` of process `pid` the SIGBUS the kernel sends for
// a hardware memory error: sent with tgkill, its siginfo rewritten at the
// signal-delivery stop (si_code BUS_MCEERR_AR, si_addr `address`,
// si_addr_lsb `pageShift`). False when ptrace fails.
bool injectHardwareError(pid_t pid, pid_t tid, unsigned long long address, int pageShift = 12);

// Holds one thread of a running process still while it lives (the other
// threads go on), so that a test can act while that thread is mid-way.
class ThreadHold {
 public:
  explicit ThreadHold(pid_t tid);
  ~ThreadHold();
  ThreadHold(const ThreadHold&) = delete;
  ThreadHold& operator=(const ThreadHold&) = delete;
  bool holding() const { return holding_; }

 private:
  pid_t tid_;
  bool holding_ = false;
};

}  // namespace e2e
