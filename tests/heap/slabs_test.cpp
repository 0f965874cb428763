// Slab chunks: the slab size of a heap, the class of an offset, the caches' batches and cap, what
// runs out, what a damaged list does, and a death inside every change of the slab records.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "heap/heap_layout.hpp"
#include "tests/heap/heap_test_support.hpp"

namespace corvana {
namespace {

using testing_support::MemoryFileTest;
using testing_support::slab_chunk_total;

// Every free chunk of the file (shared lists and every slot's caches), checked to be free once.
std::set<std::uint64_t> free_chunks(Allocator heap) {
  std::set<std::uint64_t> chunks;
  for_each_free_slab_chunk(heap, slab_view(heap), *process_table_of(heap), [&](Offset chunk, std::uint32_t) {
    EXPECT_TRUE(chunks.insert(static_cast<std::uint64_t>(chunk)).second) << "free twice: " << static_cast<std::uint64_t>(chunk);
  });
  return chunks;
}

class SlabTest : public MemoryFileTest {
 protected:
  [[nodiscard]] SlabCacheRecord* record(std::uint32_t writer, std::uint32_t klass) const {
    return &process_table_of(heap_)->own_slot()->slab_caches[writer][klass];
  }
};

TEST(SlabLayout, ASlabIsASixteenthOfTheHeapBetweenFourAndSixtyFourKiB) {
  EXPECT_EQ(layout::slab_shift_for(0), 12u);
  EXPECT_EQ(layout::slab_shift_for(64 * 1024), 12u);
  EXPECT_EQ(layout::slab_shift_for(128 * 1024 - 1), 12u);
  EXPECT_EQ(layout::slab_shift_for(128 * 1024), 13u);
  EXPECT_EQ(layout::slab_shift_for(1024 * 1024), 16u);
  EXPECT_EQ(layout::slab_shift_for(std::uint64_t{1} << 40), 16u);
  for (std::uint32_t klass = 0; klass < slab_class_count; ++klass) {
    EXPECT_EQ(slab_class_for(slab_class_bytes(klass)), klass);
    EXPECT_EQ(slab_class_bytes(klass) % 16, 0u) << "chunks keep 16-byte alignment within a slab";
  }
  EXPECT_EQ(slab_class_for(1), 0u);
  EXPECT_GE(slab_class_bytes(0), sizeof(FreeRunHead)) << "every free chunk can head a run";
  EXPECT_EQ(slab_class_for(largest_slab_chunk + 1), no_slab_class);
}

TEST_F(SlabTest, ChunksKnowTheirClassAndNothingElseIsASlabChunk) {
  const SlabView view = slab_view(heap_);
  SlabCache cache(heap_, view, 4, record(0, 4));  // 80-byte chunks: not a divisor of the slab
  const Offset chunk = cache.take();
  const auto offset = static_cast<std::uint64_t>(chunk);
  EXPECT_EQ(slab_chunk_class(heap_, view, chunk), 4u);
  EXPECT_EQ((offset + file_header_bytes) % 16, 0u);
  EXPECT_EQ(slab_chunk_class(heap_, view, static_cast<Offset>(offset + 8)), no_slab_class) << "inside a chunk";
  const std::uint64_t slab_start = (offset + file_header_bytes) >> view.slab_shift << view.slab_shift;
  const std::uint64_t slab_end = slab_start + (std::uint64_t{1} << view.slab_shift);
  const std::uint64_t tail = slab_end - (slab_end - slab_start) % 80 - file_header_bytes;
  EXPECT_EQ(slab_chunk_class(heap_, view, static_cast<Offset>(tail)), no_slab_class) << "the slab's unused tail";
  EXPECT_EQ(slab_chunk_class(heap_, view, static_cast<Offset>(64)), no_slab_class) << "not a slab";
  EXPECT_EQ(slab_chunk_class(heap_, view, static_cast<Offset>(std::uint64_t{1} << 50)), no_slab_class);
  EXPECT_FALSE(slab_free(heap_, view, static_cast<Offset>(64)));
  cache.give_back(chunk);
}

TEST_F(SlabTest, CachesMoveWholeRunsAndGiveEverythingBackPastTheirCapOrWhenClosed) {
  remake_heap(8 << 20, 64);  // 64 KiB slabs
  const SlabView view = slab_view(heap_);
  ASSERT_EQ(view.slab_shift, 16u);
  constexpr std::uint32_t klass = 2;  // 64-byte chunks: 1024 per slab, a cap of 4096
  std::vector<Offset> taken;
  {
    SlabCache cache(heap_, view, klass, record(1, klass));
    taken.push_back(cache.take());
    EXPECT_EQ(cache.count(), 1023u) << "a new slab is one run, taken whole";
    EXPECT_EQ(free_chunks(heap_).size(), 1023u);
    while (taken.size() < 5120) {
      taken.push_back(cache.take());
    }
    EXPECT_EQ(cache.count(), 0u);
    EXPECT_EQ(slab_chunk_total(heap_), 5120u) << "each slab was used up before the next was carved";
    EXPECT_EQ(std::set<Offset>(taken.begin(), taken.end()).size(), taken.size()) << "no chunk handed out twice";
    for (std::size_t index = 0; index < 5000; ++index) {
      cache.give_back(taken[index]);
      if (index == 4095) {
        EXPECT_EQ(cache.count(), 4096u) << "at the cap";
      } else if (index == 4096) {
        EXPECT_EQ(cache.count(), 0u) << "past the cap the whole cache went back as one run";
      }
    }
    EXPECT_EQ(cache.count(), 5000u - 4097u);
    EXPECT_EQ(free_chunks(heap_).size(), 5000u);
    // The next refill takes the run the cache gave back, whole, without carving.
    while (cache.count() > 0) {
      static_cast<void>(cache.take());
    }
    static_cast<void>(cache.take());
    EXPECT_EQ(cache.count(), 4097u - 1) << "the run of 4097 chunks given back past the cap";
    EXPECT_EQ(slab_chunk_total(heap_), 5120u);
  }
  EXPECT_EQ(record(1, klass)->count, 0u);
  EXPECT_EQ(free_chunks(heap_).size(), 5000u - 904u) << "the closed cache gave back all it held";
}

TEST_F(SlabTest, AHeapWithoutRoomReportsOutOfMemoryAndFreedChunksServeAgain) {
  const SlabView view = slab_view(heap_);  // 64 KiB heap: 4 KiB slabs
  std::vector<Offset> taken;
  SlabCache cache(heap_, view, slab_class_count - 1, record(0, slab_class_count - 1));
  try {
    while (true) {
      taken.push_back(cache.take());
    }
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "mm:alloc: out of memory");
  }
  ASSERT_GT(taken.size(), 8u);
  EXPECT_LT(taken.size(), 16u);
  const Offset again = taken.back();
  cache.give_back(again);
  EXPECT_EQ(cache.take(), again);
  for (const Offset chunk : taken) {
    cache.give_back(chunk);
  }
}

TEST_F(SlabTest, ADamagedListOrCacheIsReportedNotFollowed) {
  const SlabView view = slab_view(heap_);
  {
    SlabCache cache(heap_, view, 1, record(0, 1));
    static_cast<void>(cache.take());
  }
  // The shared list's head names an offset inside the heap header.
  const Offset head = view.header->free_heads[1];
  view.header->free_heads[1] = static_cast<Offset>(8);
  {
    SlabCache cache(heap_, view, 1, record(0, 1));
    EXPECT_THROW(static_cast<void>(cache.take()), DamagedFile);
    EXPECT_EQ(cache.count(), 0u) << "nothing was taken from the damaged list";
  }
  view.header->free_heads[1] = head;
  // A cache whose head names a chunk of another class.
  SlabCacheRecord* own = record(2, 1);
  own->head = static_cast<Offset>(64);
  own->count = 5;
  SlabCache cache(heap_, view, 1, own);
  try {
    static_cast<void>(cache.take());
    ADD_FAILURE() << "a damaged cache was followed";
  } catch (const DamagedFile& error) {
    EXPECT_STREQ(error.what(), "the memory file is damaged: a slab cache of 48-byte chunks names offset 64");
  }
  EXPECT_EQ(own->count, 0u) << "a damaged cache lets go of what it named";
}

#ifdef CORVANA_CRASH_POINTS

// A process that dies inside a change of the slab records leaves no chunk lost or free twice once
// the heap lock is taken over, whether the next to come is its slot's heir or another process.
class SlabCrash : public SlabTest, public ::testing::WithParamInterface<std::tuple<const char*, bool>> {};

TEST_P(SlabCrash, TheHeapLocksTakerRepairsTheRecords) {
  const auto& [point, heir_first] = GetParam();
  remake_heap(1 << 20, 64);  // 64 KiB slabs
  const SlabView view = slab_view(heap_);
  {
    SlabCache warm(heap_, view, 2, record(0, 2));  // a slab of 48-byte chunks on the shared list
    static_cast<void>(warm.take());                 // lost: never given back
  }
  // The chunks the child holds in its hands (neither cached nor free), counted where the parent sees.
  auto* in_hand = static_cast<std::uint64_t*>(
      ::mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(in_hand, MAP_FAILED);
  *in_hand = 0;
  const pid_t child = ::fork();
  if (child == 0) {
    FileHandle file = platform::invalid_handle;
    MappingHandle mapping = platform::invalid_handle;
    Allocator own = create_memory_file(1, path_.c_str(), 0, file, mapping);
    SlabCacheRecord* records = process_table_of(own)->own_slot()->slab_caches[0];
    SlabCache refilled(own, slab_view(own), 2, &records[2]);  // from the shared list
    SlabCache carved(own, slab_view(own), 5, &records[5]);    // from new slabs
    arm_crash_point(point, 0);
    static_cast<void>(refilled.take());
    *in_hand = 1;
    std::vector<Offset> taken;
    for (int index = 0; index < 3000; ++index) {  // more than the cap: the give-backs release half
      taken.push_back(carved.take());
      *in_hand += 1;
    }
    for (const Offset chunk : taken) {
      *in_hand -= 1;  // counted out first: the death may come inside give_back
      carved.give_back(chunk);
    }
    arm_crash_point(nullptr, 0);
    ::_exit(0);  // the point was never reached
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << point << " was not reached";
  FileHandle file = platform::invalid_handle;
  MappingHandle mapping = platform::invalid_handle;
  Allocator second = nullptr;
  if (heir_first) {
    second = create_memory_file(1, path_.c_str(), 0, file, mapping);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(process_table_of(second)->took_over_dead_slot());
  } else {
    layout::HeapLockGuard guard(heap_);  // the lock is taken over and the records repaired
  }
  // Every carved chunk is free once, or was in the hands of a process (the warming one, the child's).
  // A chunk the child was taking or giving back when it died may be on either side.
  const std::uint64_t free = free_chunks(heap_).size();
  const std::uint64_t carved = slab_chunk_total(heap_);
  EXPECT_LE(free + 1 + *in_hand, carved + 1) << point;
  EXPECT_GE(free + 1 + *in_hand, carved) << point;
  if (second != nullptr) {
    close_memory_file(second, file, mapping);
  }
  ::munmap(in_hand, sizeof(std::uint64_t));
}

INSTANTIATE_TEST_SUITE_P(EveryPoint, SlabCrash,
                         ::testing::Combine(::testing::Values("slab.shared.linked", "slab.carve.pushed",
                                                              "slab.refill.recorded", "slab.release.pushed"),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           std::string name = std::get<0>(info.param);
                           for (char& character : name) {
                             character = character == '.' ? '_' : character;
                           }
                           return name + (std::get<1>(info.param) ? "_HeirFirst" : "_TakerFirst");
                         });

#endif

}  // namespace
}  // namespace corvana
