// The wake-up as an auto-reset event: SetEvent from any thread, and a wait
// that takes the signal in.
#include <windows.h>

#include "platform/wakeup.h"

namespace kelvaring::platform {

Wakeup::Wakeup() : handle_(reinterpret_cast<intptr_t>(CreateEventW(nullptr, FALSE, FALSE, nullptr))) {}

Wakeup::~Wakeup() {
  if (handle_ != 0) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

void Wakeup::signal() {
  if (handle_ != 0) SetEvent(reinterpret_cast<HANDLE>(handle_));
}

bool Wakeup::wait(unsigned milliseconds) {
  if (handle_ == 0) {
    Sleep(milliseconds);
    return false;
  }
  return WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), milliseconds) == WAIT_OBJECT_0;
}

}  // namespace kelvaring::platform
