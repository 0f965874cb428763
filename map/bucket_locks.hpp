// The bucket locks an operation holds together: a bucket with its sibling while an expansion moves
// it (LockedBuckets), and the buckets of a walk's group (HeldBuckets). Private to the map layer.
//
// Lock order: bucket locks are taken in ascending bucket order, as every holder of two takes them;
// the first lock of a step may be interrupted by a signal (Interrupt::when_free), the later ones
// retreat (Interrupt::retreat): the step releases all it holds, looks at signals and starts again.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "map/map_records.hpp"
#include "map/string_map.hpp"

namespace corvana {

// A bucket locked for an operation; with its sibling while an expansion moves the bucket. The holds
// release in reverse order: the sibling first.
struct ConcurrentHashMap_string::LockedBuckets {
  explicit LockedBuckets(std::uint64_t deadline) noexcept : deadline_ns(deadline) {}
  std::uint64_t deadline_ns;  // of the operation's waits (0: none)
  map_layout::Bucket* bucket = nullptr;
  map_layout::Bucket* sibling = nullptr;
  std::uint64_t moving_to = 0;
  bool is_split = false;            // the bucket's split is done (its mark has split_done_bit)
  std::uint64_t chunks_in_use = 0;  // N when the buckets were locked
  BucketHold bucket_hold;
  BucketHold sibling_hold;
  void release() noexcept {
    sibling_hold.release();
    bucket_hold.release();
  }
};

// Bucket locks held together, released in the reverse order of taking.
class ConcurrentHashMap_string::HeldBuckets {
 public:
  explicit HeldBuckets(const ConcurrentHashMap_string& map) noexcept : map_(map) {}
  HeldBuckets(const HeldBuckets&) = delete;
  HeldBuckets& operator=(const HeldBuckets&) = delete;
  ~HeldBuckets() { release(); }
  // Takes the bucket's lock (repairing it when its holder died). Only the first lock of a group
  // runs signal handlers; a later one retreats (WaitRetreat) so that no handler runs while this
  // thread holds bucket locks.
  void lock(map_layout::Bucket* bucket, std::uint64_t deadline_ns) {
    buckets_.reserve(buckets_.size() + 1);  // may throw: nothing is held for it yet
    map_.lock_bucket(bucket, {buckets_.empty() ? Interrupt::when_free : Interrupt::retreat, deadline_ns});
    buckets_.push_back(bucket);
  }
  void release() noexcept {
    while (!buckets_.empty()) {
      unlock_bucket(buckets_.back());
      buckets_.pop_back();
    }
  }
  [[nodiscard]] const std::vector<map_layout::Bucket*>& buckets() const noexcept { return buckets_; }
  [[nodiscard]] bool holds(const map_layout::Bucket* bucket) const noexcept {
    return std::find(buckets_.begin(), buckets_.end(), bucket) != buckets_.end();
  }

 private:
  const ConcurrentHashMap_string& map_;
  std::vector<map_layout::Bucket*> buckets_;
};

}  // namespace corvana
