// Busy writers killed with SIGKILL at random instants, many rounds, then every completed operation
// verified from the survivors.
//
// Worker processes (two threads each) insert, replace and remove keys of their own: either all
// hashed into a few shared buckets, so that deaths happen while holding bucket locks others wait for,
// or spread over a map that starts with 16 buckets and doubles again and again while they work, so
// that deaths happen inside doublings too. Each thread
// logs every operation in shared memory before it starts (pending) and after it returned
// (completed). The parent kills a random worker every few milliseconds and starts it again; a
// restarted worker first reads back the keys whose operation was cut short and checks that each
// holds either its old or its new value. At the end the parent checks every key, the walk, the
// count and the map's invariants. Bounded by time (CORVANA_STRESS_SECONDS, default 3) and seeded
// (CORVANA_STRESS_SEED, printed).
// In the mode that kills repairers, each worker (in builds with crash points) also dies at a random
// point of the repair of a dead holder's bucket, just after it took the lock over or in the middle,
// and the parent kills a second worker a few milliseconds after each kill, while the survivors take
// the first one's locks over: deaths inside repairs of deaths, many rounds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "map/map.hpp"

namespace corvana {
namespace {

constexpr int worker_count = 3;
constexpr int threads_per_worker = 2;
constexpr int max_keys_per_thread = 1500;
constexpr std::int64_t shared_buckets = 16;  // B = 16, one chunk: every key lands in one of 16 buckets

// The run's shape: few keys in 16 shared buckets, or many keys in a map that keeps doubling.
struct Shape {
  bool is_growing;
  int keys_per_thread;
  bool kills_repairers = false;
};
Shape shape{false, 48};

// Where a worker that kills repairers may die: inside a repair, at its (skip + 1)-th hit.
const char* const repair_points[] = {"repair.taken_over", "repair.counted", "repair.split.sibling_taken",
                                     "repair.split.published", "lock.liveness"};

enum : std::uint8_t { absent = 0, present = 1 };

// What one thread last did to one key. `pending` is set (release) before the operation starts and
// cleared after `completed` took its result.
struct KeyLog {
  std::uint64_t completed_seq;
  std::uint8_t completed_state;
  std::uint64_t pending_seq;
  std::uint8_t pending_state;
  std::atomic<std::uint8_t> pending;
};

struct SharedLog {
  std::atomic<std::uint64_t> started_ns;  // when the run began, and how long it lasts: a growing run
  std::atomic<std::uint64_t> run_ns;      // uses more keys as time passes, so the map keeps doubling
  std::atomic<int> failures;
  std::atomic<std::uint64_t> operations;
  char first_failure[512];
  std::atomic<int> failure_text_taken;
  KeyLog keys[worker_count][threads_per_worker][max_keys_per_thread];
};

std::string key_of(int worker, int thread, int key) {
  return "w" + std::to_string(worker) + "t" + std::to_string(thread) + "k" + std::to_string(key);
}

std::int64_t hash_of(const std::string& key) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char byte : key) {
    hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3ull;
  }
  return static_cast<std::int64_t>(shape.is_growing ? hash : hash % shared_buckets);
}

std::string value_of(const std::string& key, std::uint64_t seq) {
  std::string value = key + ":s" + std::to_string(seq) + "|";
  value.append(seq * 37 % 300, static_cast<char>('a' + seq % 26));
  return value;
}

std::uint64_t steady_ns() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

std::optional<std::string> fetch(ConcurrentHashMap_string& map, const std::string& key) {
  char* buffer = nullptr;
  std::int64_t length = 0;
  if (!map.get(key.data(), key.size(), hash_of(key), buffer, length)) {
    return std::nullopt;
  }
  std::string value(buffer, static_cast<std::size_t>(length));
  python_free(buffer);
  return value;
}

void report(SharedLog& log, const std::string& text) {
  if (log.failures.fetch_add(1) == 0 && log.failure_text_taken.exchange(1) == 0) {
    std::snprintf(log.first_failure, sizeof log.first_failure, "%s", text.c_str());
  }
  std::fprintf(stderr, "crash stress failure (pid %d): %s\n", static_cast<int>(::getpid()), text.c_str());
}

std::optional<std::string> expected_value(std::uint8_t state, const std::string& key, std::uint64_t seq) {
  return state == present ? std::optional<std::string>(value_of(key, seq)) : std::nullopt;
}

// Settles the keys whose last operation a death cut short: the map must hold the value from before
// or from after it; the log then records what the map holds.
void settle_cut_operations(ConcurrentHashMap_string& map, SharedLog& log, int worker, int thread) {
  for (int index = 0; index < shape.keys_per_thread; ++index) {
    KeyLog& entry = log.keys[worker][thread][index];
    if (entry.pending.load(std::memory_order_acquire) == 0) {
      continue;
    }
    const std::string key = key_of(worker, thread, index);
    const std::optional<std::string> found = fetch(map, key);
    if (found == expected_value(entry.pending_state, key, entry.pending_seq)) {
      entry.completed_seq = entry.pending_seq;
      entry.completed_state = entry.pending_state;
    } else if (found != expected_value(entry.completed_state, key, entry.completed_seq)) {
      report(log, "key " + key + " holds neither its old nor its new value after a death");
    }
    entry.pending.store(0, std::memory_order_release);
  }
}

