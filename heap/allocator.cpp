// The chunk allocator: carves chunks and raw blocks from the bump offset heap_next and recycles the
// chunks of three units through LIFO free lists, all under the shared heap lock.
//
// Invariants (guarded by the heap lock):
// - 64 <= heap_next <= heap_end; heap_next only grows.
// - Every chunk and raw block starts at a multiple of 8 in [64, heap_next) and keeps the header it
//   was carved with.
// - A free list holds chunks of its unit only, linked through the first 8 payload bytes by chunk
//   offset; 0 ends it.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "heap/heap.hpp"
#include "heap/heap_layout.hpp"

namespace corvana {

namespace layout {

HeapLockGuard::HeapLockGuard(Allocator heap) noexcept : heap_(heap) {
  enter_lock_rank(LockRank::heap);
  const ProcessTable* table = process_table_of(heap_);
  // Never interrupted, so it does not throw. A dead holder may have left a change of the slab
  // records half made; the free lists of the allocator need no repair (see the class comment).
  if (acquire_lock_word(heap_lock_word(heap_), owner_token(table), table, Interrupt::never).took_over) {
    repair_slab_intent(heap_);
  }
}

HeapLockGuard::~HeapLockGuard() {
  release_lock_word(heap_lock_word(heap_));
  leave_lock_rank(LockRank::heap);
}

}  // namespace layout

namespace {

using layout::HeapLockGuard;

// Where a free list's head lives in the heap header: the heap offset of its 8-byte free_head field,
// or 0 for a unit without a list. string_unit is tested first, so when it equals 16 or 176 that
// list serves the unit. string_unit is written at creation only and read without the lock.
std::size_t free_head_field(Allocator heap, std::uint8_t unit) noexcept {
  if (unit < layout::min_linked_unit) {
    return 0;  // no room for a list link: such chunks are carved fresh and never recycled
  }
  if (unit == layout::heap_header(heap).string_unit) {
    return offsetof(HeapHeader, class_string) + offsetof(SizeClass, free_head);
  }
  if (unit == link_unit) {
    return offsetof(HeapHeader, class_16) + offsetof(SizeClass, free_head);
  }
  if (unit == record_block_unit) {
    return offsetof(HeapHeader, class_176) + offsetof(SizeClass, free_head);
  }
  return 0;
}

std::uint64_t load_header_word(Allocator heap, std::size_t field) noexcept {
  std::uint64_t value;
  std::memcpy(&value, heap + field, sizeof value);
  return value;
}

// The store that publishes a change of a free list: everything the change wrote before it stays
// before it, so a holder that dies leaves either the old list or the new one.
void store_header_word(Allocator heap, std::size_t field, std::uint64_t value) noexcept {
  crash_order_barrier();
  std::memcpy(heap + field, &value, sizeof value);
}

// Spare fresh bytes. Requires: the heap lock.
std::uint64_t spare_bytes(Allocator heap, const HeapHeader& header) noexcept {
  const std::uint64_t heap_end = heap_end_of(heap);
  const std::uint64_t heap_next = header.heap_next;
  return heap_end > heap_next ? heap_end - heap_next : 0;
}

// Fresh heap pages would otherwise be made present by one page fault per page at their first write.
// Each bump of heap_next from `begin` to `end` that crosses a multiple of prefault_window populates
// [begin, end + prefault_window) in one call (bounded by heap_end), so allocations keep finding
// their pages present. At most prefault_window bytes of the file past heap_next get backing early.
// Called without the heap lock: the bumped range is the caller's, and heap_end never changes.
constexpr std::uint64_t prefault_window = std::uint64_t{1} << 20;

void prefault_ahead(Allocator heap, std::uint64_t begin, std::uint64_t end) noexcept {
  if (begin / prefault_window == end / prefault_window) {
    return;
  }
  const std::uint64_t heap_end = heap_end_of(heap);
  const std::uint64_t stop = heap_end - end > prefault_window ? end + prefault_window : heap_end;
  platform::prefault_for_write(heap + begin, stop - begin);
}

void report_out_of_memory() noexcept {
  heap_set_error(heap_error_alloc_prefix, "out of memory");
  errno = ENOMEM;
}

// Carves a fresh run of `count` chunks and, when `predecessor` (a chunk offset) is not 0, makes it
// the run's predecessor. Returns the run's first chunk start or null (out of memory).
// Locks: takes the heap lock for the bump only; the run is the caller's once heap_next has moved.
std::byte* carve_run(Allocator heap, std::uint64_t count, std::uint8_t chunk_size, std::uint8_t unit,
                     std::uint64_t predecessor) noexcept {
  if (count > std::numeric_limits<std::uint64_t>::max() / chunk_size) {
    report_out_of_memory();
    return nullptr;
  }
  const std::uint64_t run_bytes = count * chunk_size;
  std::uint64_t run_offset = 0;
  bool has_room = false;
  {
    HeapLockGuard guard(heap);
    HeapHeader& header = layout::heap_header(heap);
    // A run gets the backing of its pages before it is handed out: a full file system makes the heap
    // full, not a SIGBUS at the run's first write.
    has_room = spare_bytes(heap, header) >= run_bytes &&
               platform::reserve_for_write(heap + header.heap_next, run_bytes);
    if (has_room) {
      run_offset = header.heap_next;
      header.heap_next = run_offset + run_bytes;
      crash_point("heap.carve.bumped");
    }
  }
  if (!has_room) {
    report_out_of_memory();
    return nullptr;
  }
  prefault_ahead(heap, run_offset, run_offset + run_bytes);
  if (predecessor != 0) {
    layout::set_chunk_link(heap, predecessor, run_offset);
  }
  for (std::uint64_t index = 0; index < count; ++index) {
    const std::uint64_t chunk_offset = run_offset + index * chunk_size;
    ChunkHeader& chunk = layout::chunk_header(heap, chunk_offset);
    chunk.chunk_size = chunk_size;
    chunk.unit = unit;
    // The last link names the new heap_next; runs are walked by count, never to a terminator. A
    // payload too small for a link (units below 6) gets none: the run is contiguous, and a link
    // there would overwrite the next chunk's header or run past the end of the mapping.
    if (unit >= layout::min_linked_unit) {
      layout::set_chunk_link(heap, chunk_offset, chunk_offset + chunk_size);
    }
  }
  return heap + run_offset;
}

// Walks the general list (never filled by this allocator; read by the diagnostics), calling
// visit(number, chunk_offset) for each chunk, and stops at a link that cannot name a chunk.
// Requires: the heap lock.
template <class Visit>
void walk_general_list(Allocator heap, Visit visit) noexcept {
  const HeapHeader& header = layout::heap_header(heap);
  const std::uint64_t heap_next = header.heap_next;
  const std::uint64_t max_chunks = heap_next / layout::chunk_alignment;
  auto chunk_offset = static_cast<std::uint64_t>(header.general.free_head);
  for (std::uint64_t number = 1; chunk_offset != 0 && number <= max_chunks; ++number) {
    if (chunk_offset < layout::first_chunk_offset || chunk_offset >= heap_next ||
        chunk_offset % layout::chunk_alignment != 0) {
      return;
    }
    visit(number, chunk_offset);
    chunk_offset = layout::chunk_link(heap, chunk_offset);
  }
}

// The sum of the chunk sizes on the general list. Requires: the heap lock.
std::uint64_t general_list_bytes(Allocator heap) noexcept {
  std::uint64_t bytes = 0;
  walk_general_list(heap, [&](std::uint64_t, std::uint64_t chunk_offset) {
    bytes += layout::chunk_header(heap, chunk_offset).chunk_size;
  });
  return bytes;
}

std::uint64_t address_value(const void* address) noexcept { return reinterpret_cast<std::uintptr_t>(address); }

}  // namespace

std::byte* heap_alloc_chunks(Allocator heap, std::size_t count, std::uint8_t unit) noexcept {
  if (heap == nullptr || unit == 0) {
    return nullptr;
  }
  if (count == 0 || unit > max_unit) {
    // A run of no chunks, or a chunk size that does not fit its header byte, cannot be carved.
    errno = EINVAL;
    return nullptr;
  }
  const std::uint8_t chunk_size = chunk_size_for_unit(unit);
  const std::size_t head_field = free_head_field(heap, unit);
  if (head_field == 0) {
    return carve_run(heap, count, chunk_size, unit, 0);
  }

  std::uint64_t first_taken = 0;
  std::uint64_t last_taken = 0;
  std::uint64_t taken = 0;
  {
    HeapLockGuard guard(heap);
    std::uint64_t cursor = load_header_word(heap, head_field);
    while (cursor != 0) {
      if (taken == 0) {
        first_taken = cursor;
      }
      last_taken = cursor;
      ++taken;
      cursor = layout::chunk_link(heap, cursor);
      if (taken == count) {
        break;
      }
    }
    // Either the run is complete and `cursor` is the rest of the list, or the list is used up.
    crash_point("heap.pop.before_head");
    store_header_word(heap, head_field, cursor);
    if (taken == count) {
      return heap + first_taken;
    }
  }
  if (taken == 0) {
    return carve_run(heap, count, chunk_size, unit, 0);
  }
  if (carve_run(heap, count - taken, chunk_size, unit, last_taken) != nullptr) {
    return heap + first_taken;
  }
  // The fresh part does not fit: the listed chunks go back in their original order, ahead of
  // whatever was pushed meanwhile. The out-of-memory report stands.
  {
    HeapLockGuard guard(heap);
    layout::set_chunk_link(heap, last_taken, load_header_word(heap, head_field));
    store_header_word(heap, head_field, first_taken);
  }
  return nullptr;
}

std::byte* heap_alloc_pairs(Allocator heap, std::size_t count, std::uint8_t first_unit,
                            std::uint8_t second_unit) noexcept {
  if (heap == nullptr || count == 0 || first_unit > max_unit || second_unit > max_unit) {
    return nullptr;
  }
  const std::size_t first_field = free_head_field(heap, first_unit);
  const std::size_t second_field = free_head_field(heap, second_unit);
  if (first_field == 0 || second_field == 0) {
    return nullptr;
  }
  const std::uint8_t first_size = chunk_size_for_unit(first_unit);
  const std::uint8_t second_size = chunk_size_for_unit(second_unit);
  const std::uint64_t pair_bytes = std::uint64_t{first_size} + second_size;
  if (count > std::numeric_limits<std::uint64_t>::max() / pair_bytes) {
    return nullptr;
  }
  const std::uint64_t run_bytes = count * pair_bytes;
  std::uint64_t run_offset = 0;
  {
    HeapLockGuard guard(heap);
    HeapHeader& header = layout::heap_header(heap);
    // A pair that fits a cache line starts on one, so that a link and its data are read together:
    // the run begins at the next line boundary of the file (the bytes skipped are never used).
    const std::uint64_t heap_next = header.heap_next;
    std::uint64_t skip = 0;
    if (pair_bytes <= layout::cache_line_bytes) {
      skip = (layout::cache_line_bytes - (file_header_bytes + heap_next) % layout::cache_line_bytes) %
             layout::cache_line_bytes;
    }
    if (load_header_word(heap, first_field) != 0 || load_header_word(heap, second_field) != 0 ||
        spare_bytes(heap, header) < run_bytes + skip) {
      return nullptr;
    }
    run_offset = heap_next + skip;
    header.heap_next = run_offset + run_bytes;
    crash_point("heap.pairs.bumped");
  }
  prefault_ahead(heap, run_offset, run_offset + run_bytes);
  for (std::uint64_t index = 0; index < count; ++index) {
    const std::uint64_t first_offset = run_offset + index * pair_bytes;
    ChunkHeader& first = layout::chunk_header(heap, first_offset);
    first.chunk_size = first_size;
    first.unit = first_unit;
    ChunkHeader& second = layout::chunk_header(heap, first_offset + first_size);
    second.chunk_size = second_size;
    second.unit = second_unit;
  }
  return heap + run_offset;
}

std::byte* heap_alloc_bytes(Allocator heap, std::size_t size, Backing backing) noexcept {
  return heap_alloc_recorded_bytes(heap, size, backing, nullptr);
}

void settle_heap(Allocator heap) noexcept {
  if (heap != nullptr) {
    HeapLockGuard guard(heap);
  }
}

std::byte* heap_alloc_recorded_bytes(Allocator heap, std::size_t size, Backing backing, std::byte* record) noexcept {
  if (heap == nullptr || size == 0) {
    return nullptr;
  }
  if (size > max_raw_block_size) {  // its block would not fit in 64 bits
    report_out_of_memory();
    return nullptr;
  }
  const std::uint64_t block_bytes = raw_block_bytes(size);
  std::byte* payload = nullptr;
  std::uint64_t block_offset = 0;
  {
    HeapLockGuard guard(heap);
    HeapHeader& header = layout::heap_header(heap);
    if (spare_bytes(heap, header) >= block_bytes) {
      block_offset = header.heap_next;
      // A recorded block is described first: a taker of the lock after a death between the carve
      // and the record finishes the record (see repair_slab_intent).
      const SlabView view = record != nullptr ? slab_view(heap) : SlabView{};
      if (view.header != nullptr) {
        layout::begin_slab_intent(view, SlabIntentKind::raw_block, 0,
                                  static_cast<std::uint64_t>(record - heap), block_offset, block_bytes, 0);
      }
      ChunkHeader& block = layout::chunk_header(heap, block_offset);
      block.chunk_size = 0;
      block.unit = 0;
      payload = heap + block_offset + sizeof(ChunkHeader);
      crash_order_barrier();
      header.heap_next = block_offset + block_bytes;
      if (record != nullptr) {
        crash_point("heap.raw.bumped");
        const std::uint64_t payload_offset = block_offset + sizeof(ChunkHeader);
        crash_order_barrier();
        std::memcpy(record, &payload_offset, sizeof payload_offset);
        if (view.header != nullptr) {
          layout::end_slab_intent(view);
        }
      }
    }
  }
  if (payload == nullptr) {
    report_out_of_memory();
    return nullptr;
  }
  if (backing == Backing::ahead) {
    prefault_ahead(heap, block_offset, block_offset + block_bytes);
  }
  return payload;
}

bool heap_free(Allocator heap, void* payload) noexcept {
  if (heap == nullptr || payload == nullptr) {
    return false;
  }
  // Only a chunk start that this heap could have carved is accepted: anything else pushed onto a
  // list would later be handed out as memory outside the heap or across another chunk.
  const std::uint64_t heap_address = address_value(heap);
  const std::uint64_t payload_address = address_value(payload);
  const std::uint64_t heap_end = heap_end_of(heap);
  if (payload_address < heap_address + layout::first_chunk_offset + sizeof(ChunkHeader) ||
      payload_address - heap_address >= heap_end) {
    return false;
  }
  const std::uint64_t chunk_offset = payload_address - heap_address - sizeof(ChunkHeader);
  if (chunk_offset % layout::chunk_alignment != 0) {
    return false;
  }
  const ChunkHeader chunk = layout::chunk_header(heap, chunk_offset);
  const std::size_t head_field = free_head_field(heap, chunk.unit);
  if (head_field == 0 || chunk.unit > max_unit || chunk.chunk_size != chunk_size_for_unit(chunk.unit)) {
    return false;
  }
  HeapLockGuard guard(heap);
  if (chunk_offset + chunk.chunk_size > layout::heap_header(heap).heap_next) {
    return false;
  }
  layout::set_chunk_link(heap, chunk_offset, load_header_word(heap, head_field));
  crash_point("heap.free.before_head");
  store_header_word(heap, head_field, chunk_offset);
  return true;
}

std::uint64_t heap_carved_end(Allocator heap) noexcept {
  // relaxed: heap_next only grows, so a stale value only leaves out what was carved just now (what
  // a reader found through a lock it took was carved before that lock was released)
  return lock_word_at(reinterpret_cast<std::uint64_t*>(heap + offsetof(HeapHeader, heap_next)))
      .load(std::memory_order_relaxed);
}

bool is_chunk_payload(Allocator heap, Offset offset, std::uint8_t unit) noexcept {
  if (heap == nullptr || unit == 0 || unit > max_unit) {
    return false;
  }
  const auto payload = static_cast<std::uint64_t>(offset);
  const std::uint64_t heap_next = heap_carved_end(heap);
  const std::uint8_t chunk_size = chunk_size_for_unit(unit);
  if (payload < layout::first_chunk_offset + sizeof(ChunkHeader) ||
      (payload - sizeof(ChunkHeader)) % layout::chunk_alignment != 0 || heap_next < chunk_size ||
      payload - sizeof(ChunkHeader) > heap_next - chunk_size) {
    return false;
  }
  const ChunkHeader header = layout::chunk_header(heap, payload - sizeof(ChunkHeader));
  return header.unit == unit && header.chunk_size == chunk_size;
}

int heap_unit_of(Allocator heap, const void* payload) noexcept {
  if (heap == nullptr || payload == nullptr) {
    return -1;
  }
  return static_cast<int>(std::to_integer<std::uint8_t>(*(static_cast<const std::byte*>(payload) - 1)));
}

std::size_t heap_available(Allocator heap) noexcept {
  if (heap == nullptr) {
    return 0;
  }
  HeapLockGuard guard(heap);
  return spare_bytes(heap, layout::heap_header(heap)) + general_list_bytes(heap);
}

void heap_info(Allocator heap) noexcept {
  if (heap == nullptr) {
    return;
  }
  // The whole dump, printing included, is one view of the heap: the lock is held throughout.
  HeapLockGuard guard(heap);
  const HeapHeader& header = layout::heap_header(heap);
  const std::uint64_t heap_end = header.heap_end;
  const std::uint64_t heap_next = header.heap_next;
  const unsigned free_count = header.general.free_count;
  const std::uint64_t free_bytes = general_list_bytes(heap);
  std::fprintf(stderr, "Information for MM\n");
  std::fprintf(stderr, "    memory area     = 0x%016" PRIX64 " - 0x%016" PRIX64 "\n", address_value(heap),
               address_value(heap) + heap_end);
  std::fprintf(stderr, "    memory size     = %zu\n", static_cast<std::size_t>(heap_end));
  std::fprintf(stderr, "    memory offset   = %zu\n", static_cast<std::size_t>(heap_next));
  std::fprintf(stderr, "    bytes spare     = %zu\n", static_cast<std::size_t>(spare_bytes(heap, header)));
  std::fprintf(stderr, "    bytes free      = %llu (%u chunk%s)\n", static_cast<unsigned long long>(free_bytes),
               free_count, free_count == 1 ? "" : "s");
  std::fprintf(stderr, "    bytes allocated = %llu\n",
               static_cast<unsigned long long>(heap_next - free_bytes - layout::first_chunk_offset));
  std::fprintf(stderr, "    List of free chunks:\n");
  if (free_count == 0) {
    std::fprintf(stderr, "        <empty-list>\n");
  } else {
    walk_general_list(heap, [&](std::uint64_t number, std::uint64_t chunk_offset) {
      const unsigned chunk_size = layout::chunk_header(heap, chunk_offset).chunk_size;
      const std::uint64_t chunk_address = address_value(heap) + chunk_offset;
      std::fprintf(stderr, "        chunk #%03d: 0x%016" PRIX64 "-0x%016" PRIX64 " (%u bytes)\n",
                   static_cast<int>(number), chunk_address, chunk_address + chunk_size, chunk_size);
    });
  }
  std::fflush(stderr);
}

}  // namespace corvana
