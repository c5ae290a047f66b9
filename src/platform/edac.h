// The error counts of the memory controllers (EDAC). In edac_*.cc.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvaring::platform {

// The counts of one memory module, or of a whole controller that names no
// modules.
struct EccCount {
  std::string controller;  // "mc0"
  std::string module;      // "dimm1", "" for the controller's own counts
  std::string label;       // the module's label; the module or controller name when it has none
  uint64_t corrected = 0;
  uint64_t uncorrected = 0;
};

// The counts of the machine's memory controllers; nullopt where the system
// does not tell them.
std::optional<std::vector<EccCount>> readEccCounts();
// The same under `root` (the kernel's EDAC folder, or a copy of its form):
// per module mc*/dimm*/dimm_ce_count and dimm_ue_count where a controller
// has modules, else mc*/ce_count and ue_count; nullopt when no controller is
// found (EDAC absent).
std::optional<std::vector<EccCount>> readEccCounts(const std::string& root);

}  // namespace kelvaring::platform
