// A process killed at every named point inside a change of a bucket: the survivors take its locks
// over, find every completed entry intact, see the change under way either done or not (here: done
// exactly where the change had been published or could be finished), count exactly, and go on
// working; what the dead process had cached is used by whoever claims its slot next.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <map>
#include <set>

#include "tests/map/map_test_support.hpp"

namespace corvana::testing {
namespace {

#ifdef CORVANA_CRASH_POINTS

constexpr int buckets = 4;          // bucket_chunk_size_exponent 2, one chunk: the map never grows
constexpr int keys_per_bucket = 4;

std::string key_name(int bucket, int index) { return "b" + std::to_string(bucket) + "-k" + std::to_string(index); }

// What the child does to bucket 1, whose page of four entries (80 bytes each, 320 in a class of 384)
// leaves 48 bytes of slack:
// - append: "victim" with an out-of-line value: the page again with it;
// - append_in_slack: while the heap is full, "victim" with a 20-byte value (48 bytes) in the slack;
// - replace: key 2's value by 200 bytes: the page again with it;
// - replace_in_slack: while the heap is full, key 2's value by 20 bytes, its new version in the
//   slack, the old one then marked removed;
// - append_in_hole: while the heap is full, key 0 removed (not armed: marked removed, a hole of 80
//   bytes), then "victim" with a 40-byte value (64 bytes, more than the slack) over the hole;
// - remove: key 0: the page again without it;
// - remove_last: keys 0 to 2 of bucket 2 (not armed), then key 3, the page's last: the page unlinked;
// - remove_from_full_heap: "big" (bucket 3, an out-of-line value) while the heap is full: marked
//   removed in its page.
enum class Operation {
  append,
  append_in_slack,
  append_in_hole,
  replace,
  replace_in_slack,
  remove,
  remove_last,
  append_then_remove,
  append_then_close,
  remove_from_full_heap
};

[[nodiscard]] bool fills_heap(Operation operation) {
  return operation == Operation::append_in_slack || operation == Operation::append_in_hole ||
         operation == Operation::replace_in_slack ||
         operation == Operation::remove_from_full_heap;
}

struct Scenario {
  const char* point;
  Operation operation;
  bool is_done;                   // whether the survivors must find the change made
  bool needs_free_chunks = false;  // the shared free lists hold chunks when the child starts
};

// A change is made where it is published (its page's length word, the word naming a new page, or
// an entry's fields word); before, it is not made (the survivors free what the dead process had
// prepared).
const Scenario scenarios[] = {
    {"change.begun", Operation::append, false},
    {"change.published", Operation::append, true},
    {"change.counted", Operation::append, true},
    {"change.freeing", Operation::append, true},
    {"change.ended", Operation::append, true},
    {"change.begun", Operation::append_in_slack, false},
    {"change.published", Operation::append_in_slack, true},
    {"change.counted", Operation::append_in_slack, true},
    {"change.ended", Operation::append_in_slack, true},
    {"change.begun", Operation::append_in_hole, false},
    {"change.published", Operation::append_in_hole, true},
    {"change.recounted", Operation::append_in_hole, true},
    {"change.ended", Operation::append_in_hole, true},
    {"change.begun", Operation::replace, false},
    {"change.published", Operation::replace, true},
    {"change.freeing", Operation::replace, true},
    {"change.begun", Operation::replace_in_slack, false},
    {"change.published", Operation::replace_in_slack, true},
    {"change.marked", Operation::replace_in_slack, true},
    {"change.ended", Operation::replace_in_slack, true},
    {"change.begun", Operation::remove, false},
    {"change.published", Operation::remove, true},
    {"change.counted", Operation::remove, true},
    {"change.freeing", Operation::remove, true},
    {"change.published", Operation::remove_last, true},
    {"change.counted", Operation::remove_last, true},
    {"change.freeing", Operation::remove_last, true},
    // The slabs and the caches: the change itself is not under way yet (append) or is complete (the
    // give-back after a remove), and the dead process holds the heap lock or a cache record.
    {"slab.shared.linked", Operation::append, false},
    {"slab.carve.pushed", Operation::append, false},
    {"slab.refill.recorded", Operation::append, false},
    {"slab.refill.recorded", Operation::append, false, true},
    {"slab.release.pushed", Operation::append_then_close, true},
    {"slab.shared.linked", Operation::append_then_close, true},
    {"erase.marking", Operation::remove_from_full_heap, false},
    {"change.published", Operation::remove_from_full_heap, true},
    {"change.counted", Operation::remove_from_full_heap, true},
    {"change.freeing", Operation::remove_from_full_heap, true},
    // Between the version's two stores, before the first store into the bucket's pages.
    {"bucket.changing", Operation::append, false},
    {"bucket.changing", Operation::append_in_slack, false},
    {"bucket.changing", Operation::append_in_hole, false},
    {"bucket.changing", Operation::replace, false},
    {"bucket.changing", Operation::replace_in_slack, false},
    {"bucket.changing", Operation::remove, false},
    {"bucket.changing", Operation::remove_last, false},
    {"bucket.changing", Operation::remove_from_full_heap, false},
};

// Whether a writer that dies at `point` leaves its bucket's version odd: from the mark before its
// first store into the bucket's pages to the end of its change.
bool dies_while_changing(const std::string& point) {
  for (const char* inside : {"bucket.changing", "change.published", "change.marked", "change.recounted",
                             "change.counted", "change.freeing", "change.ended"}) {
    if (point == inside) {
      return true;
    }
  }
  return false;
}

// The hash of the bucket the operation changes.
std::int64_t changed_hash(Operation operation) {
  return operation == Operation::remove_last ? 2 : operation == Operation::remove_from_full_heap ? 3 : 1;
}

class StringMapCrash : public MapTest, public ::testing::WithParamInterface<std::tuple<Scenario, bool>> {
 protected:
  // Runs `operation` on bucket 1 in a child process that opens the map and dies at `point`.
  void die_during(const std::string& name, const Scenario& scenario) {
    const pid_t child = ::fork();
    if (child == 0) {
      std::string own_name = name;
      ConcurrentHashMap_string map(own_name, 2, 2, 2, 3);
      arm_crash_point(scenario.point, 0);
      switch (scenario.operation) {
        case Operation::append:
          put(map, "victim", pattern_bytes(300, 1), 1);
          break;
        case Operation::append_in_slack:
          put(map, "victim", pattern_bytes(20, 1), 1);
          break;
        case Operation::append_in_hole:
          arm_crash_point(nullptr, 0);
          erase(map, key_name(1, 0), 1);
          arm_crash_point(scenario.point, 0);
          put(map, "victim", pattern_bytes(40, 1), 1);
          break;
        case Operation::replace:
          put(map, key_name(1, 2), pattern_bytes(200, 2), 1);
          break;
        case Operation::replace_in_slack:
          put(map, key_name(1, 2), pattern_bytes(20, 2), 1);
          break;
        case Operation::remove:
          erase(map, key_name(1, 0), 1);
          break;
        case Operation::remove_last:
          arm_crash_point(nullptr, 0);
          for (int index = 0; index < 3; ++index) {
            erase(map, key_name(2, index), 2);
          }
          arm_crash_point(scenario.point, 0);
          erase(map, key_name(2, 3), 2);
          break;
        case Operation::remove_from_full_heap:
          erase(map, "big", 3);
          break;
        case Operation::append_then_remove:
          arm_crash_point(nullptr, 0);
          put(map, "victim", pattern_bytes(300, 1), 1);
          arm_crash_point(scenario.point, 0);
          erase(map, "victim", 1);  // completed: the point is in the give-back that follows
          break;
        case Operation::append_then_close:
          arm_crash_point(nullptr, 0);
          put(map, "victim", pattern_bytes(300, 1), 1);
          arm_crash_point(scenario.point, 0);
          map.~ConcurrentHashMap_string();  // its caches go back to the heap on the way out
          break;
      }
      ::_exit(0);  // the point was never reached
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << scenario.point << " was not reached (status " << status << ")";
  }
};

TEST_P(StringMapCrash, SurvivorsRepairTheBucketAndLoseNothingCompleted) {
  const auto& [scenario, heir_first] = GetParam();
  std::string name;
  // A small heap where it is to be filled.
  auto map = create(name, 2, 1, fills_heap(scenario.operation) ? 1 << 21 : 1 << 22, 5);
  std::map<std::string, std::string> expected;
  for (int bucket = 0; bucket < buckets; ++bucket) {
    for (int index = 0; index < keys_per_bucket; ++index) {
      expected[key_name(bucket, index)] = pattern_bytes(50 + index, static_cast<unsigned>(bucket));
      put(*map, key_name(bucket, index), expected[key_name(bucket, index)], bucket);
    }
  }
  std::vector<std::string> fillers;
  if (fills_heap(scenario.operation)) {
    expected["big"] = pattern_bytes(600, 4);
    put(*map, "big", expected["big"], 3);
    // Entries in every bucket but bucket 1 until the heap has no room left.
    const std::string filler = pattern_bytes(200, 5);
    try {
      for (int index = 0;; ++index) {
        const int bucket = std::array{0, 2, 3}[index % 3];
        const std::string key = "f" + std::to_string(bucket) + "-" + std::to_string(index);
        map->insert(key.data(), filler.data(), key.size(), filler.size(), bucket);
        expected[key] = filler;
        fillers.push_back(key);
      }
    } catch (const HeapExhausted&) {
    }
  }
  if (scenario.needs_free_chunks) {
    // Another object's cached chunks go back to the shared free lists when it closes.
    std::string other_name = name;
    ConcurrentHashMap_string other(other_name, 2, 2, 2, 3);
    put(other, "transient", pattern_bytes(300, 9), 3);  // the class of the victim's value too
    ASSERT_TRUE(erase(other, "transient", 3));
  }
  die_during(name, scenario);
  // Readers must not wait for a version the dead writer left odd: they read under the lock, whose
  // takeover repairs the bucket and makes its version even again.
  const std::uint64_t changed_bucket = map->bucket_of(changed_hash(scenario.operation));
  const std::uint64_t version_at_death = map->bucket_version(changed_bucket);
  EXPECT_EQ(version_at_death % 2, dies_while_changing(scenario.point) ? 1u : 0u);
  switch (scenario.operation) {
    case Operation::append:
    case Operation::append_in_slack:
      if (scenario.is_done) {
        expected["victim"] = pattern_bytes(scenario.operation == Operation::append ? 300 : 20, 1);
      }
      break;
    case Operation::append_in_hole:
      expected.erase(key_name(1, 0));
      if (scenario.is_done) {
        expected["victim"] = pattern_bytes(40, 1);
      }
      break;
    case Operation::replace:
    case Operation::replace_in_slack:
      if (scenario.is_done) {
        expected[key_name(1, 2)] = pattern_bytes(scenario.operation == Operation::replace ? 200 : 20, 2);
      }
      break;
    case Operation::remove:
      if (scenario.is_done) {
        expected.erase(key_name(1, 0));
      }
      break;
    case Operation::remove_last:
      for (int index = 0; index < (scenario.is_done ? 4 : 3); ++index) {
        expected.erase(key_name(2, index));
      }
      break;
    case Operation::remove_from_full_heap:
      if (scenario.is_done) {
        expected.erase("big");
      }
      break;
    case Operation::append_then_remove:
      break;
    case Operation::append_then_close:
      expected["victim"] = pattern_bytes(300, 1);
      break;
  }

  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<ConcurrentHashMap_string> heir;
  if (heir_first) {
    // The next process to open the map claims the dead process's slot and repairs what it left.
    std::string heir_name = name;
    heir = std::make_unique<ConcurrentHashMap_string>(heir_name, 2, 2, 2, 3);
    EXPECT_TRUE(heir->process_table().took_over_dead_slot());
  }
  // A reader of another key of the bucket the dead process held.
  EXPECT_EQ(fetch(*map, key_name(1, 3), 1), expected[key_name(1, 3)]);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);

