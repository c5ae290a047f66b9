// Console output straight to the file descriptors, so that every print is
// out at once whether the output is a terminal, a pipe or a file.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/console.h"
#include "platform/print_text.h"
#include "platform/threads.h"

namespace kelvaring::platform {
namespace {

std::mutex outputLock;

// Another process sharing the output may have made it non-blocking: then a
// write that meets a full pipe waits until there is room. Other errors (a
// full disk, a closed pipe) drop the rest of the text. Safe in a signal
// handler.
void writeAll(int fd, const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, text, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd ready{fd, POLLOUT, 0};
        if (poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
      }
      return;
    }
    text += n;
    length -= static_cast<size_t>(n);
  }
}

int printTo(int fd, const char* fmt, va_list args) {
  return formatAndWrite(fmt, args, [fd](const char* text, size_t length) {
    std::lock_guard<std::mutex> hold(outputLock);
    writeAll(fd, text, length);
  });
}

}  // namespace

int printOut(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = printTo(STDOUT_FILENO, fmt, args);
  va_end(args);
  return n;
}

int printErr(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = printTo(STDERR_FILENO, fmt, args);
  va_end(args);
  return n;
}

void writeOutRaw(const char* text, size_t length) { writeAll(STDOUT_FILENO, text, length); }
void writeErrRaw(const char* text, size_t length) { writeAll(STDERR_FILENO, text, length); }

int readAnswer() { return readAnswerLine(); }

// The title escape and the bell only make sense on a terminal; in a pipe or
// a file they would be noise.
void setConsoleTitle(const char* title) {
  if (isatty(STDOUT_FILENO)) printOut("\033]0;%s\007", title);
}

bool errorIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void beep(unsigned /*frequency*/, unsigned milliseconds) {
  if (isatty(STDOUT_FILENO)) printOut("\a");
  sleepMilliseconds(milliseconds);
}

}  // namespace kelvaring::platform
