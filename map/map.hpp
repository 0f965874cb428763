// corvana concurrent hash maps: the front door of the map layer.
//
// Design note (kept current by whoever changes the maps)
// - ConcurrentHashMap_string keeps its whole state in the heap of one memory file: a MapHeader at
//   heap offset 64, five shared cells, a bucket chunk table and bucket chunks of 32-byte buckets
//   (map/map_records.hpp declares every record). A bucket names its first entry page; pages are
//   slab chunks holding entries back to back, long keys and values lie in chains of slab chunks.
// - Hashes: with the Python layer's default, a key's hash is XXH3 of its bytes (key_hash); any hash
//   is mixed again (bucket_bits) before a bucket is chosen from its low bits, and a split moves the
//   entries whose mixed bit B*N is set. The stored hash is the caller's.
// - Bucket chunks are carved without backing for their pages; each process backs a page of buckets
//   (one system call) before it first touches it, so the file grows with the buckets in use and a
//   full file system is an error (HeapExhausted), never a SIGBUS.
// - Every change locks the bucket of its hash, chosen with N = bucket_chunk_in_use read before the
//   lock; holding the lock it reads the bucket's moving_to and then N again, and starts over when N
//   changed. A get first reads the bucket without the lock and keeps what it read only when the
//   bucket's version (odd while a holder changes its pages) stood still and even and the lock free
//   throughout (bucket_version.hpp); otherwise it reads under the lock as a change does. Locks are owned words (holder's process slot, generation, writer tag): a
//   waiter that finds the holder dead takes the lock over and finishes or undoes the holder's change
//   from its intent record. Changes are copy-on-write: new pages are built aside and published with
//   one store, so a bucket is valid at every store.
// - Expansion doubles N cooperatively (map/expansion.cpp): a creator makes and publishes chunks
//   N..2N-1 (its marker in slot N names it; a dead creator's work is finished or rolled back),
//   participants claim 16 old buckets at a time under expansion_lock, mark each (moving_to) and split
//   it into its sibling i + B*N, marking the split done under the lock. The last live participant
//   doubles N and clears the marks (one a death left is ignored). Inserts into
//   a bucket whose split is done go ahead; those that meet a bucket being split apply the join rule,
//   then wait for the split or the doubling's end. Get and remove search a marked bucket and its
//   sibling.
// - Element counts are kept per writer record in each process slot and summed on read, so writers
//   of different processes never share a counter's cache line.
// - ConcurrentHashMap_pointer is its process-local sibling keyed by Python objects; since it holds
//   them, the package's one owned-reference type (OwnedRef, python_ref.hpp) lives in this layer.
// - Failures are standard exceptions with fixed texts (map_texts.hpp); those whose callers need more
//   than the text carry it (map_errors.hpp: the errno and path of a file that cannot be opened, the
//   smallest size of a new map), as the heap's do (heap/errors.hpp).
// - Lock order: bucket lock -> cache lock -> heap lock. A thread holds at most one bucket lock,
//   except where a function states otherwise: a mover, and a get or remove of a bucket being moved,
//   hold a bucket and then its sibling, always in ascending bucket order (the sibling's number is the
//   bucket's plus B*N), which keeps them free of deadlock. A walk (walk_groups) holds the buckets of
//   one group (every bucket congruent to the group modulo the walk's bucket count, and the siblings
//   of those being split), also taken in ascending order. expansion_lock is never held together with
//   a bucket lock.
#pragma once

#include "map/key_hash.hpp"
#include "map/map_base.hpp"
#include "map/map_errors.hpp"
#include "map/pointer_map.hpp"
#include "map/python_ref.hpp"
#include "map/string_map.hpp"