void run_thread(ConcurrentHashMap_string& map, SharedLog& log, int worker, int thread, std::uint64_t seed) {
  settle_cut_operations(map, log, worker, thread);
  std::mt19937_64 random(seed);
  while (true) {
    int keys_in_use = shape.keys_per_thread;
    if (shape.is_growing) {
      const double elapsed = static_cast<double>(steady_ns() - log.started_ns.load()) / static_cast<double>(log.run_ns.load());
      keys_in_use = std::clamp(static_cast<int>(shape.keys_per_thread * elapsed), 8, shape.keys_per_thread);
    }
    const int index = static_cast<int>(random() % static_cast<std::uint64_t>(keys_in_use));
    KeyLog& entry = log.keys[worker][thread][index];
    const std::string key = key_of(worker, thread, index);
    const bool removes = random() % 3 == 0;
    const std::uint64_t seq = entry.completed_seq + 1;
    entry.pending_seq = seq;
    entry.pending_state = removes ? absent : present;
    entry.pending.store(1, std::memory_order_release);
    if (removes) {
      const bool removed = map.remove(key.data(), key.size(), hash_of(key));
      if (removed != (entry.completed_state == present)) {
        report(log, "remove of " + key + " disagrees with the log");
      }
    } else {
      const std::string value = value_of(key, seq);
      map.insert(key.data(), value.data(), key.size(), value.size(), hash_of(key));
    }
    entry.completed_seq = seq;
    entry.completed_state = entry.pending_state;
    entry.pending.store(0, std::memory_order_release);
    if (fetch(map, key) != expected_value(entry.completed_state, key, seq)) {
      report(log, "read-back of " + key + " after its own write failed");
    }
    log.operations.fetch_add(1, std::memory_order_relaxed);
  }
}

