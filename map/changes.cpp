// ConcurrentHashMap_string: the changes of a bucket under its lock (append, replace, remove),
// each described by the writer's intent so that a death at any store leaves it done or not done.
//
// A change begins its intent under the bucket's lock, records each chunk it makes (new pages,
// out-of-line strings) as it makes it, then the word it publishes through (`link`), and publishes
// with one store into that word (the bucket's `page` or the previous page's `next`). Then it raises
// or lowers the writer's count, gives what it replaced back to the writer's caches one chunk at a
// time (the intent keeping track), and clears the intent. A repair after the writer's death reads
// the word: holding the new target, the change was published (the count is raised if it was not,
// and the rest of what it replaced is freed); otherwise it was not (what it had made is freed).
// The bucket's version is odd from before the first store into a page the bucket names (the
// publishing store, or the entry written into a page's slack or over a hole) until the change is
// over, its give-back included (see map/bucket_version.hpp).

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "map/bucket_search.hpp"
#include "map/bucket_version.hpp"
#include "map/entry_pages.hpp"
#include "map/map_records.hpp"
#include "map/string_map.hpp"

namespace corvana {

using map_layout::Bucket;
using map_layout::ClassCaches;
using map_layout::EntryView;
using map_layout::HeapAccess;
using map_layout::IntentKind;
using map_layout::NewString;
using map_layout::PageHeader;
using map_layout::PageView;
using map_layout::WriterIntent;

namespace {

// The field of an entry as a string to store again (its bytes, or its chain, which moves with it).
NewString kept_string(const map_layout::StringField& field) noexcept {
  NewString string;
  string.length = field.length;
  if (field.is_out_of_line) {
    string.ref = field.ref;
  } else {
    string.bytes = reinterpret_cast<const char*>(field.bytes);
  }
  return string;
}

}  // namespace


// A change under way, from its intent's beginning: on an exit before publish() (an exception), the
// intent is cleared and what the change had made goes back to the caches.
class ConcurrentHashMap_string::Change {
 public:
  Change(const HeapAccess& heap, const WriterHold& writer, Offset bucket, std::int8_t delta,
         IntentKind kind = IntentKind::change)
      : heap_(heap), writer_(writer), intent_(writer.intent()), kind_(kind) {
    intent_->link = Offset::null;
    intent_->old_target = Offset::null;
    intent_->new_target = Offset::null;
    intent_->old_page = Offset::null;
    intent_->new_pages[0] = intent_->new_pages[1] = Offset::null;
    intent_->old_strings[0] = intent_->old_strings[1] = Offset::null;
    intent_->new_strings[0] = intent_->new_strings[1] = Offset::null;
    intent_->pending_next[0] = intent_->pending_next[1] = Offset::null;
    intent_->second_word = Offset::null;
    intent_->bucket = bucket;
    intent_->count_before = writer.count();
    writer.begin(kind, delta);
    crash_point("change.begun");
  }
  ~Change() {
    if (is_published_) {
      return;
    }
    const Offset pages[2] = {intent_->new_pages[0], intent_->new_pages[1]};
    const Offset strings[2] = {intent_->new_strings[0], intent_->new_strings[1]};
    writer_.end();
    try {
      map_layout::free_pages_and_strings(heap_, &writer_.caches(), pages, strings);
    } catch (...) {
      // What this thread just made cannot be damaged; were it, it would only be lost.
    }
  }
  Change(const Change&) = delete;
  Change& operator=(const Change&) = delete;

