// The word index of an operation in a slice of more than 2^28 words, drawn
// so that every word of the slice is equally likely. One 32-bit draw
// modulo such a slice is far from even: at 3 x 2^30 words the first third
// of the slice would get twice the traffic of the rest.
#pragma once

#include <cstdint>

#include "kelvaring/mul_div.h"

namespace kelvaring {

// a x b in 128 bits: one multiplication where the compiler has a 128-bit
// type, four 32-bit ones where it has not (the 32-bit Windows build).
inline WideProduct multiplyWide(uint64_t a, uint64_t b) {
#ifdef __SIZEOF_INT128__
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return {static_cast<uint64_t>(product >> 64), static_cast<uint64_t>(product)};
#else
  return wideProduct(a, b);
#endif
}

// An index in [0, words) for words >= 1, from a stream of 32-bit draws
// (anything with next()). Two draws make a 64-bit value v, the first its
// low half, the second its high half; the index is the high 64 bits of
// v x words. Each index is the high half for floor(2^64 / words) or one more
// values of v; a v whose product has its low half below 2^64 mod words
// would give an index one of the extra values, so it is set aside and two
// fresh draws are taken instead (Lemire, "Fast random integer generation in an
// interval", 2019). That happens with a chance below words / 2^64, under
// 2^-28 even for a slice of 2^36 words.
class IndexDraw {
 public:
  explicit IndexDraw(uint64_t words) : words_(words), rejectBelow_((0 - words) % words) {}

  template <typename Stream>
  uint64_t operator()(Stream& g) const {
    WideProduct product;
    do {
      const uint64_t low = g.next();
      const uint64_t high = g.next();
      product = multiplyWide((high << 32) | low, words_);
    } while (product.low < rejectBelow_);
    return product.high;
  }

 private:
  uint64_t words_;
  // 2^64 mod words, worked out once for the many draws of a cycle.
  uint64_t rejectBelow_;
};

// The same for slices of more than 2^28 and at most 2^32 words, from one
// 32-bit draw r a try: the index is the high 32 bits of r x words, and an r
// whose product has its low half below 2^32 mod words is set aside for a
// fresh draw. A slice of 2^29, 2^30 or 2^31 words never sets one aside; the
// most, for a slice just above 2^31 words, is one in two, so a draw costs at
// most two on average, one for every slice of a power of two.
class IndexDraw32 {
 public:
  explicit IndexDraw32(uint64_t words) : words_(words), rejectBelow_((uint64_t{1} << 32) % words) {}

  template <typename Stream>
  uint32_t operator()(Stream& g) const {
    uint64_t product;
    do {
      product = g.next() * words_;
    } while ((product & 0xFFFFFFFF) < rejectBelow_);
    return static_cast<uint32_t>(product >> 32);
  }

 private:
  uint64_t words_;
  uint64_t rejectBelow_;
};

}  // namespace kelvaring
