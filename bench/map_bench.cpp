// Benchmarks of the string map (never a test: it prints figures and asserts nothing).
//
//   1. insert, get, replace and remove of 1,000,000 entries (8-byte keys, 32-byte values) on one
//      thread, against std::unordered_map guarded by one mutex, measured in the same run;
//   2. the same four phases by two processes on disjoint halves of the keys, against one process;
//   3. the time to double a map of 1,000,000 entries with 1, 2 and 4 participant processes;
//   4. gets and inserts from another process while an expansion runs, against the same process with
//      no expansion;
//   5. inserts into a full map whose heap cannot hold its next doubling, against a map with room;
//   6. the longest single insert while a map grows from 2^10 buckets to `entries` (the insert that
//      starts a doubling does its work), against the same inserts into std::unordered_map.
// Usage: map_bench [entries [sections]]   (default 1000000 and 123456; e.g. `map_bench 1000000 34` runs
// sections 3 and 4 only; memory files go to TMPDIR or /tmp and are removed)
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bench/bench_support.hpp"
#include "map/map.hpp"

namespace {

using corvana::ConcurrentHashMap_string;
using Clock = std::chrono::steady_clock;
using corvana::bench::MapFile;
using corvana::bench::mix;
using corvana::bench::shared_object;

constexpr std::size_t key_bytes = 8;
constexpr std::size_t value_bytes = 32;

struct Key {
  char bytes[key_bytes];
};
Key key_of(std::uint64_t index) {
  Key key;
  std::memcpy(key.bytes, &index, key_bytes);
  return key;
}
std::int64_t hash_of(std::uint64_t index) {
  return static_cast<std::int64_t>(mix(index));
}
void value_of(std::uint64_t index, std::uint64_t round, char* value) {
  for (std::size_t offset = 0; offset < value_bytes; offset += 8) {
    const std::uint64_t word = mix(index * 31 + round + offset);
    std::memcpy(value + offset, &word, 8);
  }
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A new map with at least `entries / 2` buckets in its first chunk, so `entries` never start an
// expansion, and room for `chunks` chunks.
std::unique_ptr<ConcurrentHashMap_string> new_map(MapFile& file, std::uint64_t entries,
                                                  std::uint64_t chunks) {
  std::uint8_t exponent = 0;
  while ((std::uint64_t{2} << exponent) < entries) {
    ++exponent;
  }
  const std::uint64_t heap_bytes = std::uint64_t{1024} * entries * chunks + (std::uint64_t{64} << 20);
  file.name.clear();
  return std::make_unique<ConcurrentHashMap_string>(file.name, exponent, chunks, heap_bytes, 5);
}

// ---- The four phases -------------------------------------------------------------------------

struct Phases {
  double insert = 0, get = 0, replace = 0, remove = 0;  // seconds
};

void run_inserts(ConcurrentHashMap_string& map, std::uint64_t first, std::uint64_t last,
                 std::uint64_t round) {
  char value[value_bytes];
  for (std::uint64_t index = first; index < last; ++index) {
    const Key key = key_of(index);
    value_of(index, round, value);
    map.insert(key.bytes, value, key_bytes, value_bytes, hash_of(index));
  }
}
std::uint64_t run_gets(ConcurrentHashMap_string& map, std::uint64_t first, std::uint64_t last) {
  std::uint64_t found = 0;
  for (std::uint64_t index = first; index < last; ++index) {
    const Key key = key_of(index);
    char* value = nullptr;
    std::int64_t length = 0;
    if (map.get(key.bytes, key_bytes, hash_of(index), value, length)) {
      found += static_cast<std::uint64_t>(length == value_bytes);
      corvana::python_free(value);
    }
  }
  return found;
}
void run_removes(ConcurrentHashMap_string& map, std::uint64_t first, std::uint64_t last) {
  for (std::uint64_t index = first; index < last; ++index) {
    const Key key = key_of(index);
    map.remove(key.bytes, key_bytes, hash_of(index));
  }
}

// A one-mutex std::unordered_map doing the same work: get copies the value into a new malloc
// buffer, as the map hands its value over in a new buffer.
struct MutexMap {
  struct Hash {
    std::size_t operator()(const std::string& key) const {
      std::uint64_t index;
      std::memcpy(&index, key.data(), key_bytes);
      return mix(index);
    }
  };
  std::mutex mutex;
  std::unordered_map<std::string, std::string, Hash> map;
};

Phases mutex_map_phases(std::uint64_t entries) {
  MutexMap guarded;
  guarded.map.reserve(entries);
  Phases phases;
  char value[value_bytes];
  auto start = Clock::now();
  for (std::uint64_t index = 0; index < entries; ++index) {
    const Key key = key_of(index);
    value_of(index, 0, value);
    std::lock_guard lock(guarded.mutex);
    guarded.map.insert_or_assign(std::string(key.bytes, key_bytes), std::string(value, value_bytes));
  }
  phases.insert = seconds_since(start);
  start = Clock::now();
  std::uint64_t found = 0;
  for (std::uint64_t index = 0; index < entries; ++index) {
    const Key key = key_of(index);
    char* copy = nullptr;
    {
      std::lock_guard lock(guarded.mutex);
      auto entry = guarded.map.find(std::string(key.bytes, key_bytes));
      if (entry != guarded.map.end()) {
        copy = static_cast<char*>(std::malloc(entry->second.size() + 1));
        std::memcpy(copy, entry->second.data(), entry->second.size());
      }
    }
    found += copy != nullptr;
    std::free(copy);
  }
  phases.get = seconds_since(start);
  start = Clock::now();
  for (std::uint64_t index = 0; index < entries; ++index) {
    const Key key = key_of(index);
    value_of(index, 1, value);
    std::lock_guard lock(guarded.mutex);
    guarded.map.insert_or_assign(std::string(key.bytes, key_bytes), std::string(value, value_bytes));
  }
  phases.replace = seconds_since(start);
  start = Clock::now();
  for (std::uint64_t index = 0; index < entries; ++index) {
    const Key key = key_of(index);
    std::lock_guard lock(guarded.mutex);
    guarded.map.erase(std::string(key.bytes, key_bytes));
  }
  phases.remove = seconds_since(start);
  if (found != entries) {
    std::printf("!! unordered_map found %llu of %llu\n", static_cast<unsigned long long>(found),
                static_cast<unsigned long long>(entries));
  }
  return phases;
}

Phases string_map_phases(ConcurrentHashMap_string& map, std::uint64_t first, std::uint64_t last,
                         const std::function<void()>& between_phases) {
  Phases phases;
  between_phases();
  auto start = Clock::now();
  run_inserts(map, first, last, 0);
  phases.insert = seconds_since(start);
  between_phases();
  start = Clock::now();
  const std::uint64_t found = run_gets(map, first, last);
  phases.get = seconds_since(start);
  between_phases();
  start = Clock::now();
  run_inserts(map, first, last, 1);
  phases.replace = seconds_since(start);
  between_phases();
  start = Clock::now();
  run_removes(map, first, last);
  phases.remove = seconds_since(start);
  if (found != last - first) {
    std::printf("!! the map found %llu of %llu\n", static_cast<unsigned long long>(found),
                static_cast<unsigned long long>(last - first));
  }
  return phases;
}

void print_phase(const char* name, std::uint64_t operations, double map_seconds, double other_seconds,
                 const char* other_name) {
  const double map_rate = static_cast<double>(operations) / map_seconds;
  const double other_rate = static_cast<double>(operations) / other_seconds;
  std::printf("  %-8s %12.0f ops/s   %-26s %12.0f ops/s   cost ratio %.2f\n", name, map_rate, other_name,
              other_rate, map_seconds / other_seconds);
}

// ---- Processes -------------------------------------------------------------------------------

// A barrier for processes in an anonymous shared mapping.
struct ProcessBarrier {
  std::atomic<std::uint64_t> arrived;
  void wait(std::uint64_t parties, std::uint64_t generation) {
    arrived.fetch_add(1);
    while (arrived.load() < parties * generation) {
      std::this_thread::yield();
    }
  }
};

template <class Body>
pid_t fork_process(Body body) {
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("fork");
    std::exit(1);
  }
  if (child == 0) {
    body();
    std::fflush(nullptr);
    ::_exit(0);
  }
  return child;
}

void wait_all(const std::vector<pid_t>& children) {
  for (const pid_t child : children) {
    ::waitpid(child, nullptr, 0);
  }
}

// How much faster two processes finish twice the work of one in a loop that touches no shared
// memory: the most any two-process figure below can gain on this machine.
double cpu_scaling() {
  const auto work = [] {
    std::uint64_t value = 1;
    for (int step = 0; step < 200000000; ++step) {
      value = value * 6364136223846793005ull + 1;
    }
    return value;
  };
  auto start = Clock::now();
  volatile std::uint64_t sink = work();
  static_cast<void>(sink);
  const double one = seconds_since(start);
  start = Clock::now();
  std::vector<pid_t> children;
  for (int process = 0; process < 2; ++process) {
    children.push_back(fork_process([&] {
      volatile std::uint64_t result = work();
      static_cast<void>(result);
    }));
  }
  wait_all(children);
  return 2 * one / seconds_since(start);
}

// Two processes on disjoint halves: wall time per phase, both processes starting each phase together.
Phases two_process_phases(std::uint64_t entries) {
  MapFile file;
  auto map = new_map(file, entries, 1);
  struct Shared {
    ProcessBarrier barrier;
    Phases phases[2];
  };
  Shared* shared = shared_object<Shared>();
  std::vector<pid_t> children;
  for (int process = 0; process < 2; ++process) {
    children.push_back(fork_process([&, process] {
      std::string name = file.name;
      ConcurrentHashMap_string own(name, 2, 2, 2, 3);
      std::uint64_t generation = 0;
      const std::uint64_t half = entries / 2;
      shared->phases[process] = string_map_phases(own, process * half, (process + 1) * half,
                                                  [&] { shared->barrier.wait(2, ++generation); });
    }));
  }
  wait_all(children);
  Phases wall;
  for (const Phases& phases : shared->phases) {
    wall.insert = std::max(wall.insert, phases.insert);
    wall.get = std::max(wall.get, phases.get);
    wall.replace = std::max(wall.replace, phases.replace);
    wall.remove = std::max(wall.remove, phases.remove);
  }
  ::munmap(shared, sizeof(Shared));
  return wall;
}

// Seconds to double a map of `entries` entries with `participants` processes joining at once.
double doubling_seconds(std::uint64_t entries, int participants) {
  MapFile file;
  auto map = new_map(file, entries, 2);
  run_inserts(*map, 0, entries, 0);
  struct Shared {
    ProcessBarrier barrier;
    std::atomic<std::int64_t> start_ns;
  };
  Shared* shared = shared_object<Shared>();
  std::vector<pid_t> children;
  for (int process = 0; process < participants; ++process) {
    children.push_back(fork_process([&] {
      std::string name = file.name;
      ConcurrentHashMap_string own(name, 2, 2, 2, 3);  // opened before the clock starts
      shared->barrier.wait(static_cast<std::uint64_t>(participants), 1);
      std::int64_t expected = 0;
      shared->start_ns.compare_exchange_strong(expected, Clock::now().time_since_epoch().count());
      std::string helper_name = name;
      corvana::python_expansion_helper_string(helper_name, 2);
    }));
  }
  wait_all(children);
  const double seconds = std::chrono::duration<double>(Clock::now().time_since_epoch() -
                                                       Clock::duration(shared->start_ns.load()))
                             .count();
  if (map->bucket_chunk_in_use() != 2 || run_gets(*map, 0, entries) != entries) {
    std::printf("!! the doubling lost entries or did not happen\n");
  }
  ::munmap(shared, sizeof(Shared));
  return seconds;
}

// Operations per second of one process doing gets (or inserts that replace values) on a map of `entries`
// entries: first with no expansion, then while another process doubles the map.
void throughput_during_expansion(std::uint64_t entries, bool inserts) {
  MapFile file;
  auto map = new_map(file, entries, 2);
  run_inserts(*map, 0, entries, 0);
  struct Shared {
    std::atomic<int> phase;  // 0 measure alone, 1 expansion wanted, 2 expansion running, 3 done
    std::atomic<std::uint64_t> operations_alone;
    std::atomic<std::uint64_t> operations_during;
    std::atomic<std::int64_t> during_ns;
  };
  Shared* shared = shared_object<Shared>();
  const pid_t worker = fork_process([&] {
    std::string name = file.name;
    ConcurrentHashMap_string own(name, 2, 2, 2, 3);
    std::uint64_t round = 0;
    std::uint64_t index = 0;
    const auto one_batch = [&] {
      // Inserts replace existing values: new keys would make the map start the expansion itself.
      const std::uint64_t first = mix(index++) % (entries - 100);
      if (inserts) {
        run_inserts(own, first, first + 100, ++round);
      } else {
        run_gets(own, first, first + 100);
      }
    };
    const auto alone_start = Clock::now();
    std::uint64_t alone = 0;
    while (seconds_since(alone_start) < 0.5) {
      one_batch();
      alone += 100;
    }
    shared->operations_alone.store(alone);
    shared->phase.store(1);
    while (shared->phase.load() < 2) {
      std::this_thread::yield();
    }
    std::uint64_t during = 0;
    const auto during_start = Clock::now();
    while (shared->phase.load() == 2) {
      one_batch();
      during += 100;
    }
    shared->during_ns.store(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - during_start).count());
    shared->operations_during.store(during);
  });
  while (shared->phase.load() < 1) {
    std::this_thread::yield();
  }
  const pid_t expander = fork_process([&] {
    std::string name = file.name;
    ConcurrentHashMap_string own(name, 2, 2, 2, 3);
    shared->phase.store(2);
    std::string helper_name = name;
    corvana::python_expansion_helper_string(helper_name, 2);
    shared->phase.store(3);
  });
  wait_all({expander, worker});
  const double alone_rate = static_cast<double>(shared->operations_alone.load()) / 0.5;
  const double during_seconds = static_cast<double>(shared->during_ns.load()) / 1e9;
  const double during_rate = static_cast<double>(shared->operations_during.load()) / during_seconds;
  std::printf("  %-7s alone %12.0f ops/s   during the expansion (%.3f s) %12.0f ops/s   kept %.0f%%\n",
              inserts ? "inserts" : "gets", alone_rate, during_seconds, during_rate,
              100.0 * during_rate / alone_rate);
  ::munmap(shared, sizeof(Shared));
}

