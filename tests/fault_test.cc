// Faults turned into the fault line and the result code, in child processes.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "report/console_lines.h"
#include "control/control.h"
#include "platform/platform_linux.h"
#include "kelvaring/state.h"
#include "kelvaring/text.h"
#include "engine/engine.h"
#include "platform/console.h"
#include "platform/faults.h"
#include "platform/threads.h"
#include "test_state.h"

namespace kelvaring {
namespace {

using ::testing::ExitedWithCode;
using ::testing::KilledBySignal;

volatile uintptr_t nowhere = 0;

// Runs `body` below a catch point as the main function does. Standard output
// goes to standard error, where the death test reads it, followed by the
// full result code; the exit status is the code's low byte.
template <typename Body>
[[noreturn]] void guarded(Body body) {
  dup2(STDERR_FILENO, STDOUT_FILENO);
  installFaultTranslation();
  try {
    body();
  } catch (CAtlException e) {
    std::fprintf(stderr, "result %08x\n", static_cast<unsigned>(e.m_hr));
    std::_Exit(e.m_hr & 0xFF);
  }
  std::_Exit(0);
}

// Kept apart from any function with cleanups, so the exception passes
// through these frames on their unwind information alone.
[[gnu::noinline]] void divideByZero() { asm volatile("xorl %%ecx, %%ecx\n\tdivl %%ecx" ::: "eax", "ecx", "edx"); }
[[gnu::noinline]] void illegalInstruction() { asm volatile("ud2"); }

// Called through a pointer the compiler cannot see through: a function
// that only touches its own stack would otherwise be taken for one that
// cannot throw, and the catch point optimised away.
extern int (*volatile recurseAgain)(int);
constexpr int kNeverReached = 1 << 30;
[[gnu::noinline]] int recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (depth == kNeverReached) return 0;
  return recurseAgain(depth + 1) + frame[0];
}
int (*volatile recurseAgain)(int) = recurse;

// Touches nothing but its own stack: taken for a function that cannot throw.
[[gnu::noinline]] int recurseQuietly(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (depth == kNeverReached) return 0;
  return recurseQuietly(depth + 1) + frame[0];
}

class FaultDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// The sanitizer's own null check would stop these before the processor does.
[[gnu::noinline, gnu::no_sanitize_undefined]] uint32_t readAt(uintptr_t address) {
  return *reinterpret_cast<volatile uint32_t*>(address);
}
[[gnu::noinline, gnu::no_sanitize_undefined]] void writeAt(uintptr_t address) {
  *reinterpret_cast<volatile uint32_t*>(address) = 1;
}

TEST_F(FaultDeathTest, AccessViolationsNameKindAndAddress) {
  EXPECT_EXIT(guarded([] { readAt(nowhere); }), ExitedWithCode(0x05),
              "^Exception code = c0000005 \\(read from address 0000000000000000\\)\nresult c0000005\n$");
  EXPECT_EXIT(guarded([] { writeAt(nowhere + 0x10); }), ExitedWithCode(0x05),
              "^Exception code = c0000005 \\(write to address 0000000000000010\\)\nresult c0000005\n$");
}

TEST_F(FaultDeathTest, CallThroughNullPointerUnwindsFromItsCaller) {
  static void (*volatile nothing)() = nullptr;
  EXPECT_EXIT(guarded([] { nothing(); }), ExitedWithCode(0x05),
              "^Exception code = c0000005 \\(write to address 0000000000000000\\)\nresult c0000005\n$");
}

TEST_F(FaultDeathTest, SecondFaultWhileHandlingEndsWithTheFirstCode) {
  // The translator itself faults: no second line, no loop, the first code.
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        platform::setFaultTranslator([](uint32_t code, const platform::FaultRecord& record) {
          std::string line = faultLine(code, record);
          platform::writeOutRaw(line.data(), line.size());
          readAt(nowhere);
        });
        divideByZero();
        std::_Exit(0);
      },
      ExitedWithCode(0x94), "^Exception code = c0000094\n$");
}

TEST_F(FaultDeathTest, BoundsFaultAndRaisedCodes) {
  EXPECT_EXIT(guarded([] {
                TestBuffer buffer;
                buffer.allocate(4, false);
                buffer.at(4) = 1;
              }),
              ExitedWithCode(0x8C), "^Exception code = c000008c\nresult c000008c\n$");
  // A code with bit 31 clear is printed as it is and converted for the result.
  EXPECT_EXIT(guarded([] { platform::raiseFault(0x12345678); }), ExitedWithCode(0x78),
              "^Exception code = 12345678\nresult 80075678\n$");
}

