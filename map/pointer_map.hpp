// ConcurrentHashMap_pointer: the process-local sibling of the string map. Keys and values are Python
// objects of one process, held by reference; keys are compared with Python equality. Private to the
// map layer; other layers and other extension modules include map/map.hpp.
//
// What lives where. Everything is process memory from python_malloc: the bucket chunks (B buckets of
// 56 bytes each), the array of bucket chunk addresses (bucket_chunk_number slots) and the five
// shared cells. The first object of a map creates all of it and is named by its own address in
// decimal digits; further objects of the same process open the map by that name and share it. Each
// object owns only its block cache, a LocalChunkCache of unit 2 whose blocks are the links of the
// entry lists (two 24-byte PointerEntry records per link).
//
// Who locks what. A bucket's lock guards its entry list. Every wait for a lock of this map (bucket
// locks, expansion_lock, the block cache) sleeps 1 ms with the interpreter lock given away, so a
// thread that waits never keeps the thread it waits for from running Python code (a key's __eq__
// runs while its bucket lock is held and may release the interpreter lock itself).
// Lock order: bucket lock -> block cache lock. One bucket lock per thread, except that get and
// remove of a bucket that an expansion is moving hold it and then its sibling (ascending bucket
// order). expansion_lock is never held together with a bucket lock.
//
// Re-entry. Python code that runs while this thread holds a bucket lock (a key's __eq__) must not
// call into any pointer-keyed map: such a call throws runtime_error instead of waiting for a lock
// that its own thread holds. References are dropped only after every bucket lock is released, so a
// __del__ that runs then may use the map freely.
//
// Expansion follows the string map's: the creator elects itself by marking chunk slot N, creates
// the new chunks and publishes slot N last; participants claim 16 old buckets at a time from
// migration_cursor; entries move as 24-byte records without any reference count changing; the last
// participant doubles bucket_chunk_in_use and clears the moving marks under expansion_lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "heap/heap.hpp"
#include "map/map_base.hpp"

namespace corvana {

// Records of the pointer-keyed map. They live in process memory (never in a file), so they keep
// their natural alignment; their layout is still fixed and checked.

struct PointerEntry {       // 24 bytes, two per link
  PyObject* key;            //  0: owns one reference while the entry is within its list's length
  PyObject* value;          //  8: owns one reference likewise
  std::int64_t hash;        // 16: the caller's hash of the key
};
static_assert(sizeof(PointerEntry) == LocalChunkCache::record_bytes);
static_assert(offsetof(PointerEntry, value) == 8 && offsetof(PointerEntry, hash) == 16);

struct PointerList {        // 40 bytes: a bucket's entry list
  LocalLink* head;          //  0: first link; every bucket has one from its creation on
  std::uint64_t length;     //  8: entries in the list
  std::uint64_t link_count; // 16: links that belong to the list (at least ceil(length / 2))
  std::uint8_t unit;        // 24: entries per link: 2
  std::uint8_t padding[7];  // 25
  std::byte* base;          // 32: not used by this map: null
};
static_assert(sizeof(PointerList) == 40);
static_assert(offsetof(PointerList, length) == 8 && offsetof(PointerList, link_count) == 16 &&
              offsetof(PointerList, unit) == 24 && offsetof(PointerList, base) == 32);

struct PointerBucket {      // 56 bytes
  std::uint64_t lock;       //  0: atomic lock word, lock_word_free or lock_word_held
  PointerList entries;      //  8: guarded by `lock`
  PointerBucket* moving_to; // 48: atomic; the sibling while an expansion moves this bucket, else null
};
static_assert(sizeof(PointerBucket) == 56);
static_assert(offsetof(PointerBucket, entries) == 8 && offsetof(PointerBucket, moving_to) == 48);
static_assert(offsetof(PointerBucket, lock) % 8 == 0 && offsetof(PointerBucket, moving_to) % 8 == 0,
              "atomic words must be 8-aligned within the record");

inline constexpr std::uint8_t pointer_entries_per_link = 2;

// Shared by every object of one map: tells them all that destroy() has released the map.
struct PointerMapLife;

struct PointerSearchLocks;  // the locks of one search, private to pointer_map_operations.cpp

class ConcurrentHashMap_pointer final : public ConcurrentHashMap_base<false> {
 public:
  // Creates a map when `name` is empty, and then replaces `name` with the map's name (this object's
  // address in decimal digits). Otherwise opens the map of that name, which must belong to a live
  // creating object of this process whose map has not been destroyed; the opened map's own
  // dimensions replace the arguments.
  // GIL: held.
  // Throws: invalid_argument "bucket chunk number should be greater than zero!";
  //         invalid_argument "invalid stoll argument" (a name without leading decimal digits);
  //         out_of_range "stoll argument out of range"; runtime_error "old quillmoor is impossible
  //         to open!" (a name of no live map); runtime_error "PyMem_Malloc failed!"; runtime_error
  //         strerror(errno) (a cell). Nothing is left allocated when the constructor throws.
  ConcurrentHashMap_pointer(std::string& name, std::uint8_t bucket_chunk_size_exponent,
                            std::size_t bucket_chunk_number);
  // Releases this object's block cache; the map stays for the other objects. The name of a creating
  // object stops opening its map. GIL: held.
  ~ConcurrentHashMap_pointer();

  // Releases the map's shared state: every bucket chunk with its links, the address array and the
  // cells. The references held by entries are not dropped. Afterwards every object of the map
  // refuses further operations (runtime_error "the map has been destroyed!") and the name opens
  // nothing. Must not run while another thread uses the map. A second call does nothing.
  // GIL: held.   Throws: runtime_error when called from a key comparison (see Re-entry).
  void destroy();

