// The process table and owned lock words across real processes: claims, generations, what a killed
// process leaves, what a forked child must not keep, and waits for holders that die or stop.
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include "heap/heap_layout.hpp"
#include "tests/heap/heap_test_support.hpp"

namespace corvana {
namespace {

using testing_support::check_heap;
using testing_support::MemoryFileTest;

// Runs `body` in a forked child, which ends with _exit(0) unless the body ends it otherwise.
template <class Body>
pid_t fork_child(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  return pid;
}

// How the child ended: its exit status, or 128 + the signal that killed it.
int wait_for(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One more mapping of the fixture's file (a slot of its own), closed by the destructor.
struct Mapping {
  Allocator heap = nullptr;
  FileHandle file = platform::invalid_handle;
  MappingHandle mapping = platform::invalid_handle;
  explicit Mapping(const std::string& path) { heap = create_memory_file(1, path.c_str(), 0, file, mapping); }
  ~Mapping() { close_memory_file(heap, file, mapping); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  [[nodiscard]] ProcessTable& table() const { return *process_table_of(heap); }
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class ProcessTableTest : public MemoryFileTest {
 protected:
  [[nodiscard]] ProcessTable& table() const { return *process_table_of(heap_); }
};

TEST_F(ProcessTableTest, ClaimsTheLowestFreeSlotAndRaisesItsGenerationOnEveryClaim) {
  ASSERT_TRUE(table().has_slot());
  EXPECT_EQ(table().slot_index(), 0u);
  std::uint64_t first_token = 0;
  {
    Mapping second(path_);
    ASSERT_NE(second.heap, nullptr) << heap_last_error();
    EXPECT_EQ(second.table().slot_index(), 1u);
    EXPECT_FALSE(second.table().took_over_dead_slot());
    first_token = second.table().token();
    EXPECT_TRUE(table().is_holder_alive(first_token)) << "another mapping of this process holds it";
    EXPECT_TRUE(table().is_slot_alive(1));
    EXPECT_EQ(table().high_water(), 2u);
  }
  EXPECT_FALSE(table().is_slot_alive(1)) << "a closed mapping gave its slot back";
  EXPECT_FALSE(table().is_holder_alive(first_token));
  Mapping again(path_);
  ASSERT_NE(again.heap, nullptr);
  EXPECT_EQ(again.table().slot_index(), 1u);
  EXPECT_EQ(token_generation(again.table().token()), token_generation(first_token) + 1);
  EXPECT_FALSE(table().is_holder_alive(first_token)) << "the former owner's token names the old generation";
  EXPECT_TRUE(table().is_holder_alive(again.table().token()));
  EXPECT_FALSE(table().is_holder_alive(make_token_base(process_slot_count - 1, 1) | 1)) << "never claimed";
  EXPECT_FALSE(table().is_holder_alive(make_token_base(4095, 1))) << "no such slot";
}

TEST_F(ProcessTableTest, AKilledProcessLeavesItsSlotAndCachedItemsToWhoeverClaimsItNext) {
  const pid_t child = fork_child([&] {
    Mapping own(path_);
    ChunkCache cache(own.heap, CacheKind::strings, string_unit_, &own.table().own_slot()->caches[1]);
    static_cast<void>(cache.take(1));  // 99 items stay cached, recorded in the slot
    ::kill(::getpid(), SIGKILL);
  });
  ASSERT_EQ(wait_for(child), 128 + SIGKILL);
  EXPECT_FALSE(table().is_slot_alive(1));
  EXPECT_EQ(process_table_of(heap_)->slot(1)->caches[1].count, 99u);
  {
    Mapping heir(path_);
    ASSERT_NE(heir.heap, nullptr);
    EXPECT_EQ(heir.table().slot_index(), 1u);
    EXPECT_TRUE(heir.table().took_over_dead_slot());
    ChunkCache cache(heir.heap, CacheKind::strings, string_unit_, &heir.table().own_slot()->caches[1]);
    EXPECT_EQ(cache.count(), 99u) << "the dead owner's cached items are used, not lost";
    ChunkLink* item = cache.take(99);
    cache.give_back(99, item);
  }
  EXPECT_EQ(process_table_of(heap_)->slot(1)->caches[1].count, 0u) << "a clean close returns them to the heap";
  EXPECT_TRUE(check_heap(heap_));
}

TEST_F(ProcessTableTest, CachedItemsOfAnotherUnitGoBackToTheHeap) {
  const pid_t child = fork_child([&] {
    Mapping own(path_);
    ChunkCache strings(own.heap, CacheKind::strings, string_unit_, &own.table().own_slot()->caches[0]);
    static_cast<void>(strings.take(1));
    ::kill(::getpid(), SIGKILL);
  });
  ASSERT_EQ(wait_for(child), 128 + SIGKILL);
  const std::size_t free_strings = testing_support::free_list_chunks(heap_, testing_support::FreeList::string).size();
  Mapping heir(path_);
  ASSERT_TRUE(heir.table().took_over_dead_slot());
  ChunkCache blocks(heir.heap, CacheKind::blocks, 2, &heir.table().own_slot()->caches[0]);
  EXPECT_EQ(blocks.count(), 0u) << "record blocks are not string chunks: nothing is adopted";
  EXPECT_EQ(testing_support::free_list_chunks(heap_, testing_support::FreeList::string).size(), free_strings + 99);
}

TEST_F(ProcessTableTest, AForkedChildDoesNotKeepItsParentsClaimAlive) {
  int to_child[2];
  ASSERT_EQ(::pipe(to_child), 0);
  const pid_t parent = fork_child([&] {
    Mapping own(path_);
    if (own.table().slot_index() != 1) {
      ::_exit(3);
    }
    const pid_t grandchild = ::fork();
    if (grandchild == 0) {
      char byte = 0;
      static_cast<void>(::read(to_child[0], &byte, 1));  // lives until the test lets it go
      ::_exit(0);
    }
    ::kill(::getpid(), SIGKILL);
  });
  ASSERT_EQ(wait_for(parent), 128 + SIGKILL);
  EXPECT_FALSE(table().is_slot_alive(1)) << "the grandchild still runs, but the claim died with its owner";
  ASSERT_EQ(::write(to_child[1], "x", 1), 1);
  ::close(to_child[0]);
  ::close(to_child[1]);
}

TEST_F(ProcessTableTest, AHeapLockWhoseHolderWasKilledIsTakenOverAtOnce) {
  const pid_t child = fork_child([&] {
    Mapping own(path_);
    layout::HeapLockGuard guard(own.heap);
    ::kill(::getpid(), SIGKILL);
  });
  ASSERT_EQ(wait_for(child), 128 + SIGKILL);
  EXPECT_NE(lock_word_at(layout::heap_lock_word(heap_)).load(), lock_word_free) << "the dead holder's token stays";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(heap_alloc_bytes(heap_, 8), nullptr);
  EXPECT_LT(seconds_since(start), 1.0);
  EXPECT_EQ(lock_word_at(layout::heap_lock_word(heap_)).load(), lock_word_free);
  EXPECT_TRUE(check_heap(heap_));
}

TEST_F(ProcessTableTest, AStoppedHolderKeepsItsLockAndItsWaiterAsleepUntilItGoesOn) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = fork_child([&] {
    Mapping own(path_);
    layout::HeapLockGuard guard(own.heap);
    static_cast<void>(::write(ready[1], "x", 1));
    ::kill(::getpid(), SIGSTOP);  // holds the lock while stopped; releases it after SIGCONT
  });
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  std::atomic<bool> done{false};
  clockid_t waiter_clock{};
  std::atomic<bool> clock_known{false};
  std::thread waiter([&] {
    ASSERT_EQ(::pthread_getcpuclockid(::pthread_self(), &waiter_clock), 0);
    clock_known = true;
    EXPECT_NE(heap_alloc_bytes(heap_, 8), nullptr);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_FALSE(done) << "a stopped holder is alive: its lock is not taken over";
  ASSERT_TRUE(clock_known);
  timespec used{};
  ASSERT_EQ(::clock_gettime(waiter_clock, &used), 0);
  EXPECT_LT(used.tv_sec * 1000.0 + used.tv_nsec / 1e6, 100.0) << "the waiter sleeps instead of spinning";
  ::kill(child, SIGCONT);
  waiter.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(wait_for(child), 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(OwnedLockWord, ProcessLocalWordsExcludeThreadsAndWakeSleepers) {
  alignas(8) std::uint64_t word = lock_word_free;
  std::uint64_t total = 0;  // changed only under the word
  std::vector<std::thread> threads;
  for (int thread = 0; thread < 4; ++thread) {
    threads.emplace_back([&] {
      for (int round = 0; round < 300; ++round) {
        LockWordGuard guard(&word);
        const std::uint64_t seen = total;
        std::this_thread::sleep_for(std::chrono::microseconds(100));  // waiters go to sleep
        total = seen + 1;
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(total, 1200u);
  EXPECT_EQ(word, lock_word_free) << "the contended mark goes with the last release";
}

}  // namespace
}  // namespace corvana
