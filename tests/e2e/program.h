// Running the kelvaring executable itself: a copy in a fresh folder, an
// optional settings file beside it, output to a pipe or a file.
#pragma once

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {

class Program {
 public:
  explicit Program(const Options& launch);

  Process& process() { return *process_; }
  TempDir& dir() { return dir_; }
  std::string out() const { return process_->out(); }
  std::string err() const { return process_->err(); }

  // Waits for the pattern in standard output; fails the test on timeout.
  Match expectOut(const std::string& pattern, Millis timeout = Millis(10000));
  // The buffer addresses of the allocation line.
  void bufferAddresses(std::uint64_t& a, std::uint64_t& b);
  // Flips bits of word `index` of buffer B from outside.
  bool flipInB(std::uint64_t index, std::uint32_t bits);
  // The thread of that name ("worker", "stop-control"); 0 when none.
  pid_t thread(const std::string& name);
  // Ctrl+C (or another signal) and the exit that follows.
  ExitStatus stop(int signal, Millis timeout = Millis(10000));

 private:
  TempDir dir_;
  std::unique_ptr<Process> process_;
  std::uint64_t bufferB_ = 0;
};

// Whether the executable was built with a sanitizer, which reserves too much
// address space for RLIMIT_AS tests.
bool sanitizedBuild();

// Runs the program as user nobody (a test running as root uses it to see
// the program unprivileged).
inline const std::vector<std::string> kAsNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                                   "--clear-groups"};

// Nothing of the run may stand between "\r" progress rewrites but these.
inline const char* kAllocationLine = R"((\d+) Mb allocated \(([0-9A-F]{16})/([0-9A-F]{16})\)\n)";

}  // namespace e2e
