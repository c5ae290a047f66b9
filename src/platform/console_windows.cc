// Console output through WriteFile on the standard handles, so that every
// print is out at once whether the output is a console, a pipe or a file
// (WriteConsole fails on a redirected handle); the window title, the
// speaker, the clocks and the system's version.
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/platform_windows.h"
#include "platform/print_text.h"

namespace kelvaring::platform {
namespace {

std::mutex outputLock;

// A failed write (a closed pipe, a full disk) drops the rest of the text.
void writeAll(DWORD which, const char* text, size_t length) {
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (length > 0) {
    DWORD written = 0;
    DWORD chunk = length > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length);
    if (!WriteFile(handle, text, chunk, &written, nullptr) || written == 0) return;
    text += written;
    length -= written;
  }
}

int printTo(DWORD which, const char* fmt, va_list args) {
  return formatAndWrite(fmt, args, [which](const char* text, size_t length) {
    std::lock_guard<std::mutex> hold(outputLock);
    writeAll(which, text, length);
  });
}

}  // namespace

int printOut(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = printTo(STD_OUTPUT_HANDLE, fmt, args);
  va_end(args);
  return n;
}

int printErr(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = printTo(STD_ERROR_HANDLE, fmt, args);
  va_end(args);
  return n;
}

void writeOutRaw(const char* text, size_t length) { writeAll(STD_OUTPUT_HANDLE, text, length); }
void writeErrRaw(const char* text, size_t length) { writeAll(STD_ERROR_HANDLE, text, length); }

int readAnswer() { return readAnswerLine(); }

void setConsoleTitle(const char* title) { SetConsoleTitleW(wideText(title).c_str()); }

// A console handle has a mode; a pipe, a file or the null device has none.
bool errorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

// Beep blocks for the tone's duration; where there is no speaker it fails
// at once, and the pause is kept all the same.
void beep(unsigned frequency, unsigned milliseconds) {
  if (!Beep(frequency, milliseconds)) Sleep(milliseconds);
}

uint32_t secondsSinceEpoch() { return static_cast<uint32_t>(std::time(nullptr)); }

uint64_t monotonicNanoseconds() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
  const uint64_t f = static_cast<uint64_t>(frequency);
  return ticks / f * 1000000000u + ticks % f * 1000000000u / f;
}

TimeOfDay localTimeOfDay() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  return {local.wHour, local.wMinute, local.wSecond};
}

// GetVersionEx reports what the program's manifest declares it knows, not
// the system's version; RtlGetVersion tells the truth.
bool systemVersion(OSVERSIONINFOW& info) {
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  auto get = reinterpret_cast<GetVersion>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  info = {};
  info.dwOSVersionInfoSize = sizeof info;
  return get != nullptr && get(&info) == 0;
}

OsVersion lowestSupportedVersion() { return {4, 90}; }

bool kernelVersion(int& major, int& minor) {
  OSVERSIONINFOW info;
  if (!systemVersion(info)) return false;
  major = static_cast<int>(info.dwMajorVersion);
  minor = static_cast<int>(info.dwMinorVersion);
  return true;
}

}  // namespace kelvaring::platform
