// The same per-operation traffic as a test cycle with the cheapest index
// source there is: the yardstick that runCycle is measured against.
#pragma once

#include <cstdint>

namespace kelvaring::bench {

// `operations` operations over words 0..words-1 of `a` and `b`: read A[i],
// read B[i], compare, write v to both, read both back, compare. Indexes and
// values come from xorshift64* (state in `seed`), the index by a
// multiply-shift range reduction; both words are prefetched 16 operations
// ahead. Returns the number of mismatches seen.
uint64_t limitCycle(volatile uint32_t* a, volatile uint32_t* b, uint32_t words, uint32_t operations,
                    uint64_t& seed);

// The limit on `threads` threads at once: thread t runs limitCycle over
// slice t of `threads` of the words (the slices of the workers), with its
// share of `operations`. Returns the mismatches seen by all; adds each
// thread's processor time to threadSeconds[t] and its operations to
// threadOperations[t].
uint64_t limitCycleOnThreads(volatile uint32_t* a, volatile uint32_t* b, uint64_t words, uint32_t operations,
                             uint32_t threads, double* threadSeconds, double* threadOperations);

// Processor time of the calling thread in seconds.
double threadSeconds();

// A plain read of words 0..words-1 of both buffers, folded into one value so
// that no load can be left out: the limit of a sweep.
uint32_t readBoth(const uint32_t* a, const uint32_t* b, uint64_t words);

}  // namespace kelvaring::bench
