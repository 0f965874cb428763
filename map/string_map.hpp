// ConcurrentHashMap_string: a hash map from byte strings to byte strings whose whole state lives in
// the heap of one memory file. Private to the map layer; other layers include map/map.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "heap/heap.hpp"
#include "map/map_base.hpp"

namespace corvana {

namespace map_layout {
struct Bucket;
class BucketRead;
struct SlotRecords;
struct WriterIntent;
struct ExpansionClaim;
struct HeapAccess;
struct LiveEntries;
struct PageView;
class ClassCaches;
enum class IntentKind : std::uint8_t;
}  // namespace map_layout

// What the map checker found in a consistent map.
struct StringMapCheck {
  std::uint64_t entry_count = 0;   // entries found by walking every bucket in use
  std::uint64_t bucket_count = 0;  // buckets walked: B * N
  std::uint64_t chunk_count = 0;   // slab chunks owned by entry pages and out-of-line strings
  std::uint64_t free_chunk_count = 0;  // free slab chunks (shared lists and caches), when asked for
};

// Where a get copies the value it found. buffer_for is called for a buffer of `length` bytes that the
// map then fills, under the key's bucket lock or in a read without it; it must neither take a bucket
// lock nor run code that may use this map. It may throw: the lock is then released and nothing has
// changed. A read without the lock that finds the bucket changed under it is discarded and made
// again: buffer_for may then be called again (the buffer of the last call is the one filled), and
// also for a get that then finds the key gone (false). A sink keeps or frees an earlier buffer as it
// would its last one.
class ValueSink {
 public:
  virtual char* buffer_for(std::uint64_t length) = 0;

 protected:
  ~ValueSink() = default;
};

class ConcurrentHashMap_string : public ConcurrentHashMap_base<true> {
 public:
  // Creates a new map in a new memory file when `name` is empty (and stores the file's full path in
  // `name`), else opens the map in the memory file at path `name`.
  // Throws invalid_argument (parameter checks), bad_alloc "bad allocation" (the memory file cannot be
  // created or opened), FileStatusUnavailable (the file at `name` cannot be looked at),
  // ProcessSlotsExhausted (every process slot of it is held), MapSizeTooSmall (`size` is below
  // smallest_size() for a new map), HeapExhausted (no room otherwise), DamagedFile (damage met while
  // repairing what a dead owner of this object's slot left), runtime_error (everything else,
  // including a file that does not hold a map); a new file is then deleted, an opened one left as
  // it was.
  // GIL: held while an interpreter runs (the address array comes from PyMem_Malloc).
  ConcurrentHashMap_string(std::string& name, std::uint8_t bucket_chunk_size_exponent,
                           std::uint64_t bucket_chunk_number, std::uint64_t size,
                           std::uint8_t chunk_size_exponent);
  // Releases what this object holds; the map and its file remain. GIL: as for the constructor.
  ~ConcurrentHashMap_string();

  // The smallest `size` that makes an empty map of these dimensions: what its header, its shared
  // cells, its bucket chunk table and its first bucket chunk take of the heap. 0 when that does not
  // fit in 64 bits.
  [[nodiscard]] static std::uint64_t smallest_size(std::uint8_t bucket_chunk_size_exponent,
                                                   std::uint64_t bucket_chunk_number) noexcept;

  // Stores or replaces the value of `key`. GIL: as held by the caller; lock waits may give it away.
  void insert(const char* key, const char* value, std::uint64_t key_len, std::uint64_t value_len,
              std::int64_t hash);
  // true: `value` receives a python_malloc buffer of value_len + 1 bytes that the caller frees with
  // python_free; false: the key is absent and the out-parameters are unchanged.
  bool get(const char* key, std::uint64_t key_len, std::int64_t hash, char*& value, std::int64_t& value_len);
  // The same, copying the value straight into the buffer that `sink` provides (one copy, no
  // intermediate buffer). false: the key is absent (see ValueSink for the calls the sink may
  // have had for a read that was discarded).
  // A get first reads the bucket without its lock, writing nothing to the file (see
  // map/bucket_version.hpp); when a change, a held lock or a doubling comes in the way, or what it
  // read cannot be, it reads under the lock as the other operations do.
  bool get(const char* key, std::uint64_t key_len, std::int64_t hash, ValueSink& sink);
  // true when an entry was removed.
  bool remove(const char* key, std::uint64_t key_len, std::int64_t hash);
  // Every operation leaves the map consistent when it throws (a cache that cannot supply, a buffer
  // that cannot be allocated: runtime_error), with its bucket unchanged and unlocked. A wait for a
  // lock ends with InterruptedWait when a signal handler raises (Ctrl-C), and with LockTimeout when
  // a live holder keeps it past the lock timeout (see set_lock_timeout), with nothing done: an
  // insert that stored its entry and then waits in a doubling it joined hands its part of the
  // doubling over (the timeout is then not reported; an interrupt is).
  //
  // Crash tolerance: a process may die at any store. A bucket lock whose holder died is taken over by
  // the next operation that needs the bucket, which first finishes or undoes the change the holder
  // was making (see the writer records in map/map_records.hpp): every operation that had returned
  // before the death is intact, and the one under way is either done or not. What the dead process
  // had taken from the heap and not yet linked is lost (see README).