// Seconds per insert of `count` new entries into `map` (each round removes them first; the best
// of nine rounds).
double reinsert_seconds(ConcurrentHashMap_string& map, std::uint64_t first, std::uint64_t count) {
  double best = 1e9;
  for (int round = 0; round < 9; ++round) {
    run_removes(map, first, first + count);
    const auto start = Clock::now();
    run_inserts(map, first, first + count, 0);
    best = std::min(best, seconds_since(start));
  }
  return best / static_cast<double>(count);
}

// Inserts into a map that is past its doubling threshold while its heap cannot hold the doubling,
// against the same inserts into a map of as many entries with room to spare. Returns false when no
// heap size up to 64 MiB gave such a map.
bool inserts_on_a_full_map() {
  for (std::uint64_t mebibytes = 4; mebibytes <= 64; ++mebibytes) {
    MapFile file;
    std::unique_ptr<ConcurrentHashMap_string> map;
    std::uint64_t entries = 0;
    try {
      map = std::make_unique<ConcurrentHashMap_string>(file.name, 10, 4096, mebibytes << 20, 5);
      for (;; ++entries) {
        run_inserts(*map, entries, entries + 1, 0);
      }
    } catch (const std::exception&) {
      // the heap is full (or too small for the map itself)
    }
    if (!map) {
      continue;
    }
    const std::uint64_t buckets = map->bucket_chunk_in_use() << 10;
    constexpr std::uint64_t batch = 1000;
    if (entries < 2 * buckets + 5 * batch) {
      continue;  // not past the threshold: the heap filled before the doubling was due
    }
    // Room for the measured inserts: a change copies the page it changes before it frees the old one.
    run_removes(*map, entries - 4 * batch, entries);
    entries -= 4 * batch;
    MapFile roomy_file;
    auto roomy = new_map(roomy_file, entries, 1);
    run_inserts(*roomy, 0, entries, 0);
    const double full_seconds = reinsert_seconds(*map, entries - batch, batch);
    const double roomy_seconds = reinsert_seconds(*roomy, entries - batch, batch);
    std::printf("  %llu entries in %llu buckets of a %llu MiB heap: insert %.0f ns, on a map with room %.0f ns, "
                "cost ratio %.2f\n",
                static_cast<unsigned long long>(entries), static_cast<unsigned long long>(buckets),
                static_cast<unsigned long long>(mebibytes), full_seconds * 1e9, roomy_seconds * 1e9,
                full_seconds / roomy_seconds);
    return true;
  }
  return false;
}

}  // namespace

