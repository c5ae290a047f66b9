#include "inject.h"

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

namespace {

bool seizeAndStop(pid_t tid) {
  if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) return false;
  int status = 0;
  if (ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) == 0 && waitpid(tid, &status, __WALL) == tid) return true;
  ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
  return false;
}

// Stops the thread, lets `change` rewrite its registers (false: give up)
// and lets it go on from there.
template <typename Change>
bool rewriteRegisters(pid_t tid, Change change) {
  if (!seizeAndStop(tid)) return false;
  user_regs_struct regs{};
  bool ok = ptrace(PTRACE_GETREGS, tid, nullptr, &regs) == 0 && change(regs);
  if (ok) {
    // An interrupted system call must not be restarted with the new registers.
    regs.orig_rax = static_cast<unsigned long long>(-1);
    ok = ptrace(PTRACE_SETREGS, tid, nullptr, &regs) == 0;
  }
  ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
  return ok;
}

}  // namespace

bool injectHardwareError(pid_t pid, pid_t tid, unsigned long long address, int pageShift) {
  if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) return false;
  bool ok = syscall(SYS_tgkill, pid, tid, SIGBUS) == 0;
  // Another signal that comes first is passed on.
  int status = 0;
  while (ok) {
    ok = waitpid(tid, &status, __WALL) == tid && WIFSTOPPED(status);
    if (!ok || WSTOPSIG(status) == SIGBUS) break;
    ptrace(PTRACE_CONT, tid, nullptr, reinterpret_cast<void*>(static_cast<long>(WSTOPSIG(status))));
  }
  siginfo_t info{};
  ok = ok && ptrace(PTRACE_GETSIGINFO, tid, nullptr, &info) == 0;
  if (ok) {
    info.si_code = BUS_MCEERR_AR;
    info.si_addr = reinterpret_cast<void*>(address);
    info.si_addr_lsb = static_cast<short>(pageShift);
    ok = ptrace(PTRACE_SETSIGINFO, tid, nullptr, &info) == 0;
  }
  ptrace(PTRACE_DETACH, tid, nullptr, reinterpret_cast<void*>(static_cast<long>(ok ? SIGBUS : 0)));
  return ok;
}

ThreadHold::ThreadHold(pid_t tid) : tid_(tid), holding_(seizeAndStop(tid)) {}

ThreadHold::~ThreadHold() {
  if (holding_) ptrace(PTRACE_DETACH, tid_, nullptr, nullptr);
}

bool injectCallToNull(pid_t tid) {
  return rewriteRegisters(tid, [tid](user_regs_struct& regs) {
    regs.rsp -= 8;
    if (ptrace(PTRACE_POKEDATA, tid, reinterpret_cast<void*>(regs.rsp), reinterpret_cast<void*>(regs.rip)) != 0)
      return false;
    regs.rip = 0;
    return true;
  });
}

bool injectStackPointer(pid_t tid, unsigned long long address) {
  return rewriteRegisters(tid, [address](user_regs_struct& regs) {
    regs.rsp = address;
    return true;
  });
}

bool injectJump(pid_t tid, unsigned long long address) {
  return rewriteRegisters(tid, [address](user_regs_struct& regs) {
    regs.rip = address;
    return true;
  });
}

}  // namespace e2e
