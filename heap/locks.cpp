// Owned lock words and the waits for them (see heap/locks.hpp).
//
// How a contended wait goes: a short spin with the processor's pause (a holder usually leaves within
// a microsecond), then the interpreter lock is given away and the waiter sleeps on the word's low 32
// bits, after marking the word contended so that its holder's release wakes it. Each sleep lasts at
// most sleep_slice: after liveness_grace of waiting, and every liveness_interval from then on, the
// waiter asks whether the holder is alive (one system call) and takes a dead holder's word over.
// Pending signals are looked at after every wake that a signal caused and every
// signal_wait_interval_ns (see Interrupt for what that does in each kind of wait), and a deadline
// after every sleep.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstdint>

#include "heap/heap.hpp"

namespace corvana {

namespace {

constexpr int spin_rounds = 64;
constexpr std::uint64_t liveness_grace_ns = 2'000'000;
constexpr std::uint64_t liveness_interval_ns = 4'000'000;
constexpr unsigned sleep_slice_us = 4'000;

std::atomic<std::uint32_t> thread_tags_given{0};

// The half of a lock word its waiters sleep on: the low 32 bits, the first four bytes of a
// little-endian word, which hold the contended mark.
const std::uint32_t* sleep_word_of(const std::uint64_t* word) noexcept {
  return reinterpret_cast<const std::uint32_t*>(word);
}

}  // namespace

LockAcquired acquire_contended_lock_word(std::uint64_t* address, std::uint64_t token, const ProcessTable* liveness,
                                         WaitLimits limits) {
  const std::atomic_ref<std::uint64_t> word(*address);
  for (int round = 0; round < spin_rounds; ++round) {
    platform::cpu_pause();
    // relaxed: only a hint of when to try; the compare-and-set orders
    if (word.load(std::memory_order_relaxed) == lock_word_free && try_acquire_lock_word(address, token)) {
      return {};
    }
  }
  // The holder may be a thread of this process that needs the interpreter lock to get where it
  // releases the word: the lock is given away for the whole wait.
  InterpreterLockRelease interpreter_lock;
  const std::uint64_t started = platform::monotonic_nanoseconds();
  std::uint64_t next_liveness = started + liveness_grace_ns;
  std::uint64_t next_signal_check = started + signal_wait_interval_ns;
  while (true) {
    // relaxed: the compare-and-sets below order
    std::uint64_t seen = word.load(std::memory_order_relaxed);
    if (seen == lock_word_free) {
      // Whoever takes a word after sleeping keeps it marked: others may still sleep on it.
      if (try_acquire_lock_word(address, token | lock_contended)) {
        return {};
      }
      continue;
    }
    if ((seen & lock_contended) == 0) {
      // relaxed: the mark only asks the holder to wake us; it publishes nothing
      if (!word.compare_exchange_weak(seen, seen | lock_contended, std::memory_order_relaxed,
                                      std::memory_order_relaxed)) {
        continue;
      }
      seen |= lock_contended;
    }
    const bool signalled =
        platform::wait_on_word(sleep_word_of(address), static_cast<std::uint32_t>(seen), sleep_slice_us);
    const std::uint64_t now = platform::monotonic_nanoseconds();
    const bool past_deadline = limits.deadline_ns != 0 && now >= limits.deadline_ns;
    if (liveness != nullptr && (now >= next_liveness || past_deadline)) {
      next_liveness = now + liveness_interval_ns;
      crash_point("lock.liveness");
      // acquire: the holder named by the word is asked about after the word was read
      seen = word.load(std::memory_order_acquire);
      if (seen != lock_word_free && !liveness->is_holder_alive(lock_holder(seen))) {
        // acquire: what the dead holder wrote before it died is what the repair reads
        if (word.compare_exchange_strong(seen, token | lock_contended, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
          return {true, lock_holder(seen)};
        }
      }
    }
    if (past_deadline) {
      throw LockTimeout();
    }
    if (limits.interrupt == Interrupt::retreat && (signalled || now >= next_signal_check)) {
      throw WaitRetreat();
    }
    if (limits.interrupt == Interrupt::when_free && (signalled || now >= next_signal_check)) {
      next_signal_check = now + signal_wait_interval_ns;
      interpreter_lock.check_signals();
    }
  }
}

std::uint64_t deadline_after(std::uint64_t timeout_ns) noexcept {
  if (timeout_ns == 0) {
    return 0;
  }
  const std::uint64_t now = platform::monotonic_nanoseconds();
  return timeout_ns > ~now ? ~std::uint64_t{0} : now + timeout_ns;
}

void check_deadline(std::uint64_t deadline_ns) {
  if (deadline_ns != 0 && platform::monotonic_nanoseconds() >= deadline_ns) {
    throw LockTimeout();
  }
}

[[gnu::tls_model("initial-exec")]] thread_local std::uint16_t this_thread_tag = 0;

std::uint16_t give_thread_tag() noexcept {
  // relaxed: tags only need to differ; nothing is published through the counter
  const std::uint32_t given = thread_tags_given.fetch_add(1, std::memory_order_relaxed);
  this_thread_tag = static_cast<std::uint16_t>(given % lock_thread_mask + 1);
  return this_thread_tag;
}

void wake_lock_word_sleepers(std::uint64_t* word) noexcept { platform::wake_word_waiters(sleep_word_of(word)); }

void sleep_while_word_is(const std::uint64_t* word, std::uint64_t seen, unsigned slice_us) noexcept {
  InterpreterLockRelease interpreter_lock;
  platform::wait_on_word(sleep_word_of(word), static_cast<std::uint32_t>(seen), slice_us);
}

std::uint64_t local_lock_token() noexcept { return local_lock_base | current_thread_tag(); }

void lock_word(std::uint64_t* word) noexcept {
  // A wait that cannot be interrupted and has no liveness to ask neither throws nor takes over.
  static_cast<void>(acquire_lock_word(word, local_lock_token(), nullptr, Interrupt::never));
}

void unlock_word(std::uint64_t* word) noexcept { release_lock_word(word); }

#ifdef CORVANA_LOCK_ORDER_CHECKS

namespace {

// Locks of each rank this thread holds now.
thread_local std::uint8_t held_by_rank[static_cast<int>(LockRank::count)] = {};

const char* rank_name(int rank) noexcept {
  static const char* const names[] = {"writer record", "expansion_lock", "bucket", "cache", "heap", "liveness"};
  return names[rank];
}

[[noreturn]] void order_broken(int taking, int held) noexcept {
  std::fprintf(stderr, "corvana: lock order broken: taking a %s lock while holding a %s lock\n", rank_name(taking),
               rank_name(held));
  std::abort();
}

}  // namespace

void enter_lock_rank(LockRank rank) noexcept {
  const int taking = static_cast<int>(rank);
  for (int held = taking; held < static_cast<int>(LockRank::count); ++held) {
    if (held_by_rank[held] != 0 && !(held == taking && rank == LockRank::bucket)) {
      order_broken(taking, held);
    }
  }
  if (rank == LockRank::bucket && held_by_rank[static_cast<int>(LockRank::expansion)] != 0) {
    order_broken(taking, static_cast<int>(LockRank::expansion));
  }
  ++held_by_rank[taking];
}

void leave_lock_rank(LockRank rank) noexcept { --held_by_rank[static_cast<int>(rank)]; }

#endif

}  // namespace corvana
