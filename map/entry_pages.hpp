// Entry pages and out-of-line strings (see the layout note in map/map_records.hpp): reading them
// with every Offset checked, comparing and copying keys and values, and writing new ones through a
// writer's slab caches. Private to the map layer.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "heap/heap.hpp"
#include "map/map_records.hpp"

namespace corvana::map_layout {

// How this process reaches the heap of a map: its base, its slab view, and limits read once when the
// map was opened, so that no Offset read from the file leads past them.
struct HeapAccess {
  Allocator base = nullptr;
  SlabView slabs;
  std::uint64_t heap_end = 0;

  // The slab chunk at `offset`, when it is one that holds at least `bytes` bytes; else DamagedFile
  // naming `what`.
  [[nodiscard]] std::byte* chunk(Offset offset, std::uint64_t bytes, const char* what) const {
    if (slab_class_bytes(chunk_class(offset, what)) < bytes) [[unlikely]] {
      throw_short_chunk(offset, what);
    }
    return base + static_cast<std::uint64_t>(offset);
  }
  // Its size class (checked as chunk()).
  [[nodiscard]] std::uint32_t chunk_class(Offset offset, const char* what) const {
    const std::uint32_t klass = slab_chunk_class(base, slabs, offset);
    if (klass == no_slab_class) [[unlikely]] {
      throw_not_a_chunk(offset, what);
    }
    return klass;
  }
  // The most bytes an out-of-line string can have: its chain lies in the carved part of the heap.
  [[nodiscard]] std::uint64_t longest_string() const noexcept {
    const std::uint64_t carved = heap_carved_end(base);
    return carved < heap_end ? carved : heap_end;
  }
  [[noreturn]] static void throw_not_a_chunk(Offset offset, const char* what);
  [[noreturn]] static void throw_short_chunk(Offset offset, const char* what);
  [[noreturn]] static void throw_long_string(std::uint64_t length);
  [[nodiscard]] Offset offset_of(const void* address) const noexcept {
    return static_cast<Offset>(static_cast<const std::byte*>(address) - base);
  }
  // Whether the heap can still carve a slab: the part past heap_next holds one. heap_next only grows,
  // so once this is false it stays false (freed chunks go to lists, never back to fresh space).
  [[nodiscard]] bool has_fresh_space() const noexcept {
    const std::uint64_t carved = heap_carved_end(base);
    return carved < heap_end && heap_end - carved >= (std::uint64_t{1} << slabs.slab_shift) * 2;
  }
};

// A writer's slab caches: one per size class, made on first use. Used by one thread at a time.
class ClassCaches {
 public:
  // `reclaim` is asked, when no class has a chunk, to have chunks that others hold back given to the
  // shared lists (true when it moved some); it must take no lock that the caller may hold.
  ClassCaches(Allocator heap, const SlabView& view, SlabCacheRecord* records, std::function<bool()> reclaim = {}) noexcept
      : heap_(heap), view_(view), records_(records), reclaim_(std::move(reclaim)) {}
  [[nodiscard]] Offset take(std::uint32_t klass) { return cache(klass).take(); }
  // A chunk of the class or, when the heap has no room left for that class, of the smallest larger
  // class that has one: slabs keep their class for ever, so room freed in large chunks must serve
  // small records too once the heap is full. Throws HeapExhausted when no class has a chunk.
  [[nodiscard]] Offset take_at_least(std::uint32_t klass) {
    for (int attempt = 0;; ++attempt) {
      try {
        return take(klass);
      } catch (const HeapExhausted&) {
        for (std::uint32_t larger = klass + 1; larger < slab_class_count; ++larger) {
          try {
            return take(larger);
          } catch (const HeapExhausted&) {
            // none of this class either
          }
        }
        // Once more after the chunks that other writers' caches hold back went to the shared lists.
        if (attempt > 0 || !reclaim_ || !reclaim_()) {
          throw;
        }
      }
    }
  }
  // The records again, after another process took what they held (see SlabCache::reload).
  void reload() noexcept {
    for (auto& cache : caches_) {
      if (cache) {
        cache->reload();
      }
    }
  }
  void give_back(Offset chunk, std::uint32_t klass) noexcept { cache(klass).give_back(chunk); }
  // Gives back without applying the cap until trim(): the chunk stays at the head of its cache.
  void keep(Offset chunk, std::uint32_t klass) noexcept {
    cache(klass).keep(chunk);
    kept_classes_ |= std::uint32_t{1} << klass;
  }
  void trim() noexcept {
    for (; kept_classes_ != 0; kept_classes_ &= kept_classes_ - 1) {
      caches_[__builtin_ctz(kept_classes_)]->trim();
    }
  }
  [[nodiscard]] std::uint64_t cached_chunks() const noexcept;

