// The entry cursor and the strings of the string map (see map/entry_list.hpp).
#include "map/entry_list.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace corvana::map_layout {

namespace {

constexpr char offset_overflow_text[] = "offset overflow!";

// Copies up to one chunk of bytes starting at `bytes` into the string chunk of `link`; returns the
// number of bytes copied.
std::uint64_t fill_chunk(Allocator heap, const ChunkLink* link, const char* bytes, std::uint64_t remaining,
                         std::uint8_t unit) noexcept {
  const std::uint64_t count = std::min<std::uint64_t>(remaining, unit);
  std::memcpy(address_of(heap, link->data), bytes, count);
  return count;
}

}  // namespace

const std::out_of_range& offset_overflow_exception() noexcept {
  static const std::out_of_range exception(offset_overflow_text);
  return exception;
}

void EntryCursor::advance() {
  const std::uint64_t next_index = index_ + 1;
  if (next_index >= list_->length) {
    throw offset_overflow_exception();
  }
  if (next_index % entries_per_block == 0) {
    link_ = link_at(heap_, link_->next);
  }
  index_ = next_index;
}

ChunkLink* walk_links(Allocator heap, ChunkLink* link, std::uint64_t steps) noexcept {
  for (std::uint64_t step = 0; step < steps; ++step) {
    link = link_at(heap, link->next);
  }
  return link;
}

TakenRun::TakenRun(ChunkCache& cache, std::uint64_t count) : cache_(&cache) {
  if (count > 0) {
    first_ = cache.take(count);
    count_ = count;
  }
}

TakenRun::~TakenRun() {
  if (count_ == 0) {
    return;
  }
  try {
    cache_->give_back(count_, first_);
  } catch (const std::exception& error) {
    // Only a heap that refuses its own chunks gets here; the items are lost, nothing else is harmed.
    std::fprintf(stderr, "corvana: chunks taken for a failed map operation were lost: %s\n", error.what());
  }
}

void write_new_string(Allocator heap, ChunkList* list, const char* bytes, std::uint64_t byte_count,
                      std::uint8_t unit, TakenRun& run) noexcept {
  const std::uint64_t link_count = run.count();
  ChunkLink* link = run.release();
  list->head = link_count > 0 ? offset_of(heap, link) : Offset::null;
  list->length = byte_count;
  list->link_count = link_count;
  list->unit = unit;
  list->base = 0;
  std::uint64_t copied = 0;
  for (std::uint64_t index = 0; index < link_count; ++index) {
    if (index > 0) {
      link = link_at(heap, link->next);
    }
    copied += fill_chunk(heap, link, bytes + copied, byte_count - copied, unit);
  }
}

void store_bytes(Allocator heap, ChunkList* list, const char* bytes, std::uint64_t byte_count,
                 ChunkCache& strings) {
  const std::uint8_t unit = strings.unit();
  const std::uint64_t old_links = list->link_count;
  const std::uint64_t new_links = links_for_bytes(byte_count, unit);
  TakenRun added(strings, new_links > old_links ? new_links - old_links : 0);  // throws: list unchanged

  // Nothing below throws until the surplus goes back, so the list is never left half-written.
  const std::uint64_t reused_links = std::min(old_links, new_links);
  std::uint64_t copied = 0;
  ChunkLink* link = old_links > 0 ? link_at(heap, list->head) : nullptr;
  for (std::uint64_t index = 0; index < reused_links; ++index) {
    if (index > 0) {
      link = link_at(heap, link->next);
    }
    copied += fill_chunk(heap, link, bytes + copied, byte_count - copied, unit);
  }
  ChunkLink* surplus = nullptr;
  if (old_links > new_links) {
    surplus = new_links == 0 ? link_at(heap, list->head) : link_at(heap, link->next);
  }
  if (added.count() > 0) {
    const std::uint64_t added_links = added.count();
    ChunkLink* run = added.release();
    if (old_links == 0) {
      list->head = offset_of(heap, run);
    } else {
      link->next = offset_of(heap, run);
    }
    link = run;
    for (std::uint64_t index = 0; index < added_links; ++index) {
      if (index > 0) {
        link = link_at(heap, link->next);
      }
      copied += fill_chunk(heap, link, bytes + copied, byte_count - copied, unit);
    }
  }
  list->length = byte_count;
  list->link_count = new_links;
  list->unit = unit;
  list->base = 0;
  if (surplus != nullptr) {
    strings.give_back(old_links - new_links, surplus);
  }
}

ChunkLink* detach_links_after(Allocator heap, ChunkList* list, std::uint64_t keep) noexcept {
  const std::uint64_t link_count = list->link_count;
  if (link_count <= keep) {
    return nullptr;
  }
  ChunkLink* first = link_at(heap, list->head);
  ChunkLink* surplus = keep == 0 ? first : link_at(heap, walk_links(heap, first, keep - 1)->next);
  list->link_count = keep;
  return surplus;
}

void give_back_run(ChunkCache& cache, std::uint64_t count, ChunkLink* first) {
  if (count > 0) {
    cache.give_back(count, first);
  }
}

bool key_matches(Allocator heap, Entry* entry, const char* key, std::uint64_t key_len, std::int64_t hash,
                 std::uint8_t unit) noexcept {
  if (entry->hash != hash) {
    return false;
  }
  // A matching key is followed at once by a walk of the value's links: asking for its first link now
  // overlaps that cache miss with the key's. A prefetch never faults, whatever the address.
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(heap) +
                                                   static_cast<std::uint64_t>(value_of(entry)->head)));
  const ChunkList* stored = key_of(entry);
  if (stored->length != key_len) {
    return false;
  }
  if (key_len == 0) {
    return true;
  }
  const ChunkLink* link = link_at(heap, stored->head);
  std::uint64_t compared = 0;
  while (true) {
    const std::uint64_t count = std::min<std::uint64_t>(key_len - compared, unit);
    if (std::memcmp(address_of(heap, link->data), key + compared, count) != 0) {
      return false;
    }
    compared += count;
    if (compared == key_len) {
      return true;
    }
    link = link_at(heap, link->next);
  }
}

bool string_equals(Allocator heap, const ChunkList* list, const char* bytes, std::uint64_t byte_count,
                   std::uint8_t unit) noexcept {
  if (list->length != byte_count) {
    return false;
  }
  std::uint64_t compared = 0;
  const ChunkLink* link = byte_count > 0 ? link_at(heap, list->head) : nullptr;
  while (compared < byte_count) {
    const std::uint64_t count = std::min<std::uint64_t>(byte_count - compared, unit);
    if (std::memcmp(address_of(heap, link->data), bytes + compared, count) != 0) {
      return false;
    }
    compared += count;
    if (compared < byte_count) {
      link = link_at(heap, link->next);
    }
  }
  return true;
}

void copy_string(Allocator heap, const ChunkList* list, char* destination, std::uint8_t unit) noexcept {
  const std::uint64_t length = list->length;
  if (length == 0) {
    return;
  }
  const ChunkLink* link = link_at(heap, list->head);
  std::uint64_t copied = 0;
  while (true) {
    const std::uint64_t count = std::min<std::uint64_t>(length - copied, unit);
    std::memcpy(destination + copied, address_of(heap, link->data), count);
    copied += count;
    if (copied == length) {
      return;
    }
    link = link_at(heap, link->next);
  }
}

}  // namespace corvana::map_layout
