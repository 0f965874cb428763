// Construction of the string map: parameter checks, the layout of a new map, opening by name, and
// refusal of files that do not hold a map.
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>

#include "heap/heap.hpp"
#include "map/map_records.hpp"
#include "tests/map/map_test_support.hpp"

namespace corvana::testing {
namespace {

using StringMapConstruction = MapTest;

template <class Exception>
std::string construction_error(std::string name, std::uint8_t bucket_exponent, std::uint64_t chunk_number,
                               std::uint64_t size, std::uint8_t chunk_exponent) {
  try {
    ConcurrentHashMap_string map(name, bucket_exponent, chunk_number, size, chunk_exponent);
  } catch (const Exception& error) {
    return error.what();
  } catch (const std::exception& error) {
    return std::string("wrong exception kind: ") + error.what();
  }
  return "no exception";
}

// Writes `bytes` into the file at `path` from file offset `offset`.
void patch_file(const std::string& path, std::uint64_t offset, const void* bytes, std::size_t length) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  ASSERT_TRUE(file.is_open());
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(length));
}

// Heap offset of a MapHeader field, as a file offset.
constexpr std::uint64_t header_field_in_file(std::size_t field_offset) {
  return file_header_bytes + map_layout::map_header_offset + field_offset;
}

TEST_F(StringMapConstruction, ChecksParametersInTheirOrder) {
  EXPECT_EQ(construction_error<std::invalid_argument>("", 2, 0, 0, 2), "size should be greater than zero!");
  EXPECT_EQ(construction_error<std::invalid_argument>("", 2, 0, 4096, 2),
            "string_chunk_size_exponent should be greater than 2!");
  EXPECT_EQ(construction_error<std::invalid_argument>("", 2, 0, 4096, 3),
            "bucket chunk number should be greater than zero!");
  // Opening validates the same three parameters before it looks at the file.
  EXPECT_EQ(construction_error<std::invalid_argument>("/no/such/map", 2, 2, 0, 3),
            "size should be greater than zero!");
  EXPECT_EQ(file_count(), 0u);
}

TEST_F(StringMapConstruction, RefusesDimensionsThatDoNotFit) {
  constexpr auto max = std::numeric_limits<std::uint64_t>::max();
  // The three checks come first.
  EXPECT_EQ(construction_error<std::invalid_argument>("", 2, 1, 0, 8), "size should be greater than zero!");
  EXPECT_NE(construction_error<std::invalid_argument>("", 2, 1, 4096, 8).find("at most 7"),
            std::string::npos);
  EXPECT_NE(construction_error<std::invalid_argument>("", 60, 1, 4096, 3).find("bucket_chunk_size_exponent"),
            std::string::npos);
  EXPECT_NE(construction_error<std::invalid_argument>("", 2, max / 4, 4096, 3).find("bucket chunk number"),
            std::string::npos);
  EXPECT_NE(construction_error<std::invalid_argument>("", 2, 1, max - 10, 3).find("size is too large"),
            std::string::npos);
  EXPECT_EQ(file_count(), 0u);
}

TEST_F(StringMapConstruction, NewMapHasItsInitialLayout) {
  std::string name;
  auto map = create(name, 3, 16, 1 << 20, 5);
  EXPECT_EQ(name, std::filesystem::canonical(name).string());
  EXPECT_EQ(std::filesystem::path(name).parent_path(), std::filesystem::canonical(directory_));
  EXPECT_EQ(map->string_unit(), 32);
  EXPECT_EQ(map->bucket_chunk_size(), 8u);
  EXPECT_EQ(map->bucket_chunk_number(), 16u);
  EXPECT_EQ(map->bucket_chunk_in_use(), 1u);
  EXPECT_EQ(map->element_count(), 0u);
  EXPECT_EQ(map->expansion_workers(), 0u);
  EXPECT_EQ(map->migration_cursor(), 0);
  EXPECT_NE(map->table_slot(0), 0u);
  EXPECT_EQ(map->table_slot(0) % 8, 0u) << "bucket chunks are 8-aligned";
  for (std::uint64_t chunk = 1; chunk < 16; ++chunk) {
    EXPECT_EQ(map->table_slot(chunk), 0u);
  }
  for (std::uint64_t bucket = 0; bucket < 8; ++bucket) {
    EXPECT_EQ(map->bucket_length(bucket), 0u);
    EXPECT_EQ(map->bucket_page_count(bucket), 0u) << "a bucket gets its first page with its first entry";
    EXPECT_EQ(map->bucket_moving_to(bucket), 0u);
  }
  EXPECT_EQ(map->cached_chunks(), 0u) << "creating a map takes no chunk from the heap";
  const std::byte* heap = map->heap_base();
  EXPECT_EQ(static_cast<unsigned>(heap[64]), 176u);
  EXPECT_EQ(static_cast<unsigned>(heap[65]), 168u);
  EXPECT_EQ(static_cast<unsigned>(heap[226]), 32u);
  std::uint64_t number = 0;
  std::memcpy(&number, heap + 82, sizeof number);
  EXPECT_EQ(number, 16u);
  EXPECT_EQ(map->check().entry_count, 0u);

  std::string small_unit_name;
  EXPECT_EQ(create(small_unit_name, 0, 1, 4096, 3)->string_unit(), 8);
}

