// insert, get and remove of the string map on one thread: replacement, strings across chunks,
// collisions, the entry list's links, and heap exhaustion.
#include <string>
#include <vector>

#include "tests/map/map_test_support.hpp"

namespace corvana::testing {
namespace {

using StringMapOperations = MapTest;

TEST_F(StringMapOperations, ReplacingKeepsOneEntry) {
  std::string name;
  auto map = create(name, 4, 4);
  put(*map, "key", "first", 5);
  put(*map, "key", "second value", 5);
  EXPECT_EQ(map->element_count(), 1u);
  EXPECT_EQ(fetch(*map, "key", 5), "second value");
  EXPECT_EQ(fetch(*map, "key", 6), std::nullopt) << "the hash is part of the match";
  EXPECT_EQ(map->check(false).entry_count, 1u);
}

TEST_F(StringMapOperations, ValuesTakeAndGiveBackExactlyTheChunkDifference) {
  std::string name;
  auto map = create(name, 4, 4, 1 << 20, 5);  // string_unit 32
  const std::string hundred = pattern_bytes(100, 1);
  put(*map, "k", hundred, 9);
  const std::uint64_t cached = map->string_cache_items();
  put(*map, "k", pattern_bytes(10, 2), 9);
  EXPECT_EQ(map->string_cache_items(), cached + 3) << "100 bytes in 4 chunks, 10 bytes in 1";
  EXPECT_EQ(fetch(*map, "k", 9), pattern_bytes(10, 2));
  put(*map, "k", hundred, 9);
  EXPECT_EQ(map->string_cache_items(), cached);
  put(*map, "k", pattern_bytes(200, 3), 9);
  EXPECT_EQ(map->string_cache_items(), cached - 3) << "200 bytes in 7 chunks";
  EXPECT_EQ(fetch(*map, "k", 9), pattern_bytes(200, 3));
  put(*map, "k", "", 9);
  EXPECT_EQ(map->string_cache_items(), cached + 4);
  EXPECT_EQ(fetch(*map, "k", 9), "");
  EXPECT_EQ(map->check(false).entry_count, 1u);
}

TEST_F(StringMapOperations, EqualHashesWithDifferentKeysCoexist) {
  std::string name;
  auto map = create(name, 2, 1, 1 << 20, 3);  // string_unit 8: keys span chunks
  const std::vector<std::string> keys = {"abcdefgh-1", "abcdefgh-2", "abcdefgh-", "abcdefgh-10", "", "a"};
  for (std::size_t index = 0; index < keys.size(); ++index) {
    put(*map, keys[index], "value " + std::to_string(index), 77);
  }
  EXPECT_EQ(map->element_count(), keys.size());
  for (std::size_t index = 0; index < keys.size(); ++index) {
    EXPECT_EQ(fetch(*map, keys[index], 77), "value " + std::to_string(index)) << keys[index];
  }
  EXPECT_EQ(fetch(*map, "abcdefgh-3", 77), std::nullopt);
  EXPECT_EQ(map->check().entry_count, keys.size());
}

TEST_F(StringMapOperations, EmptyKeyAndEmptyValueAreStoredWithoutChunks) {
  std::string name;
  auto map = create(name, 2, 1);
  put(*map, "", "", 0);
  char* buffer = nullptr;
  std::int64_t length = -1;
  ASSERT_TRUE(map->get("", 0, 0, buffer, length));
  EXPECT_NE(buffer, nullptr);
  EXPECT_EQ(length, 0);
  python_free(buffer);
  EXPECT_EQ(map->check(false).link_count, 1u) << "one entry-list link for the bucket used, and nothing else";
  EXPECT_TRUE(erase(*map, "", 0));
  EXPECT_FALSE(erase(*map, "", 0));
}

TEST_F(StringMapOperations, NegativeHashSelectsTheBucketOfItsUnsignedValue) {
  std::string name;
  auto map = create(name, 2, 1);  // 4 buckets
  EXPECT_EQ(map->bucket_of(-1), 3u);
  put(*map, "minus one", "v", -1);
  EXPECT_EQ(map->bucket_length(3), 1u);
  EXPECT_EQ(fetch(*map, "minus one", -1), "v");
}

TEST_F(StringMapOperations, ThirdEntryAddsALinkAndRemovalGivesItBack) {
  std::string name;
  auto map = create(name, 2, 1);  // 4 buckets; hashes 1, 5, 9 share bucket 1
  put(*map, "a", "1", 1);
  put(*map, "b", "2", 5);
  EXPECT_EQ(map->bucket_link_count(1), 1u);
  put(*map, "c", "3", 9);
  EXPECT_EQ(map->bucket_length(1), 3u);
  EXPECT_EQ(map->bucket_link_count(1), 2u);
  EXPECT_EQ(map->check(false).entry_count, 3u);

  EXPECT_TRUE(erase(*map, "a", 1));
  EXPECT_EQ(map->bucket_link_count(1), 1u);
  EXPECT_EQ((map->bucket_hashes(1)), (std::vector<std::int64_t>{9, 5})) << "the last entry fills the hole";
  EXPECT_EQ(fetch(*map, "c", 9), "3");
  EXPECT_EQ(fetch(*map, "a", 1), std::nullopt);
  EXPECT_TRUE(erase(*map, "b", 5));
  EXPECT_TRUE(erase(*map, "c", 9));
  EXPECT_EQ(map->bucket_length(1), 0u);
  EXPECT_EQ(map->bucket_link_count(1), 1u) << "an empty bucket keeps its one link";
  EXPECT_EQ(map->element_count(), 0u);
  EXPECT_EQ(map->check(false).entry_count, 0u);
}

TEST_F(StringMapOperations, RemovingAnAbsentKeyChangesNothing) {
  std::string name;
  auto map = create(name, 2, 1);
  EXPECT_FALSE(erase(*map, "nothing", 3)) << "empty bucket";
  put(*map, "present", "v", 3);
  EXPECT_FALSE(erase(*map, "absent", 3));
  EXPECT_FALSE(erase(*map, "present", 7)) << "same bucket, other hash";
  EXPECT_EQ(map->element_count(), 1u);
  EXPECT_EQ(fetch(*map, "present", 3), "v");
}

TEST_F(StringMapOperations, ManyEntriesSurviveMixedOperations) {
  std::string name;
  auto map = create(name, 6, 1, 1 << 22, 4);  // 64 buckets, no room to grow
  std::vector<std::optional<std::string>> expected(500);
  for (unsigned round = 0; round < 4000; ++round) {
    const unsigned key = (round * 7919) % expected.size();
    const std::string key_text = "key-" + std::to_string(key);
    const auto hash = static_cast<std::int64_t>(key * 0x9E3779B97F4A7C15ull);
    if (round % 3 == 2) {
      EXPECT_EQ(erase(*map, key_text, hash), expected[key].has_value());
      expected[key].reset();
    } else {
      expected[key] = pattern_bytes(round % 90, round);
      put(*map, key_text, *expected[key], hash);
    }
  }
  std::uint64_t present = 0;
  for (unsigned key = 0; key < expected.size(); ++key) {
    const auto hash = static_cast<std::int64_t>(key * 0x9E3779B97F4A7C15ull);
    EXPECT_EQ(fetch(*map, "key-" + std::to_string(key), hash), expected[key]);
    present += expected[key].has_value() ? 1 : 0;
  }
  EXPECT_EQ(map->element_count(), present);
  EXPECT_EQ(map->check(false).entry_count, present);
}

TEST_F(StringMapOperations, HeapExhaustionLeavesTheMapIntactAndUsable) {
  std::string name;
  auto map = create(name, 2, 1, 48 * 1024, 5);  // 4 buckets, a small heap
  std::vector<std::string> stored;
  bool exhausted = false;
  for (int index = 0; index < 10000 && !exhausted; ++index) {
    const std::string key = "key-" + std::to_string(index);
    const auto hash = static_cast<std::int64_t>(index);
    const std::uint64_t bucket = map->bucket_of(hash);
    const std::uint64_t length_before = map->bucket_length(bucket);
    const std::uint64_t links_before = map->bucket_link_count(bucket);
    try {
      put(*map, key, pattern_bytes(300, index), hash);
      stored.push_back(key);
    } catch (const std::runtime_error&) {
      exhausted = true;
      EXPECT_EQ(map->bucket_length(bucket), length_before);
      EXPECT_EQ(map->bucket_link_count(bucket), links_before);
      EXPECT_EQ(fetch(*map, key, hash), std::nullopt);
    }
  }
  ASSERT_TRUE(exhausted);
  // A replacement that needs more chunks than the heap has fails and keeps the old value.
  EXPECT_THROW(put(*map, stored[0], pattern_bytes(40000, 1), 0), std::runtime_error);
  EXPECT_EQ(fetch(*map, stored[0], 0), pattern_bytes(300, 0));

  EXPECT_EQ(map->element_count(), stored.size());
  EXPECT_EQ(map->check().entry_count, stored.size());
  for (std::size_t index = 0; index < stored.size(); ++index) {
    EXPECT_EQ(fetch(*map, stored[index], static_cast<std::int64_t>(index)), pattern_bytes(300, index));
  }
  // The bucket locks were released: every bucket still takes operations, and what fits succeeds.
  for (std::size_t index = 0; index < 4; ++index) {
    EXPECT_TRUE(erase(*map, stored[index], static_cast<std::int64_t>(index)));
  }
  put(*map, "fits", pattern_bytes(300, 99), 1);
  EXPECT_EQ(fetch(*map, "fits", 1), pattern_bytes(300, 99));
  EXPECT_EQ(map->check().entry_count, stored.size() - 3);
}

}  // namespace
}  // namespace corvana::testing
