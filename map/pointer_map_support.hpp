// What the source files of the pointer-keyed map share: the guard against re-entry from a key
// comparison, its bucket lock, and the walk along an entry list (its texts are in map_texts.hpp).
// Private to the map layer (pointer_map_*.cpp).
//
// Invariants (with the bucket's lock held unless stated):
// - every bucket in use has a head link; its list owns link_count >= max(1, ceil(length / 2)) links
//   chained through `next` from head (the next of the last one may point anywhere);
// - entries 0 .. length-1 each own one reference to their key and one to their value; records past
//   the length own nothing;
// - an entry lies in bucket hash mod (B * N) once no expansion runs; while the expansion from N runs,
//   an entry of old bucket i lies in i or, once i has been moved, in its sibling i + B * N;
// - a moving mark is set only by the mover of its bucket, before it takes the bucket's lock, and is
//   cleared only by the last participant of that expansion, under expansion_lock;
// - chunk slot N holds null before the expansion from N, the marker while its creator works, and
//   chunk N once the new chunks, their buckets and migration_cursor are ready (publication).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <stdexcept>

#include "map/map_texts.hpp"
#include "map/pointer_map.hpp"

namespace corvana::pointer_map_detail {

// Bucket locks of pointer-keyed maps held by this thread. Non-zero while a key comparison runs.
inline thread_local std::uint32_t bucket_locks_held = 0;

// A call from Python code that runs under one of this thread's bucket locks would wait for a lock
// its own thread holds (or take a second lock out of order): refuse it.
inline void refuse_reentry() {
  if (bucket_locks_held != 0) {
    throw std::runtime_error(map_texts::pointer_reentry);
  }
}

// One wait between two looks at something another thread of this process will change: sleeps 1 ms
// with the interpreter lock given away, except while the interpreter finalizes (then the lock
// cannot be handed around, and the caller looks again at once).
inline void wait_step() noexcept {
  if (!interpreter_is_finalizing()) {
    sleep_wait_step();
  }
}

// Holds a bucket's lock word and counts it in bucket_locks_held. Waits sleep with the interpreter
// lock given away, so the holder can always run its key comparison to the end.
class BucketLock {
 public:
  explicit BucketLock(PointerBucket* bucket) noexcept : guard_(&bucket->lock, LockRank::bucket) {
    ++bucket_locks_held;
  }
  ~BucketLock() { unlock(); }
  BucketLock(const BucketLock&) = delete;
  BucketLock& operator=(const BucketLock&) = delete;
  void unlock() noexcept {
    if (guard_.is_held()) {
      guard_.unlock();
      --bucket_locks_held;
    }
  }

 private:
  LockWordGuard guard_;
};

// The moving mark of a bucket, the one atomic view of that word.
[[nodiscard]] inline std::atomic_ref<PointerBucket*> moving_to_word(PointerBucket* bucket) noexcept {
  return std::atomic_ref<PointerBucket*>(bucket->moving_to);
}

[[nodiscard]] inline PointerEntry* records_of(const LocalLink* link) noexcept {
  return reinterpret_cast<PointerEntry*>(link->data);
}

[[nodiscard]] inline LocalLink* walk_links(LocalLink* link, std::uint64_t steps) noexcept {
  for (std::uint64_t step = 0; step < steps; ++step) {
    link = link->next;
  }
  return link;
}

// Links a list of `length` entries needs: ceil(length / 2), at least the head link.
[[nodiscard]] constexpr std::uint64_t links_for_entries(std::uint64_t length) noexcept {
  return std::max<std::uint64_t>(1, length / pointer_entries_per_link + length % pointer_entries_per_link);
}

[[nodiscard]] inline const std::out_of_range& offset_overflow_exception() {
  static const std::out_of_range exception(map_texts::pointer_offset_overflow);
  return exception;
}

// Walks the entries of one list. Requires: the list's bucket lock is held and the list has entries.
class EntryCursor {
 public:
  explicit EntryCursor(const PointerList& list) noexcept : list_(list), link_(list.head) {}
  [[nodiscard]] PointerEntry& entry() const noexcept {
    return records_of(link_)[index_ % pointer_entries_per_link];
  }
  [[nodiscard]] LocalLink* link() const noexcept { return link_; }
  [[nodiscard]] std::uint64_t index() const noexcept { return index_; }
  [[nodiscard]] bool is_last() const noexcept { return index_ + 1 >= list_.length; }
  // Moves from entry i to i + 1. Throws: out_of_range "offset overflow!" past the last entry.
  void advance() {
    if (is_last()) {
      throw offset_overflow_exception();
    }
    ++index_;
    if (index_ % pointer_entries_per_link == 0) {
      link_ = link_->next;
    }
  }

 private:
  const PointerList& list_;
  LocalLink* link_;
  std::uint64_t index_ = 0;
};

inline void require_head(const PointerBucket* bucket) {
  if (bucket->entries.head == nullptr) {
    throw std::runtime_error(map_texts::empty_chunks);
  }
}

}  // namespace corvana::pointer_map_detail
