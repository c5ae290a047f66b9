#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace e2e {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Owns a file descriptor, so a setup that throws halfway leaks nothing.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

void make_pipe(UniqueFd& read_end, UniqueFd& write_end) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) fail("pipe2");
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
}

int open_or_throw(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) fail("open " + path);
  return fd;
}

// The test runner may block or ignore signals (GoogleTest itself does not,
// but whatever launches it might); the child must start from a clean slate.
// Only async-signal-safe calls: this runs between fork and exec.
void reset_signals_in_child() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM})
    sigaction(sig, &dfl, nullptr);
}

// Puts |fd| on |target| for the exec. dup2 onto itself would keep the
// close-on-exec flag, so that case clears it instead.
bool move_fd(int fd, int target) {
  if (fd == target) return fcntl(fd, F_SETFD, 0) == 0;
  return dup2(fd, target) == target;
}

[[noreturn]] void exec_failed(int error_fd) {
  int error = errno;
  ssize_t ignored = write(error_fd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

// ---------------------------------------------------------------- TempDir

TempDir::TempDir() {
  char name[] = "/tmp/kelvaring-e2e-XXXXXX";
  if (mkdtemp(name) == nullptr) fail("mkdtemp");
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

std::string TempDir::copy_executable(const std::string& source, const std::string& name) const {
  std::string target = file(name);
  fs::copy_file(source, target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::status(source).permissions(), fs::perm_options::replace);
  return target;
}

std::string TempDir::write_file(const std::string& name, const std::string& text) const {
  std::string target = file(name);
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + target);
  return target;
}

std::string TempDir::read_file(const std::string& name) const { return read_whole_file(file(name)); }

std::string TempDir::make_dir(const std::string& name) const {
  std::string target = file(name);
  fs::create_directory(target);
  return target;
}

std::string TempDir::make_symlink(const std::string& target, const std::string& name) const {
  std::string link = file(name);
  fs::create_symlink(target, link);
  return link;
}

// ---------------------------------------------------------- ExitStatus

std::string ExitStatus::describe() const {
  std::string text = timed_out ? "timed out, then " : "";
  if (exited) return text + "exited with status " + std::to_string(code);
  if (signaled) return text + "killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
  return text + "not finished";
}

std::ostream& operator<<(std::ostream& os, const ExitStatus& status) { return os << status.describe(); }

// ------------------------------------------------------- OutputCapture

OutputCapture::~OutputCapture() { finish(Millis(0)); }

void OutputCapture::use_file(std::string path) { path_ = std::move(path); }

void OutputCapture::use_pipe(int read_fd) {
  fd_ = read_fd;
  thread_ = std::thread([this] { drain(); });
}

void OutputCapture::drain() {
  char chunk[4096];
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stop_) break;
    }
    // A short poll rather than a blocking read, so finish() can stop us even
    // if some grandchild keeps the write end open.
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, 20);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard lock(mutex_);
    buffer_.append(chunk, static_cast<size_t>(n));
  }
  std::lock_guard lock(mutex_);
  closed_ = true;
  closed_cv_.notify_all();
}

std::string OutputCapture::text() const {
  if (!path_.empty()) return read_whole_file(path_);
  std::lock_guard lock(mutex_);
  return buffer_;
}

void OutputCapture::finish(Millis grace) {
  if (!thread_.joinable()) return;
  {
    std::unique_lock lock(mutex_);
    closed_cv_.wait_for(lock, grace, [this] { return closed_; });
    stop_ = true;
  }
  thread_.join();
  close(fd_);
  fd_ = -1;
}

// ------------------------------------------------------------- Process

Process::Process(const Options& options) {
  // Everything the child needs is prepared here: after fork it may only
  // make async-signal-safe calls.
  std::vector<std::string> args = options.argv.empty() ? std::vector<std::string>{options.path} : options.argv;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  UniqueFd child_in, child_out, child_err, parent_in, parent_out, parent_err;
  if (options.stdin_pipe) {
    make_pipe(child_in, parent_in);
  } else {
    child_in.reset(open_or_throw("/dev/null", O_RDONLY));
  }
  auto prepare = [](const Redirect& redirect, UniqueFd& child_end, UniqueFd& parent_end) {
    if (redirect.pipe) {
      make_pipe(parent_end, child_end);
    } else {
      // O_APPEND lets stdout and stderr share one file without overwriting.
      child_end.reset(open_or_throw(redirect.path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND));
    }
  };
  prepare(options.out, child_out, parent_out);
  prepare(options.err, child_err, parent_err);

  // The child reports a failed exec through this pipe; a successful exec
  // closes it, and the parent reads end-of-file.
  UniqueFd error_read, error_write;
  make_pipe(error_read, error_write);

  const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();
  rlimit limit{};
  if (options.address_space_limit) limit.rlim_cur = limit.rlim_max = *options.address_space_limit;

  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    reset_signals_in_child();
    if (options.address_space_limit && setrlimit(RLIMIT_AS, &limit) != 0) exec_failed(error_write.get());
    if (cwd != nullptr && chdir(cwd) != 0) exec_failed(error_write.get());
    if (!move_fd(child_in.get(), 0) || !move_fd(child_out.get(), 1) || !move_fd(child_err.get(), 2))
      exec_failed(error_write.get());
    execv(options.path.c_str(), argv.data());
    exec_failed(error_write.get());
  }
  pid_ = pid;
  error_write.reset();

  int error = 0;
  ssize_t n;
  do {
    n = read(error_read.get(), &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    int status;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    errno = error;
    fail("starting " + options.path);
  }

  stdin_fd_ = parent_in.release();
  if (options.out.pipe) {
    out_.use_pipe(parent_out.release());
  } else {
    out_.use_file(options.out.path);
  }
  if (options.err.pipe) {
    err_.use_pipe(parent_err.release());
  } else {
    err_.use_file(options.err.path);
  }
}

