#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace e2e {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Closes its descriptor at scope exit, so a setup that throws halfway leaks nothing.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

void make_pipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) fail("pipe2");
  read_end.fd = fds[0];
  write_end.fd = fds[1];
}

int open_or_throw(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) fail("open " + path);
  return fd;
}

// Whatever launched the tests may have blocked or ignored signals; the child
// starts from a clean slate. Runs between fork and exec: async-signal-safe.
void reset_signals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
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

// Moves the calling process into the cgroup whose cgroup.procs file is
// given ("0" names the writer). Runs between fork and exec.
bool join_cgroup(const char* procs) {
  int fd = open(procs, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool joined = write(fd, "0", 1) == 1;
  close(fd);
  return joined;
}

[[noreturn]] void exec_failed(int error_fd) {
  int error = errno;
  [[maybe_unused]] ssize_t written = write(error_fd, &error, sizeof error);
  _exit(127);
}

}  // namespace

// One output channel of a child: a file, or a pipe that a thread drains.
class Capture {
 public:
  explicit Capture(std::string path) : path_(std::move(path)) {}
  explicit Capture(int fd, Millis delay = Millis(0)) : fd_(fd), delay_(delay), thread_([this] { drain(); }) {}
  ~Capture() { finish(); }

  std::string text() const {
    if (!path_.empty()) return read_whole_file(path_);
    std::lock_guard lock(mutex_);
    return buffer_;
  }

  // Reads on to end-of-file, or until the pipe has stayed empty for 20 ms,
  // in case some grandchild holds the write end open.
  void finish() {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
    close(fd_);
  }

 private:
  void drain() {
    char chunk[4096];
    std::this_thread::sleep_for(delay_);
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      int ready = poll(&p, 1, 20);
      if ((ready == 0 && !stop_) || (ready < 0 && errno == EINTR)) continue;
      if (ready <= 0) break;  // an error, or stopped and nothing left to read
      ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      std::lock_guard lock(mutex_);
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  std::string path_;
  int fd_ = -1;
  Millis delay_;
  mutable std::mutex mutex_;
  std::string buffer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last, so it starts once the rest is ready
};

TempDir::TempDir() {
  char name[] = "/tmp/kelvaring-e2e-XXXXXX";
  if (mkdtemp(name) == nullptr) fail("mkdtemp");
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::copy_executable(const std::string& source, const std::string& name) const {
  std::string target = file(name);
  fs::copy_file(source, target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::status(source).permissions(), fs::perm_options::replace);
  return target;
}

std::string TempDir::write_file(const std::string& name, const std::string& text) const {
  std::ofstream out(file(name), std::ios::binary);
  if (!(out << text).flush()) throw std::runtime_error("cannot write " + file(name));
  return file(name);
}

std::string TempDir::read_file(const std::string& name) const { return read_whole_file(file(name)); }

std::string TempDir::make_dir(const std::string& name) const {
  fs::create_directory(file(name));
  return file(name);
}

std::ostream& operator<<(std::ostream& os, const ExitStatus& status) {
  if (status.timed_out) os << "timed out, then ";
  if (status.code >= 0) return os << "exited with status " << status.code;
  if (status.signal > 0) return os << "killed by signal " << status.signal << " (" << strsignal(status.signal) << ")";
  return os << "not finished";
}

Process::Process(const Options& options) {
  // Everything the child needs is prepared here: after fork it may only
  // make async-signal-safe calls.
  std::vector<std::string> args = options.argv;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();
  rlimit limit{};
  if (options.addressSpaceLimit) limit.rlim_cur = limit.rlim_max = *options.addressSpaceLimit;
  rlimit memlock{};
  if (options.memlockLimit) memlock.rlim_cur = memlock.rlim_max = *options.memlockLimit;
  std::string procs = options.cgroup.empty() ? "" : options.cgroup + "/cgroup.procs";

  Fd in{open_or_throw(options.input.empty() ? "/dev/null" : options.input, O_RDONLY)}, out_read, out_write, err_read, err_write, error_read, error_write;
  auto prepare = [](const Redirect& redirect, Fd& read_end, Fd& write_end) {
    if (redirect.path.empty())
      make_pipe(read_end, write_end);
    else
      write_end.fd = open_or_throw(redirect.path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND);
  };
  prepare(options.out, out_read, out_write);
  prepare(options.err, err_read, err_write);
  if (options.nonblockingOut && options.out.path.empty()) {
    // O_NONBLOCK belongs to the write end's open file description, which the
    // child shares; the read end stays blocking.
    fcntl(out_write.fd, F_SETPIPE_SZ, 4096);
    if (fcntl(out_write.fd, F_SETFL, fcntl(out_write.fd, F_GETFL) | O_NONBLOCK) != 0) fail("O_NONBLOCK");
  }
  std::vector<int> ignored = options.ignoredSignals;
  // The child reports a failed exec through this pipe; a successful exec
  // closes it, and the parent reads end-of-file.
  make_pipe(error_read, error_write);

  pid_ = fork();
  if (pid_ < 0) fail("fork");
  if (pid_ == 0) {
    reset_signals();
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (int sig : ignored) sigaction(sig, &ignore, nullptr);
    if ((options.addressSpaceLimit && setrlimit(RLIMIT_AS, &limit) != 0) ||
        (options.memlockLimit && setrlimit(RLIMIT_MEMLOCK, &memlock) != 0) ||
        (!procs.empty() && !join_cgroup(procs.c_str())) || (cwd && chdir(cwd) != 0) ||
        !move_fd(in.fd, 0) || !move_fd(out_write.fd, 1) || !move_fd(err_write.fd, 2))
      exec_failed(error_write.fd);
    execv(options.path.c_str(), argv.data());
    exec_failed(error_write.fd);
  }

  close(std::exchange(error_write.fd, -1));
  int error = 0;
  ssize_t n;
  while ((n = read(error_read.fd, &error, sizeof error)) < 0 && errno == EINTR) {
  }
  if (n > 0) {
    waitpid(pid_, nullptr, 0);
    errno = error;
    fail("starting " + options.path);
  }
  auto capture = [](const Redirect& redirect, Fd& read_end, Millis delay) {
    return redirect.path.empty() ? std::make_unique<Capture>(std::exchange(read_end.fd, -1), delay)
                                 : std::make_unique<Capture>(redirect.path);
  };
  out_ = capture(options.out, out_read, options.outReadDelay);
  err_ = capture(options.err, err_read, Millis(0));
}

Process::~Process() {
  if (!running()) return;
  kill(pid_, SIGKILL);
  reap(0, false);
}

std::string Process::out() const { return out_->text(); }
std::string Process::err() const { return err_->text(); }

Match Process::wait_for_regex(Channel channel, const std::regex& pattern, Millis timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Match result{.text = channel == Channel::kOut ? out() : err()};
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

bool Process::send_signal(int sig) {
  // After reaping, the pid may already belong to someone else.
  return !reaped_ && kill(pid_, sig) == 0;
}

bool Process::reap(int flags, bool timed_out) {
  int status = 0;
  pid_t result;
  while ((result = waitpid(pid_, &status, flags)) < 0 && errno == EINTR) {
  }
  if (result == 0) return false;  // still running
  reaped_ = true;                 // gone either way; an error records nothing
  status_.timed_out = timed_out;
  if (result > 0 && WIFEXITED(status)) status_.code = WEXITSTATUS(status);
  if (result > 0 && WIFSIGNALED(status)) status_.signal = WTERMSIG(status);
  // Whatever the child wrote before it ended becomes visible to the test.
  out_->finish();
  err_->finish();
  return true;
}

bool Process::running() { return !reaped_ && !reap(WNOHANG, false); }

ExitStatus Process::wait_exit(Millis timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      reap(0, true);
      break;
    }
    std::this_thread::sleep_for(Millis(10));
  }
  return status_;
}

std::vector<pid_t> Process::threads() const {
  std::vector<pid_t> tids;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(proc(pid_, "task"), ignored))
    tids.push_back(std::stoi(entry.path().filename().string()));
  std::sort(tids.begin(), tids.end());
  return tids;
}

