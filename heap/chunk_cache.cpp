// Checked release and the process-local chunk cache of links and data chunks.
//
// Items move between the heap, the cache (reachable from its record's head, counted by its count) and
// the maps.
// The cache lock serialises take, fill, the linking step of give_back and destruction; refill takes
// the heap lock once per batch of at most 100 items. Lock order: cache lock -> heap lock.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "heap/heap.hpp"
#include "heap/heap_layout.hpp"

namespace corvana {

namespace {

constexpr char check_free_address_text[] = "check_free<true>(Allocator allocator, void * target) failed!";
constexpr char check_free_offset_text[] =
    "check_free<true>(Allocator allocator, const Offset<true> &target) failed!";

[[nodiscard]] ChunkLink* link_at(Allocator heap, Offset offset) noexcept {
  return reinterpret_cast<ChunkLink*>(address_of(heap, offset));
}

// The item `steps` links after `item`. Requires: the run holds at least steps + 1 items.
[[nodiscard]] ChunkLink* walk(Allocator heap, ChunkLink* item, std::uint64_t steps) noexcept {
  for (std::uint64_t step = 0; step < steps; ++step) {
    item = link_at(heap, item->next);
  }
  return item;
}

// The chunk after `chunk` (a chunk start) in a run that heap_alloc_chunks handed out.
[[nodiscard]] std::byte* next_chunk_of_run(Allocator heap, std::byte* chunk) noexcept {
  return heap + layout::chunk_link(heap, static_cast<std::uint64_t>(chunk - heap));
}

[[nodiscard]] std::byte* payload_of_chunk(std::byte* chunk) noexcept { return chunk + sizeof(ChunkHeader); }

// Returns what a failed refill carved to the heap: `made` complete items from `first`, and a run of
// `loose_count` link chunks from `loose_links` that were never paired. A chunk whose unit has no
// free list stays where it is (heap_free refuses it); nothing else can be done with it.
void return_partial_refill(Allocator heap, ChunkLink* first, std::uint64_t made, std::byte* loose_links,
                           std::uint64_t loose_count) noexcept {
  ChunkLink* item = first;
  for (std::uint64_t index = 0; index < made; ++index) {
    ChunkLink* next = index + 1 < made ? link_at(heap, item->next) : nullptr;
    static_cast<void>(heap_free(heap, address_of(heap, item->data)));
    static_cast<void>(heap_free(heap, item));
    item = next;
  }
  std::byte* chunk = loose_links;
  for (std::uint64_t index = 0; index < loose_count; ++index) {
    std::byte* next = index + 1 < loose_count ? next_chunk_of_run(heap, chunk) : nullptr;
    static_cast<void>(heap_free(heap, payload_of_chunk(chunk)));
    chunk = next;
  }
}

// HeapExhausted for the allocator's ENOMEM, runtime_error for any other code; either with the text
// of strerror(code).
[[noreturn]] void throw_heap_exhausted(int code) {
  char buffer[256];
  // GNU strerror_r: thread-safe; returns the text in `buffer` or a static string.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  if (code == ENOMEM) {
    throw HeapExhausted(text);
  }
  throw std::runtime_error(text);
}

}  // namespace

void check_free(Allocator allocator, void* target) {
  if (!heap_free(allocator, target)) {
    throw std::runtime_error(check_free_address_text);
  }
}

void check_free(Allocator allocator, const Offset& target) {
  if (allocator == nullptr || !heap_free(allocator, address_of(allocator, target))) {
    throw std::runtime_error(check_free_offset_text);
  }
}

// The record's words. Each change of the record stores them one at a time, in an order that keeps
// the `count` items from `head` the cache's own at every store:
// - items go out (take, drain): count first, then head. Between the two, the record still covers
//   the items going out (not yet used by anybody) and leaves the last ones uncovered (leaked).
// - items come in (give_back, fill, a refill in take): the new items are linked before the old
//   head, then head, then count. Between the two, the record covers the new items and fewer of the
//   old ones (leaked).
// Counting first on the way in, or moving head first on the way out, would let the record reach
// past its last item, whose `next` is not meaningful: a dead process would hand out foreign chunks.
class ChunkCache::Hold {
 public:
  explicit Hold(ChunkCache& cache) noexcept : cache_(cache) {
    if (cache_.guard_ == CacheGuard::own_lock) {
      enter_lock_rank(LockRank::cache);
      lock_word(&cache_.lock_);
    }
  }
  ~Hold() {
    if (cache_.guard_ == CacheGuard::own_lock) {
      unlock_word(&cache_.lock_);
      leave_lock_rank(LockRank::cache);
    }
  }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  ChunkCache& cache_;
};

