// Where found errors wait for the monitor: a worker's slot (a sequence
// lock) and the ring of hardware memory errors. The words are atomics of
// their own, written with release and read with acquire ordering: a reader
// that sees any word of a record being written also sees the sequence the
// writer set before it, so the second look at the sequence catches it.
// Nothing here waits, locks or allocates: it runs in workers and in signal
// handlers.
#include "engine/engine.h"
#include "engine/test_run.h"
#include "kelvaring/state.h"

namespace kelvaring {
namespace {

constexpr auto kRelease = std::memory_order_release;
constexpr auto kAcquire = std::memory_order_acquire;

// `stamps`: the run's count of stamps, from which the record takes the
// next; null: stamp 0.
void storeRecord(MismatchDetail& d, const ErrorRecord& r, std::atomic<uint32_t>* stamps) {
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
  d.found.store(r.found, kRelease);
  d.stamp.store(stamps != nullptr ? stamps->fetch_add(1, std::memory_order_relaxed) + 1 : 0, kRelease);
}

void loadRecord(const MismatchDetail& d, ErrorRecord& r) {
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
  r.found = d.found.load(kAcquire);
  r.stamp = d.stamp.load(kAcquire);
}

}  // namespace

bool ErrorSlot::publish(ErrorRecord record, std::atomic<uint32_t>& stamps) {
  // Counted first: a publication that gives way below is not lost to the
  // count, and the next record carries it.
  found_.fetch_add(1, std::memory_order_acq_rel);
  uint32_t sequence = sequence_.load(std::memory_order_relaxed);
  // An odd sequence: a publication is under way (on this thread below a
  // signal handler, or on another). It is left to finish.
  if ((sequence & 1) != 0 || !sequence_.compare_exchange_strong(sequence, sequence + 1, std::memory_order_acquire))
    return false;
  // The count is taken while the slot is held, so that it never falls from
  // one record to the next, whoever published first.
  record.found = found_.load(std::memory_order_acquire);
  storeRecord(detail, record, &stamps);
  sequence_.store(sequence + 2, kRelease);
  return true;
}

void ErrorSlot::clear() {
  storeRecord(detail, ErrorRecord{}, nullptr);
  found_.store(0, std::memory_order_relaxed);
  sequence_.store(0, std::memory_order_relaxed);
}

bool ErrorSlot::read(ErrorRecord& r, uint32_t& sequence) const {
  const uint32_t before = sequence_.load(kAcquire);
  if ((before & 1) != 0) return false;
  loadRecord(detail, r);
  if (sequence_.load(std::memory_order_relaxed) != before) return false;
  sequence = before;
  return true;
}

void ErrorRing::publish(ErrorRecord record, std::atomic<uint32_t>& stamps) {
  const uint64_t ticket = tickets_.fetch_add(1, std::memory_order_acq_rel);
  record.found = ticket + 1;
  Entry& entry = entries_[ticket % kEntries];
  entry.sequence.store(2 * ticket + 1, kRelease);
  storeRecord(entry.words, record, &stamps);
  entry.sequence.store(2 * ticket + 2, kRelease);
}

void ErrorRing::clear() {
  for (Entry& entry : entries_) entry.sequence.store(0, std::memory_order_relaxed);
  tickets_.store(0, std::memory_order_relaxed);
}

ErrorRing::Read ErrorRing::read(uint64_t ticket, ErrorRecord& record) const {
  const Entry& entry = entries_[ticket % kEntries];
  const uint64_t whole = 2 * ticket + 2;
  const uint64_t before = entry.sequence.load(kAcquire);
  if (before > whole) return Read::lost;
  if (before < whole) return Read::pending;
  loadRecord(entry.words, record);
  // Changed meanwhile: a later ticket took the entry.
  return entry.sequence.load(std::memory_order_relaxed) == whole ? Read::whole : Read::lost;
}

void noteErrorPublished(TestRun& run) {
  // The first publication after the monitor's last look wakes it; later
  // ones find the flag raised and make no system call.
  if (!run.errorSeen.exchange(true, std::memory_order_acq_rel)) run.monitorWakeup.signal();
}

uint64_t mismatchesFound(const TestRun& s) {
  uint64_t found = s.hardwareErrors.published();
  for (uint32_t k = 0; k < s.workers.count(); ++k) found += s.workers[k].errors.found();
  return found;
}

}  // namespace kelvaring
