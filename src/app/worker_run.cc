#include "app/worker_run.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/faults.h"
#include "platform/threads.h"

#include <chrono>
#include <cstdio>

#include "control/control.h"
#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"
#include "report/console_lines.h"

namespace kelvaring {
namespace {

// A fill that lasts longer than this shows how far it is, on a terminal.
constexpr uint64_t kFillQuietMilliseconds = 2000;
// How often the main thread looks at the fill meanwhile.
constexpr unsigned kFillLookMilliseconds = 250;

uint64_t nowMilliseconds() { return platform::monotonicNanoseconds() / 1000000; }

// A worker's thread: its own fault course (a fault prints the fault line
// and ends the process with the fault's result code), its hold, the fill of
// its slice, the gate, the test.
void workerMain(void* argument) {
  platform::setFaultTranslator(endProcessOnFault);
  const WorkerRun::Start& start = *static_cast<WorkerRun::Start*>(argument);
  Worker& worker = *start.worker;
  WorkerRun::Gate& gate = *start.gate;
  // This thread is the one a page replacement holds still while it
  // replaces a page of the slice.
  platform::attachThreadHold(worker.thread);
  fillWords(*worker.run, worker.firstWord, worker.endWord, &worker.filledWords);
  {
    std::unique_lock<std::mutex> hold(gate.lock);
    ++gate.filled;
    gate.changed.notify_all();
    gate.changed.wait(hold, [&] { return gate.open; });
  }
  runWorker(worker);
  gate.ended.fetch_add(1, std::memory_order_acq_rel);
  worker.run->monitorWakeup.signal();
}

}  // namespace

WorkerRun::~WorkerRun() { stopAndJoin(); }

void WorkerRun::stopAndJoin() {
  if (count_ == 0) return;
  requestStop(run_);
  letGo();
  joinAll();
}

void WorkerRun::joinAll() {
  for (uint32_t k = 0; k < count_; ++k) threads_[k].join();
  count_ = 0;
}

bool WorkerRun::startFilling(uint32_t count) {
  threads_ = std::make_unique<platform::Thread[]>(count);
  starts_ = std::make_unique<Start[]>(count);
  for (uint32_t k = 0; k < count; ++k) {
    starts_[k] = {&run_.workers[k], &gate_};
    // The first keeps the name of a run of one; "worker 1" and on follow.
    char name[24] = "worker";  // "worker 1023" at most: the 15 a thread name may have
    if (k != 0) std::snprintf(name, sizeof name, "worker %u", static_cast<unsigned>(k));
    if (!threads_[k].start(workerMain, &starts_[k], name)) {
      stopAndJoin();
      return false;
    }
    count_ = k + 1;
  }
  return true;
}

bool WorkerRun::filledWithin(unsigned milliseconds) {
  std::unique_lock<std::mutex> hold(gate_.lock);
  return gate_.changed.wait_for(hold, std::chrono::milliseconds(milliseconds),
                                [&] { return gate_.filled == count_; });
}

uint64_t WorkerRun::filledWords() const {
  uint64_t filled = 0;
  for (uint32_t k = 0; k < count_; ++k) filled += run_.workers[k].filledWords.load(std::memory_order_relaxed);
  return filled;
}

// The progress goes to standard error, and only to a terminal, so that
// standard output stays the same; it is printed with the gate's lock free,
// as a terminal may keep a write waiting.
void WorkerRun::waitUntilFilled() {
  const uint64_t startedAt = nowMilliseconds();
  const bool terminal = platform::errorIsTerminal();
  int shown = -1;  // the percentage on the line; -1: no line
  while (!filledWithin(kFillLookMilliseconds)) {
    if (!terminal || nowMilliseconds() - startedAt < kFillQuietMilliseconds) continue;
    const int percent = static_cast<int>(fillPercent(filledWords(), run_.bufferA.wordCount));
    if (percent != shown) platform::printErr("%s", fillLine(static_cast<unsigned>(percent)).c_str());
    shown = percent;
  }
  if (shown >= 0) platform::printErr("%s", fillLineErasure());
}

void WorkerRun::letGo() {
  {
    std::lock_guard<std::mutex> hold(gate_.lock);
    gate_.open = true;
  }
  gate_.changed.notify_all();
}

}  // namespace kelvaring
