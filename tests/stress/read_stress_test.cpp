// Gets that read without the bucket lock, against writers that change the same buckets all the
// time, in several processes with several threads each. The parent creates the map, forks processes
// that open it by name, runs threads of its own beside them, and verifies every entry afterwards.
//
// Keys: "churned" keys, each written by one writer only (replaced with values of changing lengths,
// some kept out of line, removed, inserted again), and "stable" keys inserted before the start and
// never changed; both kinds share a few hashes, so that every get reads buckets of long page
// chains that writers keep rebuilding, and pages and string chunks that were freed and reused
// under it. Values are stamped with key, writer and sequence number and are a pure function of
// them, so any value read can be checked whole. Every reader checks that
//   - a stable key is always found, with its value;
//   - a churned key's value, when found, is exactly one its writer wrote for that key;
//   - the sequence numbers it sees for a key never go back (each key has one writer).
// Shapes: a map that keeps doubling under the readers (inserts of growth keys drive it), and a map
// whose heap is full, where changes are made inside pages (entries written into slack and over
// removed entries, entries marked removed where they lie).
// Runs are bounded by time (CORVANA_STRESS_SECONDS, default 3); the seed is printed and can be fixed
// with CORVANA_STRESS_SEED.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "map/map.hpp"
#include "tests/stress/stress_support.hpp"

