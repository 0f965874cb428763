// A second death inside the repair of the first: a writer D dies inside a change or a split, and the
// process P that takes its lock over dies while it repairs (at each named point of the repair, and
// while it waits for the sibling's lock). The next taker must still finish or undo D's change:
// every key once, the count exact, removes that stick, and nothing freed twice once other
// processes inherit the dead processes' slots.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

#include "heap/platform.hpp"
#include "tests/map/map_test_support.hpp"

namespace corvana::testing {
namespace {

#ifdef CORVANA_CRASH_POINTS

enum class Change { append, remove, split, relink };

struct Scenario {
  Change change;            // what D does: append (or remove) in a bucket of 10, or split on its 3rd
                            // insert (relink: a split where every entry moves)
  const char* first;        // where D dies
  const char* second;       // where P dies while it repairs
  std::uint64_t second_skip;  // hits of `second` that P lets pass
};

const Scenario scenarios[] = {
    {Change::append, "change.published", "repair.taken_over", 0},
    {Change::append, "change.published", "repair.counted", 0},
    {Change::remove, "change.published", "repair.taken_over", 0},
    {Change::remove, "change.counted", "repair.taken_over", 0},
    // D leaves the version odd; P (a get, which reads under the lock then) dies inside the repair,
    // which keeps it odd for the next taker.
    {Change::append, "change.freeing", "bucket.changing", 0},
    {Change::remove, "change.published", "bucket.changing", 0},
    {Change::split, "split.sibling_published", "repair.taken_over", 0},
    // P waits for the sibling's lock, which D holds: its second liveness query.
    {Change::split, "split.sibling_published", "lock.liveness", 1},
    {Change::split, "split.sibling_published", "repair.split.sibling_taken", 0},
    {Change::split, "split.sibling_published", "repair.split.published", 0},
    {Change::split, "split.bucket_published", "repair.split.sibling_taken", 0},
    {Change::split, "split.freeing", "repair.taken_over", 0},
    {Change::relink, "split.relinked_sibling", "repair.taken_over", 0},
    {Change::relink, "split.relinked_sibling", "repair.split.sibling_taken", 0},
    {Change::relink, "split.relinked_sibling", "repair.split.published", 0},
};

std::string key_name(int index) { return "key-" + std::to_string(index); }
// Keys 0, 1, 2, ... land on alternate sides of the first split.
std::int64_t hash_of(int index) { return hash_at(static_cast<std::uint64_t>(index)); }

class StringMapRepairCrash : public MapTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(StringMapRepairCrash, TheNextTakerFinishesTheFirstDeathsChange) {
  const Scenario& scenario = GetParam();
  std::string name;
  const bool splits = scenario.change == Change::split || scenario.change == Change::relink;
  // Odd keys all move at the first split: its bucket's chain is relinked whole.
  const auto key_index = [&](int index) { return scenario.change == Change::relink ? 2 * index + 1 : index; };
  // One bucket: B = 1 and, for a split, room to double; otherwise one chunk that never grows.
  auto map = create(name, 0, splits ? 4 : 1, 1 << 22);
  std::map<std::string, std::string> expected;
  const int stored = splits ? 2 : 10;
  for (int index = 0; index < stored; ++index) {
    const int key = key_index(index);
    expected[key_name(key)] = pattern_bytes(40 + static_cast<std::size_t>(index), static_cast<unsigned>(index));
    put(*map, key_name(key), expected[key_name(key)], hash_of(key));
  }
  const std::string victim = key_name(key_index(stored));
  const std::string victim_value = pattern_bytes(300, 99);

  // P opens the map before D, so each has a slot of its own.
  DyingProcess repairer;
  DyingProcess writer;
  repairer.start(name, scenario.second, scenario.second_skip,
                 [&](ConcurrentHashMap_string& own) { static_cast<void>(fetch(own, key_name(0), hash_of(0))); });
  writer.start(name, scenario.first, 0, [&](ConcurrentHashMap_string& own) {
    if (scenario.change == Change::remove) {
      erase(own, key_name(3), hash_of(3));
    } else {
      put(own, victim, victim_value, hash_of(key_index(stored)));  // the third insert starts the doubling
    }
  });
  writer.run_to_death();
  repairer.run_to_death();

  // What D did is done from the point its change was published on, and the insert that started
  // the doubling had completed before the split began.
  if (scenario.change == Change::remove) {
    expected.erase(key_name(3));
  } else {
    expected[victim] = victim_value;
  }
  const auto hash_of_key = [](const std::string& key) { return hash_of(std::stoi(key.substr(4))); };
  for (const auto& [key, value] : expected) {
    EXPECT_EQ(fetch(*map, key, hash_of_key(key)), value) << key;
  }
  std::multiset<std::string> expected_keys;
  for (const auto& entry : expected) {
    expected_keys.insert(entry.first);
  }
  EXPECT_EQ(walk_keys(*map), expected_keys) << "a walk returns every key once";
  EXPECT_EQ(map->element_count(), expected.size());
  EXPECT_EQ(map->check().entry_count, expected.size());
  // A remove sticks.
  const std::string removed = expected.begin()->first;
  EXPECT_TRUE(erase(*map, removed, hash_of_key(removed)));
  EXPECT_EQ(fetch(*map, removed, hash_of_key(removed)), std::nullopt);
  expected.erase(removed);

