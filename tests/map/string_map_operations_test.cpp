// insert, get and remove of the string map on one thread: replacement, strings inline and out of
// line, collisions, a bucket's pages, and heap exhaustion.
#include <algorithm>
#include <string>
#include <vector>

#include "tests/map/map_test_support.hpp"

namespace corvana::testing {
namespace {

using StringMapOperations = MapTest;

// Stored files depend on both hashes: a change of either would leave every existing entry in a
// bucket where no lookup finds it.
TEST(KeyHashes, AreFixedAndSpreadHashesThatDifferOnlyInHighBits) {
  EXPECT_EQ(static_cast<std::uint64_t>(key_hash("", 0)), 0x2d06800538d394c2ULL);
  EXPECT_EQ(static_cast<std::uint64_t>(key_hash("corvana", 7)), 0x033a452db05d7ffaULL);
  // 8192 hashes k << 16 over 1024 buckets: 8 per bucket on average, never a pile.
  std::vector<int> lengths(1024);
  for (std::int64_t k = 0; k < 8192; ++k) {
    ++lengths[bucket_bits(k << 16) & 1023];
  }
  EXPECT_LE(*std::max_element(lengths.begin(), lengths.end()), 24);
}

TEST_F(StringMapOperations, ReplacingKeepsOneEntry) {
  std::string name;
  auto map = create(name, 4, 4);
  put(*map, "key", "first", 5);
  put(*map, "key", "second value", 5);
  EXPECT_EQ(map->element_count(), 1u);
  EXPECT_EQ(fetch(*map, "key", 5), "second value");
  EXPECT_EQ(fetch(*map, "key", 6), std::nullopt) << "the hash is part of the match";
  EXPECT_EQ(map->check().entry_count, 1u);
}

TEST_F(StringMapOperations, StringsOfEveryLengthRoundTripInlineOrOutOfLine) {
  std::string name;
  auto map = create(name, 4, 4, 1 << 22, 5);
  // Up to 256 bytes a string lies in its entry; longer ones in chains of 4088 bytes a chunk.
  for (const std::size_t length : {0, 1, 7, 8, 255, 256, 257, 4087, 4088, 4089, 8176, 8177, 100000}) {
    const std::string key = pattern_bytes(length, 1);
    const std::string value = pattern_bytes(length, 2);
    put(*map, key, value, static_cast<std::int64_t>(length));
    EXPECT_EQ(fetch(*map, key, static_cast<std::int64_t>(length)), value) << length;
  }
  EXPECT_EQ(map->check().entry_count, 13u);
  // Keys that differ only past the first chunk of their chain are different keys.
  std::string long_key = pattern_bytes(9000, 3);
  put(*map, long_key, "first", 42);
  long_key[8500] ^= 1;
  EXPECT_EQ(fetch(*map, long_key, 42), std::nullopt);
  put(*map, long_key, "second", 42);
  EXPECT_EQ(map->element_count(), 15u);
}

TEST_F(StringMapOperations, ReplacingAValueFreesWhatTheOldOneHeld) {
  std::string name;
  auto map = create(name, 4, 4, 1 << 22, 5);
  put(*map, "k", "short", 9);
  const StringMapCheck one_page = map->check();
  EXPECT_EQ(one_page.chunk_count, 1u) << "one page holds the entry, value and all";
  put(*map, "k", pattern_bytes(10000, 1), 9);
  EXPECT_EQ(map->check().chunk_count, 4u) << "the page and a chain of three chunks";
  EXPECT_EQ(fetch(*map, "k", 9), pattern_bytes(10000, 1));
  put(*map, "k", "short again", 9);
  EXPECT_EQ(map->check().chunk_count, 1u) << "the chain went back with the old value";
  EXPECT_EQ(fetch(*map, "k", 9), "short again");
  EXPECT_EQ(map->element_count(), 1u);
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
  EXPECT_EQ(map->check().chunk_count, 1u) << "one page for the bucket used, and nothing else";
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

TEST_F(StringMapOperations, FullPagesGetAPageAfterThemAndEmptyOnesAreUnlinked) {
  std::string name;
  auto map = create(name, 2, 1, 1 << 22, 5);  // 4 buckets; the hashes at 1, 5, 9, ... share bucket 1
  // Entries of 16 + 8 + 200 bytes: 18 fill a page of 4096 bytes.
  std::vector<std::int64_t> hashes;
  for (int index = 0; index < 40; ++index) {
    const std::int64_t hash = hash_at(1 + 4 * index);
    put(*map, "key-" + std::to_string(index), pattern_bytes(200, static_cast<unsigned>(index)), hash);
    hashes.push_back(hash);
  }
  EXPECT_EQ(map->bucket_length(1), 40u);
  EXPECT_EQ(map->bucket_page_count(1), 3u);
  EXPECT_EQ(map->bucket_hashes(1), hashes) << "entries keep the order they came in";
  // Removing every entry of the first page unlinks it; the others keep their order.
  for (int index = 0; index < 18; ++index) {
    EXPECT_TRUE(erase(*map, "key-" + std::to_string(index), hash_at(1 + 4 * index)));
  }
  EXPECT_EQ(map->bucket_page_count(1), 2u);
  EXPECT_EQ(map->bucket_hashes(1), std::vector<std::int64_t>(hashes.begin() + 18, hashes.end()));
  for (int index = 18; index < 40; ++index) {
    EXPECT_EQ(fetch(*map, "key-" + std::to_string(index), hash_at(1 + 4 * index)), pattern_bytes(200, static_cast<unsigned>(index)));
    EXPECT_TRUE(erase(*map, "key-" + std::to_string(index), hash_at(1 + 4 * index)));
  }
  EXPECT_EQ(map->bucket_page_count(1), 0u);
  EXPECT_EQ(map->element_count(), 0u);
  EXPECT_EQ(map->check().chunk_count, 0u);
}

TEST_F(StringMapOperations, AValueThatOutgrowsAFullPageMovesToAPageOfItsOwn) {
  std::string name;
  auto map = create(name, 2, 1, 1 << 22, 5);
  for (int index = 0; index < 18; ++index) {  // one full page of 18 entries of 224 bytes
    put(*map, "key-" + std::to_string(index), pattern_bytes(200, static_cast<unsigned>(index)), hash_at(1 + 4 * index));
  }
  ASSERT_EQ(map->bucket_page_count(1), 1u);
  put(*map, "key-7", pattern_bytes(256, 77), hash_at(29));  // 32 bytes more: no longer fits the page
  EXPECT_EQ(map->bucket_page_count(1), 2u);
  EXPECT_EQ(fetch(*map, "key-7", hash_at(29)), pattern_bytes(256, 77));
  for (int index = 0; index < 18; ++index) {
    if (index != 7) {
      EXPECT_EQ(fetch(*map, "key-" + std::to_string(index), hash_at(1 + 4 * index)), pattern_bytes(200, static_cast<unsigned>(index)));
    }
  }
  EXPECT_EQ(map->check().entry_count, 18u);
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
  EXPECT_EQ(map->check().entry_count, present);
}

TEST_F(StringMapOperations, HeapExhaustionLeavesTheMapIntactAndUsable) {
  std::string name;
  auto map = create(name, 2, 1, 640 * 1024, 5);  // 4 buckets, a heap of a few slabs
  std::vector<std::string> stored;
  bool exhausted = false;
  for (int index = 0; index < 10000 && !exhausted; ++index) {
    const std::string key = "key-" + std::to_string(index);
    const auto hash = static_cast<std::int64_t>(index);
    const std::uint64_t bucket = map->bucket_of(hash);
    const std::uint64_t length_before = map->bucket_length(bucket);
    const std::uint64_t pages_before = map->bucket_page_count(bucket);
    try {
      put(*map, key, pattern_bytes(300, index), hash);
      stored.push_back(key);
    } catch (const std::runtime_error&) {
      exhausted = true;
      EXPECT_EQ(map->bucket_length(bucket), length_before);
      EXPECT_EQ(map->bucket_page_count(bucket), pages_before);
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
  // The bucket locks were released: every bucket still takes operations, a full heap still lets
  // entries be removed (in place where a page copy finds no room), and what fits then succeeds.
  for (std::size_t index = 0; index < 4; ++index) {
    EXPECT_TRUE(erase(*map, stored[index], static_cast<std::int64_t>(index)));
  }
  std::size_t removed = 4;
  for (std::size_t index = 5; index < stored.size(); index += 4) {  // the rest of bucket 1
    EXPECT_TRUE(erase(*map, stored[index], static_cast<std::int64_t>(index)));
    ++removed;
  }
  EXPECT_EQ(map->check().entry_count, stored.size() - removed);
  put(*map, "fits", pattern_bytes(300, 99), 1);
  EXPECT_EQ(fetch(*map, "fits", 1), pattern_bytes(300, 99));
  EXPECT_EQ(map->check().entry_count, stored.size() - removed + 1);
  EXPECT_EQ(leaked_chunks(*map), 0u);
}

}  // namespace
}  // namespace corvana::testing
