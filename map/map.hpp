// corvana concurrent hash maps: the front door of the map layer.
//
// Design note (kept current by whoever changes the maps)
// - ConcurrentHashMap_string keeps its whole state in the heap of one memory file: a MapHeader at
//   heap offset 64, a bucket chunk table, bucket chunks of 56-byte buckets, five shared cells, and
//   entry lists / strings made of links and data chunks from the process's two chunk caches. The
//   records are declared once, in map/map_records.hpp. Records holding atomic words (bucket chunks,
//   the table, the cells) sit 8-aligned inside their raw blocks.
// - Every data operation locks the bucket of its hash, chosen with N = bucket_chunk_in_use read
//   before the lock; holding the lock it reads the bucket's moving_to and then N again, and starts
//   over when N changed. Every list change takes the chunks it needs from a cache before it changes
//   the list, so a failure (heap exhausted) leaves the list as it was; locks are held by guards.
// - Expansion doubles N cooperatively (map/expansion.cpp): a creator makes and publishes chunks
//   N..2N-1 (slot N holds the marker 1 meanwhile, and goes back to 0 if it cannot), participants
//   claim 16 old buckets at a time, mark each (moving_to, before its lock), and hand the entries whose
//   hash has bit B*N set to the sibling bucket i + B*N by their 88-byte records. The last participant
//   doubles N and clears every mark under expansion_lock; joins happen only under that lock and only
//   while the table has room for 2N chunks. Inserts wait for marked buckets; get and remove search a
//   marked bucket and its sibling, so no entry is ever hidden by a move.
// - Locality: fresh cache items are carved as link-and-data pairs (heap_alloc_pairs), so a link and
//   its record block or string chunk share cache lines, and a key's and value's chunks, taken one
//   after the other, lie together. Callers that know the hash early may call prefetch_bucket (and,
//   later, prefetch_entries) so that these misses overlap their serialization work. Both are hints:
//   they read a bucket's entries.head without its lock, which is sound only because a bucket's head
//   never changes once its chunk is published; a change that moved heads would have to drop them.
// - ConcurrentHashMap_pointer is its process-local sibling keyed by Python objects.
// - Lock order: bucket lock -> chunk cache lock -> heap lock. A thread holds at most one bucket lock,
//   except where a function states otherwise: a mover, and a get or remove of a bucket being moved,
//   hold a bucket and then its sibling, always in ascending bucket order (the sibling's number is the
//   bucket's plus B*N), which keeps them free of deadlock. A walk (walk_groups) holds the buckets of
//   one group (every bucket congruent to the group modulo the walk's bucket count, and the siblings
//   of those being split), also taken in ascending order. expansion_lock is never held together with
//   a bucket lock.
#pragma once

#include "map/key_hash.hpp"
#include "map/map_base.hpp"
#include "map/string_map.hpp"
#include "map/pointer_map.hpp"