  // Two heirs claim the dead processes' slots; what the dead left in them is resolved already, so
  // nothing in use is freed again: the heap keeps serving every class.
  std::string heir_name = name;
  ConcurrentHashMap_string first_heir(heir_name, 2, 2, 2, 3);
  std::string second_name = name;
  ConcurrentHashMap_string second_heir(second_name, 2, 2, 2, 3);
  EXPECT_TRUE(first_heir.process_table().took_over_dead_slot());
  EXPECT_TRUE(second_heir.process_table().took_over_dead_slot());
  for (int index = 100; index < 400; ++index) {
    put(index % 2 == 0 ? first_heir : second_heir, key_name(index), pattern_bytes(static_cast<std::size_t>(index), 1),
        hash_of(index));
    expected[key_name(index)] = pattern_bytes(static_cast<std::size_t>(index), 1);
  }
  for (const auto& [key, value] : expected) {
    ASSERT_EQ(fetch(*map, key, hash_of_key(key)), value) << key;
  }
  EXPECT_EQ(map->check().entry_count, expected.size());
  EXPECT_EQ(map->element_count(), expected.size());
  EXPECT_EQ(leaked_chunks(*map), 0u);
}

std::string scenario_name(const ::testing::TestParamInfo<Scenario>& info) {
  static const char* const changes[] = {"Append", "Remove", "Split", "Relink"};
  std::string name = std::string(changes[static_cast<int>(info.param.change)]) + "_" + info.param.first + "_then_" +
                     info.param.second;
  for (char& character : name) {
    character = character == '.' ? '_' : character;
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(EveryPair, StringMapRepairCrash, ::testing::ValuesIn(scenarios), scenario_name);

// A process that claims a dead owner's slot takes the slot's byte-range lock before it raises the
// slot's generation; in between, the dead owner looks alive again to anyone who asks. A repairer
// that took the dead owner's lock over before that moment must still resolve its change (else the
// claimer, which finds the lock free, clears the change unresolved): the count stays exact.
TEST_F(MapTest, ADeathIsRepairedWhileItsSlotIsBeingClaimedAgain) {
  std::string name;
  auto map = create(name, 0, 1, 1 << 22);
  std::map<std::string, std::string> expected;
  for (int index = 0; index < 10; ++index) {
    expected[key_name(index)] = pattern_bytes(40 + static_cast<std::size_t>(index), static_cast<unsigned>(index));
    put(*map, key_name(index), expected[key_name(index)], hash_of(index));
  }
  // P opens the map before D; P stops (alive) right after it took D's lock over.
  DyingProcess repairer;
  repairer.start(
      name, "repair.taken_over", 0,
      [&](ConcurrentHashMap_string& own) { put(own, key_name(20), "after the death", hash_of(20)); }, true);
  DyingProcess writer;
  writer.start(name, "change.published", 0,
               [&](ConcurrentHashMap_string& own) { erase(own, key_name(3), hash_of(3)); });
  writer.run_to_death();
  expected.erase(key_name(3));
  expected[key_name(20)] = "after the death";
  repairer.run_to_stop();

  // A claimer in the middle of its claim: it holds the byte-range lock of the dead slot.
  const FileHandle claimer = platform::open_file(name.c_str());
  ASSERT_NE(claimer, platform::invalid_handle);
  std::vector<std::uint64_t> taken;
  for (std::uint32_t index = 0; index < map->process_table().high_water(); ++index) {
    if (platform::try_lock_byte(claimer, process_lock_base + index)) {
      taken.push_back(process_lock_base + index);  // the dead writer's: the others are alive
    }
  }
  ASSERT_EQ(taken.size(), 1u);
  repairer.resume_to_exit();
  platform::unlock_byte(claimer, taken[0]);
  ASSERT_TRUE(platform::close_file(claimer));

  std::string heir_name = name;
  ConcurrentHashMap_string heir(heir_name, 2, 2, 2, 3);
  EXPECT_TRUE(heir.process_table().took_over_dead_slot());
  for (const auto& [key, value] : expected) {
    EXPECT_EQ(fetch(heir, key, hash_of(std::stoi(key.substr(4)))), value) << key;
  }
  EXPECT_EQ(map->check().entry_count, expected.size());
  EXPECT_EQ(map->element_count(), expected.size());
  EXPECT_EQ(leaked_chunks(*map), 0u);
}

#else

TEST(StringMapRepairCrash, NeedsCrashPoints) { GTEST_SKIP() << "built without CORVANA_CRASH_POINTS"; }

#endif

}  // namespace
}  // namespace corvana::testing
