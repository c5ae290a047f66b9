#include "limit_kernel.h"

#include <time.h>

#include <thread>
#include <vector>

#include "engine/engine.h"

namespace kelvaring::bench {
namespace {

constexpr uint32_t kAhead = 16;

inline uint64_t xorshift64star(uint64_t& x) {
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  return x * 0x2545F4914F6CDD1DULL;
}

}  // namespace

uint64_t limitCycle(volatile uint32_t* a, volatile uint32_t* b, uint32_t words, uint32_t operations,
                    uint64_t& seed) {
  const uint32_t* const plainA = const_cast<const uint32_t*>(a);
  const uint32_t* const plainB = const_cast<const uint32_t*>(b);
  uint64_t x = seed;
  uint64_t mismatches = 0;
  uint32_t index[kAhead];
  uint32_t value[kAhead];
  auto draw = [&](uint32_t slot) {
    const uint64_t r = xorshift64star(x);
    index[slot] = static_cast<uint32_t>(((r >> 32) * words) >> 32);
    value[slot] = static_cast<uint32_t>(r);
    __builtin_prefetch(plainA + index[slot], 1);
    __builtin_prefetch(plainB + index[slot], 1);
  };
  for (uint32_t slot = 0; slot < kAhead; ++slot) draw(slot);
  for (uint32_t op = 0; op < operations; ++op) {
    const uint32_t slot = op % kAhead;
    const uint32_t i = index[slot];
    const uint32_t v = value[slot];
    draw(slot);  // operation op + 16; the last 16 draws go unused
    mismatches += a[i] != b[i];
    a[i] = v;
    b[i] = v;
    mismatches += a[i] != b[i];
  }
  seed = x;
  return mismatches;
}

double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

uint64_t limitCycleOnThreads(volatile uint32_t* a, volatile uint32_t* b, uint64_t words, uint32_t operations,
                             uint32_t threads, double* seconds, double* threadOperations) {
  std::vector<std::thread> running;
  std::vector<uint64_t> mismatches(threads, 0);
  for (uint32_t t = 0; t < threads; ++t) {
    const Slice slice = sliceOf(words, threads, t);
    const uint32_t share = shareOfCycle(operations, words, slice);
    threadOperations[t] += share;
    running.emplace_back([=, &mismatches] {
      uint64_t seed = 88172645463325252ULL + t;
      const double start = threadSeconds();
      mismatches[t] = limitCycle(a + slice.first, b + slice.first, static_cast<uint32_t>(slice.end - slice.first),
                                 share, seed);
      seconds[t] += threadSeconds() - start;
    });
  }
  uint64_t all = 0;
  for (uint32_t t = 0; t < threads; ++t) {
    running[t].join();
    all += mismatches[t];
  }
  return all;
}

uint32_t readBoth(const uint32_t* a, const uint32_t* b, uint64_t words) {
  uint32_t fold = 0;
  for (uint64_t i = 0; i < words; ++i) fold |= a[i] ^ b[i];
  return fold;
}

}  // namespace kelvaring::bench
