// Catches what the code under test writes to standard output (and, when
// asked, standard error) at the file descriptor level, so that output made
// with write(2) is caught as well as output through stdio.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace kelvaring::testing {

// Points one descriptor at an unlinked temporary file until destroyed.
class DescriptorRedirect {
 public:
  explicit DescriptorRedirect(int fd) : fd_(fd) {
    char name[] = "/tmp/kelvaring-capture-XXXXXX";
    file_ = mkstemp(name);
    if (file_ < 0) throw std::runtime_error("mkstemp failed");
    unlink(name);
    flushStdio();
    saved_ = dup(fd_);
    if (saved_ < 0 || dup2(file_, fd_) < 0) {
      if (saved_ >= 0) close(saved_);
      close(file_);
      throw std::runtime_error("dup/dup2 failed");
    }
  }
  ~DescriptorRedirect() {
    flushStdio();
    dup2(saved_, fd_);
    close(saved_);
    close(file_);
  }
  DescriptorRedirect(const DescriptorRedirect&) = delete;
  DescriptorRedirect& operator=(const DescriptorRedirect&) = delete;

  // Everything written to the descriptor so far.
  std::string text() const {
    flushStdio();
    std::string all;
    char chunk[4096];
    off_t offset = 0;
    for (;;) {
      ssize_t n = pread(file_, chunk, sizeof chunk, offset);
      if (n <= 0) break;
      all.append(chunk, static_cast<size_t>(n));
      offset += n;
    }
    return all;
  }

 private:
  static void flushStdio() {
    std::fflush(stdout);
    std::fflush(stderr);
  }

  int fd_;
  int file_ = -1;
  int saved_ = -1;
};

// Standard output, and standard error if asked, for the capture's lifetime.
class OutputCapture {
 public:
  explicit OutputCapture(bool withStandardError = false)
      : out_(STDOUT_FILENO),
        err_(withStandardError ? std::make_unique<DescriptorRedirect>(STDERR_FILENO) : nullptr) {}

  std::string text() const { return out_.text(); }
  std::string errorText() const { return err_ != nullptr ? err_->text() : std::string(); }

 private:
  DescriptorRedirect out_;
  std::unique_ptr<DescriptorRedirect> err_;  // destroyed before out_
};

}  // namespace kelvaring::testing
