// Gets with and without the bucket lock, and what the bucket version costs the changes (never a test:
// it prints figures and asserts nothing).
//
// Each figure is operations per second summed over the processes of a measurement, each process
// running for a fixed time from a common start:
//   hot:   a map of 1,000 entries (about two to a bucket), every process getting all of them;
//   large: a map of 400,000 entries, every process getting all of them;
//   1 process, 2 processes on the same keys (each in its own order), 2 processes on disjoint halves;
//   each measured with gets that take the lock ("locked") and gets that first read without it
//   ("optimistic") in interleaved slices of 80 ms, eight of each, in an order that alternates.
//   writes: one process inserting 200,000 new entries, replacing their values, removing them.
// A build without the optimistic read (the code before it) runs the same file: its gets are all
// "locked", and its writes are the baseline of the version's cost. bench/read_compare.py runs two
// builds in alternating rounds and reports medians and ratios.
//
// Usage: read_bench [round]   (the round's parity picks the order; memory files go to TMPDIR or /tmp)
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
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
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
constexpr double measure_seconds = 0.3;  // of the calibration
constexpr double slice_seconds = 0.08;   // of one slice of a get figure
constexpr int slices = 8;                // per mode and figure, the modes' slices interleaved

std::int64_t hash_of(std::uint64_t index) { return static_cast<std::int64_t>(mix(index)); }

// Whether this build's map can read without the lock (the code before it cannot).
template <class Map>
constexpr bool can_choose_reads = requires(Map& map) { map.set_optimistic_reads(true); };

template <class Map>
bool choose_reads(Map& map, bool optimistic) {
  if constexpr (can_choose_reads<Map>) {
    map.set_optimistic_reads(optimistic);
    return true;
  } else {
    return !optimistic;
  }
}

// Copies every value into one buffer: the figures are the map's, not an allocator's.
class FixedSink final : public corvana::ValueSink {
 public:
  char* buffer_for(std::uint64_t length) override {
    if (length > sizeof buffer_) {
      throw std::length_error("a value longer than the bench's buffer");
    }
    return buffer_;
  }

 private:
  char buffer_[4096];
};


// A map of at least `entries / 2` buckets, which `entries` never make double.
std::unique_ptr<ConcurrentHashMap_string> new_map(MapFile& file, std::uint64_t entries) {
  std::uint8_t exponent = 0;
  while ((std::uint64_t{2} << exponent) < entries) {
    ++exponent;
  }
  file.name.clear();
  const std::uint64_t heap_bytes = std::uint64_t{1024} * entries + (64 << 20);
  return std::make_unique<ConcurrentHashMap_string>(file.name, exponent, 1, heap_bytes, 5);
}

void insert_range(ConcurrentHashMap_string& map, std::uint64_t first, std::uint64_t last, std::uint64_t round) {
  char value[value_bytes];
  for (std::uint64_t index = first; index < last; ++index) {
    for (std::size_t at = 0; at < value_bytes; at += 8) {
      const std::uint64_t word = mix(index * 31 + round + at);
      std::memcpy(value + at, &word, 8);
    }
    map.insert(reinterpret_cast<const char*>(&index), value, key_bytes, value_bytes, hash_of(index));
  }
}


struct CalibrationRun {
  std::atomic<std::uint32_t> ready;
  std::atomic<std::uint32_t> go;
  std::atomic<std::uint64_t> operations[2];
};