  // How long any one operation of this object may wait for locks that live processes hold (0: for
  // as long as they hold them). Past it the operation throws LockTimeout, having changed nothing.
  void set_lock_timeout(std::uint64_t timeout_ns) noexcept { lock_timeout_ns_ = timeout_ns; }
  [[nodiscard]] std::uint64_t lock_timeout() const noexcept { return lock_timeout_ns_; }
  // Whether this object's gets first read without the bucket lock (on by default). Off, every get
  // takes the lock: for benchmarks and tests that compare the two ways.
  void set_optimistic_reads(bool is_on) noexcept { optimistic_reads_ = is_on; }
  [[nodiscard]] bool optimistic_reads() const noexcept { return optimistic_reads_; }

  // A hint for an operation on `hash` that follows shortly: starts bringing its bucket into the
  // processor's cache, so that the miss overlaps the caller's work in between (serializing the key).
  // Reads only this process's chunk addresses and N; takes no lock, never blocks and never faults.
  void prefetch_bucket(std::int64_t hash) const noexcept;
  // The next step of the same hint, once the bucket has had time to arrive: starts bringing the
  // bucket's first entry page into the cache. Reads the bucket's page word without its lock: what it
  // finds is only a hint (a prefetch never faults, whatever the address), and the operation reads the
  // word again.
  void prefetch_entries(std::int64_t hash) const noexcept;

  // ---- Read-modify-write under one bucket lock --------------------------------------------------
  // Each of these is atomic with respect to every other operation on the key, from any process: the
  // key's bucket lock (with its sibling's while an expansion moves the bucket) is held from the read
  // to the write. Buffers handed out come from python_malloc (value_len + 1 bytes) and are freed by
  // the caller with python_free.

  // Whether the key is present.
  bool contains(const char* key, std::uint64_t key_len, std::int64_t hash);
  // Inserts (key, value) when the key is absent and returns true; otherwise leaves the entry as it
  // is, hands out a copy of the stored value in `stored` / `stored_len` and returns false.
  bool setdefault(const char* key, const char* value, std::uint64_t key_len, std::uint64_t value_len,
                  std::int64_t hash, char*& stored, std::int64_t& stored_len);
  // Removes the key and hands out its value: true; false when absent (out-parameters unchanged).
  bool pop(const char* key, std::uint64_t key_len, std::int64_t hash, char*& value, std::int64_t& value_len);
  // Replaces the value of a present key only when its stored bytes equal `expected`; returns whether
  // it replaced it. An absent key gives false and is not inserted.
  bool compare_and_set(const char* key, std::uint64_t key_len, std::int64_t hash, const char* expected,
                       std::uint64_t expected_len, const char* value, std::uint64_t value_len);

  // ---- Weakly consistent walk -------------------------------------------------------------------
  // A walk fixes W = bucket_chunk_in_use() when it starts (walk_chunks) and visits the groups
  // g = 0 .. B*W - 1 in order; group g is every bucket whose number is g modulo B*W. Each group is
  // read whole under its buckets' locks (see walk_groups in string_map.cpp for why every key present
  // and unchanged for the whole walk is returned exactly once, expansions included).
  struct WalkBatch {
    std::string bytes;                   // the keys' and values' bytes, back to back
    std::vector<std::uint64_t> lengths;  // per entry: key length then value length (each if asked)
    void clear() noexcept {
      bytes.clear();
      lengths.clear();
    }
  };
  // Appends the entries of groups `group`, `group` + 1, ... to `batch` until at least `min_entries`
  // entries were added or the groups run out; returns the next group to visit (B * walk_chunks at
  // the end). Requires: walk_chunks a value bucket_chunk_in_use() had, no bucket lock held.
  // Throws: bad_alloc (process memory), runtime_error (damaged table); every lock is then released.
  std::uint64_t walk_groups(std::uint64_t walk_chunks, std::uint64_t group, std::uint64_t min_entries,
                            bool with_keys, bool with_values, WalkBatch& batch);

