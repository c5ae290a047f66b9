// The remainder of a 32-bit draw, r mod d, by two multiplications instead
// of a division, for divisors fixed for many draws (the generator's shuffle
// width, a cycle's word count): the reciprocal is worked out once.
#pragma once

#include <cstdint>

namespace kelvaring {

// Exact for every 32-bit r and every divisor from 1 to 2^32 - 1: with
// M = ceil(2^64 / d), the low 64 bits of M * r are the fraction r / d
// scaled by 2^64, and their product with d, shifted down by 64, is the
// remainder (Lemire, Kaser and Kurz, "Faster remainder by direct
// computation", 2019). For d = 1, M wraps to 0 and every remainder is 0.
class RemainderBy {
 public:
  constexpr explicit RemainderBy(uint32_t divisor) : divisor_(divisor), reciprocal_(UINT64_MAX / divisor + 1) {}

  constexpr uint32_t operator()(uint32_t r) const {
    const uint64_t fraction = reciprocal_ * r;
#ifdef __SIZEOF_INT128__
    return static_cast<uint32_t>((static_cast<unsigned __int128>(fraction) * divisor_) >> 64);
#else
    // 32-bit targets: the high half of the 96-bit product from two 64-bit
    // ones; their sum stays below 2^64 as the divisor is below 2^32.
    const uint64_t high = (fraction >> 32) * divisor_;
    const uint64_t low = (fraction & 0xFFFFFFFF) * divisor_;
    return static_cast<uint32_t>((high + (low >> 32)) >> 32);
#endif
  }

 private:
  uint64_t divisor_;
  uint64_t reciprocal_;
};

}  // namespace kelvaring
