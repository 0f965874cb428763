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

#include <array>
#include <cstring>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#if defined(__x86_64__)
#include <emmintrin.h>
#endif
#include <stdexcept>
#include <string>

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
// Unmaps and closes; never deletes the file. A null heap base does nothing; an invalid file handle,
// or one that no longer names the memory file, is not closed (the mapping is still removed: this
// process remembers the length of every mapping it made). Failures are only recorded in the last
// heap error text.
void close_memory_file(std::byte* heap_base, FileHandle file, MappingHandle mapping) noexcept;
// Whether [offset, offset + length) of the memory file of `heap` may hold data (see
// platform::may_hold_data), asked through `file`, its descriptor; also true when `file` no longer
// names the memory file (the application closed it, and its number may name another file now).
[[nodiscard]] bool memory_file_may_hold_data(Allocator heap, FileHandle file, std::uint64_t offset,
                                             std::uint64_t length) noexcept;
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

// ---------------------------------------------------------------------------------------------
// Owned lock words
//
// Every lock of the heap and of the maps is a 64-bit word: 0 while free, its holder's token while
// held. A token names the holder, so that a waiter can tell a holder that is merely slow (or
// stopped) from one that died:
//   bits  0..15  the holding thread's tag (see current_thread_tag)
//   bits 16..27  the process slot of the mapping the holder works through (see ProcessTable)
//   bit  30      lock_contended: a waiter may be asleep on the word's low 32 bits
//   bits 32..62  that slot's generation when it was claimed (never 0, so a held word is never 0)
// A holder is dead when its slot has another generation now or when nobody holds the slot's
// byte-range lock any more. Then one waiter takes the word over (compare-and-set from the dead
// token, so two never both do) and learns so from acquire_lock_word: it must repair what the dead
// holder may have left half done before it goes on. Process-local words (the chunk caches' locks,
// the pointer-keyed map) have tokens of generation 1, slot 0, and are never taken over.

inline constexpr std::uint64_t lock_word_free = 0;
inline constexpr std::uint64_t lock_contended = std::uint64_t{1} << 30;
inline constexpr unsigned lock_slot_shift = 16;
inline constexpr std::uint64_t lock_slot_mask = 0xFFF;
inline constexpr unsigned lock_generation_shift = 32;
inline constexpr std::uint64_t lock_generation_mask = 0x7FFFFFFF;
inline constexpr std::uint64_t lock_thread_mask = 0xFFFF;
// The token base of process-local words: generation 1, slot 0.
inline constexpr std::uint64_t local_lock_base = std::uint64_t{1} << lock_generation_shift;
static_assert(process_slot_count <= lock_slot_mask + 1, "every slot must fit a token");

// The holder's token in a held word (the contended bit dropped).
[[nodiscard]] constexpr std::uint64_t lock_holder(std::uint64_t word) noexcept { return word & ~lock_contended; }
[[nodiscard]] constexpr std::uint32_t token_slot(std::uint64_t token) noexcept {
  return static_cast<std::uint32_t>((token >> lock_slot_shift) & lock_slot_mask);
}
[[nodiscard]] constexpr std::uint32_t token_generation(std::uint64_t token) noexcept {
  return static_cast<std::uint32_t>((token >> lock_generation_shift) & lock_generation_mask);
}
[[nodiscard]] constexpr std::uint16_t token_thread(std::uint64_t token) noexcept {
  return static_cast<std::uint16_t>(token & lock_thread_mask);
}
[[nodiscard]] constexpr std::uint64_t make_token_base(std::uint32_t slot, std::uint32_t generation) noexcept {
  return (std::uint64_t{generation} & lock_generation_mask) << lock_generation_shift |
         (std::uint64_t{slot} & lock_slot_mask) << lock_slot_shift;
}

// This thread's tag: 1 .. 65535, given on first use and kept for the thread's life. Tags are
// reused only after 65535 threads, and two live threads share one only beyond that.
// (Read on every lock operation: the initial-exec model reaches the variable without a call into the
// dynamic linker, also from the extension module this code is linked into: two bytes of static TLS.)
[[gnu::tls_model("initial-exec")]] extern thread_local std::uint16_t this_thread_tag;
[[nodiscard]] std::uint16_t give_thread_tag() noexcept;
[[nodiscard]] inline std::uint16_t current_thread_tag() noexcept {
  const std::uint16_t tag = this_thread_tag;
  return tag != 0 ? tag : give_thread_tag();
}