  // Takes part in one expansion (see map/expansion.cpp). Requires: the caller is counted in
  // expansion_workers. Throws runtime_error when the new bucket chunks cannot be made (the expansion
  // is then rolled back and the map keeps its size). A failure while splitting a bucket (heap
  // exhausted, damaged pages) changes nothing in it and hands this participant's part over (its
  // claim is given back for whoever helps next); no entry is lost or hidden.
  void expand() override;
  // expand() whose wait for a live creator ends at `deadline_ns` (0: none) with LockTimeout, and
  // with InterruptedWait on Ctrl-C; either way this participant leaves, handing its part over.
  void expand_within(std::uint64_t deadline_ns);
  // expand_within() with the interpreter lock given away (see InterpreterLockRelease): the other
  // threads of the process run while this one splits buckets.
  void expand_released(std::uint64_t deadline_ns = 0) {
    InterpreterLockRelease released;
    expand_within(deadline_ns);
  }
  // Joins an expansion as python_expansion_helper of the base does, counting this thread in its
  // process's membership (see map/expansion.cpp). `n` is not used.
  void python_expansion_helper(std::size_t n);
  // Whether an expansion is under way that nobody alive is carrying on: its creator died, or a dead
  // participant left work, or no live participant is left to finish it. Locks: expansion_lock.
  [[nodiscard]] bool expansion_needs_help() const;
  // Whether a doubling of the current N has begun (table slot N is marked or published).
  [[nodiscard]] bool expansion_under_way() const noexcept;

  [[nodiscard]] std::uint8_t string_unit() const noexcept { return string_unit_; }
  [[nodiscard]] Allocator heap_base() const noexcept { return base_; }

  // Entries in the map: the sum of the writer records' counts of every slot ever claimed. Exact
  // while no operation is under way (and once every bucket a dead process held has been repaired);
  // costs one cache line per slot ever claimed, however many entries there are.
  [[nodiscard]] std::uint64_t element_count() const noexcept;
  // This object's process slot and the process table it belongs to.
  [[nodiscard]] const ProcessTable& process_table() const noexcept { return *process_table_; }
  // Finishes or undoes what the previous owner of this object's slot left half done, if it died
  // (run once by the constructor; exposed for tests). Takes and releases bucket locks.
  void repair_inherited_slot();

  // ---- Inspection (checker, tests, diagnostics) ----------------------------------------------

  // Verifies the map's invariants, repairing what dead processes left half done as any operation
  // would: first it takes part in a doubling that needs a participant (its creator or a participant
  // died, or nobody is left to finish it), as an insert that meets it would; then it reads the map
  // by the groups of a walk (every bucket in use, and the sibling of each bucket being split), each
  // group under its buckets' locks, taking a dead holder's lock over and repairing its bucket. It
  // checks: every page and out-of-line string a slab chunk of a class that holds it, pages of at
  // least one entry, entries that fill their pages exactly, strings inline exactly when short; every
  // entry in the group of its hash; no key twice in a group; no chunk owned twice. A mark that names
  // no sibling of the current bucket count is one a death left behind: ignored, as walks do. With
  // `free_chunks`, also that no free slab chunk (on a shared list or in any slot's caches) is owned
  // by the map or free twice: only while nobody else uses the file. Returns what it found; throws
  // runtime_error naming the first violation (DamagedFile for what cannot be followed),
  // InterruptedWait on Ctrl-C. Requires: no bucket lock held.
  [[nodiscard]] StringMapCheck check(bool free_chunks = false);

