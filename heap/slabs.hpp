// Slab chunks: pieces of twenty size classes carved from slabs, their shared free lists and the
// per-owner slab caches recorded in the process slots, all changed so that a death at any store
// loses nothing handed out and hands nothing out twice. Private to the heap layer; other layers
// include heap/heap.hpp.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>

#include "heap/crash_points.hpp"
#include "heap/errors.hpp"
#include "heap/memory_file.hpp"

namespace corvana {

class ProcessTable;

//
// Beside chunks and raw blocks, the heap hands out slab chunks: pieces of a size class (32 to 4096
// bytes, slab_class_sizes) carved from slabs (64 KiB, less in a small heap), each slab a multiple of
// its size into the file (so its chunks lie on cache lines as their sizes allow) and of one class,
// recorded in the slab directory after the process table. Free chunks of a class wait in runs on a
// shared free list (guarded by the heap lock, linked through their first 8 bytes) or in the slab
// caches of the processes: per-owner reserves, recorded in the owner's process slot, that take and
// give back whole runs, so that the heap lock is taken once per run. A slab is never given back to
// the heap.

inline constexpr std::uint32_t no_slab_class = slab_class_count;

[[nodiscard]] constexpr std::uint32_t slab_class_bytes(std::uint32_t klass) noexcept {
  return slab_class_sizes[klass];
}
// The smallest class whose chunks hold `bytes`, or no_slab_class when none does.
[[nodiscard]] constexpr std::uint32_t slab_class_for(std::uint64_t bytes) noexcept {
  for (std::uint32_t klass = 0; klass < slab_class_count; ++klass) {
    if (bytes <= slab_class_sizes[klass]) {
      return klass;
    }
  }
  return no_slab_class;
}
inline constexpr std::uint32_t largest_slab_chunk = slab_class_sizes[slab_class_count - 1];

// Where the slab header and the directory of a mapped heap lie in this process.
struct SlabView {
  SlabHeader* header = nullptr;
  std::uint8_t* directory = nullptr;
  std::uint64_t directory_bytes = 0;
  std::uint32_t slab_shift = largest_slab_shift;
};
// The slab view of a mapped heap (from its heap_end), or an empty view for a heap without one.
[[nodiscard]] SlabView slab_view(Allocator heap) noexcept;

namespace detail {
// ceil(2^32 / size) per class: (n * reciprocal) >> 32 is n / size, exactly, for every n below 2^16.
inline constexpr auto slab_class_reciprocals = [] {
  std::array<std::uint64_t, slab_class_count> reciprocals{};
  for (std::uint32_t klass = 0; klass < slab_class_count; ++klass) {
    reciprocals[klass] = ((std::uint64_t{1} << 32) + slab_class_sizes[klass] - 1) / slab_class_sizes[klass];
  }
  return reciprocals;
}();
static_assert(largest_slab_shift <= 16, "the reciprocals divide offsets within a slab only");
}  // namespace detail

// The class of the chunk at `offset` when it is the start of a slab chunk, else no_slab_class. No
// division: it runs for every page and string a reader follows.
[[nodiscard]] inline std::uint32_t slab_chunk_class(Allocator heap, const SlabView& view, Offset offset) noexcept {
  static_cast<void>(heap);
  const std::uint64_t file_offset = static_cast<std::uint64_t>(offset) + file_header_bytes;
  const std::uint64_t slab = file_offset >> view.slab_shift;
  if (slab >= view.directory_bytes || file_offset < file_header_bytes) [[unlikely]] {
    return no_slab_class;
  }
  // acquire: the carver wrote the slab's class before it handed any of its chunks out
  const std::uint32_t klass =
      std::uint32_t{std::atomic_ref<std::uint8_t>(view.directory[slab]).load(std::memory_order_acquire)} - 1u;
  if (klass >= slab_class_count) [[unlikely]] {
    return no_slab_class;  // 0 (no slab) wrapped round, or a damaged entry
  }
  const std::uint64_t slab_size = std::uint64_t{1} << view.slab_shift;
  const std::uint64_t within = file_offset & (slab_size - 1);
  const std::uint64_t size = slab_class_sizes[klass];
  const std::uint64_t index = (within * detail::slab_class_reciprocals[klass]) >> 32;
  if (index * size != within || within + size > slab_size) [[unlikely]] {
    return no_slab_class;
  }
  return klass;
}

// Pushes one chunk that nobody else can reach onto its class's shared free list (for callers with no
// cache at hand). A chunk that is not a slab chunk is left alone (false).
bool slab_free(Allocator heap, const SlabView& view, Offset chunk) noexcept;

// Calls visit(chunk, klass) for every free slab chunk: those on the shared lists (read under the
// heap lock) and those in the slab caches of every slot ever claimed (read without their owners'
// consent: the caller makes sure no owner changes them meanwhile). Throws DamagedFile when a list
// leaves the slabs, is longer than the slabs could hold, or holds a chunk of another class.
void for_each_free_slab_chunk(Allocator heap, const SlabView& view, const ProcessTable& table,
                              const std::function<void(Offset, std::uint32_t)>& visit);

// Gives every chunk that `record` (a slab cache record of class `klass`) holds to the class's shared
// list as one run, and empties the record, as a cache's own release does. Requires: nobody uses the
// record meanwhile (its owner's writer lock is held by the caller). A record that names something
// that is not a run of its class is let go of (lost, not spread).
void release_slab_record(Allocator heap, const SlabView& view, std::uint32_t klass, SlabCacheRecord* record) noexcept;

// Finishes or undoes the change of the slab records that a dead holder of the heap lock left half
// made. Requires: the heap lock, just taken over.
void repair_slab_intent(Allocator heap) noexcept;

// One owner's reserve of free chunks of one class, recorded in `record` (in the owner's process
// slot, 16-byte aligned; read once, when the cache is made). Not locked: its owner uses it from one
// thread at a time. Every change of
// the record keeps the `count` chunks from `head` the cache's own at every store (see slab.cpp).
class SlabCache {
 public:
  SlabCache(Allocator heap, const SlabView& view, std::uint32_t klass, SlabCacheRecord* record) noexcept;
  // Gives the cached chunks back to the shared list; in a forked child they are the parent's and stay.
  ~SlabCache();
  SlabCache(const SlabCache&) = delete;
  SlabCache& operator=(const SlabCache&) = delete;

