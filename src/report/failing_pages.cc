#include "report/failing_pages.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace kelvaring {
namespace {

// Physical pages before virtual ones, each in address order.
constexpr size_t kOverflowSeen = 65536;

bool before(const FailingPage& page, bool physical, uint64_t address) {
  return page.physical != physical ? page.physical : page.address < address;
}

}  // namespace

void FailingPages::add(uint64_t address, bool physical, uint64_t errors, uint32_t failingBits, uint8_t foundBy,
                       int64_t atMilliseconds, bool retiredByKernel) {
  const uint64_t page = address & ~(kFailingPageBytes - 1);
  auto at = std::lower_bound(pages_.begin(), pages_.end(), page,
                             [&](const FailingPage& p, uint64_t a) { return before(p, physical, a); });
  if (at != pages_.end() && at->physical == physical && at->address == page) {
    at->errors += errors;
    at->failingBits |= failingBits;
    at->foundBy |= foundBy;
    at->lastMilliseconds = atMilliseconds;
    at->retiredByKernel = at->retiredByKernel || retiredByKernel;
    return;
  }
  if (pages_.size() >= capacity_) {
    // Each page that did not fit is counted once, as long as the pages
    // seen fit a list of their own; past that every error out of the list
    // counts. A physical page and a virtual one differ in the low bit here,
    // which a page address never uses.
    const uint64_t key = page | (physical ? 1 : 0);
    auto seen = std::lower_bound(overflowed_.begin(), overflowed_.end(), key);
    if (seen != overflowed_.end() && *seen == key) return;
    if (overflowed_.size() < kOverflowSeen) overflowed_.insert(seen, key);
    ++overflow_;
    return;
  }
  pages_.insert(at, FailingPage{page, physical, errors, failingBits, foundBy, atMilliseconds, atMilliseconds,
                                retiredByKernel});
}

std::string memmapParameter(const std::vector<FailingPage>& pages) {
  std::vector<uint64_t> physical;
  for (const FailingPage& page : pages)
    if (page.physical) physical.push_back(page.address);
  std::sort(physical.begin(), physical.end());
  std::string out;
  for (size_t i = 0; i < physical.size();) {
    size_t j = i + 1;
    while (j < physical.size() && physical[j] == physical[j - 1] + kFailingPageBytes) ++j;
    char range[64];
    std::snprintf(range, sizeof range, "%smemmap=%" PRIu64 "K\\\\\\$0x%" PRIx64, out.empty() ? "" : " ",
                  (j - i) * (kFailingPageBytes / 1024), physical[i]);
    out += range;
    i = j;
  }
  return out;
}

std::string foundByText(uint8_t foundBy) {
  std::string out;
  for (auto [bit, name] : {std::pair{kFoundByCompare, "compare"}, std::pair{kFoundBySweep, "sweep"},
                           std::pair{kFoundByHardware, "hardware"}}) {
    if ((foundBy & bit) == 0) continue;
    if (!out.empty()) out += '+';
    out += name;
  }
  return out;
}

}  // namespace kelvaring
