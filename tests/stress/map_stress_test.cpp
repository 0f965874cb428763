// Multi-process, multi-thread stress of the string map. The test process is the parent: it creates
// the map, forks worker processes that open it by name, runs worker threads of its own beside them,
// and verifies every entry afterwards.
//
// Keys: "stable" keys inserted before the start and never changed (every get of one must find it),
// "hot" keys written and removed by every worker (few distinct hashes, so equal hashes with
// different keys share long lists), and "disjoint" keys owned by one worker, whose expected state the
// worker knows exactly at every moment. Values are stamped with writer and sequence number and are a
// pure function of (writer, sequence, key), so any value read can be checked whole.
// Runs are bounded by time (CORVANA_STRESS_SECONDS, default 3); the seed is printed and can be fixed
// with CORVANA_STRESS_SEED.
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
constexpr int threads_per_process = 2;
constexpr int worker_count = (child_processes + 1) * threads_per_process;
constexpr int stable_keys = 32;
constexpr int hot_keys = 48;
constexpr int disjoint_keys = 400;

enum : std::uint8_t { untouched = 0, written = 1, removed = 2 };

// What one worker did last, readable by the parent after the run. Written only by its worker.
struct WorkerRecord {
  std::uint64_t disjoint_seq[disjoint_keys];
  std::uint8_t disjoint_state[disjoint_keys];
  std::uint64_t hot_seq[hot_keys];
  std::uint8_t hot_state[hot_keys];
  std::uint64_t operations;
};

// An anonymous shared mapping made before fork.
struct SharedState {
  std::atomic<int> start;
  std::atomic<int> failures;
  std::int64_t deadline_ns;  // steady clock, the same in every process
  char first_failure[512];
  std::atomic<int> failure_text_taken;
  WorkerRecord workers[worker_count];
};
static_assert(std::atomic<int>::is_always_lock_free);

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char byte : text) {
    hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3ull;
  }
  return hash;
}

std::string stable_key(int index) {
  return "stable-" + std::to_string(index);
}
std::string hot_key(int index) {
  return "hot-" + std::to_string(index);
}
std::string disjoint_key(int worker, int index) {
  return "w" + std::to_string(worker) + "-key-" + std::to_string(index);
}
std::int64_t hash_of(const std::string& key) {
  return static_cast<std::int64_t>(fnv1a(key));
}
// Hot keys share five hashes: long lists of equal hashes with different keys.
std::int64_t hot_hash(int index) {
  return static_cast<std::int64_t>(fnv1a(hot_key(index % 5)));
}

std::string value_for(int writer, std::uint64_t seq, const std::string& key) {
  std::string value = "w" + std::to_string(writer) + ":s" + std::to_string(seq) + ":" + key + "|";
  value.append((seq * 37 + static_cast<std::uint64_t>(writer)) % 150, static_cast<char>('a' + seq % 26));
  return value;
}

// Whether `value`, read for `key`, is a whole value that some writer wrote for that key.
bool is_stamped_value(const std::string& value, const std::string& key) {
  int writer = -1;
  unsigned long long seq = 0;
  if (std::sscanf(value.c_str(), "w%d:s%llu:", &writer, &seq) != 2 || writer < -1 || writer >= worker_count) {
    return false;
  }
  return value == value_for(writer, seq, key);
}

void report_failure(SharedState& shared, const std::string& text) {
  if (shared.failures.fetch_add(1) == 0 && shared.failure_text_taken.exchange(1) == 0) {
    std::snprintf(shared.first_failure, sizeof shared.first_failure, "%s", text.c_str());
  }
  std::fprintf(stderr, "stress failure (pid %d): %s\n", static_cast<int>(::getpid()), text.c_str());
}

void put(ConcurrentHashMap_string& map, const std::string& key, const std::string& value, std::int64_t hash) {
  map.insert(key.data(), value.data(), key.size(), value.size(), hash);
}

