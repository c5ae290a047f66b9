#include "report/error_drain.h"

#include <algorithm>
#include <thread>

#include "engine/test_run.h"

namespace kelvaring {
namespace {

// A slot found in the middle of a publication is looked at again this
// often; a publication takes a few dozen stores.
constexpr int kReadAttempts = 1000;

}  // namespace

FoundErrors ErrorDrain::drain() {
  TestRun& s = run_;
  // Lowered before the slots are read: a finder that publishes after the
  // read raises it again and wakes the monitor. An exchange, so that a
  // finder that found it raised (and woke nobody) published before it.
  s.errorSeen.exchange(false, std::memory_order_acq_rel);
  FoundErrors found;
  drainSlots(found);
  drainRing(found);
  // Stamps are handed out in order of publication (modulo 2^32).
  std::sort(found.records.begin(), found.records.end(), [](const FoundRecord& a, const FoundRecord& b) {
    return static_cast<int32_t>(a.record.stamp - b.record.stamp) < 0;
  });
  return found;
}

void ErrorDrain::drainSlots(FoundErrors& found) {
  const WorkerTeam& team = run_.workers;
  sequences_.resize(team.count(), 0);
  counted_.resize(team.count(), 0);
  for (uint32_t k = 0; k < team.count(); ++k) {
    FoundRecord next;
    uint32_t sequence = 0;
    bool read = false;
    for (int attempt = 0; attempt < kReadAttempts && !read; ++attempt) {
      read = team[k].errors.read(next.record, sequence);
      if (!read) std::this_thread::yield();
    }
    if (!read || sequence == sequences_[k]) continue;
    sequences_[k] = sequence;
    next.mismatches = next.record.found - counted_[k];
    counted_[k] = next.record.found;
    found.records.push_back(next);
  }
}

void ErrorDrain::drainRing(FoundErrors& found) {
  const ErrorRing& ring = run_.hardwareErrors;
  const uint64_t published = ring.published();
  // Entries reused since the last look cannot be read any more.
  if (published - nextTicket_ > ErrorRing::kEntries) {
    found.lost += published - ErrorRing::kEntries - nextTicket_;
    nextTicket_ = published - ErrorRing::kEntries;
  }
  for (; nextTicket_ < published; ++nextTicket_) {
    FoundRecord next;
    const ErrorRing::Read read = ring.read(nextTicket_, next.record);
    if (read == ErrorRing::Read::pending) break;
    if (read == ErrorRing::Read::lost) {
      ++found.lost;
      continue;
    }
    found.records.push_back(next);
  }
}

}  // namespace kelvaring
