// The base of both concurrent hash maps: the five shared cells and the entry into an expansion.
// Private to the map layer; other layers include map/map.hpp.
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "heap/heap.hpp"

namespace corvana {

// Participants inside one expansion at most; past this nobody joins.
inline constexpr std::uint64_t max_expansion_workers = 4096;
// Old buckets that one claim on migration_cursor covers. migration_cursor counts down from the last
// old bucket; a claim takes the buckets from the cursor's value down, and moves the cursor past them.
inline constexpr std::int64_t buckets_per_claim = 16;
struct ClaimedBuckets {
  std::uint64_t first;  // the claim's lowest old bucket
  std::uint64_t end;    // one past its highest
};
// The claim whose highest bucket is `highest` (a value of migration_cursor, not negative).
[[nodiscard]] constexpr ClaimedBuckets claim_from(std::int64_t highest) noexcept {
  const auto top = static_cast<std::uint64_t>(highest);
  return {top >= buckets_per_claim - 1 ? top - (buckets_per_claim - 1) : 0, top + 1};
}

// InFile: true for the map whose cells live in a memory file, false for the process-local map.
template <bool InFile>
class ConcurrentHashMap_base {
 public:
  // Takes part in one expansion. Requires: the caller has counted itself in expansion_workers.
  // The only virtual operation of the maps.
  virtual void expand() = 0;

  // Joins an expansion: if the table has room for a doubling and expansion_workers <= 4096, counts
  // this thread in and calls expand(). `n` is not used.
  void python_expansion_helper(std::size_t n) {
    static_cast<void>(n);
    if (enter_expansion([] { return true; })) {
      expand();
    }
  }

  [[nodiscard]] std::uint64_t bucket_chunk_number() const noexcept { return bucket_chunk_number_; }
  [[nodiscard]] std::uint64_t bucket_chunk_size() const noexcept { return bucket_chunk_size_; }
  // N: bucket chunks in use. acquire: pairs with the release of the doubling, so the chunks it
  // covers are visible before they are used.
  [[nodiscard]] std::uint64_t bucket_chunk_in_use() const noexcept {
    return chunks_in_use_word().load(std::memory_order_acquire);
  }
  // relaxed: element_count is a statistic that may lag by the calls in progress.
  [[nodiscard]] std::uint64_t element_count() const noexcept {
    return count_word().load(std::memory_order_relaxed);
  }
  [[nodiscard]] std::uint64_t expansion_workers() const noexcept {
    return workers_word().load(std::memory_order_acquire);
  }
  // A doubling of the current table fits within bucket_chunk_number slots.
  [[nodiscard]] bool has_room_to_double() const noexcept {
    const std::uint64_t in_use = bucket_chunk_in_use();
    return in_use <= bucket_chunk_number_ / 2;
  }

 protected:
  ConcurrentHashMap_base() = default;
  ~ConcurrentHashMap_base() = default;
  ConcurrentHashMap_base(const ConcurrentHashMap_base&) = delete;
  ConcurrentHashMap_base& operator=(const ConcurrentHashMap_base&) = delete;

  // Whose token expansion_lock holds, and who is asked whether its holder lives: the process table
  // of the map in a file; null (a process-local token) for the process-local map.
  const ProcessTable* expansion_liveness_ = nullptr;

  // The join decision. Under expansion_lock: if `is_wanted()` holds, the table has room for one more
  // doubling and at most 4096 participants are inside, counts this thread in expansion_workers.
  // Returns whether it did; the caller then calls expand(). Every change of expansion_workers and the
  // doubling happen under expansion_lock, so a thread can never join between the last participant's
  // leave and its doubling.
  // Requires: no bucket lock held.
  template <class IsWanted>
  bool enter_expansion(IsWanted is_wanted) {
    OwnedLockGuard guard(expansion_lock_, expansion_liveness_, Interrupt::never, LockRank::expansion);
    if (!is_wanted() || !has_room_to_double() ||
        workers_word().load(std::memory_order_relaxed) > max_expansion_workers) {
      return false;
    }
    // relaxed: expansion_lock orders every change of the count
    workers_word().fetch_add(1, std::memory_order_relaxed);
    return true;
  }

  // The leaving step. Under expansion_lock: takes this participant out of expansion_workers; the last
  // one doubles bucket_chunk_in_use and runs `finish()` (clearing the moving marks) before the lock
  // is released, so a next expansion, which must enter through the lock, never sees a stale mark
  // being cleared under it. Requires: no bucket lock held.
  template <class Finish>
  void leave_expansion(Finish finish) {
    leave_expansion([] { return true; }, finish);
  }

  // The leaving step of a map whose expansion can end without its work done (a creator that could
  // not make the new chunks rolls back and everybody leaves): as above, but the last participant
  // doubles and finishes only when `is_done()` holds under expansion_lock; otherwise the map keeps
  // its size. Requires: no bucket lock held.
  template <class IsDone, class Finish>
  void leave_expansion(IsDone is_done, Finish finish) {
    OwnedLockGuard guard(expansion_lock_, expansion_liveness_, Interrupt::never, LockRank::expansion);
    if (workers_word().fetch_sub(1, std::memory_order_relaxed) != 1 || !is_done()) {
      return;
    }
    const std::uint64_t in_use = chunks_in_use_word().load(std::memory_order_relaxed);
    // release: the new bucket chunks and every moved entry are visible to whoever reads the new N
    chunks_in_use_word().store(in_use * 2, std::memory_order_release);
    finish();
  }

  // One accessor per shared cell; each cell is an 8-aligned 64-bit word.
  [[nodiscard]] static std::atomic_ref<std::uint64_t> cell_word(std::uint64_t* cell) noexcept {
    assert(reinterpret_cast<std::uintptr_t>(cell) % std::atomic_ref<std::uint64_t>::required_alignment == 0);
    return std::atomic_ref<std::uint64_t>(*cell);
  }
  [[nodiscard]] std::atomic_ref<std::uint64_t> workers_word() const noexcept { return cell_word(expansion_workers_); }
  [[nodiscard]] std::atomic_ref<std::uint64_t> cursor_word() const noexcept { return cell_word(migration_cursor_); }
  [[nodiscard]] std::atomic_ref<std::uint64_t> count_word() const noexcept { return cell_word(element_count_); }
  [[nodiscard]] std::atomic_ref<std::uint64_t> chunks_in_use_word() const noexcept {
    return cell_word(bucket_chunk_in_use_);
  }

  std::uint64_t bucket_chunk_number_ = 0;  // slots of the bucket chunk table
  std::uint64_t bucket_chunk_size_ = 0;    // B: buckets per bucket chunk
  // Addresses of the shared cells in this process. migration_cursor holds a signed value and is
  // read through a cast; every cell is one 64-bit word.
  std::uint64_t* expansion_workers_ = nullptr;
  std::uint64_t* expansion_lock_ = nullptr;
  std::uint64_t* migration_cursor_ = nullptr;
  std::uint64_t* element_count_ = nullptr;
  std::uint64_t* bucket_chunk_in_use_ = nullptr;
};

}  // namespace corvana
