// Helpers for the string map tests: a private temporary directory per test, maps that delete their
// file, and byte strings.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "map/map.hpp"
#include "tests/heap/heap_test_support.hpp"

namespace corvana::testing {

// A map chooses a bucket from the low bits of bucket_bits(hash). A test that needs an entry in a
// given bucket (of a map of at most 2^16 buckets), or on a given side of a split, asks for the hash
// at that position: hash_at(p) is the smallest hash whose 16 low bucket bits are p, so distinct
// positions give distinct hashes. position_of() goes back.
inline std::int64_t hash_at(std::uint64_t position) {
  static const std::vector<std::int64_t> table = [] {
    std::vector<std::int64_t> found(1 << 16, -1);
    std::size_t missing = found.size();
    for (std::int64_t hash = 0; missing > 0; ++hash) {
      std::int64_t& slot = found[bucket_bits(hash) & 0xFFFF];
      if (slot < 0) {
        slot = hash;
        --missing;
      }
    }
    return found;
  }();
  return table.at(position);
}
inline std::int64_t position_of(std::int64_t hash) {
  return static_cast<std::int64_t>(bucket_bits(hash) & 0xFFFF);
}
inline std::vector<std::int64_t> positions_of(const std::vector<std::int64_t>& hashes) {
  std::vector<std::int64_t> positions;
  for (const std::int64_t hash : hashes) {
    positions.push_back(position_of(hash));
  }
  return positions;
}

// Points TMPDIR at a fresh directory for the test, so new memory files land there and the test can
// see exactly which files exist; removes the directory afterwards.
class MapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvana-map-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
    const char* previous = std::getenv("TMPDIR");
    if (previous != nullptr) {
      previous_tmpdir_ = previous;
    }
    ::setenv("TMPDIR", directory_.c_str(), 1);
  }
  void TearDown() override {
    if (previous_tmpdir_) {
      ::setenv("TMPDIR", previous_tmpdir_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }

  // Files in the test's temporary directory.
  [[nodiscard]] std::size_t file_count() const {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory_)) {
      ++count;
    }
    return count;
  }

  // A new map; `name` receives its path.
  std::unique_ptr<ConcurrentHashMap_string> create(std::string& name, std::uint8_t bucket_exponent,
                                                   std::uint64_t chunk_number, std::uint64_t size = 1 << 22,
                                                   std::uint8_t chunk_exponent = 5) {
    name.clear();
    return std::make_unique<ConcurrentHashMap_string>(name, bucket_exponent, chunk_number, size,
                                                      chunk_exponent);
  }

  std::string directory_;
  std::optional<std::string> previous_tmpdir_;
};

inline void put(ConcurrentHashMap_string& map, const std::string& key, const std::string& value,
                std::int64_t hash) {
  map.insert(key.data(), value.data(), key.size(), value.size(), hash);
}

// The value of `key`, or nullopt when it is absent.
inline std::optional<std::string> fetch(ConcurrentHashMap_string& map, const std::string& key,
                                        std::int64_t hash) {
  char* buffer = nullptr;
  std::int64_t length = -1;
  if (!map.get(key.data(), key.size(), hash, buffer, length)) {
    EXPECT_EQ(buffer, nullptr);
    return std::nullopt;
  }
  EXPECT_NE(buffer, nullptr);
  std::string value(buffer, static_cast<std::size_t>(length));
  python_free(buffer);
  return value;
}

inline bool erase(ConcurrentHashMap_string& map, const std::string& key, std::int64_t hash) {
  return map.remove(key.data(), key.size(), hash);
}

// A string of `length` bytes that differs from position to position and from seed to seed.
inline std::string pattern_bytes(std::size_t length, unsigned seed) {
  std::string bytes(length, '\0');
  for (std::size_t index = 0; index < length; ++index) {
    bytes[index] = static_cast<char>((index * 31 + seed * 7 + 1) & 0xFF);
  }
  return bytes;
}

// Runs the checker with the free chunks and returns the chunks of carved slabs that are neither in
// use nor free: leaked.
inline std::uint64_t leaked_chunks(ConcurrentHashMap_string& map) {
  const StringMapCheck found = map.check(true);
  return testing_support::slab_chunk_total(map.heap_base()) - found.chunk_count - found.free_chunk_count;
}

// Every key of the map, read by a full walk (each bucket under its lock: dead holders' buckets are
// repaired on the way).
inline std::multiset<std::string> walk_keys(ConcurrentHashMap_string& map) {
  std::multiset<std::string> keys;
  ConcurrentHashMap_string::WalkBatch batch;
  const std::uint64_t chunks = map.bucket_chunk_in_use();
  std::uint64_t group = 0;
  while (group < map.bucket_chunk_size() * chunks) {
    batch.clear();
    group = map.walk_groups(chunks, group, 1, true, false, batch);
    std::size_t at = 0;
    for (const std::uint64_t length : batch.lengths) {
      keys.insert(batch.bytes.substr(at, length));
      at += length;
    }
  }
  return keys;
}

#ifdef CORVANA_CRASH_POINTS
// A process forked at start() that opens the map at `name` at once (taking a process slot of its
// own while the test goes on), then waits until run_to_death(): it arms `point` (to die at its
// (skip + 1)-th hit) and runs `work` on its map, which must kill it there.
class DyingProcess {
 public:
  // With `stops`, the process stops at the point instead (SIGSTOP), alive and holding what it
  // holds: run_to_stop, then resume_to_exit.
  template <class Work>
  void start(const std::string& name, const char* point, std::uint64_t skip, Work work, bool stops = false) {
    point_ = point;
    ASSERT_EQ(::pipe(gate_), 0);
    int opened[2];
    ASSERT_EQ(::pipe(opened), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      std::string own_name = name;
      ConcurrentHashMap_string map(own_name, 2, 2, 2, 3);
      static_cast<void>(::write(opened[1], "o", 1));
      char byte = 0;
      static_cast<void>(::read(gate_[0], &byte, 1));
      if (stops) {
        arm_stop_point(point, skip);
      } else {
        arm_crash_point(point, skip);
      }
      try {
        work(map);
      } catch (...) {
        ::_exit(3);
      }
      ::_exit(0);  // the point was never reached
    }
    char byte = 0;
    EXPECT_EQ(::read(opened[0], &byte, 1), 1);
    ::close(opened[0]);
    ::close(opened[1]);
  }
  void run_to_death() {
    ASSERT_EQ(::write(gate_[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid_, &status, 0), pid_);
    ::close(gate_[0]);
    ::close(gate_[1]);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << point_ << " was not reached (" << status << ")";
  }
  void run_to_stop() {
    ASSERT_EQ(::write(gate_[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid_, &status, WUNTRACED), pid_);
    ASSERT_TRUE(WIFSTOPPED(status)) << point_ << " was not reached (" << status << ")";
  }
  // Lets a stopped process go on; it must finish its work.
  void resume_to_exit() {
    ::kill(pid_, SIGCONT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid_, &status, 0), pid_);
    ::close(gate_[0]);
    ::close(gate_[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << point_ << " then: " << status;
  }

 private:
  const char* point_ = nullptr;
  int gate_[2] = {-1, -1};
  pid_t pid_ = -1;
};
#endif

}  // namespace corvana::testing
