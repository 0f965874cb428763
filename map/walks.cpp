// ConcurrentHashMap_string: the weakly consistent walk, by groups of buckets.
//
// Why every key present and unchanged for the whole walk is returned exactly once.
// Let W be the number of bucket chunks when the walk starts and G = B*W its number of groups. N only
// grows, by doublings, so B*N is always a multiple of G, and the bucket of a key with hash h,
// h mod B*N, is congruent to h mod G: a key lives in a bucket of group h mod G for as long as it is
// in the map, whatever the number of chunks. An expansion moves an entry from bucket j to j + B*N
// only, inside the same group. So the entries of group g are exactly those held by the buckets
// g, g + G, g + 2G, ... below B*N, plus the siblings of those buckets that an expansion in progress
// is filling. lock_group locks all of them (members ascending, then the siblings, which are all
// above the members: ascending bucket order, as every holder of two bucket locks takes them, so no
// deadlock), checks that N did not change meanwhile, and reads them while it holds every lock: no
// entry of the group can move, appear or vanish during the read, so each is read exactly once. The
// walk visits every group once, in increasing order. A key present for the whole walk is therefore
// found when its group is visited, once; a key inserted or removed meanwhile may or may not be; and
// no key is ever returned twice by one walk, since its group is read once.
// When no expansion ran since the walk started (N == W) and none is running, a group is a single
// bucket and exactly one lock is held at a time. The checker reads the map by the same groups.
#include <algorithm>
#include <bit>
#include <stdexcept>
#include <string>
#include <vector>

#include "map/bucket_locks.hpp"
#include "map/entry_pages.hpp"
#include "map/map_records.hpp"
#include "map/string_map.hpp"

namespace corvana {

using map_layout::Bucket;
using map_layout::EntryView;
using map_layout::HeapAccess;
using map_layout::PageView;
using map_layout::for_each_entry;
using map_layout::for_each_page;

namespace {

void append_string(const HeapAccess& heap, const map_layout::StringField& field, std::string& bytes) {
  const std::size_t at = bytes.size();
  // may throw bad_alloc; the caller's locks are released by their guards
  bytes.resize(at + map_layout::checked_length(heap, field));
  map_layout::copy_string(heap, field, bytes.data() + at);
}

}  // namespace

void ConcurrentHashMap_string::lock_group(std::uint64_t walk_chunks, std::uint64_t group, std::uint64_t deadline_ns,
                                          HeldBuckets& held) const {
  const std::uint64_t group_count = bucket_chunk_size_ * walk_chunks;
  std::vector<Bucket*> siblings;
  while (true) {
    const std::uint64_t chunks_in_use = bucket_chunk_in_use();
    const std::uint64_t bucket_count = bucket_chunk_size_ * chunks_in_use;
    for (std::uint64_t bucket = group; bucket < bucket_count; bucket += group_count) {
      held.lock(bucket_at(bucket), deadline_ns);
    }
    // A bucket being split has its sibling above every member. Only a mark that names the sibling
    // for this N counts: one left by an earlier doubling (cleared right after it, or never when a
    // death cut the clearing short) names something else and is skipped.
    siblings.clear();
    std::uint64_t number = group;
    for (Bucket* member : held.buckets()) {
      Bucket* sibling = marked_sibling(number, member, chunks_in_use);
      number += group_count;
      if (sibling != nullptr && !held.holds(sibling)) {
        siblings.push_back(sibling);
      }
    }
    if (bucket_chunk_in_use() != chunks_in_use) {
      held.release();  // a doubling completed before every member was locked: the group grew
      continue;
    }
    for (Bucket* sibling : siblings) {
      held.lock(sibling, deadline_ns);
    }
    if (bucket_chunk_in_use() != chunks_in_use) {
      held.release();
      continue;
    }
    return;
  }
}

std::uint64_t ConcurrentHashMap_string::walk_one_group(std::uint64_t walk_chunks, std::uint64_t group,
                                                       std::uint64_t deadline_ns, bool with_keys, bool with_values,
                                                       WalkBatch& batch) {
  HeldBuckets held(*this);
  lock_group(walk_chunks, group, deadline_ns, held);
  std::uint64_t added = 0;
  const HeapAccess& heap = *access_;
  for (Bucket* bucket : held.buckets()) {
    for_each_page(heap, bucket, [&](const PageView& page, Offset) {
      for_each_entry(page, [&](const EntryView& entry) {
        if (with_keys) {
          append_string(heap, entry.key, batch.bytes);
          batch.lengths.push_back(entry.key.length);
        }
        if (with_values) {
          append_string(heap, entry.value, batch.bytes);
          batch.lengths.push_back(entry.value.length);
        }
        ++added;
      });
      return false;
    });
  }
  return added;
}

std::uint64_t ConcurrentHashMap_string::unread_groups_from(std::uint64_t walk_chunks, std::uint64_t group) const {
  // A group is one bucket while the map has not grown since the walk began; a page of such buckets
  // that was never written holds no entry, and is passed without being backed.
  return walk_chunks == bucket_chunk_in_use() ? buckets_in_unwritten_page(group) : 0;
}

std::uint64_t ConcurrentHashMap_string::walk_groups(std::uint64_t walk_chunks, std::uint64_t group,
                                                    std::uint64_t min_entries, bool with_keys, bool with_values,
                                                    WalkBatch& batch) {
  require_usable();
  if (walk_chunks == 0 || !std::has_single_bit(walk_chunks) || walk_chunks > bucket_chunk_in_use()) {
    throw std::invalid_argument("a walk must start from a number of bucket chunks the map has had");
  }
  const std::uint64_t group_count = bucket_chunk_size_ * walk_chunks;
  const std::uint64_t deadline_ns = deadline_after(lock_timeout_ns_);
  std::uint64_t added = 0;
  while (group < group_count && added < min_entries) {
    if (const std::uint64_t unread = unread_groups_from(walk_chunks, group); unread > 0) {
      group += unread;
      continue;
    }
    const std::size_t bytes_before = batch.bytes.size();
    const std::size_t lengths_before = batch.lengths.size();
    try {
      added += walk_one_group(walk_chunks, group, deadline_ns, with_keys, with_values, batch);
    } catch (const WaitRetreat&) {
      // The group's locks are released: signals are looked at, and the group is read again whole.
      batch.bytes.resize(bytes_before);
      batch.lengths.resize(lengths_before);
      check_interrupts();
      continue;
    }
    ++group;
  }
  return std::min(group, group_count);
}

}  // namespace corvana
