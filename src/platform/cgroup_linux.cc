// The headroom that the process's memory cgroups leave it: limit less usage
// at every level from the process's own cgroup up to the top of the mounted
// tree, for cgroup v1 (memory.limit_in_bytes, memory.usage_in_bytes) and
// cgroup v2 (memory.max, memory.current).
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/platform_linux.h"

namespace kelvaring::platform {
namespace {

constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();
constexpr size_t kMaxFileBytes = 1 << 20;

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

bool hasItem(const std::string& list, const std::string& item) {
  std::vector<std::string> items = split(list, ',');
  return std::find(items.begin(), items.end(), item) != items.end();
}

// mountinfo writes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string unescaped(const std::string& field) {
  std::string text;
  for (size_t i = 0; i < field.size(); ++i) {
    bool octal = field[i] == '\\' && i + 3 < field.size() &&
                 std::all_of(field.begin() + i + 1, field.begin() + i + 4, [](char c) { return c >= '0' && c <= '7'; });
    if (octal) {
      text += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

// A whole decimal number, trailing blanks and a line end allowed; false for
// anything else ("max" included).
bool parseCount(const std::string& text, uint64_t& value) {
  const char* start = text.c_str();
  char* end = nullptr;
  if (*start < '0' || *start > '9') return false;
  errno = 0;
  unsigned long long parsed = std::strtoull(start, &end, 10);
  if (errno != 0 || std::string(end).find_first_not_of(" \n") != std::string::npos) return false;
  value = parsed;
  return true;
}

bool readCount(const std::string& path, uint64_t& value) {
  std::string text;
  return readSmallFile(path, kMaxFileBytes, text) && parseCount(text, value);
}

uint64_t headroom(uint64_t limit, uint64_t usage) { return limit > usage ? limit - usage : 0; }

// The limit of one level less its usage; no limit when either cannot be read.
uint64_t levelHeadroom(const std::string& folder, bool unified) {
  uint64_t limit = 0;
  uint64_t usage = 0;
  if (!readCount(folder + (unified ? "/memory.max" : "/memory.limit_in_bytes"), limit) ||
      !readCount(folder + (unified ? "/memory.current" : "/memory.usage_in_bytes"), usage))
    return kNoLimit;
  return headroom(limit, usage);
}

// cgroup v1 names the tightest limit of all levels above, those outside the
// mounted tree included, as hierarchical_memory_limit in memory.stat; it is
// set against the usage of the process's own level, which is all that is
// known there.
uint64_t hierarchicalHeadroom(const std::string& folder) {
  std::string stat;
  uint64_t usage = 0;
  if (!readSmallFile(folder + "/memory.stat", kMaxFileBytes, stat) ||
      !readCount(folder + "/memory.usage_in_bytes", usage))
    return kNoLimit;
  for (const std::string& line : split(stat, '\n')) {
    const std::string key = "hierarchical_memory_limit ";
    uint64_t limit = 0;
    if (line.compare(0, key.size(), key) == 0 && parseCount(line.substr(key.size()), limit))
      return headroom(limit, usage);
  }
  return kNoLimit;
}

struct Mount {
  std::string root;   // the folder of the hierarchy shown at the mount point
  std::string point;  // where it is mounted
};

// The first mount of the v1 hierarchy with the controller, or of the v2
// hierarchy.
bool findMount(const std::string& mountinfo, bool unified, const char* controller, Mount& mount) {
  for (const std::string& line : split(mountinfo, '\n')) {
    std::vector<std::string> fields = split(line, ' ');
    // id parent major:minor root point options [optional...] - type source super-options
    auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 6 || dash == fields.end() || fields.end() - dash < 4) continue;
    const std::string& type = dash[1];
    bool matches = unified ? type == "cgroup2" : type == "cgroup" && hasItem(dash[3], controller);
    if (!matches) continue;
    mount = {unescaped(fields[3]), unescaped(fields[4])};
    return true;
  }
  return false;
}

// The process's folder in the mounted tree. A cgroup outside the mounted part
// (seen from another cgroup namespace) leaves only the mount point to read.
std::string folderOf(const Mount& mount, const std::string& path) {
  std::string root = mount.root == "/" ? "" : mount.root;
  if (path.compare(0, root.size(), root) != 0 || (path.size() > root.size() && path[root.size()] != '/'))
    return mount.point;
  std::string rest = path.substr(root.size());
  return rest == "/" ? mount.point : mount.point + rest;
}

// The least headroom from `folder` up to and including `top`.
uint64_t treeHeadroom(std::string folder, const std::string& top, bool unified) {
  uint64_t least = kNoLimit;
  for (;;) {
    least = std::min(least, levelHeadroom(folder, unified));
    if (folder.size() <= top.size()) return least;
    folder.erase(folder.rfind('/'));
  }
}

// Calls visit(folder, top, unified) with the process's folder and the top of
// the mounted tree of each hierarchy that holds the controller.
template <typename Visit>
void forEachHierarchy(const std::string& cgroupText, const std::string& mountinfoText, const char* controller,
                      Visit visit) {
  for (const std::string& line : split(cgroupText, '\n')) {
    // hierarchy-id:controllers:path; v2 has id 0 and no controllers.
    size_t first = line.find(':');
    size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    bool unified = line.compare(0, first, "0") == 0 && controllers.empty();
    Mount mount;
    if ((!unified && !hasItem(controllers, controller)) || path.empty() || path[0] != '/' ||
        !findMount(mountinfoText, unified, controller, mount))
      continue;
    visit(folderOf(mount, path), mount.point, unified);
  }
}

// The CPUs one level's quota gives: cpu.max "QUOTA PERIOD" (v2, "max" for
// none) or cpu.cfs_quota_us over cpu.cfs_period_us (v1, -1 for none); 0
// when it sets none.
double levelCpus(const std::string& folder, bool unified) {
  std::string text;
  uint64_t quota = 0;
  uint64_t period = 0;
  if (unified) {
    if (!readSmallFile(folder + "/cpu.max", kMaxFileBytes, text)) return 0;
    std::vector<std::string> fields = split(text, ' ');
    if (fields.size() != 2 || !parseCount(fields[0], quota) || !parseCount(fields[1], period)) return 0;
  } else if (!readCount(folder + "/cpu.cfs_quota_us", quota) || !readCount(folder + "/cpu.cfs_period_us", period)) {
    return 0;
  }
  return period == 0 ? 0 : static_cast<double>(quota) / static_cast<double>(period);
}

}  // namespace

uint64_t cgroupHeadroom(const std::string& cgroupText, const std::string& mountinfoText) {
  uint64_t least = kNoLimit;
  forEachHierarchy(cgroupText, mountinfoText, "memory", [&](const std::string& folder, const std::string& top, bool unified) {
    least = std::min(least, treeHeadroom(folder, top, unified));
    if (!unified) least = std::min(least, hierarchicalHeadroom(folder));
  });
  return least;
}

double cgroupCpuQuota(const std::string& cgroupText, const std::string& mountinfoText) {
  double least = 0;
  forEachHierarchy(cgroupText, mountinfoText, "cpu", [&](std::string folder, const std::string& top, bool unified) {
    for (;;) {
      const double cpus = levelCpus(folder, unified);
      if (cpus > 0 && (least == 0 || cpus < least)) least = cpus;
      if (folder.size() <= top.size()) return;
      folder.erase(folder.rfind('/'));
    }
  });
  return least;
}

uint64_t memoryCgroupHeadroom() {
  std::string cgroupText;
  std::string mountinfoText;
  if (!readSmallFile("/proc/self/cgroup", kMaxFileBytes, cgroupText) ||
      !readSmallFile("/proc/self/mountinfo", kMaxFileBytes, mountinfoText))
    return kNoLimit;
  return cgroupHeadroom(cgroupText, mountinfoText);
}

}  // namespace kelvaring::platform
