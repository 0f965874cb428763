// corvana concurrent hash maps: the front door of the map layer.
//
// Design note (kept current by whoever changes the maps)
// - ConcurrentHashMap_string keeps its whole state in the heap of one memory file: a MapHeader at
//   heap offset 64, a bucket chunk table, bucket chunks of 56-byte buckets, five shared cells, and
//   entry lists / strings made of links and data chunks from the process's two chunk caches.
// - ConcurrentHashMap_pointer is its process-local sibling keyed by Python objects.
// - Lock order: bucket lock -> chunk cache lock -> heap lock. A thread holds at most one bucket lock,
//   except where a function states otherwise; expansion_lock is never held together with a bucket
//   lock.
#pragma once

#include "map/map_base.hpp"
#include "map/string_map.hpp"
