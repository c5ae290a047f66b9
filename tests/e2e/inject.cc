#include "inject.h"

#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>

namespace e2e {

namespace {

bool seizeAndStop(pid_t tid) {
  if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) return false;
  int status = 0;
  if (ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) == 0 && waitpid(tid, &status, __WALL) == tid) return true;
  ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
  return false;
}

}  // namespace

ThreadHold::ThreadHold(pid_t tid) : tid_(tid), holding_(seizeAndStop(tid)) {}

ThreadHold::~ThreadHold() {
  if (holding_) ptrace(PTRACE_DETACH, tid_, nullptr, nullptr);
}

bool injectCallToNull(pid_t tid) {
  if (!seizeAndStop(tid)) return false;
  bool ok = true;
  user_regs_struct regs{};
  ok = ok && ptrace(PTRACE_GETREGS, tid, nullptr, &regs) == 0;
  if (ok) {
    regs.rsp -= 8;
    ok = ptrace(PTRACE_POKEDATA, tid, reinterpret_cast<void*>(regs.rsp), reinterpret_cast<void*>(regs.rip)) == 0;
    regs.rip = 0;
    // An interrupted system call must not be restarted at the new address.
    regs.orig_rax = static_cast<unsigned long long>(-1);
    ok = ok && ptrace(PTRACE_SETREGS, tid, nullptr, &regs) == 0;
  }
  ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
  return ok;
}

}  // namespace e2e