// The longest single insert, and the inserts over 1 ms, of `entries` inserts into a map that starts
// with 2^10 buckets, and of the same into an unordered_map (no mutex: only its rehashes differ).
void longest_growing_insert(std::uint64_t entries) {
  MapFile file;
  std::uint64_t chunks = 64;
  while (chunks * 1024 * 2 < entries * 2) {
    chunks *= 2;
  }
  file.name.clear();
  ConcurrentHashMap_string map(file.name, 10, chunks, std::uint64_t{512} * entries + (std::uint64_t{256} << 20), 5);
  std::unordered_map<std::string, std::string> other;
  char value[value_bytes];
  const auto timed = [&](auto insert) {
    double longest = 0;
    std::uint64_t slow = 0;
    for (std::uint64_t index = 0; index < entries; ++index) {
      const auto start = Clock::now();
      insert(index);
      const double took = seconds_since(start);
      longest = std::max(longest, took);
      slow += took > 1e-3 ? 1 : 0;
    }
    return std::pair{longest, slow};
  };
  const auto [map_longest, map_slow] = timed([&](std::uint64_t index) {
    const Key key = key_of(index);
    value_of(index, 0, value);
    map.insert(key.bytes, value, key_bytes, value_bytes, hash_of(index));
  });
  const auto [other_longest, other_slow] = timed([&](std::uint64_t index) {
    const Key key = key_of(index);
    value_of(index, 0, value);
    other.emplace(std::string(key.bytes, key_bytes), std::string(value, value_bytes));
  });
  std::printf("  map            longest insert %8.2f ms, %llu over 1 ms (%llu bucket chunks of 1024 at the end)\n",
              map_longest * 1e3, static_cast<unsigned long long>(map_slow),
              static_cast<unsigned long long>(map.bucket_chunk_in_use()));
  std::printf("  unordered_map  longest insert %8.2f ms, %llu over 1 ms   ratio %.2f\n", other_longest * 1e3,
              static_cast<unsigned long long>(other_slow), map_longest / other_longest);
}