TEST_F(FaultDeathTest, OtherProcessorFaults) {
  EXPECT_EXIT(guarded(divideByZero), ExitedWithCode(0x94), "^Exception code = c0000094\nresult c0000094\n$");
  EXPECT_EXIT(guarded(illegalInstruction), ExitedWithCode(0x1D), "^Exception code = c000001d\nresult c000001d\n$");
  EXPECT_EXIT(guarded([] {
                // A page of a file that has been cut short cannot be supplied.
                FILE* file = std::tmpfile();
                void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fileno(file), 0);
                (void)*static_cast<volatile char*>(page);
              }),
              ExitedWithCode(0x06), "^Exception code = c0000006\nresult c0000006\n$");
}

TEST_F(FaultDeathTest, StackOverflowIsHandledOnItsOwnStack) {
  EXPECT_EXIT(guarded([] { recurse(0); }), ExitedWithCode(0x05),
              "^Exception code = c0000005 \\(write to address [0-9A-F]{16}\\)\nresult c0000005\n$");
  // No unwinding out of there: the status tells the fault all the same.
  EXPECT_EXIT(guarded([] { recurseQuietly(0); }), ExitedWithCode(0x05),
              "^Exception code = c0000005 \\(write to address [0-9A-F]{16}\\)\n$");
}

TEST_F(FaultDeathTest, StringFailuresPrintNoFaultLine) {
  EXPECT_EXIT(guarded([] { Text("abc").at(4); }), ExitedWithCode(0x57), "^result 80070057\n$");
  EXPECT_EXIT(guarded([] { Text().buffer(SIZE_MAX - 1); }), ExitedWithCode(0x0E), "^result 8007000e\n$");
#ifndef __SANITIZE_ADDRESS__
  // The address sanitizer ends the process itself when memory runs out.
  EXPECT_EXIT(guarded([] { Text().buffer(size_t{1} << 46); }), ExitedWithCode(0x0E), "^result 8007000e\n$");
#endif
}

TEST_F(FaultDeathTest, FaultLineContinuesTheProgressLine) {
  EXPECT_EXIT(guarded([] {
                platform::printOut("%s", progressLine(3, 1.875, ':').c_str());
                platform::raiseFault(kArrayBoundsExceeded);
              }),
              ExitedWithCode(0x8C), "^\r3 cycles, \\(2% coverage\\) :      Exception code = c000008c\n");
}

TEST_F(FaultDeathTest, BreakpointIsNeverTranslated) {
  EXPECT_EXIT(guarded([] { platform::raiseFault(kBreakpoint); }), KilledBySignal(SIGTRAP), "^$");
}

TEST_F(FaultDeathTest, FaultRemovesTheStopHandlerOnItsWayOut) {
  // Were the handler still there, the interrupt would print the notice and
  // the child would end normally.
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        platform::setFaultTranslator(translateFault);
        try {
          CtrlHandlerGuard guard([](uint32_t type) { return stopsTheRun(type); });
          platform::raiseFault(kAccessViolation);
        } catch (CAtlException) {
          kill(getpid(), SIGINT);
          platform::sleepMilliseconds(500);
        }
        std::_Exit(0);
      },
      KilledBySignal(SIGINT), "^Exception code = c0000005 \\(read from address 0{16}\\)\n$");
}

TEST_F(FaultDeathTest, WorkerFaultEndsTheProcessWithItsCode) {
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        platform::Thread worker;
        worker.start(
            [] {
          platform::setFaultTranslator(endProcessOnFault);
          writeAt(nowhere + 8);
            },
            "worker");
        worker.join();
        std::_Exit(0);
      },
      ExitedWithCode(0x05), "Exception code = c0000005 \\(write to address 0000000000000008\\)\n$");
}