pid_t start_worker(const std::string& name, SharedLog& log, int worker, std::uint64_t seed) {
  const pid_t pid = ::fork();
  if (pid != 0) {
    return pid;
  }
  std::string own_name = name;
  ConcurrentHashMap_string map(own_name, 2, 2, 2, 3);
  if constexpr (crash_points_built) {
    std::mt19937_64 random(seed);
    if (shape.kills_repairers) {
      arm_crash_point(repair_points[random() % std::size(repair_points)], random() % 3);
    }
  }
  std::vector<std::thread> threads;
  for (int thread = 0; thread < threads_per_worker; ++thread) {
    threads.emplace_back([&map, &log, worker, thread, seed] {
      try {
        run_thread(map, log, worker, thread,
                   seed * 7919 + static_cast<std::uint64_t>(worker * threads_per_worker + thread));
      } catch (const std::exception& error) {
        report(log, std::string("an operation failed: ") + error.what());
        ::_exit(4);
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();  // never: the parent kills the worker
  }
  ::_exit(0);
}

class CrashStress : public ::testing::TestWithParam<Shape> {};

TEST_P(CrashStress, WritersKilledAtRandomLoseNothingTheyCompleted) {
  shape = GetParam();
  const char* seconds_text = std::getenv("CORVANA_STRESS_SECONDS");
  const double seconds = seconds_text != nullptr ? std::atof(seconds_text) : 3.0;
  const char* seed_text = std::getenv("CORVANA_STRESS_SEED");
  const std::uint64_t seed = seed_text != nullptr ? std::strtoull(seed_text, nullptr, 10)
                                                  : static_cast<std::uint64_t>(std::random_device{}());
  std::printf("crash stress seed %llu (CORVANA_STRESS_SEED)\n", static_cast<unsigned long long>(seed));

  std::string pattern = (std::filesystem::temp_directory_path() / "corvana-crash-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::string directory = pattern;
  const char* previous_tmpdir = std::getenv("TMPDIR");
  const std::optional<std::string> saved_tmpdir =
      previous_tmpdir != nullptr ? std::optional<std::string>(previous_tmpdir) : std::nullopt;
  ::setenv("TMPDIR", directory.c_str(), 1);
  std::string name;
  auto map = std::make_unique<ConcurrentHashMap_string>(name, 4, shape.is_growing ? 4096 : 1, 1 << 26, 5);
  void* shared = ::mmap(nullptr, sizeof(SharedLog), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* log = new (shared) SharedLog{};
  log->started_ns = steady_ns();
  log->run_ns = static_cast<std::uint64_t>(seconds * 1e9);

  std::mt19937_64 random(seed);
  pid_t workers[worker_count];
  for (int worker = 0; worker < worker_count; ++worker) {
    workers[worker] = start_worker(name, *log, worker, random());
  }
  int kills = 0;
  int repairer_deaths = 0;
  double slowest_recovery = 0;
  const auto kill_worker = [&](int victim) {
    ::kill(workers[victim], SIGKILL);
    ASSERT_EQ(::waitpid(workers[victim], nullptr, 0), workers[victim]);
    ++kills;
    workers[victim] = start_worker(name, *log, victim, random());
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline && log->failures.load() == 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(1000 + random() % 12000));
    // Workers that died at their repair point are started again.
    for (int worker = 0; worker < worker_count; ++worker) {
      int status = 0;
      if (::waitpid(workers[worker], &status, WNOHANG) == workers[worker]) {
        ++repairer_deaths;
        workers[worker] = start_worker(name, *log, worker, random());
      }
    }
    const int victim = static_cast<int>(random() % worker_count);
    if (shape.kills_repairers) {
      // A second death a few milliseconds after the first, while the others take its locks over.
      kill_worker(victim);
      std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 6000));
      kill_worker(static_cast<int>(random() % worker_count));
      continue;  // the survivors repair: the parent reads nothing here
    }
    ::kill(workers[victim], SIGKILL);
    ASSERT_EQ(::waitpid(workers[victim], nullptr, 0), workers[victim]);
    ++kills;
    // A reader of every bucket (of the first 4096): each lock the victim held is taken over and
    // repaired.
    const auto start = std::chrono::steady_clock::now();
    const auto buckets =
        std::min<std::int64_t>(4096, static_cast<std::int64_t>(map->bucket_chunk_size() * map->bucket_chunk_in_use()));
    for (std::int64_t bucket = 0; bucket < buckets; ++bucket) {
      char* buffer = nullptr;
      std::int64_t length = 0;
      static_cast<void>(map->get("probe", 5, bucket, buffer, length));
    }
    slowest_recovery = std::max(slowest_recovery,
                                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    workers[victim] = start_worker(name, *log, victim, random());
  }
  for (const pid_t worker : workers) {
    ::kill(worker, SIGKILL);
    ::waitpid(worker, nullptr, 0);
  }
  std::printf("crash stress: %d kills, %d deaths inside repairs, %llu operations, slowest recovery of all shared "
              "buckets %.1f ms\n",
              kills, repairer_deaths, static_cast<unsigned long long>(log->operations.load()), slowest_recovery * 1000);
  EXPECT_EQ(log->failures.load(), 0) << log->first_failure;
  EXPECT_GT(kills, 10);
  EXPECT_LT(slowest_recovery, 1.0);
  // A doubling the last deaths left behind is finished by whoever joins it next.
  if (map->expansion_needs_help()) {
    map->python_expansion_helper(0);
  }
  EXPECT_FALSE(map->expansion_needs_help());
  if (shape.is_growing) {
    std::printf("crash stress: the map grew to %llu bucket chunks\n",
                static_cast<unsigned long long>(map->bucket_chunk_in_use()));
    EXPECT_GE(map->bucket_chunk_in_use(), 64u);
  }

  std::set<std::string> present_keys;
  for (int worker = 0; worker < worker_count; ++worker) {
    for (int thread = 0; thread < threads_per_worker; ++thread) {
      for (int index = 0; index < shape.keys_per_thread; ++index) {
        KeyLog& entry = log->keys[worker][thread][index];
        const std::string key = key_of(worker, thread, index);
        const std::optional<std::string> found = fetch(*map, key);
        const std::optional<std::string> completed = expected_value(entry.completed_state, key, entry.completed_seq);
        const bool cut_short_was_done =
            entry.pending.load() != 0 && found == expected_value(entry.pending_state, key, entry.pending_seq);
        if (!cut_short_was_done) {
          EXPECT_EQ(found, completed) << key;
        }
        if (found) {
          present_keys.insert(key);
        }
      }
    }
  }
  // The walk repairs whatever is left, then the count is exact.
  ConcurrentHashMap_string::WalkBatch batch;
  std::uint64_t group = 0;
  std::multiset<std::string> walked;
  const std::uint64_t chunks = map->bucket_chunk_in_use();
  while (group < map->bucket_chunk_size() * chunks) {
    batch.clear();
    group = map->walk_groups(chunks, group, 1, true, false, batch);
    std::size_t at = 0;
    for (const std::uint64_t length : batch.lengths) {
      walked.insert(batch.bytes.substr(at, length));
      at += length;
    }
  }
  EXPECT_EQ(walked.size(), std::set<std::string>(walked.begin(), walked.end()).size()) << "a key walked twice";
  EXPECT_EQ(map->element_count(), walked.size());
  EXPECT_EQ(map->check().entry_count, walked.size());
  for (const std::string& key : present_keys) {
    EXPECT_EQ(walked.count(key), 1u) << key;
  }
  map.reset();
  ::munmap(shared, sizeof(SharedLog));
  std::filesystem::remove_all(directory);
  if (saved_tmpdir) {
    ::setenv("TMPDIR", saved_tmpdir->c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, CrashStress,
                         ::testing::Values(Shape{false, 48}, Shape{true, max_keys_per_thread},
                                           Shape{false, 48, true}, Shape{true, max_keys_per_thread, true}),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           return std::string(info.param.is_growing ? "GrowingMap" : "SharedBuckets") +
                                  (info.param.kills_repairers ? "KillingRepairers" : "");
                         });

}  // namespace
}  // namespace corvana
