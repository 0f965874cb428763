// ConcurrentHashMap_string: the data operations (insert, get, remove) and the read-modify-write
// operations (contains, setdefault, pop, compare_and_set), each under its key's bucket lock (with the
// sibling's while an expansion moves the bucket), and an insert's part in a doubling.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include "map/bucket_search.hpp"
#include "map/bucket_version.hpp"
#include "map/entry_pages.hpp"
#include "map/map_records.hpp"
#include "map/map_texts.hpp"
#include "map/string_map.hpp"

namespace corvana {

namespace {

// How long an insert that waits for a doubling's end sleeps between looks at whether the doubling
// still has participants (it is woken at once when the doubling ends).
constexpr unsigned doubling_wait_slice_us = 20'000;
// How many times an insert meets its bucket being moved before it sleeps instead of trying again.
constexpr std::uint32_t quick_meetings = 8;
// How long, at most, each of those watches the bucket's mark for its split to be done.
constexpr std::uint64_t quick_wait_ns = 200'000;

}  // namespace

using map_layout::Bucket;
using map_layout::HeapAccess;
using map_layout::PageView;

ConcurrentHashMap_string::Location ConcurrentHashMap_string::find(Bucket* bucket, const char* key,
                                                                  std::uint64_t key_len, std::int64_t hash,
                                                                  const map_layout::BucketRead* unlocked) const {
  const HeapAccess& heap = *access_;
  Location where;
  Offset link = page_link_of(heap, bucket);
  // relaxed: the bucket's lock orders its changes (without it, `unlocked` tells what holds)
  auto page_offset = static_cast<Offset>(map_layout::page_word(bucket).load(std::memory_order_relaxed));
  std::uint64_t budget = map_layout::page_budget(heap);
  while (page_offset != Offset::null) {
    if (budget-- == 0) [[unlikely]] {
      throw DamagedFile("the entry pages of a bucket do not end");
    }
    if (unlocked != nullptr && where.page.address != nullptr && !unlocked->holds()) [[unlikely]] {
      where.is_torn = true;  // the pages changed: the next page read from here may be anything
      return where;
    }
    PageView& page = where.page;
    map_layout::read_page(heap, page_offset, page);
    std::byte* at = page.entries;
    for (std::uint32_t index = 0; index < page.entry_count; ++index) {
      // An entry of another hash is only stepped over.
      if (page.entries_end - at < static_cast<std::ptrdiff_t>(sizeof(map_layout::EntryHeader))) [[unlikely]] {
        map_layout::throw_damaged_entry("an entry runs past its page");
      }
      map_layout::EntryHeader header;
      std::memcpy(&header, at, sizeof header);
      if (header.hash != hash) {
        at += map_layout::stored_entry_bytes(header, at, page.entries_end);
        continue;
      }
      map_layout::read_entry(at, page.entries_end, where.entry);
      if (!where.entry.is_removed && map_layout::string_equals(heap, where.entry.key, key, key_len)) {
        where.is_found = true;
        where.link = link;
        return where;
      }
      at += where.entry.bytes;
    }
    where.link = link;
    link = page.offset;  // a page's next is its first word
    page_offset = page.next;
  }
  if (where.page.address == nullptr) {
    where.link = link;
  }
  return where;
}

bool ConcurrentHashMap_string::join_if_crowded(std::uint64_t count, std::uint64_t deadline_ns) {
  const auto is_crowded = [this](std::uint64_t entries) {
    std::uint64_t twice_buckets = 0;
    if (__builtin_mul_overflow(bucket_chunk_size_ * 2, bucket_chunk_in_use(), &twice_buckets)) {
      return false;
    }
    return twice_buckets < entries;
  };
  // A heap that can carve no more slabs starts no doubling: the room that removes give back serves
  // inserts (a doubling would spend it on bucket chunks and split pages), and the map keeps working
  // at its size, its buckets longer.
  if (!is_crowded(count) || !has_room_to_double() || !access_->has_fresh_space()) {
    return false;
  }
  std::uint64_t refused = 0;
  std::memcpy(&refused, map_header_field(offsetof(map_layout::MapHeader, refused_chunks_in_use)), sizeof refused);
  if (refused == bucket_chunk_in_use()) {
    return false;  // this doubling could not be made (the heap had no room): not tried on every insert
  }
  try {
    // Checked again under expansion_lock, with the count summed afresh.
    if (!join_expansion([&] { return is_crowded(element_count()); }, deadline_ns)) {
      return false;
    }
    expand_released(deadline_ns);
  } catch (const InterruptedWait&) {
    throw;  // a signal handler raised (Ctrl-C): its exception is set and must reach the caller
  } catch (const std::exception&) {
    // The caller's own change is complete; an expansion that could not run (no room, a lock timeout)
    // leaves the map working at its size, its work handed over, and a later insert tries again.
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// insert, get, remove

namespace {

// A python_malloc buffer of length + 1 bytes, for the callers that free it with python_free. A
// buffer not handed over (an earlier call's, or the last one's when the get found nothing) is freed.
class PythonMallocSink final : public ValueSink {
 public:
  char* buffer_for(std::uint64_t length) override {
    if (length >= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw std::runtime_error(map_texts::python_malloc_failed);
    }
    buffer_.reset(static_cast<char*>(python_malloc(length + 1)));
    if (buffer_ == nullptr) {
      throw std::runtime_error(map_texts::python_malloc_failed);
    }
    length_ = static_cast<std::int64_t>(length);
    return buffer_.get();
  }
  void hand_over(char*& value, std::int64_t& value_len) noexcept {
    value = buffer_.release();
    value_len = length_;
  }

 private:
  std::unique_ptr<char, PythonFree> buffer_;
  std::int64_t length_ = 0;
};

// Copies a stored string into the buffer that `sink` provides for it.
void copy_to_sink(const HeapAccess& heap, const map_layout::StringField& stored, ValueSink& sink) {
  char* buffer = sink.buffer_for(map_layout::checked_length(heap, stored));
  map_layout::copy_string(heap, stored, buffer);
}

// A python_malloc copy of a stored string (length + 1 bytes, the last one not written).
void hand_out_copy(const HeapAccess& heap, const map_layout::StringField& stored, char*& value,
                   std::int64_t& value_len) {
  PythonMallocSink sink;
  copy_to_sink(heap, stored, sink);
  sink.hand_over(value, value_len);
}

}  // namespace

ConcurrentHashMap_string::Found ConcurrentHashMap_string::find_locked(const LockedBuckets& locked, const char* key,
                                                                      std::uint64_t key_len, std::int64_t hash) const {
  Found found{locked.bucket, find(locked.bucket, key, key_len, hash)};
  if (!found.where && locked.sibling != nullptr) {
    // The entry may already have moved to the sibling of a bucket being split; once the split is
    // done, the sibling is where a new entry of a hash with the split bit goes.
    Location in_sibling = find(locked.sibling, key, key_len, hash);
    if (in_sibling || (locked.is_split && (bucket_bits(hash) & (bucket_chunk_size_ * locked.chunks_in_use)) != 0)) {
      found = Found{locked.sibling, std::move(in_sibling)};
    }
  }
  return found;
}

// The loop of an insert-like operation. Under its writer record and the key's bucket lock, `step`
// either ends the operation (its result, with the count an append gives the join rule, or 0) or
// finds the bucket being moved (nullopt): then the operation waits for the doubling and runs again.
struct ConcurrentHashMap_string::Appended {
  bool result;
  std::uint64_t count;
};

template <class Step>
bool ConcurrentHashMap_string::insert_when_not_moving(std::int64_t hash, bool with_sibling, Step step) {
  const std::uint64_t deadline_ns = deadline_after(lock_timeout_ns_);
  std::uint32_t meetings = 0;  // of a bucket being moved, in this call
  while (true) {
    std::optional<Appended> outcome;
    std::uint64_t chunks_in_use = 0;
    Bucket* bucket = nullptr;
    {
      WriterHold writer(*this, {Interrupt::when_free, deadline_ns});
      LockedBuckets locked(deadline_ns);
      lock_bucket_of(hash, with_sibling, locked);
      chunks_in_use = locked.chunks_in_use;
      bucket = locked.bucket;
      outcome = step(writer, locked);
    }
    if (outcome) {
      if (outcome->count != 0) {
        join_if_crowded(outcome->count, deadline_ns);  // with no lock and no writer record held
      }
      return outcome->result;
    }
    // The bucket is being moved.
    wait_while_moving(bucket, chunks_in_use, meetings++, deadline_ns);
  }
}

void ConcurrentHashMap_string::insert(const char* key, const char* value, std::uint64_t key_len,
                                      std::uint64_t value_len, std::int64_t hash) {
  insert_when_not_moving(hash, true, [&](const WriterHold& writer, LockedBuckets& locked) -> std::optional<Appended> {
    if (locked.moving_to != 0 && !locked.is_split) {
      return std::nullopt;
    }
    const Found found = find_locked(locked, key, key_len, hash);
    if (found.where) {
      replace_value(found.bucket, found.where, value, value_len, writer);
      return Appended{true, 0};
    }
    // An entry that fills an empty bucket never starts an expansion (append_entry gives no count
    // then): a map is crowded only where entries share buckets.
    return Appended{true, append_entry(found.bucket, found.where, key, value, key_len, value_len, hash, writer)};
  });
}

void ConcurrentHashMap_string::wait_while_moving(Bucket* bucket, std::uint64_t chunks_in_use, std::uint32_t meeting,
                                                 std::uint64_t deadline_ns) {
  if (meeting == 0 && join_if_crowded(element_count(), deadline_ns)) {
    return;  // the join rule, once per call: this thread took part in the doubling
  }
  check_interrupts();
  check_deadline(deadline_ns);
  // acquire: as every reader of bucket_chunk_in_use
  if (chunks_in_use_word().load(std::memory_order_acquire) != chunks_in_use) {
    return;  // the doubling is over
  }
  if (meeting < quick_meetings) {
    // The mover marked the bucket before it takes the bucket's lock, which this thread just gave
    // back: the split is done within microseconds. The mark is watched (no lock taken, so that the
    // mover gets it) until it says so, for a while at most.
    const std::uint64_t until = platform::monotonic_nanoseconds() + quick_wait_ns;
    // relaxed: a hint of when to try again; the next try reads the mark under the lock
    while ((map_layout::moving_to_word(bucket).load(std::memory_order_relaxed) & map_layout::split_done_bit) == 0 &&
           chunks_in_use_word().load(std::memory_order_relaxed) == chunks_in_use &&
           platform::monotonic_nanoseconds() < until) {
      for (int round = 0; round < 32; ++round) {
        platform::cpu_pause();
      }
    }
    return;
  }
  // The mark stays: its mover is slow, or died before the split and left its claim to others. Woken
  // by the doubling's end; after a whole slice the doubling may have lost its participants (dead,
  // or gone for want of room), and this thread helps.
  sleep_while_word_is(bucket_chunk_in_use_, chunks_in_use, doubling_wait_slice_us);
  check_interrupts();
  check_deadline(deadline_ns);
  if (chunks_in_use_word().load(std::memory_order_acquire) == chunks_in_use) {
    help_expansion(deadline_ns);
  }
}

bool ConcurrentHashMap_string::get(const char* key, std::uint64_t key_len, std::int64_t hash, char*& value,
                                   std::int64_t& value_len) {
  PythonMallocSink sink;
  if (!get(key, key_len, hash, sink)) {
    return false;
  }
  sink.hand_over(value, value_len);
  return true;
}

bool ConcurrentHashMap_string::get(const char* key, std::uint64_t key_len, std::int64_t hash, ValueSink& sink) {
  if (optimistic_reads_) {
    if (const std::optional<bool> found = get_unlocked(key, key_len, hash, sink)) {
      return *found;
    }
  }
  LockedBuckets locked(deadline_after(lock_timeout_ns_));
  lock_bucket_of(hash, true, locked);
  const Found found = find_locked(locked, key, key_len, hash);
  if (!found.where) {
    return false;
  }
  copy_to_sink(*access_, found.where.entry.value, sink);
  return true;
}

// The bucket is read as the locked path would, with these differences: N is read again after the
// bucket's moving_to, as lock_bucket_of does after the lock (the version's acquire makes a mark set
// before the version was read visible, and a cleared mark makes the doubled N visible), and a bucket
// with any mark (being split, or marked by a doubling whose marks are not cleared yet) is left to
// the locked path, which reads its sibling too; the value's length
// is used only once the version vouched for it, and the copy stands only if the version still does.
std::optional<bool> ConcurrentHashMap_string::get_unlocked(const char* key, std::uint64_t key_len,
                                                           std::int64_t hash, ValueSink& sink) {
  require_usable();
  const std::uint64_t chunks_in_use = bucket_chunk_in_use();
  Bucket* bucket = bucket_at(bucket_index(hash, chunks_in_use));
  const map_layout::BucketRead read(bucket);
  // acquire: see above
  if (!read.is_open() || map_layout::moving_to_word(bucket).load(std::memory_order_acquire) != 0 ||
      bucket_chunk_in_use() != chunks_in_use) {
    return std::nullopt;
  }
  try {
    const Location where = find(bucket, key, key_len, hash, &read);
    if (where.is_torn || !read.holds()) {
      return std::nullopt;
    }
    if (!where) {
      return false;
    }
    copy_to_sink(*access_, where.entry.value, sink);
  } catch (const DamagedFile&) {
    // What was read cannot be: torn by a change, or damage, which the locked path reports.
    return std::nullopt;
  }
  if (!read.holds()) {
    return std::nullopt;
  }
  return true;
}

// A changing operation's hold on its key, for the time it lives: its writer record and the key's
// bucket locked (with the sibling while an expansion moves it), and where the key lies.
struct ConcurrentHashMap_string::KeyHold {
  KeyHold(ConcurrentHashMap_string& map, const char* key, std::uint64_t key_len, std::int64_t hash)
      : deadline_ns(deadline_after(map.lock_timeout_ns_)),
        writer(map, {Interrupt::when_free, deadline_ns}),
        locked(deadline_ns) {
    map.lock_bucket_of(hash, true, locked);
    found = map.find_locked(locked, key, key_len, hash);
  }
  std::uint64_t deadline_ns;
  WriterHold writer;
  LockedBuckets locked;
  Found found;
};

bool ConcurrentHashMap_string::remove(const char* key, std::uint64_t key_len, std::int64_t hash) {
  const KeyHold held(*this, key, key_len, hash);
  if (!held.found.where) {
    return false;
  }
  remove_at(held.found.bucket, held.found.where, held.writer);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Read-modify-write under one bucket lock
//
// Each operation below locks the key's bucket as get and remove do (with its sibling while an
// expansion moves the bucket), so the read and the write it makes are one step for every other
// operation on the key. Nothing here runs Python code: the caller serializes before and
// deserializes after.

bool ConcurrentHashMap_string::contains(const char* key, std::uint64_t key_len, std::int64_t hash) {
  LockedBuckets locked(deadline_after(lock_timeout_ns_));
  lock_bucket_of(hash, true, locked);
  return static_cast<bool>(find_locked(locked, key, key_len, hash).where);
}

bool ConcurrentHashMap_string::setdefault(const char* key, const char* value, std::uint64_t key_len,
                                          std::uint64_t value_len, std::int64_t hash, char*& stored,
                                          std::int64_t& stored_len) {
  return insert_when_not_moving(hash, true, [&](const WriterHold& writer, LockedBuckets& locked) -> std::optional<Appended> {
    const Found found = find_locked(locked, key, key_len, hash);
    if (found.where) {
      hand_out_copy(*access_, found.where.entry.value, stored, stored_len);
      return Appended{false, 0};
    }
    // Absent, but while the bucket is being split a new entry may only be added once the split is
    // done (as insert does), and the key is looked for again then, since another process may have
    // added it meanwhile.
    if (locked.moving_to != 0 && !locked.is_split) {
      return std::nullopt;
    }
    return Appended{true, append_entry(found.bucket, found.where, key, value, key_len, value_len, hash, writer)};
  });
}

bool ConcurrentHashMap_string::pop(const char* key, std::uint64_t key_len, std::int64_t hash, char*& value,
                                   std::int64_t& value_len) {
  const KeyHold held(*this, key, key_len, hash);
  if (!held.found.where) {
    return false;
  }
  // The copy comes first: when it cannot be made, nothing has been removed.
  char* buffer = nullptr;
  std::int64_t length = 0;
  hand_out_copy(*access_, held.found.where.entry.value, buffer, length);
  std::unique_ptr<char, PythonFree> owned(buffer);
  remove_at(held.found.bucket, held.found.where, held.writer);
  value = owned.release();
  value_len = length;
  return true;
}

bool ConcurrentHashMap_string::compare_and_set(const char* key, std::uint64_t key_len, std::int64_t hash,
                                               const char* expected, std::uint64_t expected_len,
                                               const char* value, std::uint64_t value_len) {
  const KeyHold held(*this, key, key_len, hash);
  if (!held.found.where ||
      !map_layout::string_equals(*access_, held.found.where.entry.value, expected, expected_len)) {
    return false;
  }
  replace_value(held.found.bucket, held.found.where, value, value_len, held.writer);
  return true;
}

}  // namespace corvana
