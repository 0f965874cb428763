// The split of one old bucket into its sibling during a doubling (map/expansion.cpp), and its
// repair after the mover's death.
//
// A mover holds the old bucket's lock and then its sibling's (ascending bucket numbers, as get and
// remove take them). It builds the sibling's pages and the old bucket's new pages aside (recorded in
// its intent as it builds them), then publishes the sibling's first and the old bucket's second (each
// one store), so that at every store each entry is reachable from at least one of the two, and gives
// the old pages back one at a time; a repair after its death frees what was built or finishes the
// second store and the give-backs (see repair_split). When every entry moves and none is removed,
// the sibling takes the old chain as it is (relink_split). Both buckets' versions are odd from the
// first publishing store to the end of the give-back, so a get without the lock never keeps a read
// made meanwhile.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "map/bucket_version.hpp"
#include "map/entry_pages.hpp"
#include "map/map_records.hpp"
#include "map/map_support.hpp"
#include "map/split_scratch.hpp"
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

// The pages of a chain being built aside: entries are appended in order, a page is closed when the
// next entry does not fit it, and each page names the next. The chain is built from its last page,
// and `first` (a field of the writer's intent) names its first page after each page is added.
class ChainBuilder {
 public:
  using Piece = map_layout::SplitPiece;
  ChainBuilder(const HeapAccess& heap, ClassCaches& caches, Offset& first, std::vector<Piece>& pieces,
               std::vector<std::size_t>& page_ends) noexcept
      : heap_(heap), caches_(caches), first_(first), pieces_(pieces), page_ends_(page_ends) {
    pieces_.clear();
  }

