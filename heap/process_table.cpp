// The process table of a memory file: claiming, releasing and asking about slots; the registry
// that finds the table of a mapping by its heap base; what a forked child does with its parent's
// tables.
//
// A slot's generation and state change only while its claimer holds the slot's byte-range lock, so
// two processes never write them at once (a claimer leaves a slot alone whose owner /proc shows
// running, though its lock is gone). Order of a claim: take the byte-range lock, raise the
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

// Tags of liveness descriptions: odd positions, one per description this process opens, so that no
// two of its descriptions of one file share one. A mapping's own descriptor is moved only by the
// questions about holes (memory_file_may_hold_data), to bucket offsets or starts of data, all
// multiples of 8; and file systems refuse positions past their largest file, so tags stay small.
std::atomic<std::uint64_t> descriptions_tagged{0};

// Records this process as the owner of `slot` (it holds the slot's byte-range lock).
void write_owner(ProcessSlot* slot, const platform::ProcessIdentity& identity) noexcept {
  OwnerIdentity owner{};
  owner.start_time = identity.start_time;
  owner.pid_namespace = identity.pid_namespace;
  std::memcpy(owner.boot_id, identity.boot_id, sizeof owner.boot_id);
  slot->pid = identity.pid;
  std::memcpy(reinterpret_cast<std::byte*>(slot) + offsetof(ProcessSlot, owner), &owner, sizeof owner);
}

}  // namespace

platform::ProcessIdentity recorded_owner(const std::byte* slot_head) noexcept {
  platform::ProcessIdentity identity;
  OwnerIdentity owner;
  std::memcpy(&identity.pid, slot_head + offsetof(ProcessSlot, pid), sizeof identity.pid);
  std::memcpy(&owner, slot_head + offsetof(ProcessSlot, owner), sizeof owner);
  identity.start_time = owner.start_time;
  identity.pid_namespace = owner.pid_namespace;
  std::memcpy(identity.boot_id, owner.boot_id, sizeof identity.boot_id);
  return identity;
}

ProcessTable::ProcessTable(std::byte* table, FileHandle liveness_file, const platform::FileIdentity& identity,
                           std::string path) noexcept
    : table_(table),
      liveness_file_(liveness_file),
      identity_(identity),
      path_(std::move(path)),
      fork_generation_(fork_generation()) {
  static_cast<void>(fork_handler_registered);
  const ProcessTableHeader& table_header = *header();
  slot_count_ = table_header.slot_count;
  lock_base_ = table_header.lock_base;
}

ProcessTable::~ProcessTable() {
  release();
  // relaxed: the table is no longer shared with other threads when it is destroyed
  const FileHandle file = liveness_file_.load(std::memory_order_relaxed);
  if (belongs_to_this_process() && file != platform::invalid_handle &&
      platform::names_file(file, identity_)) {
    static_cast<void>(platform::close_file(file));
  }
}