class ProcessTable;

enum class Interrupt : std::uint8_t {
  never,      // the wait cannot end early: destructors, paths that must not throw, and waits that
              // are bounded by a live holder's progress alone (a mover's sibling)
  when_free,  // the caller holds no lock of the heap or the maps: a signal whose Python handler
              // raises (Ctrl-C: KeyboardInterrupt) ends the wait with InterruptedWait, the error set
  retreat,    // the caller holds other bucket locks and can give them all up and start its step
              // again: a signal, or a wait that has lasted signal_wait_interval, ends the wait with
              // WaitRetreat (no handler run, nothing taken); the caller releases every lock it
              // holds, runs check_interrupts() and starts over. So a wait that holds other locks
              // never runs a signal handler, and is still ended by Ctrl-C.
};

// How a lock wait may end besides taking the lock: by an interrupt (see Interrupt) and, when
// `deadline_ns` is not 0, with LockTimeout once platform::monotonic_nanoseconds() passes it while a
// live holder keeps the word. Converts from an Interrupt for waits without a deadline.
struct WaitLimits {
  WaitLimits(Interrupt interrupt_kind = Interrupt::never, std::uint64_t deadline = 0) noexcept  // NOLINT
      : interrupt(interrupt_kind), deadline_ns(deadline) {}
  Interrupt interrupt;
  std::uint64_t deadline_ns;
};
// How long an Interrupt::retreat wait lasts before it gives its caller's locks up, and how often
// an Interrupt::when_free wait looks at pending signals.
inline constexpr std::uint64_t signal_wait_interval_ns = 20'000'000;

// The memory file holds something that cannot be (an offset that names no record of the kind it
// should, a list that does not end): the file is damaged. Nothing is followed past the damage.
class DamagedFile : public std::runtime_error {
 public:
  explicit DamagedFile(const std::string& what)
      : std::runtime_error("the memory file is damaged: " + what), detail_(what) {}
  // What is wrong, without the leading words.
  [[nodiscard]] const std::string& detail() const noexcept { return detail_; }

 private:
  std::string detail_;
};

// The heap has no room for what was asked (its text is "mm:alloc: out of memory"); nothing was
// taken. A distinct type so that a caller with a way that needs no room can take it instead.
class HeapExhausted : public std::runtime_error {
 public:
  HeapExhausted() : std::runtime_error("mm:alloc: out of memory") {}
};

// Every slot of the memory file's process table is held by a mapping that is open now, so the file
// cannot be opened once more until one of them is closed. Its text is the opening's own.
class ProcessSlotsExhausted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A wait for a lock ended because a signal handler raised; the Python error is set. Nothing was
// taken: the caller's locks unwind as for any exception.
class InterruptedWait : public std::runtime_error {
 public:
  InterruptedWait() : std::runtime_error("interrupted while waiting for a lock") {}
};

// A wait for a lock held by a live process lasted past its deadline (see WaitLimits). Nothing was
// taken: the caller's locks unwind as for any exception, and the holder keeps its lock.
class LockTimeout : public std::runtime_error {
 public:
  LockTimeout() : std::runtime_error("a lock of the map stayed held by a live process for longer than the lock timeout") {}
};

// An Interrupt::retreat wait gave up so that its caller can release its locks and look at signals
// (see Interrupt). Never leaves the map layer: the step that holds the locks catches it, holding none.
class WaitRetreat : public std::runtime_error {
 public:
  WaitRetreat() : std::runtime_error("a lock wait gave its other locks up to look at signals") {}
};

// The monotonic deadline of a wait that may last `timeout_ns` from now; 0 (none) for a timeout of 0.
[[nodiscard]] std::uint64_t deadline_after(std::uint64_t timeout_ns) noexcept;
// Throws LockTimeout when `deadline_ns` (not 0) has passed.
void check_deadline(std::uint64_t deadline_ns);

struct LockAcquired {
  bool took_over = false;             // the previous holder had died: repair before going on
  std::uint64_t previous_holder = 0;  // its token, when took_over
};

