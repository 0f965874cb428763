// The string map's read-modify-write operations (setdefault, pop, compare_and_set, contains) and its
// weakly consistent walk: exactly-once delivery with expansions before, between and during the walk,
// from threads and from forked processes.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/map/map_test_support.hpp"

namespace corvana::testing {
namespace {

using StringMapDict = MapTest;

// A python_malloc buffer handed out by the map, as a string (freed here).
std::string take_buffer(char* buffer, std::int64_t length) {
  std::string value(buffer, static_cast<std::size_t>(length));
  python_free(buffer);
  return value;
}

// setdefault: true when it inserted; otherwise `stored` receives the value already there.
bool set_default(ConcurrentHashMap_string& map, const std::string& key, const std::string& value,
                 std::int64_t hash, std::string& stored) {
  char* buffer = nullptr;
  std::int64_t length = 0;
  if (map.setdefault(key.data(), value.data(), key.size(), value.size(), hash, buffer, length)) {
    return true;
  }
  stored = take_buffer(buffer, length);
  return false;
}

std::optional<std::string> pop(ConcurrentHashMap_string& map, const std::string& key, std::int64_t hash) {
  char* buffer = nullptr;
  std::int64_t length = 0;
  if (!map.pop(key.data(), key.size(), hash, buffer, length)) {
    return std::nullopt;
  }
  return take_buffer(buffer, length);
}

bool cas(ConcurrentHashMap_string& map, const std::string& key, std::int64_t hash, const std::string& expected,
         const std::string& value) {
  return map.compare_and_set(key.data(), key.size(), hash, expected.data(), expected.size(), value.data(),
                             value.size());
}

// A whole walk, `per_call` entries at a time; `between` runs between two calls.
template <class Between>
std::vector<std::pair<std::string, std::string>> walk(ConcurrentHashMap_string& map, std::uint64_t per_call,
                                                      Between between) {
  const std::uint64_t walk_chunks = map.bucket_chunk_in_use();
  const std::uint64_t groups = map.bucket_chunk_size() * walk_chunks;
  std::vector<std::pair<std::string, std::string>> items;
  ConcurrentHashMap_string::WalkBatch batch;
  std::uint64_t group = 0;
  while (group < groups) {
    batch.clear();
    group = map.walk_groups(walk_chunks, group, per_call, true, true, batch);
    std::size_t at = 0;
    for (std::size_t index = 0; index < batch.lengths.size(); index += 2) {
      const std::size_t key_length = batch.lengths[index];
      const std::size_t value_length = batch.lengths[index + 1];
      items.emplace_back(batch.bytes.substr(at, key_length), batch.bytes.substr(at + key_length, value_length));
      at += key_length + value_length;
    }
    EXPECT_EQ(at, batch.bytes.size());
    between();
  }
  return items;
}

std::vector<std::pair<std::string, std::string>> walk(ConcurrentHashMap_string& map, std::uint64_t per_call = 64) {
  return walk(map, per_call, [] {});
}

std::int64_t hash_of(std::uint64_t number) {
  return static_cast<std::int64_t>(number * 0x9E3779B97F4A7C15ULL);
}
std::string stable_key(int number) {
  return "stable-" + std::to_string(number);
}

// Every stable key exactly once with its value, and no key at all twice.
void expect_exactly_once(const std::vector<std::pair<std::string, std::string>>& items, int stable_count) {
  std::map<std::string, int> seen;
  for (const auto& [key, value] : items) {
    ++seen[key];
    if (key.rfind("stable-", 0) == 0) {
      EXPECT_EQ(value, "v" + key) << key;
    }
  }
  for (const auto& [key, count] : seen) {
    EXPECT_EQ(count, 1) << key << " returned more than once";
  }
  for (int number = 0; number < stable_count; ++number) {
    EXPECT_EQ(seen.count(stable_key(number)), 1u) << stable_key(number) << " missing";
  }
}

void put_stable(ConcurrentHashMap_string& map, int count) {
  for (int number = 0; number < count; ++number) {
    put(map, stable_key(number), "v" + stable_key(number), hash_of(static_cast<std::uint64_t>(number)));
  }
}

TEST_F(StringMapDict, SetdefaultInsertsOnlyWhenAbsentAndReportsTheStoredValue) {
  std::string name;
  auto map = create(name, 2, 4);
  std::string stored;
  EXPECT_TRUE(set_default(*map, "k", "first", 7, stored));
  EXPECT_FALSE(set_default(*map, "k", "second", 7, stored));
  EXPECT_EQ(stored, "first");
  EXPECT_EQ(fetch(*map, "k", 7), "first");
  EXPECT_EQ(map->element_count(), 1u);
  // A different key of the same hash is a different entry; empty values are values too.
  EXPECT_TRUE(set_default(*map, "k2", "", 7, stored));
  EXPECT_FALSE(set_default(*map, "k2", "x", 7, stored));
  EXPECT_EQ(stored, "");
  EXPECT_EQ(map->element_count(), 2u);
  static_cast<void>(map->check());
}

TEST_F(StringMapDict, PopHandsOutTheValueAndRemovesTheEntry) {
  std::string name;
  auto map = create(name, 2, 4);
  const std::string long_value = pattern_bytes(1000, 3);
  for (int number = 0; number < 20; ++number) {
    put(*map, "key" + std::to_string(number), number == 5 ? long_value : std::to_string(number), number % 3);
  }
  EXPECT_EQ(pop(*map, "key5", 5 % 3), long_value);
  EXPECT_EQ(pop(*map, "key5", 5 % 3), std::nullopt);
  EXPECT_EQ(pop(*map, "absent", 1), std::nullopt);
  EXPECT_EQ(map->element_count(), 19u);
  for (int number = 0; number < 20; ++number) {
    if (number != 5) {
      EXPECT_EQ(fetch(*map, "key" + std::to_string(number), number % 3), std::to_string(number));
    }
  }
  static_cast<void>(map->check());
}

TEST_F(StringMapDict, CompareAndSetReplacesOnlyOnEqualBytes) {
  std::string name;
  auto map = create(name, 2, 4);
  EXPECT_FALSE(cas(*map, "k", 1, "", "x")) << "an absent key is never inserted";
  EXPECT_FALSE(map->contains("k", 1, 1));
  put(*map, "k", "abc", 1);
  EXPECT_FALSE(cas(*map, "k", 1, "ab", "z")) << "a prefix is not equal";
  EXPECT_FALSE(cas(*map, "k", 1, "abcd", "z")) << "a longer value is not equal";
  EXPECT_FALSE(cas(*map, "k", 2, "abc", "z")) << "another hash is another key";
  EXPECT_EQ(fetch(*map, "k", 1), "abc");
  const std::string long_value = pattern_bytes(300, 1);  // several string chunks
  EXPECT_TRUE(cas(*map, "k", 1, "abc", long_value));
  EXPECT_FALSE(cas(*map, "k", 1, pattern_bytes(300, 2), "y"));
  EXPECT_TRUE(cas(*map, "k", 1, long_value, "short"));
  EXPECT_EQ(fetch(*map, "k", 1), "short");
  EXPECT_TRUE(map->contains("k", 1, 1));
  static_cast<void>(map->check());
}

TEST_F(StringMapDict, AWalkReturnsEveryEntryOnceInBatchesOfAnySize) {
  std::string name;
  auto map = create(name, 2, 16, 1 << 24);
  put_stable(*map, 300);  // expansions run while filling
  ASSERT_GT(map->bucket_chunk_in_use(), 1u);
  for (const std::uint64_t per_call : {std::uint64_t{1}, std::uint64_t{7}, std::uint64_t{1000}}) {
    const auto items = walk(*map, per_call);
    EXPECT_EQ(items.size(), 300u);
    expect_exactly_once(items, 300);
  }
  // Keys only, values only.
  ConcurrentHashMap_string::WalkBatch batch;
  const std::uint64_t groups = map->bucket_chunk_size() * map->bucket_chunk_in_use();
  EXPECT_EQ(map->walk_groups(map->bucket_chunk_in_use(), 0, 1 << 20, true, false, batch), groups);
  EXPECT_EQ(batch.lengths.size(), 300u);
  EXPECT_THROW(map->walk_groups(3, 0, 1, true, true, batch), std::invalid_argument);
  EXPECT_THROW(map->walk_groups(map->bucket_chunk_in_use() * 2, 0, 1, true, true, batch), std::invalid_argument);
}

TEST_F(StringMapDict, DoublingsBetweenTwoStepsOfAWalkNeitherHideNorRepeatAKey) {
  std::string name;
  auto map = create(name, 2, 64, 1 << 24);  // 4 buckets per chunk: the walk starts on 4 groups
  put_stable(*map, 8);
  ASSERT_EQ(map->bucket_chunk_in_use(), 1u);
  int extra = 0;
  const auto items = walk(*map, 1, [&] {
    // Between every two steps: enough inserts for at least one more doubling.
    const int target = extra + 40;
    for (; extra < target; ++extra) {
      put(*map, "extra-" + std::to_string(extra), "e", hash_of(1000 + static_cast<std::uint64_t>(extra)));
    }
  });
  EXPECT_GE(map->bucket_chunk_in_use(), 16u);
  expect_exactly_once(items, 8);
  static_cast<void>(map->check());
}

TEST_F(StringMapDict, WalksDuringRunningExpansionsFromThreadsReturnEveryStableKeyOnce) {
  std::string name;
  auto map = create(name, 2, 4096, 1 << 26);
  constexpr int stable = 200;
  constexpr int inserts = 8000;  // per thread: doublings keep running for most of the test
  put_stable(*map, stable);
  std::atomic<int> inserters_left{2};
  std::vector<std::thread> threads;
  for (int thread = 0; thread < 2; ++thread) {
    threads.emplace_back([&, thread] {
      for (int number = 0; number < inserts; ++number) {
        const std::uint64_t id = 100000 + static_cast<std::uint64_t>(thread * inserts + number);
        put(*map, "extra-" + std::to_string(id), "e", hash_of(id));
      }
      inserters_left.fetch_sub(1);
    });
  }
  int walks = 0;
  do {
    expect_exactly_once(walk(*map, 16), stable);
    ++walks;
  } while (inserters_left.load() > 0 && !HasFailure());
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_GE(walks, 1);
  EXPECT_GE(map->bucket_chunk_in_use(), 1024u);
  const auto items = walk(*map);
  EXPECT_EQ(items.size(), stable + 2u * inserts);
  expect_exactly_once(items, stable);
  static_cast<void>(map->check());
}

TEST_F(StringMapDict, ConcurrentSetdefaultsAgreeOnOneWinner) {
  std::string name;
  auto map = create(name, 2, 64, 1 << 24);
  constexpr int threads_count = 4;
  constexpr int keys = 300;
  std::vector<std::vector<std::string>> seen(threads_count);
  std::vector<std::thread> threads;
  for (int thread = 0; thread < threads_count; ++thread) {
    threads.emplace_back([&, thread] {
      for (int number = 0; number < keys; ++number) {
        const std::string mine = "t" + std::to_string(thread);
        std::string stored;
        const bool inserted =
            set_default(*map, "key" + std::to_string(number), mine, hash_of(static_cast<std::uint64_t>(number)), stored);
        seen[thread].push_back(inserted ? mine : stored);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (int number = 0; number < keys; ++number) {
    const auto stored = fetch(*map, "key" + std::to_string(number), hash_of(static_cast<std::uint64_t>(number)));
    ASSERT_TRUE(stored.has_value());
    for (int thread = 0; thread < threads_count; ++thread) {
      EXPECT_EQ(seen[thread][number], *stored) << number;
    }
  }
  EXPECT_EQ(map->element_count(), static_cast<std::uint64_t>(keys));
}

// Forked processes, each opening the map by name: counters advanced by compare_and_set from every
// process end exact, while one process walks and checks the stable keys during the expansions.
TEST_F(StringMapDict, ProcessesCountExactlyAndWalkDuringExpansions) {
  std::string name;
  auto map = create(name, 2, 256, 1 << 25);
  constexpr int stable = 150;
  constexpr int counters = 3;
  constexpr int increments = 2000;
  constexpr int processes = 3;
  put_stable(*map, stable);
  std::vector<pid_t> children;
  for (int process = 0; process < processes + 1; ++process) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child != 0) {
      children.push_back(child);
      continue;
    }
    int code = 0;
    try {
      std::string shared_name = name;
      ConcurrentHashMap_string shared(shared_name, 2, 2, 2, 3);
      if (process == processes) {
        // The walker: walks while the others insert and count.
        for (int round = 0; round < 20; ++round) {
          const auto items = walk(shared, 8);
          std::set<std::string> keys;
          for (const auto& item : items) {
            if (!keys.insert(item.first).second) {
              code = 2;
            }
          }
          for (int number = 0; number < stable; ++number) {
            if (keys.count(stable_key(number)) != 1) {
              code = 3;
            }
          }
        }
      } else {
        for (int step = 0; step < increments; ++step) {
          const int counter = step % counters;
          const std::string key = "counter-" + std::to_string(counter);
          const std::int64_t hash = hash_of(900000 + static_cast<std::uint64_t>(counter));
          while (true) {
            const auto current = fetch(shared, key, hash);
            std::string stored;
            if (!current) {
              if (set_default(shared, key, "1", hash, stored)) {
                break;
              }
              continue;
            }
            if (cas(shared, key, hash, *current, std::to_string(std::stoll(*current) + 1))) {
              break;
            }
          }
          const std::uint64_t id = 200000 + static_cast<std::uint64_t>(process * increments + step);
          put(shared, "extra-" + std::to_string(id), "e", hash_of(id));
        }
      }
    } catch (...) {
      code = 4;
    }
    std::_Exit(code);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  for (const pid_t child : children) {
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        for (const pid_t other : children) {
          ::kill(other, SIGKILL);
        }
        FAIL() << "a child process did not finish in time";
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child exit status " << status;
  }
  std::uint64_t total = 0;
  for (int counter = 0; counter < counters; ++counter) {
    const auto value = fetch(*map, "counter-" + std::to_string(counter), hash_of(900000 + static_cast<std::uint64_t>(counter)));
    ASSERT_TRUE(value.has_value());
    total += std::stoull(*value);
  }
  EXPECT_EQ(total, static_cast<std::uint64_t>(processes * increments));
  EXPECT_GE(map->bucket_chunk_in_use(), 16u);
  const auto items = walk(*map);
  EXPECT_EQ(items.size(), static_cast<std::size_t>(stable + counters + processes * increments));
  expect_exactly_once(items, stable);
  static_cast<void>(map->check());
}

}  // namespace
}  // namespace corvana::testing
