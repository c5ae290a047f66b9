#include "app/size_argument.h"

#include <algorithm>

namespace kelvaring {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The power of 1024 a unit stands for, counted from KiB (0) to TiB (3).
std::optional<int> unitPower(std::string_view unit) {
  if (unit.empty()) return 1;
  const std::string_view prefixes = "kmgt";
  const size_t power = prefixes.find(lower(unit[0]));
  if (power == std::string_view::npos) return std::nullopt;
  std::string_view rest = unit.substr(1);
  if (rest.size() == 2 && lower(rest[0]) == 'i' && lower(rest[1]) == 'b') rest.remove_prefix(2);
  if (rest.size() == 1 && lower(rest[0]) == 'b') rest.remove_prefix(1);
  if (!rest.empty()) return std::nullopt;
  return static_cast<int>(power);
}

}  // namespace

std::optional<SizeArgument> readSizeArgument(std::string_view argument) {
  if (argument.empty() || argument[0] < '0' || argument[0] > '9') return SizeArgument{};
  // Counted in KiB, held below 2^62 so that no step overflows.
  constexpr uint64_t kCap = uint64_t{1} << 50;
  uint64_t number = 0;
  size_t i = 0;
  for (; i < argument.size() && argument[i] >= '0' && argument[i] <= '9'; ++i)
    number = std::min(kCap, number * 10 + static_cast<uint64_t>(argument[i] - '0'));
  const std::string_view unit = argument.substr(i);
  if (unit == "%") {
    if (number < 1 || number > 100) return std::nullopt;
    return SizeArgument{0, static_cast<uint32_t>(number)};
  }
  const std::optional<int> power = unitPower(unit);
  if (!power) return std::nullopt;
  uint64_t megabytes = *power == 0 ? number / 1024 : number;
  for (int p = 1; p < *power; ++p) megabytes = std::min(kCap, megabytes * 1024);
  return SizeArgument{static_cast<uint32_t>(std::min<uint64_t>(megabytes, kLargestMegabytes)), 0};
}

}  // namespace kelvaring
