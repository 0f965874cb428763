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
//   remove take them). It builds the sibling's pages and the old bucket's new pages aside (recorded
//   in its intent as it builds them), then publishes the sibling's first and the old bucket's second
//   (each one store), so that at every store each entry is reachable from at least one of the two,
//   and gives the old pages back one at a time; a repair after its death frees what was built or
//   finishes the second store and the give-backs (see repair_split).
// - The last participant to leave doubles N only when slot N holds a published chunk. A participant
//   that fails while splitting stays counted: the expansion never completes, but no entry is lost or
//   hidden (get and remove search a marked bucket and its sibling), and nothing is ever doubled over
//   a bucket that was not split.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "map/entry_pages.hpp"
#include "map/map_records.hpp"
#include "map/map_support.hpp"
#include "map/string_map.hpp"

namespace corvana {

using map_layout::Bucket;
using map_layout::ClassCaches;
using map_layout::EntryView;
using map_layout::HeapAccess;
using map_layout::IntentKind;
using map_layout::PageHeader;
using map_layout::PageView;
using map_layout::WriterIntent;

namespace {

// Old buckets per claim on migration_cursor.
constexpr std::int64_t buckets_per_claim = 16;

constexpr char empty_name_text[] =
    "python_expansion_helper_string needs the name of an existing map, and the name is empty!";

// The pages of a chain being built aside: entries are appended in order, a page is closed when the
// next entry does not fit it, and each page names the next. The chain is built from its last page,
// and `first` (a field of the writer's intent) names its first page after each page is added.
class ChainBuilder {
 public:
  ChainBuilder(const HeapAccess& heap, ClassCaches& caches, Offset& first) noexcept
      : heap_(heap), caches_(caches), first_(first) {}

  void add(const EntryView& entry) { entries_.push_back(entry); }
  [[nodiscard]] bool is_empty() const noexcept { return entries_.empty(); }
  // Writes the pages (last first, so each can name its successor); returns the first, or null.
  Offset build() {
    std::vector<std::pair<std::size_t, std::size_t>> spans;  // [begin, end) of entries per page
    std::uint64_t bytes = 0;
    std::size_t begin = 0;
    for (std::size_t index = 0; index < entries_.size(); ++index) {
      if (bytes + entries_[index].bytes > map_layout::page_entry_capacity) {
        spans.emplace_back(begin, index);
        begin = index;
        bytes = 0;
      }
      bytes += entries_[index].bytes;
    }
    if (!entries_.empty()) {
      spans.emplace_back(begin, entries_.size());
    }
    Offset next = Offset::null;
    for (std::size_t span = spans.size(); span-- > 0;) {
      std::uint64_t page_bytes = 0;
      for (std::size_t index = spans[span].first; index < spans[span].second; ++index) {
        page_bytes += entries_[index].bytes;
      }
      Offset offset;
      std::byte* page = map_layout::new_page(heap_, caches_, page_bytes,
                                             static_cast<std::uint32_t>(spans[span].second - spans[span].first),
                                             next, offset);
      std::byte* at = page + sizeof(PageHeader);
      for (std::size_t index = spans[span].first; index < spans[span].second; ++index) {
        std::memcpy(at, entries_[index].address, entries_[index].bytes);
        at += entries_[index].bytes;
      }
      map_layout::record_in_intent(first_, offset);
      next = offset;
    }
    return next;
  }

