// Where a participant's splits sort the entries they move (map/split.cpp). Private to the map layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "map/string_map.hpp"

namespace corvana {

namespace map_layout {

// An entry a split copies: its whole record in the old pages.
struct SplitPiece {
  const std::byte* address;
  std::uint64_t bytes;
};

}  // namespace map_layout

// Where a participant's splits sort entries: kept from one split to the next, so that a split
// allocates nothing but pages.
struct ConcurrentHashMap_string::SplitScratch {
  std::vector<map_layout::SplitPiece> moving;
  std::vector<map_layout::SplitPiece> staying;
  std::vector<std::size_t> page_ends;  // one past each page's last piece
};

}  // namespace corvana