std::unique_ptr<Process> Process::fork_running(const std::function<int()>& body) {
  std::unique_ptr<Process> process(new Process());
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    reset_signals_in_child();
    int code = 125;
    try {
      code = body();
    } catch (...) {
    }
    _exit(code);
  }
  process->pid_ = pid;
  return process;
}

Process::~Process() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  close_stdin();
  // The captures stop themselves as members are destroyed.
}

std::string Process::text(Channel channel) const {
  return channel == Channel::kOut ? out_.text() : err_.text();
}

Match Process::wait_for_regex(Channel channel, const std::regex& pattern, Millis timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Match result;
    result.text = text(channel);
    std::smatch found;
    if (std::regex_search(result.text, found, pattern)) {
      result.matched = true;
      for (const auto& group : found) result.groups.push_back(group.str());
      return result;
    }
    if (std::chrono::steady_clock::now() >= deadline) return result;
    std::this_thread::sleep_for(Millis(20));
  }
}

Match Process::wait_for_text(Channel channel, const std::string& needle, Millis timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Match result;
    result.text = text(channel);
    if (result.text.find(needle) != std::string::npos) {
      result.matched = true;
      result.groups.push_back(needle);
      return result;
    }
    if (std::chrono::steady_clock::now() >= deadline) return result;
    std::this_thread::sleep_for(Millis(20));
  }
}

bool Process::write_stdin(std::string_view data) {
  if (stdin_fd_ < 0) return false;
  // A write to a pipe nobody reads raises SIGPIPE, which would kill the test
  // runner. Block it for this thread and swallow the one the write raised.
  sigset_t pipe_only, saved;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &saved);
  bool ok = true;
  while (!data.empty()) {
    ssize_t n = write(stdin_fd_, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (errno == EPIPE) {
        timespec no_wait{};
        sigtimedwait(&pipe_only, nullptr, &no_wait);
      }
      ok = false;
      break;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return ok;
}

void Process::close_stdin() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
}

bool Process::send_signal(int sig) {
  // After reaping, the pid may already belong to someone else.
  if (pid_ <= 0 || reaped_) return false;
  return kill(pid_, sig) == 0;
}

void Process::record(int wait_status, bool timed_out) {
  reaped_ = true;
  status_.timed_out = timed_out;
  if (WIFEXITED(wait_status)) {
    status_.exited = true;
    status_.code = WEXITSTATUS(wait_status);
  } else if (WIFSIGNALED(wait_status)) {
    status_.signaled = true;
    status_.signal = WTERMSIG(wait_status);
  }
  // Whatever the child wrote before exiting should be visible to the test.
  out_.finish(Millis(2000));
  err_.finish(Millis(2000));
}

bool Process::running() {
  if (pid_ <= 0 || reaped_) return false;
  int status;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    record(status, false);
    return false;
  }
  return true;
}

ExitStatus Process::wait_exit(Millis timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      int status;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      record(status, true);
      break;
    }
    std::this_thread::sleep_for(Millis(10));
  }
  return status_;
}

bool Process::write_u32(std::uint64_t address, std::uint32_t value) const {
  UniqueFd mem(open(("/proc/" + std::to_string(pid_) + "/mem").c_str(), O_RDWR | O_CLOEXEC));
  if (mem.get() < 0) return false;
  return pwrite(mem.get(), &value, sizeof value, static_cast<off_t>(address)) == sizeof value;
}

std::optional<std::uint32_t> Process::read_u32(std::uint64_t address) const {
  UniqueFd mem(open(("/proc/" + std::to_string(pid_) + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
  if (mem.get() < 0) return std::nullopt;
  std::uint32_t value = 0;
  if (pread(mem.get(), &value, sizeof value, static_cast<off_t>(address)) != sizeof value) return std::nullopt;
  return value;
}

std::vector<pid_t> Process::threads() const {
  std::vector<pid_t> tids;
  DIR* dir = opendir(("/proc/" + std::to_string(pid_) + "/task").c_str());
  if (dir == nullptr) return tids;
  while (dirent* entry = readdir(dir)) {
    pid_t tid = 0;
    const char* name = entry->d_name;
    const char* end = name + std::strlen(name);
    auto [last, error] = std::from_chars(name, end, tid);
    if (error == std::errc() && last == end) tids.push_back(tid);  // skips "." and ".."
  }
  closedir(dir);
  std::sort(tids.begin(), tids.end());
  return tids;
}

std::optional<int> Process::nice_of(pid_t tid) const {
  std::string stat = read_whole_file("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(tid) + "/stat");
  // Field 2 is "(comm)", and comm may hold spaces or parentheses; the
  // remaining fields start after the last ')'.
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  // The first field after ')' is field 3 (state); nice is field 19.
  for (int number = 3; number <= 19; ++number) {
    if (!(fields >> field)) return std::nullopt;
  }
  int nice = 0;
  auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), nice);
  if (error != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return nice;
}

std::optional<std::uint64_t> parse_hex_address(std::string_view text) {
  if (text.size() != 16) return std::nullopt;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return std::nullopt;
  }
  std::uint64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return value;
}

}  // namespace e2e
