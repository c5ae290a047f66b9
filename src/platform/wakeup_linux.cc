// The wake-up as an eventfd: a write is async-signal-safe, and poll sleeps
// until one came. Where no eventfd can be had, a wait sleeps its time out.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "platform/threads.h"
#include "platform/wakeup.h"

namespace kelvaring::platform {

Wakeup::Wakeup() : handle_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Wakeup::~Wakeup() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

void Wakeup::signal() {
  if (handle_ < 0) return;
  const int saved = errno;  // a signal handler leaves errno as it found it
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(static_cast<int>(handle_), &one, sizeof one);
  errno = saved;
}

bool Wakeup::wait(unsigned milliseconds) {
  if (handle_ < 0) {
    sleepMilliseconds(milliseconds);
    return false;
  }
  pollfd ready{static_cast<int>(handle_), POLLIN, 0};
  // An interruption counts as a wake-up without news: the caller looks at
  // its clock and waits again.
  if (poll(&ready, 1, static_cast<int>(milliseconds)) <= 0) return false;
  uint64_t count = 0;
  return read(static_cast<int>(handle_), &count, sizeof count) == sizeof count;
}

}  // namespace kelvaring::platform
