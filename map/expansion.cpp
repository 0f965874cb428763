// Cooperative expansion of the string map: doubling the number of bucket chunks, so that any
// participant may die at any store and the doubling still finishes, losing nothing.
//
// Rules (N is bucket_chunk_in_use when the expansion starts, B the buckets per chunk):
// - A participant joins under expansion_lock: its process's membership record (in its process
//   slot, stamped with the slot's generation) counts it for the doubling of N. Only members whose
//   process lives are counted; expansion_workers mirrors that count. N cannot change while a live
//   member is counted, so every participant of one expansion sees the same N.
// - The creator is the participant whose compare-and-set turns table slot N from 0 into its marker
//   (its token, odd). It makes all N new chunks in one raw block, records the block in the map
//   header, sets migration_cursor to B*N - 1 and publishes slots 2N-1 down to N, slot N last. If it
//   cannot make them, it puts slot N back to 0, remembers N as refused (the join rule does not try
//   it again) and leaves; participants that waited for it leave too. A creator that died is seen by
//   its marker: whoever finds it finishes the publication from the recorded block, or puts slot N
//   back to 0 when no block was recorded, and the election starts again.
// - Participants take claims of 16 old buckets under expansion_lock: from migration_cursor, or an
//   unfinished claim of a dead process (or one given back) when the cursor is spent. A claim is
//   recorded in the taker's slot before the cursor moves past it, and shrinks from its top after
//   each bucket is split, so the buckets of a participant that dies are split by another; a bucket
//   split twice is split once.
// - A mover sets the old bucket's moving_to to its sibling before it takes the bucket's lock, and
//   adds split_done_bit under the lock once the split is done: from then on, an insert into the
//   bucket goes ahead and puts a new entry where the doubled map looks for it. Marks are cleared by
//   the participant that doubles N, under expansion_lock, so a next expansion (which enters through
//   that lock) never has a mark cleared under it, and a get that finds no mark without the lock
//   also finds the doubled N. A mark counts only when it names the sibling for the current N: one
//   left behind by a death is ignored.
// - The split of one bucket into its sibling, and its repair, are in map/split.cpp.
// - A participant leaves under expansion_lock; when no live member is left, no claim is unfinished
//   and slot N holds the published chunk, it doubles N and clears the marks. A participant that
//   fails gives its claim back and leaves; the doubling is finished by whoever helps next (an
//   insert that meets a marked bucket, a later join), once there is room.
#include <algorithm>
#include <functional>
#include <cstring>
#include <stdexcept>
#include <string>

#include "map/map_records.hpp"
#include "map/map_support.hpp"
#include "map/map_texts.hpp"
#include "map/split_scratch.hpp"
#include "map/string_map.hpp"

namespace corvana {

using map_layout::Bucket;

namespace {

// How long a participant sleeps between looks at whether the creator of the new chunks lives (it is
// woken at once when they are published).
constexpr unsigned creator_wait_slice_us = 4'000;

// How many buckets ahead of its split a bucket's first page is asked for.
constexpr std::uint64_t split_prefetch_distance = 6;

}  // namespace

namespace {

std::uint64_t read_header_word(const std::byte* address) noexcept {
  std::uint64_t value;
  std::memcpy(&value, address, sizeof value);
  return value;
}
void write_header_word(std::byte* address, std::uint64_t value) noexcept {
  crash_order_barrier();
  std::memcpy(address, &value, sizeof value);
  crash_order_barrier();
}
void store_record_word(std::uint64_t& word, std::uint64_t value) noexcept {
  crash_order_barrier();
  // relaxed: read by other processes under expansion_lock, or after this process died
  std::atomic_ref<std::uint64_t>(word).store(value, std::memory_order_relaxed);
  crash_order_barrier();
}
std::uint64_t load_record_word(const std::uint64_t& word) noexcept {
  // relaxed: see store_record_word
  return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(word)).load(std::memory_order_relaxed);
}

}  // namespace

std::byte* ConcurrentHashMap_string::map_header_field(std::size_t field) const noexcept {
  return base_ + map_layout::map_header_offset + field;
}

std::uint64_t ConcurrentHashMap_string::own_generation() const noexcept {
  return token_generation(process_table_->token_base());
}

bool ConcurrentHashMap_string::is_record_owner_alive(std::uint32_t slot, std::uint64_t generation) const noexcept {
  if (generation == 0 || generation > 0x7FFFFFFF) {
    return false;
  }
  return process_table_->is_holder_alive(make_token_base(slot, static_cast<std::uint32_t>(generation)));
}

