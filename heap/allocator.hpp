// The chunk allocator: chunks, runs and raw blocks carved from the heap's bump offset heap_next,
// and the three recycled size classes, all under the heap lock. Private to the heap layer; other
// layers include heap/heap.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "heap/memory_file.hpp"

namespace corvana {

inline constexpr std::uint8_t link_unit = 16;           // ChunkLink chunks
inline constexpr std::uint8_t record_block_unit = 176;  // two 88-byte entries
inline constexpr std::uint8_t map_header_unit = 168;    // the map header (fresh space only)
inline constexpr std::uint8_t max_unit = 246;           // chunk_size must fit its byte

// unit + 2 rounded up to a multiple of 8.
[[nodiscard]] constexpr std::uint8_t chunk_size_for_unit(std::uint8_t unit) noexcept {
  return static_cast<std::uint8_t>(((unit + 1) & 0xF8) + 8);
}

// What a raw block of `size` bytes takes of the heap: size + 2 rounded up to a multiple of 8.
// Requires: size <= max_raw_block_size.
inline constexpr std::uint64_t max_raw_block_size = ~std::uint64_t{0} - 9;
[[nodiscard]] constexpr std::uint64_t raw_block_bytes(std::uint64_t size) noexcept {
  return ((size + 1) & ~std::uint64_t{7}) + 8;
}

// A run of `count` (>= 1) chunks of `unit` (1..246): returns the first chunk's start (payload at +2)
// or null. Free-listed units are served from their list first, the rest carved fresh; when the
// fresh rest does not fit, the listed chunks go back to their list and the request fails whole.
// Units 1..5 leave no room for a link in their 6-byte payload: their run is contiguous (chunk i at
// first + 8 i), carries no links, and is never free-listed, even as the string unit.
// Null heap or unit 0: null, nothing else. count 0 or unit > 246: null, errno EINVAL. Out of memory
// (a size that would pass 64 bits included): null, "mm:alloc: out of memory", errno ENOMEM.
[[nodiscard]] std::byte* heap_alloc_chunks(Allocator heap, std::size_t count, std::uint8_t unit) noexcept;
// `count` (>= 1) fresh pairs, each a chunk of `first_unit` followed at once by a chunk of
// `second_unit` (pair i starts at first + i * (chunk_size_for_unit(first_unit) +
// chunk_size_for_unit(second_unit))), carved only while neither unit's free list holds a chunk, so
// that recycled chunks are always used first. Items made of such pairs (a link and its data chunk)
// lie together in memory, and a reader following a link finds its data in the same or the next
// cache line. Units must have free lists (6..246). Null, with nothing changed and errno as it was,
// when a free list holds chunks, the heap has no room for the run, or an argument is invalid:
// callers then use heap_alloc_chunks, which reports any error.
[[nodiscard]] std::byte* heap_alloc_pairs(Allocator heap, std::size_t count, std::uint8_t first_unit,
                                          std::uint8_t second_unit) noexcept;
// Whether a fresh raw block's pages get their backing in the file as it is carved (best effort, in
// windows ahead of heap_next), or are left to whoever first uses them, which must back them itself
// before it touches them (platform::reserve_for_write): a big block that is used a piece at a time
// then costs the file only the pieces used.
enum class Backing : std::uint8_t { ahead, by_user };
// A raw block of at least `size` bytes: returns its payload (block start + 2) or null.
[[nodiscard]] std::byte* heap_alloc_bytes(Allocator heap, std::size_t size, Backing backing = Backing::ahead) noexcept;
// heap_alloc_bytes that also sets `*record` to the block's payload offset as one step with the carve:
// a holder of the heap lock that dies in between is finished by the next one (repair_slab_intent),
// so a block is never carved without its record, however its carver dies. `record` is a word of the
// heap (any alignment) that lies before every block this call can carve and that nobody else
// writes meanwhile. A failure leaves `*record` unchanged.
[[nodiscard]] std::byte* heap_alloc_recorded_bytes(Allocator heap, std::size_t size, Backing backing,
                                                   std::byte* record) noexcept;
// Takes the heap lock and releases it: a change of the heap that a dead holder left half made is
// finished or undone before this returns.
void settle_heap(Allocator heap) noexcept;
// Pushes the chunk whose payload is given onto its class's free list; false for a unit that has
// no free list (raw blocks included), a null argument, or an address that is not the payload of a
// chunk carved in this heap (outside [66, heap_next), not at 8k + 2, or a header that does not
// match its unit). A chunk freed twice is not detected.
[[nodiscard]] bool heap_free(Allocator heap, void* payload) noexcept;
// The unit byte before `payload`, or -1 when either argument is null.
int heap_unit_of(Allocator heap, const void* payload) noexcept;
// The end of the carved part of the heap (heap_next as the file says now): every chunk, slab and raw
// block handed out lies below it, and it only grows. Reads one word; takes no lock.
[[nodiscard]] std::uint64_t heap_carved_end(Allocator heap) noexcept;
// Whether `offset` names the payload of a chunk of `unit` that this heap has carved: inside the
// carved part of the heap, at a chunk start + 2, with a header of that unit. Reads the header only.
[[nodiscard]] bool is_chunk_payload(Allocator heap, Offset offset, std::uint8_t unit) noexcept;
// heap_end - heap_next plus the chunk sizes on the general list; 0 for a null heap.
std::size_t heap_available(Allocator heap) noexcept;
// Prints the heap dump to standard error.
void heap_info(Allocator heap) noexcept;

}  // namespace corvana
