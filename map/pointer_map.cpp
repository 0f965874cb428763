// ConcurrentHashMap_pointer: construction, the data operations, expansion, destruction.
//
// Invariants (with the bucket's lock held unless stated):
// - every bucket in use has a head link; its list owns link_count >= max(1, ceil(length / 2)) links
//   chained through `next` from head (the next of the last one may point anywhere);
// - entries 0 .. length-1 each own one reference to their key and one to their value; records past
//   the length own nothing;
// - an entry lies in bucket hash mod (B * N) once no expansion runs; while the expansion from N runs,
//   an entry of old bucket i lies in i or, once i has been moved, in its sibling i + B * N;
// - a moving mark is set only by the mover of its bucket, before it takes the bucket's lock, and is
//   cleared only by the last participant of that expansion, under expansion_lock;
// - chunk slot N holds null before the expansion from N, the marker while its creator works, and
//   chunk N once the new chunks, their buckets and migration_cursor are ready (publication).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "map/map_texts.hpp"
#include "map/pointer_map.hpp"
#include "map/python_ref.hpp"

namespace corvana {

struct PointerMapLife {
  std::atomic<bool> is_destroyed{false};
};

namespace {

using python::OwnedRef;

constexpr char invalid_name_text[] = "invalid stoll argument";
constexpr char name_out_of_range_text[] = "stoll argument out of range";
constexpr char stale_name_text[] = "old quillmoor is impossible to open!";
constexpr char offset_overflow_text[] = "offset overflow!";
constexpr char destroyed_text[] = "the map has been destroyed!";
constexpr char reentry_text[] =
    "a pointer-keyed map cannot be used from a key comparison that holds one of its bucket locks!";

// Bucket locks of pointer-keyed maps held by this thread. Non-zero while a key comparison runs.
thread_local std::uint32_t bucket_locks_held = 0;

// A call from Python code that runs under one of this thread's bucket locks would wait for a lock
// its own thread holds (or take a second lock out of order): refuse it.
void refuse_reentry() {
  if (bucket_locks_held != 0) {
    throw std::runtime_error(reentry_text);
  }
}

// One wait between two looks at something another thread of this process will change: sleeps 1 ms
// with the interpreter lock given away, except while the interpreter finalizes (then the lock
// cannot be handed around, and the caller looks again at once).
void wait_step() noexcept {
  if (!interpreter_is_finalizing()) {
    sleep_wait_step();
  }
}

// Holds a bucket's lock word and counts it in bucket_locks_held. Waits sleep with the interpreter
// lock given away, so the holder can always run its key comparison to the end.
class BucketLock {
 public:
  explicit BucketLock(PointerBucket* bucket) noexcept : guard_(&bucket->lock, LockRank::bucket) {
    ++bucket_locks_held;
  }
  ~BucketLock() { unlock(); }
  BucketLock(const BucketLock&) = delete;
  BucketLock& operator=(const BucketLock&) = delete;
  void unlock() noexcept {
    if (guard_.is_held()) {
      guard_.unlock();
      --bucket_locks_held;
    }
  }

 private:
  LockWordGuard guard_;
};

// The moving mark of a bucket, the one atomic view of that word.
[[nodiscard]] std::atomic_ref<PointerBucket*> moving_to_word(PointerBucket* bucket) noexcept {
  return std::atomic_ref<PointerBucket*>(bucket->moving_to);
}

// Keeps the first error raised by a key comparison of one operation, so that no later comparison
// runs with an error set, and leaves it pending for the caller when the operation ends. Declared
// before every lock and reference of the operation, so it is restored last.
class ComparisonErrors {
 public:
  ComparisonErrors() noexcept = default;
  ~ComparisonErrors() {
    if (has_error_) {
      PyErr_Restore(type_, value_, traceback_);
    }
  }
  ComparisonErrors(const ComparisonErrors&) = delete;
  ComparisonErrors& operator=(const ComparisonErrors&) = delete;
  // Takes the error that is set now: the first one is kept, later ones are discarded.
  void keep_current() noexcept {
    if (has_error_) {
      PyErr_Clear();
      return;
    }
    PyErr_Fetch(&type_, &value_, &traceback_);
    has_error_ = true;
  }

