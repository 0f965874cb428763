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
        LockWordGuard guard(lock_word_at(&word), LockWait::spin);
        EXPECT_EQ(word, lock_word_held);
        throw std::runtime_error("leaving");
      },
      std::runtime_error);
  EXPECT_EQ(word, lock_word_free);
  {
    LockWordGuard guard(lock_word_at(&word), LockWait::sleep);
    guard.unlock();
    EXPECT_FALSE(guard.is_held());
    EXPECT_EQ(word, lock_word_free);
  }
  EXPECT_EQ(word, lock_word_free);
}

TEST(LockWord, WaitersGetTheWordInTurnAndExcludeEachOther) {
  for (LockWait wait : {LockWait::spin, LockWait::sleep}) {
    alignas(8) std::uint64_t word = lock_word_free;
    std::uint64_t guarded_total = 0;  // changed only under the word
    std::vector<std::thread> threads;
    const int rounds = wait == LockWait::spin ? 20000 : 200;
    for (int thread_index = 0; thread_index < 4; ++thread_index) {
      threads.emplace_back([&] {
        for (int round = 0; round < rounds; ++round) {
          LockWordGuard guard(lock_word_at(&word), wait);
          const std::uint64_t seen = guarded_total;
          std::this_thread::yield();
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
