// The process-memory chunk cache of the pointer-keyed map: items are single python_malloc blocks
// (a LocalLink followed by `unit` zero-filled 24-byte records). Waits for its lock sleep 1 ms with
// the interpreter lock given away.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "heap/heap.hpp"

namespace corvana {

namespace {

[[nodiscard]] LocalLink* walk(LocalLink* item, std::uint64_t steps) noexcept {
  for (std::uint64_t step = 0; step < steps; ++step) {
    item = item->next;
  }
  return item;
}

// Frees `count` blocks of the run from `first`, reading each next before its block goes.
void free_blocks(LocalLink* first, std::uint64_t count) noexcept {
  LocalLink* block = first;
  for (std::uint64_t index = 0; index < count && block != nullptr; ++index) {
    LocalLink* next = block->next;
    python_free(block);
    block = next;
  }
}

}  // namespace

LocalChunkCache::LocalChunkCache(std::uint8_t unit) noexcept : unit_(unit) {}

LocalChunkCache::~LocalChunkCache() {
  LockWordGuard guard(&lock_, LockRank::cache);
  free_blocks(head_, count());
  head_ = nullptr;
  std::atomic_ref<std::uint64_t>(count_).store(0, std::memory_order_relaxed);  // relaxed: snapshot only
}

std::uint64_t LocalChunkCache::count() const noexcept {
  // relaxed: a snapshot; count_ is only changed under the cache lock
  return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(count_)).load(std::memory_order_relaxed);
}

LocalChunkCache::Run LocalChunkCache::refill(std::uint64_t m) {
  if (m == 0) {
    throw std::invalid_argument("a chunk cache cannot make a run of 0 items");
  }
  const std::size_t record_area_bytes = record_bytes * unit_;
  Run run{nullptr, nullptr};
  std::uint64_t made = 0;
  for (; made < m; ++made) {
    void* memory = python_malloc(sizeof(LocalLink) + record_area_bytes);
    if (memory == nullptr) {
      // Blocks made so far go back rather than being lost.
      free_blocks(run.first, made);
      throw std::runtime_error(python_malloc_failed_text);
    }
    auto* block = static_cast<LocalLink*>(memory);
    block->data = static_cast<std::byte*>(memory) + sizeof(LocalLink);
    block->next = nullptr;
    std::memset(block->data, 0, record_area_bytes);
    if (run.last != nullptr) {
      run.last->next = block;
    } else {
      run.first = block;
    }
    run.last = block;
  }
  return run;
}

LocalLink* LocalChunkCache::take(std::uint64_t n) {
  if (n == 0) {
    throw std::invalid_argument("a chunk cache cannot hand out a run of 0 items");
  }
  LockWordGuard guard(&lock_, LockRank::cache);
  std::uint64_t cached = count();
  if (cached < n) {
    const std::uint64_t made = std::max(chunk_cache_batch, n - cached);
    const Run run = refill(made);  // throws with the cache unchanged
    run.last->next = head_;
    head_ = run.first;
    cached += made;
  }
  LocalLink* result = head_;
  if (cached > n) {
    // The handed-out run's last next keeps naming the new head.
    head_ = walk(head_, n);
    cached -= n;
  } else {
    head_ = nullptr;
    cached = 0;
  }
  std::atomic_ref<std::uint64_t>(count_).store(cached, std::memory_order_relaxed);  // relaxed: snapshot only
  return result;
}

void LocalChunkCache::give_back(std::uint64_t n, LocalLink* first) {
  if (n == 0 || first == nullptr) {
    throw std::invalid_argument("a chunk cache cannot take back an empty run");
  }
  LocalLink* rest = nullptr;
  std::uint64_t rest_count = 0;
  {
    LockWordGuard guard(&lock_, LockRank::cache);
    const std::uint64_t cached = count();
    const std::uint64_t room = cached >= chunk_cache_cap ? 0 : chunk_cache_cap - cached;
    const std::uint64_t kept = std::min(room, n);
    if (kept > 0) {
      LocalLink* last_kept = walk(first, kept - 1);
      rest = last_kept->next;
      last_kept->next = head_;
      head_ = first;
      std::atomic_ref<std::uint64_t>(count_).store(cached + kept, std::memory_order_relaxed);  // relaxed: snapshot
    } else {
      rest = first;
    }
    rest_count = n - kept;
  }
  free_blocks(rest, rest_count);
}

void LocalChunkCache::fill(std::uint64_t m) {
  LockWordGuard guard(&lock_, LockRank::cache);
  const Run run = refill(m);
  run.last->next = head_;
  head_ = run.first;
  std::atomic_ref<std::uint64_t>(count_).store(count() + m, std::memory_order_relaxed);  // relaxed: snapshot
}

}  // namespace corvana