void run_worker(ConcurrentHashMap_string& map, SharedState& shared, int worker, std::uint64_t seed) {
  WorkerRecord& record = shared.workers[worker];
  std::mt19937_64 random(seed * 1000003 + static_cast<std::uint64_t>(worker));
  std::uint64_t seq = 0;
  while (shared.start.load() == 0) {
    std::this_thread::yield();
  }
  try {
    while (now_ns() < shared.deadline_ns) {
      ++record.operations;
      const unsigned choice = static_cast<unsigned>(random() % 100);
      const unsigned action = static_cast<unsigned>(random() % 3);
      if (choice < 40) {
        const int index = static_cast<int>(random() % disjoint_keys);
        const std::string key = disjoint_key(worker, index);
        const std::int64_t hash = hash_of(key);
        const bool is_present = record.disjoint_state[index] == written;
        const std::string expected =
            is_present ? value_for(worker, record.disjoint_seq[index], key) : std::string();
        if (action == 0) {
          ++seq;
          put(map, key, value_for(worker, seq, key), hash);
          record.disjoint_seq[index] = seq;
          record.disjoint_state[index] = written;
        } else if (action == 1) {
          if (map.remove(key.data(), key.size(), hash) != is_present) {
            report_failure(shared, "remove of own key " + key + " disagrees with its state");
          }
          record.disjoint_state[index] = removed;
        } else {
          const auto value = fetch(map, key, hash);
          if (value.has_value() != is_present || (is_present && *value != expected)) {
            report_failure(shared, "get of own key " + key + " returned " + value.value_or("<absent>") +
                                       ", expected " + (is_present ? expected : "<absent>"));
          }
        }
      } else if (choice < 75) {
        const int index = static_cast<int>(random() % hot_keys);
        const std::string key = hot_key(index);
        const std::int64_t hash = hot_hash(index);
        if (action == 0) {
          ++seq;
          put(map, key, value_for(worker, seq, key), hash);
          record.hot_seq[index] = seq;
          record.hot_state[index] = written;
        } else if (action == 1) {
          static_cast<void>(map.remove(key.data(), key.size(), hash));
          record.hot_state[index] = removed;
        } else {
          const auto value = fetch(map, key, hash);
          if (value.has_value() && !is_stamped_value(*value, key)) {
            report_failure(shared, "get of hot key " + key + " returned a damaged value: " + *value);
          }
        }
      } else {
        const int index = static_cast<int>(random() % stable_keys);
        const std::string key = stable_key(index);
        const auto value = fetch(map, key, hash_of(key));
        if (value != value_for(-1, static_cast<std::uint64_t>(index), key)) {
          report_failure(shared, "get of stable key " + key + " returned " + value.value_or("<absent>"));
        }
      }
    }
  } catch (const std::exception& error) {
    report_failure(shared, std::string("worker ") + std::to_string(worker) + " threw: " + error.what());
  }
}

// Runs `threads_per_process` workers (numbered from `first_worker`) on one map object.
void run_workers(ConcurrentHashMap_string& map, SharedState& shared, int first_worker, std::uint64_t seed) {
  std::vector<std::thread> threads;
  for (int thread = 0; thread < threads_per_process; ++thread) {
    threads.emplace_back(run_worker, std::ref(map), std::ref(shared), first_worker + thread, seed);
  }
  for (auto& thread : threads) {
    thread.join();
  }
}

class MapStress : public ::testing::Test {
 protected:
  void SetUp() override {
    void* memory =
        ::mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    shared_ = new (memory) SharedState{};
    const char* seed_text = std::getenv("CORVANA_STRESS_SEED");
    seed_ = seed_text != nullptr ? std::strtoull(seed_text, nullptr, 10) : std::random_device{}();
    const char* seconds_text = std::getenv("CORVANA_STRESS_SECONDS");
    seconds_ = seconds_text != nullptr ? std::atoi(seconds_text) : 3;
    std::printf("map stress seed = %llu (set CORVANA_STRESS_SEED to repeat), %d s\n",
                static_cast<unsigned long long>(seed_), seconds_);
    std::fflush(stdout);  // before any fork, so children do not print it again
  }
  void TearDown() override {
    for (const pid_t child : children_) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
    if (!name_.empty()) {
      std::filesystem::remove(name_);
    }
    ::munmap(shared_, sizeof(SharedState));
  }

