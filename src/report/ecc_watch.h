// The memory controllers' error counts, compared between two reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/edac.h"

namespace kelvaring {

// The memory controllers' counts as last read; none where EDAC is absent.
struct EccWatch {
  std::optional<std::vector<platform::EccCount>> counts;
  unsigned polls = 0;
  // Where the counts are read; empty: the system's place.
  std::string root;
};

// What one module (or controller) gained between two reads.
struct EccGrowth {
  std::string controller;
  std::string label;
  uint64_t corrected = 0;
  uint64_t uncorrected = 0;
  std::string module;  // its folder ("dimm0"); "" for a controller's own counts
};

// The modules whose counts grew from `before` to `after`, in the order of
// `after`; with `unchangedToo`, every module found in both reads. A module
// found in one read only, or a count that fell (a driver reloaded), gains
// nothing.
std::vector<EccGrowth> eccGrowth(const std::vector<platform::EccCount>& before,
                                 const std::vector<platform::EccCount>& after, bool unchangedToo = false);

}  // namespace kelvaring
