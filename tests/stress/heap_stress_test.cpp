// Several processes carve and free chunks of every free-listed unit in one heap at once. Each
// process maps the file at its own address, stamps every chunk it owns with its pid and a serial
// number over the whole payload, and checks the stamp (and the chunk header) while it holds the
// chunk and before it frees it: a chunk handed to two owners would show another owner's stamp.
// Afterwards the parent checks the free lists and that every carved byte is accounted for.
//
// Bounded by time: each child works for a fixed period; the parent gives up (and fails) if the
// children have not finished well after it. Seed: CORVANA_STRESS_SEED, else random; printed.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/heap/heap_test_support.hpp"

namespace corvana {
namespace {

using testing_support::check_heap;
using testing_support::free_list_chunks;
using testing_support::FreeList;

constexpr int child_count = 4;
constexpr auto work_period = std::chrono::seconds(3);
constexpr auto give_up_after = std::chrono::seconds(120);
constexpr std::uint8_t string_unit = 64;
constexpr std::uint8_t free_listed_units[] = {link_unit, record_block_unit, string_unit};
constexpr std::size_t max_held_chunks = 96;
constexpr std::size_t max_run = 12;

// Process-shared bookkeeping, in an anonymous shared mapping outside the heap.
struct SharedState {
  std::atomic<int> ready;
  std::atomic<bool> go;
  struct ChildReport {
    std::atomic<std::uint64_t> chunks_carved;
    std::atomic<std::uint64_t> chunks_freed;
    std::atomic<std::uint64_t> out_of_memory;
    std::atomic<std::uint64_t> violations;
  } children[child_count];
};

struct HeldChunk {
  std::byte* chunk;
  std::uint8_t unit;
  std::uint64_t serial;
};

// The stamp: the first 4 bytes the owner's pid, the next 8 the serial, the rest a byte derived
// from both, so that any foreign write anywhere in the payload is seen.
std::byte stamp_filler(std::uint32_t pid, std::uint64_t serial) {
  return static_cast<std::byte>((pid * 131u) ^ static_cast<std::uint32_t>(serial * 7u) ^ 0x5Au);
}

void stamp(const HeldChunk& held, std::uint32_t pid) {
  std::byte* payload = held.chunk + 2;
  std::memset(payload, std::to_integer<int>(stamp_filler(pid, held.serial)), held.unit);
  std::memcpy(payload, &pid, sizeof pid);
  std::memcpy(payload + sizeof pid, &held.serial, sizeof held.serial);
}

bool stamp_holds(const HeldChunk& held, std::uint32_t pid) {
  const std::byte* payload = held.chunk + 2;
  std::uint32_t owner;
  std::uint64_t serial;
  std::memcpy(&owner, payload, sizeof owner);
  std::memcpy(&serial, payload + sizeof owner, sizeof serial);
  if (owner != pid || serial != held.serial) {
    std::fprintf(stderr, "child %u: chunk stamped by pid %u serial %llu, expected serial %llu\n", pid, owner,
                 static_cast<unsigned long long>(serial), static_cast<unsigned long long>(held.serial));
    return false;
  }
  const std::byte filler = stamp_filler(pid, held.serial);
  for (std::size_t byte = sizeof owner + sizeof serial; byte < held.unit; ++byte) {
    if (payload[byte] != filler) {
      std::fprintf(stderr, "child %u: payload byte %zu of serial %llu was overwritten\n", pid, byte,
                   static_cast<unsigned long long>(held.serial));
      return false;
    }
  }
  if (std::to_integer<std::uint8_t>(held.chunk[0]) != chunk_size_for_unit(held.unit) ||
      std::to_integer<std::uint8_t>(held.chunk[1]) != held.unit) {
    std::fprintf(stderr, "child %u: chunk header of serial %llu was overwritten\n", pid,
                 static_cast<unsigned long long>(held.serial));
    return false;
  }
  return true;
}

// One child: opens the heap by path (its own mapping address), waits for the start, then carves and
// frees at random until its period ends, and finally frees everything it holds.
int run_child(const std::string& path, std::uint64_t file_length, std::uint64_t seed, SharedState& shared,
              int child_index) {
  FileHandle file = platform::invalid_handle;
  MappingHandle mapping = platform::invalid_handle;
  Allocator heap = create_memory_file(file_length, path.c_str(), 0, file, mapping);
  if (heap == nullptr) {
    std::fprintf(stderr, "child %d: cannot open the heap: %s\n", child_index, heap_last_error());
    return 2;
  }
  auto& report = shared.children[child_index];
  const auto pid = static_cast<std::uint32_t>(::getpid());
  std::mt19937_64 random(seed + static_cast<std::uint64_t>(child_index));
  std::vector<HeldChunk> held;
  std::uint64_t serial = 0;
  std::uint64_t violations = 0;

  const auto release = [&](std::size_t index) {
    if (!stamp_holds(held[index], pid)) {
      ++violations;
    }
    if (!heap_free(heap, held[index].chunk + 2)) {
      std::fprintf(stderr, "child %u: heap_free refused a chunk of unit %d\n", pid, held[index].unit);
      ++violations;
    }
    held[index] = held.back();
    held.pop_back();
    report.chunks_freed.fetch_add(1, std::memory_order_relaxed);
  };

  shared.ready.fetch_add(1);
  while (!shared.go.load()) {
    std::this_thread::yield();
  }
  const auto deadline = std::chrono::steady_clock::now() + work_period;
  for (std::uint64_t step = 0; std::chrono::steady_clock::now() < deadline; ++step) {
    const bool wants_more = held.size() < max_held_chunks && random() % 3 != 0;
    if (wants_more || held.empty()) {
      const std::uint8_t unit = free_listed_units[random() % 3];
      const std::size_t count = 1 + random() % max_run;
      errno = 0;
      std::byte* chunk = heap_alloc_chunks(heap, count, unit);
      if (chunk == nullptr) {
        const char* text = heap_last_error();
        if (errno != ENOMEM || text == nullptr || std::strcmp(text, "mm:alloc: out of memory") != 0) {
          std::fprintf(stderr, "child %u: allocation failed with errno %d, text %s\n", pid, errno,
                       text == nullptr ? "(null)" : text);
          ++violations;
        }
        report.out_of_memory.fetch_add(1, std::memory_order_relaxed);
        for (std::size_t freed = held.size() / 2; freed > 0; --freed) {
          release(random() % held.size());
        }
        continue;
      }
      for (std::size_t index = 0; index < count; ++index) {
        std::uint64_t next_offset;
        std::memcpy(&next_offset, chunk + 2, sizeof next_offset);  // read before the stamp covers it
        if (std::to_integer<std::uint8_t>(chunk[1]) != unit) {
          std::fprintf(stderr, "child %u: handed a chunk of unit %d for unit %d\n", pid,
                       std::to_integer<int>(chunk[1]), unit);
          ++violations;
        }
        held.push_back({chunk, unit, ++serial});
        stamp(held.back(), pid);
        chunk = heap + next_offset;
      }
      report.chunks_carved.fetch_add(count, std::memory_order_relaxed);
    } else {
      release(random() % held.size());
    }
    if (step % 256 == 0) {
      for (const HeldChunk& chunk : held) {
        if (!stamp_holds(chunk, pid)) {
          ++violations;
        }
      }
    }
  }
  while (!held.empty()) {
    release(held.size() - 1);
  }
  report.violations.store(violations);
  close_memory_file(heap, file, mapping);
  return violations == 0 ? 0 : 1;
}

std::uint64_t choose_seed() {
  if (const char* text = std::getenv("CORVANA_STRESS_SEED"); text != nullptr && text[0] != '\0') {
    return std::strtoull(text, nullptr, 0);
  }
  return std::random_device{}();
}

class HeapStress : public testing_support::MemoryFileTest {
 protected:
  // Small enough that the processes run the heap dry now and then, which exercises the return of
  // partly served requests under contention.
  HeapStress() {
    heap_size_ = 32 << 10;
    string_unit_ = string_unit;
  }
};

TEST_F(HeapStress, ProcessesCarvingAndFreeingAtOnceNeverShareAChunk) {
  const std::uint64_t seed = choose_seed();
  std::printf("heap stress seed: %llu (set CORVANA_STRESS_SEED to repeat)\n", static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  RecordProperty("seed", std::to_string(seed));

  void* shared_memory = ::mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared_memory, MAP_FAILED);
  auto* shared = new (shared_memory) SharedState{};
  std::uint64_t file_length = 0;
  ASSERT_TRUE(platform::file_length(path_.c_str(), file_length));

  std::vector<pid_t> children;
  for (int child_index = 0; child_index < child_count; ++child_index) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0) << std::strerror(errno);
    if (pid == 0) {
      ::_exit(run_child(path_, file_length, seed, *shared, child_index));
    }
    children.push_back(pid);
  }
  const auto give_up = std::chrono::steady_clock::now() + give_up_after;
  while (shared->ready.load() < child_count && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  shared->go.store(true);

  std::vector<int> statuses(child_count, -1);
  int finished = 0;
  while (finished < child_count && std::chrono::steady_clock::now() < give_up) {
    for (int child_index = 0; child_index < child_count; ++child_index) {
      if (statuses[child_index] != -1) {
        continue;
      }
      int status = 0;
      if (::waitpid(children[child_index], &status, WNOHANG) == children[child_index]) {
        statuses[child_index] = status;
        ++finished;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (int child_index = 0; child_index < child_count; ++child_index) {
    if (statuses[child_index] == -1) {
      ::kill(children[child_index], SIGKILL);
      ::waitpid(children[child_index], nullptr, 0);
      ADD_FAILURE() << "child " << child_index << " did not finish in time";
      continue;
    }
    EXPECT_TRUE(WIFEXITED(statuses[child_index]) && WEXITSTATUS(statuses[child_index]) == 0)
        << "child " << child_index << " status " << statuses[child_index];
    const auto& report = shared->children[child_index];
    std::printf("child %d: %llu chunks carved, %llu freed, %llu out of memory\n", child_index,
                static_cast<unsigned long long>(report.chunks_carved.load()),
                static_cast<unsigned long long>(report.chunks_freed.load()),
                static_cast<unsigned long long>(report.out_of_memory.load()));
    EXPECT_EQ(report.violations.load(), 0u) << "child " << child_index;
    EXPECT_GT(report.chunks_carved.load(), 0u) << "child " << child_index;
    EXPECT_EQ(report.chunks_carved.load(), report.chunks_freed.load()) << "child " << child_index;
  }

  const HeapHeader header = testing_support::read_heap_header(heap_);
  EXPECT_LE(testing_support::value_of(header.heap_next), testing_support::value_of(header.heap_end));
  ASSERT_TRUE(check_heap(heap_));
  // Every chunk was freed at the end, so the lists hold every carved byte exactly once.
  std::uint64_t listed_bytes = 0;
  for (FreeList list : {FreeList::string, FreeList::links, FreeList::record_blocks}) {
    for (std::uint64_t chunk_offset : free_list_chunks(heap_, list)) {
      listed_bytes += testing_support::chunk_header_at(heap_, chunk_offset).chunk_size;
    }
  }
  EXPECT_EQ(listed_bytes, static_cast<std::uint64_t>(header.heap_next) - 64);
  EXPECT_EQ(testing_support::value_of(testing_support::read_file_header(heap_).heap_lock), 0);
  ::munmap(shared_memory, sizeof(SharedState));
}

}  // namespace
}  // namespace corvana
