// Lock words and the waits between attempts, without an interpreter.
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/heap/heap_test_support.hpp"

namespace corvana {
namespace {

TEST(LockWord, GuardReleasesOnEveryExitPath) {
  alignas(8) std::uint64_t word = lock_word_free;
  EXPECT_THROW(
      {
        LockWordGuard guard(&word, LockRank::cache);
        EXPECT_EQ(lock_holder(word), local_lock_token());
        throw std::runtime_error("leaving");
      },
      std::runtime_error);
  EXPECT_EQ(word, lock_word_free);
  {
    LockWordGuard guard(&word, LockRank::cache);
    guard.unlock();
    EXPECT_FALSE(guard.is_held());
    EXPECT_EQ(word, lock_word_free);
  }
  EXPECT_EQ(word, lock_word_free);
}

TEST(LockWord, WaitersGetTheWordInTurnAndExcludeEachOther) {
  for (const int rounds : {20000, 200}) {
    alignas(8) std::uint64_t word = lock_word_free;
    std::uint64_t guarded_total = 0;  // changed only under the word
    std::vector<std::thread> threads;
    for (int thread_index = 0; thread_index < 4; ++thread_index) {
      threads.emplace_back([&] {
        for (int round = 0; round < rounds; ++round) {
          LockWordGuard guard(&word, LockRank::cache);
          const std::uint64_t seen = guarded_total;
          if (rounds < 1000) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));  // holders that sleep
          } else {
            std::this_thread::yield();
          }
          guarded_total = seen + 1;
        }
      });
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
    EXPECT_EQ(guarded_total, 4u * rounds);
    EXPECT_EQ(word, lock_word_free);
  }
}

}  // namespace
}  // namespace corvana

#ifdef CORVANA_LOCK_ORDER_CHECKS
// The checked build stops a thread that takes locks against their order before it can deadlock
// with another: a bucket lock under the heap lock, or a second expansion_lock-ranked hold under a
// bucket. Two bucket locks at once (a bucket and its sibling) are allowed.
TEST(LockOrder, TakingALockAgainstTheOrderAborts) {
  EXPECT_DEATH(
      {
        corvana::enter_lock_rank(corvana::LockRank::heap);
        corvana::enter_lock_rank(corvana::LockRank::bucket);
      },
      "lock order broken: taking a bucket lock while holding a heap lock");
  EXPECT_DEATH(
      {
        corvana::enter_lock_rank(corvana::LockRank::bucket);
        corvana::enter_lock_rank(corvana::LockRank::expansion);
      },
      "taking a expansion_lock lock while holding a bucket lock");
  corvana::enter_lock_rank(corvana::LockRank::bucket);
  corvana::enter_lock_rank(corvana::LockRank::bucket);
  corvana::leave_lock_rank(corvana::LockRank::bucket);
  corvana::leave_lock_rank(corvana::LockRank::bucket);
}
#endif