  // Stores `value` for `key`: replaces the value of the first stored key equal to `key` (the stored
  // key object stays; the map's reference to the old value is dropped after the lock is released),
  // or appends an entry owning one new reference to each. May then start or join an expansion.
  // A comparison that raises counts as not equal: the entry is appended and the first comparison
  // error is left pending for the caller (the caller must check PyErr_Occurred()).
  // GIL: held; lock waits and key comparisons may let other threads run.
  // Throws: runtime_error (a link that cannot be allocated; the bucket is then unchanged).
  void insert(PyObject* key, PyObject* value, std::int64_t hash);
  // true: `value` is set to the stored value, a borrowed reference valid until the entry changes;
  // false: absent, `value` unchanged. A comparison error is left pending as in insert.
  // GIL: held.
  bool get(PyObject* key, std::int64_t hash, PyObject*& value);
  // true when an entry was removed; the map's references to its key and value are dropped after the
  // bucket lock is released. A comparison error is left pending as in insert. GIL: held.
  bool remove(PyObject* key, std::int64_t hash);

  // Takes part in one expansion. Requires: the caller has counted itself in expansion_workers.
  // The first participant marks chunk slot N and becomes the creator; the others wait until chunk N
  // is published and then claim, so one that arrives after the last claim leaves at once. A creator
  // that cannot allocate undoes its chunks, unmarks slot N and leaves without doubling (then throws
  // runtime_error "PyMem_Malloc failed!"); a mover that cannot get links for a sibling waits for
  // memory and tries again, since a claimed bucket must be moved for the expansion to end.
  // GIL: held; waits give it away. Throws: runtime_error when called from a key comparison (it then
  // leaves first).
  void expand() override;
  // Joins an expansion when the table has room and at most 4096 participants are inside. Refuses
  // (runtime_error) a call from a key comparison. `n` is not used. GIL: held.
  void python_expansion_helper(std::size_t n);

  // Diagnostics for tests and checks. GIL: held.
  struct CheckSummary {
    std::uint64_t entries;     // entries in all buckets
    std::uint64_t buckets;     // buckets in use
    std::uint64_t longest;     // longest entry list
  };
  // Walks every bucket in use (each under its lock) and verifies the invariants of an idle map:
  // every bucket has a head link and no moving mark, length <= 2 * link_count, every entry sits in
  // the bucket of its hash with a key and a value, and the lengths add up to element_count.
  // Throws: logic_error naming the first violation.
  CheckSummary check();
  struct BucketState {
    std::uint64_t length;
    std::uint64_t link_count;
  };
  // The list of bucket `index` (below B * N), read under its lock. Throws: out_of_range.
  BucketState bucket_state(std::uint64_t index);
  // Whether bucket `index` carries a moving mark; read without its lock. Throws: out_of_range.
  [[nodiscard]] bool is_bucket_moving(std::uint64_t index) const;
  // Whether destroy() has released this object's map (through any of its objects). The base's
  // accessors of the shared cells must not be called then.
  [[nodiscard]] bool is_destroyed() const noexcept;

 private:
  void create_map(std::string& name);
  void open_map(const std::string& name);
  void check_usable() const;
  [[nodiscard]] std::atomic_ref<PointerBucket*> chunk_slot(std::uint64_t chunk) const noexcept;
  [[nodiscard]] PointerBucket* bucket_at(std::uint64_t index) const noexcept;
  // Locks the bucket of `hash` and, while an expansion moves it, its sibling (see
  // pointer_map_operations.cpp).
  void lock_for_search(std::int64_t hash, PointerSearchLocks& locked) const;
  [[nodiscard]] PointerBucket* chunk_marker() const noexcept;
  [[nodiscard]] PointerBucket* make_bucket_chunk();
  void release_bucket_chunk(PointerBucket* chunk) noexcept;
  // Creator only: makes chunks N .. 2N-1, sets migration_cursor and publishes chunk N last.
  void create_new_chunks(std::uint64_t chunks_in_use);
  // Moves the entries of old bucket `index` whose hash has bit B * N set to its sibling.
  // Locks: the old bucket, and under it the block cache.
  void move_bucket(std::uint64_t index, std::uint64_t chunks_in_use);
  // Leaves without claiming; the last one out finishes the expansion only if its work was published.
  void abandon_expansion(std::uint64_t chunks_in_use) noexcept;
  // Clears the moving marks of the old buckets. Requires: expansion_lock held.
  void clear_moving_marks(std::uint64_t old_chunks) noexcept;
  // More than two entries per bucket: the join rule's condition.
  [[nodiscard]] bool is_crowded() const noexcept;
  // After an append: joins (or starts) an expansion when the map is crowded. Requires: no bucket lock.
  void join_if_crowded();

  friend void python_expansion_helper_pointer(std::string& name, std::size_t target_length);

  PointerBucket** chunk_addresses_ = nullptr;      // shared: slot c holds bucket chunk c, else null
  std::unique_ptr<LocalChunkCache> block_cache_;   // this object's own links
  std::uintptr_t name_key_ = 0;                    // the map's name as a number
  std::shared_ptr<PointerMapLife> life_;           // shared by every object of the map
};

// Opens the map `name` and joins an expansion when it has fewer than `target_length` bucket chunks;
// the object it opens lives only for the call. GIL: held.
// Throws: what the constructor throws (an empty name is refused with "invalid stoll argument"
// instead of creating a map), and what expand() throws.
void python_expansion_helper_pointer(std::string& name, std::size_t target_length);

}  // namespace corvana
