// The process table and owned lock words across real processes: claims, generations, what a killed
// process leaves, what a forked child must not keep, and waits for holders that die or stop.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <chrono>
#include <ctime>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

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

// Chunks on the shared free list of a slab class (a list of runs).
std::uint64_t shared_free_chunks(Allocator heap, std::uint32_t klass) {
  const SlabView view = slab_view(heap);
  std::uint64_t count = 0;
  for (auto run = static_cast<std::uint64_t>(view.header->free_heads[klass]); run != 0;) {
    FreeRunHead head;
    std::memcpy(&head, heap + run, sizeof head);
    count += head.count;
    run = static_cast<std::uint64_t>(head.next_run);
  }
  return count;
}

TEST_F(ProcessTableTest, AKilledProcessLeavesItsSlotAndCachedChunksToWhoeverClaimsItNext) {
  constexpr std::uint32_t klass = 1;
  const pid_t child = fork_child([&] {
    Mapping own(path_);
    SlabCache cache(own.heap, slab_view(own.heap), klass, &own.table().own_slot()->slab_caches[0][klass]);
    static_cast<void>(cache.take());  // the rest of a new slab stays cached, recorded in the slot
    ::kill(::getpid(), SIGKILL);
  });
  ASSERT_EQ(wait_for(child), 128 + SIGKILL);
  EXPECT_FALSE(table().is_slot_alive(1));
  const std::uint64_t cached = process_table_of(heap_)->slot(1)->slab_caches[0][klass].count;
  const std::uint64_t slab_chunks = (std::uint64_t{1} << slab_view(heap_).slab_shift) / slab_class_bytes(klass);
  EXPECT_GT(cached, 0u);
  EXPECT_EQ(cached + 1 + shared_free_chunks(heap_, klass), slab_chunks) << "the rest of the slab is shared";
  {
    Mapping heir(path_);
    ASSERT_NE(heir.heap, nullptr);
    EXPECT_EQ(heir.table().slot_index(), 1u);
    EXPECT_TRUE(heir.table().took_over_dead_slot());
    SlabCache cache(heir.heap, slab_view(heir.heap), klass, &heir.table().own_slot()->slab_caches[0][klass]);
    EXPECT_EQ(cache.count(), cached) << "the dead owner's cached chunks are used, not lost";
    const Offset chunk = cache.take();
    EXPECT_EQ(slab_chunk_class(heir.heap, slab_view(heir.heap), chunk), klass);
    cache.give_back(chunk);
  }
  EXPECT_EQ(process_table_of(heap_)->slot(1)->slab_caches[0][klass].count, 0u);
  EXPECT_EQ(shared_free_chunks(heap_, klass), slab_chunks - 1)
      << "a clean close returns them to the shared list (all but the one the dead process took)";
  EXPECT_TRUE(check_heap(heap_));
}

