// The mappings of a process as its /proc/PID/smaps lists them, for the unit
// and the end-to-end tests alike: each range and whether it was advised for
// transparent huge pages ("hg" among its VmFlags).
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace smaps {

struct Mapping {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  bool hugePagesAdvised = false;
};

// Empty when the file cannot be read.
inline std::vector<Mapping> mappings(const std::string& smapsPath) {
  std::vector<Mapping> found;
  std::ifstream smaps(smapsPath);
  for (std::string line; std::getline(smaps, line);) {
    std::uint64_t begin = 0, end = 0;
    char dash = 0;
    std::istringstream header(line);
    if (header >> std::hex >> begin >> dash >> end && dash == '-') {
      found.push_back({begin, end});
    } else if (!found.empty() && line.rfind("VmFlags:", 0) == 0) {
      found.back().hugePagesAdvised = (line + " ").find(" hg ") != std::string::npos;
    }
  }
  return found;
}

}  // namespace smaps