  [[nodiscard]] WriterIntent* intent() const noexcept { return intent_; }
  // A string for the entry, its chain (if any) recorded as new string `index`.
  [[nodiscard]] NewString prepare(const char* bytes, std::uint64_t length, int index) {
    return map_layout::prepare_string(heap_, writer_.caches(), bytes, length, intent_->new_strings[index]);
  }
  // An out-of-line string the change drops (given back after publication), as old string `index`.
  void drop_string(int index, const map_layout::StringField& field) noexcept {
    const Offset first = field.is_out_of_line ? field.ref.first : Offset::null;
    intent_->old_strings[index] = first;
    intent_->pending_next[index] = first;  // the chain's give-back has not begun
  }
  // A new page, recorded as new page `index`.
  std::byte* new_page(std::uint64_t entry_bytes, std::uint32_t entry_count, Offset next, Offset& offset, int index,
                      bool exact_class = false) {
    std::byte* page = map_layout::new_page(heap_, writer_.caches(), entry_bytes, entry_count, next, offset, exact_class);
    map_layout::record_in_intent(intent_->new_pages[index], offset);
    return page;
  }
  // An in-page change that publishes a new version of `entry` (in `page`, which holds both): the old
  // one is marked removed right after the publishing store.
  void replaces_entry(const map_layout::EntryView& entry, const PageView& page) noexcept {
    replaced_entry_ = entry.address;
    replaced_page_end_ = page.capacity_end;
    map_layout::record_in_intent(intent_->second_word,
                                 heap_.offset_of(entry.address + offsetof(map_layout::EntryHeader, key_field)));
  }
  // A change that splits a hole of `page` in two entries: right after the publishing store, the page's
  // entry_count counts one more.
  void counts_one_more(const PageView& page) noexcept { recounted_page_ = &page; }
  // Marks the bucket changing (see map/bucket_version.hpp) until the change is over: before the first
  // store into a page the bucket names. publish() does it when the caller has not.
  void mark_changing() noexcept {
    if (!changing_) {
      changing_.emplace(reinterpret_cast<Bucket*>(heap_.base + static_cast<std::uint64_t>(intent_->bucket)));
    }
  }
  // Publishes: `link` goes from `old_target` to `new_target`; `old_page` and `old_strings` (set by
  // the caller) are given back after.
  void publish(Offset link, Offset old_target, Offset new_target, std::int8_t delta) {
    mark_changing();
    intent_->old_target = old_target;
    intent_->new_target = new_target;
    map_layout::record_in_intent(intent_->link, link);
    is_published_ = true;
    // release: a reader that takes the bucket's lock later sees the pages whole (the lock orders that
    // already; the release also keeps every store of the new pages before this one)
    map_layout::word_at(heap_.base + static_cast<std::uint64_t>(link))
        .store(static_cast<std::uint64_t>(new_target), std::memory_order_release);
    crash_point("change.published");
    if (replaced_entry_ != nullptr) {
      map_layout::mark_removed(replaced_entry_, replaced_page_end_);
      crash_point("change.marked");
    }
    if (recounted_page_ != nullptr) {
      const auto page_bytes = static_cast<std::uint64_t>(recounted_page_->entries_end - recounted_page_->entries);
      // relaxed: the bucket's lock orders its changes; a repair counts the page again
      map_layout::word_at(recounted_page_->address + map_layout::page_length_offset)
          .store(map_layout::page_length_word(recounted_page_->entry_count + 1, page_bytes), std::memory_order_relaxed);
      crash_point("change.recounted");
    }
    if (delta != 0) {
      writer_.store_count(intent_->count_before + delta);
      crash_point("change.counted");
    }
    try {
      give_back_replaced();
    } catch (...) {
      // The file is damaged (a chain that does not end, a chunk of no class): what the intent still
      // names is leaked rather than freed. The intent goes before the bucket's lock does, so that no
      // repair ever acts on the change of a writer that lives on.
      writer_.end();
      throw;
    }
    writer_.end();
    crash_point("change.ended");
    writer_.caches().trim();
  }

 private:
  // Gives the old page, then the old strings' chunks, back to the writer's caches one at a time,
  // each kept at the head of its cache until the intent has moved past it.
  void give_back_replaced() {
    ClassCaches& caches = writer_.caches();
    if (const Offset page = intent_->old_page; page != Offset::null && kind_ == IntentKind::change) {
      caches.keep(page, heap_.chunk_class(page, "an entry page"));
      map_layout::record_in_intent(intent_->old_page, Offset::null);
      crash_point("change.freeing");
    }
    for (int index = 0; index < 2; ++index) {
      Offset& string = intent_->old_strings[index];
      Offset& pending = intent_->pending_next[index];
      std::uint64_t budget = heap_.heap_end / slab_class_bytes(0) + 1;
      while (string != Offset::null) {
        if (budget-- == 0) {
          throw DamagedFile("an out-of-line string does not end");
        }
        const Offset chunk = string;
        const std::uint32_t klass = heap_.chunk_class(chunk, "a string chunk");
        Offset next;
        std::memcpy(&next, heap_.base + static_cast<std::uint64_t>(chunk), sizeof next);
        map_layout::record_in_intent(pending, next);
        caches.keep(chunk, klass);
        crash_point("change.freeing");
        map_layout::record_in_intent(string, next);
      }
    }
  }