 private:
  SlabCache& cache(std::uint32_t klass) noexcept {
    if (!caches_[klass]) {
      caches_[klass].emplace(heap_, view_, klass, &records_[klass]);
    }
    return *caches_[klass];
  }
  Allocator heap_;
  SlabView view_;
  SlabCacheRecord* records_;
  std::function<bool()> reclaim_;
  std::optional<SlabCache> caches_[slab_class_count];
  std::uint32_t kept_classes_ = 0;  // classes given chunks by keep() since the last trim()
};

// One field of an entry as read from its page (every member set by read_entry).
struct StringField {
  bool is_out_of_line;
  std::uint64_t length;
  const std::byte* bytes;  // inline: the bytes in the page
  StringRef ref;           // out of line: the chain
};

// One entry as read from its page (every member set by read_entry).
struct EntryView {
  std::byte* address;  // the entry's header in its page
  std::uint32_t bytes;  // the entry's size in the page
  bool is_removed;      // removed in place: only `address` and `bytes` mean anything
  std::int64_t hash;
  StringField key;
  StringField value;
};

// A page as read: its header (copied) and where its entries lie.
struct PageView {
  Offset offset = Offset::null;
  std::byte* address = nullptr;
  Offset next = Offset::null;
  std::uint32_t entry_count = 0;
  std::byte* entries = nullptr;
  std::byte* entries_end = nullptr;
  std::byte* capacity_end = nullptr;  // the end of the page's chunk: entries_end .. here is slack
  // Bytes free after the entries, where an entry can be written and then published.
  [[nodiscard]] std::uint64_t slack() const noexcept { return static_cast<std::uint64_t>(capacity_end - entries_end); }
};

[[noreturn]] void throw_damaged_page(Offset offset);
[[noreturn]] void throw_damaged_entry(const char* what);

// Reads the page at `offset` into `page`, checked: a slab chunk that holds its header and its
// entries. (The readers fill their results in place: a view built aside and copied would be
// read back, wide, just after it was written narrow, which the processor cannot forward.)
inline void read_page(const HeapAccess& heap, Offset offset, PageView& page) {
  const std::uint64_t size = slab_class_bytes(heap.chunk_class(offset, "an entry page"));
  std::byte* address = heap.base + static_cast<std::uint64_t>(offset);
  PageHeader header;
  std::memcpy(&header, address, sizeof header);
  if (header.entry_bytes > size - sizeof(PageHeader) || header.entry_count == 0 ||
      header.entry_count > header.entry_bytes / sizeof(EntryHeader)) [[unlikely]] {
    throw_damaged_page(offset);
  }
  page.offset = offset;
  page.address = address;
  page.next = header.next;
  page.entry_count = header.entry_count;
  page.entries = address + sizeof(PageHeader);
  page.entries_end = page.entries + header.entry_bytes;
  page.capacity_end = address + size;
}
[[nodiscard]] inline PageView read_page(const HeapAccess& heap, Offset offset) {
  PageView page;
  read_page(heap, offset, page);
  return page;
}

// The bytes an entry's field takes for a string of `length` bytes.
[[nodiscard]] constexpr std::uint64_t field_bytes(std::uint64_t length) noexcept {
  return length <= inline_string_limit ? (length + 7) & ~std::uint64_t{7} : sizeof(StringRef);
}

// Reads the field described by `field` (an EntryHeader's key_field or value_field) at `cursor`,
// which moves past it, into `string`; checked to end by `end`.
inline void read_field(std::uint32_t field, std::byte*& cursor, const std::byte* end, StringField& string) {
  if ((field & out_of_line_flag) != 0) {
    if (end - cursor < static_cast<std::ptrdiff_t>(sizeof(StringRef))) [[unlikely]] {
      throw_damaged_entry("an entry runs past its page");
    }
    std::memcpy(&string.ref, cursor, sizeof(StringRef));
    string.is_out_of_line = true;
    string.length = string.ref.length;
    string.bytes = nullptr;
    if (string.length <= inline_string_limit) [[unlikely]] {
      throw_damaged_entry("an out-of-line string is too short to be one");
    }
    cursor += sizeof(StringRef);
    return;
  }
  const std::uint64_t padded = field_bytes(field);
  if (field > inline_string_limit || static_cast<std::uint64_t>(end - cursor) < padded) [[unlikely]] {
    throw_damaged_entry("an entry runs past its page");
  }
  string.is_out_of_line = false;
  string.length = field;
  string.bytes = cursor;
  string.ref.first = Offset::null;
  string.ref.length = 0;
  cursor += padded;
}

// The bytes of an entry removed in place (its value_field), checked: a whole entry's worth, in
// 8-byte steps, ending by `end`.
[[nodiscard]] inline std::uint64_t removed_entry_bytes(const EntryHeader& header, const std::byte* at,
                                                       const std::byte* end) {
  const std::uint64_t bytes = header.value_field;
  if (bytes < sizeof(EntryHeader) || bytes % 8 != 0 || static_cast<std::uint64_t>(end - at) < bytes)
      [[unlikely]] {
    throw_damaged_entry("an entry runs past its page");
  }
  return bytes;
}

// The bytes the entry with `header` at `at` takes in its page, checked to end by `end`.
[[nodiscard]] inline std::uint64_t stored_entry_bytes(const EntryHeader& header, const std::byte* at,
                                                      const std::byte* end) {
  if (header.key_field == removed_field) [[unlikely]] {
    return removed_entry_bytes(header, at, end);
  }
  const auto field_size = [](std::uint32_t field) {
    if ((field & out_of_line_flag) != 0) {
      return std::uint64_t{sizeof(StringRef)};
    }
    if (field > inline_string_limit) [[unlikely]] {
      throw_damaged_entry("an entry runs past its page");
    }
    return field_bytes(field);
  };
  const std::uint64_t padding = ((header.key_field & entry_padding_mask) >> entry_padding_shift) * 8;
  const std::uint64_t bytes = sizeof(EntryHeader) + field_size(header.key_field & ~entry_padding_mask) +
                              field_size(header.value_field) + padding;
  if (static_cast<std::uint64_t>(end - at) < bytes) [[unlikely]] {
    throw_damaged_entry("an entry runs past its page");
  }
  return bytes;
}

// Reads the entry at `at` into `entry`, checked to end by `end`.
inline void read_entry(std::byte* at, const std::byte* end, EntryView& entry) {
  if (end - at < static_cast<std::ptrdiff_t>(sizeof(EntryHeader))) [[unlikely]] {
    throw_damaged_entry("an entry runs past its page");
  }
  EntryHeader header;
  std::memcpy(&header, at, sizeof header);
  entry.address = at;
  entry.hash = header.hash;
  if (header.key_field == removed_field) [[unlikely]] {
    entry.is_removed = true;
    entry.bytes = static_cast<std::uint32_t>(removed_entry_bytes(header, at, end));
    return;
  }
  entry.is_removed = false;
  std::byte* cursor = at + sizeof(EntryHeader);
  read_field(header.key_field & ~entry_padding_mask, cursor, end, entry.key);
  read_field(header.value_field, cursor, end, entry.value);
  const std::uint64_t padding = ((header.key_field & entry_padding_mask) >> entry_padding_shift) * 8;
  if (static_cast<std::uint64_t>(end - cursor) < padding) [[unlikely]] {
    throw_damaged_entry("an entry runs past its page");
  }
  entry.bytes = static_cast<std::uint32_t>(cursor - at + padding);
}
[[nodiscard]] inline EntryView read_entry(std::byte* at, const std::byte* end) {
  EntryView entry;
  read_entry(at, end, entry);
  return entry;
}

[[nodiscard]] constexpr std::uint64_t entry_bytes(std::uint64_t key_length, std::uint64_t value_length) noexcept {
  return sizeof(EntryHeader) + field_bytes(key_length) + field_bytes(value_length);
}
// Pages hold at most this much of entries.
inline constexpr std::uint64_t page_entry_capacity = page_capacity - sizeof(PageHeader);
static_assert(entry_bytes(inline_string_limit, inline_string_limit) <= page_entry_capacity);

// The length of a field, checked against what holds it before it sizes a buffer or a walk: an
// out-of-line string is never longer than the heap's carved part (a damaged length would otherwise
// cost as much memory as it claims before its chain is found short). Throws DamagedFile.
[[nodiscard]] inline std::uint64_t checked_length(const HeapAccess& heap, const StringField& field) {
  if (field.is_out_of_line && field.length > heap.longest_string()) [[unlikely]] {
    HeapAccess::throw_long_string(field.length);
  }
  return field.length;
}

// Whether the entry holds (key, key_len, hash): equal hash, equal length, equal bytes.
[[nodiscard]] bool key_equals(const HeapAccess& heap, const EntryView& entry, const char* key,
                              std::uint64_t key_len, std::int64_t hash);
[[nodiscard]] bool string_equals(const HeapAccess& heap, const StringField& field, const char* bytes,
                                 std::uint64_t length);
// Copies the field's bytes to `destination` (field.length bytes).
void copy_string(const HeapAccess& heap, const StringField& field, char* destination);
// The chunks of an out-of-line chain, calling visit(offset, class) for each (checked; bounded).
template <class Visit>
void for_each_chain_chunk(const HeapAccess& heap, const StringRef& ref, Visit visit);

// A string about to be stored in an entry: inline, or out of line in a chain already written.
struct NewString {
  const char* bytes = nullptr;
  std::uint64_t length = 0;
  StringRef ref{};  // first is null when the string lies inline
  [[nodiscard]] bool is_out_of_line() const noexcept { return ref.first != Offset::null; }
};

// Prepares a string for an entry, writing a chain for a long one from `caches`; `made` names the
// chain's first chunk after each chunk is added (null until then), so that a repair after a death
// finds what was made. Throws what the caches throw (the heap has no room); nothing is left made then.
[[nodiscard]] NewString prepare_string(const HeapAccess& heap, ClassCaches& caches, const char* bytes,
                                       std::uint64_t length, Offset& made);
// Gives an out-of-line chain back: to `caches`, or (null) to the heap's shared lists.
void free_chain(const HeapAccess& heap, ClassCaches* caches, Offset first);

// Frees pages and out-of-line strings that nobody else can reach: to `caches`, or (null) to the
// shared lists.
void free_pages_and_strings(const HeapAccess& heap, ClassCaches* caches, const Offset (&pages)[2],
                            const Offset (&strings)[2]);

// Writes an entry at `at` (entry_bytes(key.length, value.length) bytes, and `padding` more, a
// multiple of 8 up to entry_padding_limit, whose bytes are left as they are).
void write_entry(std::byte* at, std::int64_t hash, const NewString& key, const NewString& value,
                 std::uint64_t padding = 0) noexcept;

// ---------------------------------------------------------------------------------------------
// Pages of a bucket

// The bucket's page word, as an Offset (it is what a change of the first page publishes through).
inline Offset page_link_of(const HeapAccess& heap, Bucket* bucket) noexcept {
  return heap.offset_of(reinterpret_cast<std::byte*>(bucket) + offsetof(Bucket, page));
}

// Buckets hold at most as many pages as the heap has chunks: a damaged chain that loops ends here.
inline std::uint64_t page_budget(const HeapAccess& heap) noexcept { return heap.heap_end / slab_class_bytes(0) + 1; }

// Calls visit(page, link) for each page of a bucket, first to last, where `link` is the word that
// names the page; stops early when visit returns true. Requires: the bucket's lock.
template <class Visit>
void for_each_page(const HeapAccess& heap, Bucket* bucket, Visit visit) {
  Offset link = page_link_of(heap, bucket);
  // relaxed: the bucket's lock orders its changes
  auto page_offset = static_cast<Offset>(page_word(bucket).load(std::memory_order_relaxed));
  std::uint64_t budget = page_budget(heap);
  while (page_offset != Offset::null) {
    if (budget-- == 0) {
      throw DamagedFile("the entry pages of a bucket do not end");
    }
    PageView page;
    read_page(heap, page_offset, page);
    if (visit(page, link)) {
      return;
    }
    link = page.offset;  // a page's next is its first word
    page_offset = page.next;
  }
}

// Calls visit(entry) for each entry of a page (those removed in place are stepped over).
template <class Visit>
void for_each_entry(const PageView& page, Visit visit) {
  std::byte* at = page.entries;
  for (std::uint32_t index = 0; index < page.entry_count; ++index) {
    EntryView entry;
    read_entry(at, page.entries_end, entry);
    if (!entry.is_removed) [[likely]] {
      visit(entry);
    }
    at += entry.bytes;
  }
  if (at != page.entries_end) {
    throw DamagedFile("an entry page's entries do not fill it");
  }
}

// The entries of a page that are not removed, `skipped` (one of its entries, or null) left out.
struct LiveEntries {
  std::uint64_t bytes = 0;
  std::uint32_t count = 0;
  bool has_removed = false;  // the page has entries removed in place
};
[[nodiscard]] inline LiveEntries live_entries(const PageView& page, const std::byte* skipped) {
  LiveEntries live;
  std::byte* at = page.entries;
  for (std::uint32_t index = 0; index < page.entry_count; ++index) {
    if (page.entries_end - at < static_cast<std::ptrdiff_t>(sizeof(EntryHeader))) [[unlikely]] {
      throw_damaged_entry("an entry runs past its page");
    }
    EntryHeader header;
    std::memcpy(&header, at, sizeof header);
    const std::uint64_t bytes = stored_entry_bytes(header, at, page.entries_end);
    if (header.key_field == removed_field) [[unlikely]] {
      live.has_removed = true;
    } else if (at != skipped) {
      live.bytes += bytes;
      ++live.count;
    }
    at += bytes;
  }
  return live;
}
// Copies those entries, in order, to `to`.
inline void copy_live_entries(const PageView& page, const std::byte* skipped, std::byte* to) {
  for_each_entry(page, [&](const EntryView& entry) {
    if (entry.address != skipped) {
      std::memcpy(to, entry.address, entry.bytes);
      to += entry.bytes;
    }
  });
}

// A new page taken from `caches` (in a larger chunk than fits when the heap is full) for
// `entry_bytes` bytes of `entry_count` entries, naming `next`;
// the caller writes the entries after its header.
// With `exact_class`, only a chunk of the class that fits (HeapExhausted when none is left): a
// change that frees room (a remove) does not spend a larger chunk that an insert may need later.
inline std::byte* new_page(const HeapAccess& heap, ClassCaches& caches, std::uint64_t entry_bytes, std::uint32_t entry_count,
                    Offset next, Offset& offset, bool exact_class = false) {
  const std::uint32_t klass = slab_class_for(sizeof(PageHeader) + entry_bytes);
  offset = exact_class ? caches.take(klass) : caches.take_at_least(klass);
  std::byte* page = heap.base + static_cast<std::uint64_t>(offset);
  PageHeader header;
  header.next = next;
  header.entry_count = entry_count;
  header.entry_bytes = static_cast<std::uint32_t>(entry_bytes);
  std::memcpy(page, &header, sizeof header);
  return page;
}

inline void give_back_page(const HeapAccess& heap, ClassCaches& caches, Offset page) {
  caches.give_back(page, heap.chunk_class(page, "an entry page"));
}

// Ends an intent: its state word goes to 0, ordered after everything the change or its repair did
// before and before everything after (a repairer clears before it frees: one that dies in between
// leaks what it was freeing rather than letting the next one free it twice).
inline void clear_intent(WriterIntent* intent) noexcept {
  crash_order_barrier();
  // relaxed: read by a repair after a death, or by a writer of this slot; the barriers order it
  intent_state_word(intent).store(0, std::memory_order_relaxed);
  crash_order_barrier();
}

// A page's length word (entry_count, then entry_bytes, little-endian): one store publishes both.
[[nodiscard]] constexpr std::uint64_t page_length_word(std::uint32_t entry_count, std::uint64_t entry_bytes) noexcept {
  return std::uint64_t{entry_count} | entry_bytes << 32;
}
inline constexpr std::uint64_t page_length_offset = offsetof(PageHeader, entry_count);
static_assert(offsetof(PageHeader, entry_bytes) == page_length_offset + 4 && page_length_offset % 8 == 0);

// The value of an entry's fields word once the entry of `bytes` bytes is removed in place.
[[nodiscard]] constexpr std::uint64_t removed_fields_word(std::uint64_t bytes) noexcept {
  // key_field is the low half of the little-endian word, value_field the high half
  return removed_field | bytes << 32;
}
// Marks the entry at `entry` removed in place, with one store of its fields word. Requires: the
// bucket's lock; the entry lies whole before `end`, the end of its page (an entry already marked
// stays as it is). Throws DamagedFile when its fields say it does not.
inline void mark_removed(std::byte* entry, const std::byte* end) {
  std::byte* fields = entry + offsetof(EntryHeader, key_field);
  EntryHeader header;
  std::memcpy(&header, entry, sizeof header);
  if (header.key_field == removed_field) {
    return;
  }
  // The entry's size from its own fields: it lies in its page, which holds it whole.
  const std::uint64_t bytes = stored_entry_bytes(header, entry, end);
  // relaxed: the bucket's lock orders its changes; a repair after a death reads it under the lock
  word_at(fields).store(removed_fields_word(bytes), std::memory_order_relaxed);
}

// A removed entry of a page that an entry of `bytes` bytes can be written over: larger by at least
// an entry header (the rest stays a removed entry after it), or by less (the entry is padded to its
// size). Null when none.
[[nodiscard]] inline std::byte* hole_for(const PageView& page, std::uint64_t bytes) {
  std::byte* at = page.entries;
  for (std::uint32_t index = 0; index < page.entry_count; ++index) {
    EntryHeader header;
    if (page.entries_end - at < static_cast<std::ptrdiff_t>(sizeof header)) [[unlikely]] {
      throw_damaged_entry("an entry runs past its page");
    }
    std::memcpy(&header, at, sizeof header);
    const std::uint64_t size = stored_entry_bytes(header, at, page.entries_end);
    if (header.key_field == removed_field && size >= bytes &&
        (size - bytes <= entry_padding_limit || size - bytes >= sizeof(EntryHeader))) {
      return at;
    }
    at += size;
  }
  return nullptr;
}

// The entries that fill the page's entry_bytes, counted by stepping over each: what entry_count must
// say. Throws DamagedFile when they do not fill it exactly.
[[nodiscard]] inline std::uint32_t counted_entries(const PageView& page) {
  std::uint32_t count = 0;
  for (std::byte* at = page.entries; at < page.entries_end; ++count) {
    if (page.entries_end - at < static_cast<std::ptrdiff_t>(sizeof(EntryHeader))) [[unlikely]] {
      throw_damaged_entry("an entry runs past its page");
    }
    EntryHeader header;
    std::memcpy(&header, at, sizeof header);
    at += stored_entry_bytes(header, at, page.entries_end);
  }
  return count;
}

// Stores one field of a writer's own intent, ordered for a repair after a death.
inline void record_in_intent(Offset& field, Offset value) noexcept {
  crash_order_barrier();
  field = value;
  crash_order_barrier();
}

// What is left to free of a chain a dead writer was giving back (see WriterIntent::pending_next),
// from its recorded head and pending word: `lone`, a chunk to free by itself (the give-back may
// have overwritten its link), and `rest`, a chain whose links are whole.
struct ChainRemainder {
  Offset lone = Offset::null;
  Offset rest = Offset::null;
};
// Whether `chunk`, which a dead writer was giving back to its caches (`writer_caches`, one record per
// class), lies at the head of its class's cache: given back already. A chunk in use never does.
[[nodiscard]] inline bool is_given_back(const HeapAccess& heap, const SlabCacheRecord* writer_caches, Offset chunk) {
  const std::uint32_t klass = slab_chunk_class(heap.base, heap.slabs, chunk);
  return klass != no_slab_class && writer_caches[klass].count != 0 && writer_caches[klass].head == chunk;
}

[[nodiscard]] inline ChainRemainder chain_remainder(const HeapAccess& heap, const SlabCacheRecord* writer_caches,
                                                   Offset head, Offset pending) {
  if (head == Offset::null || pending == head) {
    return {Offset::null, head};  // the head's give-back had not begun: its link is whole
  }
  if (is_given_back(heap, writer_caches, head)) {
    return {Offset::null, pending};
  }
  return {head, pending};
}

// ---------------------------------------------------------------------------------------------

template <class Visit>
void for_each_chain_chunk(const HeapAccess& heap, const StringRef& ref, Visit visit) {
  if (ref.length > heap.longest_string()) [[unlikely]] {
    HeapAccess::throw_long_string(ref.length);
  }
  std::uint64_t remaining = ref.length;
  Offset chunk = ref.first;
  // No chain is longer than the heap has chunks: a damaged one that loops ends here.
  std::uint64_t budget = heap.heap_end / slab_class_bytes(0) + 1;
  while (remaining > 0) {
    if (budget-- == 0) {
      throw DamagedFile("an out-of-line string does not end");
    }
    const std::uint64_t here = remaining < chain_chunk_data ? remaining : chain_chunk_data;
    const std::uint32_t klass = heap.chunk_class(chunk, "a string chunk");
    if (slab_class_bytes(klass) < here + sizeof(Offset)) {
      throw DamagedFile("a string chunk is shorter than its string");
    }
    std::byte* address = heap.base + static_cast<std::uint64_t>(chunk);
    Offset next;
    std::memcpy(&next, address, sizeof next);
    visit(chunk, klass, address + sizeof(Offset), here);
    remaining -= here;
    chunk = next;
  }
}

}  // namespace corvana::map_layout