ChunkCache::ChunkCache(Allocator heap, CacheKind kind, std::uint8_t unit, CacheRecord* record,
                       CacheGuard guard) noexcept
    : guard_(guard), record_(record), unit_(unit), heap_(heap), kind_(kind), fork_generation_(fork_generation()) {
  if (record_->count != 0 && record_->data_unit != data_unit()) {
    drain();  // left by a cache of another kind: its items belong to the heap
  }
  record_->data_unit = data_unit();
}

ChunkCache::ChunkCache(Allocator heap, CacheKind kind, std::uint8_t unit) noexcept
    : ChunkCache(heap, kind, unit, &local_record_, CacheGuard::own_lock) {}

ChunkCache::~ChunkCache() {
  if (fork_generation_ != fork_generation()) {
    return;  // a forked child's copy: the items are the parent's
  }
  Hold hold(*this);
  drain();
}

void ChunkCache::drain() noexcept {
  try {
    const std::uint8_t data_chunk_unit = record_->data_unit;
    std::uint64_t cached = count();
    ChunkLink* item = head();
    while (cached > 0) {
      // A record left by a dead process, or a damaged file, may name something that is not an
      // item: the rest is left where it is rather than handed to the heap.
      if (item == nullptr || !is_chunk_payload(heap_, offset_of(heap_, item), link_unit) ||
          !is_chunk_payload(heap_, item->data, data_chunk_unit)) {
        break;
      }
      ChunkLink* next = cached > 1 ? link_at(heap_, item->next) : nullptr;
      const Offset data = item->data;
      store_count(cached - 1);
      crash_point("cache.drain.counted");
      store_head(next);
      check_free(heap_, data);
      check_free(heap_, static_cast<void*>(item));
      item = next;
      --cached;
    }
    store_count(0);
    store_head(nullptr);
  } catch (const std::exception& error) {
    // A cache that cannot return its items would leave the shared heap inconsistent for every
    // process; a destructor cannot report it, so the process ends here.
    std::fprintf(stderr, "corvana: a chunk cache could not return its items to the heap: %s\n", error.what());
    std::abort();
  }
}

std::uint8_t ChunkCache::data_unit() const noexcept {
  const unsigned unit_bytes = kind_ == CacheKind::blocks ? unit_ * entry_record_bytes : unit_;
  return unit_bytes <= max_unit ? static_cast<std::uint8_t>(unit_bytes) : 0;
}

ChunkCache::Run ChunkCache::refill(std::uint64_t m) {
  if (m == 0) {
    throw std::invalid_argument("a chunk cache cannot make a run of 0 items");
  }
  if (heap_ == nullptr) {
    throw std::invalid_argument("a chunk cache without a heap cannot make items");
  }
  const std::uint8_t data_chunk_unit = data_unit();
  if (data_chunk_unit == 0) {
    throw std::invalid_argument("the data chunks of this chunk cache have no valid unit");
  }
  const std::size_t clear_bytes = kind_ == CacheKind::blocks ? data_chunk_unit : 0;
  Run run{nullptr, nullptr};
  // Appends the item made of a link chunk and a data chunk (chunk starts) to the run.
  const auto append_item = [this, clear_bytes, &run](std::byte* link_chunk, std::byte* data_chunk) {
    std::byte* data = payload_of_chunk(data_chunk);
    std::memset(data, 0, clear_bytes);
    auto* link = reinterpret_cast<ChunkLink*>(payload_of_chunk(link_chunk));
    link->data = offset_of(heap_, data);
    link->next = Offset::null;
    if (run.last != nullptr) {
      run.last->next = offset_of(heap_, link);
    } else {
      run.first = link;
    }
    run.last = link;
  };
  const std::uint64_t link_chunk_bytes = chunk_size_for_unit(link_unit);
  const std::uint64_t pair_bytes = link_chunk_bytes + chunk_size_for_unit(data_chunk_unit);
  std::uint64_t made = 0;
  while (made < m) {
    const std::uint64_t batch = std::min(chunk_cache_batch, m - made);
    // Fresh items are carved as link-and-data pairs, so that following a link finds its data beside
    // it; recycled chunks (whenever a free list holds some) are used first, through the runs below.
    if (std::byte* pair = heap_alloc_pairs(heap_, batch, link_unit, data_chunk_unit); pair != nullptr) {
      for (std::uint64_t index = 0; index < batch; ++index, pair += pair_bytes) {
        append_item(pair, pair + link_chunk_bytes);
      }
      made += batch;
      continue;
    }
    std::byte* link_chunk = heap_alloc_chunks(heap_, batch, link_unit);
    if (link_chunk == nullptr) {
      const int code = errno;
      return_partial_refill(heap_, run.first, made, nullptr, 0);
      throw_heap_exhausted(code);
    }
    std::byte* data_chunk = heap_alloc_chunks(heap_, batch, data_chunk_unit);
    if (data_chunk == nullptr) {
      const int code = errno;
      return_partial_refill(heap_, run.first, made, link_chunk, batch);
      throw_heap_exhausted(code);
    }
    for (std::uint64_t index = 0; index < batch; ++index) {
      // The allocator's run links live in the payloads about to be overwritten: read them first.
      std::byte* next_link_chunk = index + 1 < batch ? next_chunk_of_run(heap_, link_chunk) : nullptr;
      std::byte* next_data_chunk = index + 1 < batch ? next_chunk_of_run(heap_, data_chunk) : nullptr;
      append_item(link_chunk, data_chunk);
      link_chunk = next_link_chunk;
      data_chunk = next_data_chunk;
    }
    made += batch;
  }
  return run;
}