ConcurrentHashMap_string::ExpansionScan ConcurrentHashMap_string::scan_expansion(std::uint64_t chunks_in_use) const {
  ExpansionScan scan;
  const std::uint32_t slots = std::min(process_table_->high_water(), process_table_->slot_count());
  for (std::uint32_t index = 0; index < slots; ++index) {
    map_layout::SlotRecords* records = map_layout::slot_records(process_table_->slot(index));
    const map_layout::ExpansionMembership& membership = records->membership;
    const std::uint64_t members = load_record_word(membership.members);
    if (members != 0 && load_record_word(membership.chunks_in_use) == chunks_in_use &&
        is_record_owner_alive(index, load_record_word(membership.generation))) {
      scan.live_members += members;
    }
    for (std::uint32_t record = 0; record < map_layout::writer_records; ++record) {
      const map_layout::ExpansionClaim& claim = records->claims[record];
      if (load_record_word(claim.chunks_in_use) != chunks_in_use ||
          load_record_word(claim.next) >= load_record_word(claim.end)) {
        continue;
      }
      ++scan.unfinished_claims;
      if (!scan.has_orphan && !is_record_owner_alive(index, load_record_word(claim.generation))) {
        scan.has_orphan = true;
        scan.orphan = &records->claims[record];
      }
    }
  }
  return scan;
}

void ConcurrentHashMap_string::count_member(std::uint64_t chunks_in_use, int change) {
  map_layout::ExpansionMembership& membership = own_records_->membership;
  const std::uint64_t generation = own_generation();
  if (load_record_word(membership.chunks_in_use) != chunks_in_use ||
      load_record_word(membership.generation) != generation) {
    // A record of an earlier doubling, or of the slot's previous owner: this doubling starts at 0.
    store_record_word(membership.members, 0);
    store_record_word(membership.generation, generation);
    store_record_word(membership.chunks_in_use, chunks_in_use);
  }
  const std::uint64_t members = load_record_word(membership.members);
  store_record_word(membership.members, change > 0 ? members + 1 : (members > 0 ? members - 1 : 0));
}

void ConcurrentHashMap_string::mirror_workers(std::uint64_t live_members) noexcept {
  // relaxed: a statistic; every decision reads the membership records under expansion_lock
  workers_word().store(live_members, std::memory_order_relaxed);
}

bool ConcurrentHashMap_string::join_expansion(const std::function<bool()>& is_wanted, std::uint64_t deadline_ns) {
  OwnedLockGuard guard(expansion_lock_, expansion_liveness_, {Interrupt::when_free, deadline_ns}, LockRank::expansion);
  const std::uint64_t chunks_in_use = chunks_in_use_word().load(std::memory_order_relaxed);
  if (!is_wanted() || chunks_in_use > bucket_chunk_number_ / 2) {
    return false;
  }
  const ExpansionScan scan = scan_expansion(chunks_in_use);
  if (scan.live_members > max_expansion_workers) {
    return false;
  }
  count_member(chunks_in_use, +1);
  mirror_workers(scan.live_members + 1);
  return true;
}

void ConcurrentHashMap_string::python_expansion_helper(std::size_t n) {
  static_cast<void>(n);
  if (join_expansion([] { return true; }, 0)) {
    expand_released(0);
  }
}

bool ConcurrentHashMap_string::wants_participant(std::uint64_t chunks_in_use, bool counting_unclaimed,
                                                 ExpansionScan& scan) const {
  if (chunks_in_use > bucket_chunk_number_ / 2) {
    return false;
  }
  // acquire: as every reader of a slot
  const std::uint64_t slot = map_layout::table_slot_word(table_, chunks_in_use).load(std::memory_order_acquire);
  if (slot == 0) {
    return false;  // no expansion under way: whatever mark was met is a stale one
  }
  scan = scan_expansion(chunks_in_use);
  if (map_layout::is_creator_marker(slot)) {
    return !process_table_->is_holder_alive(map_layout::marker_token(slot));
  }
  const bool has_unclaimed =
      counting_unclaimed && static_cast<std::int64_t>(cursor_word().load(std::memory_order_relaxed)) >= 0;
  return has_unclaimed || scan.has_orphan || scan.live_members == 0;
}