bool ProcessTable::tag_description(FileHandle file, platform::FileIdentity& identity) noexcept {
  // relaxed: the counter only makes tags distinct
  const std::uint64_t tag = 2 * descriptions_tagged.fetch_add(1, std::memory_order_relaxed) + 1;
  return platform::set_position(file, tag) && platform::identify_file(file, identity);
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
  own_identity_ = platform::current_process_identity();
  // relaxed: the description was opened by this thread and is not shared yet
  const FileHandle file = liveness_file_.load(std::memory_order_relaxed);
  for (std::uint32_t index = 0; index < slot_count_; ++index) {
    if (!platform::try_lock_byte(file, lock_base_ + index)) {
      if (errno == EAGAIN || errno == EACCES) {
        continue;  // a live owner (or another claimer) holds it
      }
      return false;
    }
    ProcessSlot* claimed = slot(index);
    if (!platform::reserve_for_write(claimed, sizeof(ProcessSlot))) {
      // A full file system: the slot's page cannot be backed, and a write to it would raise SIGBUS.
      platform::unlock_byte(file, lock_base_ + index);
      errno = ENOSPC;
      return false;
    }
    // acquire: what a dead owner left in the slot is read after its state
    const bool was_in_use = word_of(claimed->state).load(std::memory_order_acquire) == slot_in_use;
    const std::uint64_t previous = word_of(claimed->generation).load(std::memory_order_relaxed);
    if (was_in_use && owner_state(index, static_cast<std::uint32_t>(previous & lock_generation_mask)) ==
                          platform::ProcessState::runs) {
      // Its owner lives on without its lock (its descriptor was closed): the slot is still its own.
      platform::unlock_byte(file, lock_base_ + index);
      continue;
    }
    const std::uint64_t generation = next_generation(previous);
    // release: a reader that sees the new generation sees the slot's lock taken before it
    word_of(claimed->generation).store(generation, std::memory_order_release);
    write_owner(claimed, own_identity_);
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
  // relaxed: only a claim changes the generation, and a claim of this slot by another process can
  // only follow the loss of this process's lock (then the slot is no longer this process's to free)
  const std::uint64_t generation = word_of(own_slot()->generation).load(std::memory_order_relaxed);
  if ((generation & lock_generation_mask) == token_generation(token_base_)) {
    // release: everything the owner put back into the slot is visible before it shows as free
    word_of(own_slot()->state).store(slot_free, std::memory_order_release);
  }
  // acquire: as in liveness_file
  const FileHandle file = liveness_file_.load(std::memory_order_acquire);
  if (platform::names_file(file, identity_)) {
    platform::unlock_byte(file, lock_base_ + slot_index_);
  }
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
  return is_claim_alive(index, token_generation(token));
}

bool ProcessTable::is_slot_alive(std::uint32_t index) const noexcept {
  if (index >= slot_count_) {
    return false;
  }
  if (has_slot() && index == slot_index_) {
    return true;
  }
  // acquire: as in is_holder_alive
  const std::uint64_t generation = word_of(slot(index)->generation).load(std::memory_order_acquire);
  // acquire: as in is_holder_alive
  if (word_of(slot(index)->state).load(std::memory_order_acquire) != slot_in_use) {
    return false;
  }
  return is_claim_alive(index, static_cast<std::uint32_t>(generation & lock_generation_mask));
}

bool ProcessTable::is_claim_alive(std::uint32_t index, std::uint32_t generation) const noexcept {
  const FileHandle file = liveness_file();
  const int locked =
      file == platform::invalid_handle ? -1 : platform::byte_range_is_locked(file, lock_base_ + index, 1);
  if (locked == 1) {
    return true;
  }
  // The lock is gone (or cannot be asked about): the owner may have closed its descriptor only.
  switch (owner_state(index, generation)) {
    case platform::ProcessState::runs:
      return true;
    case platform::ProcessState::gone:
      return false;
    case platform::ProcessState::unknown:
      break;
  }
  return locked != 0;
}

platform::ProcessState ProcessTable::owner_state(std::uint32_t index,
                                                 std::uint32_t generation) const noexcept {
  ProcessSlot* claimed = slot(index);
  // acquire: the identity is read after the state that published it
  const bool is_in_use = word_of(claimed->state).load(std::memory_order_acquire) == slot_in_use;
  const platform::ProcessIdentity owner = recorded_owner(reinterpret_cast<const std::byte*>(claimed));
  // acquire: what was read above belongs to the claim of `generation` when the generation is still
  // that one now, since a new claim raises the generation before it writes the identity
  std::atomic_thread_fence(std::memory_order_acquire);
  if (!is_in_use ||
      (word_of(claimed->generation).load(std::memory_order_relaxed) & lock_generation_mask) != generation) {
    return platform::ProcessState::gone;  // the claim was given back, or the slot claimed again
  }
  return platform::process_state(owner, own_identity_);
}

FileHandle ProcessTable::liveness_file() const noexcept {
  // acquire: a description opened again by another thread is seen tagged (see reopen_liveness_file)
  const FileHandle file = liveness_file_.load(std::memory_order_acquire);
  if (file != platform::invalid_handle && platform::names_file(file, identity_)) {
    // relaxed: a hint; retake_claim decides under its own checks
    if (needs_relock_.load(std::memory_order_relaxed)) {
      retake_claim(file);
    }
    return file;
  }
  return reopen_liveness_file(file);
}

FileHandle ProcessTable::reopen_liveness_file(FileHandle lost) const noexcept {
  if (!belongs_to_this_process() || path_.empty()) {
    return platform::invalid_handle;  // a forked child's copy never acts for its parent
  }
  LockWordGuard guard(&reopen_lock_, LockRank::liveness);
  // acquire: as in liveness_file
  const FileHandle current = liveness_file_.load(std::memory_order_acquire);
  if (current != lost && platform::names_file(current, identity_)) {
    return current;  // another thread opened it again meanwhile
  }
  // The lost descriptor is never closed here: its number may name a file of the application now.
  const FileHandle reopened = platform::open_file(path_.c_str());
  platform::FileIdentity seen;
  if (reopened == platform::invalid_handle) {
    return platform::invalid_handle;
  }
  if (!platform::set_position(reopened, identity_.position) || !platform::identify_file(reopened, seen) ||
      seen.device != identity_.device || seen.inode != identity_.inode) {
    static_cast<void>(platform::close_file(reopened));  // another file lies at the path now
    return platform::invalid_handle;
  }
  // release: the description is tagged before another thread can find it
  liveness_file_.store(reopened, std::memory_order_release);
  if (has_slot()) {
    retake_claim(reopened);
  }
  return reopened;
}

void ProcessTable::retake_claim(FileHandle file) const noexcept {
  const bool is_locked = platform::try_lock_byte(file, lock_base_ + slot_index_);
  // acquire: as in is_holder_alive
  const std::uint64_t generation = word_of(own_slot()->generation).load(std::memory_order_acquire);
  const bool is_still_ours = (generation & lock_generation_mask) == token_generation(token_base_);
  if (is_locked && !is_still_ours) {
    platform::unlock_byte(file, lock_base_ + slot_index_);  // claimed by another meanwhile: not ours
  }
  // relaxed: a hint for the next question; a slot claimed by another is never taken again
  needs_relock_.store(!is_locked && is_still_ours, std::memory_order_relaxed);
}

std::uint64_t owner_token(const ProcessTable* table) noexcept {
  return table != nullptr && table->has_slot() ? table->token() : local_lock_token();
}

OwnedLockGuard::OwnedLockGuard(std::uint64_t* word, const ProcessTable* table, WaitLimits limits, LockRank rank)
    : word_(word), rank_(rank) {
  enter_lock_rank(rank_);
  try {
    acquired_ = acquire_lock_word(word, owner_token(table), table, limits);
  } catch (...) {
    leave_lock_rank(rank_);
    throw;
  }
  is_held_ = true;
}

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
  // relaxed: the child has one thread
  const FileHandle file = liveness_file_.load(std::memory_order_relaxed);
  if (file != platform::invalid_handle && platform::names_file(file, identity_)) {
    static_cast<void>(platform::close_file(file));
  }
  liveness_file_.store(platform::invalid_handle, std::memory_order_relaxed);
}

}  // namespace corvana
