// Structured exceptions as the program's faults. A vectored exception
// handler sees a processor fault on the faulting thread first. Where that
// thread has a translator, the handler turns the faulting instruction into
// a call of a function that hands the fault to the translator: execution
// continues there, in the faulting frame's place, so the translator's
// exception unwinds through the code that faulted (built with
// -fnon-call-exceptions) as if that code had thrown it.
#include <cstdlib>

#include "kelvaring/state.h"
#include "platform/faults.h"
#include "platform/platform_windows.h"
#include "platform/signal_stack.h"

namespace kelvaring::platform {
namespace {

thread_local FaultTranslator translatorSlot = nullptr;

// The fault the calling thread is handling, if any. A second fault while it
// is handled ends the process at once instead of starting over.
struct FaultInHand {
  bool active = false;
  uint32_t code = 0;
};
thread_local FaultInHand faultInHand;

// The fault handed over from the exception handler to
// kelvaringThrowPendingFault.
struct PendingFault {
  uint32_t code = 0;
  FaultRecord record;
};
thread_local PendingFault pending;

// Room left on a thread's stack when it overflows, for the fault line.
constexpr ULONG kStackGuarantee = 64 * 1024;

// The exceptions of the processor (and of the system on its behalf) that
// are faults of the program. Everything else, the C++ runtime's own
// exceptions and the console's Ctrl+C notification included, passes on.
bool isFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_STACK_OVERFLOW:
      return true;
    default:
      return false;
  }
}

// For an access violation the system tells the kind of access (0 read,
// 1 write, 8 execution) and the address.
FaultRecord recordOf(const EXCEPTION_RECORD& exception) {
  FaultRecord record;
  if (exception.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && exception.NumberParameters >= 2) {
    record.accessKind = exception.ExceptionInformation[0];
    record.address = exception.ExceptionInformation[1];
  }
  return record;
}

[[noreturn]] void translateInPlace(uint32_t code, const FaultRecord& record) {
  faultInHand = {true, code};
  translatorSlot(code, record);
  // A translator does not return; should one do so, end here.
  exitImmediately(static_cast<int>(code));
}

// Marks a fault as in hand for as long as its handling lasts: until the
// translator's exception leaves the frame that holds it.
class FaultHandling {
 public:
  explicit FaultHandling(uint32_t code) { faultInHand = {true, code}; }
  ~FaultHandling() { faultInHand = {}; }
  FaultHandling(const FaultHandling&) = delete;
  FaultHandling& operator=(const FaultHandling&) = delete;
};

}  // namespace

// Entered as if the faulting instruction had called it (through the
// trampoline below on x86-64).
extern "C" [[noreturn, gnu::noinline]] void kelvaringThrowPendingFault() {
  FaultHandling handling(pending.code);
  translatorSlot(pending.code, pending.record);
  exitImmediately(static_cast<int>(pending.code));
}

namespace {

#if defined(__x86_64__)
// A fault may strike with the stack pointer at any multiple of 8, but code
// entered by a call expects it 8 past a multiple of 16 (the unwinder's own
// context records need that alignment). The trampoline aligns the stack
// behind a frame pointer, which its unwind information names, so that the
// unwinder finds the faulting frame's stack pointer all the same. It also
// keeps the callee's 32-byte home area off the faulting frame.
extern "C" void kelvaringFaultTrampoline();
asm(R"(
  .text
  .globl kelvaringFaultTrampoline
  .def kelvaringFaultTrampoline; .scl 2; .type 32; .endef
  .seh_proc kelvaringFaultTrampoline
kelvaringFaultTrampoline:
  pushq %rbp
  .seh_pushreg %rbp
  movq %rsp, %rbp
  .seh_setframe %rbp, 0
  .seh_endprologue
  andq $-16, %rsp
  subq $32, %rsp
  call kelvaringThrowPendingFault
  ud2
  .seh_endproc
)");
void (*const faultEntry)() = kelvaringFaultTrampoline;
#else
void (*const faultEntry)() = kelvaringThrowPendingFault;
#endif

#if defined(_M_X64) || defined(__x86_64__)
using Word = DWORD64;
Word& instructionPointer(CONTEXT& c) { return c.Rip; }
Word& stackPointer(CONTEXT& c) { return c.Rsp; }
// Code the unwinder can leave: it has unwind information.
bool unwindableAt(Word address) {
  DWORD64 image = 0;
  return RtlLookupFunctionEntry(address, &image, nullptr) != nullptr;
}
#else
using Word = DWORD;
Word& instructionPointer(CONTEXT& c) { return c.Eip; }
Word& stackPointer(CONTEXT& c) { return c.Esp; }
bool unwindableAt(Word address) {
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) == 0) return false;
  return region.State == MEM_COMMIT && region.Type == MEM_IMAGE &&
         (region.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}
