// Records of the memory file and its heap. Every record here lives in the shared file: packed,
// little-endian, fixed-width fields only. Packed fields are read and written by value or with
// std::memcpy, never through a pointer or reference to the member.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvana {

// A position in the heap: the distance from the heap base to a payload (a chunk start + 2).
// 0 is null: no payload lies there, since the heap header occupies offsets 0 to 63. Only
// address_of() and offset_of() convert between offsets and addresses.
enum class Offset : std::uint64_t { null = 0 };

#pragma pack(push, 1)

// File header: the first 24 bytes of the file and of every mapping of it.
struct FileHeader {             // 24 bytes
  std::uint64_t mapped_size;    //  0: length of the mapping of the process that wrote it last
  std::uint64_t region_size;    //  8: the size argument of the creating or opening call + 64
  std::uint64_t heap_lock;      // 16: atomic owned lock word: 0 free, else its holder's token
};
static_assert(sizeof(FileHeader) == 24);
static_assert(offsetof(FileHeader, heap_lock) == 16 && offsetof(FileHeader, heap_lock) % 8 == 0,
              "the heap lock word must be 8-aligned in the page-aligned mapping");

// One recycled size class of the heap: the head of its LIFO free list. chunk_size and unit are
// written at creation and never read again; classes are recognised by unit alone.
struct SizeClass {              // 10 bytes
  std::uint8_t chunk_size;      //  0: written as unit + 2
  std::uint8_t unit;            //  1: payload bytes of the chunks of this class
  std::int64_t free_head;       //  2: heap offset of the first free chunk's start; 0 = empty list
};
static_assert(sizeof(SizeClass) == 10);
static_assert(offsetof(SizeClass, free_head) == 2);

// The never-filled "general" list, read only by the diagnostics.
struct GeneralList {            // 10 bytes
  std::uint8_t reserved;        //  0
  std::uint8_t free_count;      //  1: number of chunks on the list
  std::int64_t free_head;       //  2: heap offset of the first chunk; 0 = empty list
};
static_assert(sizeof(GeneralList) == 10);

// Heap header: the first 64 bytes from the heap base (file offset 24). Written when a file is
// created; opening a file adopts it unchanged. All fields are guarded by the heap lock.
struct HeapHeader {             // 64 bytes
  std::uint64_t heap_end;       //  0: one past the last usable byte, as a heap offset
  std::uint64_t heap_next;      //  8: first byte never handed out; only grows
  std::uint8_t string_unit;     // 16: unit of the third recycled size class
  GeneralList general;          // 17
  SizeClass class_176;          // 27: record blocks
  SizeClass class_16;           // 37: links
  SizeClass class_string;       // 47: string chunks, unit string_unit
  std::uint32_t format_magic;   // 57: memory_file_magic in every file of this format and later ones
  std::uint16_t format_version; // 61: memory_file_format_version of the code that created the file
  std::uint8_t reserved;        // 63: zero
};
static_assert(sizeof(HeapHeader) == 64);
static_assert(offsetof(HeapHeader, string_unit) == 16 && offsetof(HeapHeader, general) == 17 &&
              offsetof(HeapHeader, class_176) == 27 && offsetof(HeapHeader, class_16) == 37 &&
              offsetof(HeapHeader, class_string) == 47 && offsetof(HeapHeader, format_magic) == 57 &&
              offsetof(HeapHeader, format_version) == 61 && offsetof(HeapHeader, reserved) == 63);

// Header of every chunk and raw block (a raw block's header is two zero bytes).
struct ChunkHeader {            // 2 bytes
  std::uint8_t chunk_size;      //  0: bytes from this chunk to the next chunk of its run
  std::uint8_t unit;            //  1: usable payload bytes (size class)
};
static_assert(sizeof(ChunkHeader) == 2);

// A link: the 16-byte payload of a unit-16 chunk. It names one data chunk (a record block or a
// string chunk) and the next link of its run or list. Only the first `count` links of a run or
// list are meaningful; runs are walked by count, never by a terminator.
struct ChunkLink {              // 16 bytes
  Offset data;                  //  0: payload of the data chunk
  Offset next;                  //  8: payload of the next link
};
static_assert(sizeof(ChunkLink) == 16);
static_assert(offsetof(ChunkLink, next) == 8);

// ---------------------------------------------------------------------------------------------
// The process table: the region of the file that follows the heap, at the first multiple of
// process_table_alignment at or after file offset file_header_bytes + heap_end. One slot per open
// memory file (each mapping a process makes claims one); a slot belongs to the process that holds
// the byte-range lock on file byte lock_base + slot index (see platform::try_lock_byte).

// A chunk cache's items in the file: `count` items, a link and the data chunk it names each,
// linked through their links' `next` from `head`. Changed only by the slot's owner, in an order
// that keeps the `count` items from `head` exclusively the cache's at every store (see
// chunk_cache.cpp), so that whoever takes the slot over after its owner died can use them.
struct CacheRecord {            // 32 bytes
  Offset head;                  //  0: payload of the first item's link; null when count is 0
  std::uint64_t count;          //  8: items reachable from head
  std::uint8_t data_unit;       // 16: unit of the items' data chunks (0: the record was never used)
  std::uint8_t reserved[15];    // 17: zero
};
static_assert(sizeof(CacheRecord) == 32);
static_assert(offsetof(CacheRecord, count) == 8 && offsetof(CacheRecord, data_unit) == 16);

