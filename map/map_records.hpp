// Records of a string map in the heap of its memory file, and the accessors of their atomic words.
// Private to the map layer; other layers include map/map.hpp.
//
// Every record is packed and little-endian and declared only here. Packed fields are read and
// written by value or with std::memcpy, never through a reference to the member. Words used
// atomically (bucket lock, page, moving_to, a page's next, table slots, the cells, the slot
// records) are 8-aligned: bucket chunks, the table and the cells start on cache lines, and slab
// chunks on multiples of 16 bytes.
//
// How a bucket keeps its entries. A bucket names its first entry page; a page is a slab chunk that
// holds some of the bucket's entries back to back and names the next page. Short keys and values
// lie in the entry itself; longer ones lie out of line, in a chain of slab chunks the entry names.
// A page is never changed once its bucket names it, except for its `next`: a change builds the
// pages it needs aside and publishes them with one store into the word that names them (the
// bucket's `page` or the previous page's `next`), then frees what they replace. So a bucket is
// valid at every store, and a change that a death interrupts is either published or not.
// A get reads a bucket without its lock when it can: the bucket's `version` tells it whether the
// pages it read held still meanwhile (see map/bucket_version.hpp).
#pragma once

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "heap/heap.hpp"
#include "map/key_hash.hpp"

namespace corvana::map_layout {

#pragma pack(push, 1)

// One bucket of a bucket chunk. A bucket of zeros is an empty bucket: a new bucket chunk needs no
// initialisation.
struct Bucket {                    // 32 bytes: two per cache line, none straddles one
  std::uint64_t lock;              //  0: atomic owned lock word (0 free, else its holder's token)
  Offset page;                     //  8: atomic; the first entry page, or null for no entries.
                                   //     Changed under `lock` only, by one store
  Offset moving_to;                // 16: atomic; the sibling while an expansion splits this bucket,
                                   //     with split_done_bit once the split is done
  std::uint64_t version;           // 24: atomic; even while the bucket's pages hold still, odd while
                                   //     `lock`'s holder changes them (see bucket_version.hpp)
};
static_assert(sizeof(Bucket) == 32);
static_assert(offsetof(Bucket, page) == 8 && offsetof(Bucket, moving_to) == 16 &&
              offsetof(Bucket, version) == 24);

// An entry page: a slab chunk of the class that fits its bytes.
struct PageHeader {                // 16 bytes
  Offset next;                     //  0: atomic; the bucket's next page, or null
  std::uint32_t entry_count;       //  8: entries that follow
  std::uint32_t entry_bytes;       // 12: bytes of the entries that follow
};
static_assert(sizeof(PageHeader) == 16 && offsetof(PageHeader, entry_count) == 8);

// An entry, at a multiple of 8 bytes in its page: this header, then the key's field, then the
// value's. A field is the string's bytes padded to a multiple of 8, or, for a string kept out of
// line (its length field has out_of_line_flag), a StringRef. An entry removed in place (when the
// heap had no room for its page without it) has removed_field as its key_field and its size in
// bytes as its value_field, both written by one 8-byte store; readers step over it, and the next
// split of its bucket leaves it behind.
struct EntryHeader {               // 16 bytes
  std::int64_t hash;               //  0: the caller's hash of the key, stored unchanged
  std::uint32_t key_field;         //  8: the key's length or out_of_line_flag, with the padding in
                                   //     bits 16..23 (entry_padding_mask); or removed_field
  std::uint32_t value_field;       // 12: the value's length, or out_of_line_flag; removed: the
                                   //     entry's bytes
};
static_assert(sizeof(EntryHeader) == 16 && offsetof(EntryHeader, key_field) == 8);

// A string kept out of line: a chain of slab chunks, each an 8-byte link (the next chunk's Offset,
// null after the last) and then bytes; every chunk but the last is of the largest class.
struct StringRef {                 // 16 bytes
  Offset first;                    //  0: the chain's first chunk
  std::uint64_t length;            //  8: the string's bytes
};
static_assert(sizeof(StringRef) == 16);

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
  Offset creation_block;                // 136 (heap 202): the payload of the raw block an expansion's
                                        //      creator made its new bucket chunks in (they start at its
                                        //      first cache line); 0 until the heap carves it, and set by
                                        //      the heap in one step with the carve
  std::uint64_t creation_chunks_in_use; // 144 (heap 210): the N of that expansion
  std::uint64_t refused_chunks_in_use;  // 152 (heap 218): an N whose doubling could not be made (no
                                        //      room): the join rule does not try it again
  std::uint8_t string_unit;             // 160 (heap 226): from chunk_size_exponent (kept; not used)
  std::uint8_t unused[7];               // 161 (heap 227): never written
};
static_assert(sizeof(MapHeader) == map_header_unit);
static_assert(offsetof(MapHeader, reserved_base) == 8 && offsetof(MapHeader, bucket_chunk_number) == 16 &&
              offsetof(MapHeader, bucket_chunk_size) == 24 && offsetof(MapHeader, zero_0) == 32 &&
              offsetof(MapHeader, table) == 56 && offsetof(MapHeader, bucket_chunk_in_use) == 64 &&
              offsetof(MapHeader, expansion_workers) == 72 && offsetof(MapHeader, expansion_lock) == 80 &&
              offsetof(MapHeader, migration_cursor) == 88 && offsetof(MapHeader, element_count) == 96 &&
              offsetof(MapHeader, zero_1) == 104 && offsetof(MapHeader, unwritten) == 120 &&
              offsetof(MapHeader, creation_block) == 136 && offsetof(MapHeader, refused_chunks_in_use) == 152 &&
              offsetof(MapHeader, string_unit) == 160);