namespace corvana {
namespace {

using stress::fetch;
using stress::now_ns;

constexpr int child_processes = 2;
constexpr int processes = child_processes + 1;
constexpr int readers_per_process = 2;
constexpr int writers = processes;  // one writer thread per process
constexpr int churned_keys = 60;
constexpr int stable_keys = 24;
constexpr int shared_hashes = 4;     // every churned and stable key has one of these hashes
constexpr int growth_keys = 20000;   // per writer, in the growing shape

enum class Shape { growing, full_heap };

// A writer's last word on each of its keys, readable by the parent after the run.
struct KeyRecord {
  std::uint32_t seq;
  std::uint8_t is_present;
};

struct SharedState {
  std::atomic<int> ready;
  std::atomic<int> start;
  std::atomic<int> failures;
  std::atomic<int> failure_text_taken;
  std::atomic<std::uint64_t> reads_found;
  std::int64_t deadline_ns;  // steady clock, the same in every process
  char first_failure[512];
  KeyRecord keys[churned_keys];
  std::uint32_t growth_inserted[writers];
};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

int writer_of(int key) { return key % writers; }

std::string churned_key(int key) { return "churned-" + std::to_string(key); }
std::string stable_key(int key) { return "stable-" + std::to_string(key); }
std::string growth_key(int writer, std::uint32_t index) {
  return "grow-" + std::to_string(writer) + "-" + std::to_string(index);
}
std::int64_t shared_hash(int key) { return 0x5bd1e995LL * (key % shared_hashes + 1); }
std::int64_t growth_hash(int writer, std::uint32_t index) {
  std::uint64_t value = (static_cast<std::uint64_t>(writer) << 32 | index) + 0x9E3779B97F4A7C15ull;
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
  return static_cast<std::int64_t>(value ^ (value >> 31));
}

// A value of a length that depends on the sequence number: 1 to 700 bytes, some inline, some out of
// line (past 256), its head the stamp "<key>:<writer>:<seq>:".
std::string value_for(const std::string& key, int writer, std::uint32_t seq) {
  std::string value = key + ":" + std::to_string(writer) + ":" + std::to_string(seq) + ":";
  const std::size_t length = (seq * 97u + static_cast<unsigned>(writer) * 13u) % 700u + 1u;
  for (std::size_t index = value.size(); index < length; ++index) {
    value.push_back(static_cast<char>('a' + (index * 7 + seq) % 26));
  }
  return value;
}

// The (writer, seq) a value read for `key` claims, when it is exactly a value that writer wrote for
// the key; nullopt otherwise.
std::optional<std::uint32_t> stamped_seq(const std::string& value, const std::string& key, int writer) {
  const std::string head = key + ":" + std::to_string(writer) + ":";
  if (value.compare(0, head.size(), head) != 0) {
    return std::nullopt;
  }
  const std::uint32_t seq = static_cast<std::uint32_t>(std::strtoul(value.c_str() + head.size(), nullptr, 10));
  if (value != value_for(key, writer, seq)) {
    return std::nullopt;
  }
  return seq;
}

void report_failure(SharedState& shared, const std::string& text) {
  if (shared.failures.fetch_add(1) == 0 && shared.failure_text_taken.exchange(1) == 0) {
    std::snprintf(shared.first_failure, sizeof shared.first_failure, "%s", text.c_str());
  }
  std::fprintf(stderr, "read stress failure (pid %d): %s\n", static_cast<int>(::getpid()), text.c_str());
}

void wait_for_start(SharedState& shared) {
  shared.ready.fetch_add(1);
  while (shared.start.load() == 0) {
    std::this_thread::yield();
  }
}

void run_reader(ConcurrentHashMap_string& map, SharedState& shared, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<std::uint32_t> last_seq(churned_keys, 0);
  std::uint64_t found = 0;
  wait_for_start(shared);
  try {
    while (now_ns() < shared.deadline_ns) {
      if (random() % 4 == 0) {
        const int key = static_cast<int>(random() % stable_keys);
        const auto value = fetch(map, stable_key(key), shared_hash(key));
        if (value != value_for(stable_key(key), writers, static_cast<std::uint32_t>(key))) {
          report_failure(shared, "stable key " + stable_key(key) + " read as " + value.value_or("<absent>"));
        }
        continue;
      }
      const int key = static_cast<int>(random() % churned_keys);
      const auto value = fetch(map, churned_key(key), shared_hash(key));
      if (!value) {
        continue;
      }
      ++found;
      const auto seq = stamped_seq(*value, churned_key(key), writer_of(key));
      if (!seq) {
        report_failure(shared, "churned key " + churned_key(key) + " read as a value nobody wrote: " + *value);
      } else if (*seq < last_seq[key]) {
        report_failure(shared, "churned key " + churned_key(key) + " went back from " +
                                   std::to_string(last_seq[key]) + " to " + std::to_string(*seq));
      } else {
        last_seq[key] = *seq;
      }
    }
  } catch (const std::exception& error) {
    report_failure(shared, std::string("a reader threw: ") + error.what());
  }
  shared.reads_found.fetch_add(found);
}

void run_writer(ConcurrentHashMap_string& map, SharedState& shared, int writer, Shape shape, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  wait_for_start(shared);
  std::uint32_t& grown = shared.growth_inserted[writer];
  try {
    while (now_ns() < shared.deadline_ns) {
      const int key = static_cast<int>(random() % (churned_keys / writers)) * writers + writer;
      KeyRecord& record = shared.keys[key];
      const std::string name = churned_key(key);
      const unsigned action = static_cast<unsigned>(random() % 10);
      try {
        if (action < 7) {
          const std::uint32_t seq = record.seq + 1;
          const std::string value = value_for(name, writer, seq);
          map.insert(name.data(), value.data(), name.size(), value.size(), shared_hash(key));
          record.seq = seq;
          record.is_present = 1;
        } else if (action < 9) {
          const bool removed = map.remove(name.data(), name.size(), shared_hash(key));
          if (removed != (record.is_present != 0)) {
            report_failure(shared, "remove of " + name + " disagrees with its writer's record");
          }
          ++record.seq;  // a later value of the key comes after the removal
          record.is_present = 0;
        } else if (shape == Shape::growing && grown < growth_keys) {
          const std::string grow = growth_key(writer, grown);
          map.insert(grow.data(), grow.data(), grow.size(), grow.size(), growth_hash(writer, grown));
          ++grown;
        }
      } catch (const HeapExhausted&) {
        // A full heap refuses a change that needs room; the entry is as it was.
      }
    }
  } catch (const std::exception& error) {
    report_failure(shared, std::string("writer ") + std::to_string(writer) + " threw: " + error.what());
  }
}

// One process's part: its writer and its readers, on its own map object.
void run_process(const std::string& name, SharedState& shared, int process, Shape shape, std::uint64_t seed) {
  std::string own_name = name;
  ConcurrentHashMap_string map(own_name, 2, 2, 2, 3);
  std::vector<std::thread> threads;
  threads.emplace_back(run_writer, std::ref(map), std::ref(shared), process, shape, seed * 31 + process);
  for (int reader = 0; reader < readers_per_process; ++reader) {
    threads.emplace_back(run_reader, std::ref(map), std::ref(shared), seed * 1009 + process * 17 + reader);
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
}

class ReadStress : public ::testing::TestWithParam<Shape> {
 protected:
  void SetUp() override {
    void* memory = ::mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    shared_ = new (memory) SharedState{};
  }
  void TearDown() override {
    ::munmap(shared_, sizeof(SharedState));
    if (!name_.empty()) {
      std::filesystem::remove(name_);
    }
  }
  SharedState* shared_ = nullptr;
  std::string name_;
};

TEST_P(ReadStress, ReadersWithoutTheLockSeeOnlyWhatWritersWrote) {
  const Shape shape = GetParam();
  const char* seconds_text = std::getenv("CORVANA_STRESS_SECONDS");
  const double seconds = seconds_text != nullptr ? std::atof(seconds_text) : 3.0;
  const char* seed_text = std::getenv("CORVANA_STRESS_SEED");
  const std::uint64_t seed = seed_text != nullptr ? std::strtoull(seed_text, nullptr, 10) : std::random_device{}();
  std::printf("seed %llu\n", static_cast<unsigned long long>(seed));

  // Growing: 4 buckets a chunk and room for many doublings. Full heap: one chunk that never grows,
  // in a heap filled below.
  auto map = shape == Shape::growing ? std::make_unique<ConcurrentHashMap_string>(name_, 2, 4096, 64 << 20, 5)
                                     : std::make_unique<ConcurrentHashMap_string>(name_, 2, 1, 2 << 20, 5);
  for (int key = 0; key < stable_keys; ++key) {
    const std::string name = stable_key(key);
    const std::string value = value_for(name, writers, static_cast<std::uint32_t>(key));
    map->insert(name.data(), value.data(), name.size(), value.size(), shared_hash(key));
  }
  std::vector<std::string> fillers;
  if (shape == Shape::full_heap) {
    // Churned keys first (so that each has a place), then fillers until the heap is full, then some
    // fillers removed again: writers find room only inside pages and in what removes free.
    for (int key = 0; key < churned_keys; ++key) {
      const std::string name = churned_key(key);
      const std::string value = value_for(name, writer_of(key), 1);
      map->insert(name.data(), value.data(), name.size(), value.size(), shared_hash(key));
      shared_->keys[key] = {1, 1};
    }
    try {
      for (int index = 0;; ++index) {
        const std::string name = "filler-" + std::to_string(index);
        map->insert(name.data(), name.data(), name.size(), name.size(), shared_hash(index));
        fillers.push_back(name);
      }
    } catch (const HeapExhausted&) {
    }
    for (std::size_t index = 0; index < fillers.size(); index += 3) {
      ASSERT_TRUE(map->remove(fillers[index].data(), fillers[index].size(), shared_hash(static_cast<int>(index))));
    }
  }
  std::vector<pid_t> children;
  for (int process = 1; process <= child_processes; ++process) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      run_process(name_, *shared_, process, shape, seed);
      ::_exit(0);
    }
    children.push_back(child);
  }
  std::thread own([&] { run_process(name_, *shared_, 0, shape, seed); });
  while (shared_->ready.load() < processes * (readers_per_process + 1)) {
    std::this_thread::yield();
  }
  shared_->deadline_ns = now_ns() + static_cast<std::int64_t>(seconds * 1e9);
  shared_->start.store(1);
  own.join();
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a child process failed: " << status;
  }
  EXPECT_EQ(shared_->failures.load(), 0) << shared_->first_failure;
  EXPECT_GT(shared_->reads_found.load(), 0u);

