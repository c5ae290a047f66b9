// Processor faults and hardware memory errors handed to the program, and
// the immediate end of the process. In faults_*.cc.
#pragma once

#include <cstdint>

namespace kelvaring::platform {

// What is known of a fault besides its code. For an access violation the
// kind of access (0 read, 1 write, 8 instruction fetch) and the address;
// zero for faults raised by the program.
struct FaultRecord {
  uint64_t accessKind = 0;
  uintptr_t address = 0;
  // False when the fault left nothing to unwind from (a jump to a bad
  // address that no call made): the translator must not throw.
  bool unwindable = true;
};

// Called on the faulting thread while the fault is handled; it must not
// return (it throws or ends the process).
using FaultTranslator = void (*)(uint32_t code, const FaultRecord& record);

// Makes `translator` the calling thread's fault translator and returns the
// previous one. Processor faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE) on a
// thread with a translator are handed to it on an alternate signal stack;
// on a thread without one they take their default course.
FaultTranslator setFaultTranslator(FaultTranslator translator);

// A hardware memory error the kernel reported (SIGBUS with BUS_MCEERR_AR or
// BUS_MCEERR_AO): the address in the failed page and the log2 of its size.
// The handler runs inside the signal handler of whichever thread received
// it and must be async-signal-safe. True: the error is taken care of and
// the thread goes on where it was; false: it is the fault it would be
// without a handler.
using HardwareErrorHandler = bool (*)(uintptr_t address, unsigned pageShift);
void setHardwareErrorHandler(HardwareErrorHandler handler);

// Raises a fault with the given code on the calling thread, as a processor
// fault would be. The breakpoint code takes the course of SIGTRAP.
[[noreturn]] void raiseFault(uint32_t code);

// Ends the process at once with the given status, without exit processing.
[[noreturn]] void exitImmediately(int status);

}  // namespace kelvaring::platform