// Takes `word` for `token` (a token base | the thread tag). Uncontended: one compare-and-set and
// no system call. Contended: spins briefly with the processor's pause, then gives the interpreter
// lock away (when this thread holds it and the interpreter is not finalizing) and sleeps on the
// word until its holder releases it; after a few milliseconds, and every few milliseconds from
// then on, asks `liveness` (null: never) whether the holder is alive and takes a dead holder's
// word over. A holder that is alive but stopped keeps the caller asleep (it uses no processor).
// Throws: InterruptedWait (Interrupt::when_free), WaitRetreat (Interrupt::retreat), LockTimeout
//         (a deadline in `limits`).
// `word` is the address of an 8-aligned 64-bit word, reached only through these functions and
// atomic views while it is shared.
LockAcquired acquire_lock_word(std::uint64_t* word, std::uint64_t token, const ProcessTable* liveness,
                               WaitLimits limits);
// One compare-and-set from free; never waits.
[[nodiscard]] bool try_acquire_lock_word(std::uint64_t* word, std::uint64_t token) noexcept;
// Frees the word, waking its sleepers when it was marked contended.
void release_lock_word(std::uint64_t* word) noexcept;

// The atomic view of a 64-bit lock word, which must be 8-aligned.
[[nodiscard]] inline std::atomic_ref<std::uint64_t> lock_word_at(std::uint64_t* word) noexcept {
  return std::atomic_ref<std::uint64_t>(*word);
}

// The contended path of acquire_lock_word, and the wake of release_lock_word.
LockAcquired acquire_contended_lock_word(std::uint64_t* word, std::uint64_t token, const ProcessTable* liveness,
                                         WaitLimits limits);
void wake_lock_word_sleepers(std::uint64_t* word) noexcept;

inline bool try_acquire_lock_word(std::uint64_t* word, std::uint64_t token) noexcept {
  std::uint64_t expected = lock_word_free;
  // acquire: writes made by the previous holder become visible once we own the word
  return lock_word_at(word).compare_exchange_strong(expected, token, std::memory_order_acquire,
                                                    std::memory_order_relaxed);
}

inline LockAcquired acquire_lock_word(std::uint64_t* word, std::uint64_t token, const ProcessTable* liveness,
                                      WaitLimits limits) {
  if (try_acquire_lock_word(word, token)) {
    return {};
  }
  return acquire_contended_lock_word(word, token, liveness, limits);
}

inline void release_lock_word(std::uint64_t* word) noexcept {
  // release: our writes under the lock happen-before the next holder's acquire
  if ((lock_word_at(word).exchange(lock_word_free, std::memory_order_release) & lock_contended) != 0) {
    wake_lock_word_sleepers(word);
  }
}

// Process-local lock words (a chunk cache's lock, the pointer-keyed map's locks): never taken over,
// never interrupted.
void lock_word(std::uint64_t* word) noexcept;
void unlock_word(std::uint64_t* word) noexcept;
// The token this thread puts into a process-local word.
[[nodiscard]] std::uint64_t local_lock_token() noexcept;

// Holds a process-local lock word from construction to destruction (or to unlock()).
class LockWordGuard {
 public:
  explicit LockWordGuard(std::uint64_t* word) noexcept : word_(word) { lock_word(word_); }
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
  std::uint64_t* word_;
  bool is_held_ = true;
};

// Holds an owned lock word from construction to destruction (or to unlock()), as the calling
// thread's token of `table` (null, or a table without a slot: a process-local token, never taken
// over). The caller repairs when acquired().took_over.
class OwnedLockGuard {
 public:
  OwnedLockGuard(std::uint64_t* word, const ProcessTable* table, WaitLimits limits);
  ~OwnedLockGuard() { unlock(); }
  OwnedLockGuard(const OwnedLockGuard&) = delete;
  OwnedLockGuard& operator=(const OwnedLockGuard&) = delete;
  void unlock() noexcept {
    if (is_held_) {
      is_held_ = false;
      release_lock_word(word_);
    }
  }
  [[nodiscard]] bool is_held() const noexcept { return is_held_; }
  [[nodiscard]] const LockAcquired& acquired() const noexcept { return acquired_; }

