// ConcurrentHashMap_pointer: cooperative expansion. The creator makes and publishes bucket chunks
// N .. 2N-1, participants claim old buckets from migration_cursor and split each into its sibling,
// and the last one out doubles N and clears the moving marks.
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
// Expansion

void ConcurrentHashMap_pointer::python_expansion_helper(std::size_t n) {
  check_usable();
  ConcurrentHashMap_base<false>::python_expansion_helper(n);
}

void python_expansion_helper_pointer(std::string& name, std::size_t target_length) {
  refuse_reentry();
  if (name.empty()) {
    // An empty name would create a new map rather than open one.
    throw std::invalid_argument(map_texts::pointer_invalid_name);
  }
  ConcurrentHashMap_pointer map(name, 2, 2);
  map.check_usable();
  if (map.enter_expansion([&map, target_length] { return map.bucket_chunk_in_use() < target_length; })) {
    map.expand();
  }
}

void ConcurrentHashMap_pointer::expand() {
  if (is_destroyed()) {
    throw std::runtime_error(map_texts::pointer_destroyed);
  }
  const std::uint64_t chunks = bucket_chunk_in_use();
  if (bucket_locks_held != 0) {
    // Called from a key comparison: leave at once, as if never joined, and refuse.
    abandon_expansion(chunks);
    throw std::runtime_error(map_texts::pointer_reentry);
  }
  // This participant is counted in expansion_workers, so N cannot double before it leaves.
  if (chunks > bucket_chunk_number_ / 2) {
    abandon_expansion(chunks);  // the table has no room: joins never get here (enter_expansion checks)
    return;
  }
  PointerBucket* const marker = chunk_marker();
  for (;;) {
    // acquire: once chunk N is seen, the new chunks and migration_cursor are seen too
    PointerBucket* seen = chunk_slot(chunks).load(std::memory_order_acquire);
    if (seen == nullptr) {
      // relaxed on success: the creator publishes with its own release; acquire on failure, as above
      if (chunk_slot(chunks).compare_exchange_strong(seen, marker, std::memory_order_relaxed,
                                                     std::memory_order_acquire)) {
        try {
          create_new_chunks(chunks);
        } catch (...) {
          abandon_expansion(chunks);
          throw;
        }
        break;
      }
      continue;
    }
    if (seen == marker) {
      wait_step();  // the creator is at work
      continue;
    }
    break;  // published: the work of this expansion is claimable (or already all claimed)
  }
  const std::uint64_t old_buckets_end = bucket_chunk_size_ * chunks;
  for (;;) {
    // relaxed: claims only need to be disjoint; what they cover was published through chunk N
    const auto cursor = static_cast<std::int64_t>(cursor_word().fetch_sub(buckets_per_claim, std::memory_order_relaxed));
    if (cursor < 0) {
      break;
    }
    const ClaimedBuckets claimed = claim_from(cursor);
    for (std::uint64_t index = claimed.first; index < claimed.end && index < old_buckets_end; ++index) {
      move_bucket(index, chunks);
    }
  }
  leave_expansion([this, chunks] { clear_moving_marks(chunks); });
}

void ConcurrentHashMap_pointer::create_new_chunks(std::uint64_t chunks) {
  // Chunk N stays private until it is published; slots N+1 .. 2N-1 are read by nobody before that.
  PointerBucket* first_new = nullptr;
  std::uint64_t made = 0;
  try {
    first_new = make_bucket_chunk();
    made = 1;
    for (std::uint64_t chunk = chunks + 1; chunk < 2 * chunks; ++chunk) {
      // relaxed: published by the release store of slot N below
      chunk_slot(chunk).store(make_bucket_chunk(), std::memory_order_relaxed);
      ++made;
    }
  } catch (...) {
    // Undo, so that another participant can create the chunks later.
    if (first_new != nullptr) {
      release_bucket_chunk(first_new);
    }
    for (std::uint64_t chunk = chunks + 1; chunk < chunks + made; ++chunk) {
      release_bucket_chunk(chunk_slot(chunk).exchange(nullptr, std::memory_order_relaxed));
    }
    // release: the undone slots are seen before a new creator can be elected
    chunk_slot(chunks).store(nullptr, std::memory_order_release);
    throw;
  }
  // relaxed: published by the release store of slot N below
  cursor_word().store(static_cast<std::uint64_t>(bucket_chunk_size_ * chunks - 1), std::memory_order_relaxed);
  // release: the new chunks, their buckets and the cursor happen-before any use through chunk N
  chunk_slot(chunks).store(first_new, std::memory_order_release);
}

