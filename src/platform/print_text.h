// What the console files of every system share: printf-style formatting
// into a buffer on the stack (on the heap for a long text), and the answer
// line read from standard input.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace kelvaring::platform {

// Formats the text and hands it whole to `write(text, length)`; returns
// its length, or a negative number when the format fails.
template <typename Write>
int formatAndWrite(const char* fmt, va_list args, Write write) {
  char small[512];
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(small, sizeof small, fmt, args);
  if (n < 0) {
    va_end(again);
    return n;
  }
  std::string large;
  const char* text = small;
  if (static_cast<size_t>(n) >= sizeof small) {
    large.resize(static_cast<size_t>(n));
    std::vsnprintf(large.data(), large.size() + 1, fmt, again);
    text = large.c_str();
  }
  va_end(again);
  write(text, static_cast<size_t>(n));
  return n;
}

// The answer line is read up to its end, but never further than this, so
// that endless input without a line end (/dev/zero) cannot hold the start.
inline constexpr int kLongestAnswer = 256;

// Reads one line from standard input; its first character, or -1 at the
// end of input.
inline int readAnswerLine() {
  int first = std::getchar();
  int c = first;
  for (int read = 1; c != EOF && c != '\n' && read < kLongestAnswer; ++read) c = std::getchar();
  return first == EOF ? -1 : first;
}

}  // namespace kelvaring::platform
