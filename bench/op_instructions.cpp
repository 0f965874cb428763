// Instruction counts of the string map's operations, for valgrind --tool=callgrind (counts are
// repeatable on a shared, noisy machine where times are not). Usage, with a build configured with
// -DCORVANA_BUILD_BENCH=ON in build/bench:
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*run_phase*'
//       build/bench/bench/op_instructions <insert|get|update|remove|insert_growing> [entries]
// Only run_phase is collected; its name needs the leading '*' (it lies in an anonymous namespace).
// run_phase does `entries` (default 100000) operations of the phase:
//   insert          keys 0 .. entries-1 in order into an empty map of one bucket chunk with at least
//                   one bucket per key (the next power of two), so it never doubles;
//   insert_growing  the same into an empty map of 1024 buckets per chunk, which doubles as it fills;
//   get, update, remove
//                   on a map first filled with keys 0 .. entries-1 (not collected), each operation
//                   on a key drawn pseudo-randomly from them, with repeats: about a third of the
//                   removes find their key gone; update stores new values.
// Keys are 8 bytes, values 60 bytes (about a pickled small dict). The memory file (a 1 GiB heap,
// sparse) lies in a directory of its own under the temporary directory, removed at the end. The
// program also prints times (ns per operation, the slowest insert), which only a quiet machine makes
// worth reading.
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "map/map.hpp"

namespace {

using corvana::ConcurrentHashMap_string;

std::uint64_t mix(std::uint64_t value) {
  value += 0x9E3779B97F4A7C15ull;
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
  return value ^ (value >> 31);
}

struct Op {
  char key[8];
  char value[60];
  std::int64_t hash;
};
Op op_of(std::uint64_t index, std::uint64_t round) {
  Op op{};
  std::memcpy(op.key, &index, 8);
  for (std::size_t at = 0; at + 8 <= sizeof op.value; at += 8) {
    const std::uint64_t word = mix(index * 31 + round + at);
    std::memcpy(op.value + at, &word, 8);
  }
  op.hash = static_cast<std::int64_t>(mix(index));
  return op;
}

enum class Phase { insert, get, update, remove };
double slowest_insert_ns = 0;

[[gnu::noinline]] std::uint64_t run_phase(ConcurrentHashMap_string& map, Phase phase, std::uint64_t count) {
  std::uint64_t found = 0;
  for (std::uint64_t index = 0; index < count; ++index) {
    const std::uint64_t key = mix(index ^ 0x5555) % count;  // a random order over the keys
    Op op = op_of(phase == Phase::insert ? index : key, phase == Phase::update ? 1 : 0);
    if (phase == Phase::insert || phase == Phase::update) {
      const auto before = std::chrono::steady_clock::now();
      map.insert(op.key, op.value, 8, sizeof op.value, op.hash);
      const double took = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - before).count();
      slowest_insert_ns = took > slowest_insert_ns ? took : slowest_insert_ns;
    } else if (phase == Phase::get) {
      char* value = nullptr;
      std::int64_t length = 0;
      if (map.get(op.key, 8, op.hash, value, length)) {
        ++found;
        corvana::python_free(value);
      }
    } else {
      found += map.remove(op.key, 8, op.hash) ? 1 : 0;
    }
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string phase = argc > 1 ? argv[1] : "insert";
  const std::uint64_t count = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100000;
  const std::filesystem::path directory = std::filesystem::temp_directory_path() / ("op-instructions-" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  ::setenv("TMPDIR", directory.c_str(), 1);
  std::string name;
  const auto exponent = static_cast<std::uint8_t>(phase == "insert_growing" ? 10 : std::bit_width(count - 1));
  {
    ConcurrentHashMap_string map(name, exponent, phase == "insert_growing" ? 4096 : 1, std::uint64_t{1} << 30, 5);
    if (phase != "insert" && phase != "insert_growing") {
      for (std::uint64_t index = 0; index < count; ++index) {
        const Op op = op_of(index, 0);
        map.insert(op.key, op.value, 8, sizeof op.value, op.hash);
      }
    }
    const Phase kind = phase == "get"      ? Phase::get
                       : phase == "update" ? Phase::update
                       : phase == "remove" ? Phase::remove
                                           : Phase::insert;
    const auto started = std::chrono::steady_clock::now();
    const std::uint64_t found = run_phase(map, kind, count);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s: slowest insert %.1f ms, %llu bucket chunks\n", phase.c_str(), slowest_insert_ns / 1e6,
                static_cast<unsigned long long>(map.bucket_chunk_in_use()));
    std::printf("%s: %llu operations, %llu found, %llu entries, %.0f ns/op\n", phase.c_str(),
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(found),
                static_cast<unsigned long long>(map.element_count()), seconds * 1e9 / static_cast<double>(count));
  }
  std::filesystem::remove_all(directory);
  return 0;
}
