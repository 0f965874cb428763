// What the native benchmarks share: the splitmix64 mix their keys are hashed with, memory files that
// are removed when the bench ends, and objects in anonymous shared mappings for forked processes.
#pragma once

#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

namespace corvana::bench {

inline std::uint64_t mix(std::uint64_t value) {  // splitmix64
  value += 0x9E3779B97F4A7C15ull;
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
  return value ^ (value >> 31);
}

// The memory file of a bench map; removed when the bench ends.
struct MapFile {
  std::string name;
  ~MapFile() {
    if (!name.empty()) {
      std::filesystem::remove(name);
    }
  }
};

// A T in an anonymous shared mapping, made before fork so that parent and children share it (the
// caller unmaps it).
template <class T>
T* shared_object() {
  void* memory = ::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    std::perror("mmap");
    std::exit(1);
  }
  return new (memory) T{};
}

}  // namespace corvana::bench
