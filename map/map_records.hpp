// Records of a string map in the heap of its memory file, and the accessors of their atomic words.
// Private to the map layer; other layers include map/map.hpp.
//
// Every record is packed and little-endian and declared only here. Packed fields are read and
// written by value or with std::memcpy; a record inside another is reached through its address
// (entries_of, key_of, value_of), never through a reference to the member. Words used atomically
// (bucket lock, moving_to, table slots, the five cells) are 8-aligned in the heap: the map places
// every record holding such a word at the first 8-aligned address of a raw block of `size + 6`
// bytes (payloads sit at heap offset 8k+2) and stores the Offset of that aligned address.
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "heap/heap.hpp"

namespace corvana::map_layout {

#pragma pack(push, 1)

// A sequence of fixed-size elements in data chunks chained through ChunkLinks: the entries of a
// bucket (2 per record block) or the bytes of a key or value (string_unit per string chunk).
// Only the first link_count links are meaningful; the next of the last one may point anywhere.
struct ChunkList {                 // 40 bytes
  Offset head;                     //  0: first ChunkLink; not meaningful while link_count is 0
  std::uint64_t length;            //  8: entries in the list, or bytes in the string
  std::uint64_t link_count;        // 16: links that belong to the list
  std::uint8_t unit;               // 24: entries per record block, or bytes per string chunk
  std::uint8_t padding[7];         // 25
  std::uint64_t base;              // 32: reserved; this map writes 0 and never reads it
};
static_assert(sizeof(ChunkList) == 40);
static_assert(offsetof(ChunkList, length) == 8 && offsetof(ChunkList, link_count) == 16 &&
              offsetof(ChunkList, unit) == 24 && offsetof(ChunkList, base) == 32);

// One key-value pair. Unused slots of a record block hold key and value with link_count 0, so a
// slot can always be filled without giving anything back.
struct Entry {                     // 88 bytes
  ChunkList key;                   //  0: unit string_unit
  ChunkList value;                 // 40: unit string_unit
  std::int64_t hash;               // 80: the caller's hash of the key, stored unchanged
};
static_assert(sizeof(Entry) == 88 && sizeof(Entry) == entry_record_bytes);
static_assert(offsetof(Entry, value) == 40 && offsetof(Entry, hash) == 80);

// One bucket of a bucket chunk. Bucket chunks are 8-aligned and 56 is a multiple of 8, so lock and
// moving_to are 8-aligned in every bucket. A bucket of all zeros is an empty bucket without links:
// a new bucket chunk needs no initialisation, and a bucket gets its first link with its first entry.
struct Bucket {                    // 56 bytes
  std::uint64_t lock;              //  0: atomic owned lock word (0 free, else its holder's token)
  ChunkList entries;               //  8: guarded by `lock`. entries.head is 0 until the first link
                                   //     is added and never changes after, so a prefetch hint may
                                   //     read it (atomically) without the lock
  Offset moving_to;                // 48: atomic; the sibling while an expansion moves this bucket, else null
};
static_assert(sizeof(Bucket) == 56);
static_assert(offsetof(Bucket, entries) == 8 && offsetof(Bucket, moving_to) == 48);
static_assert(offsetof(Bucket, lock) % 8 == 0 && offsetof(Bucket, moving_to) % 8 == 0,
              "atomic words must be 8-aligned within the record");

// The map's header: the payload of the first chunk of a new heap (chunk at heap offset 64, unit 168,
// payload at heap offset 66). Written once by the creator; read by every process that opens the map.
struct MapHeader {                      // 168 bytes (the chunk's unit; 6 bytes of slack follow)
  std::uint64_t reserved_local;         //   0 (heap 66): reserved; written as 0, never read
  std::uint64_t reserved_base;          //   8 (heap 74): reserved; written as 0, never read
  std::uint64_t bucket_chunk_number;    //  16 (heap 82): slots of the bucket chunk table
  std::uint64_t bucket_chunk_size;      //  24 (heap 90): B, buckets per bucket chunk (a power of 2)
  std::uint8_t zero_0[24];              //  32 (heap 98): zero
  Offset table;                         //  56 (heap 122): the bucket chunk table
  Offset bucket_chunk_in_use;           //  64 (heap 130): cell
  Offset expansion_workers;             //  72 (heap 138): cell
  Offset expansion_lock;                //  80 (heap 146): cell
  Offset migration_cursor;              //  88 (heap 154): cell
  Offset element_count;                 //  96 (heap 162): cell
  std::uint8_t zero_1[16];              // 104 (heap 170): zero
  std::uint8_t unwritten[16];           // 120 (heap 186): never written (zero in a new file)
  std::uint8_t zero_2[24];              // 136 (heap 202): zero
  std::uint8_t string_unit;             // 160 (heap 226): bytes per string chunk
  std::uint8_t unused[7];               // 161 (heap 227): never written
};
static_assert(sizeof(MapHeader) == map_header_unit);
static_assert(offsetof(MapHeader, reserved_base) == 8 && offsetof(MapHeader, bucket_chunk_number) == 16 &&
              offsetof(MapHeader, bucket_chunk_size) == 24 && offsetof(MapHeader, zero_0) == 32 &&
              offsetof(MapHeader, table) == 56 && offsetof(MapHeader, bucket_chunk_in_use) == 64 &&
              offsetof(MapHeader, expansion_workers) == 72 && offsetof(MapHeader, expansion_lock) == 80 &&
              offsetof(MapHeader, migration_cursor) == 88 && offsetof(MapHeader, element_count) == 96 &&
              offsetof(MapHeader, zero_1) == 104 && offsetof(MapHeader, unwritten) == 120 &&
              offsetof(MapHeader, zero_2) == 136 && offsetof(MapHeader, string_unit) == 160);

// ---------------------------------------------------------------------------------------------
// The map's records in a process slot (ProcessSlot::map_area)
//
// A slot's owner makes its changes to buckets through one of its writer records: record r
// (current_thread_tag() % writer_records) serves the thread that holds the map object's process-
// local lock of r, so each record has one writer at a time. Record r has chunk caches of its own
// (the slot's cache records 2r, record blocks, and 2r + 1, string chunks), used by that writer only. Before the first store that changes a
// bucket's lists, the writer describes the change in its intent; after the last, it clears the
// intent; then the bucket's lock is released. A writer that dies leaves its bucket locked with its
// token, whose thread tag names the record: whoever takes the lock over finds the intent there and
// finishes or undoes the change (see repair in string_map.cpp). counts[r] is the number of entries
// the record's changes added (removes subtract): element counts are sums over slots, so that no two
// processes write one counter, and a repair can tell from count_before whether a dead writer's
// count was already raised.

inline constexpr std::uint32_t writer_records = 8;

enum class IntentKind : std::uint8_t {
  none = 0,
  append = 1,   // a new entry at index old_length
  replace = 2,  // entry `entry` gets the value list {new_head, new_length, new_link_count}
  remove = 3,   // entry `entry` leaves; the last entry (old_length - 1) fills its place
};

struct WriterIntent {              // 64 bytes
  std::uint64_t state;             //  0: atomic; kind | generation of the writer's slot << 32;
                                   //     0 while no change is under way. Stored after the fields
                                   //     below when a change begins, cleared when it ends
  Offset bucket;                   //  8: the bucket whose lists change
  std::uint64_t entry;             // 16: the entry replaced or removed
  std::uint64_t old_length;        // 24: the bucket's length before the change
  std::int64_t count_before;       // 32: counts[r] before the change
  Offset new_head;                 // 40: replace: the new value's first link (null for no bytes)
  std::uint64_t new_length;        // 48: replace: the new value's bytes
  std::uint64_t new_link_count;    // 56: replace: the new value's links
};
static_assert(sizeof(WriterIntent) == 64);
static_assert(offsetof(WriterIntent, bucket) == 8 && offsetof(WriterIntent, entry) == 16 &&
              offsetof(WriterIntent, old_length) == 24 && offsetof(WriterIntent, count_before) == 32 &&
              offsetof(WriterIntent, new_head) == 40 && offsetof(WriterIntent, new_link_count) == 56);

struct SlotRecords {               // 640 bytes
  std::int64_t counts[writer_records];  //   0: atomic each; entries added by the record's changes
  std::uint8_t reserved[64];            //  64: zero
  WriterIntent intents[writer_records]; // 128
};
static_assert(sizeof(SlotRecords) == 640 && sizeof(SlotRecords) <= sizeof(ProcessSlot::map_area));
static_assert(2 * writer_records <= slot_cache_records, "each writer record has a block cache and a string cache");
static_assert(offsetof(SlotRecords, intents) == 128);
static_assert(offsetof(ProcessSlot, map_area) % 64 == 0, "each intent keeps a cache line of its own");

#pragma pack(pop)

// Where the MapHeader's chunk starts, and its header bytes.
inline constexpr std::uint64_t map_header_chunk_offset = 64;
inline constexpr std::uint64_t map_header_offset = map_header_chunk_offset + sizeof(ChunkHeader);
inline constexpr std::uint8_t map_header_chunk_size = chunk_size_for_unit(map_header_unit);
static_assert(map_header_chunk_size == 176);
// The first heap offset after the MapHeader's chunk: every other record of a map lies past it.
inline constexpr std::uint64_t first_record_offset = map_header_chunk_offset + map_header_chunk_size;

inline constexpr std::uint8_t entries_per_block = 2;   // the unit of a bucket's entry list
inline constexpr std::uint64_t word_alignment = 8;     // of every atomic word in the heap
// Raw blocks are payloads at 8k+2; asking for `size + aligned_block_slack` bytes and starting at
// payload + aligned_block_slack gives `size` bytes at an 8-aligned address.
inline constexpr std::uint64_t aligned_block_slack = 6;

// A shared cell owns a whole cache line, so the cell that every insert and remove changes
// (element_count) never slows the readers of another (bucket_chunk_in_use, read by every operation).
// A raw block of cell_block_bytes holds a whole 64-byte line wherever the block starts (payloads
// start at 8k+2: at most 62 bytes precede the line); the cell is that line's first word.
inline constexpr std::uint64_t cache_line_bytes = 64;
inline constexpr std::uint64_t cell_block_bytes = 2 * cache_line_bytes - sizeof(ChunkHeader);

// Table slot marker: the creator of an expansion is making the chunk of this slot.
inline constexpr std::uint64_t table_slot_creating = 1;

// ---------------------------------------------------------------------------------------------
// Addresses of nested records (never references to packed members)

[[nodiscard]] inline ChunkList* entries_of(Bucket* bucket) noexcept {
  return reinterpret_cast<ChunkList*>(reinterpret_cast<std::byte*>(bucket) + offsetof(Bucket, entries));
}
[[nodiscard]] inline ChunkList* key_of(Entry* entry) noexcept {
  return reinterpret_cast<ChunkList*>(reinterpret_cast<std::byte*>(entry) + offsetof(Entry, key));
}
[[nodiscard]] inline ChunkList* value_of(Entry* entry) noexcept {
  return reinterpret_cast<ChunkList*>(reinterpret_cast<std::byte*>(entry) + offsetof(Entry, value));
}

[[nodiscard]] inline ChunkLink* link_at(Allocator heap, Offset offset) noexcept {
  return reinterpret_cast<ChunkLink*>(address_of(heap, offset));
}

// ---------------------------------------------------------------------------------------------
// The atomic words: one accessor each

[[nodiscard]] inline std::atomic_ref<std::uint64_t> word_at(std::byte* address) noexcept {
  assert(reinterpret_cast<std::uintptr_t>(address) % std::atomic_ref<std::uint64_t>::required_alignment == 0);
  return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(address));
}

