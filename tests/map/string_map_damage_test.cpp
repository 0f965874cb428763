// Damaged memory files: copies of a populated file with a few 8-byte words overwritten are opened
// and used by a forked child each. A child may meet the damage as an exception, never as a crash
// (under the sanitizers: never as an invalid access) or a hang.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>

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
