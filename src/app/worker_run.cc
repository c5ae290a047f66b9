#include "app/worker_run.h"

#include <cstdio>

#include "control/control.h"
#include "engine/engine.h"
#include "kelvaring/state.h"

namespace kelvaring {
namespace {

struct Start {
  Worker* worker;
  WorkerRun::Gate* gate;
};
Start starts[kMaxWorkers];

// A worker's thread: its own fault course (a fault prints the fault line
// and ends the process with the fault's result code), its hold, the fill of
// its slice, the gate, the test.
void workerMain(void* argument) {
  platform::setFaultTranslator(endProcessOnFault);
  const Start& start = *static_cast<Start*>(argument);
  Worker& worker = *start.worker;
  WorkerRun::Gate& gate = *start.gate;
  // This thread is the one a page replacement holds still while it
  // replaces a page of the slice.
  platform::attachThreadHold(worker.thread);
  fillWords(worker.firstWord, worker.endWord);
  {
    std::unique_lock<std::mutex> hold(gate.lock);
    ++gate.filled;
    gate.changed.notify_all();
    gate.changed.wait(hold, [&] { return gate.open; });
  }
  runWorker(worker);
  gate.ended.fetch_add(1, std::memory_order_acq_rel);
  monitorWakeup().signal();
}

}  // namespace

WorkerRun::~WorkerRun() { stopAndJoin(); }

void WorkerRun::stopAndJoin() {
  if (count_ == 0) return;
  requestStop();
  letGo();
  joinAll();
}

void WorkerRun::joinAll() {
  for (uint32_t k = 0; k < count_; ++k) threads_[k].join();
  count_ = 0;
}

bool WorkerRun::startFilling(uint32_t count) {
  threads_ = std::make_unique<platform::Thread[]>(count);
  for (uint32_t k = 0; k < count; ++k) {
    starts[k] = {&testState.workers[k], &gate_};
    // The first keeps the name of a run of one; "worker 1" and on follow.
    char name[24] = "worker";  // "worker 1023" at most: the 15 a thread name may have
    if (k != 0) std::snprintf(name, sizeof name, "worker %u", static_cast<unsigned>(k));
    if (!threads_[k].start(workerMain, &starts[k], name)) {
      stopAndJoin();
      return false;
    }
    count_ = k + 1;
  }
  return true;
}

void WorkerRun::waitUntilFilled() {
  std::unique_lock<std::mutex> hold(gate_.lock);
  gate_.changed.wait(hold, [&] { return gate_.filled == count_; });
}

void WorkerRun::letGo() {
  {
    std::lock_guard<std::mutex> hold(gate_.lock);
    gate_.open = true;
  }
  gate_.changed.notify_all();
}

}  // namespace kelvaring
