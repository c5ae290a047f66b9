#include "engine/test_run.h"

namespace kelvaring {
namespace {

// Written by the main thread before the run's handlers can be called and
// after they can no longer be; read by them.
std::atomic<TestRun*> active{nullptr};

}  // namespace

TestRun::TestRun() { workers[0].run = this; }

TestRun* activeRun() { return active.load(std::memory_order_acquire); }

ActiveRun::ActiveRun(TestRun& run) { active.store(&run, std::memory_order_release); }

ActiveRun::~ActiveRun() { active.store(nullptr, std::memory_order_release); }

}  // namespace kelvaring