bool ConcurrentHashMap_string::help_expansion(std::uint64_t deadline_ns) {
  {
    OwnedLockGuard guard(expansion_lock_, expansion_liveness_, {Interrupt::when_free, deadline_ns}, LockRank::expansion);
    const std::uint64_t chunks_in_use = chunks_in_use_word().load(std::memory_order_relaxed);
    ExpansionScan scan;
    if (!wants_participant(chunks_in_use, true, scan) || scan.live_members > max_expansion_workers) {
      return false;
    }
    count_member(chunks_in_use, +1);
    mirror_workers(scan.live_members + 1);
  }
  expand_released(deadline_ns);
  return true;
}

void ConcurrentHashMap_string::expand() { expand_within(0); }

void ConcurrentHashMap_string::expand_within(std::uint64_t deadline_ns) {
  require_usable();
  // N is stable: it only changes when no live member is counted, and this one is.
  const std::uint64_t chunks_in_use = bucket_chunk_in_use();
  if (chunks_in_use > bucket_chunk_number_ / 2) {
    leave_expansion(chunks_in_use, false);  // the table has no room for the doubling
    return;
  }
  try {
    if (!await_new_chunks(chunks_in_use, deadline_ns)) {
      leave_expansion(chunks_in_use, false);  // the creator rolled back
      return;
    }
  } catch (...) {
    leave_expansion(chunks_in_use, false);
    throw;
  }
  while (true) {
    work_on_claims(chunks_in_use, deadline_ns);
    if (!leave_expansion(chunks_in_use)) {
      return;
    }
  }
}

bool ConcurrentHashMap_string::await_new_chunks(std::uint64_t chunks_in_use, std::uint64_t deadline_ns) {
  auto slot = map_layout::table_slot_word(table_, chunks_in_use);
  bool has_waited = false;
  std::uint64_t next_signal_check = platform::monotonic_nanoseconds() + signal_wait_interval_ns;
  while (true) {
    // acquire: the new chunks and migration_cursor, written before the publication, are visible
    std::uint64_t value = slot.load(std::memory_order_acquire);
    if (value == 0) {
      if (has_waited) {
        return false;  // the creator rolled back: the map keeps its size
      }
      const std::uint64_t marker = map_layout::creator_marker(process_table_->token());
      // relaxed: the marker publishes nothing; what the creator makes is published by a release
      if (slot.compare_exchange_strong(value, marker, std::memory_order_relaxed, std::memory_order_relaxed)) {
        crash_point("expansion.marked");
        create_new_chunks(chunks_in_use, marker);
        return true;
      }
      continue;
    }
    if (!map_layout::is_creator_marker(value)) {
      return true;
    }
    if (!process_table_->is_holder_alive(map_layout::marker_token(value))) {
      if (reclaim_creation(chunks_in_use, value)) {
        has_waited = false;  // rolled back by this participant: the election is open again
        continue;
      }
    }
    has_waited = true;
    // Woken when the creator publishes or rolls back; a slice bounds the wait between the looks at
    // whether the creator lives.
    sleep_while_word_is(map_layout::table_slot_address(table_, chunks_in_use), value, creator_wait_slice_us);
    // A creator that is alive but stopped would keep this participant here for ever: Ctrl-C and the
    // deadline end the wait (the caller then leaves the expansion; nothing of it is this thread's).
    check_deadline(deadline_ns);
    if (const std::uint64_t now = platform::monotonic_nanoseconds(); now >= next_signal_check) {
      next_signal_check = now + signal_wait_interval_ns;
      check_interrupts();
    }
  }
}

