// Holding a thread still while a page is replaced: a held thread writes
// nothing until released, and one that has not started yet cannot start.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "kelvaring/state.h"
#include "platform/threads.h"

namespace kelvaring {
namespace {

ThreadHold hold;
std::atomic<uint64_t> steps{0};
std::atomic<bool> stop{false};

// A worker's stand-in: attaches itself, then counts until told to stop.
void count() {
  platform::attachThreadHold(hold);
  while (!stop.load(std::memory_order_relaxed)) steps.fetch_add(1, std::memory_order_relaxed);
}

void waitForStepsPast(uint64_t count) {
  for (int i = 0; i < 5000 && steps.load() <= count; ++i) platform::sleepMilliseconds(1);
  ASSERT_GT(steps.load(), count);
}

TEST(ThreadHoldTest, HeldOrNotYetStartedThreadsMakeNoStepUntilReleased) {
  ThreadHold* const holds[] = {&hold};
  for (bool startedFirst : {true, false}) {
    SCOPED_TRACE(startedFirst ? "running" : "not started");
    hold.state = 0;
    steps = 0;
    stop = false;
    platform::Thread thread;
    if (startedFirst) {
      ASSERT_TRUE(thread.start(count, "counter"));
      waitForStepsPast(0);
    }
    platform::holdThreads(holds, 1);
    if (!startedFirst) {
      ASSERT_TRUE(thread.start(count, "counter"));
    }
    const uint64_t held = steps.load();
    platform::sleepMilliseconds(50);
    EXPECT_EQ(steps.load(), held);
    platform::releaseThreads(holds, 1);
    waitForStepsPast(held);
    stop = true;
    thread.join();
  }
}

}  // namespace
}  // namespace kelvaring
