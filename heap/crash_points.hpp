// Changes that survive the death of their maker: the ordering barrier between the stores of such a
// change, the two-word store a death cannot split, and the crash points that tests use to kill a
// process at a named store. Private to the heap layer; other layers include heap/heap.hpp.
#pragma once

#include <atomic>
#include <cstdint>
#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace corvana {

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
// Arms `name` so that the process stops (SIGSTOP) at its (skip + 1)-th hit instead, alive and
// holding what it holds, and goes on from there once it gets SIGCONT; it stops once.
void arm_stop_point(const char* name, std::uint64_t skip) noexcept;
#else
inline constexpr bool crash_points_built = false;
inline void crash_point_reached(const char*) noexcept {}
#endif
inline void crash_point(const char* name) noexcept {
  if constexpr (crash_points_built) {
    crash_point_reached(name);
  }
}

}  // namespace corvana
