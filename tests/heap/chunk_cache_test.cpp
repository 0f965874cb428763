// ChunkCache and check_free: refills in batches, take, give_back up to the cap, destruction.
#include <cerrno>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/heap/heap_test_support.hpp"

namespace corvana {
namespace {

using testing_support::check_heap;
using testing_support::free_list_chunks;
using testing_support::FreeList;
using testing_support::heap_next_of;
using testing_support::MemoryFileTest;
using testing_support::value_of;

constexpr char check_free_address_text[] = "check_free<true>(Allocator allocator, void * target) failed!";
constexpr char check_free_offset_text[] =
    "check_free<true>(Allocator allocator, const Offset<true> &target) failed!";

// Link chunk plus record-block chunk of one item of a block cache of unit 2.
constexpr std::uint64_t block_item_bytes = 24 + 184;

class ChunkCacheTest : public MemoryFileTest {
 protected:
  ChunkCacheTest() { heap_size_ = 1 << 20; }

  ChunkLink* link_at(Offset offset) const { return reinterpret_cast<ChunkLink*>(address_of(heap_, offset)); }

  // The items of a run of `count`, in order.
  std::vector<ChunkLink*> items_of(ChunkLink* first, std::uint64_t count) const {
    std::vector<ChunkLink*> items;
    ChunkLink* item = first;
    for (std::uint64_t index = 0; index < count; ++index) {
      items.push_back(item);
      if (index + 1 < count) {
        item = link_at(item->next);
      }
    }
    return items;
  }

  std::size_t listed(FreeList list) const { return free_list_chunks(heap_, list).size(); }