void ConcurrentHashMap_pointer::move_bucket(std::uint64_t index, std::uint64_t chunks) {
  const std::uint64_t chunk = index / bucket_chunk_size_;
  const std::uint64_t position = index % bucket_chunk_size_;
  PointerBucket* old_bucket = chunk_slot(chunk).load(std::memory_order_acquire) + position;
  // acquire: the new chunks were published through chunk N, which this participant has seen
  PointerBucket* sibling = chunk_slot(chunks + chunk).load(std::memory_order_acquire) + position;
  // Marked before its lock is taken: an insert that takes the lock after us backs off.
  // release: pairs with the acquire of the operations that read the mark under the bucket's lock
  moving_to_word(old_bucket).store(sibling, std::memory_order_release);
  const std::uint64_t split_bit = bucket_chunk_size_ * chunks;
  for (;;) {
    BucketLock lock(old_bucket);
    require_head(old_bucket);
    require_head(sibling);
    PointerList& from = old_bucket->entries;
    PointerList& to = sibling->entries;
    if (from.length == 0) {
      return;
    }
    std::uint64_t moving_count = 0;
    for (EntryCursor cursor(from);; cursor.advance()) {
      moving_count += (static_cast<std::uint64_t>(cursor.entry().hash) & split_bit) != 0 ? 1 : 0;
      if (cursor.is_last()) {
        break;
      }
    }
    if (moving_count == 0) {
      return;
    }
    // Every link the sibling needs is taken before either list changes.
    const std::uint64_t needed_links = links_for_entries(to.length + moving_count);
    const std::uint64_t new_links = needed_links > to.link_count ? needed_links - to.link_count : 0;
    LocalLink* run = nullptr;
    if (new_links != 0) {
      try {
        run = block_cache_->take(new_links);
      } catch (const std::runtime_error&) {
        // The claimed bucket must be moved for the expansion to end: wait for memory and try again.
        lock.unlock();
        wait_step();
        continue;
      }
    }
    // One pass: moving entries are appended to the sibling in order, staying entries are compacted
    // in place in order. Slot k is read before anything is written to it (writes go to w <= k).
    std::uint64_t to_index = to.length;
    std::uint64_t to_link_index = std::min(to_index / pointer_entries_per_link, to.link_count - 1);
    LocalLink* to_link = walk_links(to.head, to_link_index);
    std::uint64_t write_index = 0;
    LocalLink* write_link = from.head;
    LocalLink* read_link = from.head;
    for (std::uint64_t read_index = 0; read_index < from.length; ++read_index) {
      if (read_index != 0 && read_index % pointer_entries_per_link == 0) {
        read_link = read_link->next;
      }
      const PointerEntry entry = records_of(read_link)[read_index % pointer_entries_per_link];
      if ((static_cast<std::uint64_t>(entry.hash) & split_bit) != 0) {
        while (to_link_index < to_index / pointer_entries_per_link) {
          if (to_link_index + 1 < to.link_count) {
            to_link = to_link->next;
          } else {
            to_link->next = run;
            to_link = run;
            run = run->next;
            ++to.link_count;
          }
          ++to_link_index;
        }
        records_of(to_link)[to_index % pointer_entries_per_link] = entry;
        ++to_index;
        continue;
      }
      if (write_index != read_index) {
        records_of(write_link)[write_index % pointer_entries_per_link] = entry;
      }
      ++write_index;
      if (write_index % pointer_entries_per_link == 0 && write_index < from.length) {
        write_link = write_link->next;
      }
    }
    to.length = to_index;
    from.length = write_index;  // its links stay with it; remove gives surplus links back later
    return;
  }
}

void ConcurrentHashMap_pointer::abandon_expansion(std::uint64_t chunks) noexcept {
  // Leaves without having claimed anything. When this is the last participant and the expansion's
  // work was published, every claim has been completed by the participants that left before, so
  // the expansion is finished as usual; when nothing was published (a creator that rolled back),
  // the map keeps its size.
  const auto is_done = [this, chunks] {
    const PointerBucket* published = chunk_slot(chunks).load(std::memory_order_acquire);
    return published != nullptr && published != chunk_marker() && bucket_chunk_in_use() == chunks;
  };
  leave_expansion(is_done, [this, chunks] { clear_moving_marks(chunks); });
}

void ConcurrentHashMap_pointer::clear_moving_marks(std::uint64_t old_chunks) noexcept {
  // Only old buckets are ever marked. Runs under expansion_lock, so no next expansion marks a
  // bucket before this ends.
  for (std::uint64_t chunk = 0; chunk < old_chunks; ++chunk) {
    PointerBucket* buckets = chunk_slot(chunk).load(std::memory_order_acquire);
    for (std::uint64_t position = 0; position < bucket_chunk_size_; ++position) {
      // release: whoever sees the cleared mark also sees the doubled N
      moving_to_word(buckets + position).store(nullptr, std::memory_order_release);
    }
  }
}


}  // namespace corvana