  // The global bucket number that `hash` selects with the current number of bucket chunks.
  [[nodiscard]] std::uint64_t bucket_of(std::int64_t hash) const noexcept;
  // Entries and pages of bucket `bucket` (below B * bucket_chunk_in_use()), read under its lock, and
  // its moving_to, read without it (0 unless it names the sibling for the current N: a mark an
  // earlier doubling left is ignored).
  [[nodiscard]] std::uint64_t bucket_length(std::uint64_t bucket) const;
  [[nodiscard]] std::uint64_t bucket_page_count(std::uint64_t bucket) const;
  [[nodiscard]] std::uint64_t bucket_moving_to(std::uint64_t bucket) const;
  // Its version (odd while a change of it is under way or was cut short by a death), read without
  // its lock.
  [[nodiscard]] std::uint64_t bucket_version(std::uint64_t bucket) const;
  // The hashes of the entries of bucket `bucket`, in list order (read under its lock).
  [[nodiscard]] std::vector<std::int64_t> bucket_hashes(std::uint64_t bucket) const;
  // Raw value of bucket chunk table slot `chunk` (below bucket_chunk_number()).
  [[nodiscard]] std::uint64_t table_slot(std::uint64_t chunk) const;
  [[nodiscard]] std::int64_t migration_cursor() const noexcept;
  // Slab chunks held now by this object's caches.
  [[nodiscard]] std::uint64_t cached_chunks() const noexcept;

 private:
  struct LockedBuckets;  // a bucket locked for an operation, and its sibling while it is moving
  struct Found;          // where an operation found its key among the buckets it holds
  // One held bucket lock, taken as this thread's owner token and released on every exit path.
  class BucketHold {
   public:
    BucketHold() noexcept = default;
    ~BucketHold() { release(); }
    BucketHold(const BucketHold&) = delete;
    BucketHold& operator=(const BucketHold&) = delete;
    // Takes the lock; repairs the bucket first when its holder had died.
    void take(const ConcurrentHashMap_string& map, map_layout::Bucket* bucket, WaitLimits limits);
    void release() noexcept;
    [[nodiscard]] bool is_held() const noexcept { return bucket_ != nullptr; }

   private:
    map_layout::Bucket* bucket_ = nullptr;
  };
  class HeldBuckets;     // the bucket locks of a walk's group
  struct Location;       // where an entry lies in a bucket
  class Change;          // a change of a bucket under way (see string_map.cpp)
  // A mutation's hold on one of this object's writer records (see string_map.cpp).
  class WriterHold {
   public:
    // Waits for the record as `limits` allow (a thread of this process holds it).
    explicit WriterHold(ConcurrentHashMap_string& map, WaitLimits limits = {});
    ~WriterHold();
    WriterHold(const WriterHold&) = delete;
    WriterHold& operator=(const WriterHold&) = delete;

    [[nodiscard]] std::uint32_t record() const noexcept { return record_; }
    [[nodiscard]] map_layout::WriterIntent* intent() const noexcept;
    // The record's slab caches: this thread's alone while it holds the record.
    [[nodiscard]] map_layout::ClassCaches& caches() const noexcept { return *map_.writer_caches_[record_]; }
    // The record's count of entries, and its change (each a single store).
    [[nodiscard]] std::int64_t count() const noexcept;
    void store_count(std::int64_t count) const noexcept;
    // Publishes the intent whose fields the caller wrote (with `delta` for the count); clears it.
    void begin(map_layout::IntentKind kind, std::int8_t delta) const noexcept;
    void end() const noexcept;

   private:
    ConcurrentHashMap_string& map_;
    std::uint16_t tag_;
    std::uint32_t record_;
  };

  void create_map(std::string& name, std::uint8_t bucket_chunk_size_exponent,
                  std::uint64_t bucket_chunk_number, std::uint64_t size, std::uint8_t chunk_size_exponent);
  void open_map(const std::string& name);
  void adopt_cells(const void* header);
  // Finds this object's process slot (claimed by the memory file), its records and the slabs.
  void adopt_process_slot();
  // Makes the writer records' slab caches, recorded in this object's slot.
  void make_caches();
  // Throws unless the object has a map and belongs to this process (not a forked child's copy).
  void require_usable() const {
    if (base_ == nullptr || generation_ != fork_generation()) [[unlikely]] {
      refuse_use();
    }
  }
  [[noreturn]] void refuse_use() const;
  // Releases caches, the address array and the mapping; leaves the object empty. Never throws.
  void release() noexcept;

