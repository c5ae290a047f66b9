// Processor faults as the program's fault codes. The signal handler runs on
// the faulting thread's alternate stack and hands the fault to that thread's
// translator, which throws (the code is built with -fnon-call-exceptions,
// so the exception unwinds through the signal frame into the code that
// faulted) or ends the process.
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <iterator>

#include "kelvaring/state.h"
#include "platform/faults.h"
#include "platform/platform_linux.h"
#include "platform/signal_stack.h"

namespace kelvaring::platform {
namespace {

thread_local FaultTranslator translatorSlot = nullptr;

// Process-wide: a hardware memory error may reach any thread.
std::atomic<HardwareErrorHandler> hardwareErrorHandler{nullptr};

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

// The fault the calling thread is handling, if any. A second fault while it
// is handled (a stack pointer gone bad makes the unwinder fault too) ends the
// process at once instead of starting over.
struct FaultInHand {
  bool active = false;
  uint32_t code = 0;
};
thread_local FaultInHand faultInHand;

// Marks a fault as in hand for as long as its handling lasts: until the
// translator's exception leaves the handler's frame.
class FaultHandling {
 public:
  explicit FaultHandling(uint32_t code) {
    // The exit status keeps the low byte, which the fault code and its
    // result code share.
    if (faultInHand.active) exitImmediately(static_cast<int>(faultInHand.code & 0xFF));
    faultInHand = {true, code};
  }
  ~FaultHandling() { faultInHand = {}; }
  FaultHandling(const FaultHandling&) = delete;
  FaultHandling& operator=(const FaultHandling&) = delete;
};

// The executable segments loaded when fault handling is installed: the
// program's code, where a return address can lie. Collected beforehand, as
// the loader's lists cannot be walked safely while a fault is handled.
struct CodeRange {
  uintptr_t begin;
  uintptr_t end;
};
CodeRange codeRanges[64];
size_t codeRangeCount = 0;

int collectCodeRanges(dl_phdr_info* info, size_t, void*) {
  for (int i = 0; i < info->dlpi_phnum && codeRangeCount < std::size(codeRanges); ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD || (header.p_flags & PF_X) == 0) continue;
    uintptr_t begin = info->dlpi_addr + header.p_vaddr;
    codeRanges[codeRangeCount++] = {begin, begin + header.p_memsz};
  }
  return 0;
}

bool inCode(uintptr_t begin, uintptr_t end) {
  for (size_t i = 0; i < codeRangeCount; ++i)
    if (codeRanges[i].begin <= begin && end <= codeRanges[i].end) return true;
  return false;
}

// Whether the `length` bytes before `next` are one call instruction: a near
// call (E8 rel32) or an indirect one (FF /2, with an optional REX prefix,
// through a register or through memory).
bool isCallOfLength(const uint8_t* next, size_t length) {
  const uint8_t* at = next - length;
  if (length == 5 && at[0] == 0xE8) return true;
  if (at[0] >= 0x40 && at[0] <= 0x4F) {
    ++at;
    --length;
  }
  if (length < 2 || at[0] != 0xFF || ((at[1] >> 3) & 7) != 2) return false;
  uint8_t mod = at[1] >> 6;
  uint8_t rm = at[1] & 7;
  size_t size = 2;
  if (mod != 3 && rm == 4) {
    if (length < 3) return false;
    ++size;  // the SIB byte; base 5 without displacement takes a 32-bit one
    if (mod == 0 && (at[2] & 7) == 5) size += 4;
  }
  if (mod == 1) size += 1;
  if (mod == 2 || (mod == 0 && rm == 5)) size += 4;
  return size == length;
}

// Whether `address` can be a return address: it lies in the program's code,
// right after a call instruction.
bool isReturnAddress(uintptr_t address) {
  constexpr size_t kLongestCall = 8;
  for (size_t length = 2; length <= kLongestCall; ++length) {
    if (address < length || !inCode(address - length, address)) continue;
    if (isCallOfLength(reinterpret_cast<const uint8_t*>(address), length)) return true;
  }
  return false;
}

// Reads a word that may not be readable at all, without faulting.
bool readWord(uintptr_t address, uint64_t& word) {
  iovec local{&word, sizeof word};
  iovec remote{reinterpret_cast<void*>(address), sizeof word};
  return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(sizeof word);
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

// A call through a bad function pointer faults with the instruction pointer
// at the bad address, where no unwind information exists. When the word on
// the stack top is the call's return address, make the frame look as if the
// call had just been made from its caller, so the exception can unwind from
// there. Otherwise there is nothing to unwind from: false.
bool returnFromBadCall(ucontext_t* context) {
  greg_t* regs = context->uc_mcontext.gregs;
  uint64_t returnAddress = 0;
  if (!readWord(static_cast<uintptr_t>(regs[REG_RSP]), returnAddress) || !isReturnAddress(returnAddress))
    return false;
  // One byte back lies inside the call instruction, which is covered by the
  // caller's unwind and exception tables.
  regs[REG_RIP] = static_cast<greg_t>(returnAddress - 1);
  regs[REG_RSP] = static_cast<greg_t>(regs[REG_RSP] + 8);
  return true;
}

// A SIGBUS of the kernel's machine-check kinds, taken care of by the
// program's handler: the thread goes on where it was.
bool handledHardwareError(int signal, const siginfo_t* info) {
  if (signal != SIGBUS || (info->si_code != BUS_MCEERR_AR && info->si_code != BUS_MCEERR_AO)) return false;
  HardwareErrorHandler handler = hardwareErrorHandler.load(std::memory_order_relaxed);
  return handler != nullptr &&
         handler(reinterpret_cast<uintptr_t>(info->si_addr), static_cast<unsigned>(info->si_addr_lsb));
}

void onFault(int signal, siginfo_t* info, void* rawContext) {
  if (handledHardwareError(signal, info)) return;
  FaultTranslator translator = translatorSlot;
  // Signals sent by a process rather than raised by the processor, and
  // faults on a thread without a translator, keep their default course.
  if (translator == nullptr || info->si_code <= 0) {
    takeDefaultCourse(signal);
    return;
  }
  uint32_t code = faultCode(signal, info->si_code);
  FaultHandling handling(code);
  greg_t* regs = static_cast<ucontext_t*>(rawContext)->uc_mcontext.gregs;
  FaultRecord record = faultRecord(signal, info->si_code, reinterpret_cast<uintptr_t>(info->si_addr),
                                   static_cast<uint64_t>(regs[REG_ERR]));
  if (record.accessKind == 8 && static_cast<uintptr_t>(regs[REG_RIP]) == record.address)
    record.unwindable = returnFromBadCall(static_cast<ucontext_t*>(rawContext));
  translator(code, record);
  // A translator does not return; should one do so, end here.
  exitImmediately(static_cast<int>(code & 0xFF));
}

void installFaultHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  dl_iterate_phdr(collectCodeRanges, nullptr);
  struct sigaction action{};
  action.sa_sigaction = onFault;
  // SA_NODEFER: the handler is left by an exception, never by returning, so
  // the signal must not stay blocked afterwards.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigaction(signal, &action, nullptr);
}

}  // namespace

