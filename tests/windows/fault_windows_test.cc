// Structured exceptions on Windows: each fault kind ends with its line and
// its full code, from the main thread and from a worker.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "control/control.h"
#include "kelvaring/state.h"
#include "platform/console.h"
#include "platform/faults.h"
#include "platform/threads.h"
#include "platform/platform_windows.h"

namespace kelvaring {
namespace {

using ::testing::ExitedWithCode;

volatile uintptr_t nowhere = 0;

// Runs `body` below a catch point as the main function does. Standard output
// goes to standard error, where the death test reads it, followed by the
// result code, which is also the exit status.
template <typename Body>
[[noreturn]] void guarded(Body body) {
  SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
  installFaultTranslation();
  try {
    body();
  } catch (CAtlException e) {
    std::fprintf(stderr, "result %08x\n", static_cast<unsigned>(e.m_hr));
    std::_Exit(e.m_hr);
  }
  std::_Exit(0);
}

[[gnu::noinline]] void readNull() { (void)*reinterpret_cast<volatile uint32_t*>(nowhere); }
[[gnu::noinline]] void writeNear() { *reinterpret_cast<volatile uint32_t*>(nowhere + 0x10) = 1; }
[[gnu::noinline]] void callNull() { reinterpret_cast<void (*)()>(nowhere)(); }
[[gnu::noinline]] void divideByZero() { asm volatile("xorl %%ecx, %%ecx\n\tdivl %%ecx" ::: "eax", "ecx", "edx"); }
[[gnu::noinline]] void illegalInstruction() { asm volatile("ud2"); }
[[gnu::noinline]] void outOfBounds() {
  TestBuffer buffer;
  buffer.allocate(4, false);
  buffer.at(4) = 1;
}

// Called through a pointer the compiler cannot see through, so that the
// recursion is neither flattened nor taken for code that cannot throw.
extern int (*volatile recurseAgain)(int);
[[gnu::noinline]] int recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (depth == 1 << 30) return 0;
  return recurseAgain(depth + 1) + frame[0];
}
int (*volatile recurseAgain)(int) = recurse;

// The fault line gives 16 digits on every build.
std::string address(uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(value));
  return text;
}

struct FaultKind {
  const char* name;
  void (*cause)();
  uint32_t code;
  std::string line;   // the fault line
  bool throws = true;  // unwinds to the catch point, which prints the result
};

TEST(WindowsFaultDeathTest, EachKindEndsWithItsLineAndFullCode) {
  const FaultKind kinds[] = {
      {"read", readNull, 0xC0000005, "Exception code = c0000005 \\(read from address " + address(0) + "\\)\n"},
      {"write", writeNear, 0xC0000005, "Exception code = c0000005 \\(write to address " + address(0x10) + "\\)\n"},
      {"call", callNull, 0xC0000005, "Exception code = c0000005 \\(write to address " + address(0) + "\\)\n"},
      {"divide", divideByZero, 0xC0000094, "Exception code = c0000094\n"},
      {"illegal", illegalInstruction, 0xC000001D, "Exception code = c000001d\n"},
      {"bounds", outOfBounds, 0xC000008C, "Exception code = c000008c\n"},
      {"stack", [] { recurse(0); }, 0xC00000FD, "Exception code = c00000fd\n", false},
  };
  for (const FaultKind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    char result[32];
    std::snprintf(result, sizeof result, "result %08x\n", static_cast<unsigned>(kind.code));
    EXPECT_EXIT(guarded(kind.cause), ExitedWithCode(static_cast<int>(kind.code)),
                "^" + kind.line + (kind.throws ? result : "") + "$");
  }
}

TEST(WindowsFaultDeathTest, WorkerFaultEndsTheProcessWithItsCode) {
  EXPECT_EXIT(
      {
        SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
        platform::Thread worker;
        worker.start(
            [] {
              platform::setFaultTranslator(endProcessOnFault);
              writeNear();
            },
            "worker");
        worker.join();
        std::_Exit(0);
      },
      ExitedWithCode(static_cast<int>(0xC0000005)), "Exception code = c0000005 \\(write to address " + address(0x10) + "\\)\n$");
}

TEST(WindowsFaultDeathTest, SecondFaultWhileHandlingEndsWithTheFirstCode) {
  EXPECT_EXIT(
      {
        SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
        platform::setFaultTranslator([](uint32_t code, const platform::FaultRecord& record) {
          std::string line = faultLine(code, record);
          platform::writeOutRaw(line.data(), line.size());
          readNull();
        });
        divideByZero();
        std::_Exit(0);
      },
      ExitedWithCode(static_cast<int>(0xC0000094)), "^Exception code = c0000094\n$");
}

}  // namespace
}  // namespace kelvaring
