// The list operations shared by the data operations and the expansion of the string map: the entry
// cursor, strings kept in string chunks (store_bytes and its parts), and the key match.
// Private to the map layer; other layers include map/map.hpp.
//
// Every function here requires the lock of the bucket that owns the lists it touches.
// Failure atomicity: a function that needs new chunks takes them from its cache before it changes a
// list, so a cache that cannot supply (heap exhausted) leaves every list exactly as it was.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "heap/heap.hpp"
#include "map/map_records.hpp"

namespace corvana::map_layout {

// "offset overflow!": made once per process, thrown as a copy.
[[nodiscard]] const std::out_of_range& offset_overflow_exception() noexcept;

// Walks the entries of a bucket's list (unit 2). Process-local; lives for one operation.
class EntryCursor {
 public:
  // Positions the cursor on entry 0. Requires: the list has at least one link.
  EntryCursor(Allocator heap, ChunkList* list) noexcept
      : heap_(heap), list_(list), link_(link_at(heap, list->head)) {}

  [[nodiscard]] std::uint64_t index() const noexcept { return index_; }
  // The link whose record block holds the current entry.
  [[nodiscard]] ChunkLink* link() const noexcept { return link_; }
  [[nodiscard]] Entry* entry() const noexcept {
    return reinterpret_cast<Entry*>(address_of(heap_, link_->data) +
                                    (index_ % entries_per_block) * sizeof(Entry));
  }
  // Moves from entry i to entry i + 1, following `next` when i + 1 starts a new record block.
  // Throws: out_of_range "offset overflow!" when i + 1 is not below the list's length (the cursor
  // stays at i).
  void advance();

 private:
  Allocator heap_;
  ChunkList* list_;
  ChunkLink* link_;
  std::uint64_t index_ = 0;
};

// Entry `slot` (0 or 1) of the record block that `link` names.
[[nodiscard]] inline Entry* entry_in_block(Allocator heap, const ChunkLink* link,
                                           std::uint64_t slot) noexcept {
  return reinterpret_cast<Entry*>(address_of(heap, link->data) + slot * sizeof(Entry));
}

// The link `steps` links after `link` in its chain. Requires: the chain has that many links.
[[nodiscard]] ChunkLink* walk_links(Allocator heap, ChunkLink* link, std::uint64_t steps) noexcept;

// Links a string of `byte_count` bytes needs with chunks of `unit` bytes.
[[nodiscard]] constexpr std::uint64_t links_for_bytes(std::uint64_t byte_count, std::uint8_t unit) noexcept {
  return byte_count / unit + (byte_count % unit != 0 ? 1 : 0);
}

// Links an entry list of `entry_count` entries keeps: one per record block, and at least one.
[[nodiscard]] constexpr std::uint64_t links_for_entries(std::uint64_t entry_count) noexcept {
  const std::uint64_t blocks = links_for_bytes(entry_count, entries_per_block);
  return blocks > 0 ? blocks : 1;
}

// A run of items taken from a cache that goes back to it unless release() hands it over. Keeps a
// half-finished operation from losing what it had already taken.
class TakenRun {
 public:
  TakenRun() noexcept = default;
  // Takes `count` items (none for 0). Throws: what the cache throws; nothing is then taken.
  TakenRun(ChunkCache& cache, std::uint64_t count);
  ~TakenRun();
  TakenRun(const TakenRun&) = delete;
  TakenRun& operator=(const TakenRun&) = delete;

  [[nodiscard]] ChunkLink* first() const noexcept { return first_; }
  [[nodiscard]] std::uint64_t count() const noexcept { return count_; }
  // The run now belongs to the caller's lists.
  ChunkLink* release() noexcept {
    count_ = 0;
    return first_;
  }

 private:
  ChunkCache* cache_ = nullptr;
  ChunkLink* first_ = nullptr;
  std::uint64_t count_ = 0;
};

// Makes the empty `list` (link_count 0) hold the `byte_count` given bytes in `run`, a run of exactly
// links_for_bytes(byte_count, unit) items taken for it. Never throws.
void write_new_string(Allocator heap, ChunkList* list, const char* bytes, std::uint64_t byte_count,
                      std::uint8_t unit, TakenRun& run) noexcept;

// Makes `list` hold exactly the given bytes, reusing its string chunks, taking the missing ones from
// `strings` before it changes the list, and giving the surplus back after it has changed it.
// Requires: the lock of the bucket that owns `list` is held.     GIL: as held by the caller.
// Locks:    may take the cache lock, and under it the heap lock.
// Throws:   what the cache throws when the heap has no chunk left (the list is then unchanged), or
//           check_free's error when a surplus chunk is refused (the list already holds the bytes).
void store_bytes(Allocator heap, ChunkList* list, const char* bytes, std::uint64_t byte_count,
                 ChunkCache& strings);

// The surplus of `list` past its first `keep` links, detached for giving back: returns the first
// surplus link (null when there is none) and sets the list's link_count to `keep`.
[[nodiscard]] ChunkLink* detach_links_after(Allocator heap, ChunkList* list, std::uint64_t keep) noexcept;

// Gives a detached run back; a run of 0 items does nothing.
void give_back_run(ChunkCache& cache, std::uint64_t count, ChunkLink* first);

// Whether `entry` holds (key, key_len, hash): equal hash, equal length, equal bytes, the bytes being
// compared chunk by chunk and only after hash and length agree.
[[nodiscard]] bool key_matches(Allocator heap, Entry* entry, const char* key, std::uint64_t key_len,
                               std::int64_t hash, std::uint8_t unit) noexcept;

// Whether `list` holds exactly the `byte_count` given bytes, compared chunk by chunk.
[[nodiscard]] bool string_equals(Allocator heap, const ChunkList* list, const char* bytes,
                                 std::uint64_t byte_count, std::uint8_t unit) noexcept;

// Copies the bytes of `list` to `destination` (list->length bytes).
void copy_string(Allocator heap, const ChunkList* list, char* destination, std::uint8_t unit) noexcept;

// Clears a list record: no links, no bytes.
inline void clear_list(ChunkList* list) noexcept {
  list->head = Offset::null;
  list->length = 0;
  list->link_count = 0;
  list->unit = 0;
  list->base = 0;
}

}  // namespace corvana::map_layout
