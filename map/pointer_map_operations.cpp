// ConcurrentHashMap_pointer: the data operations (insert, get, remove), each under its key's bucket
// lock (with the sibling's while an expansion moves the bucket), the key comparisons they run under
// that lock, and an insert's part in starting a doubling.
#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "map/pointer_map.hpp"
#include "map/pointer_map_support.hpp"
#include "map/python_ref.hpp"

namespace corvana {

using namespace pointer_map_detail;

namespace {

using python::OwnedRef;

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

}  // namespace

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


}  // namespace corvana