TEST_F(ProcessTableTest, AForkedChildDoesNotKeepItsParentsClaimAlive) {
  int to_child[2];
  int running[2];
  ASSERT_EQ(::pipe(to_child), 0);
  ASSERT_EQ(::pipe(running), 0);
  const pid_t parent = fork_child([&] {
    Mapping own(path_);
    if (own.table().slot_index() != 1) {
      ::_exit(3);
    }
    const pid_t grandchild = ::fork();
    if (grandchild == 0) {
      // From fork() until here the child holds its copy of the parent's claim; the fork handler
      // lets go of it before the child's own code runs.
      static_cast<void>(::write(running[1], "x", 1));
      char byte = 0;
      static_cast<void>(::read(to_child[0], &byte, 1));  // lives until the test lets it go
      ::_exit(0);
    }
    char byte = 0;
    static_cast<void>(::read(running[0], &byte, 1));
    ::kill(::getpid(), SIGKILL);
  });
  ASSERT_EQ(wait_for(parent), 128 + SIGKILL);
  EXPECT_FALSE(table().is_slot_alive(1)) << "the grandchild still runs, but the claim died with its owner";
  ASSERT_EQ(::write(to_child[1], "x", 1), 1);
  for (const int descriptor : {to_child[0], to_child[1], running[0], running[1]}) {
    ::close(descriptor);
  }
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

// A pipe, closed at the end of the test (a forked child gets copies).
struct Pipe {
  int ends[2] = {-1, -1};
  Pipe() { EXPECT_EQ(::pipe(ends), 0); }
  ~Pipe() {
    ::close(ends[0]);
    ::close(ends[1]);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  void send(char byte) const { static_cast<void>(::write(ends[1], &byte, 1)); }
  [[nodiscard]] char receive() const {
    char byte = 0;
    return ::read(ends[0], &byte, 1) == 1 ? byte : '\0';
  }
};

// Closes every descriptor from 3 on but `kept`, as daemonising code does.
void close_descriptors_except(std::initializer_list<int> kept) {
  for (int descriptor = 3; descriptor < 4096; ++descriptor) {
    if (std::find(kept.begin(), kept.end(), descriptor) == kept.end()) {
      ::close(descriptor);
    }
  }
}

// The owner identity recorded in a slot, to change and put back.
OwnerIdentity owner_of(const ProcessSlot* slot) {
  OwnerIdentity owner;
  std::memcpy(&owner, reinterpret_cast<const std::byte*>(slot) + offsetof(ProcessSlot, owner), sizeof owner);
  return owner;
}
void set_owner(ProcessSlot* slot, const OwnerIdentity& owner) {
  std::memcpy(reinterpret_cast<std::byte*>(slot) + offsetof(ProcessSlot, owner), &owner, sizeof owner);
}

char process_state_letter(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t name_end = line.rfind(')');
  return name_end == std::string::npos || name_end + 2 >= line.size() ? '?' : line[name_end + 2];
}

TEST_F(ProcessTableTest, AnOwnerThatClosedItsDescriptorsStaysAliveUntilItEnds) {
  const Pipe ready;
  const Pipe go;
  const pid_t child = fork_child([&] {
    Mapping own(path_);
    close_descriptors_except({ready.ends[1], go.ends[0]});
    ready.send(own.table().slot_index() == 1 ? '1' : 'x');
    static_cast<void>(go.receive());
    ::_exit(0);  // ends without giving the slot back
  });
  ASSERT_EQ(ready.receive(), '1');
  ProcessSlot* slot = table().slot(1);
  const std::uint64_t token = make_token_base(1, static_cast<std::uint32_t>(slot->generation)) | 1;
  EXPECT_TRUE(table().is_slot_alive(1)) << "its lock is gone, but the process runs";
  EXPECT_TRUE(table().is_holder_alive(token));
  {
    Mapping other(path_);
    EXPECT_EQ(other.table().slot_index(), 2u) << "a live owner's slot is not claimed";
  }
  // The same slot, as it would read had the owner ended and another process been given its pid, or
  // had it run before the last boot; /proc of another PID namespace cannot tell, and the lock decides.
  const OwnerIdentity recorded = owner_of(slot);
  for (const int change : {0, 1, 2}) {
    OwnerIdentity changed = recorded;
    changed.start_time += change == 0 ? 1 : 0;
    changed.boot_id[0] ^= change == 1 ? 1 : 0;
    changed.pid_namespace += change == 2 ? 1 : 0;
    set_owner(slot, changed);
    EXPECT_FALSE(table().is_slot_alive(1)) << "change " << change;
    EXPECT_FALSE(table().is_holder_alive(token)) << "change " << change;
  }
  set_owner(slot, recorded);
  EXPECT_TRUE(table().is_slot_alive(1));
  go.send('x');
  const auto start = std::chrono::steady_clock::now();
  while (process_state_letter(child) != 'Z' && seconds_since(start) < 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(table().is_holder_alive(token)) << "a zombie is dead";
  EXPECT_EQ(wait_for(child), 0);
  EXPECT_FALSE(table().is_holder_alive(token));
  Mapping heir(path_);
  EXPECT_EQ(heir.table().slot_index(), 1u);
  EXPECT_TRUE(heir.table().took_over_dead_slot());
}

TEST_F(ProcessTableTest, AnOwnerWhoseDescriptorsWereClosedAndReusedAsksAndClosesOnlyItsOwn) {
  const Pipe ready;
  const Pipe go;
  const pid_t child = fork_child([&] {
    // Exit codes: 1 a question answered wrongly, 2 a descriptor of the application closed.
    auto own = std::make_unique<Mapping>(path_);
    close_descriptors_except({ready.ends[1], go.ends[0]});
    std::vector<int> reused;  // the numbers the mapping had now name another file
    for (int count = 0; count < 8; ++count) {
      reused.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    }
    // Asked through the lock alone (/proc cannot tell of another PID namespace): the fixture's slot
    // is held, slot 2 was never claimed.
    ProcessSlot* fixture_slot = own->table().slot(0);
    OwnerIdentity elsewhere = owner_of(fixture_slot);
    const OwnerIdentity recorded = elsewhere;
    elsewhere.pid_namespace += 1;
    set_owner(fixture_slot, elsewhere);
    const bool answers = own->table().is_slot_alive(0) && !own->table().is_slot_alive(2);
    set_owner(fixture_slot, recorded);
    ready.send(answers ? '1' : 'x');
    static_cast<void>(go.receive());
    own.reset();
    for (const int descriptor : reused) {
      if (::fcntl(descriptor, F_GETFD) == -1) {
        ::_exit(2);
      }
    }
    ::_exit(answers ? 0 : 1);
  });
  ASSERT_EQ(ready.receive(), '1');
  // The child took its lock again through the description it opened anew: its slot is alive by the
  // lock alone too.
  ProcessSlot* slot = table().slot(1);
  const OwnerIdentity recorded = owner_of(slot);
  OwnerIdentity elsewhere = recorded;
  elsewhere.pid_namespace += 1;
  set_owner(slot, elsewhere);
  EXPECT_TRUE(table().is_slot_alive(1));
  set_owner(slot, recorded);
  go.send('x');
  EXPECT_EQ(wait_for(child), 0);
  EXPECT_FALSE(table().is_slot_alive(1)) << "a clean close gives the slot back";
}

TEST(OwnedLockWord, ProcessLocalWordsExcludeThreadsAndWakeSleepers) {
  alignas(8) std::uint64_t word = lock_word_free;
  std::uint64_t total = 0;  // changed only under the word
  std::vector<std::thread> threads;
  for (int thread = 0; thread < 4; ++thread) {
    threads.emplace_back([&] {
      for (int round = 0; round < 300; ++round) {
        LockWordGuard guard(&word, LockRank::cache);
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
