// A wake-up for a thread that sleeps until another thread, or a signal
// handler, has something for it.
#pragma once

#include <cstdint>

namespace kelvaring::platform {

class Wakeup {
 public:
  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  // Wakes the waiter, or the next wait if none waits now. Several signals
  // before a wait make one wake-up. Async-signal-safe, any thread.
  void signal();
  // Sleeps until signalled or until `milliseconds` have passed; true when
  // signalled. One waiter at a time.
  bool wait(unsigned milliseconds);

 private:
  intptr_t handle_;
};

}  // namespace kelvaring::platform