  // The address of bucket chunk `chunk` in this process, looked up in the table on first use.
  // Throws runtime_error when the table names no chunk there.
  [[nodiscard]] std::byte* chunk_address(std::uint64_t chunk) const;
  // The bucket numbered `bucket`, its page backed (see back_bucket).
  [[nodiscard]] map_layout::Bucket* bucket_at(std::uint64_t bucket) const;
  // Gives the chunks that other writer records' slab caches hold back (of every slot, this process's
  // other records included) to the shared lists, for a writer that finds the heap full; passes the
  // records in use. Returns whether it moved any. Takes no lock that can wait (the heap lock only).
  bool reclaim_cached_chunks() noexcept;
  // Bucket chunks are made without backing for their pages: a new map costs its headers only, and
  // the file grows as its buckets are used. Before a process first touches a bucket it backs the
  // bucket's region of the file (backed_region_shift_ bits of offset) with one system call, so that
  // a full file system is an error here (HeapExhausted) and never a SIGBUS at a later store. Each
  // process keeps its own record of the regions it backed: a record in the file could lie.
  void back_bucket(const map_layout::Bucket* bucket) const;
  [[nodiscard]] bool is_backed(const map_layout::Bucket* bucket) const noexcept;
  [[nodiscard]] std::uint64_t file_offset_of(const map_layout::Bucket* bucket) const noexcept;
  void make_backed_regions();
  // For a reader that visits every bucket in order (a walk, the checker): the number of buckets from
  // `bucket` on, within its chunk and its page, that lie in a page of the file that nobody has ever
  // written (so each is an empty, unlocked bucket without a mark); 0 when that page may hold data
  // or this process backed it. The reader skips them without backing the page.
  [[nodiscard]] std::uint64_t buckets_in_unwritten_page(std::uint64_t bucket) const;
  // The bucket of `hash` when its chunk's address is already known in this process and its region is
  // backed, else null.
  [[nodiscard]] const map_layout::Bucket* cached_bucket_of(std::int64_t hash) const noexcept;
  [[nodiscard]] const map_layout::Bucket* cached_bucket(std::uint64_t bucket) const noexcept;
  // A hint: asks for the bucket's first entry page (header and first entry); null asks nothing.
  void prefetch_first_page(const map_layout::Bucket* bucket) const noexcept;
  [[nodiscard]] std::uint64_t bucket_index(std::int64_t hash, std::uint64_t chunks_in_use) const noexcept;
  // Locks the bucket of `hash`, starting again whenever bucket_chunk_in_use changed while it waited
  // for a lock. With `with_sibling`, a bucket being moved is returned with its sibling locked too.
  // A lock taken over from a dead holder is repaired first.
  void lock_bucket_of(std::int64_t hash, bool with_sibling, LockedBuckets& locked);
  // Takes a bucket's lock as this thread's owner token, repairing the bucket when its holder died;
  // returns whether it took the lock over. The map object is not changed (the file is).
  // Throws: what the wait throws (see WaitLimits), what a repair throws (the lock is released).
  bool lock_bucket(map_layout::Bucket* bucket, WaitLimits limits) const;
  // Releases a bucket's lock that this thread took with lock_bucket.
  static void unlock_bucket(map_layout::Bucket* bucket) noexcept;
  // Finishes or undoes every change that dead writers left half made to `bucket`, as their intents
  // say. Requires: this thread holds the bucket's lock, taken over from a dead holder.
  void repair_bucket(map_layout::Bucket* bucket) const;
  // Resolves intent `record` of process slot `slot` (a writer of generation `generation`) if it is a
  // change of `bucket`. Requires: the bucket's lock.
  void resolve_intent(map_layout::Bucket* bucket, ProcessSlot* slot, std::uint32_t record,
                      std::uint32_t generation) const;
  // The bucket at `offset`, backed, when it is one of the buckets of a published chunk; else null.
  [[nodiscard]] map_layout::Bucket* bucket_at_offset(Offset offset) const;
  // The join rule: joins (and runs) an expansion when the map holds more than two entries per bucket
  // (`count` entries for the first check, element_count under expansion_lock for the second).
  // Returns whether it ran expand(). An expansion that fails leaves the map working at its size.
  // Throws InterruptedWait only (the caller's change is complete; any other failure of the
  // expansion hands it over).
  bool join_if_crowded(std::uint64_t count, std::uint64_t deadline_ns);
  // An insert whose bucket is being moved (N = `chunks_in_use`; its split not done) waits: at its
  // call's first meeting it applies the join rule (and takes part in the doubling when that holds);
  // the next few watch the bucket's mark a moment, since its mover is about to split it; later
  // ones sleep until the doubling ends (the interpreter lock given away) or a slice passes, after
  // which it helps the expansion when that needs it (its failure, such as a heap without room,
  // propagates: the insert is not made). Each runs pending signal handlers and checks the
  // operation's deadline.
  void wait_while_moving(map_layout::Bucket* bucket, std::uint64_t chunks_in_use, std::uint32_t meeting,
                         std::uint64_t deadline_ns);
  struct KeyHold;   // a changing operation's writer record, bucket locks and key (see operations.cpp)
  struct Appended;  // how an insert-like step ended (see operations.cpp)
  template <class Step>
  bool insert_when_not_moving(std::int64_t hash, bool with_sibling, Step step);
  // A get without the bucket lock: the key's bucket read as bucket_version.hpp tells. nullopt when the
  // read does not stand (the caller reads under the lock); else whether the key was found, its value
  // then copied to `sink`. Throws what the sink throws, and what finding the bucket throws.
  std::optional<bool> get_unlocked(const char* key, std::uint64_t key_len, std::int64_t hash, ValueSink& sink);
  // Where the key lives among the buckets `locked` holds (see Found).
  [[nodiscard]] Found find_locked(const LockedBuckets& locked, const char* key, std::uint64_t key_len,
                                  std::int64_t hash) const;

