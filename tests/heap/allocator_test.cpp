// The chunk allocator: fresh runs, free lists, raw blocks, refusals, out of memory, diagnostics.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "tests/heap/heap_test_support.hpp"

namespace corvana {
namespace {

using testing_support::check_heap;
using testing_support::chunk_header_at;
using testing_support::chunk_link_at;
using testing_support::chunk_offset_of;
using testing_support::free_list_chunks;
using testing_support::FreeList;
using testing_support::heap_next_of;
using testing_support::MemoryFileTest;

class ChunkAllocator : public MemoryFileTest {};

std::byte* payload_of(std::byte* chunk) { return chunk + 2; }

// Carves `count` unit-16 chunks and returns their starts in run order (walking the run's links).
std::vector<std::byte*> run_chunks(Allocator heap, std::byte* first, std::size_t count) {
  std::vector<std::byte*> chunks;
  std::byte* chunk = first;
  for (std::size_t index = 0; index < count; ++index) {
    chunks.push_back(chunk);
    chunk = heap + chunk_link_at(heap, chunk_offset_of(heap, chunk));
  }
  return chunks;
}

void expect_out_of_memory() {
  EXPECT_EQ(errno, ENOMEM);
  ASSERT_NE(heap_last_error(), nullptr);
  EXPECT_STREQ(heap_last_error(), "mm:alloc: out of memory");
}

// ---------------------------------------------------------------------------------------------
// Fresh space

TEST_F(ChunkAllocator, FreshRunStartsAtOffset64WithConsecutiveChunks) {
  std::byte* first = heap_alloc_chunks(heap_, 3, link_unit);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(chunk_offset_of(heap_, first), 64u);
  for (std::uint64_t index = 0; index < 3; ++index) {
    const std::uint64_t offset = 64 + index * 24;
    EXPECT_EQ(chunk_header_at(heap_, offset).chunk_size, 24);
    EXPECT_EQ(chunk_header_at(heap_, offset).unit, 16);
    EXPECT_EQ(chunk_link_at(heap_, offset), offset + 24);
  }
  EXPECT_EQ(heap_next_of(heap_), 64u + 72u);
}

TEST_F(ChunkAllocator, ChunkSizesFollowTheUnit) {
  EXPECT_EQ(chunk_size_for_unit(246), 248);  // the widest unit still fits its byte
  EXPECT_EQ(chunk_size_for_unit(1), 8);

  std::byte* header_record = heap_alloc_chunks(heap_, 1, map_header_unit);
  ASSERT_NE(header_record, nullptr);
  EXPECT_EQ(chunk_header_at(heap_, chunk_offset_of(heap_, header_record)).chunk_size, 176);
  EXPECT_EQ(heap_unit_of(heap_, payload_of(header_record)), 168);
  EXPECT_EQ(heap_next_of(heap_), 64u + 176u);
}

TEST_F(ChunkAllocator, ChunksTooSmallForALinkStayInsideTheirRun) {
  if (page_size() != 4096) {
    GTEST_SKIP() << "needs a heap that ends exactly at the end of its mapping";
  }
  remake_heap(4008, 5);  // the mapping ends exactly at heap_end; 5 is also the string unit
  std::byte* first = heap_alloc_chunks(heap_, 501, 1);  // the whole heap, the last chunk at its end
  ASSERT_NE(first, nullptr);
  for (std::uint64_t index = 0; index < 501; ++index) {
    const std::uint64_t offset = 64 + index * 8;
    ASSERT_EQ(chunk_header_at(heap_, offset).chunk_size, 8) << index;
    ASSERT_EQ(chunk_header_at(heap_, offset).unit, 1) << index;
    // No link was written: the 6-byte payload is as the new file had it. (An 8-byte link in the
    // last chunk would have run 2 bytes past the end of the mapping.)
    for (std::uint64_t byte = 2; byte < 8; ++byte) {
      ASSERT_EQ(std::to_integer<int>(heap_[offset + byte]), 0) << index;
    }
  }
  remake_heap(4096, 5);
  std::byte* string = heap_alloc_chunks(heap_, 2, 5);
  EXPECT_FALSE(heap_free(heap_, payload_of(string)));
  EXPECT_EQ(chunk_header_at(heap_, 72).unit, 5);
}

TEST_F(ChunkAllocator, ExactFitSucceedsAndLeavesNothingSpare) {
  remake_heap(24 * 10, 64);
  EXPECT_EQ(heap_available(heap_), 240u);
  ASSERT_NE(heap_alloc_chunks(heap_, 10, link_unit), nullptr);
  EXPECT_EQ(heap_available(heap_), 0u);
  errno = 0;
  EXPECT_EQ(heap_alloc_chunks(heap_, 1, link_unit), nullptr);
  expect_out_of_memory();
}

TEST_F(ChunkAllocator, OutOfMemoryLeavesHeapNextUnchanged) {
  remake_heap(1000, 64);
  ASSERT_NE(heap_alloc_bytes(heap_, 500), nullptr);
  const std::uint64_t next = heap_next_of(heap_);
  heap_set_error(heap_error_core_prefix, nullptr);
  errno = 0;
  EXPECT_EQ(heap_alloc_chunks(heap_, 100, record_block_unit), nullptr);
  expect_out_of_memory();
  errno = 0;
  EXPECT_EQ(heap_alloc_bytes(heap_, 600), nullptr);
  expect_out_of_memory();
  EXPECT_EQ(heap_next_of(heap_), next);
}

TEST_F(ChunkAllocator, SizesWhoseArithmeticOverflowsAreOutOfMemory) {
  const std::uint64_t next = heap_next_of(heap_);
  constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
  errno = 0;
  EXPECT_EQ(heap_alloc_chunks(heap_, max / 8, map_header_unit), nullptr);  // count x 176 wraps
  expect_out_of_memory();
  errno = 0;
  EXPECT_EQ(heap_alloc_bytes(heap_, max), nullptr);
  expect_out_of_memory();
  errno = 0;
  EXPECT_EQ(heap_alloc_bytes(heap_, max - 6), nullptr);  // rounding would wrap to a tiny block
  expect_out_of_memory();
  EXPECT_EQ(heap_next_of(heap_), next);
}

TEST_F(ChunkAllocator, InvalidRequestsReturnNullWithoutText) {
  heap_set_error(heap_error_core_prefix, "kept");
  EXPECT_EQ(heap_alloc_chunks(nullptr, 1, link_unit), nullptr);
  EXPECT_EQ(heap_alloc_chunks(heap_, 1, 0), nullptr);
  EXPECT_EQ(heap_alloc_bytes(nullptr, 8), nullptr);
  EXPECT_EQ(heap_alloc_bytes(heap_, 0), nullptr);
  errno = 0;
  EXPECT_EQ(heap_alloc_chunks(heap_, 0, link_unit), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(heap_alloc_chunks(heap_, 1, 247), nullptr);  // its chunk size would not fit a byte
  EXPECT_EQ(errno, EINVAL);
  EXPECT_STREQ(heap_last_error(), "mm:core: kept");
  EXPECT_EQ(heap_next_of(heap_), 64u);
  EXPECT_EQ(heap_unit_of(nullptr, heap_ + 66), -1);
  EXPECT_EQ(heap_unit_of(heap_, nullptr), -1);
  EXPECT_EQ(heap_available(nullptr), 0u);
  EXPECT_FALSE(heap_free(nullptr, heap_ + 66));
  EXPECT_FALSE(heap_free(heap_, nullptr));
}

// ---------------------------------------------------------------------------------------------
// Raw blocks

TEST_F(ChunkAllocator, RawBlocksTakeSizePlusTwoRoundedToEight) {
  struct Case {
    std::size_t size;
    std::uint64_t consumed;
  };
  for (const Case& c : {Case{1, 8}, Case{6, 8}, Case{7, 16}, Case{14, 16}, Case{15, 24}, Case{4096, 4104}}) {
    const std::uint64_t before = heap_next_of(heap_);
    std::byte* payload = heap_alloc_bytes(heap_, c.size);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(chunk_offset_of(heap_, payload), before + 2) << c.size;
    EXPECT_EQ(heap_next_of(heap_) - before, c.consumed) << c.size;
    EXPECT_EQ(heap_unit_of(heap_, payload), 0);
    EXPECT_EQ(std::to_integer<int>(payload[-2]), 0);
  }
}

// ---------------------------------------------------------------------------------------------
// Free lists

TEST_F(ChunkAllocator, FreeListsAreLastInFirstOut) {
  const auto chunks = run_chunks(heap_, heap_alloc_chunks(heap_, 3, link_unit), 3);
  for (std::byte* chunk : chunks) {
    ASSERT_TRUE(heap_free(heap_, payload_of(chunk)));
  }
  std::byte* first = heap_alloc_chunks(heap_, 2, link_unit);
  ASSERT_EQ(first, chunks[2]);
  EXPECT_EQ(heap_ + chunk_link_at(heap_, chunk_offset_of(heap_, first)), chunks[1]);
  EXPECT_EQ(free_list_chunks(heap_, FreeList::links), std::vector<std::uint64_t>{chunk_offset_of(heap_, chunks[0])});
}

TEST_F(ChunkAllocator, EachUnitHasItsOwnList) {
  std::byte* link = heap_alloc_chunks(heap_, 1, link_unit);
  std::byte* record_block = heap_alloc_chunks(heap_, 1, record_block_unit);
  std::byte* string = heap_alloc_chunks(heap_, 1, string_unit_);
  ASSERT_TRUE(heap_free(heap_, payload_of(link)));
  ASSERT_TRUE(heap_free(heap_, payload_of(record_block)));
  ASSERT_TRUE(heap_free(heap_, payload_of(string)));
  EXPECT_EQ(free_list_chunks(heap_, FreeList::links), std::vector<std::uint64_t>{chunk_offset_of(heap_, link)});
  EXPECT_EQ(free_list_chunks(heap_, FreeList::record_blocks),
            std::vector<std::uint64_t>{chunk_offset_of(heap_, record_block)});
  EXPECT_EQ(free_list_chunks(heap_, FreeList::string), std::vector<std::uint64_t>{chunk_offset_of(heap_, string)});
  const std::uint64_t next = heap_next_of(heap_);
  EXPECT_EQ(heap_alloc_chunks(heap_, 1, string_unit_), string);
  EXPECT_EQ(heap_alloc_chunks(heap_, 1, record_block_unit), record_block);
  EXPECT_EQ(heap_alloc_chunks(heap_, 1, link_unit), link);
  EXPECT_EQ(heap_next_of(heap_), next);
}

TEST_F(ChunkAllocator, StringUnitOf16TakesOverTheLinkList) {
  remake_heap(4096, 16);
  std::byte* link = heap_alloc_chunks(heap_, 1, link_unit);
  ASSERT_TRUE(heap_free(heap_, payload_of(link)));
  EXPECT_EQ(free_list_chunks(heap_, FreeList::string).size(), 1u);
  EXPECT_TRUE(free_list_chunks(heap_, FreeList::links).empty());
}

TEST_F(ChunkAllocator, RequestIsServedFromTheListThenFresh) {
  const auto listed = run_chunks(heap_, heap_alloc_chunks(heap_, 2, link_unit), 2);
  ASSERT_TRUE(heap_free(heap_, payload_of(listed[0])));
  ASSERT_TRUE(heap_free(heap_, payload_of(listed[1])));
  const std::uint64_t fresh_start = heap_next_of(heap_);

  std::byte* first = heap_alloc_chunks(heap_, 5, link_unit);
  ASSERT_NE(first, nullptr);
  const auto chunks = run_chunks(heap_, first, 5);
  EXPECT_EQ(chunks[0], listed[1]);
  EXPECT_EQ(chunks[1], listed[0]);
  for (std::size_t index = 2; index < 5; ++index) {
    EXPECT_EQ(chunk_offset_of(heap_, chunks[index]), fresh_start + (index - 2) * 24);
  }
  EXPECT_EQ(heap_next_of(heap_), fresh_start + 72);
  EXPECT_TRUE(free_list_chunks(heap_, FreeList::links).empty());
}

TEST_F(ChunkAllocator, PartialRequestThatDoesNotFitPutsItsListChunksBack) {
  remake_heap(24 * 4, 64);
  const auto chunks = run_chunks(heap_, heap_alloc_chunks(heap_, 4, link_unit), 4);
  ASSERT_TRUE(heap_free(heap_, payload_of(chunks[0])));
  ASSERT_TRUE(heap_free(heap_, payload_of(chunks[2])));
  const auto before = free_list_chunks(heap_, FreeList::links);
  ASSERT_EQ(before.size(), 2u);

  errno = 0;
  EXPECT_EQ(heap_alloc_chunks(heap_, 3, link_unit), nullptr);
  expect_out_of_memory();
  EXPECT_EQ(free_list_chunks(heap_, FreeList::links), before);
  EXPECT_EQ(heap_next_of(heap_), 64u + 96u);
  EXPECT_TRUE(check_heap(heap_));
  // The returned chunks serve the next request that fits.
  std::byte* first = heap_alloc_chunks(heap_, 2, link_unit);
  EXPECT_EQ(chunk_offset_of(heap_, first), before[0]);
}

// ---------------------------------------------------------------------------------------------
// Refusals of heap_free

TEST_F(ChunkAllocator, FreeRefusesChunksWithoutAList) {
  std::byte* header_record = heap_alloc_chunks(heap_, 1, map_header_unit);
  std::byte* raw = heap_alloc_bytes(heap_, 40);
  std::byte* odd = heap_alloc_chunks(heap_, 1, 100);
  heap_set_error(heap_error_core_prefix, "kept");
  EXPECT_FALSE(heap_free(heap_, payload_of(header_record)));
  EXPECT_FALSE(heap_free(heap_, raw));
  EXPECT_FALSE(heap_free(heap_, payload_of(odd)));
  EXPECT_STREQ(heap_last_error(), "mm:core: kept");
  EXPECT_TRUE(free_list_chunks(heap_, FreeList::record_blocks).empty());
}

TEST_F(ChunkAllocator, FreeRefusesAddressesThatAreNotChunksOfThisHeap) {
  std::byte* link = heap_alloc_chunks(heap_, 1, link_unit);
  std::byte outside[32] = {};
  outside[1] = std::byte{16};
  EXPECT_FALSE(heap_free(heap_, outside + 2));
  EXPECT_FALSE(heap_free(heap_, payload_of(link) + 8));    // inside a chunk
  EXPECT_FALSE(heap_free(heap_, heap_ + 2));               // the heap header
  EXPECT_FALSE(heap_free(heap_, heap_ + heap_next_of(heap_) + 2));  // never carved
  EXPECT_TRUE(free_list_chunks(heap_, FreeList::links).empty());
}

// ---------------------------------------------------------------------------------------------
// Diagnostics

TEST_F(ChunkAllocator, AvailableCountsSpareBytes) {
  EXPECT_EQ(heap_available(heap_), heap_size_);
  std::byte* chunk = heap_alloc_chunks(heap_, 2, record_block_unit);
  EXPECT_EQ(heap_available(heap_), heap_size_ - 368);
  ASSERT_TRUE(heap_free(heap_, payload_of(chunk)));
  EXPECT_EQ(heap_available(heap_), heap_size_ - 368);  // free-listed chunks are not spare space
}

TEST_F(ChunkAllocator, InfoPrintsTheDump) {
  ASSERT_NE(heap_alloc_chunks(heap_, 2, link_unit), nullptr);
  const auto address = reinterpret_cast<std::uintptr_t>(heap_);
  const std::uint64_t heap_end = heap_size_ + 64;
  char expected[1024];
  std::snprintf(expected, sizeof expected,
                "Information for MM\n"
                "    memory area     = 0x%016" PRIXPTR " - 0x%016" PRIXPTR "\n"
                "    memory size     = %" PRIu64 "\n"
                "    memory offset   = 112\n"
                "    bytes spare     = %" PRIu64 "\n"
                "    bytes free      = 0 (0 chunks)\n"
                "    bytes allocated = 48\n"
                "    List of free chunks:\n"
                "        <empty-list>\n",
                address, address + heap_end, heap_end, heap_end - 112);
  ::testing::internal::CaptureStderr();
  heap_info(heap_);
  heap_info(nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), expected);
}

// ---------------------------------------------------------------------------------------------
// Threads of one process

TEST_F(ChunkAllocator, ConcurrentThreadsNeverShareAChunk) {
  remake_heap(1 << 20, 64);
  constexpr int thread_count = 4;
  constexpr int rounds = 3000;
  std::vector<std::thread> threads;
  std::vector<int> failures(thread_count, 0);
  for (int thread_index = 0; thread_index < thread_count; ++thread_index) {
    threads.emplace_back([&, thread_index] {
      const std::uint8_t units[] = {link_unit, record_block_unit, string_unit_};
      std::vector<std::byte*> held;
      for (int round = 0; round < rounds; ++round) {
        const std::uint8_t unit = units[(round + thread_index) % 3];
        const std::size_t count = 1 + (round % 5);
        std::byte* chunk = heap_alloc_chunks(heap_, count, unit);
        if (chunk == nullptr) {
          ++failures[thread_index];
          continue;
        }
        for (std::size_t index = 0; index < count; ++index) {
          std::byte* next = heap_ + chunk_link_at(heap_, chunk_offset_of(heap_, chunk));
          std::memset(payload_of(chunk), thread_index + 1, unit);
          held.push_back(chunk);
          chunk = next;
        }
        // Give back about as much as was taken, checking the stamp first.
        while (held.size() > 8) {
          std::byte* old = held.front();
          held.erase(held.begin());
          const std::uint8_t old_unit = std::to_integer<std::uint8_t>(old[1]);
          for (std::size_t byte = 0; byte < old_unit; ++byte) {
            if (std::to_integer<int>(old[2 + byte]) != thread_index + 1) {
              ++failures[thread_index];
              break;
            }
          }
          if (!heap_free(heap_, payload_of(old))) {
            ++failures[thread_index];
          }
        }
      }
      for (std::byte* chunk : held) {
        if (!heap_free(heap_, payload_of(chunk))) {
          ++failures[thread_index];
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (int thread_index = 0; thread_index < thread_count; ++thread_index) {
    EXPECT_EQ(failures[thread_index], 0) << "thread " << thread_index;
  }
  ASSERT_TRUE(check_heap(heap_));
  // Every carved chunk is on a list again: the lists account for all of heap_next.
  std::uint64_t listed_bytes = 0;
  for (FreeList list : {FreeList::string, FreeList::links, FreeList::record_blocks}) {
    for (std::uint64_t chunk_offset : free_list_chunks(heap_, list)) {
      listed_bytes += chunk_header_at(heap_, chunk_offset).chunk_size;
    }
  }
  EXPECT_EQ(listed_bytes, heap_next_of(heap_) - 64);
}

}  // namespace
}  // namespace corvana