uint32_t faultCode(int signal, int siCode) {
  switch (signal) {
    case SIGSEGV: return kAccessViolation;
    case SIGBUS: return siCode == BUS_ADRALN ? 0x80000002u : 0xC0000006u;
    case SIGILL: return 0xC000001Du;
    default:
      switch (siCode) {
        case FPE_INTDIV: return 0xC0000094u;
        case FPE_FLTDIV: return 0xC000008Eu;
        case FPE_FLTOVF: return 0xC0000091u;
        case FPE_FLTUND: return 0xC0000093u;
        case FPE_FLTRES: return 0xC000008Fu;
        default: return 0xC0000090u;
      }
  }
}

FaultRecord faultRecord(int signal, int siCode, uintptr_t address, uint64_t pageFaultError) {
  FaultRecord record;
  if (signal != SIGSEGV) return record;
  // A general protection fault (a privileged instruction, a non-canonical
  // address) comes without an address: the unknown address is all ones.
  if (siCode == SI_KERNEL) {
    record.address = UINTPTR_MAX;
    return record;
  }
  record.address = address;
  record.accessKind = (pageFaultError & kPageFaultInstructionFetch) ? 8 : (pageFaultError & kPageFaultWrite) ? 1 : 0;
  return record;
}

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

void setHardwareErrorHandler(HardwareErrorHandler handler) {
  installFaultHandlers();
  hardwareErrorHandler.store(handler, std::memory_order_relaxed);
}

void raiseFault(uint32_t code) {
  if (code == kBreakpoint) {
    raise(SIGTRAP);
    std::abort();
  }
  if (FaultTranslator translator = translatorSlot) {
    FaultHandling handling(code);
    translator(code, FaultRecord{});
  }
  // No translator: the process ends with the fault code, as an unhandled
  // fault does.
  exitImmediately(static_cast<int>(code & 0xFF));
}

[[noreturn]] void exitImmediately(int status) { _exit(status); }

}  // namespace kelvaring::platform