  // ---- Changes under a bucket lock (string_map.cpp) ----
  // The entry of `bucket` that holds the key, with the word that names its page. Requires: the
  // bucket's lock, or `unlocked`, taken before: then the result is torn (Location::is_torn) when a
  // page step finds the bucket changed, and may be torn anyway until unlocked->holds() says not.
  [[nodiscard]] Location find(map_layout::Bucket* bucket, const char* key, std::uint64_t key_len,
                              std::int64_t hash, const map_layout::BucketRead* unlocked = nullptr) const;
  // Appends (key, value, hash) to the bucket after its last page as find() reported it (`absent`),
  // taking every chunk it needs before anything changes; returns an estimate of the element count for
  // the join rule, or 0 when the bucket was empty (such an append never starts an expansion).
  // Requires: the bucket's lock, held since `absent` was found; `writer` held.
  std::uint64_t append_entry(map_layout::Bucket* bucket, const Location& absent, const char* key, const char* value,
                             std::uint64_t key_len, std::uint64_t value_len, std::int64_t hash,
                             const WriterHold& writer);
  // append_entry's ways: the last page again with the entry (or, `on_own_page`, the entry on a page of
  // its own after it: the smallest page), or the entry written in the last page's slack.
  void append_to_new_page(map_layout::Bucket* bucket, const Location& absent, const char* key, const char* value,
                          std::uint64_t key_len, std::uint64_t value_len, std::int64_t hash, std::uint64_t bytes,
                          bool on_own_page, const WriterHold& writer);
  void append_in_slack(map_layout::Bucket* bucket, const map_layout::PageView& last, const char* key,
                       const char* value, std::uint64_t key_len, std::uint64_t value_len, std::int64_t hash,
                       std::uint64_t bytes, const WriterHold& writer);
  // The entry written over a removed entry of the bucket large enough for it; false when none is.
  bool append_in_hole(map_layout::Bucket* bucket, const char* key, const char* value, std::uint64_t key_len,
                      std::uint64_t value_len, std::int64_t hash, std::uint64_t bytes, const WriterHold& writer);
  // Gives the entry at `where` the value bytes. Requires: the bucket's lock, `writer` held.
  void replace_value(map_layout::Bucket* bucket, const Location& where, const char* value,
                     std::uint64_t value_len, const WriterHold& writer);
  // Removes the entry at `where`. Requires: the bucket's lock, `writer` held.
  void remove_at(map_layout::Bucket* bucket, const Location& where, const WriterHold& writer);
  // Removes with a copy of the page holding `rest` (the page's other entries not removed), or by
  // unlinking the page when there are none. Throws HeapExhausted, with nothing changed, when the
  // copy finds no room.
  void remove_with_page(map_layout::Bucket* bucket, const Location& where, const map_layout::LiveEntries& rest,
                        const WriterHold& writer);
  // Removes by marking the entry removed in its page: needs no room in the heap.
  void erase_in_place(map_layout::Bucket* bucket, const Location& where, const WriterHold& writer);
  // The element count as the join rule reads it after an append: exact every few appends,
  // estimated from this object's own appends in between.
  std::uint64_t count_after_append() noexcept;
  // Locks the group `group` of a walk over B*walk_chunks groups (see the walk's note in
  // string_map.cpp): its members, then the siblings of those being split, starting again when N
  // changed meanwhile. Throws WaitRetreat (the locks released) when a later lock waited long
  // enough that signals should be looked at; what lock_bucket throws.
  void lock_group(std::uint64_t walk_chunks, std::uint64_t group, std::uint64_t deadline_ns,
                  HeldBuckets& held) const;
  // Locks group `group` and appends its entries to `batch`. Returns the entries added.
  std::uint64_t walk_one_group(std::uint64_t walk_chunks, std::uint64_t group, std::uint64_t deadline_ns,
                               bool with_keys, bool with_values, WalkBatch& batch);
  // Groups from `group` on that a walk over B*walk_chunks groups may pass unread: buckets of a page
  // nobody ever wrote, while the map has not grown since the walk began (0: read `group`).
  [[nodiscard]] std::uint64_t unread_groups_from(std::uint64_t walk_chunks, std::uint64_t group) const;