 private:
  std::uint64_t* word_;
  LockAcquired acquired_;
  bool is_held_ = false;
};

// The token the calling thread uses for `table` (see OwnedLockGuard).
[[nodiscard]] std::uint64_t owner_token(const ProcessTable* table) noexcept;

// Sleeps one millisecond; gives the interpreter lock away while it sleeps when this thread holds it.
void sleep_wait_step() noexcept;

// Gives the interpreter lock away for its lifetime when this thread holds it (and an interpreter
// runs and is not finalizing), so that long work that touches no Python object lets the process's
// other threads run; takes it back when it ends, also on an exception. Code inside must not use the
// Python API except through the helpers of this layer that take the lock themselves.
class InterpreterLockRelease {
 public:
  InterpreterLockRelease() noexcept;
  ~InterpreterLockRelease();
  InterpreterLockRelease(const InterpreterLockRelease&) = delete;
  InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;

 private:
  void* saved_ = nullptr;  // the thread state given away, or null
};
// True while the interpreter is finalizing: its lock can then not be handed around.
[[nodiscard]] bool interpreter_is_finalizing() noexcept;
// Runs pending signal handlers when an interpreter runs (taking the interpreter lock if needed);
// throws InterruptedWait when one raised. Requires: the caller holds no lock of the heap or maps.
void check_interrupts();

// The text of the runtime_error thrown where python_malloc gives no memory.
inline constexpr char python_malloc_failed_text[] = "PyMem_Malloc failed!";
// Memory from PyMem_Malloc while an interpreter runs or finalizes (the caller holds the interpreter
// lock), else from malloc. Buffers handed to Python come from here and go back through python_free.
[[nodiscard]] void* python_malloc(std::size_t bytes) noexcept;
void python_free(void* buffer) noexcept;
// The deleter of a buffer from python_malloc that the caller has not handed over yet.
struct PythonFree {
  void operator()(void* buffer) const noexcept { python_free(buffer); }
};

// ---------------------------------------------------------------------------------------------
// The process table
//
// Each mapping of a memory file claims one slot of the file's process table when it is made and
// gives it back when it is closed. The slot's owner proves it is alive by holding a byte-range
// lock through a file description of its own (see platform::try_lock_byte), which the kernel drops
// when the process dies; the slot's generation, raised by every claim, tells a token of a former
// owner from one of the current owner. The application may close that description's descriptor
// while the process lives on, so the slot also records who claimed it (pid, start time, PID
// namespace, boot: OwnerIdentity), and an owner counts as dead only when its lock is gone and,
// where /proc can tell, that process is gone too (ended, a zombie, or its pid now another's). Only
// where /proc cannot tell (another PID namespace, no /proc) does the lock alone decide. The
// description is tagged (see platform::FileIdentity) and checked before every use, so that a
// descriptor number the application closed and reused is never asked, unlocked or closed; a lost
// description is opened again by the file's path and takes its owner's byte-range lock again.
// A slot whose owner died keeps what the owner left in it (its chunk caches' records, the map
// layer's records) for whoever claims it next, who takes it over; what the map layer left half done
// there is repaired by the map layer.
//
// A forked child does not inherit its parent's claims: its copies of the file descriptions that
// hold them are closed in the child at once, and the child's copies of the parent's tables refuse
// to act for the parent (belongs_to_this_process is false). Everything here needs no interpreter.

// Forks this process descends from (incremented in the child of each fork).
extern std::atomic<std::uint64_t> forks_seen;
[[nodiscard]] inline std::uint64_t fork_generation() noexcept {
  // relaxed: changed only in a fork's child before it has other threads
  return forks_seen.load(std::memory_order_relaxed);
}

// The identity of the process that claimed a slot, read from the slot's first
// process_slot_head_bytes: its pid and OwnerIdentity.
inline constexpr std::size_t process_slot_head_bytes = offsetof(ProcessSlot, slab_caches);
[[nodiscard]] platform::ProcessIdentity recorded_owner(const std::byte* slot_head) noexcept;

