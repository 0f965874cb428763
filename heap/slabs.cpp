// Slab chunks: carving slabs, the shared free lists, and the per-owner slab caches.
//
// A slab cache's record (head, count) lives in the owner's process slot, so that the next owner of
// the slot, after a death, uses what was cached. The `count` chunks from `head` are the cache's own
// at every store: chunks coming in are linked first, and head and count change together, in one
// store (store_word_pair). The shared lists hold runs (FreeRunHead): a cache takes one run when it
// is empty and gives its whole content back as one run when it passes its cap or closes, so neither
// walks a list. A change that moves a run between a record and a shared list, or carves a slab, is
// made under the heap lock and described first in the slab header's intent: whoever takes the heap
// lock over from a dead holder finishes or undoes it (repair_slab_intent), so no chunk is lost or
// owned twice by a death anywhere in these changes.
#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "heap/heap.hpp"
#include "heap/heap_layout.hpp"

namespace corvana {

namespace {

std::atomic_ref<std::uint64_t> word_at(void* address) noexcept {
  return std::atomic_ref<std::uint64_t>(*static_cast<std::uint64_t*>(address));
}

// The link of a free chunk: the offset of the next one (0 ends a list).
std::uint64_t next_of(Allocator heap, std::uint64_t chunk) noexcept {
  std::uint64_t next;
  std::memcpy(&next, heap + chunk, sizeof next);
  return next;
}
void set_next(Allocator heap, std::uint64_t chunk, std::uint64_t next) noexcept {
  std::memcpy(heap + chunk, &next, sizeof next);
}

// The most chunks of a class the heap could hold: no run or cache is longer.
std::uint64_t chunk_limit(const SlabView& view, std::uint32_t klass) noexcept {
  return (view.directory_bytes << view.slab_shift) / slab_class_bytes(klass);
}

std::atomic_ref<std::uint64_t> shared_head(const SlabView& view, std::uint32_t klass) noexcept {
  return word_at(reinterpret_cast<std::byte*>(view.header) + offsetof(SlabHeader, free_heads) + klass * 8);
}

struct Run {
  std::uint64_t first = 0;  // 0: no run
  std::uint64_t count = 0;
  std::uint64_t next_run = 0;
};

using layout::begin_slab_intent;
using layout::end_slab_intent;

// The first run of the class's shared list, without taking it. Throws DamagedFile when the list
// names something that is not a run of the class. Requires: the heap lock.
Run peek_run(Allocator heap, const SlabView& view, std::uint32_t klass) {
  Run run;
  run.first = shared_head(view, klass).load(std::memory_order_relaxed);  // relaxed: the heap lock
  if (run.first == 0) {
    return run;
  }
  FreeRunHead head;
  if (slab_chunk_class(heap, view, static_cast<Offset>(run.first)) == klass) {
    std::memcpy(&head, heap + run.first, sizeof head);
    run.count = head.count;
    run.next_run = static_cast<std::uint64_t>(head.next_run);
  }
  if (run.count == 0 || run.count > chunk_limit(view, klass)) {
    throw DamagedFile("the shared list of " + std::to_string(slab_class_bytes(klass)) +
                      "-byte slab chunks names offset " + std::to_string(run.first));
  }
  return run;
}

// Makes `count` chunks linked from `first` (nobody else's) a run at the head of the class's shared
// list: the run's head first, then the list's. Requires: the heap lock.
void push_run(Allocator heap, const SlabView& view, std::uint32_t klass, std::uint64_t first,
              std::uint64_t count) noexcept {
  auto head = shared_head(view, klass);
  const std::uint64_t next_run = head.load(std::memory_order_relaxed);  // relaxed: the heap lock
  std::memcpy(heap + first + offsetof(FreeRunHead, next_run), &next_run, sizeof next_run);
  std::memcpy(heap + first + offsetof(FreeRunHead, count), &count, sizeof count);
  crash_point("slab.shared.linked");
  crash_order_barrier();
  head.store(first, std::memory_order_relaxed);
}

// Carves a new slab of `klass` at the next multiple of the slab size past heap_next and pushes it
// onto the class's shared list as one run. false when the heap has no room. Requires: the heap lock.
// The slab is published by the push; heap_next passes it after, and a taker finishes that.
bool carve_slab(Allocator heap, const SlabView& view, std::uint32_t klass) noexcept {
  const std::uint64_t size = slab_class_bytes(klass);
  const std::uint64_t slab_bytes = std::uint64_t{1} << view.slab_shift;
  HeapHeader& header = layout::heap_header(heap);
  const std::uint64_t slab_file_offset =
      (file_header_bytes + header.heap_next + slab_bytes - 1) / slab_bytes * slab_bytes;
  if (slab_file_offset + slab_bytes > file_header_bytes + heap_end_of(heap) ||
      (slab_file_offset >> view.slab_shift) >= view.directory_bytes) {
    return false;
  }
  const std::uint64_t first = slab_file_offset - file_header_bytes;
  const std::uint64_t count = slab_bytes / size;
  // Its pages get their backing first: a full file system makes this heap full, not a SIGBUS at
  // the first write below.
  if (!platform::reserve_for_write(heap + first, slab_bytes)) {
    return false;
  }
  begin_slab_intent(view, SlabIntentKind::carve, klass, first, first, count, 0);
  // relaxed: the carver's stores reach other processes through the heap lock and the shared list
  std::atomic_ref<std::uint8_t>(view.directory[slab_file_offset >> view.slab_shift])
      .store(static_cast<std::uint8_t>(klass + 1), std::memory_order_relaxed);
  for (std::uint64_t index = 0; index + 1 < count; ++index) {
    set_next(heap, first + index * size, first + (index + 1) * size);
  }
  push_run(heap, view, klass, first, count);
  crash_point("slab.carve.pushed");
  crash_order_barrier();
  header.heap_next = first + slab_bytes;
  end_slab_intent(view);
  return true;
}

// The slab cache record at file offset `target`, when it is one of the process table's; else null.
SlabCacheRecord* record_at(Allocator heap, std::uint64_t target) noexcept {
  const std::uint64_t table = layout::process_table_offset(heap_end_of(heap));
  const std::uint64_t first_slot = table + sizeof(ProcessTableHeader);
  if (table == 0 || target < first_slot) {
    return nullptr;
  }
  const std::uint64_t slot = (target - first_slot) / sizeof(ProcessSlot);
  const std::uint64_t within = (target - first_slot) % sizeof(ProcessSlot);
  if (slot >= process_slot_count || within < offsetof(ProcessSlot, slab_caches) ||
      within >= offsetof(ProcessSlot, slab_caches) + sizeof(ProcessSlot::slab_caches) ||
      (within - offsetof(ProcessSlot, slab_caches)) % sizeof(SlabCacheRecord) != 0) {
    return nullptr;
  }
  return reinterpret_cast<SlabCacheRecord*>(heap - file_header_bytes + target);
}

std::uint64_t record_offset(Allocator heap, const SlabCacheRecord* record) noexcept {
  return static_cast<std::uint64_t>(reinterpret_cast<const std::byte*>(record) - (heap - file_header_bytes));
}

}  // namespace

SlabView slab_view(Allocator heap) noexcept {
  if (heap == nullptr) {
    return {};
  }
  layout::TrailerLayout trailer;
  if (!layout::trailer_layout(heap_end_of(heap), trailer)) {
    return {};
  }
  std::byte* mapping = heap - file_header_bytes;
  return {reinterpret_cast<SlabHeader*>(mapping + trailer.slab_header_offset),
          reinterpret_cast<std::uint8_t*>(mapping + trailer.directory_offset), trailer.directory_bytes,
          trailer.slab_shift};
}

void repair_slab_intent(Allocator heap) noexcept {
  const SlabView view = slab_view(heap);
  if (view.header == nullptr) {
    return;
  }
  SlabIntent& intent = view.header->intent;
  const std::uint64_t state = word_at(&intent.state).load(std::memory_order_relaxed);  // relaxed: the lock
  if (state == 0) {
    return;
  }
  const auto kind = static_cast<SlabIntentKind>(state & 0xFF);
  const auto klass = static_cast<std::uint32_t>(state >> 8);
  if (klass >= slab_class_count) {
    end_slab_intent(view);
    return;
  }
  // Whether the list's first run is the intent's: pushed (carve, release) or not yet let go (refill).
  const bool list_starts_with_run =
      intent.first != 0 && shared_head(view, klass).load(std::memory_order_relaxed) == intent.first;
  if (kind == SlabIntentKind::carve) {
    const std::uint64_t slab_bytes = std::uint64_t{1} << view.slab_shift;
    const std::uint64_t slab = (intent.target + file_header_bytes) >> view.slab_shift;
    HeapHeader& header = layout::heap_header(heap);
    if (slab < view.directory_bytes && header.heap_next <= intent.target &&
        intent.target + slab_bytes <= heap_end_of(heap)) {
      if (list_starts_with_run) {
        header.heap_next = intent.target + slab_bytes;  // the slab was published: it is in use
      } else {
        std::atomic_ref<std::uint8_t>(view.directory[slab]).store(0, std::memory_order_relaxed);
      }
    }
  } else if (kind == SlabIntentKind::raw_block) {
    // The block is carved exactly when heap_next moved past it (only the heap lock's holder moves
    // it, and the lock has been held since the intent began); then its record must name it.
    const std::uint64_t payload = intent.first + sizeof(ChunkHeader);
    if (layout::heap_header(heap).heap_next == intent.first + intent.count && intent.target >= heap_header_bytes &&
        intent.target <= intent.first - sizeof(std::uint64_t)) {
      std::memcpy(heap + intent.target, &payload, sizeof payload);
    }
  } else if (SlabCacheRecord* record = record_at(heap, intent.target);
             record != nullptr && slab_chunk_class(heap, view, static_cast<Offset>(intent.first)) == klass) {
    const bool recorded = static_cast<std::uint64_t>(record->head) == intent.first;
    if (kind == SlabIntentKind::refill && recorded && record->count == intent.count && list_starts_with_run) {
      shared_head(view, klass).store(intent.rest, std::memory_order_relaxed);  // the run is the record's
    } else if (kind == SlabIntentKind::release && list_starts_with_run && recorded) {
      store_word_pair(record, 0, 0);  // the run is the list's
    }
  }
  end_slab_intent(view);
}

bool slab_free(Allocator heap, const SlabView& view, Offset chunk) noexcept {
  const std::uint32_t klass = slab_chunk_class(heap, view, chunk);
  if (klass == no_slab_class) {
    return false;
  }
  layout::HeapLockGuard guard(heap);
  push_run(heap, view, klass, static_cast<std::uint64_t>(chunk), 1);
  return true;
}

SlabCache::SlabCache(Allocator heap, const SlabView& view, std::uint32_t klass, SlabCacheRecord* record) noexcept
    : heap_(heap),
      view_(view),
      class_(klass),
      cap_(std::max<std::uint64_t>(8, (std::uint64_t{4} << view.slab_shift) / slab_class_bytes(klass))),
      record_(record),
      head_(static_cast<std::uint64_t>(record->head)),
      count_(record->count),
      fork_generation_(fork_generation()) {
  assert(reinterpret_cast<std::uintptr_t>(record) % 16 == 0 && "a record is stored as one 16-byte pair");
}

SlabCache::~SlabCache() {
  if (fork_generation_ != fork_generation() || heap_ == nullptr) {
    return;
  }
  release_to_shared();
}

void SlabCache::throw_damaged(std::uint64_t chunk) {
  // What the record names cannot be trusted: the cache lets go of all of it (lost, not spread).
  set_record(0, 0);
  throw DamagedFile("a slab cache of " + std::to_string(slab_class_bytes(class_)) + "-byte chunks names offset " +
                    std::to_string(chunk));
}

void SlabCache::refill() {
  layout::HeapLockGuard guard(heap_);
  Run run = peek_run(heap_, view_, class_);
  if (run.first == 0) {
    if (!carve_slab(heap_, view_, class_)) {
      errno = ENOMEM;
      heap_set_error(heap_error_alloc_prefix, "out of memory");
      throw HeapExhausted();
    }
    run = peek_run(heap_, view_, class_);
  }
  // The record takes the run (it is empty), then the list lets go of it.
  begin_slab_intent(view_, SlabIntentKind::refill, class_, record_offset(heap_, record_), run.first, run.count,
               run.next_run);
  set_record(run.first, run.count);
  crash_point("slab.refill.recorded");
  shared_head(view_, class_).store(run.next_run, std::memory_order_relaxed);  // relaxed: the heap lock
  end_slab_intent(view_);
}

void SlabCache::release_to_shared() noexcept {
  if (count() == 0) {
    return;
  }
  release_slab_record(heap_, view_, class_, record_);
  head_ = 0;
  count_ = 0;
}

void release_slab_record(Allocator heap, const SlabView& view, std::uint32_t klass, SlabCacheRecord* record) noexcept {
  const auto first = static_cast<std::uint64_t>(record->head);
  const std::uint64_t cached = record->count;
  if (cached == 0) {
    return;
  }
  if (cached > chunk_limit(view, klass) || slab_chunk_class(heap, view, static_cast<Offset>(first)) != klass) {
    store_word_pair(record, 0, 0);  // damaged: nothing of it is spread
    return;
  }
  // The list takes the whole record as a run, then the record lets go of it.
  layout::HeapLockGuard guard(heap);
  begin_slab_intent(view, SlabIntentKind::release, klass, record_offset(heap, record), first, cached,
                    shared_head(view, klass).load(std::memory_order_relaxed));
  push_run(heap, view, klass, first, cached);
  crash_point("slab.release.pushed");
  crash_order_barrier();
  store_word_pair(record, 0, 0);
  crash_order_barrier();
  end_slab_intent(view);
}

namespace {

// Calls visit for the `count` chunks linked from `first`, each checked to be a chunk of `klass`.
void visit_chunks(Allocator heap, const SlabView& view, std::uint64_t first, std::uint64_t count, std::uint32_t klass,
                  const std::function<void(Offset, std::uint32_t)>& visit) {
  if (count > chunk_limit(view, klass)) {
    throw DamagedFile("a free list of " + std::to_string(slab_class_bytes(klass)) + "-byte slab chunks is too long");
  }
  std::uint64_t chunk = first;
  for (std::uint64_t seen = 0; seen < count; ++seen) {
    if (slab_chunk_class(heap, view, static_cast<Offset>(chunk)) != klass) {
      throw DamagedFile("a free list of " + std::to_string(slab_class_bytes(klass)) +
                        "-byte slab chunks leaves its slabs at offset " + std::to_string(chunk));
    }
    visit(static_cast<Offset>(chunk), klass);
    chunk = next_of(heap, chunk);
  }
}

}  // namespace

void for_each_free_slab_chunk(Allocator heap, const SlabView& view, const ProcessTable& table,
                              const std::function<void(Offset, std::uint32_t)>& visit) {
  if (heap == nullptr || view.header == nullptr) {
    return;
  }
  {
    layout::HeapLockGuard guard(heap);
    for (std::uint32_t klass = 0; klass < slab_class_count; ++klass) {
      std::uint64_t runs = 0;
      for (std::uint64_t run = shared_head(view, klass).load(std::memory_order_relaxed); run != 0;) {
        if (++runs > chunk_limit(view, klass) || slab_chunk_class(heap, view, static_cast<Offset>(run)) != klass) {
          throw DamagedFile("the shared list of " + std::to_string(slab_class_bytes(klass)) +
                            "-byte slab chunks names offset " + std::to_string(run));
        }
        FreeRunHead head;
        std::memcpy(&head, heap + run, sizeof head);
        visit_chunks(heap, view, run, head.count, klass, visit);
        run = static_cast<std::uint64_t>(head.next_run);
      }
    }
  }
  const std::uint32_t slots = std::min(table.high_water(), table.slot_count());
  for (std::uint32_t index = 0; index < slots; ++index) {
    const ProcessSlot* slot = table.slot(index);
    for (const auto& writer : slot->slab_caches) {
      for (std::uint32_t klass = 0; klass < slab_class_count; ++klass) {
        visit_chunks(heap, view, static_cast<std::uint64_t>(writer[klass].head), writer[klass].count, klass, visit);
      }
    }
  }
}

}  // namespace corvana
