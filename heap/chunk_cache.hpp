// The chunk-cache API: checked release of chunks, and ChunkCache and LocalChunkCache, the per-process
// reserves of links and data chunks that the maps kept before format 4. No map of this package uses
// them since entries live in slab pages; they stay as the heap's published API, which other
// extension modules built on this layer may call, and keep their tests. Private to the heap layer;
// other layers include heap/heap.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "heap/crash_points.hpp"
#include "heap/locks.hpp"
#include "heap/memory_file.hpp"

namespace corvana {

// heap_free, or runtime_error "check_free<true>(Allocator allocator, void * target) failed!".
void check_free(Allocator allocator, void* target);
// The same for the payload at heap + target; on refusal the text is
// "check_free<true>(Allocator allocator, const Offset<true> &target) failed!".
void check_free(Allocator allocator, const Offset& target);

inline constexpr std::uint64_t chunk_cache_cap = 0x100000;  // items a cache keeps at most
inline constexpr std::uint64_t chunk_cache_batch = 100;     // items made per heap run

// What a cache's data chunks hold.
enum class CacheKind : std::uint8_t {
  strings,  // bytes: data unit = unit; not cleared
  blocks,   // 88-byte entries: data unit = unit * 88; zero-filled when made
};
inline constexpr std::uint32_t entry_record_bytes = 88;

// Who serialises the users of a cache.
enum class CacheGuard : std::uint8_t {
  own_lock,  // the cache's own process-local lock: any thread may use it at any time
  by_owner,  // the caller: one thread at a time by an outside rule (no lock taken here)
};

// A process-local reserve of items: a ChunkLink in the heap and the data chunk it names. Items
// travel in runs linked through `next` Offsets; the next of a run's last item is not meaningful.
// Several threads of one process may use a cache at once: its own lock (process-local) serialises
// them, or the caller does (CacheGuard::by_owner). The cached items are recorded in a CacheRecord: one of this process's slot in the file, so
// that whoever takes the slot over after this process died finds them and uses them, or one in
// process memory. Every change of the record keeps the `count` items from `head` exclusively the
// cache's at every store (a death may leak items, never share them).
class ChunkCache {
 public:
  struct Run {
    ChunkLink* first;
    ChunkLink* last;
  };

  // A cache recorded in `record` (in the file). Items already recorded there (left by the slot's
  // previous owner) are adopted when their data chunks are of this cache's unit, else returned to
  // the heap.
  ChunkCache(Allocator heap, CacheKind kind, std::uint8_t unit, CacheRecord* record,
             CacheGuard guard = CacheGuard::own_lock) noexcept;
  // A cache recorded in process memory.
  ChunkCache(Allocator heap, CacheKind kind, std::uint8_t unit) noexcept;
  // Returns every cached item to the heap (data chunk, then link); a refusal ends the process. In a
  // forked child the items are the parent's and stay where they are.
  ~ChunkCache();
  ChunkCache(const ChunkCache&) = delete;
  ChunkCache& operator=(const ChunkCache&) = delete;

  // A run of n >= 1 items, refilled from the heap (at least 100 items) when short.
  // Throws runtime_error(strerror(errno)) when the heap cannot supply; the cache is unchanged and
  // what the failed refill had carved is back on the heap's free lists. invalid_argument for n 0,
  // a cache without a heap, or a data unit outside 1..246 (a block cache's unit must be 1 or 2).
  ChunkLink* take(std::uint64_t n);
  // Takes back a run of n >= 1 items up to the cap; the rest go to the heap in run order.
  // Throws the runtime_error of check_free when the heap refuses a chunk.
  void give_back(std::uint64_t n, ChunkLink* first);
  // Makes m >= 1 new items from the heap in batches of at most 100 and puts them at the head.
  void fill(std::uint64_t m);
  // Makes a new run of m >= 1 items from the heap; the caller links it in. Caller holds the lock
  // when the run is meant for this cache. The last item's next is null. On failure returns every
  // chunk it carved to the heap (those of a unit without a free list stay carved) and throws as take.
  Run refill(std::uint64_t m);