  const HeapAccess& heap_;
  const WriterHold& writer_;
  WriterIntent* intent_;
  IntentKind kind_;
  bool is_published_ = false;
  std::byte* replaced_entry_ = nullptr;
  const std::byte* replaced_page_end_ = nullptr;
  const PageView* recounted_page_ = nullptr;
  // Last member: the version goes even again after the destructor's frees.
  std::optional<map_layout::BucketChange> changing_;
};

namespace {

// Copies the entries of `page` that are not removed, `skipped` (one of them, or null) left out, to
// `to`, as `live` counted them: one copy when `live` found no removed entry (or did not look for any).
void copy_entries(const PageView& page, const map_layout::LiveEntries& live, const std::byte* skipped, std::byte* to) {
  if (live.has_removed) {
    map_layout::copy_live_entries(page, skipped, to);
    return;
  }
  if (skipped == nullptr) {
    std::memcpy(to, page.entries, live.bytes);
    return;
  }
  // Without removed entries, the page is the live entries and the skipped one.
  const auto before = static_cast<std::uint64_t>(skipped - page.entries);
  const auto skipped_bytes = static_cast<std::uint64_t>(page.entries_end - page.entries) - live.bytes;
  std::memcpy(to, page.entries, before);
  std::memcpy(to + before, skipped + skipped_bytes, live.bytes - before);
}

// The live entries of a page, `skipped` left out; a page of one entry needs no scan.
map_layout::LiveEntries live_entries_of(const PageView& page, const std::byte* skipped) {
  if (page.entry_count == 1 && skipped != nullptr) {
    return {};
  }
  return map_layout::live_entries(page, skipped);
}

// The entries that a copy of `page` keeps, `skipped` (an entry of `skipped_bytes`, or none) left
// out. While the heap can carve new slabs, the copy takes the page as it lies, with no walk along its
// entries (a walk's dependent reads cost a miss per line of a page not in the cache): an entry
// marked removed in place, which only a full heap makes, stays marked and counted in the copy, as it
// was in the page. Once the heap cannot, the copy leaves such entries out, to give their room back.
map_layout::LiveEntries entries_to_copy(const HeapAccess& heap, const PageView& page, const std::byte* skipped,
                                        std::uint64_t skipped_bytes) {
  if (!heap.has_fresh_space()) {
    return live_entries_of(page, skipped);
  }
  map_layout::LiveEntries all;
  all.bytes = static_cast<std::uint64_t>(page.entries_end - page.entries) - skipped_bytes;
  all.count = page.entry_count - (skipped != nullptr ? 1 : 0);
  return all;
}

}  // namespace

std::uint64_t ConcurrentHashMap_string::append_entry(Bucket* bucket, const Location& absent, const char* key,
                                                     const char* value, std::uint64_t key_len, std::uint64_t value_len,
                                                     std::int64_t hash, const WriterHold& writer) {
  const PageView& last = absent.page;
  const bool was_empty = last.address == nullptr;
  const std::uint64_t bytes = map_layout::entry_bytes(key_len, value_len);
  // On a heap that can carve no more slabs, room the bucket already has comes first: a chunk taken
  // here may be the one that an insert into a bucket without such room needs.
  if (!was_empty && !access_->has_fresh_space()) {
    if (last.slack() >= bytes) {
      append_in_slack(bucket, last, key, value, key_len, value_len, hash, bytes, writer);
      return count_after_append();
    }
    if (append_in_hole(bucket, key, value, key_len, value_len, hash, bytes, writer)) {
      return count_after_append();
    }
  }
  try {
    append_to_new_page(bucket, absent, key, value, key_len, value_len, hash, bytes, false, writer);
  } catch (const HeapExhausted&) {
    // No room for the last page again with the entry. Ways that need less: the entry in the slack
    // of the last page (no page at all), or the entry on a page of its own (the smallest page, in
    // a chunk of any class that has one free).
    if (was_empty) {
      throw;
    }
    if (last.slack() >= bytes) {
      append_in_slack(bucket, last, key, value, key_len, value_len, hash, bytes, writer);
    } else if (!append_in_hole(bucket, key, value, key_len, value_len, hash, bytes, writer)) {
      append_to_new_page(bucket, absent, key, value, key_len, value_len, hash, bytes, true, writer);
    }
  }
  // An entry that fills an empty bucket never starts an expansion: no count is needed for it.
  return was_empty ? 0 : count_after_append();
}

void ConcurrentHashMap_string::append_to_new_page(Bucket* bucket, const Location& absent, const char* key,
                                                  const char* value, std::uint64_t key_len, std::uint64_t value_len,
                                                  std::int64_t hash, std::uint64_t bytes, bool on_own_page,
                                                  const WriterHold& writer) {
  const HeapAccess& heap = *access_;
  const PageView& last = absent.page;
  const bool was_empty = last.address == nullptr;
  Change change(heap, writer, heap.offset_of(bucket), +1);
  const NewString key_string = change.prepare(key, key_len, 0);
  const NewString value_string = change.prepare(value, value_len, 1);
  const map_layout::LiveEntries live = was_empty ? map_layout::LiveEntries{} : entries_to_copy(heap, last, nullptr, 0);
  Offset page_offset;
  if (!was_empty && !on_own_page && live.bytes + bytes <= map_layout::page_entry_capacity) {
    // The last page again (without its removed entries on a full heap), with the entry added.
    std::byte* page = change.new_page(live.bytes + bytes, live.count + 1, last.next, page_offset, 0);
    copy_entries(last, live, nullptr, page + sizeof(PageHeader));
    map_layout::write_entry(page + sizeof(PageHeader) + live.bytes, hash, key_string, value_string);
    change.intent()->old_page = last.offset;
    change.publish(absent.link, last.offset, page_offset, +1);
    return;
  }
  // A page of its own, after the last one (named by its next), or the bucket's first.
  std::byte* page = change.new_page(bytes, 1, Offset::null, page_offset, 0);
  map_layout::write_entry(page + sizeof(PageHeader), hash, key_string, value_string);
  change.publish(was_empty ? absent.link : last.offset, Offset::null, page_offset, +1);
}

void ConcurrentHashMap_string::append_in_slack(Bucket* bucket, const PageView& last, const char* key,
                                               const char* value, std::uint64_t key_len, std::uint64_t value_len,
                                               std::int64_t hash, std::uint64_t bytes, const WriterHold& writer) {
  // Written in the slack of the last page and published with one store of its length word.
  const HeapAccess& heap = *access_;
  Change change(heap, writer, heap.offset_of(bucket), +1, IntentKind::in_page);
  const NewString key_string = change.prepare(key, key_len, 0);
  const NewString value_string = change.prepare(value, value_len, 1);
  change.mark_changing();
  map_layout::write_entry(last.entries_end, hash, key_string, value_string);
  const auto last_bytes = static_cast<std::uint64_t>(last.entries_end - last.entries);
  change.intent()->old_page = last.offset;
  change.publish(static_cast<Offset>(static_cast<std::uint64_t>(last.offset) + map_layout::page_length_offset),
                 static_cast<Offset>(map_layout::page_length_word(last.entry_count, last_bytes)),
                 static_cast<Offset>(map_layout::page_length_word(last.entry_count + 1, last_bytes + bytes)), +1);
}

bool ConcurrentHashMap_string::append_in_hole(Bucket* bucket, const char* key, const char* value, std::uint64_t key_len,
                                              std::uint64_t value_len, std::int64_t hash, std::uint64_t bytes,
                                              const WriterHold& writer) {
  const HeapAccess& heap = *access_;
  PageView page;
  std::byte* hole = nullptr;
  map_layout::for_each_page(heap, bucket, [&](const PageView& candidate, Offset) {
    hole = map_layout::hole_for(candidate, bytes);
    page = candidate;
    return hole != nullptr;
  });
  if (hole == nullptr) {
    return false;
  }
  // The entry over the hole's start; what it leaves of the hole, a removed entry after it, written
  // first; then the hole's fields word becomes the entry's (the publishing store), and the page's
  // entry_count counts the rest of the hole (a repair after a death between the two counts it).
  Change change(heap, writer, heap.offset_of(bucket), +1, IntentKind::fill);
  const NewString key_string = change.prepare(key, key_len, 0);
  const NewString value_string = change.prepare(value, value_len, 1);
  map_layout::EntryHeader hole_header;
  std::memcpy(&hole_header, hole, sizeof hole_header);
  const std::uint64_t hole_bytes = hole_header.value_field;
  const bool leaves_rest = hole_bytes >= bytes + sizeof(map_layout::EntryHeader);
  const std::uint64_t padding = leaves_rest ? 0 : hole_bytes - bytes;
  change.mark_changing();
  if (leaves_rest) {
    map_layout::EntryHeader rest{};
    rest.key_field = map_layout::removed_field;
    rest.value_field = static_cast<std::uint32_t>(hole_bytes - bytes);
    std::memcpy(hole + bytes, &rest, sizeof rest);
  }
  // The entry's fields word last: write_entry writes it with the rest, so the entry is written aside
  // with the hole's word kept, then that word is stored.
  std::byte* fields = hole + offsetof(map_layout::EntryHeader, key_field);
  std::uint64_t hole_word = 0;
  std::memcpy(&hole_word, fields, sizeof hole_word);
  map_layout::write_entry(hole, hash, key_string, value_string, padding);
  std::uint64_t entry_word = 0;
  std::memcpy(&entry_word, fields, sizeof entry_word);
  std::memcpy(fields, &hole_word, sizeof hole_word);
  change.intent()->old_page = page.offset;
  if (leaves_rest) {
    change.counts_one_more(page);
  }
  change.publish(heap.offset_of(fields), static_cast<Offset>(hole_word), static_cast<Offset>(entry_word), +1);
  return true;
}

void ConcurrentHashMap_string::replace_value(Bucket* bucket, const Location& where, const char* value,
                                             std::uint64_t value_len, const WriterHold& writer) {
  const HeapAccess& heap = *access_;
  const PageView& page = where.page;
  const NewString key_string = kept_string(where.entry.key);
  const std::uint64_t new_bytes = map_layout::entry_bytes(where.entry.key.length, value_len);
  try {
    Change change(heap, writer, heap.offset_of(bucket), 0);
    const NewString value_string = change.prepare(value, value_len, 0);
    const map_layout::LiveEntries rest = entries_to_copy(heap, page, where.entry.address, where.entry.bytes);
    Offset first_page;
    if (rest.bytes + new_bytes <= map_layout::page_entry_capacity) {
      // The page again (without its removed entries on a full heap), with the entry's new version last.
      std::byte* copy = change.new_page(rest.bytes + new_bytes, rest.count + 1, page.next, first_page, 0);
      copy_entries(page, rest, where.entry.address, copy + sizeof(PageHeader));
      map_layout::write_entry(copy + sizeof(PageHeader) + rest.bytes, where.entry.hash, key_string, value_string);
    } else {
      // The longer entry does not fit the page: it goes on a page of its own, which comes first and
      // names the page again without it (which has other entries, or the entry alone would have fit).
      Offset rest_page;
      std::byte* rest_copy = change.new_page(rest.bytes, rest.count, page.next, rest_page, 1);
      copy_entries(page, rest, where.entry.address, rest_copy + sizeof(PageHeader));
      std::byte* own = change.new_page(new_bytes, 1, rest_page, first_page, 0);
      map_layout::write_entry(own + sizeof(PageHeader), where.entry.hash, key_string, value_string);
    }
    change.intent()->old_page = page.offset;
    change.drop_string(0, where.entry.value);
    change.publish(where.link, page.offset, first_page, 0);
  } catch (const HeapExhausted&) {
    if (page.slack() < new_bytes) {
      throw;
    }
    // No room for a new page: the new version in the page's slack, published with one store of its
    // length word; the old one is marked removed right after (a repair after a death between the two
    // marks it).
    Change change(heap, writer, heap.offset_of(bucket), 0, IntentKind::in_page);
    const NewString value_string = change.prepare(value, value_len, 0);
    change.mark_changing();
    map_layout::write_entry(page.entries_end, where.entry.hash, key_string, value_string);
    const auto page_bytes = static_cast<std::uint64_t>(page.entries_end - page.entries);
    change.intent()->old_page = page.offset;
    change.replaces_entry(where.entry, page);
    change.drop_string(0, where.entry.value);
    change.publish(static_cast<Offset>(static_cast<std::uint64_t>(page.offset) + map_layout::page_length_offset),
                   static_cast<Offset>(map_layout::page_length_word(page.entry_count, page_bytes)),
                   static_cast<Offset>(map_layout::page_length_word(page.entry_count + 1, page_bytes + new_bytes)), 0);
  }
}

void ConcurrentHashMap_string::remove_at(Bucket* bucket, const Location& where, const WriterHold& writer) {
  // Counted live entries (not entries_to_copy): a page whose only live entry goes is unlinked, also
  // when it holds entries removed in place.
  const map_layout::LiveEntries rest = live_entries_of(where.page, where.entry.address);
  // A page left without entries is unlinked (nothing is made; its chunk is free for any bucket).
  // Otherwise, while the heap still has room for new slabs, the page is made again without the entry;
  // once it has none, the entry is marked removed where it lies (one store), and its room stays in its
  // bucket for the next insert there, which writes over it (a copy would take a chunk that an insert
  // may need).
  if (rest.count != 0 && !access_->has_fresh_space()) {
    erase_in_place(bucket, where, writer);
    return;
  }
  try {
    remove_with_page(bucket, where, rest, writer);
  } catch (const HeapExhausted&) {
    // No room for the page without the entry (the change undid itself): marked removed in place.
    erase_in_place(bucket, where, writer);
  }
}

void ConcurrentHashMap_string::remove_with_page(Bucket* bucket, const Location& where,
                                                const map_layout::LiveEntries& rest, const WriterHold& writer) {
  const HeapAccess& heap = *access_;
  const PageView& page = where.page;
  Change change(heap, writer, heap.offset_of(bucket), -1);
  Offset new_target = page.next;  // a page left without entries is unlinked
  if (rest.count != 0) {
    // A chunk of the class that fits, or none: a remove must not take a larger chunk that a later
    // insert of what was removed needs (it then marks the entry removed in place instead).
    std::byte* copy = change.new_page(rest.bytes, rest.count, page.next, new_target, 0, true);
    if (rest.has_removed) {
      map_layout::copy_live_entries(page, where.entry.address, copy + sizeof(PageHeader));  // drops them
    } else {
      const std::uint64_t before = static_cast<std::uint64_t>(where.entry.address - page.entries);
      std::memcpy(copy + sizeof(PageHeader), page.entries, before);
      std::memcpy(copy + sizeof(PageHeader) + before, where.entry.address + where.entry.bytes,
                  rest.bytes - before);
    }
  }
  change.intent()->old_page = page.offset;
  change.drop_string(0, where.entry.key);
  change.drop_string(1, where.entry.value);
  change.publish(where.link, page.offset, new_target, -1);
}

void ConcurrentHashMap_string::erase_in_place(Bucket* bucket, const Location& where, const WriterHold& writer) {
  const HeapAccess& heap = *access_;
  Change change(heap, writer, heap.offset_of(bucket), -1, IntentKind::erase);
  std::byte* fields = where.entry.address + offsetof(map_layout::EntryHeader, key_field);
  // relaxed: the bucket's lock orders its changes
  const std::uint64_t before = map_layout::word_at(fields).load(std::memory_order_relaxed);
  // key_field is the low half of the little-endian word, value_field the high half
  const std::uint64_t removed = map_layout::removed_field | std::uint64_t{where.entry.bytes} << 32;
  change.intent()->old_page = where.page.offset;  // names the page for a repair; it stays
  change.drop_string(0, where.entry.key);
  change.drop_string(1, where.entry.value);
  crash_point("erase.marking");
  change.publish(heap.offset_of(fields), static_cast<Offset>(before), static_cast<Offset>(removed), -1);
}

}  // namespace corvana
