// What the multi-process stress tests share: one clock for every process, and a get that hands the
// value back whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "map/map.hpp"

namespace corvana::stress {

// Nanoseconds of the steady clock, the same in every process of the machine.
inline std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The value of `key`, or nullopt when it is absent.
inline std::optional<std::string> fetch(ConcurrentHashMap_string& map, const std::string& key, std::int64_t hash) {
  char* buffer = nullptr;
  std::int64_t length = 0;
  if (!map.get(key.data(), key.size(), hash, buffer, length)) {
    return std::nullopt;
  }
  std::string value(buffer, static_cast<std::size_t>(length));
  python_free(buffer);
  return value;
}

}  // namespace corvana::stress
