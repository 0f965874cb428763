// A participant killed at every named point of a doubling (the creator's, a claim's, a split's, the
// leaving and the doubling itself), and pairs of deaths where the second participant dies taking over
// the first one's claim: two survivors, one of them another process, then insert, get and remove
// thousands of keys and walk the map; nothing stored before is lost or seen twice, and the doubling
// the dead left behind is finished.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <set>

#include "map/map_records.hpp"
#include "map/map_support.hpp"
#include "tests/map/map_test_support.hpp"

namespace corvana::testing {
namespace {

#ifdef CORVANA_CRASH_POINTS

constexpr std::uint8_t bucket_exponent = 3;  // 8 buckets a chunk
constexpr int stored_entries = 30;           // below 2 * B * N for N = 2: no doubling of its own
constexpr int survivor_keys = 10000;

std::int64_t hash_of(const std::string& key) {
  return static_cast<std::int64_t>(std::hash<std::string>{}(key) * 0x9E3779B97F4A7C15ull);
}

// Inserts, reads back and removes half of `count` keys of its own, checking every stored entry on
// the way. Returns the first failure, or an empty string.
std::string survive(ConcurrentHashMap_string& map, const std::string& prefix, int count,
                    const std::map<std::string, std::string>& stored) {
  for (int index = 0; index < count; ++index) {
    const std::string key = prefix + std::to_string(index);
    put(map, key, pattern_bytes(static_cast<std::size_t>(20 + index % 300), static_cast<unsigned>(index)),
        hash_of(key));
  }
  for (const auto& [key, value] : stored) {
    if (fetch(map, key, hash_of(key)) != value) {
      return "lost " + key;
    }
  }
  for (int index = 0; index < count; ++index) {
    const std::string key = prefix + std::to_string(index);
    if (fetch(map, key, hash_of(key)) !=
        pattern_bytes(static_cast<std::size_t>(20 + index % 300), static_cast<unsigned>(index))) {
      return "lost " + key;
    }
    if (index % 2 == 0 && !erase(map, key, hash_of(key))) {
      return "could not remove " + key;
    }
  }
  return {};
}

struct Deaths {
  const char* first;
  const char* second;  // null: one death
};

const Deaths scenarios[] = {
    {"expansion.marked", nullptr},
    {"expansion.allocated", nullptr},
    {"expansion.recorded", nullptr},
    {"expansion.publishing", nullptr},
    {"expansion.claimed", nullptr},
    {"split.begun", nullptr},
    {"split.sibling_published", nullptr},
    {"split.bucket_published", nullptr},
    {"split.freeing", nullptr},
    {"split.relinking", nullptr},
    {"split.relinked_sibling", nullptr},
    {"bucket.changing", nullptr},  // between the old bucket's version stores, before the sibling's
    {"expansion.left", nullptr},
    {"expansion.doubled", nullptr},
    {"split.sibling_published", "expansion.adopted"},
    {"expansion.claimed", "split.bucket_published"},
    {"split.relinked_sibling", "expansion.adopted"},
};

class StringMapExpansionCrashBlock : public MapTest {};

class StringMapExpansionCrash : public MapTest, public ::testing::WithParamInterface<std::tuple<Deaths, bool>> {};

TEST_P(StringMapExpansionCrash, SurvivorsFinishTheDoublingAndLoseNothing) {
  const auto& [deaths, checker_first] = GetParam();
  std::string name;
  auto map = create(name, bucket_exponent, 64, 16 << 20);
  map->python_expansion_helper(0);  // N = 2: the doubling to come publishes a slot before slot N
  ASSERT_EQ(map->bucket_chunk_in_use(), 2u);
  std::map<std::string, std::string> stored;
  for (int index = 0; index < stored_entries; ++index) {
    const std::string key = "stored-" + std::to_string(index);
    stored[key] = pattern_bytes(static_cast<std::size_t>(10 + index * 20), static_cast<unsigned>(index));
    put(*map, key, stored[key], hash_of(key));
  }
  ASSERT_EQ(map->bucket_chunk_in_use(), 2u);

  // The second participant opens the map while the first still lives: it has a slot of its own and
  // takes the first one's claim over instead of inheriting its slot.
  const auto join_expansion = [](ConcurrentHashMap_string& own) { own.python_expansion_helper(0); };
  DyingProcess first;
  DyingProcess second;
  first.start(name, deaths.first, 0, join_expansion);
  if (deaths.second != nullptr) {
    second.start(name, deaths.second, 0, join_expansion);
  }
  first.run_to_death();
  if (deaths.second != nullptr) {
    second.run_to_death();
  }

  if (checker_first) {
    // The checker, before anybody else touches the map: it finishes the doubling the dead left
    // behind and repairs what they held, and finds the map sound, with the count agreeing.
    std::string checker_name = name;
    ConcurrentHashMap_string checker(checker_name, 2, 2, 2, 3);
    EXPECT_EQ(checker.check(true).entry_count, stored.size());
    EXPECT_EQ(checker.element_count(), stored.size());
    EXPECT_GE(checker.bucket_chunk_in_use(), 4u) << "the checker finished the doubling";
    EXPECT_FALSE(checker.expansion_needs_help());
    EXPECT_EQ(checker.check().entry_count, stored.size()) << "a second check finds the same";
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t survivor = ::fork();
  if (survivor == 0) {
    std::string own_name = name;
    ConcurrentHashMap_string other(own_name, 2, 2, 2, 3);
    const std::string failure = survive(other, "other-", survivor_keys, stored);
    ::_exit(failure.empty() ? 0 : 1);
  }
  EXPECT_EQ(survive(*map, "own-", survivor_keys, stored), "");
  int status = 0;
  ASSERT_EQ(::waitpid(survivor, &status, 0), survivor);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other survivor failed: " << status;
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 60.0);

  EXPECT_GE(map->bucket_chunk_in_use(), 4u) << "the interrupted doubling was finished";
  std::multiset<std::string> expected;
  for (const auto& entry : stored) {
    expected.insert(entry.first);
  }
  for (int index = 1; index < survivor_keys; index += 2) {
    expected.insert("own-" + std::to_string(index));
    expected.insert("other-" + std::to_string(index));
  }
  EXPECT_EQ(walk_keys(*map), expected) << "every key once";
  EXPECT_EQ(map->element_count(), expected.size());
  EXPECT_EQ(map->check().entry_count, expected.size());
  EXPECT_EQ(map->expansion_workers(), 0u);
}

// A participant whose next bucket is held by a stopped writer gives up at its deadline: the insert
// that joined the doubling returns (its entry is stored), its claim is handed over, and once the
// writer goes on, the next insert that meets the doubling finishes it.
TEST_F(StringMapExpansionCrashBlock, AParticipantWaitingForAStoppedWriterHandsItsClaimOver) {
  std::string name;
  auto map = create(name, 1, 4, 1 << 22);  // two buckets
  const pid_t writer = ::fork();
  if (writer == 0) {
    ::setenv("CORVANA_CRASH_AT", "change.published", 1);
    ::setenv("CORVANA_CRASH_ACTION", "STOP", 1);
    std::string own_name = name;
    ConcurrentHashMap_string own(own_name, 2, 2, 2, 3);
    put(own, "stopped", "in bucket 1", hash_at(1));
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(writer, &status, WUNTRACED), writer);
  ASSERT_TRUE(WIFSTOPPED(status)) << "the writer never stopped";
  map->set_lock_timeout(200'000'000);
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t index = 0; index < 5; ++index) {  // bucket 0 only; the fifth starts a doubling
    put(*map, "key-" + std::to_string(index), "value", hash_at(2 * index));
  }
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
  EXPECT_EQ(map->bucket_chunk_in_use(), 1u) << "the doubling waits for bucket 1";
  EXPECT_TRUE(map->expansion_needs_help()) << "the claim was handed over";
  ::kill(writer, SIGCONT);
  ASSERT_EQ(::waitpid(writer, &status, 0), writer);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  map->set_lock_timeout(0);
  put(*map, "key-5", "value", hash_at(10));  // meets the doubling and finishes it
  EXPECT_EQ(map->bucket_chunk_in_use(), 2u);
  for (std::uint64_t index = 0; index < 6; ++index) {
    EXPECT_EQ(fetch(*map, "key-" + std::to_string(index), hash_at(2 * index)), "value");
  }
  EXPECT_EQ(fetch(*map, "stopped", hash_at(1)), "in bucket 1");
  EXPECT_EQ(map->check().entry_count, 7u);
  EXPECT_EQ(map->element_count(), 7u);
}

// A doubling left half done by a dead participant: inserts into buckets whose split is done, or
// whose split a repair finishes, or that no claim has reached, go ahead without waiting for the
// doubling (which stays unfinished), and each entry lands where the doubled map looks for it.
TEST_F(StringMapExpansionCrashBlock, InsertsIntoBucketsAlreadySplitGoAheadDuringADoubling) {
  std::string name;
  auto map = create(name, 3, 4, 1 << 22);  // 8 buckets
  std::map<std::string, std::int64_t> stored;
  for (std::uint64_t bucket = 0; bucket < 4; ++bucket) {  // each of buckets 0..3 splits in two
    for (const std::uint64_t position : {bucket, bucket + 8}) {
      stored["stored-" + std::to_string(position)] = hash_at(position);
    }
  }
  for (const auto& [key, hash] : stored) {
    put(*map, key, "value of " + key, hash);
  }
  DyingProcess participant;  // splits bucket 0 and dies once bucket 1's split is published
  participant.start(name, "split.bucket_published", 1, [](ConcurrentHashMap_string& own) {
    own.python_expansion_helper(0);
  });
  participant.run_to_death();
  ASSERT_EQ(map->bucket_chunk_in_use(), 1u);

  // Bucket 0 (split), bucket 1 (its split finished by the repair), bucket 2 (not reached): both
  // halves of each.
  for (const std::uint64_t position : {16, 24, 17, 25, 18, 26}) {
    const std::string key = "during-" + std::to_string(position);
    stored[key] = hash_at(position);
    put(*map, key, "value of " + key, hash_at(position));
  }
  EXPECT_EQ(map->bucket_chunk_in_use(), 1u) << "no insert waited for the doubling or finished it";
  EXPECT_TRUE(map->expansion_needs_help());
  for (const auto& [key, hash] : stored) {
    EXPECT_EQ(fetch(*map, key, hash), "value of " + key) << "during the doubling";
  }

  map->python_expansion_helper(0);
  ASSERT_EQ(map->bucket_chunk_in_use(), 2u);
  std::multiset<std::string> expected;
  for (const auto& [key, hash] : stored) {
    EXPECT_EQ(fetch(*map, key, hash), "value of " + key) << "after the doubling";
    expected.insert(key);
  }
  EXPECT_EQ(walk_keys(*map), expected);
  EXPECT_EQ(map->check().entry_count, stored.size()) << "every entry lies in its bucket";
  EXPECT_EQ(map->element_count(), stored.size());
}

std::string deaths_name(const ::testing::TestParamInfo<std::tuple<Deaths, bool>>& info) {
  const Deaths& deaths = std::get<0>(info.param);
  std::string name = deaths.first;
  if (deaths.second != nullptr) {
    name += std::string("_then_") + deaths.second;
  }
  for (char& character : name) {
    character = character == '.' ? '_' : character;
  }
  return name + (std::get<1>(info.param) ? "_CheckerFirst" : "_SurvivorsFirst");
}

INSTANTIATE_TEST_SUITE_P(EveryPoint, StringMapExpansionCrash,
                         ::testing::Combine(::testing::ValuesIn(scenarios), ::testing::Bool()), deaths_name);

// A creator that dies once its new bucket chunks are carved (or while the heap carves them) leaves
// them recorded: whoever finishes the doubling publishes that block rather than carving another, so
// the doubling costs the heap one block however many creators die on the way.
TEST_F(StringMapExpansionCrashBlock, ADeadCreatorsBlockIsUsedNotLeaked) {
  for (const char* point : {"heap.raw.bumped", "expansion.allocated", "expansion.recorded"}) {
    SCOPED_TRACE(point);
    std::string name;
    auto map = create(name, 10, 64, 16 << 20);  // empty: its splits take no pages
    const std::size_t before = heap_available(map->heap_base());
    const pid_t child = ::fork();
    if (child == 0) {
      std::string own_name = name;
      ConcurrentHashMap_string own(own_name, 2, 2, 2, 3);
      arm_crash_point(point, 0);
      own.python_expansion_helper(0);
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << point << " was not reached";
    ASSERT_TRUE(map->expansion_needs_help());
    map->python_expansion_helper(0);
    EXPECT_EQ(map->bucket_chunk_in_use(), 2u);
    std::uint64_t block_bytes = 0;
    ASSERT_TRUE(map_layout::aligned_block_bytes(map->bucket_chunk_size(), sizeof(map_layout::Bucket), block_bytes));
    // A raw block takes its bytes + 2 rounded up to 8.
    EXPECT_EQ(before - heap_available(map->heap_base()), ((block_bytes + 1) & ~std::uint64_t{7}) + 8);
  }
}

#else

TEST(StringMapExpansionCrash, NeedsCrashPoints) { GTEST_SKIP() << "built without CORVANA_CRASH_POINTS"; }

#endif

}  // namespace
}  // namespace corvana::testing