  // Bytes of all chunks on the three free lists.
  std::uint64_t listed_bytes() const {
    std::uint64_t bytes = 0;
    for (FreeList list : {FreeList::string, FreeList::links, FreeList::record_blocks}) {
      for (std::uint64_t chunk_offset : free_list_chunks(heap_, list)) {
        bytes += testing_support::chunk_header_at(heap_, chunk_offset).chunk_size;
      }
    }
    return bytes;
  }
};

// ---------------------------------------------------------------------------------------------
// take

TEST_F(ChunkCacheTest, TakeOneFromAFreshHeapMakesAHundredLinkAndDataPairs) {
  ChunkCache cache(heap_, CacheKind::blocks, 2);
  EXPECT_EQ(cache.data_unit(), 176);
  ChunkLink* first = cache.take(1);
  EXPECT_EQ(cache.count(), 99u);
  EXPECT_EQ(heap_next_of(heap_), 64 + 100 * block_item_bytes);
  // Each link chunk (24 bytes) is followed at once by its record block (184 bytes).
  const auto items = items_of(first, 100);
  for (std::uint64_t index = 0; index < 100; ++index) {
    EXPECT_EQ(offset_of(heap_, items[index]), static_cast<Offset>(64 + index * 208 + 2));
    EXPECT_EQ(value_of(items[index]->data), static_cast<Offset>(64 + index * 208 + 24 + 2));
    EXPECT_EQ(heap_unit_of(heap_, address_of(heap_, items[index]->data)), 176);
  }
}

TEST_F(ChunkCacheTest, RefillUsesRecycledChunksBeforeCarvingPairs) {
  std::byte* spare_link = heap_alloc_chunks(heap_, 1, link_unit);
  ASSERT_NE(spare_link, nullptr);
  ASSERT_TRUE(heap_free(heap_, spare_link + 2));
  EXPECT_EQ(heap_alloc_pairs(heap_, 1, link_unit, 176), nullptr);  // a listed link comes first
  ChunkCache cache(heap_, CacheKind::blocks, 2);
  ChunkLink* first = cache.take(1);
  EXPECT_EQ(reinterpret_cast<std::byte*>(first), spare_link + 2);
  EXPECT_EQ(heap_unit_of(heap_, address_of(heap_, first->data)), 176);
  // With the lists empty again, the next batch is carved as pairs.
  const std::uint64_t before = heap_next_of(heap_);
  std::byte* pair = heap_alloc_pairs(heap_, 2, link_unit, 176);
  ASSERT_NE(pair, nullptr);
  EXPECT_EQ(static_cast<std::uint64_t>(pair - heap_), before);
  EXPECT_EQ(heap_next_of(heap_), before + 2 * 208);
  EXPECT_EQ(heap_unit_of(heap_, pair + 208 + 24 + 2), 176);
  EXPECT_TRUE(heap_free(heap_, pair + 208 + 24 + 2));
}

TEST_F(ChunkCacheTest, TakeBeyondTheCachedItemsRefillsInBatchesAheadOfThem) {
  ChunkCache cache(heap_, CacheKind::blocks, 2);
  cache.fill(30);
  ASSERT_EQ(cache.count(), 30u);
  const std::uint64_t before = heap_next_of(heap_);
  ChunkLink* first = cache.take(250);
  EXPECT_EQ(cache.count(), 0u);
  EXPECT_EQ(heap_next_of(heap_) - before, 220 * block_item_bytes);
  const auto items = items_of(first, 250);
  std::set<Offset> data;
  for (std::uint64_t index = 0; index < 250; ++index) {
    const bool is_new = static_cast<std::uint64_t>(offset_of(heap_, items[index])) > before;
    EXPECT_EQ(is_new, index < 220) << index;
    data.insert(value_of(items[index]->data));
  }
  EXPECT_EQ(data.size(), 250u);
  // Batches of 100, 100 and 20: each batch's links are one run followed by its data chunks.
  EXPECT_EQ(static_cast<std::uint64_t>(offset_of(heap_, items[100])), before + 100 * block_item_bytes + 2);
  EXPECT_EQ(static_cast<std::uint64_t>(offset_of(heap_, items[200])), before + 200 * block_item_bytes + 2);
  EXPECT_EQ(static_cast<std::uint64_t>(items[219]->data), before + 200 * block_item_bytes + 20 * 24 + 19 * 184 + 2);
  // The emptied cache refills on the next take.
  cache.take(1);
  EXPECT_EQ(cache.count(), 99u);
  cache.give_back(250, first);
}

TEST_F(ChunkCacheTest, TakingExactlyWhatIsCachedEmptiesItWithoutTheHeap) {
  ChunkCache cache(heap_, CacheKind::strings, string_unit_);
  cache.fill(30);
  const std::uint64_t before = heap_next_of(heap_);
  ChunkLink* first = cache.take(30);
  EXPECT_EQ(cache.count(), 0u);
  EXPECT_EQ(heap_next_of(heap_), before);
  cache.give_back(30, first);
  EXPECT_EQ(cache.count(), 30u);
}

TEST_F(ChunkCacheTest, TakenRunEndsAtTheNewHead) {
  ChunkCache cache(heap_, CacheKind::strings, string_unit_);
  ChunkLink* first = cache.take(3);
  ChunkLink* last = items_of(first, 3).back();
  ChunkLink* head = cache.take(1);
  EXPECT_EQ(value_of(last->next), offset_of(heap_, head));
}

// ---------------------------------------------------------------------------------------------
// give_back and the cap

TEST_F(ChunkCacheTest, GivenBackItemsAreTakenFirst) {
  ChunkCache cache(heap_, CacheKind::strings, string_unit_);
  ChunkLink* first = cache.take(5);
  const std::uint64_t cached = cache.count();
  cache.give_back(5, first);
  EXPECT_EQ(cache.count(), cached + 5);
  EXPECT_EQ(cache.take(5), first);
  EXPECT_EQ(listed(FreeList::links), 0u);
}

class ChunkCacheAtCap : public ChunkCacheTest {
 protected:
  void SetUp() override {
    // A string unit of 8 keeps a full cache small: 24 + 16 bytes an item, and each run of 100 items
    // may start up to 56 bytes later, on a cache line.
    remake_heap((chunk_cache_cap + 400) * 40 + (chunk_cache_cap / 100 + 10) * 56, 8);
  }
};

TEST_F(ChunkCacheAtCap, GiveBackKeepsWhatFitsAndReturnsTheRestInRunOrder) {
  ChunkCache donor(heap_, CacheKind::strings, 8);
  ChunkCache cache(heap_, CacheKind::strings, 8);
  cache.fill(chunk_cache_cap - 2);
  ASSERT_EQ(cache.count(), chunk_cache_cap - 2);

  const auto items = items_of(donor.take(5), 5);
  std::vector<Offset> data;
  for (ChunkLink* item : items) {
    data.push_back(value_of(item->data));
  }
  cache.give_back(5, items[0]);
  EXPECT_EQ(cache.count(), chunk_cache_cap);
  // Items 0 and 1 stay; items 2, 3, 4 went back, data chunk before link, so the lists (last in,
  // first out) now start with item 4.
  EXPECT_EQ(cache.take(2), items[0]);
  const auto links = free_list_chunks(heap_, FreeList::links);
  const auto strings = free_list_chunks(heap_, FreeList::string);
  ASSERT_EQ(links.size(), 3u);
  ASSERT_EQ(strings.size(), 3u);
  for (std::size_t index = 0; index < 3; ++index) {
    EXPECT_EQ(links[index] + 2, static_cast<std::uint64_t>(offset_of(heap_, items[4 - index])));
    EXPECT_EQ(strings[index] + 2, static_cast<std::uint64_t>(data[4 - index]));
  }
  cache.give_back(2, items[0]);
  ASSERT_EQ(cache.count(), chunk_cache_cap);

  // A full cache returns every item.
  ChunkLink* more = donor.take(2);
  cache.give_back(2, more);
  EXPECT_EQ(cache.count(), chunk_cache_cap);
  EXPECT_EQ(listed(FreeList::links), 5u);
  EXPECT_EQ(listed(FreeList::string), 5u);
  EXPECT_TRUE(check_heap(heap_));

  // The heap refuses a data chunk that is not free-listed: check_free's text, items before it gone.
  ChunkLink* bad = donor.take(1);
  bad->data = offset_of(heap_, heap_alloc_bytes(heap_, 8));
  try {
    cache.give_back(1, bad);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), check_free_address_text);
  }
  EXPECT_EQ(cache.count(), chunk_cache_cap);
  cache.take(1);  // the lock was released
}

