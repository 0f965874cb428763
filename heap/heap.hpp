// corvana shared heap: the front door of the heap layer.
//
// What lives in the file. A memory file is an ordinary file that every cooperating process maps
// shared and read-write. Its first 24 bytes are the file header (mapped size, region size, the
// 32-bit heap lock); the heap begins at file offset 24, the heap base. The first 64 bytes of the
// heap are the heap header (heap_end, the bump offset heap_next, the string unit, and the heads of
// the three recycled size classes 176, 16 and string_unit). Everything after it is handed out as
// chunks (a 2-byte header {chunk_size, unit} and a payload) carved from heap_next, or as raw blocks
// that are never released. Chunks of the three classes go back onto a LIFO free list; nothing is
// split, merged or returned to fresh space. Every position stored in the file is an Offset from the
// heap base, never an address: each process maps the file at an address of its own.
//
// Who locks what. The heap lock (file offset 16, 0 free / 1 held) serialises, across processes, the
// space check and bump of heap_next and every push or pop of a free list; it is never held while
// another lock is taken. A ChunkCache is a process-local reserve of items (a link plus the data
// chunk it names) guarded by a process-local 64-bit lock word; it takes the heap lock only to
// refill or to overflow, in batches. Lock order: bucket lock -> cache lock -> heap lock.
//
// Errors. The memory file and the allocator report failures as null / false plus the process-wide
// last heap error text ("mm:core: ..." / "mm:alloc: ...") and errno. check_free and the caches throw
// standard exceptions.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "heap/heap_records.hpp"
#include "heap/platform.hpp"

static_assert(std::endian::native == std::endian::little,
              "the memory file format is little-endian and is never byte-swapped");
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free &&
                  std::atomic_ref<std::uint32_t>::is_always_lock_free &&
                  std::atomic_ref<std::int64_t>::is_always_lock_free,
              "atomics shared between processes must be lock-free");

