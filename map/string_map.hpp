// ConcurrentHashMap_string: a hash map from byte strings to byte strings whose whole state lives in
// the heap of one memory file. Private to the map layer; other layers include map/map.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "heap/heap.hpp"
#include "map/map_base.hpp"

namespace corvana {

class ConcurrentHashMap_string : public ConcurrentHashMap_base<true> {
 public:
  // Creates a new map in a new memory file when `name` is empty (and stores the file's full path in
  // `name`), else opens the map in the memory file at path `name`.
  // Throws invalid_argument (parameter checks), bad_alloc "bad allocation" (the memory file cannot be
  // created or opened), runtime_error (everything else).
  ConcurrentHashMap_string(std::string& name, std::uint8_t bucket_chunk_size_exponent,
                           std::uint64_t bucket_chunk_number, std::uint64_t size,
                           std::uint8_t chunk_size_exponent);
  // Releases what this object holds; the map and its file remain.
  ~ConcurrentHashMap_string();

  // Stores or replaces the value of `key`. GIL: as held by the caller; lock waits may give it away.
  void insert(const char* key, const char* value, std::uint64_t key_len, std::uint64_t value_len,
              std::int64_t hash);
  // true: `value` receives a python_malloc buffer of value_len + 1 bytes that the caller frees with
  // python_free; false: the key is absent and the out-parameters are unchanged.
  bool get(const char* key, std::uint64_t key_len, std::int64_t hash, char*& value, std::int64_t& value_len);
  // true when an entry was removed.
  bool remove(const char* key, std::uint64_t key_len, std::int64_t hash);

  void expand() override;

  [[nodiscard]] std::uint8_t string_unit() const noexcept { return string_unit_; }
  [[nodiscard]] Allocator heap_base() const noexcept { return base_; }

 private:
  Allocator base_ = nullptr;
  std::uint8_t string_unit_ = 0;
  // The string map's helper adds the rest of its private state here.
};

// Opens the map at `name` (must not be empty) and joins an expansion when it has fewer than
// `target_length` bucket chunks.
void python_expansion_helper_string(std::string& name, std::size_t target_length);

}  // namespace corvana
