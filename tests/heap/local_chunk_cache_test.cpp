// LocalChunkCache: the process-memory twin of ChunkCache.
#include <cstring>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/heap/heap_test_support.hpp"

namespace corvana {
namespace {

std::vector<LocalLink*> blocks_of(LocalLink* first, std::uint64_t count) {
  std::vector<LocalLink*> blocks;
  LocalLink* block = first;
  for (std::uint64_t index = 0; index < count; ++index) {
    blocks.push_back(block);
    block = block->next;
  }
  return blocks;
}

TEST(LocalChunkCache, TakeOneMakesAHundredZeroFilledBlocks) {
  LocalChunkCache cache(3);
  LocalLink* first = cache.take(1);
  EXPECT_EQ(cache.count(), 99u);
  std::set<LocalLink*> distinct;
  for (LocalLink* block : blocks_of(first, 100)) {
    distinct.insert(block);
    EXPECT_EQ(block->data, reinterpret_cast<std::byte*>(block) + 16);
    for (std::size_t byte = 0; byte < 3 * LocalChunkCache::record_bytes; ++byte) {
      ASSERT_EQ(std::to_integer<int>(block->data[byte]), 0);
    }
  }
  EXPECT_EQ(distinct.size(), 100u);
  cache.give_back(1, first);
  EXPECT_EQ(cache.count(), 100u);
}

TEST(LocalChunkCache, TakeBeyondTheCachedBlocksPutsNewOnesFirst) {
  LocalChunkCache cache(1);
  cache.fill(30);
  const auto old_blocks = blocks_of(cache.take(30), 30);
  EXPECT_EQ(cache.count(), 0u);
  cache.give_back(30, old_blocks[0]);
  const auto blocks = blocks_of(cache.take(250), 250);
  EXPECT_EQ(cache.count(), 0u);
  EXPECT_EQ(blocks[220], old_blocks[0]);
  EXPECT_EQ(blocks[249], old_blocks[29]);
  cache.give_back(250, blocks[0]);
  EXPECT_EQ(cache.count(), 250u);
}

TEST(LocalChunkCache, GiveBackStopsAtTheCapAndFreesTheRest) {
  LocalChunkCache cache(0);
  LocalChunkCache donor(0);
  cache.fill(chunk_cache_cap - 2);
  const auto blocks = blocks_of(donor.take(5), 5);
  cache.give_back(5, blocks[0]);  // the last three are freed (the sanitizers check they are not leaked)
  EXPECT_EQ(cache.count(), chunk_cache_cap);
  EXPECT_EQ(cache.take(2), blocks[0]);
  EXPECT_EQ(cache.count(), chunk_cache_cap - 2);
  cache.give_back(2, blocks[0]);
  cache.give_back(3, donor.take(3));  // a full cache frees all of them
  EXPECT_EQ(cache.count(), chunk_cache_cap);
}

TEST(LocalChunkCache, ThreadsSharingACacheNeverGetTheSameBlock) {
  LocalChunkCache cache(2);
  constexpr int thread_count = 4;
  constexpr int rounds = 2000;
  std::vector<int> failures(thread_count, 0);
  std::vector<std::thread> threads;
  for (int thread_index = 0; thread_index < thread_count; ++thread_index) {
    threads.emplace_back([&, thread_index] {
      for (int round = 0; round < rounds; ++round) {
        const std::uint64_t n = 1 + (round * 3 + thread_index) % 30;
        const auto blocks = blocks_of(cache.take(n), n);
        for (LocalLink* block : blocks) {
          std::memset(block->data, thread_index + 1, 2 * LocalChunkCache::record_bytes);
        }
        std::this_thread::yield();
        for (LocalLink* block : blocks) {
          if (std::to_integer<int>(block->data[47]) != thread_index + 1) {
            ++failures[thread_index];
          }
        }
        cache.give_back(n, blocks[0]);
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (int thread_index = 0; thread_index < thread_count; ++thread_index) {
    EXPECT_EQ(failures[thread_index], 0) << "thread " << thread_index;
  }
  const std::uint64_t cached = cache.count();
  const auto blocks = blocks_of(cache.take(cached), cached);
  EXPECT_EQ(std::set<LocalLink*>(blocks.begin(), blocks.end()).size(), cached);
  cache.give_back(cached, blocks[0]);
}

}  // namespace
}  // namespace corvana
