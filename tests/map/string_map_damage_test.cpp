// Damaged memory files: copies of a populated file with a few 8-byte words overwritten are opened
// and used by a forked child each. A child may meet the damage as an exception, never as a crash
// (under the sanitizers: never as an invalid access) or a hang.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "map/map_records.hpp"
#include "tests/map/map_test_support.hpp"

namespace corvana::testing {
namespace {

class StringMapDamage : public MapTest {};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Opens the map at `path` and runs gets, a walk, inserts and removes, each allowed to throw.
[[noreturn]] void use_damaged(std::string path) {
  ::alarm(30);  // a hang ends as SIGALRM, which the parent reports
  try {
    ConcurrentHashMap_string map(path, 2, 2, 2, 3);
    const auto attempt = [](auto operation) {
      try {
        operation();
      } catch (const std::exception&) {
        // the damage, met and reported
      }
    };
    for (int key = 0; key < 2000; key += 7) {
      attempt([&] { static_cast<void>(fetch(map, "k" + std::to_string(key), key)); });
    }
    attempt([&] { static_cast<void>(walk_keys(map)); });
    for (int key = 3000; key < 3100; ++key) {
      attempt([&] { put(map, "k" + std::to_string(key), pattern_bytes(key % 300, 1), key); });
    }
    for (int key = 0; key < 2000; key += 11) {
      attempt([&] { static_cast<void>(erase(map, "k" + std::to_string(key), key)); });
    }
  } catch (const std::exception&) {
    // refused at open
  }
  ::_exit(0);
}

TEST_F(StringMapDamage, DamagedCopiesNeverCrashOrHangTheirUser) {
  std::string name;
  {
    auto map = create(name, 5, 64, 4 << 20, 5);
    std::mt19937_64 sizes(1);
    for (int key = 0; key < 2000; ++key) {
      const std::size_t choices[] = {1, 20, 100, 300, 2000};
      put(*map, "k" + std::to_string(key), pattern_bytes(choices[sizes() % 5], key), key);
    }
    for (int key = 0; key < 2000; key += 5) {
      erase(*map, "k" + std::to_string(key), key);
    }
  }
  const std::string original = read_file(name);
  std::vector<std::size_t> words;  // most damage goes to words that hold something
  for (std::size_t at = 0; at + 8 <= original.size(); at += 8) {
    if (original.compare(at, 8, std::string(8, '\0')) != 0) {
      words.push_back(at);
    }
  }
  ASSERT_FALSE(words.empty());
  const char* rounds_text = std::getenv("CORVANA_FUZZ_ROUNDS");
  const int rounds = rounds_text != nullptr ? std::atoi(rounds_text) : 60;
  std::mt19937_64 rng(static_cast<std::uint64_t>(::getpid()));
  const std::string copy_path = name + ".copy";
  for (int round = 0; round < rounds; ++round) {
    std::string copy = original;
    for (int change = 0, changes = 1 + static_cast<int>(rng() % 4); change < changes; ++change) {
      const std::size_t at = words[rng() % words.size()];
      std::uint64_t word = 0;
      std::memcpy(&word, copy.data() + at, 8);
      switch (rng() % 4) {
        case 0: word = words[rng() % words.size()] - 4096; break;  // an offset that could be one
        case 1: word = std::uint64_t{1} << (32 + rng() % 32); break;
        case 2: word ^= std::uint64_t{1} << (rng() % 64); break;
        default: word = 0;
      }
      std::memcpy(copy.data() + at, &word, 8);
    }
    std::ofstream(copy_path, std::ios::binary | std::ios::trunc).write(copy.data(), static_cast<std::streamsize>(copy.size()));
    const pid_t child = ::fork();
    if (child == 0) {
      use_damaged(copy_path);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "round " << round << ": status " << status << (WIFSIGNALED(status) ? " (signal)" : "");
  }
}

// A sink that records the length it was asked for and refuses lengths no test value has.
class RecordingSink final : public ValueSink {
 public:
  char* buffer_for(std::uint64_t length) override {
    requested = length;
    if (length > (std::uint64_t{1} << 24)) {
      throw std::bad_alloc();
    }
    storage.resize(length);
    return storage.data();
  }
  std::uint64_t requested = 0;
  std::string storage;
};

// The length word of the out-of-line value of `key` (of one byte), found after the entry's header
// words {key length, out-of-line flag} and its padded key.
std::byte* value_length_word(Allocator heap, std::uint64_t heap_end, char key) {
  const std::uint32_t fields[2] = {1, 0x80000000u};
  char padded_key[8] = {key};
  for (std::uint64_t at = 64; at + 40 <= heap_end; at += 8) {
    if (std::memcmp(heap + at, fields, sizeof fields) == 0 &&
        std::memcmp(heap + at + 8, padded_key, 8) == 0) {
      return heap + at + 8 + 8 + 8;  // past the fields, the key and the string's first chunk
    }
  }
  return nullptr;
}

TEST_F(StringMapDamage, AStringLengthLongerThanTheCarvedHeapIsRefusedBeforeItSizesAnything) {
  std::string name;
  constexpr std::uint64_t heap_bytes = 64 << 20;
  auto map = create(name, 4, 16, heap_bytes, 5);
  const std::string value = pattern_bytes(3000, 7);
  put(*map, "k", value, 1);
  put(*map, "j", pattern_bytes(20, 1), 2);
  std::byte* length_word = value_length_word(map->heap_base(), heap_bytes, 'k');
  ASSERT_NE(length_word, nullptr);
  std::uint64_t stored = 0;
  std::memcpy(&stored, length_word, sizeof stored);
  ASSERT_EQ(stored, value.size());
  const auto carved = testing_support::heap_next_of(map->heap_base());
  ASSERT_LT(carved, heap_bytes / 4) << "the file's heap is mostly never carved";
  // One length past any file, one that the file could hold but its carved part cannot.
  for (const std::uint64_t damaged : {std::uint64_t{1} << 40, heap_bytes / 2}) {
    std::memcpy(length_word, &damaged, sizeof damaged);
    RecordingSink sink;
    EXPECT_THROW(map->get("k", 1, 1, sink), DamagedFile);
    EXPECT_EQ(sink.requested, 0u) << "no buffer is asked for a length the heap cannot hold";
    ConcurrentHashMap_string::WalkBatch batch;
    EXPECT_THROW(map->walk_groups(map->bucket_chunk_in_use(), 0, 100, true, true, batch), DamagedFile);
    EXPECT_LT(batch.bytes.capacity(), carved);
    EXPECT_THROW(static_cast<void>(map->check(false)), DamagedFile);
    EXPECT_EQ(fetch(*map, "j", 2), pattern_bytes(20, 1)) << "the rest of the map is as it was";
  }
  const std::uint64_t sound = value.size();
  std::memcpy(length_word, &sound, sizeof sound);
  EXPECT_EQ(fetch(*map, "k", 1), value);
  EXPECT_EQ(map->check(false).entry_count, 2u);
}

// A change that is published and then finds the chain it gives back damaged raises, and leaves no
// intent behind once its bucket's lock is free: a repair after some later death must never act on
// the change of a writer that lives on.
TEST_F(StringMapDamage, AChangeThatMeetsADamagedChainAfterItsPublicationLeavesNoIntent) {
  std::string name;
  constexpr std::uint64_t heap_bytes = 64 << 20;
  auto map = create(name, 4, 16, heap_bytes, 5);
  put(*map, "k", pattern_bytes(40000, 7), 1);
  put(*map, "j", pattern_bytes(20, 1), 2);
  std::byte* length_word = value_length_word(map->heap_base(), heap_bytes, 'k');
  ASSERT_NE(length_word, nullptr);
  std::uint64_t first = 0;
  std::memcpy(&first, length_word - 8, sizeof first);
  std::uint64_t second = 0;
  std::memcpy(&second, map->heap_base() + first, sizeof second);
  ASSERT_NE(second, 0u) << "the value needs a chain of several chunks";
  const std::uint64_t not_a_chunk = 8;
  std::memcpy(map->heap_base() + first, &not_a_chunk, sizeof not_a_chunk);

  EXPECT_THROW(static_cast<void>(erase(*map, "k", 1)), DamagedFile);
  const ProcessTable& table = map->process_table();
  map_layout::SlotRecords* records = map_layout::slot_records(table.slot(table.slot_index()));
  for (map_layout::WriterIntent& intent : records->intents) {
    EXPECT_EQ(map_layout::intent_state_word(&intent).load(), 0u);
  }
  EXPECT_EQ(fetch(*map, "k", 1), std::nullopt) << "the remove was published";
  EXPECT_EQ(fetch(*map, "j", 2), pattern_bytes(20, 1));
  EXPECT_EQ(map->element_count(), 1u);
}

TEST_F(StringMapDamage, AHeapEndEnlargedInTheFileDoesNotEnlargeWhatAnOpenMapTouches) {
  std::string name;
  auto map = create(name, 4, 1024, 2 << 20, 5);
  const pid_t child = ::fork();
  if (child == 0) {
    std::string own_name = name;
    ConcurrentHashMap_string own(own_name, 2, 2, 2, 3);
    // Another writer makes the heap look far larger than the file this process mapped.
    std::uint64_t huge = std::uint64_t{1} << 40;
    std::memcpy(own.heap_base(), &huge, sizeof huge);  // HeapHeader::heap_end
    try {
      for (int key = 0;; ++key) {  // entries and the expansions they start, until the heap is full
        put(own, "k" + std::to_string(key), pattern_bytes(100, key), key);
      }
    } catch (const std::exception& error) {
      // The heap fills at the size this process mapped.
      ::_exit(std::string(error.what()) == "mm:alloc: out of memory" ? 0 : 1);
    }
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
}  // namespace corvana::testing
