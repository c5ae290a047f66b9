// A run of the tests' own, for tests that run parts of the engine
// in-process.
#pragma once

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"

namespace kelvaring {

// The run's team made one worker over all words with the whole cycle, as a
// run of one sets it up.
inline Worker& oneWorker(TestRun& run) {
  setUpWorkers(run, 1);
  return run.workers[0];
}

}  // namespace kelvaring

namespace kelvaring::testing {

// A fixture whose every test has a fresh run, the active one while it
// lives (the handlers of hardware memory errors and stop signals reach it).
class StateTest : public ::testing::Test {
 protected:
  TestRun run;
  ActiveRun active_{run};
};

}  // namespace kelvaring::testing
