// The string map's inspection members: the map checker and the helpers that tests and diagnostics
// use to look at buckets, table slots and caches.
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "map/bucket_locks.hpp"
#include "map/entry_pages.hpp"
#include "map/map_records.hpp"
#include "map/map_support.hpp"
#include "map/string_map.hpp"

namespace corvana {

using map_layout::Bucket;
using map_layout::EntryView;
using map_layout::HeapAccess;
using map_layout::PageView;

std::uint64_t ConcurrentHashMap_string::bucket_length(std::uint64_t bucket_number) const {
  Bucket* bucket = bucket_at(bucket_number);
  BucketHold hold;
  hold.take(*this, bucket, Interrupt::when_free);
  std::uint64_t length = 0;
  map_layout::for_each_page(*access_, bucket, [&](const PageView& page, Offset) {
    map_layout::for_each_entry(page, [&](const EntryView&) { ++length; });
    return false;
  });
  return length;
}

std::uint64_t ConcurrentHashMap_string::bucket_page_count(std::uint64_t bucket_number) const {
  Bucket* bucket = bucket_at(bucket_number);
  BucketHold hold;
  hold.take(*this, bucket, Interrupt::when_free);
  std::uint64_t pages = 0;
  map_layout::for_each_page(*access_, bucket, [&](const PageView&, Offset) {
    ++pages;
    return false;
  });
  return pages;
}

std::uint64_t ConcurrentHashMap_string::bucket_moving_to(std::uint64_t bucket) const {
  Bucket* address = bucket_at(bucket);
  if (marked_sibling(bucket, address, bucket_chunk_in_use()) == nullptr) {
    return 0;
  }
  // acquire: as every reader of a mark
  return map_layout::moving_to_word(address).load(std::memory_order_acquire);
}

std::uint64_t ConcurrentHashMap_string::bucket_version(std::uint64_t bucket) const {
  // acquire: as a get without the lock reads it
  return map_layout::version_word(bucket_at(bucket)).load(std::memory_order_acquire);
}

std::vector<std::int64_t> ConcurrentHashMap_string::bucket_hashes(std::uint64_t bucket_number) const {
  Bucket* bucket = bucket_at(bucket_number);
  BucketHold hold;
  hold.take(*this, bucket, Interrupt::when_free);
  std::vector<std::int64_t> hashes;
  map_layout::for_each_page(*access_, bucket, [&](const PageView& page, Offset) {
    map_layout::for_each_entry(page, [&](const EntryView& entry) { hashes.push_back(entry.hash); });
    return false;
  });
  return hashes;
}

std::uint64_t ConcurrentHashMap_string::table_slot(std::uint64_t chunk) const {
  if (chunk >= bucket_chunk_number_) {
    throw std::out_of_range("table slot " + std::to_string(chunk) + " is past the bucket chunk table");
  }
  // acquire: as every reader of a slot
  return map_layout::table_slot_word(table_, chunk).load(std::memory_order_acquire);
}

std::int64_t ConcurrentHashMap_string::migration_cursor() const noexcept {
  // relaxed: a snapshot for diagnostics
  return static_cast<std::int64_t>(cursor_word().load(std::memory_order_relaxed));
}

std::uint64_t ConcurrentHashMap_string::cached_chunks() const noexcept {
  std::uint64_t chunks = 0;
  for (const auto& caches : writer_caches_) {
    chunks += caches != nullptr ? caches->cached_chunks() : 0;
  }
  return chunks;
}

StringMapCheck ConcurrentHashMap_string::check(bool free_chunks) {
  require_usable();
  // A doubling that nobody alive carries on is finished first, as the next insert that met it would.
  // When it cannot be (no room in the heap), the groups below still read the map as it stands.
  try {
    help_expansion(deadline_after(lock_timeout_ns_));
  } catch (const InterruptedWait&) {
    throw;
  } catch (const DamagedFile&) {
    throw;
  } catch (const std::runtime_error&) {
    // No room for the new chunks or a split (the doubling was rolled back or handed over), or a live
    // participant held a lock past the timeout: the map is read as it stands.
  }
  const HeapAccess& heap = *access_;
  StringMapCheck result;
  const std::uint64_t walk_chunks = bucket_chunk_in_use();
  const std::uint64_t group_count = bucket_chunk_size_ * walk_chunks;
  const std::uint64_t deadline_ns = deadline_after(lock_timeout_ns_);
  std::unordered_set<std::uint64_t> owned_chunks;
  std::uint64_t group = 0;
  const auto fail = [&group, group_count](const std::string& what) {
    throw DamagedFile((group_count == 0 ? std::string() : "bucket " + std::to_string(group) + ": ") + what);
  };
  const auto own = [&](Offset chunk, const char* what) {
    if (!owned_chunks.insert(static_cast<std::uint64_t>(chunk)).second) {
      fail(std::string(what) + " at offset " + std::to_string(static_cast<std::uint64_t>(chunk)) + " is owned twice");
    }
    ++result.chunk_count;
  };
  const auto check_string = [&](const map_layout::StringField& field, const char* what) {
    if (field.is_out_of_line) {
      if (field.length <= map_layout::inline_string_limit) {
        fail(std::string(what) + " of " + std::to_string(field.length) + " bytes lies out of line");
      }
      map_layout::for_each_chain_chunk(heap, field.ref,
                                       [&](Offset chunk, std::uint32_t, const std::byte*, std::uint64_t) {
                                         own(chunk, "a string chunk");
                                       });
    } else if (field.length > map_layout::inline_string_limit) {
      fail(std::string(what) + " of " + std::to_string(field.length) + " bytes lies inline");
    }
  };
  std::unordered_set<std::string> keys;
  while (group < group_count) {
    if (const std::uint64_t unread = unread_groups_from(walk_chunks, group); unread > 0) {
      group += unread;  // empty buckets: nothing to check, nothing to back
      continue;
    }
    HeldBuckets held(*this);
    try {
      lock_group(walk_chunks, group, deadline_ns, held);
    } catch (const WaitRetreat&) {
      check_interrupts();
      continue;
    }
    keys.clear();
    for (Bucket* bucket : held.buckets()) {
      map_layout::for_each_page(heap, bucket, [&](const PageView& page, Offset) {
        own(page.offset, "an entry page");
        // (A larger one when the heap was full as the page was made.)
        if (slab_class_bytes(heap.chunk_class(page.offset, "an entry page")) <
            slab_class_bytes(slab_class_for(sizeof(map_layout::PageHeader) + (page.entries_end - page.entries)))) {
          fail("an entry page is smaller than the class that fits it");
        }
        map_layout::for_each_entry(page, [&](const EntryView& entry) {
          check_string(entry.key, "a key");
          check_string(entry.value, "a value");
          if (const std::uint64_t home = bucket_index(entry.hash, walk_chunks); home != group) {
            fail("an entry belongs to bucket " + std::to_string(home));
          }
          std::string key_bytes(entry.key.length, '\0');
          map_layout::copy_string(heap, entry.key, key_bytes.data());
          if (!keys.insert(std::move(key_bytes)).second) {
            fail("a key is stored twice");
          }
          ++result.entry_count;
        });
        return false;
      });
    }
    ++group;
  }
  const std::uint64_t bucket_total = bucket_chunk_size_ * bucket_chunk_in_use();
  result.bucket_count = bucket_total;
  if (free_chunks) {
    std::unordered_set<std::uint64_t> free_set;
    for_each_free_slab_chunk(base_, heap.slabs, *process_table_, [&](Offset chunk, std::uint32_t) {
      const auto offset = static_cast<std::uint64_t>(chunk);
      if (owned_chunks.count(offset) != 0 || !free_set.insert(offset).second) {
        throw DamagedFile("the free slab chunk at offset " + std::to_string(offset) +
                                 (owned_chunks.count(offset) != 0 ? " is in use" : " is free twice"));
      }
    });
    result.free_chunk_count = free_set.size();
  }
  return result;
}

}  // namespace corvana
