// Threads, pauses and scheduling priorities. The priority levels are
// Windows' own: the settings name them by their Windows values.
#include <string>

#include "platform/platform_windows.h"
#include "platform/signal_stack.h"
#include "platform/threads.h"

namespace kelvaring::platform {

struct Thread::Shared {
  void (*entry)() = nullptr;
  void (*entryWithArgument)(void*) = nullptr;
  void* argument = nullptr;
  HANDLE handle = nullptr;
  std::string name;
};

namespace {

// Shown in debuggers and Process Explorer; a system without the call
// (before Windows 10 1607) goes without the name.
void nameThread(HANDLE thread, const char* name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  auto set = reinterpret_cast<SetDescription>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (set != nullptr) set(thread, wideText(name).c_str());
}

DWORD WINAPI threadMain(void* argument) {
  auto* shared = static_cast<Thread::Shared*>(argument);
  // Named by the thread itself: Wine passes the name on to the Linux thread
  // only once that thread runs.
  nameThread(GetCurrentThread(), shared->name.c_str());
  ensureSignalStack();
  if (shared->entryWithArgument != nullptr)
    shared->entryWithArgument(shared->argument);
  else
    shared->entry();
  return 0;
}

}  // namespace

Thread::~Thread() { join(); }

bool Thread::start(void (*entry)(), const char* name) {
  if (started_) return false;
  shared_ = new Thread::Shared;
  shared_->entry = entry;
  return launch(name);
}

bool Thread::start(void (*entry)(void*), void* argument, const char* name) {
  if (started_) return false;
  shared_ = new Thread::Shared;
  shared_->entryWithArgument = entry;
  shared_->argument = argument;
  return launch(name);
}

bool Thread::launch(const char* name) {
  shared_->name = name;
  shared_->handle = CreateThread(nullptr, 0, threadMain, shared_, 0, nullptr);
  if (shared_->handle == nullptr) {
    delete shared_;
    shared_ = nullptr;
    return false;
  }
  started_ = true;
  return true;
}

bool Thread::waitForEnd(unsigned milliseconds) {
  return !started_ || WaitForSingleObject(shared_->handle, milliseconds) == WAIT_OBJECT_0;
}

void Thread::join() {
  if (!started_) return;
  WaitForSingleObject(shared_->handle, INFINITE);
  CloseHandle(shared_->handle);
  delete shared_;
  shared_ = nullptr;
  started_ = false;
}

void sleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

void setProcessPriority(PriorityClass priorityClass) {
  SetPriorityClass(GetCurrentProcess(), static_cast<DWORD>(priorityClass));
}

void setThreadPriority(ThreadPriority priority) {
  SetThreadPriority(GetCurrentThread(), static_cast<int>(priority));
}

// No hardware memory error reaches a Windows program, so no page is ever
// replaced and no thread needs holding.
void attachThreadHold(ThreadHold&) {}
void holdThreads(ThreadHold* const*, size_t) {}
void releaseThreads(ThreadHold* const*, size_t) {}

}  // namespace kelvaring::platform
