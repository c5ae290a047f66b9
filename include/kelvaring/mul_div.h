// a x b / c for 64-bit numbers whose product needs up to 128 bits, in
// plain 64-bit arithmetic, so that the 32-bit build computes what the
// 64-bit one does. mulDiv is for set-up work (slices, shares, cycle
// limits), not for the worker's loop.
#pragma once

#include <cstdint>

namespace kelvaring {

struct WideProduct {
  uint64_t high;
  uint64_t low;
};

// a x b in 128 bits from four 32-bit products. No partial sum overflows:
// each is at most (2^32 - 1)^2 plus two 32-bit carries, below 2^64. The
// index draw takes it on targets without a 128-bit type.
constexpr WideProduct wideProduct(uint64_t a, uint64_t b) {
  const uint64_t aLow = a & 0xFFFFFFFF, aHigh = a >> 32, bLow = b & 0xFFFFFFFF, bHigh = b >> 32;
  const uint64_t lowLow = aLow * bLow;
  const uint64_t middle1 = aHigh * bLow + (lowLow >> 32);
  const uint64_t middle2 = aLow * bHigh + (middle1 & 0xFFFFFFFF);
  return {aHigh * bHigh + (middle1 >> 32) + (middle2 >> 32), (middle2 << 32) | (lowLow & 0xFFFFFFFF)};
}

// floor(a * b / c) for c > 0; UINT64_MAX when the quotient does not fit 64
// bits.
constexpr uint64_t mulDiv(uint64_t a, uint64_t b, uint64_t c) {
  const WideProduct product = wideProduct(a, b);
  uint64_t high = product.high;
  const uint64_t low = product.low;
  if (high >= c) return UINT64_MAX;
  // Long division, one bit at a time; `high` stays the remainder (< c).
  uint64_t quotient = 0;
  for (int bit = 63; bit >= 0; --bit) {
    const bool carry = (high >> 63) != 0;
    high = (high << 1) | ((low >> bit) & 1);
    quotient <<= 1;
    if (carry || high >= c) {
      high -= c;
      quotient |= 1;
    }
  }
  return quotient;
}

// The same rounded up; UINT64_MAX when it does not fit.
constexpr uint64_t mulDivUp(uint64_t a, uint64_t b, uint64_t c) {
  const uint64_t down = mulDiv(a, b, c);
  // The remainder is 0 exactly when down x c equals a x b, and as it is
  // below c, their low 64 bits tell.
  return down == UINT64_MAX || down * c == a * b ? down : down + 1;
}

}  // namespace kelvaring