 private:
  bool has_error_ = false;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Whether `entry` holds `key`: equal hash, then Python equality of the stored key with `key`.
// A comparison that raises counts as not equal; its error goes to `errors`.
// Requires: the entry's bucket lock is held. It stays held while __eq__ runs; __eq__ may release the
// interpreter lock (other threads then run, and wait for this bucket if they need it), and a call
// from it into any pointer-keyed map is refused (runtime_error, which counts as a failed comparison).
[[nodiscard]] bool keys_equal(const PointerEntry& entry, PyObject* key, std::int64_t hash,
                              ComparisonErrors& errors) {
  if (entry.hash != hash) {
    return false;
  }
  const int result = PyObject_RichCompareBool(entry.key, key, Py_EQ);
  if (result < 0) {
    errors.keep_current();
    return false;
  }
  return result == 1;
}

[[nodiscard]] PointerEntry* records_of(const LocalLink* link) noexcept {
  return reinterpret_cast<PointerEntry*>(link->data);
}

[[nodiscard]] LocalLink* walk_links(LocalLink* link, std::uint64_t steps) noexcept {
  for (std::uint64_t step = 0; step < steps; ++step) {
    link = link->next;
  }
  return link;
}

// Links a list of `length` entries needs: ceil(length / 2), at least the head link.
[[nodiscard]] constexpr std::uint64_t links_for_entries(std::uint64_t length) noexcept {
  return std::max<std::uint64_t>(1, length / pointer_entries_per_link + length % pointer_entries_per_link);
}

[[nodiscard]] const std::out_of_range& offset_overflow_exception() {
  static const std::out_of_range exception(offset_overflow_text);
  return exception;
}

// Walks the entries of one list. Requires: the list's bucket lock is held and the list has entries.
class EntryCursor {
 public:
  explicit EntryCursor(const PointerList& list) noexcept : list_(list), link_(list.head) {}
  [[nodiscard]] PointerEntry& entry() const noexcept {
    return records_of(link_)[index_ % pointer_entries_per_link];
  }
  [[nodiscard]] LocalLink* link() const noexcept { return link_; }
  [[nodiscard]] std::uint64_t index() const noexcept { return index_; }
  [[nodiscard]] bool is_last() const noexcept { return index_ + 1 >= list_.length; }
  // Moves from entry i to i + 1. Throws: out_of_range "offset overflow!" past the last entry.
  void advance() {
    if (is_last()) {
      throw offset_overflow_exception();
    }
    ++index_;
    if (index_ % pointer_entries_per_link == 0) {
      link_ = link_->next;
    }
  }

