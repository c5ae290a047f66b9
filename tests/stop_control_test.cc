// The stop handler, as the run registers it, and its registration.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/control_events.h"
#include "report/console_lines.h"
#include "report/run_records.h"
#include "capture.h"
#include "control/control.h"
#include "engine/engine.h"
#include "kelvaring/state.h"
#include "test_state.h"

namespace kelvaring {
namespace {

const char* kNotice = "\nStop signaled. Terminating...\n";

using StopControlTest = testing::StateTest;

TEST_F(StopControlTest, InterruptBreakAndCloseAreHandled) {
  for (uint32_t type : {platform::kCtrlCEvent, platform::kCtrlBreakEvent, platform::kCtrlCloseEvent}) {
    run.stopRequested = false;
    testing::OutputCapture output;
    EXPECT_TRUE(logStopAndHandle(type));
    EXPECT_TRUE(run.stopRequested);
    EXPECT_EQ(output.text(), kNotice);
  }
}

TEST_F(StopControlTest, LogoffShutdownAndOthersAreDeclined) {
  for (uint32_t type : {3u, 5u, 6u, 0xFFFFFFFFu}) {
    testing::OutputCapture output;
    EXPECT_FALSE(logStopAndHandle(type));
    EXPECT_FALSE(run.stopRequested);
    EXPECT_EQ(output.text(), "");
  }
}

TEST_F(StopControlTest, InterruptBeforeTheFirstCycleGivesNoCycle) {
  testing::OutputCapture output;
  ASSERT_TRUE(allocateBuffers(run, 1 << 20));
  onConsoleControl(run, platform::kCtrlCEvent);
  runWorker(oneWorker(run));
  EXPECT_EQ(run.cycles, 0u);
  EXPECT_EQ(summaryLine(0, run.cycles, coverage(run)), "\rErrors 0, cycles 0, (0% coverage)          \n");
}

class StopControlDeathTest : public StopControlTest {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// Waits a while for the stop flag; false if it never came.
bool stopArrives(const TestRun& run) {
  for (int i = 0; i < 200 && !run.stopRequested; ++i) usleep(10000);
  return run.stopRequested;
}

TEST_F(StopControlDeathTest, SignalsReachTheHandlerOnlyWhileRegistered) {
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        {
          CtrlHandlerGuard guard(logStopAndHandle);
          for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
            run.stopRequested = false;
            kill(getpid(), signal);
            if (!stopArrives(run)) std::_Exit(1);
          }
        }
        // Removed: the interrupt ends the process by its default course.
        kill(getpid(), SIGINT);
        usleep(500000);
        std::_Exit(2);
      },
      ::testing::KilledBySignal(SIGINT), "^(\nStop signaled. Terminating...\n){4}$");
}

// A handler under way on a thread of its own when the run ends: the end
// waits for it; a handler after the end finds no run.
TEST(ActiveRun, EndWaitsForAHandlerUnderWayAndLaterOnesFindNoRun) {
  auto run = std::make_unique<TestRun>();
  std::optional<ActiveRun> active(std::in_place, *run);
  std::atomic<bool> held{false};
  std::atomic<bool> done{false};
  std::thread handler([&] {
    const ActiveRunUse use;
    EXPECT_EQ(use.run(), run.get());
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    requestStop(*use.run());
    done = true;
  });
  while (!held) std::this_thread::yield();
  active.reset();
  EXPECT_TRUE(done) << "the run ended under its handler";
  handler.join();
  EXPECT_TRUE(run->stopRequested);
  EXPECT_EQ(ActiveRunUse().run(), nullptr);
  EXPECT_FALSE(logStopAndHandle(platform::kCtrlCEvent));
}

}  // namespace
}  // namespace kelvaring
