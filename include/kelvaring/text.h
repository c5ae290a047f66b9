// The program's 8-bit string. Its failures end a run the way a fault does:
// as a CAtlException, E_INVALIDARG for a position or length outside the
// text and E_OUTOFMEMORY when no memory is left for it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "kelvaring/state.h"

namespace kelvaring {

class Text {
 public:
  Text() = default;
  explicit Text(const char* s) {
    if (s == nullptr) throw CAtlException{kInvalidArgument};
    guarded([&] { value_.assign(s); });
  }

  const char* c_str() const { return value_.c_str(); }
  size_t length() const { return value_.size(); }
  const std::string& str() const { return value_; }

  // Replaces the content with the formatted text.
  [[gnu::format(printf, 2, 3)]] void format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    formatList(fmt, args);
    va_end(args);
  }

  // The same with the arguments as a list.
  void formatList(const char* fmt, va_list args) {
    va_list counting;
    va_copy(counting, args);
    int n = vsnprintf(nullptr, 0, fmt, counting);
    va_end(counting);
    if (n < 0) throw CAtlException{kInvalidArgument};
    guarded([&] {
      std::string out(static_cast<size_t>(n), '\0');
      vsnprintf(out.data(), out.size() + 1, fmt, args);
      value_.swap(out);
    });
  }

  void append(const char* s) {
    if (s == nullptr) throw CAtlException{kInvalidArgument};
    guarded([&] { value_.append(s); });
  }

  // The character at a position; the position of the terminator is allowed.
  char at(size_t position) const {
    if (position > value_.size()) throw CAtlException{kInvalidArgument};
    return value_.c_str()[position];
  }

  // A writable buffer of at least minLength characters plus a terminator,
  // holding the current content. After writing, releaseBuffer takes the
  // length from the terminator.
  char* buffer(size_t minLength) {
    guarded([&] {
      if (value_.size() < minLength) value_.resize(minLength, '\0');
    });
    return value_.data();
  }
  void releaseBuffer() {
    size_t end = value_.find('\0');
    if (end != std::string::npos) value_.resize(end);
  }

 private:
  template <typename F>
  static void guarded(F&& f) {
    try {
      f();
    } catch (const std::bad_alloc&) {
      throw CAtlException{kOutOfMemory};
    } catch (const std::length_error&) {
      throw CAtlException{kOutOfMemory};
    }
  }

  std::string value_;
};

}  // namespace kelvaring