std::optional<int> Process::nice_of(pid_t tid) const {
  std::string stat = read_whole_file(proc(pid_, "task/" + std::to_string(tid) + "/stat"));
  // Field 2 is "(comm)", and comm may hold spaces or parentheses; field 3
  // (state) follows the last ')', and nice is field 19. An unreadable file
  // leaves nothing to parse.
  std::istringstream fields(stat.substr(stat.rfind(')') + 1));
  std::string skipped;
  for (int field = 3; field < 19; ++field) fields >> skipped;
  int nice = 0;
  if (fields >> nice) return nice;
  return std::nullopt;
}

bool write_u32(pid_t pid, std::uint64_t address, std::uint32_t value) {
  Fd mem{open(proc(pid, "mem").c_str(), O_RDWR | O_CLOEXEC)};
  return mem.fd >= 0 && pwrite(mem.fd, &value, sizeof value, static_cast<off_t>(address)) == sizeof value;
}

std::optional<std::uint32_t> read_u32(pid_t pid, std::uint64_t address) {
  Fd mem{open(proc(pid, "mem").c_str(), O_RDONLY | O_CLOEXEC)};
  std::uint32_t value = 0;
  if (mem.fd < 0 || pread(mem.fd, &value, sizeof value, static_cast<off_t>(address)) != sizeof value)
    return std::nullopt;
  return value;
}

bool flip_u32(pid_t pid, std::uint64_t address, std::uint32_t bits) {
  std::optional<std::uint32_t> word = read_u32(pid, address);
  return word && write_u32(pid, address, *word ^ bits);
}

std::optional<std::uint64_t> parse_hex_address(std::string_view text) {
  if (text.size() != 16 || text.find_first_not_of("0123456789ABCDEF") != std::string_view::npos)
    return std::nullopt;
  std::uint64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return value;
}

std::string hex16(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(value));
  return text;
}

int freePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

std::string proc(pid_t pid, const std::string& rest) { return "/proc/" + std::to_string(pid) + "/" + rest; }

}  // namespace e2e
