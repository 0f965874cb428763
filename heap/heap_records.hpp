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
  std::int32_t heap_lock;       // 16: atomic; heap_lock_free or heap_lock_held
  std::uint8_t reserved[4];     // 20: never written
};
static_assert(sizeof(FileHeader) == 24);
static_assert(offsetof(FileHeader, heap_lock) == 16 && offsetof(FileHeader, heap_lock) % 4 == 0,
              "the heap lock word must be 4-aligned in the page-aligned mapping");

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
  std::uint8_t reserved[7];     // 57: never written
};
static_assert(sizeof(HeapHeader) == 64);
static_assert(offsetof(HeapHeader, string_unit) == 16 && offsetof(HeapHeader, general) == 17 &&
              offsetof(HeapHeader, class_176) == 27 && offsetof(HeapHeader, class_16) == 37 &&
              offsetof(HeapHeader, class_string) == 47 && offsetof(HeapHeader, reserved) == 57);

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

#pragma pack(pop)

inline constexpr std::size_t file_header_bytes = sizeof(FileHeader);
inline constexpr std::size_t heap_header_bytes = sizeof(HeapHeader);

}  // namespace corvana
