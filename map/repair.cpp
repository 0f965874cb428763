// ConcurrentHashMap_string: the repair of what dead writers left half done to a bucket, by whoever
// takes its lock over (see the writer records in map/map_records.hpp).
#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>

#include "map/bucket_locks.hpp"
#include "map/bucket_version.hpp"
#include "map/entry_pages.hpp"
#include "map/map_records.hpp"
#include "map/string_map.hpp"

namespace corvana {

using map_layout::Bucket;
using map_layout::HeapAccess;
using map_layout::IntentKind;
using map_layout::PageHeader;
using map_layout::page_link_of;
using map_layout::WriterIntent;

namespace {

// Whether `word` is an 8-byte aligned word after the header of the slab chunk `page`, where the
// fields word of one of its entries can be.
bool is_entry_word_of_page(const HeapAccess& heap, Offset word, Offset page) noexcept {
  const std::uint32_t klass = slab_chunk_class(heap.base, heap.slabs, page);
  if (klass == no_slab_class) {
    return false;
  }
  const auto first = static_cast<std::uint64_t>(page) + sizeof(PageHeader);
  const auto at = static_cast<std::uint64_t>(word);
  return at >= first && at + sizeof(std::uint64_t) <= static_cast<std::uint64_t>(page) + slab_class_bytes(klass) &&
         (at - first) % 8 == 0;
}

}  // namespace

// Whoever holds a bucket's lock has no change of it under way but its own: a writer begins its
// intent after it takes the lock and clears it before it releases it, and a repairer acts on the
// dead writer's intent in place, writing none of its own. So once a lock is taken over, every
// intent that names the bucket is a dead writer's, and it stays where that writer left it until it
// is resolved, whoever dies in between (a repairer that dies leaves the lock taken over again, and
// the next taker finds the same intents). They are found by a scan of every slot's records, not
// through the token in the lock word, which names only the last holder. No owner is asked whether it
// lives: the takeover found the holder dead, and a question asked again now may say otherwise for a
// moment (a process claiming the dead owner's slot holds the slot's liveness lock before it raises
// the slot's generation). An intent skipped on that answer would stay unresolved, and the claimer,
// which then finds the lock free, would clear it as stale: a published change never counted, or
// the pages of an unpublished one never given back.
// The repair is a change of the bucket like any other: its version is odd while it runs, and even
// once it is over, also when the dead holder had left it odd.
void ConcurrentHashMap_string::repair_bucket(Bucket* bucket) const {
  const map_layout::BucketChange changing(bucket);
  const Offset wanted = access_->offset_of(bucket);
  const std::uint32_t slots = std::min(process_table_->high_water(), process_table_->slot_count());
  for (std::uint32_t index = 0; index < slots; ++index) {
    ProcessSlot* slot = process_table_->slot(index);
    map_layout::SlotRecords* records = map_layout::slot_records(slot);
    for (std::uint32_t record = 0; record < map_layout::writer_records; ++record) {
      WriterIntent* intent = &records->intents[record];
      // acquire: a dead writer's stores are all visible (see crash_order_barrier)
      const std::uint64_t state = map_layout::intent_state_word(intent).load(std::memory_order_acquire);
      if (state == 0 || intent->bucket != wanted) {
        continue;
      }
      resolve_intent(bucket, slot, record, map_layout::intent_generation(state));
    }
  }
}

void ConcurrentHashMap_string::resolve_intent(Bucket* bucket, ProcessSlot* slot, std::uint32_t record,
                                              std::uint32_t generation) const {
  map_layout::SlotRecords* records = map_layout::slot_records(slot);
  WriterIntent* intent = &records->intents[record];
  // acquire: the writer is dead and its stores are all visible (see crash_order_barrier)
  const std::uint64_t state = map_layout::intent_state_word(intent).load(std::memory_order_acquire);
  const HeapAccess& heap = *access_;
  if (state == 0 || map_layout::intent_generation(state) != generation || intent->bucket != heap.offset_of(bucket)) {
    return;  // the holder was not changing this bucket: nothing was left half done
  }
  const auto clear = [intent] { map_layout::clear_intent(intent); };
  if (map_layout::intent_kind(state) == IntentKind::split) {
    repair_split(bucket, slot->slab_caches[record], intent);  // clears the intent
    return;
  }
  const IntentKind kind = map_layout::intent_kind(state);
  if (kind != IntentKind::change && kind != IntentKind::erase && kind != IntentKind::in_page &&
      kind != IntentKind::fill) {
    clear();
    return;
  }
  // Each repair below clears the intent before it frees: a repairer that dies in between leaks
  // what it was freeing rather than letting the next one free it twice.
  const Offset new_pages[2] = {intent->new_pages[0], intent->new_pages[1]};
  const Offset new_strings[2] = {intent->new_strings[0], intent->new_strings[1]};
  // The word the change publishes through, written just before the publishing store: null, the
  // change was still being made.
  const Offset link = intent->link;
  if (link == Offset::null) {
    clear();
    map_layout::free_pages_and_strings(heap, nullptr, new_pages, new_strings);
    return;
  }
  // It is the bucket's page word or the first word of one of its pages (a slab chunk); for a
  // remove in place, the fields word of an entry inside the page it names. Anything else is not
  // followed.
  // For a change inside a page, its length word.
  const bool is_link_valid =
      kind == IntentKind::erase || kind == IntentKind::fill ? is_entry_word_of_page(heap, link, intent->old_page)
      : kind == IntentKind::in_page ? static_cast<std::uint64_t>(link) ==
                                              static_cast<std::uint64_t>(intent->old_page) + map_layout::page_length_offset &&
                                          slab_chunk_class(base_, heap.slabs, intent->old_page) != no_slab_class
                                    : link == page_link_of(heap, bucket) ||
                                          slab_chunk_class(base_, heap.slabs, link) != no_slab_class;
  if (!is_link_valid) {
    clear();
    throw DamagedFile("a change left by a dead process names a word that is not one of its bucket");
  }
  // acquire: as the state above
  const auto current = static_cast<Offset>(
      map_layout::word_at(base_ + static_cast<std::uint64_t>(link)).load(std::memory_order_acquire));
  if (current == intent->new_target) {
    // Published: the count, then the rest of what the change replaced. The writer gave it back to
    // its caches in order, each chunk at the head of its cache until the intent moved past it: of
    // what the intent still names, only the first can be given back already.
    const std::int8_t delta = map_layout::intent_delta(state);
    std::atomic_ref<std::uint64_t> count = map_layout::count_word(records, record);
    // relaxed: the record's writer is dead; this thread writes for it, under the bucket's lock
    if (delta != 0 && static_cast<std::int64_t>(count.load(std::memory_order_relaxed)) == intent->count_before) {
      crash_order_barrier();
      count.store(static_cast<std::uint64_t>(intent->count_before + delta), std::memory_order_relaxed);
      crash_order_barrier();
      crash_point("repair.counted");
    }
    if (kind == IntentKind::in_page && intent->second_word != Offset::null) {
      // The old version of an updated entry is marked removed (again, when the writer had).
      if (!is_entry_word_of_page(heap, intent->second_word, intent->old_page)) {
        clear();
        throw DamagedFile("a change left by a dead process names an entry outside its page");
      }
      const map_layout::PageView page = map_layout::read_page(heap, intent->old_page);
      map_layout::mark_removed(base_ + static_cast<std::uint64_t>(intent->second_word) -
                                   offsetof(map_layout::EntryHeader, key_field),
                               page.capacity_end);
    }
    if (kind == IntentKind::fill) {
      // The rest of the hole after the entry is an entry of its own: the page counts it.
      const map_layout::PageView page = map_layout::read_page(heap, intent->old_page);
      const std::uint32_t counted = map_layout::counted_entries(page);
      if (counted != page.entry_count) {
        const auto page_bytes = static_cast<std::uint64_t>(page.entries_end - page.entries);
        // relaxed: this thread holds the bucket's lock
        map_layout::word_at(page.address + map_layout::page_length_offset)
            .store(map_layout::page_length_word(counted, page_bytes), std::memory_order_relaxed);
      }
    }
    const auto is_given_back = [&](Offset chunk) {
      return map_layout::is_given_back(heap, slot->slab_caches[record], chunk);
    };
    // The old page's link is never followed; each old string's chain is freed from what its give-
    // back left (see chain_remainder), its first chunk by itself when that one's link is in doubt.
    Offset lone_chunks[2] = {kind == IntentKind::change ? intent->old_page : Offset::null, Offset::null};
    if (lone_chunks[0] != Offset::null && is_given_back(lone_chunks[0])) {
      lone_chunks[0] = Offset::null;
    }
    Offset old_strings[2];
    for (int index = 0; index < 2; ++index) {
      const map_layout::ChainRemainder left = map_layout::chain_remainder(
          heap, slot->slab_caches[record], intent->old_strings[index], intent->pending_next[index]);
      old_strings[index] = left.rest;
      if (left.lone != Offset::null) {
        lone_chunks[1] = left.lone;  // at most one chain has begun its give-back and not finished it
      }
    }
    clear();
    map_layout::free_pages_and_strings(heap, nullptr, lone_chunks, old_strings);
    return;
  }
  clear();
  if (current == intent->old_target) {
    // Never published: what the change had made goes back.
    map_layout::free_pages_and_strings(heap, nullptr, new_pages, new_strings);
  }
}

void ConcurrentHashMap_string::repair_inherited_slot() {
  // The previous owner of this slot died: every change it left half done holds its bucket's lock
  // (intents are set and cleared under it), so taking that lock over repairs the change, or waits for
  // whoever is repairing it. An intent whose bucket's lock was free is a stale one (left by a
  // repair that never cleared it in a file of an older version): the bucket has been used since,
  // and acting on it could free what others now use, so it is only cleared.
  for (std::uint32_t record = 0; record < map_layout::writer_records; ++record) {
    WriterIntent* intent = &own_records_->intents[record];
    // acquire: as in resolve_intent
    if (map_layout::intent_state_word(intent).load(std::memory_order_acquire) == 0) {
      continue;
    }
    BucketHold hold;
    if (Bucket* bucket = bucket_at_offset(intent->bucket); bucket != nullptr) {
      hold.take(*this, bucket, Interrupt::never);
    }
    map_layout::clear_intent(intent);
  }
}

}  // namespace corvana
