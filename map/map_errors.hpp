// The exceptions of the map layer that carry what their callers need to know beyond the text: the
// errno and the path of a file that could not be opened, the smallest size a new map needs. Their
// texts are fixed (map_texts.hpp). Private to the map layer; other layers include map/map.hpp.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "heap/heap.hpp"
#include "map/map_texts.hpp"

namespace corvana {

// The status of the file at `path` could not be read (no file there, no permission to look, ...):
// "file status wrong with errno: N", with N the errno.
class FileStatusUnavailable : public std::runtime_error {
 public:
  FileStatusUnavailable(int error_number, const std::string& path)
      : std::runtime_error(map_texts::file_status_wrong + std::to_string(error_number)),
        error_number_(error_number),
        path_(path) {}
  [[nodiscard]] int error_number() const noexcept { return error_number_; }
  [[nodiscard]] const std::string& path() const noexcept { return path_; }

 private:
  int error_number_;
  std::string path_;
};

// A new map's heap (`requested_size` bytes) is smaller than the smallest that holds an empty map of
// the dimensions asked for (`minimum_size`, see ConcurrentHashMap_string::smallest_size). The heap's
// text, as for any HeapExhausted.
class MapSizeTooSmall : public HeapExhausted {
 public:
  MapSizeTooSmall(std::uint64_t minimum_size, std::uint64_t requested_size) noexcept
      : minimum_size_(minimum_size), requested_size_(requested_size) {}
  [[nodiscard]] std::uint64_t minimum_size() const noexcept { return minimum_size_; }
  [[nodiscard]] std::uint64_t requested_size() const noexcept { return requested_size_; }

 private:
  std::uint64_t minimum_size_;
  std::uint64_t requested_size_;
};

}  // namespace corvana