#endif

bool readableWord(Word address, Word& word) {
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) == 0 || region.State != MEM_COMMIT ||
      (region.Protect & (PAGE_NOACCESS | PAGE_GUARD)) != 0)
    return false;
  word = *reinterpret_cast<const Word*>(address);
  return true;
}

LONG CALLBACK onException(EXCEPTION_POINTERS* info) {
  const DWORD code = info->ExceptionRecord->ExceptionCode;
  if (!isFault(code) || translatorSlot == nullptr) return EXCEPTION_CONTINUE_SEARCH;
  if (faultInHand.active) exitImmediately(static_cast<int>(faultInHand.code));
  FaultRecord record = recordOf(*info->ExceptionRecord);
  CONTEXT& context = *info->ContextRecord;
  // An overflowed stack has no room for the call: the fault ends the
  // process from here, on the room the guarantee keeps.
  if (code == EXCEPTION_STACK_OVERFLOW) {
    record.unwindable = false;
    translateInPlace(code, record);
  }
  Word& ip = instructionPointer(context);
  Word& sp = stackPointer(context);
  if (unwindableAt(ip)) {
    // One byte on, the call's return address still lies in the faulting
    // instruction, which the tables of the code around it cover.
    sp -= sizeof(Word);
    *reinterpret_cast<Word*>(sp) = ip + 1;
  } else {
    // A call through a bad pointer: where the word on the stack top is a
    // return address into the program, it is as if that call had reached
    // the fault entry. Otherwise there is nothing to unwind from.
    Word returnAddress = 0;
    if (!readableWord(sp, returnAddress) || !unwindableAt(returnAddress)) {
      record.unwindable = false;
      translateInPlace(code, record);
    }
  }
  pending = {static_cast<uint32_t>(code), record};
  ip = reinterpret_cast<Word>(faultEntry);
  return EXCEPTION_CONTINUE_EXECUTION;
}

void installFaultHandler() {
  static const bool installed = AddVectoredExceptionHandler(1, onException) != nullptr;
  (void)installed;
}

}  // namespace

void ensureSignalStack() {
  ULONG size = kStackGuarantee;
  SetThreadStackGuarantee(&size);
}

void releaseSignalStack() {}

FaultTranslator setFaultTranslator(FaultTranslator translator) {
  installFaultHandler();
  ensureSignalStack();
  FaultTranslator previous = translatorSlot;
  translatorSlot = translator;
  return previous;
}

// No hardware memory error reaches a Windows program as an exception it
// could take care of.
void setHardwareErrorHandler(HardwareErrorHandler) {}

void raiseFault(uint32_t code) {
  if (code == kBreakpoint) {
    RaiseException(code, 0, 0, nullptr);
    std::abort();
  }
  if (translatorSlot != nullptr) {
    FaultHandling handling(code);
    translatorSlot(code, FaultRecord{});
  }
  // No translator: the process ends with the fault code, as an unhandled
  // fault does.
  exitImmediately(static_cast<int>(code));
}

// TerminateProcess skips the runtime's exit processing, as _exit does.
[[noreturn]] void exitImmediately(int status) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace kelvaring::platform
