// ConcurrentHashMap_pointer's inspection members: the checker of an idle map and the looks at one
// bucket that tests and diagnostics use.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "map/pointer_map.hpp"
#include "map/pointer_map_support.hpp"

namespace corvana {

using namespace pointer_map_detail;

// ---------------------------------------------------------------------------------------------
// Diagnostics

ConcurrentHashMap_pointer::CheckSummary ConcurrentHashMap_pointer::check() {
  check_usable();
  const std::uint64_t chunks = bucket_chunk_in_use();
  const std::uint64_t bucket_count = bucket_chunk_size_ * chunks;
  CheckSummary summary{0, bucket_count, 0};
  const auto fail = [](std::uint64_t index, const std::string& what) {
    throw std::logic_error("bucket " + std::to_string(index) + ": " + what);
  };
  for (std::uint64_t index = 0; index < bucket_count; ++index) {
    PointerBucket* bucket = bucket_at(index);
    BucketLock lock(bucket);
    const PointerList& list = bucket->entries;
    if (list.head == nullptr) fail(index, "no head link");
    if (moving_to_word(bucket).load(std::memory_order_acquire) != nullptr) fail(index, "moving mark left set");
    if (list.unit != pointer_entries_per_link) fail(index, "unit is not 2");
    if (list.link_count < links_for_entries(list.length)) {
      fail(index, "length " + std::to_string(list.length) + " exceeds its " + std::to_string(list.link_count) +
                      " links");
    }
    if (list.length != 0) {
      for (EntryCursor cursor(list);; cursor.advance()) {
        const PointerEntry& entry = cursor.entry();
        if (entry.key == nullptr || entry.value == nullptr) fail(index, "entry without key or value");
        const std::uint64_t home = static_cast<std::uint64_t>(entry.hash) % bucket_count;
        if (home != index) fail(index, "entry " + std::to_string(cursor.index()) + " belongs to bucket " + std::to_string(home));
        if (cursor.is_last()) break;
      }
    }
    summary.entries += list.length;
    summary.longest = std::max(summary.longest, list.length);
  }
  if (summary.entries != element_count()) {
    throw std::logic_error("element_count " + std::to_string(element_count()) + " but " +
                           std::to_string(summary.entries) + " entries");
  }
  return summary;
}

ConcurrentHashMap_pointer::BucketState ConcurrentHashMap_pointer::bucket_state(std::uint64_t index) {
  check_usable();
  const std::uint64_t chunks = bucket_chunk_in_use();
  if (index >= bucket_chunk_size_ * chunks) {
    throw std::out_of_range("bucket index out of range");
  }
  PointerBucket* bucket = bucket_at(index);
  BucketLock lock(bucket);
  return BucketState{bucket->entries.length, bucket->entries.link_count};
}

bool ConcurrentHashMap_pointer::is_bucket_moving(std::uint64_t index) const {
  check_usable();
  const std::uint64_t chunks = bucket_chunk_in_use();
  if (index >= bucket_chunk_size_ * chunks) {
    throw std::out_of_range("bucket index out of range");
  }
  return moving_to_word(bucket_at(index)).load(std::memory_order_acquire) != nullptr;
}


}  // namespace corvana