class ProcessTable {
 public:
  // A view of the table at `table` (its header first) in this process's mapping, which owns
  // `liveness_file` from now on: a description of its own (see platform::open_second_description)
  // tagged by tag_description, which gave `identity`. `path` (empty: none) names the file, to open
  // it again should the application close the descriptor.
  ProcessTable(std::byte* table, FileHandle liveness_file, const platform::FileIdentity& identity,
               std::string path) noexcept;
  // Releases the slot when it is still claimed and closes the description when it is still ours.
  ~ProcessTable();
  ProcessTable(const ProcessTable&) = delete;
  ProcessTable& operator=(const ProcessTable&) = delete;

  // Claims a slot: the lowest one that nobody holds (free, or left by a dead owner). false with
  // errno EBUSY when every slot is held by a live owner, or the system's errno.
  [[nodiscard]] bool claim() noexcept;
  // Gives the slot back: marks it free and drops the byte-range lock. The caller has emptied what
  // it kept in the slot. Does nothing in a forked child or when no slot is claimed.
  void release() noexcept;

  [[nodiscard]] bool has_slot() const noexcept { return slot_index_ != no_slot; }
  [[nodiscard]] std::uint32_t slot_index() const noexcept { return slot_index_; }
  // The token of the calling thread: this table's token base and the thread's tag.
  [[nodiscard]] std::uint64_t token() const noexcept { return token_base_ | current_thread_tag(); }
  [[nodiscard]] std::uint64_t token_base() const noexcept { return token_base_; }
  // Whether the claimed slot had been left in use by an owner that died (its records need repair).
  [[nodiscard]] bool took_over_dead_slot() const noexcept { return took_over_dead_slot_; }
  [[nodiscard]] bool belongs_to_this_process() const noexcept { return fork_generation_ == fork_generation(); }

  // Whether the holder named by `token` may still be alive: its slot has the token's generation and
  // its claim is alive (see is_claim_alive; this process's own slot: always alive). A token that
  // names no slot of the table is dead. While the lock is held: three system calls, no /proc.
  [[nodiscard]] bool is_holder_alive(std::uint64_t token) const noexcept;
  // Whether slot `index` is claimed by a live owner now (a dead or free slot: false).
  [[nodiscard]] bool is_slot_alive(std::uint32_t index) const noexcept;

  // Gives a new description of the memory file its tag (a position no other description of this
  // process has) and reads its identity. false (errno set) on failure.
  [[nodiscard]] static bool tag_description(FileHandle file, platform::FileIdentity& identity) noexcept;
  // The memory file's device and inode: what every descriptor of it names.
  [[nodiscard]] platform::FileIdentity file_identity() const noexcept {
    return {identity_.device, identity_.inode, 0};
  }

  [[nodiscard]] ProcessSlot* slot(std::uint32_t index) const noexcept;
  [[nodiscard]] ProcessSlot* own_slot() const noexcept { return slot(slot_index_); }
  [[nodiscard]] std::uint32_t slot_count() const noexcept { return slot_count_; }
  // The heap's end as it was checked against the mapping when this process opened the file: a later
  // write to the file's copy cannot enlarge what this process touches.
  [[nodiscard]] std::uint64_t heap_end() const noexcept { return heap_end_; }
  void set_heap_end(std::uint64_t heap_end) noexcept { heap_end_ = heap_end; }
  // Every slot ever claimed lies below this (a snapshot).
  [[nodiscard]] std::uint32_t high_water() const noexcept;

  // In a forked child: closes the child's copy of the description that holds the parent's claim, so
  // that the parent's death can be seen. Only the fork handler calls it.
  void forget_after_fork() noexcept;

  inline static constexpr std::uint32_t no_slot = 0xFFFFFFFF;

 private:
  [[nodiscard]] ProcessTableHeader* header() const noexcept;
  // Whether the claim of slot `index` made with `generation` is alive: its byte-range lock is held,
  // or /proc shows its owner running; where /proc cannot tell, the lock alone decides, and a
  // question that cannot be asked counts as alive (nothing is ever taken over on a doubt).
  [[nodiscard]] bool is_claim_alive(std::uint32_t index, std::uint32_t generation) const noexcept;
  // What /proc says of the owner of the claim of slot `index` made with `generation` (gone when the
  // slot has been claimed again since).
  [[nodiscard]] platform::ProcessState owner_state(std::uint32_t index,
                                                   std::uint32_t generation) const noexcept;
  // The description to ask through, when it is still ours, else one opened again (invalid_handle
  // when the file cannot be opened again).
  [[nodiscard]] FileHandle liveness_file() const noexcept;
  [[nodiscard]] FileHandle reopen_liveness_file(FileHandle lost) const noexcept;
  // Takes this process's byte-range lock on its slot again through `file`.
  void retake_claim(FileHandle file) const noexcept;

