// Console output through WriteFile on the standard handles, so that every
// print is out at once whether the output is a console, a pipe or a file
// (WriteConsole fails on a redirected handle); the window title and the
// speaker.
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/console.h"
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

}  // namespace kelvaring::platform