  // Every key as its writer left it, and the map sound.
  std::uint64_t present = stable_keys;
  for (int key = 0; key < churned_keys; ++key) {
    const KeyRecord& record = shared_->keys[key];
    const auto value = fetch(*map, churned_key(key), shared_hash(key));
    if (record.is_present != 0) {
      ++present;
      EXPECT_EQ(value, value_for(churned_key(key), writer_of(key), record.seq)) << churned_key(key);
    } else {
      EXPECT_EQ(value, std::nullopt) << churned_key(key);
    }
  }
  for (int key = 0; key < stable_keys; ++key) {
    EXPECT_EQ(fetch(*map, stable_key(key), shared_hash(key)),
              value_for(stable_key(key), writers, static_cast<std::uint32_t>(key)));
  }
  for (int writer = 0; writer < writers; ++writer) {
    for (std::uint32_t index = 0; index < shared_->growth_inserted[writer]; ++index) {
      const std::string grow = growth_key(writer, index);
      ASSERT_EQ(fetch(*map, grow, growth_hash(writer, index)), grow);
    }
    present += shared_->growth_inserted[writer];
  }
  present += fillers.size() - (fillers.size() + 2) / 3;
  EXPECT_EQ(map->check().entry_count, present);
  EXPECT_EQ(map->element_count(), present);
  if (shape == Shape::growing) {
    EXPECT_GT(map->bucket_chunk_in_use(), 1u) << "the map doubled under the readers";
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ReadStress, ::testing::Values(Shape::growing, Shape::full_heap),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           return std::string(info.param == Shape::growing ? "GrowingMap" : "FullHeap");
                         });

}  // namespace
}  // namespace corvana