// Worker processes that do gets on one map in slices the parent commands, so that a slice measures
// gets alone (no fork, no opening, no first touch of the mapping's pages).
class GetWorkers {
 public:
  // `processes` processes on the map at `name`, each visiting the keys of its share (all `count` of
  // them, or with `disjoint` its part) in its own shuffled order; each goes through its share once
  // before the first slice.
  GetWorkers(const std::string& name, std::uint64_t count, int processes, bool disjoint)
      : processes_(processes), control_(shared_object<Control>()) {
    for (int process = 0; process < processes; ++process) {
      const pid_t child = ::fork();
      if (child == 0) {
        work(name, count, process, disjoint);
        ::_exit(0);
      }
      children_.push_back(child);
    }
    wait_for(0);
  }
  ~GetWorkers() {
    control_->command.store(quit);
    control_->generation.fetch_add(1);
    for (const pid_t child : children_) {
      ::waitpid(child, nullptr, 0);
    }
    if (control_->misses.load() != 0) {
      std::printf("!! %llu gets missed\n", static_cast<unsigned long long>(control_->misses.load()));
    }
    ::munmap(control_, sizeof(Control));
  }
  GetWorkers(const GetWorkers&) = delete;
  GetWorkers& operator=(const GetWorkers&) = delete;

  // Gets per second summed over the workers, in one slice of slice_seconds; 0 when this build cannot
  // read that way.
  double slice(bool optimistic) {
    control_->command.store(optimistic ? get_optimistic : get_locked);
    const std::uint64_t generation = control_->generation.fetch_add(1) + 1;
    wait_for(generation);
    double rate = 0;
    for (int process = 0; process < processes_; ++process) {
      rate += control_->rates[process].load();
    }
    return rate;
  }

 private:
  enum : std::uint32_t { get_locked, get_optimistic, quit };
  struct Control {
    std::atomic<std::uint32_t> command;
    std::atomic<std::uint64_t> generation;  // of the command; the workers answer each
    std::atomic<std::uint64_t> answered;    // answers to all commands so far (one per worker)
    std::atomic<double> rates[2];
    std::atomic<std::uint64_t> misses;
  };

  void wait_for(std::uint64_t generation) const {
    // Sleeps rather than spins: the parent must not take a processor from the workers.
    while (control_->answered.load() < (generation + 1) * static_cast<std::uint64_t>(processes_)) {
      ::usleep(1000);
    }
  }

  void work(const std::string& name, std::uint64_t count, int process, bool disjoint) {
    std::string own_name = name;
    ConcurrentHashMap_string map(own_name, 2, 2, 2, 3);
    const std::uint64_t share = disjoint ? count / processes_ : count;
    const std::uint64_t first = disjoint ? share * process : 0;
    std::vector<std::uint64_t> order(share);
    for (std::uint64_t index = 0; index < share; ++index) {
      order[index] = first + index;
    }
    for (std::uint64_t index = share - 1; index > 0; --index) {  // a shuffle of its own per process
      std::swap(order[index], order[mix(index * 7 + process) % (index + 1)]);
    }
    FixedSink sink;
    std::uint64_t misses = 0;
    const auto get = [&](std::uint64_t index) {
      misses += map.get(reinterpret_cast<const char*>(&index), key_bytes, hash_of(index), sink) ? 0 : 1;
    };
    for (const std::uint64_t index : order) {
      get(index);
    }
    control_->answered.fetch_add(1);
    std::uint64_t seen = 0;
    std::uint64_t position = 0;
    for (;;) {
      while (control_->generation.load() == seen) {
        std::this_thread::yield();
      }
      seen = control_->generation.load();
      const std::uint32_t command = control_->command.load();
      if (command == quit) {
        break;
      }
      double rate = 0;
      if (choose_reads(map, command == get_optimistic)) {
        const auto start = Clock::now();
        std::uint64_t done = 0;
        double seconds = 0;
        do {
          for (int step = 0; step < 256; ++step) {
            get(order[position]);
            position = position + 1 == share ? 0 : position + 1;
          }
          done += 256;
          seconds = std::chrono::duration<double>(Clock::now() - start).count();
        } while (seconds < slice_seconds);
        rate = static_cast<double>(done) / seconds;
      }
      control_->rates[process].store(rate);
      control_->answered.fetch_add(1);
    }
    control_->misses.fetch_add(misses);
  }

  int processes_;
  Control* control_;
  std::vector<pid_t> children_;
};