  for (const auto& [key, value] : expected) {
    const std::int64_t hash = key == "victim" ? 1 : key == "big" ? 3 : key[1] - '0';
    EXPECT_EQ(fetch(*map, key, hash), value) << key;
  }
  if (!scenario.is_done && (scenario.operation == Operation::append || scenario.operation == Operation::append_in_slack ||
                             scenario.operation == Operation::append_in_hole)) {
    EXPECT_EQ(fetch(*map, "victim", 1), std::nullopt);
  }
  // A get in the changed bucket (which may hold no key that is left) reads it under the lock.
  EXPECT_EQ(fetch(*map, "absent", changed_hash(scenario.operation)), std::nullopt);
  const std::uint64_t version_repaired = map->bucket_version(changed_bucket);
  EXPECT_EQ(version_repaired % 2, 0u) << "the repair made the version even";
  EXPECT_GE(version_repaired, version_at_death);
  EXPECT_TRUE(fetch(*map, key_name(1, 3), 1).has_value());
  EXPECT_EQ(map->bucket_version(changed_bucket), version_repaired) << "a read after the repair writes nothing";
  std::multiset<std::string> keys = walk_keys(*map);
  std::multiset<std::string> expected_keys;
  for (const auto& entry : expected) {
    expected_keys.insert(entry.first);
  }
  EXPECT_EQ(keys, expected_keys) << "a walk returns every key once";
  EXPECT_EQ(map->element_count(), expected.size());
  EXPECT_EQ(map->check().entry_count, expected.size());
  // The repaired bucket takes further changes, and the heir uses what the dead process had cached
  // without handing any chunk out twice (the checker finds every link owned once).
  ConcurrentHashMap_string& survivor = heir ? *heir : *map;
  // A full heap still lets every entry be removed, and the removes make room again: here by the
  // process that filled it, whose caches hold what its own changes left free.
  for (int round = 0; round < 2 && !fillers.empty(); ++round) {
    for (const std::string& key : fillers) {
      ASSERT_TRUE(erase(*map, key, key[1] - '0')) << key;
      expected.erase(key);
    }
    EXPECT_EQ(map->check().entry_count, expected.size());
    if (round == 0) {
      for (const std::string& key : fillers) {
        put(*map, key, pattern_bytes(200, 5), key[1] - '0');
      }
    }
  }
  if (fills_heap(scenario.operation)) {
    EXPECT_EQ(leaked_chunks(*map), 0u);
    return;  // the heap's slabs all serve the fillers' classes
  }
  for (int index = 0; index < 40; ++index) {
    put(survivor, "after-" + std::to_string(index), pattern_bytes(40, static_cast<unsigned>(index)), 1);
  }
  for (int index = 0; index < 40; index += 2) {
    EXPECT_TRUE(erase(survivor, "after-" + std::to_string(index), 1));
  }
  EXPECT_EQ(map->check().entry_count, expected.size() + 20);
  EXPECT_EQ(map->element_count(), expected.size() + 20);
  // Whoever finished or undid the dead process's change freed what it had made or replaced, and
  // the slab records it left half changed were repaired: no chunk is lost.
  EXPECT_EQ(leaked_chunks(*map), 0u);
}

std::string scenario_name(const ::testing::TestParamInfo<std::tuple<Scenario, bool>>& info) {
  static const char* const operations[] = {"Append",      "AppendInSlack", "AppendInHole", "Replace",
                                           "ReplaceInSlack", "Remove",     "RemoveLast",   "Release",
                                           "Close",       "RemoveFromFullHeap"};
  const Scenario& scenario = std::get<0>(info.param);
  std::string name = std::string(scenario.point) + "_" + operations[static_cast<int>(scenario.operation)];
  if (scenario.needs_free_chunks) {
    name += "_FromTheSharedList";
  }
  for (char& character : name) {
    if (character == '.') {
      character = '_';
    }
  }
  return name + (std::get<1>(info.param) ? "_HeirFirst" : "_ReaderFirst");
}

INSTANTIATE_TEST_SUITE_P(EveryPoint, StringMapCrash,
                         ::testing::Combine(::testing::ValuesIn(scenarios), ::testing::Bool()), scenario_name);

#else

TEST(StringMapCrash, NeedsCrashPoints) { GTEST_SKIP() << "built without CORVANA_CRASH_POINTS"; }

#endif

}  // namespace
}  // namespace corvana::testing
