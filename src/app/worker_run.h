// The worker threads of a run, as the main thread starts, releases and
// waits for them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "kelvaring/state.h"
#include "platform/threads.h"

namespace kelvaring {

// Owns the worker threads. Should the main function be left by an exception
// (or an early return) while workers run or wait, they are stopped and
// waited for here, before the buffers can be released at exit.
class WorkerRun {
 public:
  explicit WorkerRun(TestRun& run) : run_(run) {}
  ~WorkerRun();
  WorkerRun(const WorkerRun&) = delete;
  WorkerRun& operator=(const WorkerRun&) = delete;

  // The team set up (setUpWorkers done), of one worker or of several: each
  // worker fills its own slice (first touched by the thread that tests
  // it), then waits for letGo. False when a thread cannot be created;
  // those started are stopped.
  bool startFilling(uint32_t count);
  // Returns once every worker has filled its slice. A fill that lasts
  // longer than 2 seconds shows "Filling: N %" on standard error when that
  // is a terminal, a line rewritten in place and erased at the end.
  void waitUntilFilled();
  // The waiting workers start testing.
  void letGo();
  // Whether every worker has ended its test. Each signals the monitor's
  // wake-up as it ends.
  bool allEnded() const { return gate_.ended.load(std::memory_order_acquire) == count_; }
  // Once all have ended: their threads released.
  void joinAll();

  // Shared with the worker threads.
  struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    uint32_t filled = 0;
    bool open = false;
    std::atomic<uint32_t> ended{0};  // written by the workers, read by the monitor
  };
  // What a worker's thread starts with.
  struct Start {
    Worker* worker;
    Gate* gate;
  };

 private:
  void stopAndJoin();
  // Whether every worker has filled its slice, waiting at most that long.
  bool filledWithin(unsigned milliseconds);
  // The words the workers have filled so far, in both buffers.
  uint64_t filledWords() const;

  TestRun& run_;
  std::unique_ptr<platform::Thread[]> threads_;
  std::unique_ptr<Start[]> starts_;
  uint32_t count_ = 0;
  Gate gate_;
};

}  // namespace kelvaring
