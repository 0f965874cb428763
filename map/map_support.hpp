// Small helpers shared by the string map's source files. Private to the map layer.
#pragma once

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "heap/heap.hpp"
#include "map/map_records.hpp"

namespace corvana::map_layout {

// `count` records of `record_bytes` plus the slack that lets them start on a cache line, or false
// when that does not fit in 64 bits.
[[nodiscard]] inline bool aligned_block_bytes(std::uint64_t count, std::uint64_t record_bytes,
                                              std::uint64_t& bytes) noexcept {
  std::uint64_t product = 0;
  return !__builtin_mul_overflow(count, record_bytes, &product) &&
         !__builtin_add_overflow(product, line_block_slack, &bytes);
}

// The first cache line boundary at or after `payload` (a raw block's payload with line_block_slack).
[[nodiscard]] inline std::byte* line_aligned(std::byte* payload) noexcept {
  const auto address = reinterpret_cast<std::uintptr_t>(payload);
  return payload + (cache_line_bytes - address % cache_line_bytes) % cache_line_bytes;
}

// The last heap error text, for a heap allocation that failed.
[[nodiscard]] inline std::string heap_error_text() {
  const char* text = heap_last_error();
  return text != nullptr ? text : heap_exhausted_text;
}

// The failure of a heap allocation that returned null, taken at once, before other calls can
// change errno or the text. raise() throws HeapExhausted when the heap had no room (the allocator
// reports that as ENOMEM, with heap_exhausted_text), else runtime_error with the heap's last text.
class HeapFailure {
 public:
  HeapFailure() : code_(errno), text_(heap_error_text()) {}
  [[noreturn]] void raise() const {
    if (code_ == ENOMEM) {
      throw HeapExhausted();
    }
    throw std::runtime_error(text_);
  }

 private:
  int code_;
  std::string text_;
};

}  // namespace corvana::map_layout