// A slab cache's free chunks in the file: `count` chunks of one size class, linked through their
// first 8 bytes from `head`. Both words change in one store (see slab.cpp); 16-byte aligned.
struct SlabCacheRecord {        // 16 bytes
  Offset head;                  //  0: the first free chunk; null when count is 0
  std::uint64_t count;          //  8: chunks reachable from head
};
static_assert(sizeof(SlabCacheRecord) == 16 && offsetof(SlabCacheRecord, count) == 8);

// Slab chunks: sizes (bytes) of the size classes. A slab is a power of two of bytes of the file
// (largest_slab_bytes, or less for a small heap: see slab_shift_for) at a multiple of its size,
// carved into chunks of one class.
inline constexpr std::uint32_t smallest_slab_shift = 12;
inline constexpr std::uint32_t largest_slab_shift = 16;
inline constexpr std::uint32_t largest_slab_bytes = 1u << largest_slab_shift;
inline constexpr std::uint32_t slab_class_count = 20;
inline constexpr std::uint32_t slab_class_sizes[slab_class_count] = {32,  48,  64,  80,   96,   112,  128,
                                                                     160, 192, 224, 256,  320,  384,  512,
                                                                     768, 1024, 1536, 2048, 3072, 4096};

// A run of free slab chunks of one class on a shared list: `count` chunks linked through their
// first words from the run's first chunk, which also names the next run. Runs are pushed and popped
// whole, so that moving a cache's content to or from a shared list never walks it.
struct FreeRunHead {            // 24 bytes: the first words of the run's first chunk
  Offset next_chunk;            //  0: the run's second chunk (as in every free chunk: the next one)
  Offset next_run;              //  8: the first chunk of the next run on the list, or null
  std::uint64_t count;          // 16: chunks in the run
};
static_assert(sizeof(FreeRunHead) == 24 && sizeof(FreeRunHead) <= slab_class_sizes[0]);
// Slab caches a process slot records: one per size class for each of its owner's writers.
inline constexpr std::uint32_t slot_slab_writers = 8;

// Who claimed a process slot, as its kernel showed the claimer (see platform::ProcessIdentity):
// with the slot's pid, a witness of the owner's life that no descriptor carries. Written by the
// claimer before it marks the slot in use; a field that /proc could not give is 0.
struct OwnerIdentity {          // 32 bytes
  std::uint64_t start_time;     //  0: clock ticks from boot to the owner's start
  std::uint64_t pid_namespace;  //  8: the inode of the owner's PID namespace
  std::uint8_t boot_id[16];     // 16: the kernel's boot id
};
static_assert(sizeof(OwnerIdentity) == 32 && offsetof(OwnerIdentity, boot_id) == 16);

// A process slot. Its owner keeps here what must outlive it if it dies: its slab caches' records
// and the map layer's records.
struct ProcessSlot {            // 4096 bytes
  std::uint64_t generation;     //    0: atomic; raised by every claim (1 .. 2^31 - 1, then 1 again)
  std::uint64_t state;          //    8: atomic; slot_free or slot_in_use
  std::uint32_t pid;            //   16: the owner's process id (in its PID namespace) at the claim
  std::uint32_t reserved_0;     //   20: zero
  std::uint64_t claimed_at;     //   24: wall clock at the claim, ns since the epoch (diagnostics)
  OwnerIdentity owner;          //   32: the rest of the owner's identity
  SlabCacheRecord slab_caches[slot_slab_writers][slab_class_count];  // 64: the owner's slab caches
  std::uint8_t map_area[1472];  // 2624: the map layer's per-slot records, zero when the file is made
};
static_assert(sizeof(ProcessSlot) == 4096);
static_assert(offsetof(ProcessSlot, state) == 8 && offsetof(ProcessSlot, pid) == 16 &&
              offsetof(ProcessSlot, claimed_at) == 24 && offsetof(ProcessSlot, owner) == 32 &&
              offsetof(ProcessSlot, slab_caches) == 64 && offsetof(ProcessSlot, map_area) == 2624);

struct ProcessTableHeader {     // 64 bytes
  std::uint32_t magic;          //  0: process_table_magic
  std::uint32_t slot_count;     //  4: slots that follow this header
  std::uint32_t slot_bytes;     //  8: sizeof(ProcessSlot)
  std::uint32_t reserved_0;     // 12: zero
  std::uint64_t high_water;     // 16: atomic; every slot ever claimed is below it
  std::uint64_t lock_base;      // 24: file offset of the byte-range lock of slot 0
  std::uint8_t reserved_1[32];  // 32: zero
};
static_assert(sizeof(ProcessTableHeader) == 64);
// The table starts on a page: every slab cache record lies on 16 bytes (it is stored as a pair).
static_assert((sizeof(ProcessTableHeader) + offsetof(ProcessSlot, slab_caches)) % 16 == 0 &&
              sizeof(ProcessSlot) % 16 == 0 && sizeof(SlabCacheRecord) == 16);
