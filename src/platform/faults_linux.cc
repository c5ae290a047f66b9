// Processor faults as the program's fault codes. The signal handler runs on
// the faulting thread's alternate stack and hands the fault to that thread's
// translator, which throws (the code is built with -fnon-call-exceptions,
// so the exception unwinds through the signal frame into the code that
// faulted) or ends the process.
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/platform.h"
#include "platform/signal_stack.h"

namespace kelvaring::platform {
namespace {

thread_local FaultTranslator translatorSlot = nullptr;

struct SignalStack {
  void* base = nullptr;
  size_t size = 0;
};
thread_local SignalStack signalStack;

// Ample room for the translator's print and the unwinder, also under the
// sanitizers.
constexpr size_t kSignalStackSize = 256 * 1024;

// Page fault error code bits of x86-64.
constexpr uint64_t kPageFaultWrite = 0x2;
constexpr uint64_t kPageFaultInstructionFetch = 0x10;

uint32_t segvCode() { return kAccessViolation; }

uint32_t busCode(int siCode) { return siCode == BUS_ADRALN ? 0x80000002u : 0xC0000006u; }

uint32_t illCode(int siCode) {
  return siCode == ILL_PRVOPC || siCode == ILL_PRVREG ? 0xC0000096u : 0xC000001Du;
}

uint32_t fpeCode(int siCode) {
  switch (siCode) {
    case FPE_INTDIV: return 0xC0000094;
    case FPE_INTOVF: return 0xC0000095;
    case FPE_FLTDIV: return 0xC000008E;
    case FPE_FLTOVF: return 0xC0000091;
    case FPE_FLTUND: return 0xC0000093;
    case FPE_FLTRES: return 0xC000008F;
    case FPE_FLTSUB: return kArrayBoundsExceeded;
    default: return 0xC0000090;
  }
}

uint32_t faultCode(int signal, int siCode) {
  switch (signal) {
    case SIGSEGV: return segvCode();
    case SIGBUS: return busCode(siCode);
    case SIGILL: return illCode(siCode);
    default: return fpeCode(siCode);
  }
}

void takeDefaultCourse(int signal) {
  struct sigaction action{};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(signal);
}

// A call through a bad function pointer faults with the instruction
// pointer at the bad address, where no unwind information exists. Make the
// frame look as if the call had just been made from its caller, so the
// exception can unwind from there: the return address is on the stack top.
void returnFromBadCall(ucontext_t* context) {
  greg_t* regs = context->uc_mcontext.gregs;
  auto* stackTop = reinterpret_cast<uint64_t*>(regs[REG_RSP]);
  uint64_t returnAddress = *stackTop;
  if (returnAddress == 0) return;
  // One byte back lies inside the call instruction, which is covered by the
  // caller's unwind and exception tables.
  regs[REG_RIP] = static_cast<greg_t>(returnAddress - 1);
  regs[REG_RSP] = static_cast<greg_t>(regs[REG_RSP] + 8);
}

void onFault(int signal, siginfo_t* info, void* rawContext) {
  FaultTranslator translator = translatorSlot;
  // Signals sent by a process rather than raised by the processor, and
  // faults on a thread without a translator, keep their default course.
  if (translator == nullptr || info->si_code <= 0) {
    takeDefaultCourse(signal);
    return;
  }
  auto* context = static_cast<ucontext_t*>(rawContext);
  FaultRecord record;
  if (signal == SIGSEGV) {
    uint64_t error = static_cast<uint64_t>(context->uc_mcontext.gregs[REG_ERR]);
    record.address = reinterpret_cast<uintptr_t>(info->si_addr);
    record.accessKind = (error & kPageFaultInstructionFetch) ? 8 : (error & kPageFaultWrite) ? 1 : 0;
    if (record.accessKind == 8 &&
        static_cast<uintptr_t>(context->uc_mcontext.gregs[REG_RIP]) == record.address)
      returnFromBadCall(context);
  }
  translator(faultCode(signal, info->si_code), record);
  // A translator does not return; should one do so, end here.
  exitImmediately(static_cast<int>(faultCode(signal, info->si_code) & 0xFF));
}

void installFaultHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action{};
  action.sa_sigaction = onFault;
  // SA_NODEFER: the handler is left by an exception, never by returning, so
  // the signal must not stay blocked afterwards.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigaction(signal, &action, nullptr);
}

}  // namespace

void ensureSignalStack() {
  if (signalStack.base != nullptr) return;
  void* base = mmap(nullptr, kSignalStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return;
  stack_t stack{};
  stack.ss_sp = base;
  stack.ss_size = kSignalStackSize;
  if (sigaltstack(&stack, nullptr) != 0) {
    munmap(base, kSignalStackSize);
    return;
  }
  signalStack = {base, kSignalStackSize};
}

void releaseSignalStack() {
  if (signalStack.base == nullptr) return;
  stack_t off{};
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  munmap(signalStack.base, signalStack.size);
  signalStack = {};
}

FaultTranslator setFaultTranslator(FaultTranslator translator) {
  installFaultHandlers();
  ensureSignalStack();
  FaultTranslator previous = translatorSlot;
  translatorSlot = translator;
  return previous;
}

void raiseFault(uint32_t code) {
  if (code == kBreakpoint) {
    raise(SIGTRAP);
    std::abort();
  }
  if (FaultTranslator translator = translatorSlot) translator(code, FaultRecord{});
  // No translator: the process ends with the fault code, as an unhandled
  // fault does.
  exitImmediately(static_cast<int>(code & 0xFF));
}

}  // namespace kelvaring::platform