// ---------------------------------------------------------------------------------------------
// The map's records in a process slot (ProcessSlot::map_area)
//
// A slot's owner makes its changes to buckets through one of its writer records: record r
// (current_thread_tag() % writer_records) serves the thread that holds the map object's process-
// local lock of r, so each record has one writer at a time. Record r has slab caches of its own (the
// slot's slab_caches[r]), used by that writer only. A change begins its intent as soon as it holds
// its bucket's lock and records each chunk it makes as it makes it; `link`, written last before the
// publishing store, tells that the change is about to be published. After that store and the count,
// what the change replaced goes back to the writer's caches one chunk at a time, the intent keeping
// track (a chunk given back lies at the head of its cache); then the intent is cleared and the
// bucket's lock released. A writer that dies leaves its bucket locked with its token, whose thread
// tag names the record: whoever takes the lock over reads the intent, sees from the word it publishes
// through whether the change was published, and finishes it (the count, the rest of the frees) or
// undoes it (frees what it had made). counts[r] is the number of entries
// the record's changes added (removes subtract): element counts are sums over slots, so that no two
// processes write one counter, and a repair can tell from count_before whether a dead writer's count
// was already raised.

inline constexpr std::uint32_t writer_records = slot_slab_writers;

enum class IntentKind : std::uint8_t {
  none = 0,
  change = 1,  // `link` goes from old_target to new_target (an insert, a replace, a remove)
  split = 2,   // an expansion splits `bucket`: `sibling` gets `moving`, then `bucket` gets `staying`
  erase = 3,   // a remove in place: the fields word at `link`, in page `old_page`, goes from
               // old_target to new_target (the entry marked removed); the page stays
  in_page = 4, // a change inside page `old_page`, which stays: an entry was written in its slack and
               // the page's length word at `link` goes from old_target to new_target; once it has,
               // the entry whose fields word is `second_word` (an update's old version) is marked
               // removed
  fill = 5,    // an insert over a removed entry (a hole) of page `old_page`, which stays: the hole's
               // fields word at `link` goes from old_target to new_target; what the entry leaves of
               // the hole is a removed entry of its own, written before, and once the word has
               // changed the page's entry_count counts it
};

struct WriterIntent {              // 128 bytes
  std::uint64_t state;             //   0: atomic; kind | count delta (int8) << 8 | generation of the
                                   //      writer's slot << 32; 0 while no change is under way. Stored
                                   //      once `bucket` (and count_before) are written, cleared when
                                   //      the change ends
  Offset bucket;                   //   8: the bucket whose lock the writer holds
  Offset link;                     //  16: change: the word the change publishes through, written
                                   //      just before the publishing store (null until then).
                                   //      split: the sibling bucket
  Offset old_target;               //  24: change: what `link` named before. split: the old chain's
                                   //      pages not yet given back (its first page until published)
  Offset new_target;               //  32: change: what it names after. split: the old chain's first
                                   //      page once both new chains are built (null until then)
  Offset old_page;                 //  40: change: the page it replaces or unlinks, until given back.
                                   //      erase: the page of the entry (never given back)
  Offset new_pages[2];             //  48: change: the pages it made, freed if never published.
                                   //      split: the first page of the sibling's new chain and of
                                   //      the bucket's, each recorded as it is built
  std::int64_t count_before;       //  64: counts[r] before the change
  Offset old_strings[2];           //  72: change: what is left to give back of the out-of-line
                                   //      strings it drops
  Offset new_strings[2];           //  88: change: out-of-line strings it made (each chain's first
                                   //      chunk, recorded as it is built), freed if never published
  Offset pending_next[2];          // 104: per old chain (old_strings[i]; split: the old pages in
                                   //      [0]), the chunk after the one being given back; equal to
                                   //      the chain's head (old_strings[i], old_target) between two
  Offset second_word;              // 120: in_page: the fields word of the entry to mark removed once
                                   //      the change is published (null: none)
};
static_assert(sizeof(WriterIntent) == 128);
static_assert(offsetof(WriterIntent, link) == 16 && offsetof(WriterIntent, new_pages) == 48 &&
              offsetof(WriterIntent, count_before) == 64 && offsetof(WriterIntent, old_strings) == 72 &&
              offsetof(WriterIntent, new_strings) == 88 && offsetof(WriterIntent, pending_next) == 104 &&
              offsetof(WriterIntent, second_word) == 120);
