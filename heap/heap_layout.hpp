// Access to the headers of a mapped heap. Private to the heap layer; other layers include
// heap/heap.hpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "heap/heap.hpp"

namespace corvana::layout {

// The heap header at the heap base. Its fields are packed and are only read and written by value.
[[nodiscard]] inline HeapHeader& heap_header(Allocator heap) noexcept {
  return *reinterpret_cast<HeapHeader*>(heap);
}

// The file header that lies file_header_bytes before the heap base.
[[nodiscard]] inline FileHeader& file_header(Allocator heap) noexcept {
  return *reinterpret_cast<FileHeader*>(heap - file_header_bytes);
}

// The heap lock word: file offset 16, 8-aligned because every mapping starts on a page.
[[nodiscard]] inline std::uint64_t* heap_lock_word(Allocator heap) noexcept {
  return reinterpret_cast<std::uint64_t*>(heap - file_header_bytes + offsetof(FileHeader, heap_lock));
}

// The file offset of the process table of a heap whose heap_end is `heap_end`; 0 when it would not
// fit in 64 bits.
[[nodiscard]] inline std::uint64_t process_table_offset(std::uint64_t heap_end) noexcept {
  const std::uint64_t heap_stop = heap_end + file_header_bytes;
  if (heap_stop < heap_end || heap_stop > ~std::uint64_t{0} - process_table_alignment) {
    return 0;
  }
  return (heap_stop + process_table_alignment - 1) / process_table_alignment * process_table_alignment;
}

// The slab size of a heap of `heap_end` bytes: a sixteenth of it, as a power of two between 4 KiB
// and 64 KiB, so that a small heap still has room for slabs of several classes.
[[nodiscard]] inline std::uint32_t slab_shift_for(std::uint64_t heap_end) noexcept {
  std::uint32_t shift = smallest_slab_shift;
  while (shift < largest_slab_shift && (std::uint64_t{1} << (shift + 1)) <= heap_end / 16) {
    ++shift;
  }
  return shift;
}

// Where the trailer of a memory file lies (file offsets): the process table, the slab header and
// the slab directory, whose entries cover every slab of the file up to the table.
struct TrailerLayout {
  std::uint64_t table_offset = 0;
  std::uint64_t slab_header_offset = 0;
  std::uint64_t directory_offset = 0;
  std::uint64_t directory_bytes = 0;
  std::uint64_t end = 0;
  std::uint32_t slab_shift = 0;
};
// The trailer of a heap whose heap_end is `heap_end`; false when it would not fit in 64 bits.
[[nodiscard]] inline bool trailer_layout(std::uint64_t heap_end, TrailerLayout& layout) noexcept {
  constexpr std::uint64_t max = ~std::uint64_t{0};
  layout.table_offset = process_table_offset(heap_end);
  if (layout.table_offset == 0 || layout.table_offset > max - process_table_bytes - 2 * sizeof(SlabHeader)) {
    return false;
  }
  layout.slab_header_offset = (layout.table_offset + process_table_bytes + 63) / 64 * 64;
  layout.directory_offset = layout.slab_header_offset + sizeof(SlabHeader);
  layout.slab_shift = slab_shift_for(heap_end);
  layout.directory_bytes = (layout.table_offset >> layout.slab_shift) + 1;
  if (layout.directory_offset > max - layout.directory_bytes) {
    return false;
  }
  layout.end = layout.directory_offset + layout.directory_bytes;
  return true;
}

// Makes `table` the process table of the mapping whose heap base is `heap` (see process_table_of);
// false when this process has too many mappings registered.
[[nodiscard]] bool register_process_table(Allocator heap, ProcessTable* table) noexcept;
void unregister_process_table(Allocator heap) noexcept;

// The first chunk of a new heap starts right after the heap header.
inline constexpr std::uint64_t first_chunk_offset = heap_header_bytes;

// Every chunk and raw block starts at a multiple of this many bytes from the heap base.
inline constexpr std::uint64_t chunk_alignment = 8;
inline constexpr std::uint64_t cache_line_bytes = 64;

// The smallest unit whose payload holds a link (chunk_size 16). Smaller chunks (chunk_size 8) have
// no link: their runs are contiguous and they never go onto a free list.
inline constexpr std::uint8_t min_linked_unit = 6;

// The allocator's link in a chunk: the chunk offset of the next chunk, in the first 8 bytes of the
// payload (an unaligned word, hence memcpy).
[[nodiscard]] inline std::uint64_t chunk_link(Allocator heap, std::uint64_t chunk_offset) noexcept {
  std::uint64_t link;
  std::memcpy(&link, heap + chunk_offset + sizeof(ChunkHeader), sizeof link);
  return link;
}
inline void set_chunk_link(Allocator heap, std::uint64_t chunk_offset, std::uint64_t link) noexcept {
  std::memcpy(heap + chunk_offset + sizeof(ChunkHeader), &link, sizeof link);
}

[[nodiscard]] inline ChunkHeader& chunk_header(Allocator heap, std::uint64_t chunk_offset) noexcept {
  return *reinterpret_cast<ChunkHeader*>(heap + chunk_offset);
}

// The slab header's intent: its fields first, its state last (a taker reads the state first), and
// its end. Requires: the heap lock.
inline void begin_slab_intent(const SlabView& view, SlabIntentKind kind, std::uint32_t klass, std::uint64_t target,
                              std::uint64_t first, std::uint64_t count, std::uint64_t rest) noexcept {
  SlabIntent& intent = view.header->intent;
  intent.target = target;
  intent.first = first;
  intent.count = count;
  intent.rest = rest;
  crash_order_barrier();
  // relaxed: written and read under the heap lock; the barriers order it for a taker after a death
  std::atomic_ref<std::uint64_t>(intent.state)
      .store(static_cast<std::uint64_t>(kind) | std::uint64_t{klass} << 8, std::memory_order_relaxed);
  crash_order_barrier();
}
inline void end_slab_intent(const SlabView& view) noexcept {
  crash_order_barrier();
  // relaxed: as in begin_slab_intent
  std::atomic_ref<std::uint64_t>(view.header->intent.state).store(0, std::memory_order_relaxed);
  crash_order_barrier();
}

// Holds the heap lock from construction to destruction, as the owner named by the heap's process
// table (a heap without one locks as a process-local word). A holder that died is taken over: every
// change of the allocator's header and free lists leaves them valid at every store (each change is
// published by its last store); a change of the slab records is finished or undone from the slab
// intent (repair_slab_intent). Never interrupted.
class HeapLockGuard {
 public:
  explicit HeapLockGuard(Allocator heap) noexcept;
  ~HeapLockGuard();
  HeapLockGuard(const HeapLockGuard&) = delete;
  HeapLockGuard& operator=(const HeapLockGuard&) = delete;

 private:
  Allocator heap_;
};

}  // namespace corvana::layout
