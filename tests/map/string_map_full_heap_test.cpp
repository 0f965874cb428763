// A map whose heap is full takes back what is removed from it: the removed keys go in again (with
// values no longer than before) on a heap that carves nothing more, a map emptied fills again to the
// same count, and what one process's caches hold back serves another process that finds the heap
// full.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/map/map_test_support.hpp"

namespace corvana::testing {
namespace {

std::int64_t hash_of(const std::string& key) {
  return static_cast<std::int64_t>(std::hash<std::string>{}(key) * 0x9E3779B97F4A7C15ull);
}
std::string key_name(int index) { return "key-" + std::to_string(index); }

// Inserts keys 0, 1, ... with `value` until the heap has no room; returns how many went in.
int fill(ConcurrentHashMap_string& map, const std::string& value, int first = 0) {
  for (int index = first;; ++index) {
    try {
      put(map, key_name(index), value, hash_of(key_name(index)));
    } catch (const HeapExhausted&) {
      return index - first;
    }
  }
}

struct Shape {
  std::uint8_t bucket_exponent;
  std::uint64_t chunk_number;  // 1: the map never grows
  std::size_t value_bytes;
};

class StringMapFullHeap : public MapTest, public ::testing::WithParamInterface<Shape> {};

TEST_P(StringMapFullHeap, RemovedKeysGoInAgainOnAFullHeap) {
  const Shape& shape = GetParam();
  std::string name;
  auto map = create(name, shape.bucket_exponent, shape.chunk_number, 48 * 1024);
  const int filled = fill(*map, pattern_bytes(shape.value_bytes, 1));
  ASSERT_GT(filled, 4);
  std::vector<int> removed;
  for (int index = 0; index < filled; index += 2) {
    ASSERT_TRUE(erase(*map, key_name(index), hash_of(key_name(index))));
    removed.push_back(index);
  }
  for (const int index : removed) {
    put(*map, key_name(index), "1", hash_of(key_name(index)));  // throws HeapExhausted on a failure
  }
  for (int index = 0; index < filled; ++index) {
    EXPECT_EQ(fetch(*map, key_name(index), hash_of(key_name(index))),
              index % 2 == 0 ? "1" : pattern_bytes(shape.value_bytes, 1));
  }
  EXPECT_EQ(map->check().entry_count, static_cast<std::uint64_t>(filled));
  EXPECT_EQ(map->element_count(), static_cast<std::uint64_t>(filled));
  EXPECT_EQ(leaked_chunks(*map), 0u);
}

TEST_P(StringMapFullHeap, AnEmptiedMapFillsAgainToTheSameCount) {
  const Shape& shape = GetParam();
  std::string name;
  auto map = create(name, shape.bucket_exponent, shape.chunk_number, 48 * 1024);
  const std::string value = pattern_bytes(shape.value_bytes, 2);
  const int first = fill(*map, value);
  for (int round = 0; round < 5; ++round) {
    for (int index = 0; index < first; ++index) {
      ASSERT_TRUE(erase(*map, key_name(index), hash_of(key_name(index))));
    }
    ASSERT_EQ(map->element_count(), 0u);
    EXPECT_EQ(fill(*map, value), first) << "round " << round;
  }
  EXPECT_EQ(map->check().entry_count, static_cast<std::uint64_t>(first));
  EXPECT_EQ(leaked_chunks(*map), 0u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, StringMapFullHeap,
                         ::testing::Values(Shape{0, 256, 10}, Shape{0, 256, 100}, Shape{0, 256, 240},
                                           Shape{4, 1, 60}, Shape{4, 1, 130}, Shape{4, 1, 900}),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           return "B" + std::to_string(1u << info.param.bucket_exponent) + "x" +
                                  std::to_string(info.param.chunk_number) + "_value" +
                                  std::to_string(info.param.value_bytes);
                         });

// A process that removed what it had inserted keeps the chunks in its caches while it lives and does
// nothing; another process that finds the heap full takes them, and fits as many entries as when the
// first had given them back (by closing its map). The first goes on afterwards.
class StringMapHeldBack : public MapTest {
 protected:
  // Fills a new map from this process while a child holds back what it removed (or, with
  // `child_closes`, gave it back); returns the entries that went in.
  int fill_beside_a_child(bool child_closes) {
    std::string name;
    auto map = create(name, 4, 1, 256 * 1024);
    int ready[2];
    int go[2];
    EXPECT_EQ(::pipe(ready), 0);
    EXPECT_EQ(::pipe(go), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      std::string own_name = name;
      auto own = std::make_unique<ConcurrentHashMap_string>(own_name, 2, 2, 2, 3);
      for (int index = 0; index < 200; ++index) {
        const std::string key = "held-" + std::to_string(index);
        put(*own, key, pattern_bytes(300, 3), hash_of(key));
      }
      for (int index = 0; index < 200; ++index) {
        const std::string key = "held-" + std::to_string(index);
        erase(*own, key, hash_of(key));
      }
      if (child_closes) {
        own.reset();
      }
      static_cast<void>(::write(ready[1], "r", 1));
      char byte = 0;
      static_cast<void>(::read(go[0], &byte, 1));
      // Its caches were taken meanwhile: it reads them again and goes on.
      bool works = true;
      if (own) {
        try {
          erase(*own, key_name(0), hash_of(key_name(0)));
          put(*own, "after", "1", hash_of("after"));
          works = fetch(*own, "after", hash_of("after")) == "1";
        } catch (...) {
          works = false;
        }
      }
      ::_exit(works ? 0 : 1);
    }
    char byte = 0;
    EXPECT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_GT(map->check(true).free_chunk_count, 100u) << "what the child removed is free";
    const int filled = fill(*map, pattern_bytes(300, 4));
    EXPECT_EQ(::write(go[1], "g", 1), 1);
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(map->check(true).entry_count, static_cast<std::uint64_t>(filled));  // the child removed one, added one
    EXPECT_EQ(leaked_chunks(*map), 0u);
    for (const int fd : {ready[0], ready[1], go[0], go[1]}) {
      ::close(fd);
    }
    return filled;
  }
};

TEST_F(StringMapHeldBack, ChunksAnIdleProcessHoldsBackServeAnotherThatFindsTheHeapFull) {
  const int given_back = fill_beside_a_child(true);
  const int held_back = fill_beside_a_child(false);
  EXPECT_GT(given_back, 100);
  // As many, but for the few that the order in which chunks come back can cost.
  EXPECT_GE(held_back, given_back - given_back / 20);
}

}  // namespace
}  // namespace corvana::testing