  [[nodiscard]] std::uint8_t unit() const noexcept { return unit_; }
  [[nodiscard]] Allocator heap() const noexcept { return heap_; }
  [[nodiscard]] CacheKind kind() const noexcept { return kind_; }
  // Items cached now (a snapshot; for diagnostics and tests).
  [[nodiscard]] std::uint64_t count() const noexcept {
    // relaxed: a snapshot; the count is only changed under the cache lock
    return count_word().load(std::memory_order_relaxed);
  }
  [[nodiscard]] std::uint8_t data_unit() const noexcept;

 private:
  [[nodiscard]] std::atomic_ref<std::uint64_t> head_word() const noexcept {
    return lock_word_at(reinterpret_cast<std::uint64_t*>(record_));
  }
  [[nodiscard]] std::atomic_ref<std::uint64_t> count_word() const noexcept {
    return lock_word_at(reinterpret_cast<std::uint64_t*>(reinterpret_cast<std::byte*>(record_) + offsetof(CacheRecord, count)));
  }
  [[nodiscard]] ChunkLink* head() const noexcept {
    // relaxed: only this process changes the record, under the cache lock
    const std::uint64_t offset = head_word().load(std::memory_order_relaxed);
    return offset != 0 ? reinterpret_cast<ChunkLink*>(heap_ + offset) : nullptr;
  }
  // The record's two words, each stored alone in the order the class comment requires. relaxed:
  // read by this process under the cache lock, and by a taker of the slot only after this process
  // died (crash_order_barrier orders the stores for that).
  void store_head(ChunkLink* head) noexcept {
    crash_order_barrier();
    head_word().store(head != nullptr ? static_cast<std::uint64_t>(reinterpret_cast<std::byte*>(head) - heap_) : 0,
                      std::memory_order_relaxed);
    crash_order_barrier();
  }
  void store_count(std::uint64_t count) noexcept {
    crash_order_barrier();
    count_word().store(count, std::memory_order_relaxed);
    crash_order_barrier();
  }
  // Returns the recorded items to the heap one by one, the record shrinking before each goes.
  void drain() noexcept;
  // Holds the cache lock, unless the owner serialises.
  class Hold;

  std::uint64_t lock_ = lock_word_free;  // process-local lock word
  CacheGuard guard_;
  alignas(8) CacheRecord local_record_{};
  CacheRecord* record_;
  std::uint8_t unit_;
  Allocator heap_;
  CacheKind kind_;
  std::uint64_t fork_generation_;
};

// An item of a LocalChunkCache: one block of process memory (16 + 24 * unit bytes).
struct LocalLink {
  std::byte* data;   // always the block + 16: `unit` records of 24 bytes
  LocalLink* next;   // next block of the run or list
};
static_assert(sizeof(LocalLink) == 16);

// The process-memory twin of ChunkCache, for the pointer-keyed map. Blocks come from
// python_malloc; its records are zero-filled when a block is made. Lock waits sleep 1 ms.
class LocalChunkCache {
 public:
  struct Run {
    LocalLink* first;
    LocalLink* last;
  };
  inline static constexpr std::size_t record_bytes = 24;

  explicit LocalChunkCache(std::uint8_t unit) noexcept;
  ~LocalChunkCache();
  LocalChunkCache(const LocalChunkCache&) = delete;
  LocalChunkCache& operator=(const LocalChunkCache&) = delete;

  // Throws runtime_error "PyMem_Malloc failed!" when a block cannot be made (the blocks made by
  // that refill are freed; the cache is unchanged), invalid_argument for n 0.
  LocalLink* take(std::uint64_t n);
  void give_back(std::uint64_t n, LocalLink* first);
  void fill(std::uint64_t m);
  Run refill(std::uint64_t m);

  [[nodiscard]] std::uint8_t unit() const noexcept { return unit_; }
  [[nodiscard]] std::uint64_t count() const noexcept;

 private:
  std::uint64_t lock_ = lock_word_free;
  LocalLink* head_ = nullptr;
  std::uint8_t unit_;
  std::uint64_t count_ = 0;
};

}  // namespace corvana