 private:
  const PointerList& list_;
  LocalLink* link_;
  std::uint64_t index_ = 0;
};

// The first entry of `list` whose key equals `key`, or null. Requires: the list's bucket lock.
[[nodiscard]] PointerEntry* find_first(const PointerList& list, PyObject* key, std::int64_t hash,
                                       ComparisonErrors& errors) {
  if (list.length == 0) {
    return nullptr;
  }
  for (EntryCursor cursor(list);; cursor.advance()) {
    if (keys_equal(cursor.entry(), key, hash, errors)) {
      return &cursor.entry();
    }
    if (cursor.is_last()) {
      return nullptr;
    }
  }
}

void require_head(const PointerBucket* bucket) {
  if (bucket->entries.head == nullptr) {
    throw std::runtime_error(map_texts::empty_chunks);
  }
}

// Frees the links a list owns (link_count of them, at least its head). The entries' references are
// not touched.
void free_list_links(PointerList& list) noexcept {
  LocalLink* link = list.head;
  const std::uint64_t count = std::max<std::uint64_t>(list.link_count, 1);
  for (std::uint64_t index = 0; index < count && link != nullptr; ++index) {
    LocalLink* next = link->next;
    python_free(link);
    link = next;
  }
  list.head = nullptr;
  list.link_count = 0;
  list.length = 0;
}

// Process-wide registry of the live creating objects, by name. A name is resolved only through it,
// so a name that does not belong to a live map of this process is never dereferenced.
struct LiveMaps {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, ConcurrentHashMap_pointer*> creators;
};

// Key of the registry in the interpreter's dictionary for extension state. Every extension module
// that links the map layer holds its own copy of this code (modules keep their symbols private), so
// the registry is kept where all copies find the same one. The version names the LiveMaps layout.
constexpr char live_maps_capsule_name[] = "corvana.map.pointer_map.live_maps.v1";

[[nodiscard]] LiveMaps* find_shared_live_maps() noexcept {
  if (Py_IsInitialized() == 0) {
    return nullptr;
  }
  // Leaves the caller's pending error (if any) as it found it.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  LiveMaps* maps = nullptr;
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
  if (state != nullptr) {
    PyObject* capsule = PyDict_GetItemString(state, live_maps_capsule_name);  // borrowed
    if (capsule != nullptr) {
      maps = static_cast<LiveMaps*>(PyCapsule_GetPointer(capsule, live_maps_capsule_name));
    } else {
      auto* fresh = new (std::nothrow) LiveMaps();
      const OwnedRef made =
          OwnedRef::steal(fresh == nullptr ? nullptr : PyCapsule_New(fresh, live_maps_capsule_name, nullptr));
      if (made.get() != nullptr && PyDict_SetItemString(state, live_maps_capsule_name, made.get()) == 0) {
        maps = fresh;  // never freed: maps may be created and destroyed until the process ends
      } else {
        delete fresh;
      }
    }
  }
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  return maps;
}

// Requires: the interpreter lock, when an interpreter runs.
LiveMaps& live_maps() {
  static LiveMaps* shared = nullptr;  // guarded by the interpreter lock
  if (shared == nullptr) {
    shared = find_shared_live_maps();
  }
  if (shared != nullptr) {
    return *shared;
  }
  static LiveMaps* const own = new LiveMaps();  // without an interpreter: this module's own registry
  return *own;
}

// The name as strtoll reads it in base 10: leading white space and a sign accepted, reading stops at
// the first non-digit.
[[nodiscard]] std::uintptr_t parse_name(const std::string& name) {
  const char* text = name.c_str();
  char* end = nullptr;
  errno = 0;
  const long long number = std::strtoll(text, &end, 10);
  if (end == text) {
    throw std::invalid_argument(invalid_name_text);
  }
  if (errno == ERANGE) {
    throw std::out_of_range(name_out_of_range_text);
  }
  return static_cast<std::uintptr_t>(number);
}

using OwnedBlock = std::unique_ptr<void, PythonFree>;

[[nodiscard]] std::uint64_t* make_cell(std::uint64_t initial, OwnedBlock& owner) {
  void* block = python_malloc(sizeof(std::uint64_t));
  if (block == nullptr) {
    throw std::runtime_error(std::strerror(errno));
  }
  owner.reset(block);
  auto* cell = static_cast<std::uint64_t*>(block);
  *cell = initial;
  return cell;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction and destruction

ConcurrentHashMap_pointer::ConcurrentHashMap_pointer(std::string& name, std::uint8_t bucket_chunk_size_exponent,
                                                     std::size_t bucket_chunk_number) {
  bucket_chunk_number_ = bucket_chunk_number;
  bucket_chunk_size_ = std::uint64_t{1} << (bucket_chunk_size_exponent & 63);
  if (bucket_chunk_number == 0) {
    throw std::invalid_argument(map_texts::bucket_chunk_number);
  }
  if (name.empty()) {
    create_map(name);
  } else {
    open_map(name);
  }
}

void ConcurrentHashMap_pointer::create_map(std::string& name) {
  refuse_reentry();
  if (bucket_chunk_number_ > std::numeric_limits<std::size_t>::max() / sizeof(PointerBucket*)) {
    throw std::runtime_error(map_texts::python_malloc_failed);
  }
  OwnedBlock addresses(python_malloc(bucket_chunk_number_ * sizeof(PointerBucket*)));
  if (addresses == nullptr) {
    throw std::runtime_error(map_texts::python_malloc_failed);
  }
  std::memset(addresses.get(), 0, bucket_chunk_number_ * sizeof(PointerBucket*));
  chunk_addresses_ = static_cast<PointerBucket**>(addresses.get());
  block_cache_ = std::make_unique<LocalChunkCache>(pointer_entries_per_link);

  struct ChunkOwner {  // gives chunk 0 back if a later step fails
    ConcurrentHashMap_pointer* map;
    PointerBucket* chunk;
    ~ChunkOwner() {
      if (chunk != nullptr) map->release_bucket_chunk(chunk);
    }
  } chunk_zero{this, nullptr};
  try {
    chunk_zero.chunk = make_bucket_chunk();

    OwnedBlock in_use_cell, workers_cell, lock_cell, cursor_cell, count_cell;
    bucket_chunk_in_use_ = make_cell(1, in_use_cell);
    expansion_workers_ = make_cell(0, workers_cell);
    expansion_lock_ = make_cell(lock_word_free, lock_cell);
    migration_cursor_ = make_cell(0, cursor_cell);
    element_count_ = make_cell(0, count_cell);
    life_ = std::make_shared<PointerMapLife>();
    name_key_ = reinterpret_cast<std::uintptr_t>(this);
    std::string own_name = std::to_string(name_key_);
    {
      LiveMaps& maps = live_maps();
      std::lock_guard<std::mutex> guard(maps.mutex);
      maps.creators[name_key_] = this;
    }
    // Nothing can fail from here on: the map owns what was allocated.
    chunk_addresses_[0] = std::exchange(chunk_zero.chunk, nullptr);
    static_cast<void>(addresses.release());
    for (OwnedBlock* cell : {&in_use_cell, &workers_cell, &lock_cell, &cursor_cell, &count_cell}) {
      static_cast<void>(cell->release());
    }
    name.swap(own_name);
  } catch (...) {
    chunk_addresses_ = nullptr;
    bucket_chunk_in_use_ = expansion_workers_ = expansion_lock_ = migration_cursor_ = element_count_ = nullptr;
    throw;
  }
}

void ConcurrentHashMap_pointer::open_map(const std::string& name) {
  refuse_reentry();
  const std::uintptr_t key = parse_name(name);
  {
    LiveMaps& maps = live_maps();
    std::lock_guard<std::mutex> guard(maps.mutex);
    const auto found = maps.creators.find(key);
    if (found == maps.creators.end()) {
      throw std::runtime_error(stale_name_text);
    }
    const ConcurrentHashMap_pointer& creator = *found->second;
    bucket_chunk_size_ = creator.bucket_chunk_size_;
    bucket_chunk_number_ = creator.bucket_chunk_number_;
    chunk_addresses_ = creator.chunk_addresses_;
    bucket_chunk_in_use_ = creator.bucket_chunk_in_use_;
    expansion_workers_ = creator.expansion_workers_;
    expansion_lock_ = creator.expansion_lock_;
    migration_cursor_ = creator.migration_cursor_;
    element_count_ = creator.element_count_;
    life_ = creator.life_;
  }
  name_key_ = key;
  block_cache_ = std::make_unique<LocalChunkCache>(pointer_entries_per_link);
  // Opening puts B links into the new object's own cache, as many as a bucket chunk takes.
  block_cache_->fill(bucket_chunk_size_);
}

ConcurrentHashMap_pointer::~ConcurrentHashMap_pointer() {
  {
    LiveMaps& maps = live_maps();
    std::lock_guard<std::mutex> guard(maps.mutex);
    const auto found = maps.creators.find(name_key_);
    if (found != maps.creators.end() && found->second == this) {
      maps.creators.erase(found);
    }
  }
  block_cache_.reset();
}

void ConcurrentHashMap_pointer::destroy() {
  refuse_reentry();
  // acq_rel: exactly one call releases the map, and every later look at the flag sees that it did
  if (life_ == nullptr || life_->is_destroyed.exchange(true, std::memory_order_acq_rel)) {
    return;
  }
  {
    LiveMaps& maps = live_maps();
    std::lock_guard<std::mutex> guard(maps.mutex);
    const auto found = maps.creators.find(name_key_);
    if (found != maps.creators.end() && found->second->life_ == life_) {
      maps.creators.erase(found);
    }
  }
  const std::uint64_t chunks = bucket_chunk_in_use();
  for (std::uint64_t chunk = 0; chunk < chunks && chunk < bucket_chunk_number_; ++chunk) {
    PointerBucket* buckets = chunk_slot(chunk).load(std::memory_order_acquire);
    if (buckets != nullptr) {
      release_bucket_chunk(buckets);
    }
  }
  python_free(chunk_addresses_);
  for (std::uint64_t* cell : {bucket_chunk_in_use_, expansion_workers_, expansion_lock_, migration_cursor_,
                              element_count_}) {
    python_free(cell);
  }
  chunk_addresses_ = nullptr;
  bucket_chunk_in_use_ = expansion_workers_ = expansion_lock_ = migration_cursor_ = element_count_ = nullptr;
}

bool ConcurrentHashMap_pointer::is_destroyed() const noexcept {
  // acquire: pairs with destroy's exchange
  return life_ == nullptr || life_->is_destroyed.load(std::memory_order_acquire);
}

void ConcurrentHashMap_pointer::check_usable() const {
  refuse_reentry();
  if (is_destroyed()) {
    throw std::runtime_error(destroyed_text);
  }
}

// ---------------------------------------------------------------------------------------------
// Bucket chunks

std::atomic_ref<PointerBucket*> ConcurrentHashMap_pointer::chunk_slot(std::uint64_t chunk) const noexcept {
  return std::atomic_ref<PointerBucket*>(chunk_addresses_[chunk]);
}

PointerBucket* ConcurrentHashMap_pointer::bucket_at(std::uint64_t index) const noexcept {
  // acquire: chunks below N were published (by the doubling or the constructor) before N was read
  return chunk_slot(index / bucket_chunk_size_).load(std::memory_order_acquire) + index % bucket_chunk_size_;
}

PointerBucket* ConcurrentHashMap_pointer::chunk_marker() const noexcept {
  // Chunk 0 lives as long as the map, so its address is never the address of another chunk.
  return chunk_slot(0).load(std::memory_order_relaxed);  // relaxed: written once, before any sharing
}

PointerBucket* ConcurrentHashMap_pointer::make_bucket_chunk() {
  const std::uint64_t buckets = bucket_chunk_size_;
  if (buckets > std::numeric_limits<std::size_t>::max() / sizeof(PointerBucket)) {
    throw std::runtime_error(map_texts::python_malloc_failed);
  }
  auto* chunk = static_cast<PointerBucket*>(python_malloc(buckets * sizeof(PointerBucket)));
  if (chunk == nullptr) {
    throw std::runtime_error(map_texts::python_malloc_failed);
  }
  LocalLink* link = nullptr;
  try {
    link = block_cache_->take(buckets);
  } catch (...) {
    python_free(chunk);
    throw;
  }
  for (std::uint64_t index = 0; index < buckets; ++index) {
    PointerBucket& bucket = chunk[index];
    std::memset(&bucket, 0, sizeof(PointerBucket));
    bucket.entries.head = link;
    bucket.entries.link_count = 1;
    bucket.entries.unit = pointer_entries_per_link;
    if (index + 1 < buckets) {
      link = link->next;
    }
  }
  return chunk;
}

void ConcurrentHashMap_pointer::release_bucket_chunk(PointerBucket* chunk) noexcept {
  for (std::uint64_t index = 0; index < bucket_chunk_size_; ++index) {
    free_list_links(chunk[index].entries);
  }
  python_free(chunk);
}

// ---------------------------------------------------------------------------------------------
// Data operations

void ConcurrentHashMap_pointer::insert(PyObject* key, PyObject* value, std::int64_t hash) {
  check_usable();
  ComparisonErrors errors;
  OwnedRef replaced_value;  // dropped after the bucket lock is released
  bool may_join = true;
  for (;;) {
    const std::uint64_t chunks = bucket_chunk_in_use();
    PointerBucket* bucket = bucket_at(static_cast<std::uint64_t>(hash) % (bucket_chunk_size_ * chunks));
    BucketLock lock(bucket);
    // acquire (both): a mark that was cleared after a doubling implies that the doubled N is seen
    PointerBucket* moving = moving_to_word(bucket).load(std::memory_order_acquire);
    if (bucket_chunk_in_use() != chunks) {
      continue;  // chosen with a stale N
    }
    if (moving != nullptr) {
      // The bucket is being moved: wait for the expansion to end, helping it once per call.
      lock.unlock();
      if (std::exchange(may_join, false) && has_room_to_double() &&
          enter_expansion([this] { return is_crowded(); })) {
        expand();
        continue;
      }
      wait_step();
      continue;
    }
    require_head(bucket);
    PointerList& list = bucket->entries;
    if (list.length != 0) {
      EntryCursor cursor(list);
      for (;; cursor.advance()) {
        PointerEntry& entry = cursor.entry();
        if (keys_equal(entry, key, hash, errors)) {
          replaced_value = OwnedRef::steal(std::exchange(entry.value, Py_NewRef(value)));
          lock.unlock();
          return;  // replaced_value is dropped now, outside the lock
        }
        if (cursor.is_last()) {
          break;
        }
      }
      // Append after the cursor's entry. The link is taken before the list changes, so a failure
      // leaves the bucket as it was.
      LocalLink* target = cursor.link();
      if (list.length % pointer_entries_per_link == 0) {
        if (list.length / pointer_entries_per_link == list.link_count) {
          LocalLink* fresh = block_cache_->take(1);
          target->next = fresh;
          ++list.link_count;
        }
        target = target->next;
      }
      records_of(target)[list.length % pointer_entries_per_link] = PointerEntry{key, value, hash};
    } else {
      records_of(list.head)[0] = PointerEntry{key, value, hash};
    }
    Py_INCREF(key);
    Py_INCREF(value);
    const bool was_empty = list.length == 0;
    ++list.length;
    // relaxed: element_count is a statistic (it decides when to expand); nothing is published by it
    count_word().fetch_add(1, std::memory_order_relaxed);
    lock.unlock();
    if (!was_empty) {
      join_if_crowded();
    }
    return;
  }
}

bool ConcurrentHashMap_pointer::is_crowded() const noexcept {
  return 2 * bucket_chunk_size_ * bucket_chunk_in_use() < element_count();
}

void ConcurrentHashMap_pointer::join_if_crowded() {
  // Checked first without expansion_lock, so that a full table does not make every append take it.
  if (is_crowded() && has_room_to_double() && enter_expansion([this] { return is_crowded(); })) {
    expand();
  }
}

// The buckets a search of one key must read, locked: the key's bucket chosen with the current N
// and, while an expansion moves that bucket, its sibling. Destroyed after the search, which
// releases the sibling first and then the bucket.
struct PointerSearchLocks {
  std::optional<BucketLock> bucket_lock;
  std::optional<BucketLock> sibling_lock;
  PointerBucket* bucket = nullptr;
  PointerBucket* sibling = nullptr;  // null unless the bucket is being moved
};

// Lock order: the old bucket, then its sibling (ascending bucket numbers). Starts again whenever N
// changed between the choice of the bucket and its lock, or a later expansion has marked the
// sibling or finished meanwhile: entries may then have moved further than the sibling.
void ConcurrentHashMap_pointer::lock_for_search(std::int64_t hash, PointerSearchLocks& locked) const {
  for (;;) {
    locked.sibling_lock.reset();
    locked.bucket_lock.reset();
    const std::uint64_t chunks = bucket_chunk_in_use();
    PointerBucket* bucket = bucket_at(static_cast<std::uint64_t>(hash) % (bucket_chunk_size_ * chunks));
    locked.bucket_lock.emplace(bucket);
    // acquire: as in insert
    PointerBucket* sibling = moving_to_word(bucket).load(std::memory_order_acquire);
    if (bucket_chunk_in_use() != chunks) {
      continue;
    }
    if (sibling != nullptr) {
      locked.sibling_lock.emplace(sibling);
      const PointerBucket* later_mark = moving_to_word(sibling).load(std::memory_order_acquire);
      const std::uint64_t chunks_now = bucket_chunk_in_use();
      if (later_mark != nullptr || (chunks_now != chunks && chunks_now != 2 * chunks)) {
        continue;
      }
      require_head(sibling);
    }
    require_head(bucket);
    locked.bucket = bucket;
    locked.sibling = sibling;
    return;
  }
}

bool ConcurrentHashMap_pointer::get(PyObject* key, std::int64_t hash, PyObject*& value) {
  check_usable();
  ComparisonErrors errors;
  PointerSearchLocks locked;
  lock_for_search(hash, locked);
  PointerEntry* found = find_first(locked.bucket->entries, key, hash, errors);
  if (found == nullptr && locked.sibling != nullptr) {
    found = find_first(locked.sibling->entries, key, hash, errors);
  }
  if (found == nullptr) {
    return false;
  }
  value = found->value;
  return true;
}

bool ConcurrentHashMap_pointer::remove(PyObject* key, std::int64_t hash) {
  check_usable();
  ComparisonErrors errors;
  OwnedRef removed_key, removed_value;  // dropped after the bucket locks are released
  PointerSearchLocks locked;
  lock_for_search(hash, locked);
  for (PointerBucket* searched : {locked.bucket, locked.sibling}) {
    if (searched == nullptr) {
      break;
    }
    PointerList& list = searched->entries;
    if (list.length == 0) {
      continue;
    }
    // Every entry is compared; the last equal one is removed.
    PointerEntry* found = nullptr;
    EntryCursor cursor(list);
    for (;; cursor.advance()) {
      if (keys_equal(cursor.entry(), key, hash, errors)) {
        found = &cursor.entry();
      }
      if (cursor.is_last()) {
        break;
      }
    }
    if (found == nullptr) {
      continue;
    }
    // The last entry fills the hole; its old slot is cleared.
    PointerEntry& last = cursor.entry();
    removed_key = OwnedRef::steal(found->key);
    removed_value = OwnedRef::steal(found->value);
    *found = last;
    last = PointerEntry{nullptr, nullptr, 0};
    const std::uint64_t old_length = list.length;
    list.length = old_length - 1;
    const std::uint64_t kept_links = links_for_entries(list.length);
    LocalLink* surplus = nullptr;
    std::uint64_t surplus_count = 0;
    if (list.link_count > kept_links) {
      // The cursor's link is link (old_length - 1) / 2: the first surplus link is either it or the
      // one after it.
      const std::uint64_t cursor_link_index = (old_length - 1) / pointer_entries_per_link;
      surplus = kept_links == cursor_link_index ? cursor.link() : walk_links(cursor.link(), kept_links - cursor_link_index);
      surplus_count = list.link_count - kept_links;
      list.link_count = kept_links;
    }
    // relaxed: a statistic, as in insert
    count_word().fetch_sub(1, std::memory_order_relaxed);
    if (surplus_count != 0) {
      block_cache_->give_back(surplus_count, surplus);  // the list is consistent already
    }
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Expansion

void ConcurrentHashMap_pointer::python_expansion_helper(std::size_t n) {
  check_usable();
  ConcurrentHashMap_base<false>::python_expansion_helper(n);
}

void python_expansion_helper_pointer(std::string& name, std::size_t target_length) {
  refuse_reentry();
  if (name.empty()) {
    // An empty name would create a new map rather than open one.
    throw std::invalid_argument(invalid_name_text);
  }
  ConcurrentHashMap_pointer map(name, 2, 2);
  map.check_usable();
  if (map.enter_expansion([&map, target_length] { return map.bucket_chunk_in_use() < target_length; })) {
    map.expand();
  }
}

void ConcurrentHashMap_pointer::expand() {
  if (is_destroyed()) {
    throw std::runtime_error(destroyed_text);
  }
  const std::uint64_t chunks = bucket_chunk_in_use();
  if (bucket_locks_held != 0) {
    // Called from a key comparison: leave at once, as if never joined, and refuse.
    abandon_expansion(chunks);
    throw std::runtime_error(reentry_text);
  }
  // This participant is counted in expansion_workers, so N cannot double before it leaves.
  if (chunks > bucket_chunk_number_ / 2) {
    abandon_expansion(chunks);  // the table has no room: joins never get here (enter_expansion checks)
    return;
  }
  PointerBucket* const marker = chunk_marker();
  for (;;) {
    // acquire: once chunk N is seen, the new chunks and migration_cursor are seen too
    PointerBucket* seen = chunk_slot(chunks).load(std::memory_order_acquire);
    if (seen == nullptr) {
      // relaxed on success: the creator publishes with its own release; acquire on failure, as above
      if (chunk_slot(chunks).compare_exchange_strong(seen, marker, std::memory_order_relaxed,
                                                     std::memory_order_acquire)) {
        try {
          create_new_chunks(chunks);
        } catch (...) {
          abandon_expansion(chunks);
          throw;
        }
        break;
      }
      continue;
    }
    if (seen == marker) {
      wait_step();  // the creator is at work
      continue;
    }
    break;  // published: the work of this expansion is claimable (or already all claimed)
  }
  const std::uint64_t old_buckets_end = bucket_chunk_size_ * chunks;
  for (;;) {
    // relaxed: claims only need to be disjoint; what they cover was published through chunk N
    const auto cursor = static_cast<std::int64_t>(cursor_word().fetch_sub(buckets_per_claim, std::memory_order_relaxed));
    if (cursor < 0) {
      break;
    }
    const ClaimedBuckets claimed = claim_from(cursor);
    for (std::uint64_t index = claimed.first; index < claimed.end && index < old_buckets_end; ++index) {
      move_bucket(index, chunks);
    }
  }
  leave_expansion([this, chunks] { clear_moving_marks(chunks); });
}

void ConcurrentHashMap_pointer::create_new_chunks(std::uint64_t chunks) {
  // Chunk N stays private until it is published; slots N+1 .. 2N-1 are read by nobody before that.
  PointerBucket* first_new = nullptr;
  std::uint64_t made = 0;
  try {
    first_new = make_bucket_chunk();
    made = 1;
    for (std::uint64_t chunk = chunks + 1; chunk < 2 * chunks; ++chunk) {
      // relaxed: published by the release store of slot N below
      chunk_slot(chunk).store(make_bucket_chunk(), std::memory_order_relaxed);
      ++made;
    }
  } catch (...) {
    // Undo, so that another participant can create the chunks later.
    if (first_new != nullptr) {
      release_bucket_chunk(first_new);
    }
    for (std::uint64_t chunk = chunks + 1; chunk < chunks + made; ++chunk) {
      release_bucket_chunk(chunk_slot(chunk).exchange(nullptr, std::memory_order_relaxed));
    }
    // release: the undone slots are seen before a new creator can be elected
    chunk_slot(chunks).store(nullptr, std::memory_order_release);
    throw;
  }
  // relaxed: published by the release store of slot N below
  cursor_word().store(static_cast<std::uint64_t>(bucket_chunk_size_ * chunks - 1), std::memory_order_relaxed);
  // release: the new chunks, their buckets and the cursor happen-before any use through chunk N
  chunk_slot(chunks).store(first_new, std::memory_order_release);
}

void ConcurrentHashMap_pointer::move_bucket(std::uint64_t index, std::uint64_t chunks) {
  const std::uint64_t chunk = index / bucket_chunk_size_;
  const std::uint64_t position = index % bucket_chunk_size_;
  PointerBucket* old_bucket = chunk_slot(chunk).load(std::memory_order_acquire) + position;
  // acquire: the new chunks were published through chunk N, which this participant has seen
  PointerBucket* sibling = chunk_slot(chunks + chunk).load(std::memory_order_acquire) + position;
  // Marked before its lock is taken: an insert that takes the lock after us backs off.
  // release: pairs with the acquire of the operations that read the mark under the bucket's lock
  moving_to_word(old_bucket).store(sibling, std::memory_order_release);
  const std::uint64_t split_bit = bucket_chunk_size_ * chunks;
  for (;;) {
    BucketLock lock(old_bucket);
    require_head(old_bucket);
    require_head(sibling);
    PointerList& from = old_bucket->entries;
    PointerList& to = sibling->entries;
    if (from.length == 0) {
      return;
    }
    std::uint64_t moving_count = 0;
    for (EntryCursor cursor(from);; cursor.advance()) {
      moving_count += (static_cast<std::uint64_t>(cursor.entry().hash) & split_bit) != 0 ? 1 : 0;
      if (cursor.is_last()) {
        break;
      }
    }
    if (moving_count == 0) {
      return;
    }
    // Every link the sibling needs is taken before either list changes.
    const std::uint64_t needed_links = links_for_entries(to.length + moving_count);
    const std::uint64_t new_links = needed_links > to.link_count ? needed_links - to.link_count : 0;
    LocalLink* run = nullptr;
    if (new_links != 0) {
      try {
        run = block_cache_->take(new_links);
      } catch (const std::runtime_error&) {
        // The claimed bucket must be moved for the expansion to end: wait for memory and try again.
        lock.unlock();
        wait_step();
        continue;
      }
    }
    // One pass: moving entries are appended to the sibling in order, staying entries are compacted
    // in place in order. Slot k is read before anything is written to it (writes go to w <= k).
    std::uint64_t to_index = to.length;
    std::uint64_t to_link_index = std::min(to_index / pointer_entries_per_link, to.link_count - 1);
    LocalLink* to_link = walk_links(to.head, to_link_index);
    std::uint64_t write_index = 0;
    LocalLink* write_link = from.head;
    LocalLink* read_link = from.head;
    for (std::uint64_t read_index = 0; read_index < from.length; ++read_index) {
      if (read_index != 0 && read_index % pointer_entries_per_link == 0) {
        read_link = read_link->next;
      }
      const PointerEntry entry = records_of(read_link)[read_index % pointer_entries_per_link];
      if ((static_cast<std::uint64_t>(entry.hash) & split_bit) != 0) {
        while (to_link_index < to_index / pointer_entries_per_link) {
          if (to_link_index + 1 < to.link_count) {
            to_link = to_link->next;
          } else {
            to_link->next = run;
            to_link = run;
            run = run->next;
            ++to.link_count;
          }
          ++to_link_index;
        }
        records_of(to_link)[to_index % pointer_entries_per_link] = entry;
        ++to_index;
        continue;
      }
      if (write_index != read_index) {
        records_of(write_link)[write_index % pointer_entries_per_link] = entry;
      }
      ++write_index;
      if (write_index % pointer_entries_per_link == 0 && write_index < from.length) {
        write_link = write_link->next;
      }
    }
    to.length = to_index;
    from.length = write_index;  // its links stay with it; remove gives surplus links back later
    return;
  }
}

void ConcurrentHashMap_pointer::abandon_expansion(std::uint64_t chunks) noexcept {
  // Leaves without having claimed anything. When this is the last participant and the expansion's
  // work was published, every claim has been completed by the participants that left before, so
  // the expansion is finished as usual; when nothing was published (a creator that rolled back),
  // the map keeps its size.
  const auto is_done = [this, chunks] {
    const PointerBucket* published = chunk_slot(chunks).load(std::memory_order_acquire);
    return published != nullptr && published != chunk_marker() && bucket_chunk_in_use() == chunks;
  };
  leave_expansion(is_done, [this, chunks] { clear_moving_marks(chunks); });
}

void ConcurrentHashMap_pointer::clear_moving_marks(std::uint64_t old_chunks) noexcept {
  // Only old buckets are ever marked. Runs under expansion_lock, so no next expansion marks a
  // bucket before this ends.
  for (std::uint64_t chunk = 0; chunk < old_chunks; ++chunk) {
    PointerBucket* buckets = chunk_slot(chunk).load(std::memory_order_acquire);
    for (std::uint64_t position = 0; position < bucket_chunk_size_; ++position) {
      // release: whoever sees the cleared mark also sees the doubled N
      moving_to_word(buckets + position).store(nullptr, std::memory_order_release);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Diagnostics

ConcurrentHashMap_pointer::CheckSummary ConcurrentHashMap_pointer::check() {
  check_usable();
  const std::uint64_t chunks = bucket_chunk_in_use();
  const std::uint64_t bucket_count = bucket_chunk_size_ * chunks;
  CheckSummary summary{0, bucket_count, 0};
  const auto fail = [](std::uint64_t index, const std::string& what) {
    throw std::logic_error("bucket " + std::to_string(index) + ": " + what);
  };
  for (std::uint64_t index = 0; index < bucket_count; ++index) {
    PointerBucket* bucket = bucket_at(index);
    BucketLock lock(bucket);
    const PointerList& list = bucket->entries;
    if (list.head == nullptr) fail(index, "no head link");
    if (moving_to_word(bucket).load(std::memory_order_acquire) != nullptr) fail(index, "moving mark left set");
    if (list.unit != pointer_entries_per_link) fail(index, "unit is not 2");
    if (list.link_count < links_for_entries(list.length)) {
      fail(index, "length " + std::to_string(list.length) + " exceeds its " + std::to_string(list.link_count) +
                      " links");
    }
    if (list.length != 0) {
      for (EntryCursor cursor(list);; cursor.advance()) {
        const PointerEntry& entry = cursor.entry();
        if (entry.key == nullptr || entry.value == nullptr) fail(index, "entry without key or value");
        const std::uint64_t home = static_cast<std::uint64_t>(entry.hash) % bucket_count;
        if (home != index) fail(index, "entry " + std::to_string(cursor.index()) + " belongs to bucket " + std::to_string(home));
        if (cursor.is_last()) break;
      }
    }
    summary.entries += list.length;
    summary.longest = std::max(summary.longest, list.length);
  }
  if (summary.entries != element_count()) {
    throw std::logic_error("element_count " + std::to_string(element_count()) + " but " +
                           std::to_string(summary.entries) + " entries");
  }
  return summary;
}

ConcurrentHashMap_pointer::BucketState ConcurrentHashMap_pointer::bucket_state(std::uint64_t index) {
  check_usable();
  const std::uint64_t chunks = bucket_chunk_in_use();
  if (index >= bucket_chunk_size_ * chunks) {
    throw std::out_of_range("bucket index out of range");
  }
  PointerBucket* bucket = bucket_at(index);
  BucketLock lock(bucket);
  return BucketState{bucket->entries.length, bucket->entries.link_count};
}

bool ConcurrentHashMap_pointer::is_bucket_moving(std::uint64_t index) const {
  check_usable();
  const std::uint64_t chunks = bucket_chunk_in_use();
  if (index >= bucket_chunk_size_ * chunks) {
    throw std::out_of_range("bucket index out of range");
  }
  return moving_to_word(bucket_at(index)).load(std::memory_order_acquire) != nullptr;
}

}  // namespace corvana