  void add(const EntryView& entry) { pieces_.push_back({entry.address, entry.bytes}); }
  [[nodiscard]] bool is_empty() const noexcept { return pieces_.empty(); }
  // Writes the pages (last first, so each can name its successor); returns the first, or null.
  Offset build() {
    page_ends_.clear();
    std::uint64_t bytes = 0;
    for (std::size_t index = 0; index < pieces_.size(); ++index) {
      if (bytes + pieces_[index].bytes > map_layout::page_entry_capacity) {
        page_ends_.push_back(index);
        bytes = 0;
      }
      bytes += pieces_[index].bytes;
    }
    if (!pieces_.empty()) {
      page_ends_.push_back(pieces_.size());
    }
    Offset next = Offset::null;
    for (std::size_t page_index = page_ends_.size(); page_index-- > 0;) {
      const std::size_t begin = page_index == 0 ? 0 : page_ends_[page_index - 1];
      const std::size_t end = page_ends_[page_index];
      std::uint64_t page_bytes = 0;
      for (std::size_t index = begin; index < end; ++index) {
        page_bytes += pieces_[index].bytes;
      }
      Offset offset;
      std::byte* page = map_layout::new_page(heap_, caches_, page_bytes, static_cast<std::uint32_t>(end - begin),
                                             next, offset);
      std::byte* at = page + sizeof(PageHeader);
      for (std::size_t index = begin; index < end; ++index) {
        std::memcpy(at, pieces_[index].address, pieces_[index].bytes);
        at += pieces_[index].bytes;
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
  std::vector<Piece>& pieces_;
  std::vector<std::size_t>& page_ends_;
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

// Hands the entries of old bucket `bucket` whose hash has bit B*N set over to its sibling, keeping
// the order of both. Entries move as whole records (their out-of-line strings move with them: no key
// or value bytes are copied for those). Both buckets get new pages, built aside: the sibling's are
// published first, then the old bucket's, then the old pages are freed; a split a death cuts short
// is finished by whoever takes the old bucket's lock over (repair_split). A bucket split before (its
// sibling holds entries) is left as it is. A failure before the first store changes nothing.
// Locks:    the old bucket, then its sibling (ascending bucket order, as get and remove).
void ConcurrentHashMap_string::split_bucket(std::uint64_t bucket_number, std::uint64_t chunks_in_use,
                                            const WriterHold& writer, SplitScratch& scratch,
                                            std::uint64_t deadline_ns) {
  const std::uint64_t split_bit = bucket_chunk_size_ * chunks_in_use;
  Bucket* old_bucket = bucket_at(bucket_number);
  Bucket* sibling = bucket_at(bucket_number + split_bit);
  // release: the sibling's chunk, seen through the table, is visible to whoever reads the mark. The
  // mark is set before the lock is taken, so an insert that takes the lock after this thread has
  // released it backs off; one that holds the lock now either sees the mark and waits, or does not
  // and changes a bucket that is not split yet: both are sound.
  map_layout::moving_to_word(old_bucket)
      .store(static_cast<std::uint64_t>(offset_of(base_, sibling)), std::memory_order_release);
  // The old bucket's holder may be a stopped process: Ctrl-C or the deadline ends the wait, and the
  // caller hands its claim over (the mark stays, and the next mover sets it again). The sibling is
  // only ever held by whoever holds the old bucket, or by a dead one: its wait is short.
  BucketHold old_hold;
  old_hold.take(*this, old_bucket, {Interrupt::when_free, deadline_ns});
  BucketHold sibling_hold;
  sibling_hold.take(*this, sibling, Interrupt::never);
  move_entries(old_bucket, sibling, split_bit, writer, scratch);
  mark_split_done(old_bucket, sibling);
}

void ConcurrentHashMap_string::mark_split_done(Bucket* old_bucket, Bucket* sibling) const noexcept {
  // release: with the bucket's lock, whoever reads the mark under it finds the split's pages whole.
  // The mark names this doubling's sibling already (it was set before the lock was taken, and no
  // other doubling runs meanwhile); another mover that sets it again without the bit, for a claim
  // split twice, finds the split done and sets the bit again.
  map_layout::moving_to_word(old_bucket)
      .store(static_cast<std::uint64_t>(offset_of(base_, sibling)) | map_layout::split_done_bit,
             std::memory_order_release);
}

void ConcurrentHashMap_string::move_entries(Bucket* old_bucket, Bucket* sibling, std::uint64_t split_bit,
                                            const WriterHold& writer, SplitScratch& scratch) {
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
  intent->pending_next[0] = old_first;  // the old chain's give-back has not begun
  intent->pending_next[1] = Offset::null;
  ChainBuilder moving(heap, caches, intent->new_pages[0], scratch.moving, scratch.page_ends);
  ChainBuilder staying(heap, caches, intent->new_pages[1], scratch.staying, scratch.page_ends);
  bool has_removed = false;  // entries removed in place, which a split leaves behind
  map_layout::for_each_page(heap, old_bucket, [&](const PageView& page, Offset) {
    std::uint64_t live_bytes = 0;
    map_layout::for_each_entry(page, [&](const EntryView& entry) {
      ((bucket_bits(entry.hash) & split_bit) != 0 ? moving : staying).add(entry);
      live_bytes += entry.bytes;
    });
    has_removed = has_removed || live_bytes != static_cast<std::uint64_t>(page.entries_end - page.entries);
    return false;
  });
  if (moving.is_empty()) {
    return;
  }
  if (staying.is_empty() && !has_removed) {
    relink_split(old_bucket, sibling, old_first, writer);
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
  // Both buckets change from here to the end of the give-back (see map/bucket_version.hpp).
  const map_layout::BucketChange old_changing(old_bucket);
  const map_layout::BucketChange sibling_changing(sibling);
  is_published = true;
  // release: the new pages are whole before a bucket names them
  map_layout::page_word(sibling).store(static_cast<std::uint64_t>(moving_first), std::memory_order_release);
  crash_point("split.sibling_published");
  map_layout::page_word(old_bucket).store(static_cast<std::uint64_t>(staying_first), std::memory_order_release);
  crash_point("split.bucket_published");
  // The old pages go back one at a time, each kept at the head of its cache until the intent has
  // moved past it. On a damaged chain, the rest of it is leaked, and the intent goes before the
  // buckets' locks do (as in Change::publish).
  try {
    std::uint64_t budget = map_layout::page_budget(heap);
    while (intent->old_target != Offset::null) {
      if (budget-- == 0) {
        throw DamagedFile("the entry pages of a bucket do not end");
      }
      const Offset page = intent->old_target;
      const Offset next = map_layout::read_page(heap, page).next;
      map_layout::record_in_intent(intent->pending_next[0], next);
      caches.keep(page, heap.chunk_class(page, "an entry page"));
      map_layout::record_in_intent(intent->old_target, next);
      crash_point("split.freeing");
    }
  } catch (...) {
    writer.end();
    throw;
  }
  writer.end();
  caches.trim();
}

// Every entry of the old bucket moves, and its pages hold nothing else: its chain becomes the
// sibling's as it is, and no page is written. The intent names the chain as both the moving chain
// and the old one, so that a repair finishes the second store and frees nothing.
// Requires: both buckets' locks held, the sibling empty, `old_first` the old bucket's chain.
void ConcurrentHashMap_string::relink_split(Bucket* old_bucket, Bucket* sibling, Offset old_first,
                                            const WriterHold& writer) {
  WriterIntent* intent = writer.intent();
  intent->new_pages[0] = old_first;
  intent->new_target = old_first;
  intent->old_target = Offset::null;  // nothing to give back
  intent->pending_next[0] = Offset::null;
  writer.begin(IntentKind::split, 0);
  crash_point("split.relinking");
  // Both buckets change (see map/bucket_version.hpp): a get without the lock that read the old
  // bucket's chain before the relink must not keep what it read, since the chain is the sibling's
  // from here on and a later change of the sibling may free and reuse its pages.
  const map_layout::BucketChange old_changing(old_bucket);
  const map_layout::BucketChange sibling_changing(sibling);
  // release: as in split_bucket (the pages are whole already)
  map_layout::page_word(sibling).store(static_cast<std::uint64_t>(old_first), std::memory_order_release);
  crash_point("split.relinked_sibling");
  map_layout::page_word(old_bucket).store(0, std::memory_order_release);
  writer.end();
}

void ConcurrentHashMap_string::repair_split(Bucket* old_bucket, const SlabCacheRecord* writer_caches,
                                            WriterIntent* intent) const {
  const HeapAccess& heap = *access_;
  // Every path clears the intent before it frees (see clear_intent).
  const auto clear = [intent] { map_layout::clear_intent(intent); };
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
  // Taken over from the dead writer when it held it, or from a repairer of this split that died: the
  // takeover finds no intent naming the sibling as its bucket, since a split names it as `link`.
  BucketHold sibling_hold;
  sibling_hold.take(*this, sibling, Interrupt::never);
  crash_point("repair.split.sibling_taken");
  const Offset old_first = intent->new_target;  // the bucket's chain before the split
  // relaxed: both buckets' locks order their changes
  const auto sibling_page = static_cast<Offset>(map_layout::page_word(sibling).load(std::memory_order_relaxed));
  const auto old_page = static_cast<Offset>(map_layout::page_word(old_bucket).load(std::memory_order_relaxed));
  if (sibling_page != moving_first) {
    clear();
    // A relinked chain (the moving chain is the old one) is the old bucket's still: nothing was built.
    if (sibling_page == Offset::null && old_page == old_first && moving_first != old_first) {
      // Built, never published: what was built goes back.
      free_chain_pages(heap, nullptr, moving_first);
      free_chain_pages(heap, nullptr, staying_first);
    }
    return;
  }
  if (old_page == old_first) {
    // release: as in split_bucket
    map_layout::page_word(old_bucket).store(static_cast<std::uint64_t>(staying_first), std::memory_order_release);
    crash_point("repair.split.published");
  }
  mark_split_done(old_bucket, sibling);
  // The rest of the old chain, from what its give-back left (see chain_remainder).
  const map_layout::ChainRemainder left =
      map_layout::chain_remainder(heap, writer_caches, intent->old_target, intent->pending_next[0]);
  clear();
  if (left.lone != Offset::null) {
    static_cast<void>(slab_free(heap.base, heap.slabs, left.lone));
  }
  free_chain_pages(heap, nullptr, left.rest);
}

}  // namespace corvana