 private:
  const HeapAccess& heap_;
  ClassCaches& caches_;
  Offset& first_;
  std::vector<EntryView> entries_;
};

// Frees the pages (never the out-of-line strings, which moved with their entries) of a chain that
// nobody can reach any more.
void free_chain_pages(const HeapAccess& heap, ClassCaches* caches, Offset first) {
  std::uint64_t budget = map_layout::page_budget(heap);
  Offset page = first;
  while (page != Offset::null) {
    if (budget-- == 0) {
      throw DamagedFile("the entry pages of a bucket do not end");
    }
    const Offset next = map_layout::read_page(heap, page).next;
    if (caches != nullptr) {
      map_layout::give_back_page(heap, *caches, page);
    } else {
      static_cast<void>(slab_free(heap.base, heap.slabs, page));
    }
    page = next;
  }
}

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
      split_bucket(static_cast<std::uint64_t>(bucket), chunks_in_use, writer);
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
// bucket of zeros is an empty bucket: nothing needs initialising.
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
  std::byte* first_chunk = map_layout::line_aligned(payload);
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
// the order of both. Entries move as whole records (their out-of-line strings move with them: no key
// or value bytes are copied for those). Both buckets get new pages, built aside: the sibling's are
// published first, then the old bucket's, then the old pages are freed; a split a death cuts short
// is finished by whoever takes the old bucket's lock over (repair_split). A bucket split before (its
// sibling holds entries) is left as it is. A failure before the first store changes nothing.
// Locks:    the old bucket, then its sibling (ascending bucket order, as get and remove).
void ConcurrentHashMap_string::split_bucket(std::uint64_t bucket_number, std::uint64_t chunks_in_use,
                                            const WriterHold& writer) {
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

  const HeapAccess& heap = *access_;
  ClassCaches& caches = writer.caches();
  // relaxed: both buckets' locks order their changes
  const auto old_first = static_cast<Offset>(map_layout::page_word(old_bucket).load(std::memory_order_relaxed));
  if (old_first == Offset::null || map_layout::page_word(sibling).load(std::memory_order_relaxed) != 0) {
    return;  // nothing to move, or moved before
  }
  WriterIntent* intent = writer.intent();
  intent->bucket = heap.offset_of(old_bucket);
  intent->link = heap.offset_of(sibling);
  intent->old_target = old_first;
  intent->new_target = Offset::null;  // set to old_first once both chains are built
  intent->old_page = Offset::null;
  intent->new_pages[0] = intent->new_pages[1] = Offset::null;
  intent->count_before = 0;
  intent->old_strings[0] = intent->old_strings[1] = Offset::null;
  intent->new_strings[0] = intent->new_strings[1] = Offset::null;
  intent->pending_next = Offset::null;
  ChainBuilder moving(heap, caches, intent->new_pages[0]);
  ChainBuilder staying(heap, caches, intent->new_pages[1]);
  map_layout::for_each_page(heap, old_bucket, [&](const PageView& page, Offset) {
    map_layout::for_each_entry(page, [&](const EntryView& entry) {
      ((static_cast<std::uint64_t>(entry.hash) & split_bit) != 0 ? moving : staying).add(entry);
    });
    return false;
  });
  if (moving.is_empty()) {
    return;
  }
  writer.begin(IntentKind::split, 0);
  // On a failure before the publication (the heap has no room), what was built goes back.
  bool is_published = false;
  const auto give_back_built = [&] {
    const Offset built[2] = {intent->new_pages[0], intent->new_pages[1]};
    writer.end();
    for (const Offset first : built) {
      free_chain_pages(heap, &caches, first);
    }
  };
  struct OnFailure {
    const bool& is_published;
    const decltype(give_back_built)& undo;
    ~OnFailure() {
      if (!is_published) {
        try {
          undo();
        } catch (...) {
          // Pages this thread just built cannot be damaged; were they, they would only be lost.
        }
      }
    }
  } on_failure{is_published, give_back_built};
  const Offset moving_first = moving.build();
  const Offset staying_first = staying.build();
  map_layout::record_in_intent(intent->new_target, old_first);
  crash_point("split.begun");
  is_published = true;
  // release: the new pages are whole before a bucket names them
  map_layout::page_word(sibling).store(static_cast<std::uint64_t>(moving_first), std::memory_order_release);
  crash_point("split.sibling_published");
  map_layout::page_word(old_bucket).store(static_cast<std::uint64_t>(staying_first), std::memory_order_release);
  crash_point("split.bucket_published");
  // The old pages go back one at a time, each kept at the head of its cache until the intent has
  // moved past it.
  std::uint64_t budget = map_layout::page_budget(heap);
  while (intent->old_target != Offset::null) {
    if (budget-- == 0) {
      throw DamagedFile("the entry pages of a bucket do not end");
    }
    const Offset page = intent->old_target;
    const Offset next = map_layout::read_page(heap, page).next;
    map_layout::record_in_intent(intent->pending_next, next);
    caches.keep(page, heap.chunk_class(page, "an entry page"));
    map_layout::record_in_intent(intent->old_target, next);
    crash_point("split.freeing");
  }
  writer.end();
  caches.trim();
}

void ConcurrentHashMap_string::repair_split(Bucket* old_bucket, const SlabCacheRecord* writer_caches,
                                            WriterIntent* intent) {
  const HeapAccess& heap = *access_;
  // Every path clears the intent before it frees: a repairer that dies in between leaks what it was
  // freeing rather than letting the next one free it twice.
  const auto clear = [intent] {
    crash_order_barrier();
    map_layout::intent_state_word(intent).store(0, std::memory_order_relaxed);
    crash_order_barrier();
  };
  Bucket* sibling = bucket_at_offset(intent->link);
  if (sibling == nullptr) {
    clear();
    throw DamagedFile("a split left by a dead process names no sibling bucket");
  }
  const Offset moving_first = intent->new_pages[0];
  const Offset staying_first = intent->new_pages[1];
  if (intent->new_target == Offset::null) {
    // Still building: nothing was published; what was built goes back, and the bucket is split
    // again by whoever finishes the expansion.
    clear();
    free_chain_pages(heap, nullptr, moving_first);
    free_chain_pages(heap, nullptr, staying_first);
    return;
  }
  BucketHold sibling_hold;
  sibling_hold.take(*this, sibling, Interrupt::never);
  const Offset old_first = intent->new_target;  // the bucket's chain before the split
  // relaxed: both buckets' locks order their changes
  const auto sibling_page = static_cast<Offset>(map_layout::page_word(sibling).load(std::memory_order_relaxed));
  const auto old_page = static_cast<Offset>(map_layout::page_word(old_bucket).load(std::memory_order_relaxed));
  if (sibling_page != moving_first) {
    clear();
    if (sibling_page == Offset::null && old_page == old_first) {
      // Built, never published: what was built goes back.
      free_chain_pages(heap, nullptr, moving_first);
      free_chain_pages(heap, nullptr, staying_first);
    }
    return;
  }
  if (old_page == old_first) {
    // release: as in split_bucket
    map_layout::page_word(old_bucket).store(static_cast<std::uint64_t>(staying_first), std::memory_order_release);
  }
  // The rest of the old chain: from the page the writer was giving back, or the one after it when
  // that one is back already.
  Offset rest = intent->old_target;
  if (rest != Offset::null && map_layout::is_given_back(heap, writer_caches, rest)) {
    rest = intent->pending_next;
  }
  clear();
  free_chain_pages(heap, nullptr, rest);
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