// The address of the bucket's lock word (see acquire_lock_word).
[[nodiscard]] inline std::uint64_t* lock_address(Bucket* bucket) noexcept {
  return reinterpret_cast<std::uint64_t*>(reinterpret_cast<std::byte*>(bucket) + offsetof(Bucket, lock));
}

// The first link of a bucket's entry list, read without its lock (it is written once).
[[nodiscard]] inline std::atomic_ref<std::uint64_t> entries_head_word(Bucket* bucket) noexcept {
  return word_at(reinterpret_cast<std::byte*>(bucket) + offsetof(Bucket, entries) + offsetof(ChunkList, head));
}

// The map's records in a process slot.
[[nodiscard]] inline SlotRecords* slot_records(ProcessSlot* slot) noexcept {
  return reinterpret_cast<SlotRecords*>(reinterpret_cast<std::byte*>(slot) + offsetof(ProcessSlot, map_area));
}

[[nodiscard]] inline std::atomic_ref<std::uint64_t> intent_state_word(WriterIntent* intent) noexcept {
  return word_at(reinterpret_cast<std::byte*>(intent) + offsetof(WriterIntent, state));
}

[[nodiscard]] inline std::atomic_ref<std::uint64_t> count_word(SlotRecords* records, std::uint32_t record) noexcept {
  return word_at(reinterpret_cast<std::byte*>(records) + offsetof(SlotRecords, counts) + record * sizeof(std::int64_t));
}