// Bucket pages get file space as they are used; readers that visit every bucket (a walk, the
// checker) pass the pages nobody wrote without giving them space, and a second process finds it all.
TEST_F(StringMapConstruction, BucketPagesTakeFileSpaceOnlyWhenUsed) {
  const auto allocated = [](const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0);
    return static_cast<std::uint64_t>(status.st_blocks) * 512;
  };
  std::string name;
  auto map = create(name, 18, 4, std::uint64_t{64} << 20);  // 8 MiB of buckets
  EXPECT_LT(allocated(name), std::uint64_t{512} << 10);
  for (int index = 0; index < 20; ++index) {
    put(*map, "key-" + std::to_string(index), "value", key_hash(&index, sizeof index));
  }
  std::string opened_name = name;
  ConcurrentHashMap_string opened(opened_name, 2, 2, 2, 3);  // backs a process slot of its own
  const std::uint64_t used = allocated(name);
  EXPECT_LT(used, std::uint64_t{1} << 20) << "20 entries touch at most 20 bucket pages";
  EXPECT_EQ(walk_keys(opened).size(), 20u);
  EXPECT_EQ(opened.check().entry_count, 20u);
  EXPECT_EQ(walk_keys(*map).size(), 20u);
  EXPECT_EQ(allocated(name), used) << "walks and the checker gave space to no page";
}

TEST_F(StringMapConstruction, OpeningTakesDimensionsFromTheFileAndSharesEntries) {
  std::string name;
  auto creator = create(name, 12, 100, 1 << 23, 4);
  put(*creator, "shared key", "shared value", 42);
  std::string opened_name = name;
  ConcurrentHashMap_string opened(opened_name, 2, 2, 2, 3);
  EXPECT_EQ(opened_name, name);
  EXPECT_EQ(opened.bucket_chunk_size(), 4096u);
  EXPECT_EQ(opened.bucket_chunk_number(), 100u);
  EXPECT_EQ(opened.string_unit(), 16);
  EXPECT_EQ(fetch(opened, "shared key", 42), "shared value");
  put(opened, "second", std::string(100, 'x'), -7);
  EXPECT_EQ(fetch(*creator, "second", -7), std::string(100, 'x'));
  EXPECT_EQ(creator->element_count(), 2u);
  EXPECT_EQ(opened.check().entry_count, 2u);
}

TEST_F(StringMapConstruction, AHeapTooSmallForTheLayoutLeavesNoFile) {
  // With one bucket the layout takes exactly 984 bytes: the map header chunk (176), the table
  // (8 + 62 of slack for its cache line: 72), bucket chunk 0 (32 + 62: 96) and five cells (a cache
  // line each, in blocks of 128). Buckets get their pages with their first entries.
  std::string name;
  EXPECT_NO_THROW(create(name, 0, 1, 984, 5));
  EXPECT_EQ(file_count(), 1u);
  std::filesystem::remove(name);

  EXPECT_EQ(construction_error<MapSizeTooSmall>("", 0, 1, 983, 5), "mm:alloc: out of memory");
  EXPECT_EQ(construction_error<MapSizeTooSmall>("", 0, 1, 100, 5), "mm:alloc: out of memory");
  EXPECT_EQ(file_count(), 0u);
  // The error carries the smallest size, which the map computes the same way for any dimensions.
  try {
    create(name, 0, 1, 983, 5);
    ADD_FAILURE() << "no exception";
  } catch (const MapSizeTooSmall& error) {
    EXPECT_EQ(error.minimum_size(), 984u);
    EXPECT_EQ(error.requested_size(), 983u);
  }
  for (const auto& [exponent, number] : {std::pair<std::uint8_t, std::uint64_t>{4, 64}, {10, 100}}) {
    const std::uint64_t minimum = ConcurrentHashMap_string::smallest_size(exponent, number);
    EXPECT_EQ(construction_error<MapSizeTooSmall>("", exponent, number, minimum - 1, 5), "mm:alloc: out of memory");
    std::string made;
    EXPECT_NO_THROW(create(made, exponent, number, minimum, 5));
    std::filesystem::remove(made);
  }
  EXPECT_EQ(ConcurrentHashMap_string::smallest_size(63, std::uint64_t{1} << 62), 0u);  // past 64 bits
}