// Makes chunks N .. 2N-1 in one raw block and publishes them. Fresh heap space is zero, and a
// bucket of zeros is an empty bucket: nothing needs initialising.
// Requires: this thread holds `marker` in table slot N.     Locks: the heap.
// Throws:   runtime_error with the heap's text when the heap has no room; slot N is then 0 again,
//           and N is remembered as refused.
void ConcurrentHashMap_string::create_new_chunks(std::uint64_t chunks_in_use, std::uint64_t marker) {
  auto slot = map_layout::table_slot_word(table_, chunks_in_use);
  const auto roll_back = [&] {
    std::uint64_t expected = marker;
    // release: pairs with the waiters' acquire; nothing of this attempt is reachable
    slot.compare_exchange_strong(expected, 0, std::memory_order_release, std::memory_order_relaxed);
    wake_word_sleepers(map_layout::table_slot_address(table_, chunks_in_use));
  };
  std::uint64_t new_buckets = 0;
  std::uint64_t block_bytes = 0;
  if (__builtin_mul_overflow(bucket_chunk_size_, chunks_in_use, &new_buckets) ||
      !map_layout::aligned_block_bytes(new_buckets, sizeof(Bucket), block_bytes)) {
    roll_back();
    throw std::runtime_error("the doubled bucket chunks would not fit in 64 bits");
  }
  // The N the block is for, with no block yet; then the block, recorded by the heap as one step with
  // its carve: a reclaimer that finds this N finds the block whenever one was carved, so a creator's
  // death never leaks it.
  std::byte* block_record = map_header_field(offsetof(map_layout::MapHeader, creation_block));
  write_header_word(block_record, 0);
  write_header_word(map_header_field(offsetof(map_layout::MapHeader, creation_chunks_in_use)), chunks_in_use);
  crash_point("expansion.recorded");
  // Fresh, so zero: empty buckets. Their pages get backing as the split reaches them.
  std::byte* payload = heap_alloc_recorded_bytes(base_, block_bytes, Backing::by_user, block_record);
  if (payload == nullptr) {
    const map_layout::HeapFailure failure;
    write_header_word(map_header_field(offsetof(map_layout::MapHeader, refused_chunks_in_use)), chunks_in_use);
    roll_back();
    failure.raise();
  }
  crash_point("expansion.allocated");
  publish_new_chunks(chunks_in_use, marker);
}

void ConcurrentHashMap_string::publish_new_chunks(std::uint64_t chunks_in_use, std::uint64_t marker) {
  // The block's payload is recorded; its chunks start at the first cache line in it.
  const auto first_chunk = static_cast<std::uint64_t>(offset_of(
      base_, map_layout::line_aligned(base_ + read_header_word(map_header_field(offsetof(map_layout::MapHeader, creation_block))))));
  const std::uint64_t new_buckets = bucket_chunk_size_ * chunks_in_use;
  // relaxed: the release publication of slot N below orders it before every claim
  cursor_word().store(new_buckets - 1, std::memory_order_relaxed);
  const std::uint64_t chunk_bytes = bucket_chunk_size_ * sizeof(Bucket);
  for (std::uint64_t chunk = 2 * chunks_in_use; chunk-- > chunks_in_use + 1;) {
    // release: the chunk is visible to whoever reads the slot
    map_layout::table_slot_word(table_, chunk)
        .store(first_chunk + (chunk - chunks_in_use) * chunk_bytes, std::memory_order_release);
    crash_point("expansion.publishing");
  }
  std::uint64_t expected = marker;
  // release: the chunks and migration_cursor are visible to whoever reads slot N
  map_layout::table_slot_word(table_, chunks_in_use)
      .compare_exchange_strong(expected, first_chunk, std::memory_order_release, std::memory_order_relaxed);
  wake_word_sleepers(map_layout::table_slot_address(table_, chunks_in_use));
}

bool ConcurrentHashMap_string::reclaim_creation(std::uint64_t chunks_in_use, std::uint64_t marker) {
  OwnedLockGuard guard(expansion_lock_, expansion_liveness_, Interrupt::never, LockRank::expansion);
  auto slot = map_layout::table_slot_word(table_, chunks_in_use);
  if (slot.load(std::memory_order_acquire) != marker) {
    return false;  // somebody else reclaimed it first
  }
  // The dead creator may have died holding the heap lock, with its block carved and not yet
  // recorded: the heap finishes that first.
  settle_heap(base_);
  // The dead creator's block, when it recorded one for this N and it lies in the heap: the
  // publication is finished from it. Else nothing of the creation was carved: slot N goes back to 0.
  const std::uint64_t block = read_header_word(map_header_field(offsetof(map_layout::MapHeader, creation_block)));
  const std::uint64_t recorded_for = read_header_word(map_header_field(offsetof(map_layout::MapHeader, creation_chunks_in_use)));
  std::uint64_t block_bytes = 0;
  if (recorded_for == chunks_in_use && block >= map_layout::first_record_offset && block < heap_end_ &&
      map_layout::aligned_block_bytes(bucket_chunk_size_ * chunks_in_use, sizeof(Bucket), block_bytes) &&
      block_bytes <= heap_end_ - block) {
    publish_new_chunks(chunks_in_use, marker);
    return false;
  }
  std::uint64_t expected = marker;
  slot.compare_exchange_strong(expected, 0, std::memory_order_release, std::memory_order_relaxed);
  wake_word_sleepers(map_layout::table_slot_address(table_, chunks_in_use));
  return true;
}

