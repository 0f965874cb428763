// The process table of a memory file: claiming, releasing and asking about slots; the registry
// that finds the table of a mapping by its heap base; what a forked child does with its parent's
// tables.
//
// A slot's generation and state change only while its claimer holds the slot's byte-range lock, so
// two processes never write them at once. Order of a claim: take the byte-range lock, raise the
// generation, then mark the slot in use, so that a token of the previous owner names a generation
// the slot no longer has by the time the new owner can hold any lock word.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "heap/heap.hpp"
#include "heap/heap_layout.hpp"

namespace corvana {

std::atomic<std::uint64_t> forks_seen{0};

namespace {

// The tables of this process's mappings, by heap base. Lookups scan without a lock (the heap lock's
// waits look up their table); registration and removal take registry_mutex; the fork handler only
// reads. An entry's table is published after its heap base is, and cleared before it.
struct RegistryEntry {
  std::atomic<std::byte*> heap{nullptr};
  std::atomic<ProcessTable*> table{nullptr};
};
constexpr std::size_t registry_capacity = 4096;
RegistryEntry registry[registry_capacity];
std::atomic<std::size_t> registry_end{0};  // every entry in use lies below it
std::mutex registry_mutex;

// In the child of a fork: the parent's claims are the parent's. Closing the child's copies of the
// file descriptions that hold them lets the parent's death be seen while the child lives. Runs while
// the child has one thread, so it takes no lock (close is safe there).
void forget_parent_claims() noexcept {
  forks_seen.fetch_add(1, std::memory_order_relaxed);  // relaxed: read by this thread only, for now
  const std::size_t end = registry_end.load(std::memory_order_acquire);
  for (std::size_t index = 0; index < end; ++index) {
    if (ProcessTable* table = registry[index].table.load(std::memory_order_acquire); table != nullptr) {
      table->forget_after_fork();
    }
  }
}

// Registers the fork handler once per process, before the first table exists.
const bool fork_handler_registered = platform::on_fork_child(forget_parent_claims);

std::atomic_ref<std::uint64_t> word_of(std::uint64_t& field) noexcept { return std::atomic_ref<std::uint64_t>(field); }

std::uint64_t next_generation(std::uint64_t generation) noexcept {
  const std::uint64_t next = (generation & lock_generation_mask) + 1;
  return next > lock_generation_mask ? 1 : next;
}

}  // namespace

ProcessTable::ProcessTable(std::byte* table, FileHandle liveness_file) noexcept
    : table_(table), liveness_file_(liveness_file), fork_generation_(fork_generation()) {
  static_cast<void>(fork_handler_registered);
  const ProcessTableHeader& table_header = *header();
  slot_count_ = table_header.slot_count;
  lock_base_ = table_header.lock_base;
}

ProcessTable::~ProcessTable() {
  release();
  if (belongs_to_this_process() && liveness_file_ != platform::invalid_handle) {
    static_cast<void>(platform::close_file(liveness_file_));
  }
}

ProcessTableHeader* ProcessTable::header() const noexcept { return reinterpret_cast<ProcessTableHeader*>(table_); }

ProcessSlot* ProcessTable::slot(std::uint32_t index) const noexcept {
  return reinterpret_cast<ProcessSlot*>(table_ + sizeof(ProcessTableHeader) + std::size_t{index} * sizeof(ProcessSlot));
}

std::uint32_t ProcessTable::high_water() const noexcept {
  // acquire: the slots below it were claimed (their generation raised) before it grew
  const std::uint64_t end = word_of(header()->high_water).load(std::memory_order_acquire);
  return end < slot_count_ ? static_cast<std::uint32_t>(end) : slot_count_;
}

bool ProcessTable::claim() noexcept {
  if (has_slot()) {
    return true;
  }
  for (std::uint32_t index = 0; index < slot_count_; ++index) {
    if (!platform::try_lock_byte(liveness_file_, lock_base_ + index)) {
      if (errno == EAGAIN || errno == EACCES) {
        continue;  // a live owner (or another claimer) holds it
      }
      return false;
    }
    ProcessSlot* claimed = slot(index);
    if (!platform::reserve_for_write(claimed, sizeof(ProcessSlot))) {
      // A full file system: the slot's page cannot be backed, and a write to it would raise SIGBUS.
      platform::unlock_byte(liveness_file_, lock_base_ + index);
      errno = ENOSPC;
      return false;
    }
    // acquire: what a dead owner left in the slot is read after its state
    const bool was_in_use = word_of(claimed->state).load(std::memory_order_acquire) == slot_in_use;
    const std::uint64_t generation =
        next_generation(word_of(claimed->generation).load(std::memory_order_relaxed));
    // release: a reader that sees the new generation sees the slot's lock taken before it
    word_of(claimed->generation).store(generation, std::memory_order_release);
    claimed->pid = static_cast<std::uint32_t>(platform::current_process_id());
    claimed->claimed_at = platform::wall_clock_nanoseconds();
    // release: the generation and the identity are in place before the slot shows as in use
    word_of(claimed->state).store(slot_in_use, std::memory_order_release);
    auto end = word_of(header()->high_water);
    std::uint64_t seen_end = end.load(std::memory_order_relaxed);
    // release: as high_water's readers expect
    while (seen_end < index + 1u &&
           !end.compare_exchange_weak(seen_end, index + 1u, std::memory_order_release, std::memory_order_relaxed)) {
    }
    slot_index_ = index;
    token_base_ = make_token_base(index, static_cast<std::uint32_t>(generation));
    took_over_dead_slot_ = was_in_use;
    return true;
  }
  errno = EBUSY;
  return false;
}

void ProcessTable::release() noexcept {
  if (!has_slot() || !belongs_to_this_process()) {
    return;
  }
  // release: everything the owner put back into the slot is visible before it shows as free
  word_of(own_slot()->state).store(slot_free, std::memory_order_release);
  platform::unlock_byte(liveness_file_, lock_base_ + slot_index_);
  slot_index_ = no_slot;
  token_base_ = 0;
}

bool ProcessTable::is_holder_alive(std::uint64_t token) const noexcept {
  const std::uint32_t index = token_slot(token);
  if (index >= slot_count_) {
    return false;  // no slot: no holder can prove it is alive
  }
  if (has_slot() && index == slot_index_ && token_generation(token) == token_generation(token_base_)) {
    return true;  // a thread of this process, through this mapping
  }
  // acquire: a generation raised by a new claim is seen with the claim's lock taken
  const std::uint64_t generation = word_of(slot(index)->generation).load(std::memory_order_acquire);
  if ((generation & lock_generation_mask) != token_generation(token)) {
    return false;  // the slot was claimed again: the token's owner is gone
  }
  // A question that cannot be asked counts as alive: nothing is ever taken over on a doubt.
  return platform::byte_range_is_locked(liveness_file_, lock_base_ + index, 1) != 0;
}

bool ProcessTable::is_slot_alive(std::uint32_t index) const noexcept {
  if (index >= slot_count_) {
    return false;
  }
  if (has_slot() && index == slot_index_) {
    return true;
  }
  // acquire: as in is_holder_alive
  if (word_of(slot(index)->state).load(std::memory_order_acquire) != slot_in_use) {
    return false;
  }
  return platform::byte_range_is_locked(liveness_file_, lock_base_ + index, 1) != 0;
}

std::uint64_t owner_token(const ProcessTable* table) noexcept {
  return table != nullptr && table->has_slot() ? table->token() : local_lock_token();
}

OwnedLockGuard::OwnedLockGuard(std::uint64_t* word, const ProcessTable* table, WaitLimits limits)
    : word_(word), acquired_(acquire_lock_word(word, owner_token(table), table, limits)), is_held_(true) {}

ProcessTable* process_table_of(Allocator heap) noexcept {
  const std::size_t end = registry_end.load(std::memory_order_acquire);
  for (std::size_t index = 0; index < end; ++index) {
    // acquire: the table was made before its heap base was published
    if (registry[index].heap.load(std::memory_order_acquire) == heap) {
      return registry[index].table.load(std::memory_order_acquire);
    }
  }
  return nullptr;
}

std::uint64_t heap_end_of(Allocator heap) noexcept {
  const ProcessTable* table = process_table_of(heap);
  return table != nullptr && table->heap_end() != 0 ? table->heap_end() : layout::heap_header(heap).heap_end;
}

namespace layout {

bool register_process_table(Allocator heap, ProcessTable* table) noexcept {
  std::lock_guard<std::mutex> guard(registry_mutex);
  const std::size_t end = registry_end.load(std::memory_order_relaxed);
  for (std::size_t index = 0; index < registry_capacity; ++index) {
    if (registry[index].heap.load(std::memory_order_relaxed) != nullptr) {
      continue;
    }
    // release: a reader that finds the table finds it whole; the fork handler reads table only
    registry[index].table.store(table, std::memory_order_release);
    registry[index].heap.store(heap, std::memory_order_release);
    if (index >= end) {
      registry_end.store(index + 1, std::memory_order_release);
    }
    return true;
  }
  return false;
}

void unregister_process_table(Allocator heap) noexcept {
  std::lock_guard<std::mutex> guard(registry_mutex);
  const std::size_t end = registry_end.load(std::memory_order_relaxed);
  for (std::size_t index = 0; index < end; ++index) {
    if (registry[index].heap.load(std::memory_order_relaxed) == heap) {
      // release: lookups that still find the heap base find the table gone, or the table whole
      registry[index].heap.store(nullptr, std::memory_order_release);
      registry[index].table.store(nullptr, std::memory_order_release);
      return;
    }
  }
}

}  // namespace layout

void ProcessTable::forget_after_fork() noexcept {
  if (liveness_file_ != platform::invalid_handle) {
    static_cast<void>(platform::close_file(liveness_file_));
    liveness_file_ = platform::invalid_handle;
  }
}

}  // namespace corvana
