// Shared helpers of the heap tests: a fixture that owns a fresh memory file, readers of the heap
// header, and the heap checker.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "heap/heap.hpp"

namespace corvana::testing_support {

// A packed field as a plain value: GoogleTest's assertions take their arguments by reference,
// which must never bind to a packed member.
template <class T>
constexpr T value_of(T field) {
  return field;
}

inline HeapHeader read_heap_header(Allocator heap) {
  HeapHeader header;
  std::memcpy(&header, heap, sizeof header);
  return header;
}

inline FileHeader read_file_header(Allocator heap) {
  FileHeader header;
  std::memcpy(&header, heap - file_header_bytes, sizeof header);
  return header;
}

inline std::uint64_t heap_next_of(Allocator heap) { return read_heap_header(heap).heap_next; }

inline ChunkHeader chunk_header_at(Allocator heap, std::uint64_t chunk_offset) {
  ChunkHeader header;
  std::memcpy(&header, heap + chunk_offset, sizeof header);
  return header;
}

// The allocator's link in the first 8 payload bytes of a chunk.
inline std::uint64_t chunk_link_at(Allocator heap, std::uint64_t chunk_offset) {
  std::uint64_t link;
  std::memcpy(&link, heap + chunk_offset + sizeof(ChunkHeader), sizeof link);
  return link;
}

inline std::uint64_t chunk_offset_of(Allocator heap, const std::byte* chunk) {
  return static_cast<std::uint64_t>(chunk - heap);
}

// Which free list serves a unit, as the allocator chooses it (string_unit first).
enum class FreeList { string, links, record_blocks };

inline std::int64_t free_head_of(Allocator heap, FreeList list) {
  const HeapHeader header = read_heap_header(heap);
  switch (list) {
    case FreeList::string:
      return header.class_string.free_head;
    case FreeList::links:
      return header.class_16.free_head;
    case FreeList::record_blocks:
      return header.class_176.free_head;
  }
  return 0;
}

inline FreeList free_list_of_unit(Allocator heap, std::uint8_t unit) {
  if (unit == read_heap_header(heap).string_unit) {
    return FreeList::string;
  }
  return unit == link_unit ? FreeList::links : FreeList::record_blocks;
}

// The chunk offsets on a free list, head first (stops after a bounded number of steps).
inline std::vector<std::uint64_t> free_list_chunks(Allocator heap, FreeList list) {
  std::vector<std::uint64_t> chunks;
  const std::uint64_t bound = heap_next_of(heap) / 8 + 1;
  auto cursor = static_cast<std::uint64_t>(free_head_of(heap, list));
  while (cursor != 0 && chunks.size() < bound) {
    chunks.push_back(cursor);
    cursor = chunk_link_at(heap, cursor);
  }
  return chunks;
}

// The heap checker. Verifies the header bounds, then walks the three free lists: every chunk lies
// inside [64, heap_next), starts on a multiple of 8, carries the header of its list's unit, and
// appears once across all lists (a cycle shows up as a repeat).
inline ::testing::AssertionResult check_heap(Allocator heap) {
  const HeapHeader header = read_heap_header(heap);
  const std::uint64_t heap_end = header.heap_end;
  const std::uint64_t heap_next = header.heap_next;
  if (heap_next < heap_header_bytes || heap_next > heap_end) {
    return ::testing::AssertionFailure() << "heap_next " << heap_next << " outside [64, heap_end " << heap_end << "]";
  }
  if (heap_next % 8 != 0) {
    return ::testing::AssertionFailure() << "heap_next " << heap_next << " is not a multiple of 8";
  }
  const std::uint8_t string_unit = header.string_unit;
  struct ListUnderTest {
    const char* name;
    std::int64_t head;
    std::uint8_t unit;
  };
  const ListUnderTest lists[] = {{"string", header.class_string.free_head, string_unit},
                                 {"16", header.class_16.free_head, link_unit},
                                 {"176", header.class_176.free_head, record_block_unit}};
  std::unordered_set<std::uint64_t> seen;
  for (const ListUnderTest& list : lists) {
    if (list.head < 0) {
      return ::testing::AssertionFailure() << "list " << list.name << " has a negative head";
    }
    auto cursor = static_cast<std::uint64_t>(list.head);
    std::uint64_t position = 0;
    while (cursor != 0) {
      const std::uint8_t chunk_size = chunk_size_for_unit(list.unit);
      if (cursor < heap_header_bytes || cursor + chunk_size > heap_next || cursor % 8 != 0) {
        return ::testing::AssertionFailure() << "list " << list.name << " chunk #" << position << " at "
                                             << cursor << " lies outside the carved heap";
      }
      const ChunkHeader chunk = chunk_header_at(heap, cursor);
      if (chunk.unit != list.unit || chunk.chunk_size != chunk_size) {
        return ::testing::AssertionFailure() << "list " << list.name << " chunk #" << position << " at " << cursor
                                             << " has header {" << int{chunk.chunk_size} << ", "
                                             << int{chunk.unit} << "}";
      }
      if (!seen.insert(cursor).second) {
        return ::testing::AssertionFailure() << "chunk " << cursor << " appears twice (list " << list.name << ")";
      }
      cursor = chunk_link_at(heap, cursor);
      ++position;
    }
  }
  return ::testing::AssertionSuccess();
}

// A fresh memory file per test, closed and removed in TearDown.
class MemoryFileTest : public ::testing::Test {
 protected:
  // Usable heap bytes and string unit of the fixture's file; a test may change them before
  // calling make_heap().
  std::uint64_t heap_size_ = 1 << 16;
  std::uint8_t string_unit_ = 64;

  Allocator heap_ = nullptr;
  FileHandle file_ = platform::invalid_handle;
  MappingHandle mapping_ = platform::invalid_handle;
  std::string path_;

  void SetUp() override { make_heap(); }

  void make_heap() {
    drop_heap();
    heap_ = create_memory_file(heap_size_, nullptr, string_unit_, file_, mapping_);
    ASSERT_NE(heap_, nullptr) << heap_last_error();
    ASSERT_TRUE(platform::full_path_of(file_, path_));
  }

  void remake_heap(std::uint64_t size, std::uint8_t string_unit) {
    heap_size_ = size;
    string_unit_ = string_unit;
    make_heap();
  }

  void drop_heap() {
    if (heap_ != nullptr) {
      close_memory_file(heap_, file_, mapping_);
      heap_ = nullptr;
    }
    if (!path_.empty()) {
      platform::remove_file(path_.c_str());
      path_.clear();
    }
  }

  void TearDown() override {
    if (heap_ != nullptr) {
      EXPECT_TRUE(check_heap(heap_));
    }
    drop_heap();
  }
};

// Slab chunks of every slab carved so far (in use, free or leaked).
inline std::uint64_t slab_chunk_total(Allocator heap) {
  const SlabView view = slab_view(heap);
  std::uint64_t total = 0;
  for (std::uint64_t slab = 0; slab < view.directory_bytes; ++slab) {
    if (view.directory[slab] != 0) {
      total += (std::uint64_t{1} << view.slab_shift) / slab_class_bytes(view.directory[slab] - 1u);
    }
  }
  return total;
}

}  // namespace corvana::testing_support