// ---------------------------------------------------------------------------------------------
// What new items hold

TEST_F(ChunkCacheTest, BlockItemsAreZeroFilledStringItemsAreNot) {
  std::vector<std::byte*> dirty;
  for (std::uint8_t unit : {record_block_unit, string_unit_}) {
    std::byte* chunk = heap_alloc_chunks(heap_, 100, unit);
    for (int index = 0; index < 100; ++index) {
      std::byte* next = heap_ + testing_support::chunk_link_at(heap_, static_cast<std::uint64_t>(chunk - heap_));
      std::memset(chunk + 2, 0xAB, unit);
      dirty.push_back(chunk + 2);
      chunk = next;
    }
  }
  for (std::byte* payload : dirty) {
    ASSERT_TRUE(heap_free(heap_, payload));
  }

  ChunkCache blocks(heap_, CacheKind::blocks, 2);
  ChunkCache strings(heap_, CacheKind::strings, string_unit_);
  const auto block_items = items_of(blocks.take(100), 100);
  const auto string_items = items_of(strings.take(100), 100);
  for (std::size_t index = 0; index < 100; ++index) {
    const std::byte* block = address_of(heap_, block_items[index]->data);
    for (std::size_t byte = 0; byte < 176; ++byte) {
      ASSERT_EQ(std::to_integer<int>(block[byte]), 0) << index << ":" << byte;
    }
    // Past the allocator's 8-byte link, a string chunk still holds what it held on the list.
    const std::byte* string = address_of(heap_, string_items[index]->data);
    for (std::size_t byte = 8; byte < string_unit_; ++byte) {
      ASSERT_EQ(std::to_integer<int>(string[byte]), 0xAB) << index << ":" << byte;
    }
  }
  blocks.give_back(100, block_items[0]);
  strings.give_back(100, string_items[0]);
}

// ---------------------------------------------------------------------------------------------
// Destruction

TEST_F(ChunkCacheTest, DestructionReturnsEveryCachedItem) {
  {
    ChunkCache cache(heap_, CacheKind::blocks, 2);
    cache.take(3);  // these three stay with the caller
    ASSERT_EQ(cache.count(), 97u);
  }
  EXPECT_EQ(listed(FreeList::links), 97u);
  EXPECT_EQ(listed(FreeList::record_blocks), 97u);
  {
    ChunkCache empty(heap_, CacheKind::strings, string_unit_);
  }
  EXPECT_EQ(listed(FreeList::links), 97u);
}

TEST_F(ChunkCacheTest, DestructionKeepsWhatIsNotAnItemOfItsOwn) {
  // A record in the file may have been left by a dead process or damaged: destruction returns the
  // items it can vouch for and leaves the rest where it is, rather than handing foreign memory to the
  // heap or ending the process.
  const std::uint64_t string_list_before = free_list_chunks(heap_, FreeList::string).size();
  {
    ChunkCache cache(heap_, CacheKind::strings, string_unit_);
    ChunkLink* run = cache.take(3);
    ChunkLink* second = link_at(run->next);
    second->data = offset_of(heap_, heap_alloc_bytes(heap_, 8));  // not a string chunk
    cache.give_back(3, run);
  }
  EXPECT_EQ(free_list_chunks(heap_, FreeList::string).size(), string_list_before + 1)
      << "the first item goes back; nothing past the damaged one is followed";
}

// ---------------------------------------------------------------------------------------------
// Failures