TEST_F(StringMapConstruction, OpeningAMissingFileReportsErrnoAndPath) {
  const std::string missing = directory_ + "/missing";
  EXPECT_EQ(construction_error<FileStatusUnavailable>(missing, 2, 2, 2, 3), "file status wrong with errno: 2");
  try {
    std::string name = missing;
    ConcurrentHashMap_string map(name, 2, 2, 2, 3);
    ADD_FAILURE() << "no exception";
  } catch (const FileStatusUnavailable& error) {
    EXPECT_EQ(error.error_number(), ENOENT);
    EXPECT_EQ(error.path(), missing);
  }
}

class BadMapFile : public MapTest {
 protected:
  // Opening `path` must fail with a runtime_error naming the file, and must leave the file as it was.
  void expect_refused(const std::string& path) {
    const auto size_before = std::filesystem::file_size(path);
    const std::string message = construction_error<std::runtime_error>(path, 2, 2, 2, 3);
    EXPECT_NE(message.find("not a map file"), std::string::npos) << message;
    EXPECT_NE(message.find(path), std::string::npos) << message;
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), size_before);
  }

  std::string write_file(const std::string& bytes) {
    const std::string path = directory_ + "/not-a-map";
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  std::string valid_map() {
    std::string name;
    auto map = create(name, 2, 4, 1 << 16, 5);
    put(*map, "key", "value", 1);
    return name;
  }
};

TEST_F(BadMapFile, EmptyFileIsRefused) {
  expect_refused(write_file(""));
}

TEST_F(BadMapFile, TruncatedMapIsRefused) {
  const std::string name = valid_map();
  std::filesystem::resize_file(name, 4096);
  expect_refused(name);
  std::filesystem::resize_file(name, 200);
  expect_refused(name);
}

TEST_F(BadMapFile, RandomBytesAreRefused) {
  std::mt19937_64 random(20240613);
  std::string bytes(1 << 16, '\0');
  for (char& byte : bytes) {
    byte = static_cast<char>(random());
  }
  expect_refused(write_file(bytes));
}

TEST_F(BadMapFile, DamagedHeaderFieldsAreRefused) {
  const std::uint64_t past_the_end = std::uint64_t{1} << 40;
  const std::uint64_t unaligned = 1001;
  const std::uint64_t zero = 0;
  const std::uint64_t not_a_power_of_two = 3;
  const std::uint8_t bad_unit = 24;
  const struct {
    std::size_t field;
    const void* bytes;
    std::size_t length;
  } damages[] = {
      {offsetof(map_layout::MapHeader, table), &past_the_end, 8},
      {offsetof(map_layout::MapHeader, element_count), &past_the_end, 8},
      {offsetof(map_layout::MapHeader, expansion_lock), &unaligned, 8},
      {offsetof(map_layout::MapHeader, bucket_chunk_number), &zero, 8},
      {offsetof(map_layout::MapHeader, bucket_chunk_size), &not_a_power_of_two, 8},
      {offsetof(map_layout::MapHeader, string_unit), &bad_unit, 1},
      {std::size_t(0) - 1, &zero, 1},  // the chunk header's unit byte
  };
  for (const auto& damage : damages) {
    const std::string name = valid_map();
    patch_file(name, header_field_in_file(damage.field), damage.bytes, damage.length);
    SCOPED_TRACE(damage.field);
    expect_refused(name);
    std::filesystem::remove(name);
  }
  // A bucket chunk table slot in use that names a place past the heap.
  const std::string name = valid_map();
  {
    std::string opened = name;
    ConcurrentHashMap_string map(opened, 2, 2, 2, 3);
    std::uint64_t table = 0;
    std::memcpy(&table,
                map.heap_base() + map_layout::map_header_offset + offsetof(map_layout::MapHeader, table), 8);
    patch_file(name, file_header_bytes + table, &past_the_end, 8);
  }
  expect_refused(name);
}

TEST_F(BadMapFile, ChunkCountDamagedAfterOpeningIsReportedNotFollowed) {
  std::string name;
  auto map = create(name, 2, 4, 1 << 16, 5);
  put(*map, "key", "value", 1);
  Offset cell{};
  std::memcpy(&cell, map->heap_base() + map_layout::map_header_offset +
                         offsetof(map_layout::MapHeader, bucket_chunk_in_use), sizeof cell);
  // Another process damages the count of bucket chunks in use past the table's 4 slots.
  std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(address_of(map->heap_base(), cell)))
      .store(std::uint64_t{1} << 30, std::memory_order_relaxed);
  for (std::int64_t hash = 0; hash < 64; hash += 7) {
    map->prefetch_bucket(hash);  // a hint: never faults
    map->prefetch_entries(hash);
  }
  char* value = nullptr;
  std::int64_t value_len = 0;
  EXPECT_THROW(map->get("key", 3, -1, value, value_len), std::runtime_error);
  EXPECT_THROW(map->insert("k", "v", 1, 1, -1), std::runtime_error);
  EXPECT_THROW(static_cast<void>(map->remove("k", 1, -1)), std::runtime_error);
}

}  // namespace
}  // namespace corvana::testing