// Steps per second of a loop of pure arithmetic in `processes` processes: what the machine gives two
// processes now, against one (the others who share it decide).
double arithmetic_per_second(int processes) {
  CalibrationRun* run = shared_object<CalibrationRun>();
  std::vector<pid_t> children;
  for (int process = 0; process < processes; ++process) {
    const pid_t child = ::fork();
    if (child == 0) {
      run->ready.fetch_add(1);
      while (run->go.load() == 0) {
        std::this_thread::yield();
      }
      const auto start = Clock::now();
      std::uint64_t value = 1;
      std::uint64_t done = 0;
      while (std::chrono::duration<double>(Clock::now() - start).count() < measure_seconds) {
        for (int step = 0; step < 100000; ++step) {
          value = value * 6364136223846793005ull + 1;
        }
        done += 100000;
      }
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      const double rate = static_cast<double>(done) / seconds;
      run->operations[process].store(static_cast<std::uint64_t>(rate) + (value & 1));
      ::_exit(0);
    }
    children.push_back(child);
  }
  while (run->ready.load() < static_cast<std::uint32_t>(processes)) {
    std::this_thread::yield();
  }
  run->go.store(1);
  for (const pid_t child : children) {
    ::waitpid(child, nullptr, 0);
  }
  double rate = 0;
  for (int process = 0; process < processes; ++process) {
    rate += static_cast<double>(run->operations[process].load());
  }
  ::munmap(run, sizeof(CalibrationRun));
  return rate;
}

void print_figure(const char* scenario, const char* mode, double rate) {
  std::printf("%s %s %.0f\n", scenario, mode, rate);
  std::fflush(stdout);
}

// Inserts, replaces and removes of `count` new entries by one process, each phase's operations per
// second.
void write_figures(std::uint64_t count) {
  MapFile file;
  auto map = new_map(file, count);
  const auto timed = [count](const char* scenario, auto work) {
    const auto start = Clock::now();
    work();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    print_figure(scenario, "-", static_cast<double>(count) / seconds);
  };
  timed("writes-insert", [&] { insert_range(*map, 0, count, 0); });
  timed("writes-replace", [&] { insert_range(*map, 0, count, 1); });
  timed("writes-remove", [&] {
    for (std::uint64_t index = 0; index < count; ++index) {
      map->remove(reinterpret_cast<const char*>(&index), key_bytes, hash_of(index));
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  const int round = argc > 1 ? std::atoi(argv[1]) : 0;
  const bool both = can_choose_reads<ConcurrentHashMap_string>;
  std::vector<bool> modes = {false};
  if (both) {
    modes = round % 2 == 0 ? std::vector<bool>{false, true} : std::vector<bool>{true, false};
  }
  print_figure("cpu-1p", "-", arithmetic_per_second(1));
  print_figure("cpu-2p", "-", arithmetic_per_second(2));
  struct Set {
    const char* name;
    std::uint64_t count;
  };
  for (const Set set : {Set{"hot", 1000}, Set{"large", 400000}}) {
    MapFile file;
    auto map = new_map(file, set.count);
    insert_range(*map, 0, set.count, 0);
    struct Shape {
      const char* name;
      int processes;
      bool disjoint;
    };
    const Shape shapes[] = {{"1p", 1, false}, {"2p-same", 2, false}, {"2p-disjoint", 2, true}};
    for (const Shape shape : shapes) {
      const std::string scenario = std::string(set.name) + "-" + shape.name;
      // Slices of the two modes in the order A B B A A B B A ..., so that both see the machine alike.
      GetWorkers workers(file.name, set.count, shape.processes, shape.disjoint);
      double rates[2] = {0, 0};
      for (int slice = 0; slice < slices; ++slice) {
        for (std::size_t step = 0; step < modes.size(); ++step) {
          const bool optimistic = modes[(slice % 2 == 0) ? step : modes.size() - 1 - step];
          rates[optimistic ? 1 : 0] += workers.slice(optimistic) / slices;
        }
      }
      for (const bool optimistic : modes) {
        print_figure(scenario.c_str(), optimistic ? "optimistic" : "locked", rates[optimistic ? 1 : 0]);
      }
    }
  }
  write_figures(200000);
  return 0;
}
