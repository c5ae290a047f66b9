#include "cgroup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace e2e {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The v1 memory hierarchy's mount point, mounted from its top ("/").
std::string memoryMount() {
  std::istringstream lines(readFile("/proc/self/mountinfo"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point, field;
    fields >> id >> parent >> device >> root >> point;
    while (fields >> field && field != "-") {
    }
    std::string type, source, options;
    fields >> type >> source >> options;
    if (type == "cgroup" && root == "/" && ("," + options + ",").find(",memory,") != std::string::npos) return point;
  }
  return {};
}

// The process's path in the v1 memory hierarchy.
std::string ownMemoryCgroup() {
  std::istringstream lines(readFile("/proc/self/cgroup"));
  for (std::string line; std::getline(lines, line);) {
    size_t first = line.find(':');
    size_t second = line.find(':', first + 1);
    if (second == std::string::npos) continue;
    if (("," + line.substr(first + 1, second - first - 1) + ",").find(",memory,") != std::string::npos)
      return line.substr(second + 1);
  }
  return {};
}

}  // namespace

MemoryCgroup::MemoryCgroup(std::uint64_t limit) {
  std::string mount = memoryMount();
  std::string own = ownMemoryCgroup();
  if (mount.empty() || own.empty()) {
    whyNot_ = "no cgroup v1 memory controller mounted for this process";
    return;
  }
  static int count = 0;
  std::string folder = mount + (own == "/" ? "" : own) + "/kelvaring-e2e-" + std::to_string(getpid()) + "-" +
                       std::to_string(++count);
  if (mkdir(folder.c_str(), 0755) != 0) {
    whyNot_ = "cannot create " + folder + ": " + std::strerror(errno);
    return;
  }
  std::ofstream limitFile(folder + "/memory.limit_in_bytes");
  if (!(limitFile << limit).flush()) {
    whyNot_ = "cannot set the limit of " + folder;
    rmdir(folder.c_str());
    return;
  }
  folder_ = folder;
}

MemoryCgroup::~MemoryCgroup() {
  if (folder_.empty()) return;
  // A process that just ended may take a moment to leave.
  for (int attempt = 0; attempt < 100 && rmdir(folder_.c_str()) != 0 && errno == EBUSY; ++attempt)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::optional<long> MemoryCgroup::oomKills() const {
  std::istringstream lines(readFile(folder_ + "/memory.oom_control"));
  for (std::string key; lines >> key;) {
    long value = 0;
    if (!(lines >> value)) break;
    if (key == "oom_kill") return value;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> MemoryCgroup::maxUsage() const {
  std::istringstream text(readFile(folder_ + "/memory.max_usage_in_bytes"));
  std::uint64_t value = 0;
  if (text >> value) return value;
  return std::nullopt;
}

}  // namespace e2e