int main(int argc, char** argv) {
  const std::uint64_t entries = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::string sections = argc > 2 ? argv[2] : "123456";
  const auto runs = [&sections](char section) { return sections.find(section) != std::string::npos; };
  std::printf("string map bench: %llu entries, %zu-byte keys, %zu-byte values\n",
              static_cast<unsigned long long>(entries), key_bytes, value_bytes);

  Phases single;
  if (runs('1') || runs('2')) {
    MapFile file;
    auto map = new_map(file, entries, 1);
    single = string_map_phases(*map, 0, entries, [] {});
  }
  if (runs('1')) {
    std::printf(
        "\n1. one thread, against std::unordered_map + one mutex (cost ratio = map time / other time)\n");
    const Phases baseline = mutex_map_phases(entries);
    print_phase("insert", entries, single.insert, baseline.insert, "unordered_map+mutex");
    print_phase("get", entries, single.get, baseline.get, "unordered_map+mutex");
    print_phase("replace", entries, single.replace, baseline.replace, "unordered_map+mutex");
    print_phase("remove", entries, single.remove, baseline.remove, "unordered_map+mutex");
  }

  if (runs('2')) {
    std::printf("\n2. two processes on disjoint halves, against one process (throughput ratio = one / two)\n");
    std::fflush(stdout);
    std::printf("  calibration: a loop of pure arithmetic runs %.2fx as fast in two processes as in one here\n",
                cpu_scaling());
    std::fflush(stdout);
    const Phases two = two_process_phases(entries);
    const auto print_scaling = [entries](const char* name, double one_seconds, double two_seconds) {
      std::printf("  %-8s one %12.0f ops/s   two %12.0f ops/s   throughput ratio %.2f\n", name,
                  static_cast<double>(entries) / one_seconds, static_cast<double>(entries) / two_seconds,
                  one_seconds / two_seconds);
    };
    print_scaling("insert", single.insert, two.insert);
    print_scaling("get", single.get, two.get);
    print_scaling("replace", single.replace, two.replace);
    print_scaling("remove", single.remove, two.remove);
  }

  if (runs('3')) {
    std::printf("\n3. doubling a map of %llu entries\n", static_cast<unsigned long long>(entries));
    std::fflush(stdout);
    for (const int participants : {1, 2, 4}) {
      std::printf("  %d participant%s %8.3f s\n", participants, participants == 1 ? " " : "s",
                  doubling_seconds(entries, participants));
      std::fflush(stdout);
    }
  }

  if (runs('4')) {
    std::printf("\n4. another process while an expansion of %llu entries runs\n",
                static_cast<unsigned long long>(entries));
    std::fflush(stdout);
    throughput_during_expansion(entries, false);
    std::fflush(stdout);
    throughput_during_expansion(entries, true);
  }

  if (runs('6')) {
    std::printf("\n6. the longest insert while a map grows from 2^10 buckets to %llu entries\n",
                static_cast<unsigned long long>(entries));
    std::fflush(stdout);
    longest_growing_insert(entries);
  }

  if (runs('5')) {
    std::printf("\n5. inserts past the doubling threshold on a map whose heap cannot hold the doubling\n");
    std::fflush(stdout);
    if (!inserts_on_a_full_map()) {
      std::printf("  no heap size gave such a map\n");
    }
  }
  return 0;
}