static_assert(offsetof(ProcessTableHeader, slot_count) == 4 && offsetof(ProcessTableHeader, high_water) == 16 &&
              offsetof(ProcessTableHeader, lock_base) == 24);

// A change of the slab records made under the heap lock that touches more than one word: written
// before the change and cleared after it, so that whoever takes the heap lock over from a dead
// holder finishes or undoes it (see slab.cpp).
enum class SlabIntentKind : std::uint8_t { none = 0, carve = 1, refill = 2, release = 3, raw_block = 4 };
struct SlabIntent {             // 48 bytes
  std::uint64_t state;          //  0: kind | class << 8; 0 when nothing is under way
  std::uint64_t target;         //  8: carve: heap offset of the slab. refill, release: file offset
                                //     of the slab cache record. raw_block: heap offset of the word
                                //     that records the block's payload
  std::uint64_t first;          // 16: the run's first chunk. raw_block: the block's heap offset
  std::uint64_t count;          // 24: chunks in the run. raw_block: the block's bytes
  std::uint64_t rest;           // 32: refill: the list's first run after the change. release: the
                                //     list's first run before it
  std::uint64_t reserved;       // 40: zero
};
static_assert(sizeof(SlabIntent) == 48 && offsetof(SlabIntent, rest) == 32);

// The slab header: after the process table, at a multiple of 64 bytes. Then the slab directory:
// one byte per slab of the file, 0 for space that is not a slab, class + 1 for a slab of that
// class (written by the slab's carver, once).
struct SlabHeader {             // 256 bytes
  std::uint32_t magic;          //   0: slab_header_magic
  std::uint32_t class_count;    //   4: slab_class_count
  std::uint64_t directory_bytes;//   8: entries of the directory that follows
  Offset free_heads[slab_class_count];  // 16: per class, the first chunk of the first run of its
                                //        shared free list (see FreeRunHead);
                                //        guarded by the heap lock
  std::uint32_t slab_shift;     // 176: a slab is 1 << slab_shift bytes (slab_shift_for the heap)
  std::uint32_t reserved_0;     // 180: zero
  SlabIntent intent;            // 184: the change under way under the heap lock
  std::uint8_t reserved[24];    // 232: zero
};
static_assert(sizeof(SlabHeader) == 256 && offsetof(SlabHeader, free_heads) == 16 &&
              offsetof(SlabHeader, slab_shift) == 176 && offsetof(SlabHeader, intent) == 184);

#pragma pack(pop)

inline constexpr std::size_t file_header_bytes = sizeof(FileHeader);
inline constexpr std::size_t heap_header_bytes = sizeof(HeapHeader);

// "CRVN": the first four bytes of format_magic as they lie in the file.
inline constexpr std::uint32_t memory_file_magic = 0x4E565243;
// The format this code writes and reads. 1 is the format before the magic, the version field and
// the process table (its files carry zeros where the magic now stands); 2 had no slabs and kept
// entries in linked record blocks and string chunks; 3 chose a bucket from the low bits of the
// caller's hash, and its default hash was another; 4 had zeros where a process slot now records
// its owner's identity, so that its processes could be taken for dead once their lock was gone;
// its map header recorded an expansion's new bucket chunks by their first cache line, after the
// carve, where 5 records the block's payload in one step with the carve; and it stored a key as
// the serializer gave it, so a pickled or msgspec-encoded frozenset key held its elements in hash
// order, and a pickled key wrote equal str and bytes parts, equal tuples and equal frozensets in it
// apart or linked as they happened to be one object or not (5 stores such keys in the one form that
// equal keys share). In 5 the last word of a map's bucket was written as zero and never read, and a
// bucket's moving_to held the sibling only, cleared by the doubling's last participant. In 6 that
// word is the bucket's version, which every change of the bucket's pages advances so that a get
// can read the bucket without its lock (a process of format 5 code would change pages without
// advancing it); a mark gains split_done_bit once its bucket is split. A page may hold
// entries appended into its slack and entries marked removed in place (a full heap's removals).
inline constexpr std::uint16_t memory_file_format_version = 6;
inline constexpr std::uint32_t process_table_magic = 0x54505643;  // "CVPT"
inline constexpr std::uint32_t slab_header_magic = 0x424C5343;    // "CSLB"
inline constexpr std::uint64_t process_table_alignment = 4096;
inline constexpr std::uint32_t process_slot_count = 1024;
inline constexpr std::uint64_t process_table_bytes =
    sizeof(ProcessTableHeader) + std::uint64_t{process_slot_count} * sizeof(ProcessSlot);
// Byte-range locks stand far beyond any file's data.
inline constexpr std::uint64_t process_lock_base = std::uint64_t{1} << 40;

inline constexpr std::uint64_t slot_free = 0;
inline constexpr std::uint64_t slot_in_use = 1;

}  // namespace corvana