ChunkLink* ChunkCache::take(std::uint64_t n) {
  if (n == 0) {
    throw std::invalid_argument("a chunk cache cannot hand out a run of 0 items");
  }
  // Locks: cache lock (unless the owner serialises), and under it (in refill) the heap lock.
  Hold hold(*this);
  std::uint64_t cached = count();
  ChunkLink* first = head();
  if (cached < n) {
    const std::uint64_t made = std::max(chunk_cache_batch, n - cached);
    const Run run = refill(made);  // throws with the cache unchanged
    if (first != nullptr) {
      run.last->next = offset_of(heap_, first);
    }
    first = run.first;
    store_head(first);
    crash_point("cache.take.refilled");
    cached += made;
    store_count(cached);
  }
  // The handed-out run's last next keeps naming the new head.
  ChunkLink* rest = cached > n ? walk(heap_, first, n) : nullptr;
  store_count(cached - n);
  crash_point("cache.take.counted");
  store_head(rest);
  return first;
}

void ChunkCache::give_back(std::uint64_t n, ChunkLink* first) {
  if (n == 0 || first == nullptr) {
    throw std::invalid_argument("a chunk cache cannot take back an empty run");
  }
  ChunkLink* rest = nullptr;
  std::uint64_t rest_count = 0;
  {
    Hold hold(*this);
    const std::uint64_t cached = count();
    const std::uint64_t room = cached >= chunk_cache_cap ? 0 : chunk_cache_cap - cached;
    const std::uint64_t kept = std::min(room, n);
    if (kept > 0) {
      ChunkLink* last_kept = walk(heap_, first, kept - 1);
      if (kept < n) {
        rest = link_at(heap_, last_kept->next);
      }
      ChunkLink* old_head = head();
      last_kept->next = old_head != nullptr ? offset_of(heap_, old_head) : Offset::null;
      store_head(first);
      crash_point("cache.give_back.linked");
      store_count(cached + kept);
    } else {
      rest = first;
    }
    rest_count = n - kept;
  }
  // Past the cap: back to the heap in run order, each item's data chunk before its link.
  ChunkLink* item = rest;
  for (std::uint64_t index = 0; index < rest_count; ++index) {
    ChunkLink* next = index + 1 < rest_count ? link_at(heap_, item->next) : nullptr;
    check_free(heap_, static_cast<void*>(address_of(heap_, item->data)));
    check_free(heap_, static_cast<void*>(item));
    item = next;
  }
}

void ChunkCache::fill(std::uint64_t m) {
  // Locks: cache lock (unless the owner serialises), and under it (in refill) the heap lock.
  Hold hold(*this);
  const Run run = refill(m);
  ChunkLink* old_head = head();
  if (old_head != nullptr) {
    run.last->next = offset_of(heap_, old_head);
  }
  store_head(run.first);
  store_count(count() + m);
}

}  // namespace corvana
