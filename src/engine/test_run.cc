#include "engine/test_run.h"

#include <thread>

namespace kelvaring {
namespace {

// The active run: set and cleared by the main thread, read by the
// handlers. `users` counts the handlers that hold it. Both sequentially
// consistent: a handler raises `users` and then reads `active`, the end of
// a run clears `active` and then reads `users`, so either the end sees the
// handler and waits, or the handler sees no run.
std::atomic<TestRun*> active{nullptr};
std::atomic<uint32_t> users{0};

}  // namespace

TestRun::TestRun() { workers[0].run = this; }

ActiveRun::ActiveRun(TestRun& run) { active.store(&run); }

ActiveRun::~ActiveRun() {
  active.store(nullptr);
  while (users.load() != 0) std::this_thread::yield();
}

ActiveRunUse::ActiveRunUse() {
  users.fetch_add(1);
  run_ = active.load();
}

ActiveRunUse::~ActiveRunUse() { users.fetch_sub(1); }

}  // namespace kelvaring
