// Cooperative expansion of the string map: doubling the number of bucket chunks.
//
// Rules (N is bucket_chunk_in_use when the expansion starts, B the buckets per chunk):
// - A participant counts itself in expansion_workers under expansion_lock before it calls expand(),
//   and only when the table has room for 2N chunks; N cannot change while any participant is
//   counted in, so every participant of one expansion sees the same N.
// - The creator is the participant whose compare-and-set turns table slot N from 0 into the marker
//   1. It makes all N new chunks in one raw block, sets migration_cursor to B*N - 1 and publishes
//   slots 2N-1 down to N, slot N last. If it cannot make them, it puts slot N back to 0 and leaves;
//   participants waiting for the marker see 0 and leave too, and the map keeps its size.
// - Participants claim 16 old buckets at a time from migration_cursor. A mover sets the old bucket's
//   moving_to before it takes the bucket's lock; only the last participant clears it, after the
//   doubling and under expansion_lock, so a next expansion (which enters through that lock) never
//   has a mark cleared under it.
// - A mover holds the old bucket's lock and then its sibling's (ascending bucket numbers, as get and
//   remove take them), so a get or remove that searches both sees either list whole.
// - The last participant to leave doubles N only when slot N holds a published chunk. A participant
//   that fails while splitting stays counted: the expansion never completes, but no entry is lost or
//   hidden (get and remove search a marked bucket and its sibling), and nothing is ever doubled over
//   a bucket that was not split.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "map/entry_list.hpp"
#include "map/map_records.hpp"
#include "map/map_support.hpp"
#include "map/string_map.hpp"

namespace corvana {

using map_layout::Bucket;
using map_layout::ChunkList;
using map_layout::Entry;
using map_layout::EntryCursor;
using map_layout::TakenRun;

namespace {

// Old buckets per claim on migration_cursor.
constexpr std::int64_t buckets_per_claim = 16;

constexpr char empty_name_text[] =
    "python_expansion_helper_string needs the name of an existing map, and the name is empty!";

// A position for writing entries into a list in order, following its links as it goes.
class EntryWriter {
 public:
  EntryWriter(Allocator heap, const ChunkList* list) noexcept
      : heap_(heap), link_(map_layout::link_at(heap, list->head)) {}

  // The slot of entry `index`; indices must be asked for in increasing order, one step at a time.
  Entry* slot(std::uint64_t index) noexcept {
    const std::uint64_t link_index = index / map_layout::entries_per_block;
    if (link_index > link_index_) {
      link_ = map_layout::link_at(heap_, link_->next);
      link_index_ = link_index;
    }
    return map_layout::entry_in_block(heap_, link_, index % map_layout::entries_per_block);
  }