[[nodiscard]] constexpr std::uint64_t intent_state(IntentKind kind, std::uint32_t generation) noexcept {
  return static_cast<std::uint64_t>(kind) | std::uint64_t{generation} << 32;
}
[[nodiscard]] constexpr IntentKind intent_kind(std::uint64_t state) noexcept {
  return static_cast<IntentKind>(state & 0xFF);
}
[[nodiscard]] constexpr std::uint32_t intent_generation(std::uint64_t state) noexcept {
  return static_cast<std::uint32_t>(state >> 32);
}

// The bucket's moving_to, as the raw value of an Offset. A mover sets it before it takes the
// bucket's lock; only the last participant of the expansion clears it.
[[nodiscard]] inline std::atomic_ref<std::uint64_t> moving_to_word(Bucket* bucket) noexcept {
  return word_at(reinterpret_cast<std::byte*>(bucket) + offsetof(Bucket, moving_to));
}

// Slot `chunk` of the bucket chunk table at `table`: 0, table_slot_creating or a chunk's Offset.
[[nodiscard]] inline std::atomic_ref<std::uint64_t> table_slot_word(std::byte* table,
                                                                    std::uint64_t chunk) noexcept {
  return word_at(table + chunk * sizeof(std::uint64_t));
}

}  // namespace corvana::map_layout
