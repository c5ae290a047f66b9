// The shared state record back to how the program starts, for tests that
// run parts of the engine in-process.
#pragma once

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "kelvaring/state.h"

namespace kelvaring::testing {

inline void resetTestState() {
  TestState& s = testState;
  s.bufferA.release();
  s.bufferB.release();
  s.errors = s.opsPerCycle = s.stickyMask = s.spinnerCount = 0;
  s.cycles = 0;
  s.stopRequested = s.errorSeen = false;
  s.detail.addressA = s.detail.addressB = 0;
  s.detail.valueA = s.detail.valueB = 0;
  s.detail.comparedA = s.detail.comparedB = 0;
  s.detail.kind = 0;
  s.detail.hardwareAddress = 0;
  s.detail.pageShift = 0;
  s.buffersLocked = false;
  s.pagesReplaced = 0;
  s.cycleLimit = 0;
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
