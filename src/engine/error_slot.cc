// The sequence lock of a worker's error slot. The fields are atomics of
// their own, written with release and read with acquire ordering: a reader
// that sees any word of a record being written also sees the odd sequence
// the writer set before it, so the second look at the sequence catches it.
#include "kelvaring/state.h"

namespace kelvaring {
namespace {

constexpr auto kRelease = std::memory_order_release;
constexpr auto kAcquire = std::memory_order_acquire;

}  // namespace

bool ErrorSlot::publish(const ErrorRecord& r) {
  uint32_t sequence = sequence_.load(std::memory_order_relaxed);
  // An odd sequence: a publication is under way (on this thread, below a
  // signal handler, or on another). It is left to finish.
  if ((sequence & 1) != 0 || !sequence_.compare_exchange_strong(sequence, sequence + 1, std::memory_order_acquire))
    return false;
  MismatchDetail& d = detail;
  d.kind.store(static_cast<uint8_t>(r.kind), kRelease);
  d.worker.store(r.worker, kRelease);
  d.addressA.store(r.addressA, kRelease);
  d.addressB.store(r.addressB, kRelease);
  d.valueA.store(r.valueA, kRelease);
  d.valueB.store(r.valueB, kRelease);
  d.comparedA.store(r.comparedA, kRelease);
  d.comparedB.store(r.comparedB, kRelease);
  d.hardwareAddress.store(r.hardwareAddress, kRelease);
  d.pageShift.store(r.pageShift, kRelease);
  d.stamp.store(testState.errorStamps.fetch_add(1, std::memory_order_relaxed) + 1, kRelease);
  sequence_.store(sequence + 2, kRelease);
  return true;
}

bool ErrorSlot::read(ErrorRecord& r, uint32_t& sequence) const {
  const uint32_t before = sequence_.load(kAcquire);
  if ((before & 1) != 0) return false;
  const MismatchDetail& d = detail;
  r.kind = static_cast<ErrorKind>(d.kind.load(kAcquire));
  r.worker = d.worker.load(kAcquire);
  r.addressA = d.addressA.load(kAcquire);
  r.addressB = d.addressB.load(kAcquire);
  r.valueA = d.valueA.load(kAcquire);
  r.valueB = d.valueB.load(kAcquire);
  r.comparedA = d.comparedA.load(kAcquire);
  r.comparedB = d.comparedB.load(kAcquire);
  r.hardwareAddress = d.hardwareAddress.load(kAcquire);
  r.pageShift = d.pageShift.load(kAcquire);
  r.stamp = d.stamp.load(kAcquire);
  if (sequence_.load(std::memory_order_relaxed) != before) return false;
  sequence = before;
  return true;
}

}  // namespace kelvaring