bool ConcurrentHashMap_string::take_claim(std::uint64_t chunks_in_use, std::uint32_t record) {
  OwnedLockGuard guard(expansion_lock_, expansion_liveness_, Interrupt::never, LockRank::expansion);
  map_layout::ExpansionClaim& own = own_records_->claims[record];
  const std::uint64_t generation = own_generation();
  const std::uint64_t buckets = bucket_chunk_size_ * chunks_in_use;
  if (load_record_word(own.chunks_in_use) == chunks_in_use && load_record_word(own.next) < load_record_word(own.end)) {
    // Unfinished and in this slot: left by its previous owner, or given back. Ours now.
    store_record_word(own.generation, generation);
    return true;
  }
  // Recorded first (a death between the two leaves both, and the claim is split twice: once).
  const auto cursor = static_cast<std::int64_t>(cursor_word().load(std::memory_order_relaxed));
  if (cursor >= 0) {
    const ClaimedBuckets claimed = claim_from(cursor);
    store_record_word(own.chunks_in_use, 0);
    store_record_word(own.generation, generation);
    store_record_word(own.next, claimed.first);
    store_record_word(own.end, claimed.end);
    store_record_word(own.chunks_in_use, chunks_in_use);
    crash_point("expansion.claimed");
    // relaxed: every taker holds expansion_lock
    cursor_word().store(static_cast<std::uint64_t>(cursor - buckets_per_claim), std::memory_order_relaxed);
    return true;
  }
  const ExpansionScan scan = scan_expansion(chunks_in_use);
  if (!scan.has_orphan) {
    return false;
  }
  map_layout::ExpansionClaim& orphan = *scan.orphan;
  const std::uint64_t next = load_record_word(orphan.next);
  const std::uint64_t end = load_record_word(orphan.end);
  if (end <= buckets) {
    store_record_word(own.chunks_in_use, 0);
    store_record_word(own.generation, generation);
    store_record_word(own.next, next);
    store_record_word(own.end, end);
    store_record_word(own.chunks_in_use, chunks_in_use);
    crash_point("expansion.adopted");
  }
  // A claim past the old buckets is damaged: it is dropped, not followed.
  store_record_word(orphan.chunks_in_use, 0);
  return end <= buckets;
}

void ConcurrentHashMap_string::work_on_claims(std::uint64_t chunks_in_use, std::uint64_t deadline_ns) {
  SplitScratch scratch;
  while (true) {
    WriterHold writer(*this);
    if (!take_claim(chunks_in_use, writer.record())) {
      return;
    }
    map_layout::ExpansionClaim& claim = own_records_->claims[writer.record()];
    try {
      // Split from the top down, as the cursor hands claims out: the buckets below a claim are
      // usually this participant's next claim. The claim shrinks from its end as buckets are done.
      const std::uint64_t first = load_record_word(claim.next);
      const std::uint64_t end = load_record_word(claim.end);
      // A split's first reads are its buckets (written: locked) and the old bucket's page, at a
      // random place in the heap: those of the buckets a little further down are asked for while
      // this one is split, so that their misses overlap.
      for (std::uint64_t ahead = 1; ahead <= 2 * split_prefetch_distance && ahead <= end; ++ahead) {
        prefetch_split(end - ahead, chunks_in_use, ahead <= split_prefetch_distance);
      }
      for (std::uint64_t bucket = end; bucket-- > first;) {
        if (bucket >= 2 * split_prefetch_distance) {
          prefetch_split(bucket - 2 * split_prefetch_distance, chunks_in_use, false);
          prefetch_split(bucket - split_prefetch_distance, chunks_in_use, true);
        }
        split_bucket(bucket, chunks_in_use, writer, scratch, deadline_ns);
        store_record_word(claim.end, bucket);
      }
      store_record_word(claim.chunks_in_use, 0);
    } catch (...) {
      // Given back for whoever comes next; this participant leaves (the caller's caller decides).
      OwnedLockGuard guard(expansion_lock_, expansion_liveness_, Interrupt::never, LockRank::expansion);
      store_record_word(claim.generation, 0);
      count_member(chunks_in_use, -1);
      mirror_workers(scan_expansion(chunks_in_use).live_members);
      throw;
    }
  }
}

