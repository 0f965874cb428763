// corvana shared heap: the front door of the heap layer.
//
// What lives in the file. A memory file is an ordinary file that every cooperating process maps
// whole, shared and read-write; every position stored in it is an Offset from the heap base, never
// an address, since each process maps it at an address of its own. In file order:
// - the file header (24 bytes: mapped size, region size, the heap lock word);
// - the heap (from file offset 24, the heap base): the heap header (heap_end, the bump offset
//   heap_next, the format's magic and version), then what is carved from heap_next: raw blocks (the
//   map's header, cells, table and bucket chunks), slabs of slab chunks (entry pages and out-of-line
//   strings, twenty size classes from 32 to 4096 bytes), and the chunks of the older API;
// - the process table: one slot (4 KiB) per open mapping of the file, claimed at open, holding the
//   owner's identity and what must outlive it if it dies: its slab caches and the map layer's
//   records (writers' intents and counts, its part in a doubling);
// - the slab header (the shared free lists of slab chunks, and the intent of a change made under
//   the heap lock) and the slab directory (one byte per slab: its class).
// The file is sparse: a page of it takes space once it is written. Whoever first writes a page
// backs it first (one system call, platform::reserve_for_write), so that a full file system is an
// error (HeapExhausted) and never a SIGBUS at a later store.
//
// Who locks what. Every lock is an owned word (locks.hpp): 0 free, else its holder's token, which
// names the holder's process slot, so that a waiter can tell a dead holder from a slow one and take
// the word over. The heap lock (file offset 16) serialises the carving of heap_next and every change
// of the shared slab lists; it is the innermost lock: bucket lock -> cache lock -> heap lock.
//
// Deaths. A process may die between any two of its stores. Every change to shared records is a
// sequence of stores that leaves them valid at each one (crash_points.hpp); a change of more than
// one word is described first by an intent (the slab header's for the heap lock's holder, the
// writers' in the process slots for the map), which whoever takes the lock over from the dead holder
// finishes or undoes. A slot whose owner died keeps its slab caches for whoever claims it next.
//
// Errors. The memory file and the allocator report failures as null / false plus the process-wide
// last heap error text ("mm:core: ..." / "mm:alloc: ...") and errno; the rest throws the exceptions
// of errors.hpp. One header per concept:
//   memory_file.hpp    the file, its mapping, offsets and addresses, the last heap error text
//   allocator.hpp      chunks, runs and raw blocks carved from the heap
//   slabs.hpp          slab chunks, their shared lists and the per-owner slab caches
//   process_table.hpp  the process slots and the question whether a holder is alive
//   locks.hpp          owned lock words, their waits, interrupts and deadlines
//   interpreter.hpp    the interpreter lock, signals and Python-owned memory, when an interpreter runs
//   crash_points.hpp   store ordering for deaths, and the crash points of test builds
//   errors.hpp         the layer's exceptions
//   chunk_cache.hpp    the older chunk-cache API, kept for other extension modules
//   python_compat.hpp  Python.h, and the private or version-gated CPython calls behind one name each
#pragma once

#include "heap/python_compat.hpp"  // first, as Python.h asks to be

#include <atomic>
#include <bit>
#include <cstdint>

#include "heap/allocator.hpp"
#include "heap/chunk_cache.hpp"
#include "heap/crash_points.hpp"
#include "heap/errors.hpp"
#include "heap/heap_records.hpp"
#include "heap/interpreter.hpp"
#include "heap/locks.hpp"
#include "heap/memory_file.hpp"
#include "heap/platform.hpp"
#include "heap/process_table.hpp"
#include "heap/slabs.hpp"

static_assert(std::endian::native == std::endian::little,
              "the memory file format is little-endian and is never byte-swapped");
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free &&
                  std::atomic_ref<std::uint32_t>::is_always_lock_free &&
                  std::atomic_ref<std::int64_t>::is_always_lock_free,
              "atomics shared between processes must be lock-free");
