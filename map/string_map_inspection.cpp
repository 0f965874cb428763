// The string map's inspection members: the map checker and the helpers that tests and diagnostics
// use to look at buckets, table slots and caches.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "map/entry_list.hpp"
#include "map/map_records.hpp"
#include "map/map_support.hpp"
#include "map/string_map.hpp"

namespace corvana {

using map_layout::Bucket;
using map_layout::ChunkList;
using map_layout::Entry;
using map_layout::EntryCursor;

std::uint64_t ConcurrentHashMap_string::bucket_length(std::uint64_t bucket) const {
  return map_layout::entries_of(bucket_at(bucket))->length;
}

std::uint64_t ConcurrentHashMap_string::bucket_link_count(std::uint64_t bucket) const {
  return map_layout::entries_of(bucket_at(bucket))->link_count;
}

std::uint64_t ConcurrentHashMap_string::bucket_moving_to(std::uint64_t bucket) const {
  // acquire: as every reader of a mark
  return map_layout::moving_to_word(bucket_at(bucket)).load(std::memory_order_acquire);
}

std::vector<std::int64_t> ConcurrentHashMap_string::bucket_hashes(std::uint64_t bucket_number) const {
  Bucket* bucket = bucket_at(bucket_number);
  OwnedLockGuard guard(map_layout::lock_address(bucket), process_table_, Interrupt::never);
  ChunkList* entries = map_layout::entries_of(bucket);
  std::vector<std::int64_t> hashes;
  const std::uint64_t length = entries->length;
  if (length == 0) {
    return hashes;
  }
  EntryCursor cursor(base_, entries);
  while (true) {
    const std::int64_t hash = cursor.entry()->hash;  // by value: a packed field cannot bind a reference
    hashes.push_back(hash);
    if (cursor.index() + 1 == length) {
      return hashes;
    }
    cursor.advance();
  }
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

std::uint64_t ConcurrentHashMap_string::string_cache_items() const noexcept {
  std::uint64_t items = 0;
  for (const WriterCaches& caches : writer_caches_) {
    items += caches.strings != nullptr ? caches.strings->count() : 0;
  }
  return items;
}

std::uint64_t ConcurrentHashMap_string::block_cache_items() const noexcept {
  std::uint64_t items = 0;
  for (const WriterCaches& caches : writer_caches_) {
    items += caches.blocks != nullptr ? caches.blocks->count() : 0;
  }
  return items;
}

StringMapCheck ConcurrentHashMap_string::check(bool allow_spare_links) const {
  if (base_ == nullptr) {
    throw std::runtime_error(map_layout::empty_chunks_text);
  }
  StringMapCheck result;
  const bool is_idle = expansion_workers() == 0;
  const std::uint64_t chunks_in_use = bucket_chunk_in_use();
  const std::uint64_t bucket_total = bucket_chunk_size_ * chunks_in_use;
  std::unordered_set<std::uint64_t> owned_links;
  std::uint64_t bucket_number = 0;
  const auto fail = [&bucket_number](const std::string& what) {
    throw std::runtime_error("map check: bucket " + std::to_string(bucket_number) + ": " + what);
  };
  // A payload of `bytes` bytes at `offset`, as the allocator hands them out.
  const auto is_payload = [this](std::uint64_t offset, std::uint64_t bytes) {
    return offset % map_layout::word_alignment == sizeof(ChunkHeader) &&
           offset > map_layout::first_record_offset && offset <= heap_end_ && bytes <= heap_end_ - offset;
  };
  // Walks the first `count` links of a list, checking each link and its data chunk and that no link
  // belongs to two lists.
  const auto walk_owned = [&](Offset head, std::uint64_t count, std::uint64_t data_bytes, const char* what) {
    std::uint64_t offset = static_cast<std::uint64_t>(head);
    for (std::uint64_t index = 0; index < count; ++index) {
      if (!is_payload(offset, sizeof(ChunkLink))) {
        fail(std::string(what) + ": link " + std::to_string(index) + " lies outside the heap");
      }
      if (!owned_links.insert(offset).second) {
        fail(std::string(what) + ": link " + std::to_string(index) + " is owned twice");
      }
      const ChunkLink* link = map_layout::link_at(base_, static_cast<Offset>(offset));
      if (!is_payload(static_cast<std::uint64_t>(link->data), data_bytes)) {
        fail(std::string(what) + ": the data chunk of link " + std::to_string(index) +
             " lies outside the heap");
      }
      ++result.link_count;
      offset = static_cast<std::uint64_t>(link->next);
    }
  };
  for (; bucket_number < bucket_total; ++bucket_number) {
    Bucket* bucket = bucket_at(bucket_number);
    OwnedLockGuard guard(map_layout::lock_address(bucket), process_table_, Interrupt::never);
    ChunkList* entries = map_layout::entries_of(bucket);
    const std::uint64_t length = entries->length;
    const std::uint64_t link_count = entries->link_count;
    // A bucket gets its first link with its first entry and keeps one once it had entries.
    const std::uint64_t needed = map_layout::links_for_bytes(length, map_layout::entries_per_block);
    const std::uint64_t kept = map_layout::links_for_entries(length);
    if (link_count > 0 && entries->unit != map_layout::entries_per_block) {
      fail("entry list unit " + std::to_string(entries->unit));
    }
    if (link_count < needed || (!allow_spare_links && link_count != needed && link_count != kept)) {
      fail("entry list of length " + std::to_string(length) + " has " + std::to_string(link_count) +
           " links");
    }
    // acquire: as every reader of a mark
    if (is_idle && map_layout::moving_to_word(bucket).load(std::memory_order_acquire) != 0) {
      fail("moving_to is set while no expansion runs");
    }
    walk_owned(entries->head, link_count, sizeof(Entry) * map_layout::entries_per_block, "entry list");
    std::unordered_set<std::string> keys;
    const ChunkLink* link = map_layout::link_at(base_, entries->head);
    for (std::uint64_t slot = 0; slot < link_count * map_layout::entries_per_block; ++slot) {
      if (slot > 0 && slot % map_layout::entries_per_block == 0) {
        link = map_layout::link_at(base_, link->next);
      }
      Entry* entry = map_layout::entry_in_block(base_, link, slot % map_layout::entries_per_block);
      const ChunkList* key = map_layout::key_of(entry);
      const ChunkList* value = map_layout::value_of(entry);
      if (slot >= length) {
        if (key->link_count != 0 || value->link_count != 0) {
          fail("unused slot " + std::to_string(slot) + " owns string chunks");
        }
        continue;
      }
      for (const ChunkList* string : {key, value}) {
        if (string->link_count != map_layout::links_for_bytes(string->length, string_unit_) ||
            (string->link_count > 0 && string->unit != string_unit_)) {
          fail("entry " + std::to_string(slot) + " has a string of " + std::to_string(string->length) +
               " bytes in " + std::to_string(string->link_count) + " chunks");
        }
        walk_owned(string->head, string->link_count, string_unit_, "string");
      }
      if (is_idle && bucket_index(entry->hash, chunks_in_use) != bucket_number) {
        fail("entry " + std::to_string(slot) + " belongs to bucket " +
             std::to_string(bucket_index(entry->hash, chunks_in_use)));
      }
      std::string key_bytes(key->length, '\0');
      map_layout::copy_string(base_, key, key_bytes.data(), string_unit_);
      if (!keys.insert(std::move(key_bytes)).second) {
        fail("entry " + std::to_string(slot) + " repeats a key of its bucket");
      }
      ++result.entry_count;
    }
  }
  result.bucket_count = bucket_total;
  return result;
}

}  // namespace corvana