TEST(FaultCode, EveryRowOfTheTable) {
  struct Row {
    int signal;
    int siCode;
    uint32_t code;
  };
  // x86-64 Linux raises privileged instructions as SIGSEGV and has no
  // integer overflow trap: SIGILL and SIGFPE have no other rows.
  for (Row row : {Row{SIGSEGV, SEGV_MAPERR, 0xC0000005}, Row{SIGSEGV, SEGV_ACCERR, 0xC0000005},
                  Row{SIGSEGV, SI_KERNEL, 0xC0000005}, Row{SIGBUS, BUS_ADRALN, 0x80000002},
                  Row{SIGBUS, BUS_ADRERR, 0xC0000006}, Row{SIGBUS, BUS_OBJERR, 0xC0000006},
                  Row{SIGILL, ILL_ILLOPN, 0xC000001D}, Row{SIGILL, ILL_PRVOPC, 0xC000001D},
                  Row{SIGFPE, FPE_INTDIV, 0xC0000094}, Row{SIGFPE, FPE_FLTDIV, 0xC000008E},
                  Row{SIGFPE, FPE_FLTOVF, 0xC0000091}, Row{SIGFPE, FPE_FLTUND, 0xC0000093},
                  Row{SIGFPE, FPE_FLTRES, 0xC000008F}, Row{SIGFPE, FPE_FLTINV, 0xC0000090}}) {
    EXPECT_EQ(platform::faultCode(row.signal, row.siCode), row.code) << row.signal << " " << row.siCode;
  }
}

TEST(FaultCode, RecordOfAnAccessViolation) {
  struct Row {
    int siCode;
    uint64_t error;
    uint64_t kind;
    uintptr_t address;
  };
  for (Row row : {Row{SEGV_MAPERR, 0x4, 0, 0x10}, Row{SEGV_ACCERR, 0x7, 1, 0x10}, Row{SEGV_MAPERR, 0x14, 8, 0x10},
                  Row{SI_KERNEL, 0x0, 0, UINTPTR_MAX}}) {
    platform::FaultRecord record = platform::faultRecord(SIGSEGV, row.siCode, 0x10, row.error);
    EXPECT_EQ(record.accessKind, row.kind) << row.siCode << " " << row.error;
    EXPECT_EQ(record.address, row.address) << row.siCode << " " << row.error;
  }
  EXPECT_EQ(faultLine(kAccessViolation, platform::faultRecord(SIGSEGV, SI_KERNEL, 0, 0)),
            "Exception code = c0000005 (read from address FFFFFFFFFFFFFFFF)\n");
}

TEST(FaultResult, ConvertsPositiveCodes) {
  EXPECT_EQ(faultResult(0xC0000005), static_cast<int32_t>(0xC0000005));
  EXPECT_EQ(faultResult(0x12345678), static_cast<int32_t>(0x80075678));
  EXPECT_EQ(faultResult(0), 0);
  EXPECT_EQ(faultLine(kAccessViolation, {8, 0x1234}),
            "Exception code = c0000005 (write to address 0000000000001234)\n");
}

// Buffers of 5 MiB, no multiple of a huge page: the last one is cut.
TEST(HardwareError, PlanReplacesThePageOfTheReportedSizeWithTheOtherBuffers) {
  constexpr uintptr_t a = 0x40000000, b = 0x80000000;
  constexpr uint64_t mapped = 0x500000;
  struct Row {
    uintptr_t address;
    unsigned shift;
    uintptr_t target;
    uintptr_t source;
    uint64_t bytes;
  };
  for (Row row : {Row{a + 0x1234, 12, a + 0x1000, b + 0x1000, 0x1000},
                  Row{b + 0x3FFFFF, 21, b + 0x200000, a + 0x200000, 0x200000},
                  Row{b + 0x4FF000, 21, b + 0x400000, a + 0x400000, 0x100000},
                  Row{a + 0x2345, 0, a + 0x2000, b + 0x2000, 0x1000},
                  Row{a, 63, a, b, mapped}}) {
    std::optional<PageReplacement> plan = planPageReplacement(row.address, row.shift, a, b, mapped);
    ASSERT_TRUE(plan) << std::hex << row.address;
    EXPECT_EQ(plan->target, row.target) << std::hex << row.address;
    EXPECT_EQ(plan->source, row.source) << std::hex << row.address;
    EXPECT_EQ(plan->bytes, row.bytes) << std::hex << row.address;
    EXPECT_EQ(plan->inBufferA, row.target < b) << std::hex << row.address;
  }
  for (uintptr_t outside : {a - 1, a + mapped, b + mapped, uintptr_t{0}})
    EXPECT_FALSE(planPageReplacement(outside, 12, a, b, mapped)) << std::hex << outside;
  EXPECT_FALSE(planPageReplacement(a, 12, 0, 0, 0));
}

class HardwareErrorTest : public testing::StateTest {};