  // Expansion steps (map/expansion.cpp). Those that read or change the membership records and the
  // claims require expansion_lock unless they take it.
  struct ExpansionScan {
    std::uint64_t live_members = 0;       // threads of live processes counted in the doubling
    std::uint64_t unfinished_claims = 0;  // claims (of anybody) with buckets left to split
    bool has_orphan = false;              // one of them is a dead process's, or given back:
    map_layout::ExpansionClaim* orphan = nullptr;
  };
  [[nodiscard]] std::byte* map_header_field(std::size_t field) const noexcept;
  [[nodiscard]] std::uint64_t own_generation() const noexcept;
  [[nodiscard]] bool is_record_owner_alive(std::uint32_t slot, std::uint64_t generation) const noexcept;
  [[nodiscard]] ExpansionScan scan_expansion(std::uint64_t chunks_in_use) const;
  // Under expansion_lock: whether the doubling of N under way (if any) needs another participant:
  // its creator died, a claim is orphaned, no live member is left, or (`counting_unclaimed`) old
  // buckets are still unclaimed. `scan` gets the members' scan when there is a doubling.
  [[nodiscard]] bool wants_participant(std::uint64_t chunks_in_use, bool counting_unclaimed,
                                       ExpansionScan& scan) const;
  // Counts this thread in (+1) or out (-1) of its process's membership for the doubling of N.
  void count_member(std::uint64_t chunks_in_use, int change);
  void mirror_workers(std::uint64_t live_members) noexcept;
  // Under expansion_lock: joins when `is_wanted()` holds, the table has room and at most 4096 live
  // participants are inside. The caller then calls expand().
  bool join_expansion(const std::function<bool()>& is_wanted, std::uint64_t deadline_ns);
  // Joins (and runs) the expansion under way when it needs this thread: work is left, a participant
  // or the creator died, or nobody is left to finish it. Returns whether it ran expand().
  bool help_expansion(std::uint64_t deadline_ns);
  // The creator's election and work, or the wait for it. False: the creator rolled back.
  bool await_new_chunks(std::uint64_t chunks_in_use, std::uint64_t deadline_ns);
  void create_new_chunks(std::uint64_t chunks_in_use, std::uint64_t marker);
  void publish_new_chunks(std::uint64_t chunks_in_use, std::uint64_t marker);
  // A dead creator's marker in slot N: finishes its publication, or puts 0 back (true).
  bool reclaim_creation(std::uint64_t chunks_in_use, std::uint64_t marker);
  // Gives writer record `record` a claim to work on; false when no work is left.
  bool take_claim(std::uint64_t chunks_in_use, std::uint32_t record);
  void work_on_claims(std::uint64_t chunks_in_use, std::uint64_t deadline_ns);
  // Counts this thread out and doubles N when nothing is left; with `may_stay`, returns true instead
  // (still counted) when a dead process's claim waits to be split.
  bool leave_expansion(std::uint64_t chunks_in_use, bool may_stay = true);
  struct SplitScratch;  // see expansion.cpp
  void split_bucket(std::uint64_t bucket, std::uint64_t chunks_in_use, const WriterHold& writer,
                    SplitScratch& scratch, std::uint64_t deadline_ns);
  // Under both buckets' locks: hands the entries over (see split_bucket), then says the split is
  // done in the old bucket's mark.
  void move_entries(map_layout::Bucket* old_bucket, map_layout::Bucket* sibling, std::uint64_t split_bit,
                    const WriterHold& writer, SplitScratch& scratch);
  void mark_split_done(map_layout::Bucket* old_bucket, map_layout::Bucket* sibling) const noexcept;
  void relink_split(map_layout::Bucket* old_bucket, map_layout::Bucket* sibling, Offset old_first,
                    const WriterHold& writer);
  // A hint ahead of the split of old bucket `bucket`: asks for its line and its sibling's, or (with
  // `with_page`) for its first entry page.
  void prefetch_split(std::uint64_t bucket, std::uint64_t chunks_in_use, bool with_page) const noexcept;
  // Finishes or undoes a split that a dead writer described in `intent`. Requires: the bucket's lock.
  void repair_split(map_layout::Bucket* bucket, const SlabCacheRecord* writer_caches,
                    map_layout::WriterIntent* intent) const;
  void clear_moving_marks(std::uint64_t chunks_in_use) noexcept;
  [[nodiscard]] bool expansion_is_published(std::uint64_t chunks_in_use) const noexcept;
  // The sibling that `bucket` (number `bucket_number`) is being split into for the current N, when
  // its mark names exactly that sibling; a mark that names anything else is a stale one: null.
  // With `is_split`, also whether the mark says the split is done.
  [[nodiscard]] map_layout::Bucket* marked_sibling(std::uint64_t bucket_number, map_layout::Bucket* bucket,
                                                   std::uint64_t chunks_in_use, bool* is_split = nullptr) const;
  // The address of bucket chunk `chunk` when the table names one; else null.
  [[nodiscard]] std::byte* published_chunk_address(std::uint64_t chunk) const noexcept;

