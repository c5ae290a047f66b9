// The size argument: a number of MiB, or of another binary unit, or a
// share of the memory a run without a size takes.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvaring {

struct SizeArgument {
  uint32_t megabytes = 0;  // 0: all available memory (or the share below)
  uint32_t percent = 0;    // 1 to 100: that share of all available memory
};

// The largest count of MiB: larger sizes stay here, to fail as too large
// rather than wrap to a small one.
inline constexpr uint32_t kLargestMegabytes = 0x7FFFFFFF;

// A number with an optional unit K, M, G or T, each optionally followed by
// B or iB, any case (binary multiples, no unit: MiB), rounded down to whole
// MiB; or N% for N from 1 to 100. An argument that does not start with a
// digit (-5, +5, abc) is no size: all available memory. nullopt for a unit
// or share that cannot be read (4X, 64 B, 0%, 150%).
std::optional<SizeArgument> readSizeArgument(std::string_view argument);

}  // namespace kelvaring
