// Where an operation found (or did not find) its key in the buckets it holds. Private to the map
// layer's string map sources.
#pragma once

#include "map/bucket_locks.hpp"
#include "map/entry_pages.hpp"
#include "map/string_map.hpp"

namespace corvana {

// Where an entry lies: its page, the word that names the page, and the entry.
// When the key is absent: the bucket's last page (address null when it has none) and the word that
// names it (the bucket's page word when it has none), where an append goes.
struct ConcurrentHashMap_string::Location {
  bool is_found = false;
  bool is_torn = false;  // a read without the lock met a change of the bucket: nothing here stands
  Offset link = Offset::null;  // the heap offset of the 8-byte word that names `page`
  map_layout::PageView page;
  map_layout::EntryView entry;            // set when found
  explicit operator bool() const noexcept { return is_found; }
};

// Where find_locked found a key: the bucket (the operation's, or its sibling) and the entry. When the
// key is absent, `bucket` is where a new entry of the key goes (the operation's, or the sibling when
// the bucket's split is done and the key's hash has the split bit) and `where` is that bucket's end.
struct ConcurrentHashMap_string::Found {
  map_layout::Bucket* bucket = nullptr;
  Location where;
};

}  // namespace corvana