  // A free chunk of the class (its content is whatever it held). Refills from the shared list or a
  // new slab when empty. Throws HeapExhausted when the heap cannot supply,
  // DamagedFile when the cache names something that is not a chunk of its class.
  Offset take() {
    std::uint64_t cached = count();
    if (cached == 0) [[unlikely]] {
      refill();
      cached = count();
    }
    const std::uint64_t chunk = head();
    if (slab_chunk_class(heap_, view_, static_cast<Offset>(chunk)) != class_) [[unlikely]] {
      throw_damaged(chunk);
    }
    std::uint64_t next = 0;
    if (cached > 1) {
      std::memcpy(&next, heap_ + chunk, sizeof next);
      // The next take reads that chunk's link and its caller writes the chunk: asked for now, its
      // miss overlaps this caller's work. (A hint: a damaged link is checked when it is taken.)
      __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(heap_) + next), 1);
    }
    set_record(next, cached - 1);
    return static_cast<Offset>(chunk);
  }
  // Takes back a chunk of the class that nobody else can reach any more. Past the cap, the whole
  // cache goes back to the shared list.
  void give_back(Offset chunk) noexcept {
    keep(chunk);
    trim();
  }
  // Takes back a chunk and keeps it at the head of the cache (a later trim applies the cap), so that
  // a repair can see whether it was given back.
  void keep(Offset chunk) noexcept {
    const std::uint64_t cached = count();
    const std::uint64_t next = cached > 0 ? head() : 0;
    std::memcpy(heap_ + static_cast<std::uint64_t>(chunk), &next, sizeof next);
    set_record(static_cast<std::uint64_t>(chunk), cached + 1);
  }
  void trim() noexcept {
    if (count() > cap_) [[unlikely]] {
      release_to_shared();
    }
  }
  // Reads the record again: another process gave what it held to the shared list (see
  // release_slab_record) while this owner did not use it.
  void reload() noexcept {
    head_ = static_cast<std::uint64_t>(record_->head);
    count_ = record_->count;
  }
  // The record as this owner last wrote it (it is the record's only writer while it lives).
  [[nodiscard]] std::uint64_t count() const noexcept { return count_; }
  [[nodiscard]] std::uint64_t head() const noexcept { return head_; }
  [[nodiscard]] std::uint32_t size_class() const noexcept { return class_; }

 private:
  void refill();
  [[noreturn]] void throw_damaged(std::uint64_t chunk);
  // Replaces the record with one store.
  void set_record(std::uint64_t head, std::uint64_t count) noexcept {
    head_ = head;
    count_ = count;
    crash_order_barrier();
    store_word_pair(record_, head, count);
    crash_order_barrier();
  }
  // Gives the whole cache to the shared list as one run.
  void release_to_shared() noexcept;

  Allocator heap_;
  SlabView view_;
  std::uint32_t class_;
  std::uint64_t cap_;  // four slabs' worth of chunks, at least 8
  SlabCacheRecord* record_;
  std::uint64_t head_;   // what record_ holds: read here, never from the file
  std::uint64_t count_;
  std::uint64_t fork_generation_;
};

}  // namespace corvana
