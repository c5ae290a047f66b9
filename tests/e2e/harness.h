// Harness for end-to-end tests: runs real executables in a scratch folder,
// captures their output, signals them, waits for them and pokes at their
// memory and threads through /proc. Meant to be used from GoogleTest tests;
// setup failures throw std::runtime_error, which GoogleTest reports.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

#ifdef KELVARING_EXECUTABLE
// The executable under test, as built.
inline constexpr const char* kExecutable = KELVARING_EXECUTABLE;
#endif

using Millis = std::chrono::milliseconds;

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Absolute path of |name| inside the folder (nothing is created).
  std::string file(const std::string& name) const;

  // Copies |source| into the folder as |name|, keeping its permission bits
  // (so an executable stays executable). Returns the new path.
  std::string copy_executable(const std::string& source, const std::string& name) const;
  // Writes |text| to |name| (created or truncated). Returns the path.
  std::string write_file(const std::string& name, const std::string& text) const;
  // Reads a whole file of the folder; empty if it cannot be read.
  std::string read_file(const std::string& name) const;
  // Creates the subfolder |name|. Returns its path.
  std::string make_dir(const std::string& name) const;
  // Creates the symlink |name| pointing at |target| (stored as given, so a
  // relative target is resolved relative to the link). Returns the link path.
  std::string make_symlink(const std::string& target, const std::string& name) const;

 private:
  std::string path_;
};

// Where the child's standard output or standard error goes.
struct Redirect {
  static Redirect to_pipe() { return Redirect{}; }
  static Redirect to_file(std::string path) { return Redirect{false, std::move(path)}; }

  bool pipe = true;
  std::string path;  // used when !pipe; opened with O_TRUNC | O_APPEND
};

struct Options {
  explicit Options(std::string path, std::vector<std::string> argv = {}, std::string cwd = {})
      : path(std::move(path)), argv(std::move(argv)), cwd(std::move(cwd)) {}

  std::string path;               // executable, run with execv (no PATH search)
  std::vector<std::string> argv;  // argv[0] included; empty means { path }
  std::string cwd;                // empty: the test's working directory
  Redirect out;                   // standard output, a pipe by default
  Redirect err;                   // standard error, a pipe by default
  bool stdin_pipe = false;        // false: standard input is /dev/null
  std::optional<std::uint64_t> address_space_limit;  // RLIMIT_AS in bytes
};

enum class Channel { kOut, kErr };

// How a child ended.
struct ExitStatus {
  bool timed_out = false;  // still running at the deadline, then SIGKILLed
  bool exited = false;     // ended through exit(); |code| is valid
  int code = -1;
  bool signaled = false;   // ended by a signal; |signal| is valid
  int signal = 0;

  bool exited_with(int c) const { return !timed_out && exited && code == c; }
  bool killed_by(int s) const { return !timed_out && signaled && signal == s; }
  std::string describe() const;
};
std::ostream& operator<<(std::ostream& os, const ExitStatus& status);

// Outcome of waiting for some output.
struct Match {
  bool matched = false;
  std::vector<std::string> groups;  // for a regex: [0] whole match, [1..] groups
  std::string text;                 // everything read so far, for messages

  explicit operator bool() const { return matched; }
};

// Collects one output channel of a child, from a file or from a pipe that a
// background thread drains into a buffer.
class OutputCapture {
 public:
  OutputCapture() = default;
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  void use_file(std::string path);
  void use_pipe(int read_fd);  // takes ownership of the descriptor
  std::string text() const;
  // Waits up to |grace| for the writers to close the pipe, then stops reading.
  void finish(Millis grace);

 private:
  void drain();

  std::string path_;
  int fd_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable closed_cv_;
  std::string buffer_;
  bool closed_ = false;
  bool stop_ = false;
  std::thread thread_;
};

// A running child. The destructor SIGKILLs and reaps it if still running.
class Process {
 public:
  explicit Process(const Options& options);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Forks the test process itself; the child runs |body| and _exits with its
  // result. The child shares nothing with the capture machinery (its output
  // goes where the test's goes) and must only use async-signal-safe calls,
  // since other threads of the test may hold locks at the fork.
  static std::unique_ptr<Process> fork_running(const std::function<int()>& body);

  pid_t pid() const { return pid_; }

  std::string text(Channel channel) const;
  std::string out() const { return text(Channel::kOut); }
  std::string err() const { return text(Channel::kErr); }

  // Poll the output every ~20 ms until it matches or |timeout| passes.
  Match wait_for_regex(Channel channel, const std::regex& pattern, Millis timeout = Millis(10000)) const;
  Match wait_for_text(Channel channel, const std::string& needle, Millis timeout = Millis(10000)) const;

  // Writes to the child's standard input (needs Options::stdin_pipe). Fails
  // instead of raising SIGPIPE when the child has closed its end.
  bool write_stdin(std::string_view data);
  void close_stdin();

  // Sends |sig| to the child alone. False once the child has been reaped.
  bool send_signal(int sig);
  // Polls every ~10 ms; on timeout SIGKILLs the child and says so. Once the
  // child is reaped, the pipes are drained to the end and later calls return
  // the same status.
  ExitStatus wait_exit(Millis timeout = Millis(10000));
  bool running();

  // 32-bit access to the child's memory through /proc/PID/mem.
  bool write_u32(std::uint64_t address, std::uint32_t value) const;
  std::optional<std::uint32_t> read_u32(std::uint64_t address) const;

  // Thread ids under /proc/PID/task, sorted.
  std::vector<pid_t> threads() const;
  // Nice value of one of the child's threads, from its stat file.
  std::optional<int> nice_of(pid_t tid) const;

 private:
  Process() = default;
  void record(int wait_status, bool timed_out);

  pid_t pid_ = -1;
  bool reaped_ = false;
  ExitStatus status_;
  int stdin_fd_ = -1;
  OutputCapture out_;
  OutputCapture err_;
};

// Regex fragment for an address as the program prints it, as one group.
inline constexpr const char* kHexAddress = "([0-9A-F]{16})";

// Parses exactly 16 upper-case hexadecimal digits.
std::optional<std::uint64_t> parse_hex_address(std::string_view text);

}  // namespace e2e
