// The pages where a run found errors: a bounded table the monitor fills
// from the records it drains (never a worker nor a signal handler), and the
// kernel parameter that keeps them out of use from the next boot on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvaring {

inline constexpr uint64_t kFailingPageBytes = 4096;

// What found errors in a page, as bits.
enum FoundBy : uint8_t { kFoundByCompare = 1, kFoundBySweep = 2, kFoundByHardware = 4 };

struct FailingPage {
  uint64_t address = 0;     // the page's first byte: physical where known, else virtual
  bool physical = false;
  uint64_t errors = 0;      // mismatches counted in it
  uint32_t failingBits = 0; // the OR of the bits that differed
  uint8_t foundBy = 0;      // FoundBy bits
  int64_t firstMilliseconds = 0;  // wall clock
  int64_t lastMilliseconds = 0;
  // A hardware memory error: the kernel took the page out of service, and
  // the run replaced it with a fresh one.
  bool retiredByKernel = false;
};

class FailingPages {
 public:
  static constexpr size_t kCapacity = 4096;
  explicit FailingPages(size_t capacity = kCapacity) : capacity_(capacity) { pages_.reserve(capacity); }

  // Counts `errors` errors at `address` (physical or not) into its page; a
  // page that does not fit any more is counted in overflow().
  void add(uint64_t address, bool physical, uint64_t errors, uint32_t failingBits, uint8_t foundBy,
           int64_t atMilliseconds, bool retiredByKernel = false);
  // Physical pages first, then virtual ones, each in address order.
  const std::vector<FailingPage>& pages() const { return pages_; }
  // Distinct pages that did not fit.
  uint64_t overflow() const { return overflow_; }

 private:
  size_t capacity_;
  std::vector<FailingPage> pages_;
  std::vector<uint64_t> overflowed_;  // the pages not kept, to count each once
  uint64_t overflow_ = 0;
};

// The kernel parameters that reserve the physical pages of `pages` (adjacent
// pages merged into one range), one "memmap=SIZE$ADDRESS" a range, with the
// "$" written as /etc/default/grub needs it ("\\\$"); empty without a
// physical page.
std::string memmapParameter(const std::vector<FailingPage>& pages);

// "compare+sweep+hardware" for FoundBy bits.
std::string foundByText(uint8_t foundBy);

}  // namespace kelvaring