namespace corvana {

using platform::FileHandle;
using platform::MappingHandle;

// Names a heap: the heap base address in the calling process.
using Allocator = std::byte*;

[[nodiscard]] inline std::byte* address_of(Allocator heap, Offset offset) noexcept {
  return heap + static_cast<std::uint64_t>(offset);
}
[[nodiscard]] inline Offset offset_of(Allocator heap, const void* address) noexcept {
  return static_cast<Offset>(static_cast<const std::byte*>(address) - heap);
}

// ---------------------------------------------------------------------------------------------
// Memory file

// heap_set_error flags.
inline constexpr std::uint32_t heap_error_alloc_prefix = 1;  // "mm:alloc: "
inline constexpr std::uint32_t heap_error_core_prefix = 2;   // "mm:core: " (alloc wins when both)
inline constexpr std::uint32_t heap_error_with_errno = 4;    // append " (strerror(errno))"
inline constexpr std::size_t heap_error_capacity = 1024;     // characters, terminator excluded

// Creates (path null) or opens (path given) a memory file and maps it. Creating makes a new file
// "mm<pid>..." in the temporary directory whose heap offers exactly `size` usable bytes and writes
// the headers; opening maps the whole existing file as long as it is (its length never changes
// here), adopting its headers (the string unit is unused). Returns the heap base (mapping + 24) and
// stores both handles, or null with the reason in the last heap error text and errno, both handles
// then being invalid_handle. `size` 0: null, errno EINVAL, text unchanged. A size whose mapping
// would not fit in 64 bits: errno EOVERFLOW. A file too short for the headers, or whose heap header
// claims space outside the file: errno EINVAL, nothing mapped, the file untouched.
[[nodiscard]] std::byte* create_memory_file(std::uint64_t size, const char* path, std::uint8_t string_unit,
                                            FileHandle& file, MappingHandle& mapping) noexcept;
// Unmaps and closes; never deletes the file. A null heap base does nothing; an invalid file handle
// is skipped (the mapping is still removed: this process remembers the length of every mapping it
// made). Failures are only recorded in the last heap error text.
void close_memory_file(std::byte* heap_base, FileHandle file, MappingHandle mapping) noexcept;
// The mapped length for a heap of `size` usable bytes: size + 88 rounded up to the page size;
// 0 when that does not fit in 64 bits.
[[nodiscard]] std::uint64_t mapped_size_for(std::uint64_t size) noexcept;

void heap_set_error(std::uint32_t flags, const char* text) noexcept;
// The last heap error text of this process, or null when it is empty.
[[nodiscard]] const char* heap_last_error() noexcept;
// The system page size, cached on first use.
std::int32_t page_size() noexcept;

// ---------------------------------------------------------------------------------------------
// Chunk allocator

inline constexpr std::uint8_t link_unit = 16;           // ChunkLink chunks
inline constexpr std::uint8_t record_block_unit = 176;  // two 88-byte entries
inline constexpr std::uint8_t map_header_unit = 168;    // the map header (fresh space only)
inline constexpr std::uint8_t max_unit = 246;           // chunk_size must fit its byte

// unit + 2 rounded up to a multiple of 8.
[[nodiscard]] constexpr std::uint8_t chunk_size_for_unit(std::uint8_t unit) noexcept {
  return static_cast<std::uint8_t>(((unit + 1) & 0xF8) + 8);
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
// A raw block of at least `size` bytes: returns its payload (block start + 2) or null.
[[nodiscard]] std::byte* heap_alloc_bytes(Allocator heap, std::size_t size) noexcept;
// Pushes the chunk whose payload is given onto its class's free list; false for a unit that has
// no free list (raw blocks included), a null argument, or an address that is not the payload of a
// chunk carved in this heap (outside [66, heap_next), not at 8k + 2, or a header that does not
// match its unit). A chunk freed twice is not detected.
[[nodiscard]] bool heap_free(Allocator heap, void* payload) noexcept;
// The unit byte before `payload`, or -1 when either argument is null.
int heap_unit_of(Allocator heap, const void* payload) noexcept;
// heap_end - heap_next plus the chunk sizes on the general list; 0 for a null heap.
std::size_t heap_available(Allocator heap) noexcept;
// Prints the heap dump to standard error.
void heap_info(Allocator heap) noexcept;

// ---------------------------------------------------------------------------------------------
// Waiting for a lock word

// One wait between two attempts on a shared spin lock: while a Python interpreter runs, gives the
// interpreter lock away once (taking it first if this thread does not hold it, and ending in the
// state it started in); without an interpreter, yields the processor.
void spin_wait_step() noexcept;
// Sleeps one millisecond; gives the interpreter lock away while it sleeps when this thread holds it.
void sleep_wait_step() noexcept;
// True while the interpreter is finalizing: waits then retry at once instead of waiting.
[[nodiscard]] bool interpreter_is_finalizing() noexcept;

// Memory from PyMem_Malloc while an interpreter runs or finalizes (the caller holds the interpreter
// lock), else from malloc. Buffers handed to Python come from here and go back through python_free.
[[nodiscard]] void* python_malloc(std::size_t bytes) noexcept;
void python_free(void* buffer) noexcept;

// 64-bit lock words (bucket locks, expansion_lock, cache locks).
inline constexpr std::uint64_t lock_word_free = 0;
inline constexpr std::uint64_t lock_word_held = 0x100000000;

enum class LockWait : std::uint8_t {
  spin,   // spin_wait_step between attempts
  sleep,  // sleep_wait_step between attempts
};

// The atomic view of a 64-bit lock word, which must be 8-aligned.
[[nodiscard]] std::atomic_ref<std::uint64_t> lock_word_at(std::uint64_t* word) noexcept;

[[nodiscard]] bool try_lock_word(std::atomic_ref<std::uint64_t> word) noexcept;
// Takes the word, waiting as `wait` says between attempts (no wait while finalizing).
void lock_word(std::atomic_ref<std::uint64_t> word, LockWait wait) noexcept;
void unlock_word(std::atomic_ref<std::uint64_t> word) noexcept;

// Holds a lock word from construction to destruction (or to unlock()), on every exit path.
class LockWordGuard {
 public:
  LockWordGuard(std::atomic_ref<std::uint64_t> word, LockWait wait) noexcept : word_(word) {
    lock_word(word_, wait);
  }
  ~LockWordGuard() { unlock(); }
  LockWordGuard(const LockWordGuard&) = delete;
  LockWordGuard& operator=(const LockWordGuard&) = delete;
  // Releases early; the destructor then does nothing.
  void unlock() noexcept {
    if (is_held_) {
      is_held_ = false;
      unlock_word(word_);
    }
  }
  [[nodiscard]] bool is_held() const noexcept { return is_held_; }

 private:
  std::atomic_ref<std::uint64_t> word_;
  bool is_held_ = true;
};

// ---------------------------------------------------------------------------------------------
// Checked release

// heap_free, or runtime_error "check_free<true>(Allocator allocator, void * target) failed!".
void check_free(Allocator allocator, void* target);
// The same for the payload at heap + target; on refusal the text is
// "check_free<true>(Allocator allocator, const Offset<true> &target) failed!".
void check_free(Allocator allocator, const Offset& target);

// ---------------------------------------------------------------------------------------------
// Chunk caches

inline constexpr std::uint64_t chunk_cache_cap = 0x100000;  // items a cache keeps at most
inline constexpr std::uint64_t chunk_cache_batch = 100;     // items made per heap run

// What a cache's data chunks hold.
enum class CacheKind : std::uint8_t {
  strings,  // bytes: data unit = unit; not cleared
  blocks,   // 88-byte entries: data unit = unit * 88; zero-filled when made
};
inline constexpr std::uint32_t entry_record_bytes = 88;

// A process-local reserve of items: a ChunkLink in the heap and the data chunk it names. Items
// travel in runs linked through `next` Offsets; the next of a run's last item is not meaningful.
// Several threads of one process may use a cache at once; the cache lock serialises them.
class ChunkCache {
 public:
  struct Run {
    ChunkLink* first;
    ChunkLink* last;
  };

  ChunkCache(Allocator heap, CacheKind kind, std::uint8_t unit) noexcept;
  // Returns every cached item to the heap (data chunk, then link); a refusal ends the process.
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
  [[nodiscard]] std::uint64_t count() const noexcept;
  [[nodiscard]] std::uint8_t data_unit() const noexcept;

 private:
  std::uint64_t lock_ = lock_word_free;  // process-local lock word
  ChunkLink* head_ = nullptr;            // first cached item; null when emptied by take
  std::uint8_t unit_;
  std::uint64_t count_ = 0;              // items reachable from head_
  Allocator heap_;
  CacheKind kind_;
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