TEST_F(HardwareErrorTest, FailedPageTakesTheOtherBuffersWordsAndIsRecorded) {
  TestRun& s = run;
  ASSERT_TRUE(allocateBuffers(run, 8 << 20));
  constexpr uint64_t kPageWords = 1024;
  const uint64_t marked = 5 * kPageWords + 7;
  s.bufferB.at(marked) = 0x1234;
  s.bufferA.at(4 * kPageWords) = 0x99;  // the page before stays as it is
  volatile uint32_t* failed = &s.bufferA.at(5 * kPageWords + 3);
  ASSERT_TRUE(onHardwareMemoryError(reinterpret_cast<uintptr_t>(failed) + 1, 12));
  EXPECT_EQ(s.bufferA.at(marked), 0x1234u);
  EXPECT_EQ(s.bufferA.at(4 * kPageWords), 0x99u);
  for (uint64_t i = 5 * kPageWords; i < 6 * kPageWords; ++i) ASSERT_EQ(s.bufferA.at(i), s.bufferB.at(i)) << i;
  // Recorded in the ring of hardware memory errors, never in a worker's
  // slot, whose publication the handler may have interrupted.
  ErrorRecord d;
  ASSERT_EQ(s.hardwareErrors.published(), 1u);
  ASSERT_EQ(s.hardwareErrors.read(0, d), ErrorRing::Read::whole);
  EXPECT_TRUE(s.errorSeen.load());
  EXPECT_EQ(s.pagesReplaced.load(), 1u);
  EXPECT_EQ(d.kind, ErrorKind::hardware);
  EXPECT_EQ(d.addressA, reinterpret_cast<uintptr_t>(failed));
  EXPECT_EQ(d.addressB, reinterpret_cast<uintptr_t>(&s.bufferB.at(5 * kPageWords + 3)));
  EXPECT_EQ(d.hardwareAddress, reinterpret_cast<uintptr_t>(failed) + 1);
  EXPECT_EQ(d.pageShift, 12u);
  EXPECT_EQ(s.workers[0].errors.found(), 0u);
  EXPECT_EQ(mismatchesFound(run), 1u);

  // Elsewhere it is no memory error of the test.
  s.errorSeen = false;
  int local = 0;
  EXPECT_FALSE(onHardwareMemoryError(reinterpret_cast<uintptr_t>(&local), 12));
  EXPECT_FALSE(s.errorSeen.load());
}

// The page of A replaced while its owner stood between its write of A and
// its write of B: the read-back finds the copy's word in A and B's new one.
// That pair is written again, not reported; any other difference is (a
// write that did not take shows the same words).
TEST(HardwareErrorReadBack, AWriteLostToTheReplacedPageIsMadeAgain) {
  constexpr uint64_t kPage = 1024;  // words; the page of A replaced is page 5
  constexpr uint32_t kValue = 0x5A5A1234;
  struct Row {
    const char* what;
    bool replacedDuringTheCycle;
    uint64_t word;
    uint32_t aAfter;  // A's word at the read-back; 0: what the replacement left
    bool reported;
  };
  for (const Row& r : {Row{"lost to the replacement", true, 5 * kPage + 7, 0, false},
                       Row{"page replaced before the cycle", false, 5 * kPage + 7, kFillWord, true},
                       Row{"word outside the replaced page", true, 6 * kPage + 7, kFillWord, true},
                       Row{"A holds neither value", true, 5 * kPage + 7, 0x77, true}}) {
    SCOPED_TRACE(r.what);
    TestRun run;
    const ActiveRun active(run);
    ASSERT_TRUE(allocateBuffers(run, 8 << 20));
    Worker& worker = oneWorker(run);
    const auto replace = [&] {
      return onHardwareMemoryError(reinterpret_cast<uintptr_t>(&run.bufferA.at(5 * kPage)), 12);
    };
    if (!r.replacedDuringTheCycle) {
      ASSERT_TRUE(replace());
    }
    const uint32_t replacedAtStart = run.pagesReplaced;
    run.bufferA.at(r.word) = kValue;  // the owner's write of A, then held
    if (r.replacedDuringTheCycle) {
      ASSERT_TRUE(replace());
    }
    if (r.aAfter != 0) run.bufferA.at(r.word) = r.aAfter;
    run.bufferB.at(r.word) = kValue;  // released: its write of B
    handleReadBack(worker, r.word, run.bufferA.at(r.word), kValue, kFillWord, kValue, replacedAtStart);
    EXPECT_EQ(worker.errors.found(), r.reported ? 1u : 0u);
    EXPECT_EQ(run.bufferA.at(r.word), r.reported ? (r.aAfter != 0 ? r.aAfter : kFillWord) : kValue);
  }
}

}  // namespace
}  // namespace kelvaring
