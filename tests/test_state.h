// The shared state record back to how the program starts, for tests that
// run parts of the engine in-process.
#pragma once

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "kelvaring/state.h"

namespace kelvaring {

// The run's team made one worker over all words with the whole cycle, as a
// run of one sets it up.
inline Worker& oneWorker() {
  setUpWorkers(1);
  return testState.workers[0];
}

}  // namespace kelvaring

namespace kelvaring::testing {

inline void resetTestState() {
  TestState& s = testState;
  s.bufferA.release();
  s.bufferB.release();
  s.errors = s.opsPerCycle = s.spinnerCount = 0;
  s.cycles = 0;
  s.operationsDone = 0;
  s.cycleLimit = 0;
  s.stopRequested = s.limitReached = s.stopLogged = s.errorSeen = false;
  s.workers.resize(1);
  s.workers[0].stickyMask = 0;
  s.workers[0].errors.clear();
  s.hardwareErrors.clear();
  s.buffersLocked = false;
  s.pagesReplaced = 0;
  s.workers[0].sweeps = 0;
  s.settings = Settings{};
  pauseAfterCycle = waitForStopOrTimeout;
}

// A fixture that starts and ends every test with that state.
class StateTest : public ::testing::Test {
 protected:
  void SetUp() override { resetTestState(); }
  void TearDown() override { resetTestState(); }
};

}  // namespace kelvaring::testing