// A chain given back one chunk at a time: pending := link(chunk); keep(chunk); head := pending. The
// keep overwrites the chunk's link, so a repair trusts the link of the head only while pending still
// equals it (see map_layout::chain_remainder).

// A process's part in an expansion: how many of its threads take part in the doubling of N (its
// members), stamped with the generation of the slot's owner, so that the threads of a dead process
// are no longer counted. Written under expansion_lock.
struct ExpansionMembership {       // 64 bytes
  std::uint64_t chunks_in_use;     //  0: the N of the doubling; 0: none
  std::uint64_t generation;        //  8: the slot's generation when the owner joined
  std::uint64_t members;           // 16: threads of the owner counted in the doubling
  std::uint8_t reserved[40];       // 24: zero
};
static_assert(sizeof(ExpansionMembership) == 64);

// The old buckets next .. end - 1 of the doubling of N, claimed by writer record r of the slot's
// owner (whose generation it names; 0: given back by a live owner that could not finish it). Taken
// and handed over under expansion_lock; `end` moves down after each bucket is split (from the top:
// the claim below is usually its taker's next), outside it.
// An unfinished claim whose owner is dead or gone is taken over by another participant: a bucket
// split twice is split once (split_bucket leaves a split bucket alone).
struct ExpansionClaim {            // 32 bytes
  std::uint64_t chunks_in_use;     //  0: the N of the doubling; 0: no claim
  std::uint64_t generation;        //  8: the owner's generation; 0: given back
  std::uint64_t next;              // 16: the claim's lowest old bucket
  std::uint64_t end;               // 24: one past the highest old bucket left to split
};
static_assert(sizeof(ExpansionClaim) == 32);

struct SlotRecords {               // 1472 bytes
  std::int64_t counts[writer_records];  //    0: atomic each; entries added by the record's changes
  ExpansionMembership membership;       //   64
  WriterIntent intents[writer_records]; //  128
  ExpansionClaim claims[writer_records];  // 1152
  std::uint64_t writer_locks[writer_records];  // 1408: atomic owned lock words: the thread of the
                                        //      slot's owner that uses record r holds lock r, and so
                                        //      does a process that takes the record's slab caches
                                        //      for a full heap (then it leaves writer_caches_taken)
};
static_assert(sizeof(SlotRecords) == 1472 && sizeof(SlotRecords) <= sizeof(ProcessSlot::map_area));
static_assert(offsetof(SlotRecords, membership) == 64 && offsetof(SlotRecords, intents) == 128 &&
              offsetof(SlotRecords, claims) == 1152 && offsetof(SlotRecords, writer_locks) == 1408);
// A writer lock word that is free and says that another process took the record's slab caches
// meanwhile: the owner reads its records again before it uses them. Not a token (generation 0).
inline constexpr std::uint64_t writer_caches_taken = 1;
static_assert(offsetof(ProcessSlot, map_area) % 64 == 0, "each intent keeps cache lines of its own");

#pragma pack(pop)

// Where the MapHeader's chunk starts, and its header bytes.
inline constexpr std::uint64_t map_header_chunk_offset = 64;
inline constexpr std::uint64_t map_header_offset = map_header_chunk_offset + sizeof(ChunkHeader);
inline constexpr std::uint8_t map_header_chunk_size = chunk_size_for_unit(map_header_unit);
static_assert(map_header_chunk_size == 176);
// The first heap offset after the MapHeader's chunk: every other record of a map lies past it.
inline constexpr std::uint64_t first_record_offset = map_header_chunk_offset + map_header_chunk_size;

inline constexpr std::uint64_t word_alignment = 8;     // of every atomic word in the heap
inline constexpr std::uint64_t cache_line_bytes = 64;
// A raw block of `size + line_block_slack` bytes holds `size` bytes starting on a cache line of the
// mapping (its payload starts at heap offset 8k + 2, at most 62 bytes before a line).
inline constexpr std::uint64_t line_block_slack = cache_line_bytes - 2;
// A shared cell owns a whole cache line, so the cell that many processes change never slows the
// readers of another. A raw block of cell_block_bytes holds a whole 64-byte line wherever it starts.
inline constexpr std::uint64_t cell_block_bytes = 2 * cache_line_bytes - sizeof(ChunkHeader);

