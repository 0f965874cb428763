// Owned lock words and the waits for them: every lock of the heap and the maps is a word that names
// its holder, so that a waiter can tell a holder that is slow or stopped from one that died, take a
// dead holder's word over, and end its wait on Ctrl-C or at a deadline. Private to the heap layer;
// other layers include heap/heap.hpp.
#pragma once

#include <atomic>
#include <cstdint>

#include "heap/errors.hpp"
#include "heap/heap_records.hpp"

namespace corvana {

class ProcessTable;

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

// A wait for a shared 64-bit word to change from `seen` (a value whose low 32 bits differ from any
// it changes to): sleeps, with the interpreter lock given away, until a wake_word_sleepers of the
// word, a signal, or `slice_us` pass, whichever is first; at once when the word differs already.
// The caller looks at the word, at signals and at its deadline after each return.
void sleep_while_word_is(const std::uint64_t* word, std::uint64_t seen, unsigned slice_us) noexcept;
// Wakes every sleeper of sleep_while_word_is on `word`.
inline void wake_word_sleepers(std::uint64_t* word) noexcept { wake_lock_word_sleepers(word); }

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

// The lock order. A thread takes locks in rising rank: it may take a lock only while every lock it
// holds has a lower rank. Bucket locks are the exception: a thread may hold several (a mover, a get
// of a bucket being moved, a walk's group), taken in ascending bucket order, which this check does
// not see. expansion_lock is never held together with a bucket lock, in either order.
//   writer     a map object's writer record (process-local), taken before any bucket
//   expansion  a map's expansion_lock
//   bucket     bucket locks (of either map)
//   cache      a chunk cache's process-local lock
//   heap       the heap lock
//   liveness   the process table's own lock for reopening its liveness description (asked inside
//              every wait, so it is innermost)
enum class LockRank : std::uint8_t { writer, expansion, bucket, cache, heap, liveness, count };

// Debug and sanitizer builds check the order (CORVANA_LOCK_ORDER_CHECKS): each guard enters its
// rank before it waits and leaves it once it released, and a thread that breaks the order stops
// the process with a message naming both ranks. Other builds compile both to nothing.
#ifdef CORVANA_LOCK_ORDER_CHECKS
void enter_lock_rank(LockRank rank) noexcept;
void leave_lock_rank(LockRank rank) noexcept;
#else
inline void enter_lock_rank(LockRank) noexcept {}
inline void leave_lock_rank(LockRank) noexcept {}
#endif

// Holds a process-local lock word from construction to destruction (or to unlock()).
class LockWordGuard {
 public:
  LockWordGuard(std::uint64_t* word, LockRank rank) noexcept : word_(word), rank_(rank) {
    enter_lock_rank(rank_);
    lock_word(word_);
  }
  ~LockWordGuard() { unlock(); }
  LockWordGuard(const LockWordGuard&) = delete;
  LockWordGuard& operator=(const LockWordGuard&) = delete;
  // Releases early; the destructor then does nothing.
  void unlock() noexcept {
    if (is_held_) {
      is_held_ = false;
      unlock_word(word_);
      leave_lock_rank(rank_);
    }
  }
  [[nodiscard]] bool is_held() const noexcept { return is_held_; }

 private:
  std::uint64_t* word_;
  LockRank rank_;
  bool is_held_ = true;
};

// Holds an owned lock word from construction to destruction (or to unlock()), as the calling
// thread's token of `table` (null, or a table without a slot: a process-local token, never taken
// over). The caller repairs when acquired().took_over.
class OwnedLockGuard {
 public:
  OwnedLockGuard(std::uint64_t* word, const ProcessTable* table, WaitLimits limits, LockRank rank);
  ~OwnedLockGuard() { unlock(); }
  OwnedLockGuard(const OwnedLockGuard&) = delete;
  OwnedLockGuard& operator=(const OwnedLockGuard&) = delete;
  void unlock() noexcept {
    if (is_held_) {
      is_held_ = false;
      release_lock_word(word_);
      leave_lock_rank(rank_);
    }
  }
  [[nodiscard]] bool is_held() const noexcept { return is_held_; }
  [[nodiscard]] const LockAcquired& acquired() const noexcept { return acquired_; }

 private:
  std::uint64_t* word_;
  LockRank rank_;
  LockAcquired acquired_;
  bool is_held_ = false;
};

// The token the calling thread uses for `table` (see OwnedLockGuard).
[[nodiscard]] std::uint64_t owner_token(const ProcessTable* table) noexcept;


}  // namespace corvana
