// Harness for end-to-end tests: runs real executables in a scratch folder,
// captures their output, signals them, waits for them and pokes at their
// memory and threads through /proc. Meant to be used from GoogleTest tests;
// setup failures throw std::runtime_error, which GoogleTest reports.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <string_view>
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
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // Copies |source| into the folder as |name|, keeping its permission bits
  // (so an executable stays executable). Returns the new path.
  std::string copy_executable(const std::string& source, const std::string& name) const;
  // Writes |text| to |name| (created or truncated). Returns the path.
  std::string write_file(const std::string& name, const std::string& text) const;
  // Reads a whole file of the folder; empty if it cannot be read.
  std::string read_file(const std::string& name) const;
  // Creates the subfolder |name|. Returns its path.
  std::string make_dir(const std::string& name) const;

 private:
  std::string path_;
};

// Where the child's standard output or standard error goes: a pipe unless a
// file is named (opened with O_TRUNC | O_APPEND, so both may share one).
struct Redirect {
  static Redirect to_file(std::string path) { return Redirect{std::move(path)}; }

  std::string path;
};

// How a child is started. Process runs `path` with `argv` in `cwd`; Program
// fills those three itself, from the fields between, for a copy of the
// kelvaring executable. The rest set up the child for both.
struct Options {
  std::string path;               // executable, run with execv (no PATH search)
  std::vector<std::string> argv;  // argv[0] included
  std::string cwd;                // empty: the test's working directory
  Redirect out;                   // standard output and error
  Redirect err;

  // For Program:
  std::vector<std::string> args;              // after argv[0]
  std::string name = "kelvaring";             // file name of the copy
  std::optional<std::string> settings;        // text of <name>.ini beside it
  bool toFile = false;                        // standard output into a file
  std::string workingDir;                     // subfolder to start in; "" for the copy's own
  std::vector<std::string> wrapper;           // command that runs the copy, e.g. setpriv
  bool openToAll = false;                     // folder reachable for other users
  std::vector<std::pair<std::string, std::string>> files;  // more files: name (may be in workingDir), text

  std::optional<std::uint64_t> addressSpaceLimit;  // RLIMIT_AS in bytes
  std::string input;                  // file for standard input; "" for /dev/null
  std::vector<int> ignoredSignals;    // SIG_IGN in the child, as nohup does
  // Standard output a pipe of the smallest size, set O_NONBLOCK as another
  // process sharing it might do, and read only after `outReadDelay`.
  bool nonblockingOut = false;
  Millis outReadDelay{0};
  std::optional<std::uint64_t> memlockLimit;  // RLIMIT_MEMLOCK in bytes
  std::string cgroup;  // folder of a cgroup the child joins before the exec
};

enum class Channel { kOut, kErr };

// How a child ended.
struct ExitStatus {
  bool timed_out = false;  // still running at the deadline, then SIGKILLed
  int code = -1;           // exit status, if it ended through exit()
  int signal = 0;          // the signal that ended it otherwise

  bool exited_with(int c) const { return !timed_out && code == c; }
  bool killed_by(int s) const { return !timed_out && signal == s; }
};
std::ostream& operator<<(std::ostream& os, const ExitStatus& status);

// Outcome of waiting for some output.
struct Match {
  bool matched = false;
  std::vector<std::string> groups;  // [0] whole match, [1..] groups
  std::string text;                 // everything read so far, for messages

  explicit operator bool() const { return matched; }
};

class Capture;  // one output channel of a child

// A running child, not copyable. The destructor SIGKILLs and reaps it if
// still running.
class Process {
 public:
  explicit Process(const Options& options);
  ~Process();

  pid_t pid() const { return pid_; }
  std::string out() const;
  std::string err() const;

  // Polls the output every ~20 ms until it matches or |timeout| passes.
  Match wait_for_regex(Channel channel, const std::regex& pattern, Millis timeout = Millis(10000)) const;

  // Sends |sig| to the child alone. False once the child has been reaped.
  bool send_signal(int sig);
  // Polls every ~10 ms; on timeout SIGKILLs the child and says so. Once the
  // child is reaped, the pipes are read to the end and later calls return
  // the same status.
  ExitStatus wait_exit(Millis timeout = Millis(10000));
  bool running();

  // Thread ids under /proc/PID/task, sorted.
  std::vector<pid_t> threads() const;
  // Nice value of one of the child's threads, from its stat file.
  std::optional<int> nice_of(pid_t tid) const;

 private:
  // waitpid with |flags|; once the child is reaped, records how it ended and
  // reads the pipes to their end. False while it runs on (WNOHANG).
  bool reap(int flags, bool timed_out);

  pid_t pid_ = -1;
  bool reaped_ = false;
  ExitStatus status_;
  std::unique_ptr<Capture> out_, err_;
};

// 32-bit access to a process's memory through /proc/PID/mem.
bool write_u32(pid_t pid, std::uint64_t address, std::uint32_t value);
std::optional<std::uint32_t> read_u32(pid_t pid, std::uint64_t address);
// Flips |bits| of the word at |address|; false if it cannot be read or written.
bool flip_u32(pid_t pid, std::uint64_t address, std::uint32_t bits);

// Parses exactly 16 upper-case hexadecimal digits.
std::optional<std::uint64_t> parse_hex_address(std::string_view text);
// The other way: 16 upper-case hexadecimal digits, as the program prints
// addresses.
std::string hex16(std::uint64_t value);

// A TCP port on 127.0.0.1 that nothing listens on right now.
int freePort();

// The path of `rest` under /proc/PID, e.g. proc(pid, "smaps").
std::string proc(pid_t pid, const std::string& rest);

}  // namespace e2e