  Allocator base_ = nullptr;
  std::uint8_t string_unit_ = 0;
  FileHandle file_ = platform::invalid_handle;
  MappingHandle mapping_ = platform::invalid_handle;
  std::uint64_t heap_end_ = 0;  // the heap's end: every record lies below it
  std::unique_ptr<std::uint8_t[]> backed_regions_;  // 1 for each region this process has backed
  unsigned backed_region_shift_ = 12;
  std::byte* table_ = nullptr;  // the bucket chunk table in this process
  Offset table_offset_ = Offset::null;
  // Per bucket chunk, its address in this process or null until first looked up (python_malloc,
  // bucket_chunk_number entries; read and filled through atomic_ref by any thread of the process).
  std::byte** chunk_addresses_ = nullptr;
  // How this object reaches the heap's slab chunks, with the limits read when it was opened.
  std::unique_ptr<map_layout::HeapAccess> access_;
  // Per writer record r, its slab caches, recorded in this object's slot. Only the holder of record
  // r uses them, so they take no lock of their own.
  std::unique_ptr<map_layout::ClassCaches> writer_caches_[8];
  unsigned bucket_chunk_shift_ = 0;           // log2(B)
  ProcessTable* process_table_ = nullptr;     // the process table of this object's mapping
  map_layout::SlotRecords* own_records_ = nullptr;  // the map's records in this object's slot
  // The join rule's count: the last exact sum, and the appends this object made since.
  std::uint64_t counted_entries_ = 0;
  std::uint64_t appends_since_count_ = 0;
  std::uint64_t generation_ = 0;  // fork_generation() of the process that made this object
  std::uint64_t lock_timeout_ns_ = 0;  // see set_lock_timeout
  bool optimistic_reads_ = true;       // see set_optimistic_reads

  friend bool python_expansion_helper_string(std::string& name, std::size_t target_length);
};

// Opens the map at `name` (must not be empty: invalid_argument) and joins an expansion when it has
// fewer than `target_length` bucket chunks, checked under expansion_lock together with the join.
// Returns whether the map has at least `target_length` bucket chunks when it is done.
// GIL: held while an interpreter runs; the waits give it away.
bool python_expansion_helper_string(std::string& name, std::size_t target_length);

}  // namespace corvana
