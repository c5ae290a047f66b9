// The error counts of the memory controllers as the kernel's EDAC drivers
// publish them: root/mc<N>/{ce_count,ue_count} and, per memory module,
// root/mc<N>/dimm<M>/{dimm_label,dimm_ce_count,dimm_ue_count}.
#include <dirent.h>

#include <algorithm>
#include <cstdlib>

#include "platform/edac.h"
#include "platform/files.h"
#include "platform/platform_linux.h"

namespace kelvaring::platform {
namespace {

// The entries of a folder whose names are `prefix` and a number, in
// numeric order.
std::vector<std::string> numberedEntries(const std::string& folder, const std::string& prefix) {
  std::vector<std::pair<unsigned long, std::string>> found;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
      if (name.find_first_not_of("0123456789", prefix.size()) != std::string::npos) continue;
      found.emplace_back(std::strtoul(name.c_str() + prefix.size(), nullptr, 10), name);
    }
    closedir(dir);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& [number, name] : found) names.push_back(name);
  return names;
}

std::string firstLine(const std::string& path) {
  std::string text;
  if (!readSmallFile(path, 4096, text)) return {};
  return text.substr(0, text.find('\n'));
}

uint64_t countIn(const std::string& path) { return std::strtoull(firstLine(path).c_str(), nullptr, 10); }

}  // namespace

std::optional<std::vector<EccCount>> readEccCounts(const std::string& root) {
  std::vector<std::string> controllers = numberedEntries(root, "mc");
  if (controllers.empty()) return std::nullopt;
  std::vector<EccCount> counts;
  for (const std::string& controller : controllers) {
    const std::string folder = root + "/" + controller;
    std::vector<std::string> modules = numberedEntries(folder, "dimm");
    if (modules.empty()) {
      counts.push_back({controller, "", controller, countIn(folder + "/ce_count"), countIn(folder + "/ue_count")});
      continue;
    }
    for (const std::string& module : modules) {
      const std::string path = folder + "/" + module;
      std::string label = firstLine(path + "/dimm_label");
      counts.push_back({controller, module, label.empty() ? module : label, countIn(path + "/dimm_ce_count"),
                        countIn(path + "/dimm_ue_count")});
    }
  }
  return counts;
}

std::optional<std::vector<EccCount>> readEccCounts() { return readEccCounts(kEdacRoot); }

}  // namespace kelvaring::platform