  // Forks a child that runs `body` and exits with 0, or 1 when it throws or a failure was reported.
  template <class Body>
  void fork_child(Body body) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int status = 0;
      try {
        body();
      } catch (const std::exception& error) {
        report_failure(*shared_, std::string("child threw: ") + error.what());
        status = 1;
      }
      std::fflush(nullptr);
      ::_exit(status);
    }
    children_.push_back(child);
  }

  // Waits for every child, at most `grace` past the deadline; a child still running then hangs.
  void wait_for_children(std::chrono::seconds grace) {
    const std::int64_t limit = shared_->deadline_ns + std::chrono::nanoseconds(grace).count();
    while (!children_.empty()) {
      int status = 0;
      const pid_t done = ::waitpid(-1, &status, WNOHANG);
      if (done > 0) {
        std::erase(children_, done);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "child " << done << " status " << status;
        continue;
      }
      ASSERT_LT(now_ns(), limit) << "a child process hangs";
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  void insert_stable_keys(ConcurrentHashMap_string& map) {
    for (int index = 0; index < stable_keys; ++index) {
      const std::string key = stable_key(index);
      put(map, key, value_for(-1, static_cast<std::uint64_t>(index), key), hash_of(key));
    }
  }

  // Runs the workers of every process and verifies the map afterwards.
  void run_and_verify(ConcurrentHashMap_string& map, bool with_expansion_helper) {
    insert_stable_keys(map);
    shared_->deadline_ns = now_ns() + std::chrono::nanoseconds(std::chrono::seconds(seconds_)).count();
    for (int process = 1; process <= child_processes; ++process) {
      fork_child([this, process] {
        std::string name = name_;
        ConcurrentHashMap_string own(name, 2, 2, 2, 3);
        run_workers(own, *shared_, process * threads_per_process, seed_);
      });
    }
    if (with_expansion_helper) {
      // Asks for one more doubling than the map has, every 150 ms, beside the workers, so expansions
      // keep running through the whole run.
      fork_child([this] {
        std::string name = name_;
        ConcurrentHashMap_string view(name, 2, 2, 2, 3);
        while (shared_->start.load() == 0) {
          std::this_thread::yield();
        }
        while (now_ns() < shared_->deadline_ns) {
          std::string helper_name = name_;
          python_expansion_helper_string(helper_name, view.bucket_chunk_in_use() * 2);
          std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
      });
    }
    shared_->start.store(1);
    run_workers(map, *shared_, 0, seed_);
    wait_for_children(std::chrono::seconds(120));
    ASSERT_EQ(shared_->failures.load(), 0) << shared_->first_failure;
    verify(map);
  }

  void verify(ConcurrentHashMap_string& map) {
    EXPECT_EQ(map.expansion_workers(), 0u);
    StringMapCheck found;
    ASSERT_NO_THROW(found = map.check()) << "the map checker found a violation";
    std::uint64_t present = 0;
    for (int index = 0; index < stable_keys; ++index) {
      const std::string key = stable_key(index);
      EXPECT_EQ(fetch(map, key, hash_of(key)), value_for(-1, static_cast<std::uint64_t>(index), key));
      ++present;
    }
    std::uint64_t operations = 0;
    for (int worker = 0; worker < worker_count; ++worker) {
      const WorkerRecord& record = shared_->workers[worker];
      operations += record.operations;
      for (int index = 0; index < disjoint_keys; ++index) {
        const std::string key = disjoint_key(worker, index);
        const auto value = fetch(map, key, hash_of(key));
        if (record.disjoint_state[index] == written) {
          EXPECT_EQ(value, value_for(worker, record.disjoint_seq[index], key));
          ++present;
        } else {
          EXPECT_EQ(value, std::nullopt) << key;
        }
      }
    }
    for (int index = 0; index < hot_keys; ++index) {
      const std::string key = hot_key(index);
      const auto value = fetch(map, key, hot_hash(index));
      // The last operation on the key is the last operation of some worker on it.
      bool is_removed_by_some = false;
      std::vector<std::string> candidates;
      for (int worker = 0; worker < worker_count; ++worker) {
        const WorkerRecord& record = shared_->workers[worker];
        if (record.hot_state[index] == written) {
          candidates.push_back(value_for(worker, record.hot_seq[index], key));
        }
        is_removed_by_some = is_removed_by_some || record.hot_state[index] == removed;
      }
      const bool may_be_absent = is_removed_by_some || candidates.empty();
      if (!value.has_value()) {
        EXPECT_TRUE(may_be_absent) << key << " is absent, yet no worker's last operation removed it";
      } else {
        EXPECT_NE(std::find(candidates.begin(), candidates.end(), *value), candidates.end())
            << key << " holds " << *value << ", which is no worker's last write";
        ++present;
      }
    }
    EXPECT_EQ(found.entry_count, present) << "entries found by walking every bucket";
    EXPECT_EQ(map.element_count(), present);
    std::printf("%llu operations, %llu entries, %llu bucket chunks in use\n",
                static_cast<unsigned long long>(operations), static_cast<unsigned long long>(present),
                static_cast<unsigned long long>(map.bucket_chunk_in_use()));
  }

  SharedState* shared_ = nullptr;
  std::uint64_t seed_ = 0;
  int seconds_ = 3;
  std::string name_;
  std::vector<pid_t> children_;
};

TEST_F(MapStress, ProcessesAndThreadsShareOneMapWithoutGrowth) {
  // 4096 buckets: the entries of the run never make it grow.
  ConcurrentHashMap_string map(name_, 12, 1, 64 << 20, 5);
  run_and_verify(map, false);
  EXPECT_EQ(map.bucket_chunk_in_use(), 1u);
}

TEST_F(MapStress, ProcessesAndThreadsShareOneMapThatKeepsExpanding) {
  // 4 buckets per chunk and room for 8192 chunks: inserts double it early, the helper process again
  // and again through the run, up to the table's bound.
  ConcurrentHashMap_string map(name_, 2, 8192, 64 << 20, 4);
  run_and_verify(map, true);
  EXPECT_GT(map.bucket_chunk_in_use(), 8u);
  for (std::uint64_t bucket = 0; bucket < map.bucket_chunk_size() * map.bucket_chunk_in_use(); ++bucket) {
    ASSERT_EQ(map.bucket_moving_to(bucket), 0u) << bucket;
  }
}

}  // namespace
}  // namespace corvana
