#include "app/worker_run.h"

#include <chrono>
#include <cstdio>

#include "control/control.h"
#include "engine/engine.h"
#include "kelvaring/state.h"

namespace kelvaring {
namespace {

// The worker's own fault course: a fault there prints the fault line and
// ends the process with the fault's result code.
void oneWorkerMain() {
  platform::setFaultTranslator(endProcessOnFault);
  testWorker();
}

struct Start {
  Worker* worker;
  WorkerRun::Gate* gate;
};
Start starts[kMaxWorkers];

void severalWorkersMain(void* argument) {
  platform::setFaultTranslator(endProcessOnFault);
  const Start& start = *static_cast<Start*>(argument);
  Worker& worker = *start.worker;
  WorkerRun::Gate& gate = *start.gate;
  fillWords(worker.firstWord, worker.endWord);
  {
    std::unique_lock<std::mutex> hold(gate.lock);
    ++gate.filled;
    gate.changed.notify_all();
    gate.changed.wait(hold, [&] { return gate.open; });
  }
  runWorker(worker);
}

}  // namespace

WorkerRun::~WorkerRun() { stopAndJoin(); }

void WorkerRun::stopAndJoin() {
  if (count_ == 0) return;
  requestStop();
  letGo();
  for (uint32_t k = 0; k < count_; ++k) threads_[k].join();
  count_ = 0;
}

bool WorkerRun::startOne() {
  threads_ = std::make_unique<platform::Thread[]>(1);
  if (!threads_[0].start(oneWorkerMain, "worker")) return false;
  count_ = 1;
  return true;
}

bool WorkerRun::startFilling(uint32_t count) {
  threads_ = std::make_unique<platform::Thread[]>(count);
  for (uint32_t k = 0; k < count; ++k) {
    starts[k] = {&testState.workers[k], &gate_};
    // The first keeps the name of a run of one; "worker 1" and on follow.
    char name[16] = "worker";
    if (k != 0) std::snprintf(name, sizeof name, "worker %u", static_cast<unsigned>(k));
    if (!threads_[k].start(severalWorkersMain, &starts[k], name)) {
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

bool WorkerRun::waitForEnd(unsigned milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (uint32_t k = 0; k < count_; ++k) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!threads_[k].waitForEnd(left.count() > 0 ? static_cast<unsigned>(left.count()) : 0)) return false;
  }
  return true;
}

}  // namespace kelvaring
