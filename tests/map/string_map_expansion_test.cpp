// Expansion of the string map with one participant at a time: placement and order of the moved
// entries, marks, the table bound, the helpers, and a creator that cannot make the new chunks.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/map/map_test_support.hpp"

namespace corvana::testing {
namespace {

using StringMapExpansion = MapTest;

std::string key_for(std::int64_t hash) {
  return "key-" + std::to_string(hash);
}

void put_hashes(ConcurrentHashMap_string& map, const std::vector<std::int64_t>& hashes) {
  for (const std::int64_t hash : hashes) {
    put(map, key_for(hash), "value-" + std::to_string(hash), hash);
  }
}

// Entries at the given positions (see hash_at), with the keys and values put_hashes gives them.
void put_positions(ConcurrentHashMap_string& map, const std::vector<std::int64_t>& positions) {
  for (const std::int64_t position : positions) {
    put_hashes(map, {hash_at(static_cast<std::uint64_t>(position))});
  }
}
bool erase_position(ConcurrentHashMap_string& map, std::int64_t position) {
  const std::int64_t hash = hash_at(static_cast<std::uint64_t>(position));
  return erase(map, key_for(hash), hash);
}

void expect_all_found(ConcurrentHashMap_string& map, const std::vector<std::int64_t>& hashes) {
  for (const std::int64_t hash : hashes) {
    EXPECT_EQ(fetch(map, key_for(hash), hash), "value-" + std::to_string(hash)) << hash;
  }
}

TEST_F(StringMapExpansion, OneParticipantDoublesAndPlacesEveryEntry) {
  std::string name;
  auto map = create(name, 2, 8);  // 4 buckets per chunk
  std::vector<std::int64_t> hashes;
  for (std::int64_t index = 0; index < 8; ++index) {
    hashes.push_back(index * 0x5BD1E995 - 1000);
  }
  put_hashes(*map, hashes);
  ASSERT_EQ(map->bucket_chunk_in_use(), 1u) << "8 entries in 4 buckets do not start an expansion";

  map->python_expansion_helper(0);
  EXPECT_EQ(map->bucket_chunk_in_use(), 2u);
  EXPECT_EQ(map->expansion_workers(), 0u);
  EXPECT_LT(map->migration_cursor(), 0);
  for (std::uint64_t bucket = 0; bucket < 8; ++bucket) {
    EXPECT_EQ(map->bucket_moving_to(bucket), 0u);
  }
  // check() verifies that every entry sits in bucket hash mod (2 * B * N).
  EXPECT_EQ(map->check().entry_count, hashes.size());
  expect_all_found(*map, hashes);

  // A second process's view learns the new chunk from the table.
  std::string opened_name = name;
  ConcurrentHashMap_string opened(opened_name, 2, 2, 2, 3);
  expect_all_found(opened, hashes);
}

TEST_F(StringMapExpansion, EntriesKeepTheirOrderInBothLists) {
  std::string name;
  auto map = create(name, 2, 8);  // 4 buckets; position bit 4 decides the split of bucket 0
  put_positions(*map, {0, 4, 8, 12, 16, 20});
  put_positions(*map, {1, 9});  // bucket 1: nothing moves
  put_positions(*map, {7});     // bucket 3: everything moves
  ASSERT_EQ(positions_of(map->bucket_hashes(0)), (std::vector<std::int64_t>{0, 4, 8, 12, 16, 20}));
  map->python_expansion_helper(0);
  ASSERT_EQ(map->bucket_chunk_in_use(), 2u);
  EXPECT_EQ(positions_of(map->bucket_hashes(0)), (std::vector<std::int64_t>{0, 8, 16}));
  EXPECT_EQ(positions_of(map->bucket_hashes(4)), (std::vector<std::int64_t>{4, 12, 20}));
  EXPECT_EQ(positions_of(map->bucket_hashes(1)), (std::vector<std::int64_t>{1, 9}));
  EXPECT_EQ(map->bucket_page_count(1), 1u);
  EXPECT_EQ(positions_of(map->bucket_hashes(3)), (std::vector<std::int64_t>{}));
  EXPECT_EQ(map->bucket_page_count(3), 0u) << "a bucket left empty keeps no page";
  EXPECT_EQ(positions_of(map->bucket_hashes(7)), (std::vector<std::int64_t>{7}));
  // An empty bucket is only marked and unmarked.
  EXPECT_EQ(map->bucket_length(2), 0u);
  EXPECT_EQ(map->bucket_page_count(2), 0u);
  EXPECT_EQ(map->bucket_moving_to(2), 0u);
  EXPECT_EQ(map->check().entry_count, 9u);
  for (const std::int64_t position : {0, 4, 8, 12, 16, 20, 1, 9, 7}) {
    expect_all_found(*map, {hash_at(position)});
  }

  for (const std::int64_t position : {0, 4, 8, 12, 16, 20, 1, 9, 7}) {
    EXPECT_TRUE(erase_position(*map, position));
  }
  EXPECT_EQ(map->check().entry_count, 0u);
}

TEST_F(StringMapExpansion, SeveralParticipantsShareOneDoubling) {
  std::string name;
  auto map = create(name, 10, 4, 1 << 24, 4);  // 1024 buckets: 64 claims of 16
  std::vector<std::int64_t> hashes;
  for (std::int64_t index = 0; index < 2000; ++index) {
    hashes.push_back(index * 0x9E3779B97F4A7C15ll);
  }
  put_hashes(*map, hashes);
  ASSERT_EQ(map->bucket_chunk_in_use(), 1u);
  std::atomic<int> ready = 0;
  std::vector<std::thread> participants;
  for (int thread = 0; thread < 4; ++thread) {
    participants.emplace_back([&] {
      std::string helper_name = name;
      ++ready;
      while (ready.load() < 4) {
        std::this_thread::yield();
      }
      python_expansion_helper_string(helper_name, 2);
    });
  }
  for (auto& participant : participants) {
    participant.join();
  }
  EXPECT_EQ(map->bucket_chunk_in_use(), 2u) << "one target, one doubling";
  EXPECT_EQ(map->expansion_workers(), 0u);
  EXPECT_EQ(map->check().entry_count, hashes.size());
  expect_all_found(*map, hashes);
}

TEST_F(StringMapExpansion, InsertsStartExpansionsOfAMapOfOneBucketUpToTheTableBound) {
  std::string name;
  auto map = create(name, 0, 4);  // one bucket per chunk, at most 4 chunks
  std::vector<std::int64_t> hashes;
  put_hashes(*map, {0, 1});
  EXPECT_EQ(map->bucket_chunk_in_use(), 1u);
  put_hashes(*map, {2});  // 3 entries > 2 per bucket
  EXPECT_EQ(map->bucket_chunk_in_use(), 2u);
  for (std::int64_t hash = 3; hash < 200; ++hash) {
    put_hashes(*map, {hash});
  }
  EXPECT_EQ(map->bucket_chunk_in_use(), 4u) << "the table has 4 slots: the map stops growing there";
  EXPECT_EQ(map->expansion_workers(), 0u);
  map->python_expansion_helper(0);
  EXPECT_EQ(map->bucket_chunk_in_use(), 4u);
  std::string helper_name = name;
  python_expansion_helper_string(helper_name, 8);
  EXPECT_EQ(map->bucket_chunk_in_use(), 4u);
  for (std::int64_t hash = 0; hash < 200; ++hash) {
    hashes.push_back(hash);
  }
  expect_all_found(*map, hashes);
  EXPECT_EQ(map->check().entry_count, 200u);
}

TEST_F(StringMapExpansion, AnInsertIntoAnEmptyBucketNeverStartsAnExpansion) {
  std::string name;
  auto map = create(name, 2, 8);
  put_positions(*map, {0, 4, 8, 12, 16, 20, 24, 28});  // bucket 0 holds 8 entries
  ASSERT_EQ(map->bucket_chunk_in_use(), 1u);
  put_positions(*map, {1});  // 9 entries > 8, but into an empty bucket
  EXPECT_EQ(map->bucket_chunk_in_use(), 1u);
  put_positions(*map, {5});  // appends: expands
  EXPECT_EQ(map->bucket_chunk_in_use(), 2u);
  EXPECT_EQ(map->check().entry_count, 10u);
}

TEST_F(StringMapExpansion, HelperStringJoinsOnlyBelowItsTarget) {
  std::string name;
  auto map = create(name, 2, 8);
  put_hashes(*map, {3, 7, 11});
  std::string helper_name = name;
  python_expansion_helper_string(helper_name, 1);
  EXPECT_EQ(map->bucket_chunk_in_use(), 1u) << "a reached target only opens and closes the map";
  EXPECT_EQ(map->table_slot(1), 0u);
  python_expansion_helper_string(helper_name, 2);
  EXPECT_EQ(map->bucket_chunk_in_use(), 2u);
  python_expansion_helper_string(helper_name, 2);
  EXPECT_EQ(map->bucket_chunk_in_use(), 2u);
  EXPECT_EQ(helper_name, name);
  EXPECT_EQ(map->check().entry_count, 3u);

  std::string empty;
  EXPECT_THROW(python_expansion_helper_string(empty, 4), std::invalid_argument);
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(file_count(), 1u) << "an empty name never creates a map";
}

TEST_F(StringMapExpansion, ACreatorWithoutHeapRollsBackAndTheMapKeepsWorking) {
  std::string name;
  auto map = create(name, 2, 4, 1024 * 1024, 5);  // 4 buckets
  // Warm the caches: bucket 0 grows to five entries and shrinks to two, so that pages of up to five
  // entries come from cached chunks once the heap is used up.
  put_positions(*map, {0, 4, 8, 12, 16});
  for (const std::int64_t position : {16, 12, 8}) {
    EXPECT_TRUE(erase_position(*map, position));
  }
  put_positions(*map, {1, 5, 2, 6, 3, 7});  // 8 entries: at the threshold
  ASSERT_GT(map->cached_chunks(), 4u);
  // Use up the heap's fresh space: new bucket chunks cannot be made any more.
  while (heap_alloc_bytes(map->heap_base(), 8) != nullptr) {
  }
  put_positions(*map, {12});  // 9 entries: starts an expansion whose creator fails
  EXPECT_EQ(map->bucket_chunk_in_use(), 1u);
  EXPECT_EQ(map->table_slot(1), 0u) << "the marker is rolled back";
  EXPECT_EQ(map->expansion_workers(), 0u);
  EXPECT_EQ(map->check().entry_count, 9u);

  // An explicit expansion reports why it failed and leaves the same state.
  try {
    map->python_expansion_helper(0);
    ADD_FAILURE() << "the expansion cannot succeed";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "mm:alloc: out of memory");
  }
  EXPECT_EQ(map->table_slot(1), 0u);
  EXPECT_EQ(map->expansion_workers(), 0u);

  // Several participants at once: whoever waits for a creator that rolls back leaves as well.
  std::vector<std::thread> participants;
  std::atomic<int> failures = 0;
  for (int thread = 0; thread < 4; ++thread) {
    participants.emplace_back([&] {
      try {
        map->python_expansion_helper(0);
      } catch (const std::runtime_error&) {
        ++failures;
      }
    });
  }
  for (auto& participant : participants) {
    participant.join();
  }
  EXPECT_GE(failures.load(), 1);
  EXPECT_EQ(map->table_slot(1), 0u);
  EXPECT_EQ(map->expansion_workers(), 0u);
  EXPECT_EQ(map->bucket_chunk_in_use(), 1u);

  put_positions(*map, {16});  // tries again, fails again, and the insert itself succeeds
  for (const std::int64_t position : {0, 4, 1, 5, 2, 6, 3, 7, 12, 16}) {
    expect_all_found(*map, {hash_at(position)});
  }
  EXPECT_TRUE(erase_position(*map, 5));
  EXPECT_EQ(map->element_count(), 9u);
  EXPECT_EQ(map->check().entry_count, 9u);
}

}  // namespace
}  // namespace corvana::testing