  std::byte* table_;
  std::uint32_t slot_count_;
  std::uint64_t lock_base_;
  // The description that holds the claim: replaced (never closed) when the application closed it.
  mutable std::atomic<FileHandle> liveness_file_;
  platform::FileIdentity identity_;  // of the description, its tag included; every replacement has it
  std::string path_;
  platform::ProcessIdentity own_identity_;  // this process's, read when it claims
  mutable std::atomic<bool> needs_relock_{false};  // the claim's lock could not be taken again yet
  alignas(8) mutable std::uint64_t reopen_lock_ = lock_word_free;  // process-local: one reopener at a time
  std::uint32_t slot_index_ = no_slot;
  std::uint64_t token_base_ = 0;
  bool took_over_dead_slot_ = false;
  std::uint64_t fork_generation_;
  std::uint64_t heap_end_ = 0;
};

// The process table of the mapping whose heap base is `heap` in this process, or null.
[[nodiscard]] ProcessTable* process_table_of(Allocator heap) noexcept;
// The heap's end for this process: as checked when the file was opened (the file's copy only for a
// heap with no process table, which only tests make).
[[nodiscard]] std::uint64_t heap_end_of(Allocator heap) noexcept;

// ---------------------------------------------------------------------------------------------
// Changes that survive the death of their maker
//
// A process may die between any two of its stores. A change to shared records that must stay valid
// at every store is written as a sequence of stores, each leaving the records valid, with
// crash_order_barrier between them: it keeps the compiler from moving memory accesses across it,
// and a dead process's stores up to its death are all visible, in that order, to whoever takes its
// lock over (the kernel drains them before the death can be observed).
inline void crash_order_barrier() noexcept { std::atomic_signal_fence(std::memory_order_seq_cst); }

// Stores two adjacent words, 16-byte aligned, with one instruction: a process dies before or after
// it, never between the two words. (For other processes' loads it is not atomic: use it for records
// that only their owner reads while it lives.) Where no such instruction is known it stores the
// words one by one, and a death between them can leave the pair half written.
inline void store_word_pair(void* address, std::uint64_t first, std::uint64_t second) noexcept {
#if defined(__x86_64__)
  const __m128i pair = _mm_set_epi64x(static_cast<long long>(second), static_cast<long long>(first));
  _mm_store_si128(static_cast<__m128i*>(address), pair);
#elif defined(__aarch64__)
  asm volatile("stp %1, %2, [%0]" : : "r"(address), "r"(first), "r"(second) : "memory");
#else
  auto* words = static_cast<std::uint64_t*>(address);
  words[0] = first;
  words[1] = second;
#endif
}

// Crash points: builds for tests (CORVANA_CRASH_POINTS) can kill the process, with SIGKILL, at a
// named point inside a critical section, so that tests can check what survivors find. A point is
// armed by the environment (CORVANA_CRASH_AT=<name>, CORVANA_CRASH_SKIP=<hits to let pass>, read
// at the first point reached, and again in a forked child) or by arm_crash_point. Other builds
// compile every point to nothing.
#ifdef CORVANA_CRASH_POINTS
inline constexpr bool crash_points_built = true;
void crash_point_reached(const char* name) noexcept;
// Arms `name` (null: disarms): the process kills itself at its (skip + 1)-th hit.
void arm_crash_point(const char* name, std::uint64_t skip) noexcept;
#else
inline constexpr bool crash_points_built = false;
inline void crash_point_reached(const char*) noexcept {}
#endif
inline void crash_point(const char* name) noexcept {
  if constexpr (crash_points_built) {
    crash_point_reached(name);
  }
}

// ---------------------------------------------------------------------------------------------
// Slab chunks
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
