// ConcurrentHashMap_string: finding a bucket (its chunk's address in this process, its page of the
// file backed before first use, the sibling a doubling splits it into) and locking it.
//
// Every operation locks the bucket of its hash, chosen from N (bucket_chunk_in_use) read before the
// lock was taken; once it holds the lock it reads the bucket's moving_to and then N again, and starts
// over when N changed, so it never works on a bucket that an expansion completed under it.
// Lock order: a bucket, then (while the bucket is being moved) its sibling, then the heap.
// expansion_lock is only taken with no bucket lock held.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "map/bucket_locks.hpp"
#include "map/entry_pages.hpp"
#include "map/map_records.hpp"
#include "map/map_texts.hpp"
#include "map/string_map.hpp"

namespace corvana {

using map_layout::Bucket;
using map_layout::IntentKind;
using map_layout::WriterIntent;

void ConcurrentHashMap_string::BucketHold::take(const ConcurrentHashMap_string& map, Bucket* bucket,
                                                WaitLimits limits) {
  map.lock_bucket(bucket, limits);
  bucket_ = bucket;
}

void ConcurrentHashMap_string::BucketHold::release() noexcept {
  if (bucket_ != nullptr) {
    unlock_bucket(std::exchange(bucket_, nullptr));
  }
}

// A mutation's hold on writer record r = current_thread_tag() % writer_records of this object, from
// before its bucket lock is taken until after it is released: the record, and its slab caches, have
// one writer at a time. Threads whose tags share r take turns; a process that takes the record's
// slab caches for a full heap holds it too, for a moment (see reclaim_cached_chunks), and this
// thread then reads the records again. A thread that asks again for the record it holds (a signal
// handler that runs map code inside an operation of its own thread) is refused rather than left
// waiting for itself.
ConcurrentHashMap_string::WriterHold::WriterHold(ConcurrentHashMap_string& map, WaitLimits limits)
    : map_(map), tag_(current_thread_tag()), record_(tag_ % map_layout::writer_records) {
  const std::atomic_ref<std::uint64_t> lock(map_.own_records_->writer_locks[record_]);
  const std::uint64_t token = map_.process_table_->token();
  while (true) {
    std::uint64_t seen = lock_word_free;
    // acquire: the previous writer's changes to the record and its caches are visible
    if (lock.compare_exchange_strong(seen, token, std::memory_order_acquire, std::memory_order_relaxed)) {
      break;
    }
    // A holder that left the caches taken, or died (its caches' records are whole at every store):
    // the records are read again.
    if ((seen == map_layout::writer_caches_taken || !map_.process_table_->is_holder_alive(seen)) &&
        lock.compare_exchange_strong(seen, token, std::memory_order_acquire, std::memory_order_relaxed)) {
      map_.writer_caches_[record_]->reload();
      break;
    }
    if (seen == token) {
      throw std::logic_error(map_texts::same_thread);
    }
    sleep_wait_step();  // gives the interpreter lock away: the holder may need it to finish
    if (limits.interrupt == Interrupt::when_free) {
      check_interrupts();  // the holder may be a thread of this process that waits for a stopped one
    }
    check_deadline(limits.deadline_ns);
  }
  enter_lock_rank(LockRank::writer);
}

ConcurrentHashMap_string::WriterHold::~WriterHold() {
  // release: our changes to the record and its caches are visible to the next writer
  std::atomic_ref<std::uint64_t>(map_.own_records_->writer_locks[record_]).store(lock_word_free,
                                                                                  std::memory_order_release);
  leave_lock_rank(LockRank::writer);
}

bool ConcurrentHashMap_string::reclaim_cached_chunks() noexcept {
  // Every writer record of every slot but the caller's own: one whose lock is free (its owner is not
  // using it, or is dead) is held for a moment with this thread's token, its caches' chunks go to the
  // shared lists, and it is left marked so that its owner reads its records again. A record in use
  // is passed: nothing here waits.
  const std::uint64_t token = process_table_->token();
  const std::uint32_t own_record = current_thread_tag() % map_layout::writer_records;
  const std::uint32_t slots = std::min(process_table_->high_water(), process_table_->slot_count());
  bool moved = false;
  for (std::uint32_t index = 0; index < slots; ++index) {
    ProcessSlot* slot = process_table_->slot(index);
    map_layout::SlotRecords* records = map_layout::slot_records(slot);
    for (std::uint32_t record = 0; record < map_layout::writer_records; ++record) {
      if (index == process_table_->slot_index() && record == own_record) {
        continue;
      }
      const std::atomic_ref<std::uint64_t> lock(records->writer_locks[record]);
      std::uint64_t seen = lock.load(std::memory_order_relaxed);  // relaxed: the CAS below orders
      if (seen != lock_word_free && seen != map_layout::writer_caches_taken) {
        continue;
      }
      // acquire: the owner's last changes to the records are visible
      if (!lock.compare_exchange_strong(seen, token, std::memory_order_acquire, std::memory_order_relaxed)) {
        continue;
      }
      for (std::uint32_t klass = 0; klass < slab_class_count; ++klass) {
        SlabCacheRecord* cache = &slot->slab_caches[record][klass];
        if (cache->count != 0) {
          release_slab_record(base_, access_->slabs, klass, cache);
          moved = true;
        }
      }
      // release: the emptied records are visible to the owner that takes the lock next
      lock.store(map_layout::writer_caches_taken, std::memory_order_release);
    }
  }
  return moved;
}

WriterIntent* ConcurrentHashMap_string::WriterHold::intent() const noexcept {
  return &map_.own_records_->intents[record_];
}

std::int64_t ConcurrentHashMap_string::WriterHold::count() const noexcept {
  // relaxed: this thread is the record's only writer now
  return static_cast<std::int64_t>(map_layout::count_word(map_.own_records_, record_).load(std::memory_order_relaxed));
}

void ConcurrentHashMap_string::WriterHold::store_count(std::int64_t count) const noexcept {
  crash_order_barrier();
  // relaxed: summed by readers as a statistic; a repair reads it after the writer's death
  map_layout::count_word(map_.own_records_, record_).store(static_cast<std::uint64_t>(count), std::memory_order_relaxed);
  crash_order_barrier();
}

void ConcurrentHashMap_string::WriterHold::begin(IntentKind kind, std::int8_t delta) const noexcept {
  crash_order_barrier();
  // relaxed: read by this thread, or by a repair after this process died (the barrier orders)
  map_layout::intent_state_word(intent()).store(
      map_layout::intent_state(kind, delta, token_generation(map_.process_table_->token_base())),
      std::memory_order_relaxed);
  crash_order_barrier();
}

void ConcurrentHashMap_string::WriterHold::end() const noexcept { map_layout::clear_intent(intent()); }

// ---------------------------------------------------------------------------------------------
// Finding buckets

std::byte* ConcurrentHashMap_string::chunk_address(std::uint64_t chunk) const {
  if (chunk >= bucket_chunk_number_) {
    // Only a damaged bucket_chunk_in_use leads here; the address array has no such slot.
    throw DamagedFile("bucket chunk " + std::to_string(chunk) + " is missing from the table");
  }
  std::atomic_ref<std::byte*> cached(chunk_addresses_[chunk]);
  // acquire: pairs with the release below, made by another thread of this process
  std::byte* address = cached.load(std::memory_order_acquire);
  if (address != nullptr) {
    return address;
  }
  // acquire: the chunk's buckets, initialised before the slot was published, are visible
  const std::uint64_t slot = map_layout::table_slot_word(table_, chunk).load(std::memory_order_acquire);
  const std::uint64_t chunk_bytes = bucket_chunk_size_ * sizeof(Bucket);
  if (slot == 0 || map_layout::is_creator_marker(slot) || slot % map_layout::word_alignment != 0 || slot > heap_end_ ||
      chunk_bytes > heap_end_ - slot) {
    throw DamagedFile("bucket chunk " + std::to_string(chunk) + " is missing from the table");
  }
  address = base_ + slot;
  // release: another thread that finds the address also finds the buckets initialised
  cached.store(address, std::memory_order_release);
  return address;
}

std::byte* ConcurrentHashMap_string::published_chunk_address(std::uint64_t chunk) const noexcept {
  if (chunk >= bucket_chunk_number_) {
    return nullptr;
  }
  // acquire: as in chunk_address
  if (std::byte* address = std::atomic_ref<std::byte*>(chunk_addresses_[chunk]).load(std::memory_order_acquire)) {
    return address;
  }
  const std::uint64_t slot = map_layout::table_slot_word(table_, chunk).load(std::memory_order_acquire);
  if (slot == 0 || map_layout::is_creator_marker(slot)) {
    return nullptr;
  }
  try {
    return chunk_address(chunk);
  } catch (const std::exception&) {
    return nullptr;  // a slot that names no chunk
  }
}

Bucket* ConcurrentHashMap_string::marked_sibling(std::uint64_t bucket_number, Bucket* bucket,
                                                 std::uint64_t chunks_in_use, bool* is_split) const {
  // acquire: a mark, or its clearing together with the doubling before it, is visible
  const std::uint64_t mark = map_layout::moving_to_word(bucket).load(std::memory_order_acquire);
  if (is_split != nullptr) {
    *is_split = (mark & map_layout::split_done_bit) != 0;
  }
  if (mark == 0 || chunks_in_use > bucket_chunk_number_ / 2) {
    return nullptr;
  }
  const std::uint64_t sibling_number = bucket_number + bucket_chunk_size_ * chunks_in_use;
  std::byte* chunk = published_chunk_address(sibling_number >> bucket_chunk_shift_);
  if (chunk == nullptr) {
    return nullptr;
  }
  auto* sibling = reinterpret_cast<Bucket*>(chunk + (sibling_number & (bucket_chunk_size_ - 1)) * sizeof(Bucket));
  if (static_cast<std::uint64_t>(offset_of(base_, sibling)) != (mark & ~map_layout::split_done_bit)) {
    return nullptr;
  }
  back_bucket(sibling);
  return sibling;
}

Bucket* ConcurrentHashMap_string::bucket_at(std::uint64_t bucket) const {
  std::byte* chunk = chunk_address(bucket >> bucket_chunk_shift_);
  auto* address = reinterpret_cast<Bucket*>(chunk + (bucket & (bucket_chunk_size_ - 1)) * sizeof(Bucket));
  back_bucket(address);
  return address;
}

void ConcurrentHashMap_string::make_backed_regions() {
  // Regions of a page (128 buckets), so that the file grows by the pages of the buckets used; larger
  // where the heap would need more than 2^18 of them (heaps past 1 GiB).
  backed_region_shift_ = 12;
  while ((heap_end_ >> backed_region_shift_) >= (std::uint64_t{1} << 18)) {
    ++backed_region_shift_;
  }
  backed_regions_ = std::make_unique<std::uint8_t[]>(((heap_end_ + file_header_bytes) >> backed_region_shift_) + 1);
}

// Regions are counted in offsets of the file (the heap starts file_header_bytes into it), so that a
// region is whole pages of the file.
std::uint64_t ConcurrentHashMap_string::file_offset_of(const Bucket* bucket) const noexcept {
  return static_cast<std::uint64_t>(reinterpret_cast<const std::byte*>(bucket) - base_) + file_header_bytes;
}

std::uint64_t ConcurrentHashMap_string::buckets_in_unwritten_page(std::uint64_t bucket) const {
  std::byte* chunk = chunk_address(bucket >> bucket_chunk_shift_);
  const auto* address = reinterpret_cast<const Bucket*>(chunk + (bucket & (bucket_chunk_size_ - 1)) * sizeof(Bucket));
  if (is_backed(address)) {
    return 0;
  }
  const std::uint64_t offset = file_offset_of(address);
  const auto page_bytes = static_cast<std::uint64_t>(platform::system_page_size());
  const std::uint64_t page_end = (offset | (page_bytes - 1)) + 1;
  if (memory_file_may_hold_data(base_, file_, offset, page_end - offset)) {
    return 0;
  }
  const std::uint64_t chunk_left = bucket_chunk_size_ - (bucket & (bucket_chunk_size_ - 1));
  return std::min((page_end - offset) / sizeof(Bucket), chunk_left);
}

bool ConcurrentHashMap_string::is_backed(const Bucket* bucket) const noexcept {
  const std::uint64_t offset = file_offset_of(bucket);
  // relaxed: whether a page has backing is the kernel's to keep; the flag only spares this process
  // the system call
  return std::atomic_ref<std::uint8_t>(backed_regions_[offset >> backed_region_shift_])
             .load(std::memory_order_relaxed) != 0;
}

void ConcurrentHashMap_string::back_bucket(const Bucket* bucket) const {
  if (is_backed(bucket)) [[likely]] {
    return;
  }
  const std::uint64_t region = file_offset_of(bucket) >> backed_region_shift_;
  const std::uint64_t begin = region << backed_region_shift_;
  const std::uint64_t end = std::min(begin + (std::uint64_t{1} << backed_region_shift_), heap_end_ + file_header_bytes);
  std::byte* const file_start = base_ - file_header_bytes;  // the mapping's start
  if (platform::reserve_for_write(file_start + begin, end - begin)) {
    std::atomic_ref<std::uint8_t>(backed_regions_[region]).store(1, std::memory_order_relaxed);
    return;
  }
  // The file system could not back the whole region; the bucket's own page may still be backed (by
  // another process), or get backing. Otherwise the map is full for this bucket.
  if (!platform::reserve_for_write(const_cast<Bucket*>(bucket), sizeof(Bucket))) {
    throw HeapExhausted();
  }
}

Bucket* ConcurrentHashMap_string::bucket_at_offset(Offset offset) const {
  const auto wanted = static_cast<std::uint64_t>(offset);
  const std::uint64_t chunk_bytes = bucket_chunk_size_ * sizeof(Bucket);
  // Any chunk published so far: those in use and, during a doubling, the new ones.
  for (std::uint64_t chunk = 0; chunk < bucket_chunk_number_; ++chunk) {
    // acquire: as every reader of a slot
    const std::uint64_t slot = map_layout::table_slot_word(table_, chunk).load(std::memory_order_acquire);
    if (slot == 0) {
      break;  // chunks are published in order from 0: none past an empty slot
    }
    if (map_layout::is_creator_marker(slot) || slot > heap_end_ || chunk_bytes > heap_end_ - slot) {
      continue;
    }
    if (wanted >= slot && wanted < slot + chunk_bytes && (wanted - slot) % sizeof(Bucket) == 0) {
      auto* bucket = reinterpret_cast<Bucket*>(base_ + wanted);
      back_bucket(bucket);
      return bucket;
    }
  }
  return nullptr;
}

std::uint64_t ConcurrentHashMap_string::bucket_index(std::int64_t hash,
                                                     std::uint64_t chunks_in_use) const noexcept {
  // B and N are powers of 2, so the unsigned remainder is a mask.
  return bucket_bits(hash) & (bucket_chunk_size_ * chunks_in_use - 1);
}

std::uint64_t ConcurrentHashMap_string::bucket_of(std::int64_t hash) const noexcept {
  return bucket_index(hash, bucket_chunk_in_use());
}

const Bucket* ConcurrentHashMap_string::cached_bucket_of(std::int64_t hash) const noexcept {
  if (base_ == nullptr) {
    return nullptr;
  }
  return cached_bucket(bucket_index(hash, bucket_chunk_in_use()));
}

const Bucket* ConcurrentHashMap_string::cached_bucket(std::uint64_t bucket) const noexcept {
  const std::uint64_t chunk_number = bucket >> bucket_chunk_shift_;
  if (chunk_number >= bucket_chunk_number_) {
    return nullptr;  // a damaged bucket_chunk_in_use; the operation itself reports it
  }
  // acquire: as in chunk_address; a chunk not looked up yet gives nothing
  const std::byte* chunk =
      std::atomic_ref<std::byte*>(chunk_addresses_[chunk_number]).load(std::memory_order_acquire);
  if (chunk == nullptr) {
    return nullptr;
  }
  const auto* address = reinterpret_cast<const Bucket*>(chunk + (bucket & (bucket_chunk_size_ - 1)) * sizeof(Bucket));
  return is_backed(address) ? address : nullptr;
}

void ConcurrentHashMap_string::prefetch_bucket(std::int64_t hash) const noexcept {
  if (const Bucket* bucket = cached_bucket_of(hash); bucket != nullptr) {
    // Its lock is taken first: the line is asked for writing.
    __builtin_prefetch(bucket, 1);
  }
}

void ConcurrentHashMap_string::prefetch_entries(std::int64_t hash) const noexcept {
  prefetch_first_page(cached_bucket_of(hash));
}

void ConcurrentHashMap_string::prefetch_split(std::uint64_t bucket, std::uint64_t chunks_in_use,
                                              bool with_page) const noexcept {
  const Bucket* old_bucket = cached_bucket(bucket);
  if (!with_page) {
    // Both buckets' lines, for writing: their locks are taken first.
    __builtin_prefetch(old_bucket, 1);
    __builtin_prefetch(cached_bucket(bucket + bucket_chunk_size_ * chunks_in_use), 1);
    return;
  }
  prefetch_first_page(old_bucket);
}

void ConcurrentHashMap_string::prefetch_first_page(const Bucket* bucket) const noexcept {
  if (bucket == nullptr) {
    return;
  }
  // relaxed: a hint only; the bucket's first page is read again under its lock
  const std::uint64_t page = map_layout::page_word(const_cast<Bucket*>(bucket)).load(std::memory_order_relaxed);
  if (page == 0) {
    return;
  }
  // The page's header and first entry, in its first two lines. Integer arithmetic: the address is
  // only a hint and a prefetch never faults.
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(base_) + page;
  __builtin_prefetch(reinterpret_cast<const void*>(address));
  __builtin_prefetch(reinterpret_cast<const void*>(address + map_layout::cache_line_bytes));
}

bool ConcurrentHashMap_string::lock_bucket(Bucket* bucket, WaitLimits limits) const {
  enter_lock_rank(LockRank::bucket);
  LockAcquired acquired;
  try {
    acquired = acquire_lock_word(map_layout::lock_address(bucket), process_table_->token(), process_table_, limits);
  } catch (...) {
    leave_lock_rank(LockRank::bucket);
    throw;
  }
  if (acquired.took_over) {
    crash_point("repair.taken_over");
    try {
      repair_bucket(bucket);
    } catch (...) {
      unlock_bucket(bucket);
      throw;
    }
  }
  return acquired.took_over;
}

void ConcurrentHashMap_string::unlock_bucket(Bucket* bucket) noexcept {
  release_lock_word(map_layout::lock_address(bucket));
  leave_lock_rank(LockRank::bucket);
}

// Locks: the bucket; with `with_sibling` and a bucket being moved, then its sibling. The sibling's
// number is the bucket's plus B * N, so bucket locks are always taken in ascending bucket order,
// as the mover takes them; that order keeps two-bucket holders free of deadlock.
// N is read again after each lock: an expansion that splits a bucket published the N it doubled
// before, so the same N after the lock means no later expansion has touched the bucket.
void ConcurrentHashMap_string::lock_bucket_of(std::int64_t hash, bool with_sibling, LockedBuckets& locked) {
  require_usable();
  while (true) {
    const std::uint64_t chunks_in_use = bucket_chunk_in_use();
    const std::uint64_t bucket_number = bucket_index(hash, chunks_in_use);
    Bucket* bucket = bucket_at(bucket_number);
    locked.bucket_hold.take(*this, bucket, {Interrupt::when_free, locked.deadline_ns});
    bool is_split = false;
    Bucket* sibling = marked_sibling(bucket_number, bucket, chunks_in_use, &is_split);
    if (bucket_chunk_in_use() != chunks_in_use) {
      // An expansion completed between the choice and the lock: the bucket may be the wrong one.
      locked.bucket_hold.release();
      continue;
    }
    const std::uint64_t moving_to = sibling != nullptr ? static_cast<std::uint64_t>(offset_of(base_, sibling)) : 0;
    if (with_sibling && sibling != nullptr) {
      try {
        locked.sibling_hold.take(*this, sibling, {Interrupt::retreat, locked.deadline_ns});
      } catch (const WaitRetreat&) {
        locked.release();
        check_interrupts();
        continue;
      }
      if (bucket_chunk_in_use() != chunks_in_use) {
        // The expansion completed while we waited for the sibling, and a next one may have split
        // the sibling in turn: its entries may have moved on.
        locked.release();
        continue;
      }
      locked.sibling = sibling;
    }
    locked.bucket = bucket;
    locked.moving_to = moving_to;
    locked.is_split = sibling != nullptr && is_split;
    locked.chunks_in_use = chunks_in_use;
    return;
  }
}

}  // namespace corvana