// Table slot marker: the creator of an expansion is making the chunk of this slot. It names the
// creator's token, so that a creator that died is seen; it is odd, and chunk offsets are not.
[[nodiscard]] constexpr std::uint64_t creator_marker(std::uint64_t token) noexcept { return token << 1 | 1; }
[[nodiscard]] constexpr bool is_creator_marker(std::uint64_t slot) noexcept { return (slot & 1) != 0; }
[[nodiscard]] constexpr std::uint64_t marker_token(std::uint64_t slot) noexcept { return slot >> 1; }

// Entry fields.
inline constexpr std::uint32_t out_of_line_flag = 0x80000000u;
// The key_field of an entry removed in place (no length or flagged length is this).
inline constexpr std::uint32_t removed_field = 0xFFFFFFFFu;
// Bits 16..23 of an entry's key_field: 8-byte words of padding that follow the entry's value field,
// so that an entry written over a removed one a word or two longer fills it exactly.
inline constexpr unsigned entry_padding_shift = 16;
inline constexpr std::uint32_t entry_padding_mask = 0xFFu << entry_padding_shift;
inline constexpr std::uint64_t entry_padding_limit = 0xFF * 8;  // bytes
// Strings up to this many bytes lie in their entry; longer ones out of line.
inline constexpr std::uint64_t inline_string_limit = 256;
// A page holds at most this many bytes, header included (the largest slab chunk).
inline constexpr std::uint64_t page_capacity = largest_slab_chunk;
// Bytes of data in each chunk of an out-of-line chain (after the link).
inline constexpr std::uint64_t chain_chunk_data = largest_slab_chunk - sizeof(Offset);

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

// The bucket's first page. Changed only under the bucket's lock, by one store; a prefetch hint may
// read it without the lock.
[[nodiscard]] inline std::atomic_ref<std::uint64_t> page_word(Bucket* bucket) noexcept {
  return word_at(reinterpret_cast<std::byte*>(bucket) + offsetof(Bucket, page));
}

// The bucket's version (see map/bucket_version.hpp). Written only by the holder of the bucket's
// lock; read without it by a get.
[[nodiscard]] inline std::atomic_ref<std::uint64_t> version_word(Bucket* bucket) noexcept {
  return word_at(reinterpret_cast<std::byte*>(bucket) + offsetof(Bucket, version));
}

// The bucket's lock word, for a reader that only looks whether it is free (takers and releasers
// use acquire_lock_word and release_lock_word on lock_address).
[[nodiscard]] inline std::atomic_ref<std::uint64_t> lock_state_word(Bucket* bucket) noexcept {
  return word_at(reinterpret_cast<std::byte*>(bucket) + offsetof(Bucket, lock));
}

// The bucket's moving_to, as the raw value of an Offset. A mover sets it before it takes the
// bucket's lock; only the last participant of the expansion clears it.
// Set in a mark (with the bucket's lock held) once the bucket's split is done: its entries whose
// hash has the split bit live in the sibling from then on, and new ones go there.
inline constexpr std::uint64_t split_done_bit = 1;
[[nodiscard]] inline std::atomic_ref<std::uint64_t> moving_to_word(Bucket* bucket) noexcept {
  return word_at(reinterpret_cast<std::byte*>(bucket) + offsetof(Bucket, moving_to));
}

// Slot `chunk` of the bucket chunk table at `table`: 0, a creator_marker or a chunk's Offset.
// Slot `chunk` of the bucket chunk table, for the waits on it.
[[nodiscard]] inline std::uint64_t* table_slot_address(std::byte* table, std::uint64_t chunk) noexcept {
  return reinterpret_cast<std::uint64_t*>(table + chunk * sizeof(std::uint64_t));
}
[[nodiscard]] inline std::atomic_ref<std::uint64_t> table_slot_word(std::byte* table,
                                                                    std::uint64_t chunk) noexcept {
  return word_at(table + chunk * sizeof(std::uint64_t));
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

[[nodiscard]] constexpr std::uint64_t intent_state(IntentKind kind, std::int8_t delta,
                                                   std::uint32_t generation) noexcept {
  return static_cast<std::uint64_t>(kind) | std::uint64_t{static_cast<std::uint8_t>(delta)} << 8 |
         std::uint64_t{generation} << 32;
}
[[nodiscard]] constexpr std::int8_t intent_delta(std::uint64_t state) noexcept {
  return static_cast<std::int8_t>(static_cast<std::uint8_t>(state >> 8));
}
[[nodiscard]] constexpr IntentKind intent_kind(std::uint64_t state) noexcept {
  return static_cast<IntentKind>(state & 0xFF);
}
[[nodiscard]] constexpr std::uint32_t intent_generation(std::uint64_t state) noexcept {
  return static_cast<std::uint32_t>(state >> 32);
}

}  // namespace corvana::map_layout