 private:
  Allocator heap_;
  ChunkLink* link_;
  std::uint64_t link_index_ = 0;
};

}  // namespace

void ConcurrentHashMap_string::expand() {
  require_usable();
  // N is stable: it only changes when the last participant leaves, and this one is counted in.
  const std::uint64_t chunks_in_use = bucket_chunk_in_use();
  const auto is_done = [this, chunks_in_use] { return expansion_is_published(chunks_in_use); };
  const auto finish = [this, chunks_in_use] { clear_moving_marks(chunks_in_use); };
  if (chunks_in_use > bucket_chunk_number_ / 2) {
    // The table has no room for the doubling: nothing to do but leave.
    leave_expansion(is_done, finish);
    return;
  }

  auto slot = map_layout::table_slot_word(table_, chunks_in_use);
  std::uint64_t expected = 0;
  // relaxed: the marker publishes nothing; what the creator makes is published by its release below
  if (slot.compare_exchange_strong(expected, map_layout::table_slot_creating, std::memory_order_relaxed,
                                   std::memory_order_relaxed)) {
    try {
      create_new_chunks(chunks_in_use);
    } catch (...) {
      // Roll back: the map keeps its size, waiting participants leave, a later insert may try again.
      // release: pairs with the waiters' acquire; nothing of this attempt is reachable
      slot.store(0, std::memory_order_release);
      leave_expansion(is_done, finish);
      throw;
    }
  }

  // Wait for the creator. It only allocates and initialises, so the wait ends unless it rolls back.
  while (true) {
    // acquire: the new chunks and migration_cursor, written before the publication, are visible
    const std::uint64_t value = slot.load(std::memory_order_acquire);
    if (value == 0) {
      leave_expansion(is_done, finish);  // the creator rolled back
      return;
    }
    if (value != map_layout::table_slot_creating) {
      break;
    }
    sleep_wait_step();  // gives the interpreter lock away while it sleeps
  }

  // Claims of 16 old buckets, each split in ascending order. A failure leaves this participant
  // counted (see the rules above) and propagates.
  std::vector<Entry> moving;
  while (true) {
    // relaxed: claims only need to be disjoint; every bucket is then guarded by its lock
    const auto highest =
        static_cast<std::int64_t>(cursor_word().fetch_sub(buckets_per_claim, std::memory_order_relaxed));
    if (highest < 0) {
      break;
    }
    const std::int64_t lowest = std::max<std::int64_t>(highest - (buckets_per_claim - 1), 0);
    for (std::int64_t bucket = lowest; bucket <= highest; ++bucket) {
      WriterHold writer(*this);
      split_bucket(static_cast<std::uint64_t>(bucket), chunks_in_use, moving, writer);
    }
  }
  leave_expansion(is_done, finish);
}

bool ConcurrentHashMap_string::expansion_is_published(std::uint64_t chunks_in_use) const noexcept {
  if (chunks_in_use > bucket_chunk_number_ / 2) {
    return false;
  }
  // acquire: as every reader of a slot
  const std::uint64_t value =
      map_layout::table_slot_word(table_, chunks_in_use).load(std::memory_order_acquire);
  return value > map_layout::table_slot_creating;
}

// Makes chunks N .. 2N-1 in one raw block and publishes them. Fresh heap space is zero, and a
// bucket of zeros is an empty bucket without links: nothing needs initialising.
// Requires: this thread holds the marker in table slot N.     Locks: the heap.
// Throws:   runtime_error with the heap's text when the heap has no room; nothing is then published.
void ConcurrentHashMap_string::create_new_chunks(std::uint64_t chunks_in_use) {
  std::uint64_t new_buckets = 0;
  std::uint64_t block_bytes = 0;
  if (__builtin_mul_overflow(bucket_chunk_size_, chunks_in_use, &new_buckets) ||
      !map_layout::aligned_block_bytes(new_buckets, sizeof(Bucket), block_bytes)) {
    throw std::runtime_error("the doubled bucket chunks would not fit in 64 bits");
  }
  std::byte* payload = heap_alloc_bytes(base_, block_bytes);
  if (payload == nullptr) {
    throw std::runtime_error(map_layout::heap_error_text());
  }
  std::byte* first_chunk = payload + map_layout::aligned_block_slack;
  // relaxed: the release publication of slot N below orders it before every claim
  cursor_word().store(new_buckets - 1, std::memory_order_relaxed);
  const std::uint64_t chunk_bytes = bucket_chunk_size_ * sizeof(Bucket);
  for (std::uint64_t chunk = 2 * chunks_in_use; chunk-- > chunks_in_use;) {
    std::byte* address = first_chunk + (chunk - chunks_in_use) * chunk_bytes;
    // release: the chunk (and, for slot N, migration_cursor) is visible to whoever reads the slot
    map_layout::table_slot_word(table_, chunk)
        .exchange(static_cast<std::uint64_t>(offset_of(base_, address)), std::memory_order_release);
  }
}

// Hands the entries of old bucket `bucket` whose hash has bit B*N set over to its sibling, keeping
// the order of both lists. Entries move as whole 88-byte records (their key and value list records
// and hash); no key or value bytes are copied. The sibling's record blocks are the old list's spare
// links (those its staying entries no longer need), and from the block cache what they lack.
// Every check, every link taken and the scratch space come before the first change, so a failure
// changes nothing.
// Locks:    the old bucket, then its sibling (ascending bucket order, as get and remove).
void ConcurrentHashMap_string::split_bucket(std::uint64_t bucket_number, std::uint64_t chunks_in_use,
                                            std::vector<Entry>& moving, const WriterHold& writer) {
  const std::uint64_t split_bit = bucket_chunk_size_ * chunks_in_use;
  Bucket* old_bucket = bucket_at(bucket_number);
  Bucket* sibling = bucket_at(bucket_number + split_bit);
  // acq_rel: the sibling's chunk, seen through the table, is visible to whoever reads the mark; the
  // mark is set before the lock is taken, so inserts that take the lock after us back off
  map_layout::moving_to_word(old_bucket)
      .exchange(static_cast<std::uint64_t>(offset_of(base_, sibling)), std::memory_order_acq_rel);
  BucketHold old_hold;
  old_hold.take(*this, old_bucket, Interrupt::never);
  BucketHold sibling_hold;
  sibling_hold.take(*this, sibling, Interrupt::never);

  ChunkList* from = map_layout::entries_of(old_bucket);
  ChunkList* to = map_layout::entries_of(sibling);
  const std::uint64_t length = from->length;
  if (length == 0) {
    return;
  }
  std::uint64_t moving_count = 0;
  {
    EntryCursor cursor(base_, from);
    while (true) {
      if ((static_cast<std::uint64_t>(cursor.entry()->hash) & split_bit) != 0) {
        ++moving_count;
      }
      if (cursor.index() + 1 == length) {
        break;
      }
      cursor.advance();
    }
  }
  if (moving_count == 0) {
    return;
  }
  const std::uint64_t staying_count = length - moving_count;
  const std::uint64_t old_links = from->link_count;
  const std::uint64_t staying_links = map_layout::links_for_entries(staying_count);
  const std::uint64_t moving_links = map_layout::links_for_bytes(moving_count, map_layout::entries_per_block);
  if (to->length != 0 || to->link_count != 0 || old_links < staying_links) {
    throw std::runtime_error("bucket " + std::to_string(bucket_number) + " cannot be split: its lists are damaged");
  }
  const std::uint64_t spare_links = old_links - staying_links;
  const std::uint64_t handed_links = std::min(spare_links, moving_links);
  TakenRun added_links(writer.blocks(), moving_links - handed_links);  // throws: nothing changed
  moving.resize(moving_count);  // may throw bad_alloc: nothing has changed yet

  // First pass: moving entries to the scratch space, staying ones packed forward in place.
  EntryCursor cursor(base_, from);
  EntryWriter staying(base_, from);
  std::uint64_t moved = 0;
  std::uint64_t kept = 0;
  while (true) {
    Entry* entry = cursor.entry();
    if ((static_cast<std::uint64_t>(entry->hash) & split_bit) != 0) {
      std::memcpy(static_cast<void*>(&moving[moved++]), entry, sizeof(Entry));
    } else {
      Entry* destination = staying.slot(kept);
      if (destination != entry) {
        std::memcpy(static_cast<void*>(destination), entry, sizeof(Entry));
      }
      ++kept;
    }
    if (cursor.index() + 1 == length) {
      break;
    }
    cursor.advance();
  }
  // Slots past the staying entries are unused now: they must own nothing.
  for (std::uint64_t index = kept; index < length; ++index) {
    std::memset(static_cast<void*>(staying.slot(index)), 0, sizeof(Entry));
  }

  // The sibling's links: the old list's last `handed_links` links (all of their slots unused now),
  // then those taken from the cache.
  ChunkLink* chain_first = nullptr;
  ChunkLink* chain_last = nullptr;
  if (handed_links > 0) {
    chain_first =
        map_layout::walk_links(base_, map_layout::link_at(base_, from->head), old_links - handed_links);
    chain_last = map_layout::walk_links(base_, chain_first, handed_links - 1);
    from->link_count = old_links - handed_links;
  }
  if (added_links.count() > 0) {
    const std::uint64_t added = added_links.count();
    ChunkLink* run = added_links.release();
    if (chain_last != nullptr) {
      chain_last->next = offset_of(base_, run);
    } else {
      chain_first = run;
    }
    chain_last = map_layout::walk_links(base_, run, added - 1);
  }
  from->length = staying_count;
  to->head = offset_of(base_, chain_first);
  to->link_count = moving_links;
  to->unit = map_layout::entries_per_block;

  // Second pass: the moving entries into the sibling's slots, in order.
  EntryWriter into(base_, to);
  for (std::uint64_t index = 0; index < moving_count; ++index) {
    std::memcpy(static_cast<void*>(into.slot(index)), &moving[index], sizeof(Entry));
  }
  to->length = moving_count;
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
      // release: whoever reads the cleared mark also sees the doubled bucket_chunk_in_use
      map_layout::moving_to_word(bucket).exchange(0, std::memory_order_release);
    }
  }
}

void python_expansion_helper_string(std::string& name, std::size_t target_length) {
  if (name.empty()) {
    throw std::invalid_argument(empty_name_text);
  }
  // These dimensions only pass the parameter checks: an existing map brings its own.
  ConcurrentHashMap_string map(name, 2, 2, 2, 3);
  // The target is checked under expansion_lock, in the same step as the join: a worker that comes
  // after the doubling it was sent for only opens and closes the map.
  const auto is_below_target = [&map, target_length] { return map.bucket_chunk_in_use() < target_length; };
  if (map.enter_expansion(is_below_target)) {
    map.expand();
  }
}

}  // namespace corvana