bool ConcurrentHashMap_string::leave_expansion(std::uint64_t chunks_in_use, bool may_stay) {
  OwnedLockGuard guard(expansion_lock_, expansion_liveness_, Interrupt::never, LockRank::expansion);
  ExpansionScan scan = scan_expansion(chunks_in_use);
  if (may_stay && scan.has_orphan) {
    return true;  // a claim a dead process left: this participant stays and splits it
  }
  count_member(chunks_in_use, -1);
  crash_point("expansion.left");
  scan = scan_expansion(chunks_in_use);
  mirror_workers(scan.live_members);
  if (scan.live_members != 0 || scan.unfinished_claims != 0 || !expansion_is_published(chunks_in_use) ||
      static_cast<std::int64_t>(cursor_word().load(std::memory_order_relaxed)) >= 0 ||
      chunks_in_use_word().load(std::memory_order_relaxed) != chunks_in_use) {
    return false;
  }
  // Every old bucket is split: the doubling, then the marks (cleared before the lock is released,
  // so a next expansion never has a mark cleared under it).
  // release: the new bucket chunks and every moved entry are visible to whoever reads the new N
  chunks_in_use_word().store(chunks_in_use * 2, std::memory_order_release);
  wake_word_sleepers(bucket_chunk_in_use_);  // the operations that wait for the doubling's end
  crash_point("expansion.doubled");
  clear_moving_marks(chunks_in_use);
  return false;
}

bool ConcurrentHashMap_string::expansion_is_published(std::uint64_t chunks_in_use) const noexcept {
  if (chunks_in_use > bucket_chunk_number_ / 2) {
    return false;
  }
  // acquire: as every reader of a slot
  const std::uint64_t value =
      map_layout::table_slot_word(table_, chunks_in_use).load(std::memory_order_acquire);
  return value != 0 && !map_layout::is_creator_marker(value);
}

bool ConcurrentHashMap_string::expansion_under_way() const noexcept {
  const std::uint64_t chunks_in_use = bucket_chunk_in_use();
  // acquire: as every reader of a slot
  return chunks_in_use <= bucket_chunk_number_ / 2 &&
         map_layout::table_slot_word(table_, chunks_in_use).load(std::memory_order_acquire) != 0;
}

bool ConcurrentHashMap_string::expansion_needs_help() const {
  OwnedLockGuard guard(expansion_lock_, expansion_liveness_, Interrupt::when_free, LockRank::expansion);
  ExpansionScan scan;
  return wants_participant(chunks_in_use_word().load(std::memory_order_relaxed), false, scan);
}


// Clears the mark of every old bucket. Runs under expansion_lock, after the doubling, in the last
// participant; only old buckets (0 .. B*N-1) are ever marked.
void ConcurrentHashMap_string::clear_moving_marks(std::uint64_t chunks_in_use) noexcept {
  for (std::uint64_t chunk = 0; chunk < chunks_in_use; ++chunk) {
    std::byte* address = nullptr;
    try {
      address = chunk_address(chunk);
    } catch (const std::exception&) {
      continue;  // an old chunk is always in the table; nothing to clear where none is found
    }
    for (std::uint64_t position = 0; position < bucket_chunk_size_; ++position) {
      Bucket* bucket = reinterpret_cast<Bucket*>(address + position * sizeof(Bucket));
      try {
        back_bucket(bucket);
      } catch (const HeapExhausted&) {
        continue;  // a page the file system cannot back was never written: it holds no mark
      }
      // release: whoever reads the cleared mark also sees the doubled bucket_chunk_in_use
      map_layout::moving_to_word(bucket).exchange(0, std::memory_order_release);
    }
  }
}

bool python_expansion_helper_string(std::string& name, std::size_t target_length) {
  if (name.empty()) {
    throw std::invalid_argument(map_texts::expansion_helper_empty_name);
  }
  // These dimensions only pass the parameter checks: an existing map brings its own.
  ConcurrentHashMap_string map(name, 2, 2, 2, 3);
  // The target is checked under expansion_lock, in the same step as the join: a worker that comes
  // after the doubling it was sent for only opens and closes the map.
  const auto is_below_target = [&map, target_length] { return map.bucket_chunk_in_use() < target_length; };
  if (map.join_expansion(is_below_target, 0)) {
    map.expand_released(0);
  }
  return map.bucket_chunk_in_use() >= target_length;
}

}  // namespace corvana
