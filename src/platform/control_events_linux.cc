// Console control events from signals. While a handler is registered, the
// signals are blocked in every thread of the program and a thread of their
// own takes them with sigwaitinfo, so the handler runs as ordinary code and
// never inside an asynchronous signal handler.
#include <pthread.h>
#include <signal.h>

#include "platform/platform.h"

namespace kelvaring::platform {
namespace {

// Sent to the control thread alone to tell it to finish.
constexpr int kWakeSignal = SIGUSR2;

ControlHandler currentHandler = nullptr;
pthread_t controlThread;

sigset_t controlSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  return set;
}

uint32_t controlType(int signal) {
  switch (signal) {
    case SIGINT: return kCtrlCEvent;
    case SIGQUIT: return kCtrlBreakEvent;
    default: return kCtrlCloseEvent;
  }
}

void* controlThreadMain(void* argument) {
  auto handler = reinterpret_cast<ControlHandler>(argument);
  sigset_t waitFor = controlSignals();
  sigaddset(&waitFor, kWakeSignal);
  for (;;) {
    int signal = sigwaitinfo(&waitFor, nullptr);
    if (signal < 0) continue;
    if (signal == kWakeSignal) return nullptr;
    if (!handler(controlType(signal))) {
      // Declined: let the signal take its default course.
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, signal);
      pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
      raise(signal);
    }
  }
}

}  // namespace

bool addControlHandler(ControlHandler handler) {
  if (currentHandler != nullptr) return false;
  sigset_t block = controlSignals();
  sigaddset(&block, kWakeSignal);
  pthread_sigmask(SIG_BLOCK, &block, nullptr);
  if (pthread_create(&controlThread, nullptr, controlThreadMain, reinterpret_cast<void*>(handler)) != 0) {
    sigset_t unblock = controlSignals();
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    return false;
  }
  pthread_setname_np(controlThread, "stop-control");
  currentHandler = handler;
  return true;
}

void removeControlHandler(ControlHandler handler) {
  if (handler == nullptr || handler != currentHandler) return;
  pthread_kill(controlThread, kWakeSignal);
  pthread_join(controlThread, nullptr);
  currentHandler = nullptr;
  // Signals that arrived meanwhile are still pending and now take their
  // default course.
  sigset_t unblock = controlSignals();
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}

}  // namespace kelvaring::platform