TEST_F(ChunkCacheTest, RefillThatRunsOutLeavesTheCacheAsItWasAndReturnsItsChunks) {
  remake_heap(250 * block_item_bytes, string_unit_);
  ChunkCache cache(heap_, CacheKind::blocks, 2);
  cache.fill(10);
  ChunkLink* head = cache.take(1);
  cache.give_back(1, head);
  try {
    cache.take(500);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), std::strerror(ENOMEM));
  }
  EXPECT_STREQ(heap_last_error(), "mm:alloc: out of memory");
  EXPECT_EQ(cache.count(), 10u);
  EXPECT_TRUE(check_heap(heap_));
  // Everything carved beyond the ten cached items is back on the lists.
  EXPECT_EQ(listed_bytes(), heap_next_of(heap_) - 64 - 10 * block_item_bytes);
  // The lock was released and the cached run is intact.
  EXPECT_EQ(cache.take(10), head);
  EXPECT_EQ(cache.count(), 0u);
  cache.give_back(10, head);
}

TEST_F(ChunkCacheTest, InvalidRequestsAreRefused) {
  ChunkCache cache(heap_, CacheKind::strings, string_unit_);
  EXPECT_THROW(cache.take(0), std::invalid_argument);
  EXPECT_THROW(cache.fill(0), std::invalid_argument);
  EXPECT_THROW(cache.give_back(0, nullptr), std::invalid_argument);
  ChunkCache too_wide(heap_, CacheKind::blocks, 3);  // 264-byte record blocks do not fit a chunk
  EXPECT_EQ(too_wide.data_unit(), 0);
  EXPECT_THROW(too_wide.take(1), std::invalid_argument);
  ChunkCache without_heap(nullptr, CacheKind::strings, string_unit_);
  EXPECT_THROW(without_heap.take(1), std::invalid_argument);
  EXPECT_EQ(heap_next_of(heap_), 64u);
  cache.take(1);  // every refusal released the lock
}

TEST_F(ChunkCacheTest, CheckFreeRefusesWithItsTexts) {
  std::byte* raw = heap_alloc_bytes(heap_, 16);
  try {
    check_free(heap_, static_cast<void*>(raw));
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), check_free_address_text);
  }
  const Offset raw_offset = offset_of(heap_, raw);
  try {
    check_free(heap_, raw_offset);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), check_free_offset_text);
  }
  EXPECT_THROW(check_free(heap_, Offset::null), std::runtime_error);
  std::byte* link = heap_alloc_chunks(heap_, 1, link_unit);
  EXPECT_NO_THROW(check_free(heap_, offset_of(heap_, link + 2)));
  EXPECT_EQ(listed(FreeList::links), 1u);
}

// ---------------------------------------------------------------------------------------------
// Threads sharing one cache

TEST_F(ChunkCacheTest, ThreadsSharingACacheNeverGetTheSameItem) {
  remake_heap(8 << 20, string_unit_);
  ChunkCache cache(heap_, CacheKind::strings, string_unit_);
  constexpr int thread_count = 4;
  constexpr int rounds = 2000;
  std::vector<int> failures(thread_count, 0);
  std::vector<std::thread> threads;
  for (int thread_index = 0; thread_index < thread_count; ++thread_index) {
    threads.emplace_back([&, thread_index] {
      for (int round = 0; round < rounds; ++round) {
        const std::uint64_t n = 1 + (round * 7 + thread_index) % 40;
        const auto items = items_of(cache.take(n), n);
        for (ChunkLink* item : items) {
          std::memset(address_of(heap_, item->data), thread_index + 1, string_unit_);
        }
        std::this_thread::yield();
        for (ChunkLink* item : items) {
          const std::byte* data = address_of(heap_, item->data);
          for (std::size_t byte = 0; byte < string_unit_; ++byte) {
            if (std::to_integer<int>(data[byte]) != thread_index + 1) {
              ++failures[thread_index];
              break;
            }
          }
        }
        cache.give_back(n, items[0]);
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (int thread_index = 0; thread_index < thread_count; ++thread_index) {
    EXPECT_EQ(failures[thread_index], 0) << "thread " << thread_index;
  }
  // Every item made is in the cache once: nothing lost, nothing duplicated.
  const std::uint64_t cached = cache.count();
  EXPECT_EQ(cached * (24 + chunk_size_for_unit(string_unit_)), heap_next_of(heap_) - 64);
  std::set<Offset> links;
  std::set<Offset> data;
  for (ChunkLink* item : items_of(cache.take(cached), cached)) {
    links.insert(offset_of(heap_, item));
    data.insert(value_of(item->data));
  }
  EXPECT_EQ(links.size(), cached);
  EXPECT_EQ(data.size(), cached);
}

}  // namespace
}  // namespace corvana
