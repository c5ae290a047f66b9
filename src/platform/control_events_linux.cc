// Console control events from signals. While a handler is registered, the
// stop signals are blocked in every thread of the program and a thread of
// their own reads them from a signalfd, so the handler runs as ordinary code
// and never inside an asynchronous signal handler. That thread is told to
// finish through an eventfd only the program holds: no signal from outside
// can end it, and every signal the program does not take keeps its default
// course.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/control_events.h"
#include "platform/signal_stack.h"

namespace kelvaring::platform {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};

// A stop signal ignored when the program starts (nohup, a background job of
// a non-interactive shell) stays ignored for the whole run.
const sigset_t ignoredAtStart = [] {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kStopSignals) {
    struct sigaction action{};
    if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) sigaddset(&set, signal);
  }
  return set;
}();

struct ControlThread {
  ControlHandler handler = nullptr;
  FaultTranslator faultCourse = nullptr;
  sigset_t signals{};  // the stop signals taken while the handler is registered
  int signalFd = -1;
  int wakeFd = -1;
  pthread_t thread{};
};
ControlThread control;

// The signal whose event the handler is being called for; only the control
// thread sets and reads it.
thread_local const char* signalInHand = nullptr;

const char* signalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGQUIT: return "SIGQUIT";
    case SIGHUP: return "SIGHUP";
    default: return "SIGTERM";
  }
}

sigset_t takenSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kStopSignals)
    if (!sigismember(&ignoredAtStart, signal)) sigaddset(&set, signal);
  return set;
}

uint32_t controlType(int signal) {
  switch (signal) {
    case SIGINT: return kCtrlCEvent;
    case SIGQUIT: return kCtrlBreakEvent;
    default: return kCtrlCloseEvent;
  }
}

void* controlThreadMain(void*) {
  setFaultTranslator(control.faultCourse);
  pollfd ready[2] = {{control.wakeFd, POLLIN, 0}, {control.signalFd, POLLIN, 0}};
  for (;;) {
    if (poll(ready, 2, -1) < 0) continue;
    if (ready[0].revents != 0) break;
    signalfd_siginfo info{};
    if (read(control.signalFd, &info, sizeof info) != sizeof info) continue;
    int signal = static_cast<int>(info.ssi_signo);
    signalInHand = signalName(signal);
    bool handled = control.handler(controlType(signal));
    signalInHand = nullptr;
    if (!handled) {
      // Declined: let the signal take its default course.
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, signal);
      pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
      raise(signal);
    }
  }
  releaseSignalStack();
  return nullptr;
}

void closeDescriptors() {
  if (control.signalFd >= 0) close(control.signalFd);
  if (control.wakeFd >= 0) close(control.wakeFd);
}

// Tells the control thread to finish and waits for it.
void endControlThread() {
  uint64_t one = 1;
  while (write(control.wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
  pthread_join(control.thread, nullptr);
  closeDescriptors();
}

}  // namespace

const char* controlEventSignal() { return signalInHand; }

bool addControlHandler(ControlHandler handler, FaultTranslator faultCourse) {
  if (control.handler != nullptr) return false;
  sigset_t signals = takenSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  control = {handler, faultCourse, signals, signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC),
             eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
  if (control.signalFd < 0 || control.wakeFd < 0 ||
      pthread_create(&control.thread, nullptr, controlThreadMain, nullptr) != 0) {
    closeDescriptors();
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    control = {};
    return false;
  }
  pthread_setname_np(control.thread, "stop-control");
  return true;
}

void removeControlHandler(ControlHandler handler) {
  if (handler == nullptr || handler != control.handler) return;
  endControlThread();
  // Signals that arrived meanwhile are still pending and now take their
  // default course.
  pthread_sigmask(SIG_UNBLOCK, &control.signals, nullptr);
  control = {};
}

void ignoreControlEvents(ControlHandler handler) {
  if (handler == nullptr || handler != control.handler) return;
  endControlThread();
  // Ignoring a signal also discards it where it is pending.
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  for (int signal : kStopSignals) sigaction(signal, &ignore, nullptr);
  pthread_sigmask(SIG_UNBLOCK, &control.signals, nullptr);
  control = {};
}

}  // namespace kelvaring::platform
