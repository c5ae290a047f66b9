// One run: its settings, the two buffers, the worker team, the counters
// and the stop request, owned together. The main thread makes it before
// it reads the settings; tests make runs of their own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "kelvaring/state.h"
#include "platform/faults.h"
#include "platform/wakeup.h"

namespace kelvaring {

// The pause after a cycle with a `timeout` (waitForStopOrTimeout); tests
// give a run another one to watch it.
using CyclePause = void (*)(TestRun& run, uint32_t milliseconds);
void waitForStopOrTimeout(TestRun& run, uint32_t milliseconds);

// Who writes and who reads each word is said beside it; "before the
// workers start" means written by the main thread and read-only after.
struct TestRun {
  TestRun();
  TestRun(const TestRun&) = delete;
  TestRun& operator=(const TestRun&) = delete;

  Settings settings;                   // before the workers start
  uint32_t errors = 0;                 // main thread
  // Whole cycles' worth of operations that all workers completed together.
  std::atomic<uint32_t> cycles{0};
  uint32_t opsPerCycle = 0;            // of all workers together; before they start
  uint32_t seedSeconds = 0;            // the time the generators are seeded from; before they start
  // Set by requestStop (main thread, the stop handler's thread), read by
  // the workers between cycles and in a sweep.
  std::atomic<bool> stopRequested{false};
  // Set by the worker whose cycle brought the operations of all to
  // cycleLimit: the workers end as at a stop request.
  std::atomic<bool> limitReached{false};
  // Whether the stop record of the run's first end was written: claimed by
  // the main thread or the stop handler's thread.
  std::atomic<bool> stopLogged{false};
  // Raised after a publication (a slot or the ring); the finder that raises
  // it wakes the monitor, which lowers it before it reads the slots.
  std::atomic<bool> errorSeen{false};
  WorkerTeam workers;
  // Hardware memory errors in the buffers, published by signal handlers.
  ErrorRing hardwareErrors;
  // Operations completed by all workers together.
  std::atomic<uint64_t> operationsDone{0};
  std::atomic<uint32_t> errorStamps{0};  // stamps handed to published errors
  uint32_t spinnerCount = 0;           // main thread
  TestBuffer bufferA;
  TestBuffer bufferB;
  bool buffersLocked = false;          // set by completeAllocation
  // Pages replaced after hardware memory errors, and where the latest one
  // lies (its first address, its bytes): written inside the signal handler
  // of whichever thread met the error, while the page's owners are held,
  // the count last (release); read by a worker whose read-back differs.
  std::atomic<uint32_t> pagesReplaced{0};
  std::atomic<uintptr_t> replacedPage{0};
  std::atomic<uint64_t> replacedBytes{0};
  // The workers end by themselves once their operations together make this
  // many cycles (the count that brings the coverage to the `coverage`
  // setting); 0: never. Before the workers start.
  uint64_t cycleLimit = 0;

  // The monitor's wake-up: finders and ending workers signal it.
  platform::Wakeup monitorWakeup;
  // A pausing worker waits here; a stop or the cycle limit wakes it.
  std::mutex pauseLock;
  std::condition_variable pauseEnded;
  CyclePause pauseAfterCycle = waitForStopOrTimeout;
  // Told of every fault the translators take, right after its line is
  // printed (the results log's record); safe in a signal handler. Null:
  // nobody is told.
  void (*faultWitness)(uint32_t code, const platform::FaultRecord& record) = nullptr;
};

// Whether the workers are to end: a stop was requested or the cycle limit
// reached.
inline bool runEnding(const TestRun& run) {
  return run.stopRequested.load(std::memory_order_relaxed) || run.limitReached.load(std::memory_order_relaxed);
}

// Makes a run the active one for as long as it lives: the run that code
// outside its calls reaches (the signal handlers of hardware memory errors
// and faults, the console's stop handler). Its end waits until no
// ActiveRunUse holds the run, so that a handler still under way on a
// thread of its own (Windows runs the console's handler so) never works on
// a run that is gone.
class ActiveRun {
 public:
  explicit ActiveRun(TestRun& run);
  ~ActiveRun();
  ActiveRun(const ActiveRun&) = delete;
  ActiveRun& operator=(const ActiveRun&) = delete;
};

// The active run, held for as long as this lives; null while no run is
// under way. Never waits: safe in a signal handler.
class ActiveRunUse {
 public:
  ActiveRunUse();
  ~ActiveRunUse();
  ActiveRunUse(const ActiveRunUse&) = delete;
  ActiveRunUse& operator=(const ActiveRunUse&) = delete;
  TestRun* run() const { return run_; }

 private:
  TestRun* run_;
};

}  // namespace kelvaring
