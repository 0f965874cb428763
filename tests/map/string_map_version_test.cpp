// A bucket's version: every change of its pages advances it by two, reads leave it alone, a doubling
// advances both buckets of a split, and gets that read without the lock answer as gets that take it.
#include <map>
#include <random>

#include "tests/map/map_test_support.hpp"

namespace corvana::testing {
namespace {

class StringMapVersion : public MapTest {};

TEST_F(StringMapVersion, EveryChangeAdvancesItsBucketByTwoAndReadsLeaveItAlone) {
  std::string name;
  auto map = create(name, 2, 1);  // four buckets that never double
  const std::int64_t hash = 1;
  const std::uint64_t bucket = map->bucket_of(hash);
  std::uint64_t version = map->bucket_version(bucket);
  EXPECT_EQ(version, 0u) << "a new bucket";
  const auto expect_advanced = [&](const char* what, std::uint64_t steps) {
    const std::uint64_t now = map->bucket_version(bucket);
    EXPECT_EQ(now, version + 2 * steps) << what;
    version = now;
  };
  put(*map, "a", "first", hash);
  expect_advanced("insert into an empty bucket", 1);
  put(*map, "b", pattern_bytes(400, 1), hash);  // out of line
  expect_advanced("insert", 1);
  put(*map, "a", "second", hash);
  expect_advanced("replace", 1);

  char* stored = nullptr;
  std::int64_t stored_len = 0;
  EXPECT_FALSE(map->setdefault("a", "third", 1, 5, hash, stored, stored_len));
  python_free(stored);
  EXPECT_TRUE(map->contains("b", 1, hash));
  EXPECT_FALSE(map->compare_and_set("a", 1, hash, "nope", 4, "x", 1));
  for (const bool optimistic : {true, false}) {
    map->set_optimistic_reads(optimistic);
    EXPECT_EQ(fetch(*map, "a", hash), "second");
    EXPECT_EQ(fetch(*map, "b", hash), pattern_bytes(400, 1));
    EXPECT_EQ(fetch(*map, "absent", hash), std::nullopt);
  }
  map->set_optimistic_reads(true);
  expect_advanced("reads and refused changes", 0);

  EXPECT_TRUE(map->compare_and_set("a", 1, hash, "second", 6, "third", 5));
  expect_advanced("compare_and_set", 1);
  EXPECT_TRUE(map->pop("b", 1, hash, stored, stored_len));
  python_free(stored);
  expect_advanced("pop", 1);
  EXPECT_TRUE(erase(*map, "a", hash));
  expect_advanced("remove of the last entry", 1);
  EXPECT_FALSE(erase(*map, "a", hash));
  expect_advanced("remove of an absent key", 0);
  for (std::uint64_t other = 0; other < 4; ++other) {
    if (other != bucket) {
      EXPECT_EQ(map->bucket_version(other), 0u) << "bucket " << other << " was never changed";
    }
  }
}

TEST_F(StringMapVersion, ChangesInsidePagesOfAFullHeapAdvanceTheirBucket) {
  std::string name;
  auto map = create(name, 2, 1, 1 << 21);
  const std::int64_t hash = 1;
  const std::uint64_t bucket = map->bucket_of(hash);
  for (int index = 0; index < 4; ++index) {
    put(*map, "key-" + std::to_string(index), pattern_bytes(50, static_cast<unsigned>(index)), hash);
  }
  // Every other bucket filled until the heap has no room left.
  try {
    for (int index = 0;; ++index) {
      const std::string key = "filler-" + std::to_string(index);
      put(*map, key, pattern_bytes(200, 5), 2 + index % 2);
    }
  } catch (const HeapExhausted&) {
  }
  std::uint64_t version = map->bucket_version(bucket);
  const auto expect_advanced = [&](const char* what) {
    const std::uint64_t now = map->bucket_version(bucket);
    EXPECT_EQ(now, version + 2) << what;
    version = now;
  };
  EXPECT_TRUE(erase(*map, "key-0", hash));
  expect_advanced("a remove marked in place");
  put(*map, "victim", pattern_bytes(40, 1), hash);  // more than the page's slack: over the hole
  expect_advanced("an insert over a removed entry");
  put(*map, "small", pattern_bytes(4, 2), hash);
  expect_advanced("an insert into the page's slack");
  EXPECT_EQ(fetch(*map, "victim", hash), pattern_bytes(40, 1));
  EXPECT_EQ(fetch(*map, "small", hash), pattern_bytes(4, 2));
  EXPECT_EQ(fetch(*map, "key-0", hash), std::nullopt);
  EXPECT_EQ(map->bucket_version(bucket), version) << "reads";
}

TEST_F(StringMapVersion, ASplitAdvancesTheBucketAndItsSibling) {
  // With an entry that stays, the split writes new pages; when every entry moves, the sibling takes
  // the old chain as it is. Either way a get that read the old chain before must not keep it.
  for (const bool with_staying : {true, false}) {
    std::string name;
    auto map = create(name, 0, 4);  // one bucket, room to double
    if (with_staying) {
      put(*map, "stays", "0", hash_at(0));
    }
    put(*map, "moves", "1", hash_at(1));
    const std::uint64_t before = map->bucket_version(0);
    map->python_expansion_helper(0);
    ASSERT_EQ(map->bucket_chunk_in_use(), 2u);
    EXPECT_EQ(map->bucket_version(0), before + 2) << with_staying;
    EXPECT_EQ(map->bucket_version(1), 2u) << with_staying;
    if (with_staying) {
      EXPECT_EQ(fetch(*map, "stays", hash_at(0)), "0");
    }
    EXPECT_EQ(fetch(*map, "moves", hash_at(1)), "1");
  }
}

TEST_F(StringMapVersion, GetsWithoutTheLockAnswerAsGetsWithIt) {
  std::string name;
  auto map = create(name, 1, 64, 16 << 20);  // two buckets a chunk, doubling as it fills
  std::string other_name = name;
  ConcurrentHashMap_string locked(other_name, 2, 2, 2, 3);
  locked.set_optimistic_reads(false);
  std::mt19937 random(7);
  std::map<std::string, std::string> expected;
  for (int step = 0; step < 4000; ++step) {
    const std::string key = "key-" + std::to_string(random() % 600);
    // Eight hashes for 600 keys: long chains of pages in few buckets.
    const std::int64_t key_hash = static_cast<std::int64_t>(std::hash<std::string>{}(key) % 8);
    if (random() % 3 == 0) {
      EXPECT_EQ(erase(*map, key, key_hash), expected.erase(key) == 1);
    } else {
      expected[key] = pattern_bytes(random() % 600, static_cast<unsigned>(step));
      put(*map, key, expected[key], key_hash);
    }
    const std::string probe = "key-" + std::to_string(random() % 600);
    const std::int64_t probe_hash = static_cast<std::int64_t>(std::hash<std::string>{}(probe) % 8);
    const auto found = expected.find(probe);
    const std::optional<std::string> wanted =
        found == expected.end() ? std::nullopt : std::optional<std::string>(found->second);
    ASSERT_EQ(fetch(*map, probe, probe_hash), wanted) << probe;
    ASSERT_EQ(fetch(locked, probe, probe_hash), wanted) << probe;
  }
  EXPECT_GT(map->bucket_chunk_in_use(), 1u);
  EXPECT_EQ(map->check().entry_count, expected.size());
}

}  // namespace
}  // namespace corvana::testing
