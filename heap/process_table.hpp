// The process table of a memory file: a slot per open mapping, claimed and released, and the
// question whether the owner of a slot (or of a lock token) is still alive. Private to the heap
// layer; other layers include heap/heap.hpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "heap/locks.hpp"
#include "heap/memory_file.hpp"

namespace corvana {

//
// Each mapping of a memory file claims one slot of the file's process table when it is made and
// gives it back when it is closed. The slot's owner proves it is alive by holding a byte-range
// lock through a file description of its own (see platform::try_lock_byte), which the kernel drops
// when the process dies; the slot's generation, raised by every claim, tells a token of a former
// owner from one of the current owner. The application may close that description's descriptor
// while the process lives on, so the slot also records who claimed it (pid, start time, PID
// namespace, boot: OwnerIdentity), and an owner counts as dead only when its lock is gone and,
// where /proc can tell, that process is gone too (ended, a zombie, or its pid now another's). Only
// where /proc cannot tell (another PID namespace, no /proc) does the lock alone decide. The
// description is tagged (see platform::FileIdentity) and checked before every use, so that a
// descriptor number the application closed and reused is never asked, unlocked or closed; a lost
// description is opened again by the file's path and takes its owner's byte-range lock again.
// A slot whose owner died keeps what the owner left in it (its chunk caches' records, the map
// layer's records) for whoever claims it next, who takes it over; what the map layer left half done
// there is repaired by the map layer.
//
// A forked child does not inherit its parent's claims: its copies of the file descriptions that
// hold them are closed in the child at once, and the child's copies of the parent's tables refuse
// to act for the parent (belongs_to_this_process is false). Everything here needs no interpreter.

// Forks this process descends from (incremented in the child of each fork).
extern std::atomic<std::uint64_t> forks_seen;
[[nodiscard]] inline std::uint64_t fork_generation() noexcept {
  // relaxed: changed only in a fork's child before it has other threads
  return forks_seen.load(std::memory_order_relaxed);
}

// The identity of the process that claimed a slot, read from the slot's first
// process_slot_head_bytes: its pid and OwnerIdentity.
inline constexpr std::size_t process_slot_head_bytes = offsetof(ProcessSlot, slab_caches);
[[nodiscard]] platform::ProcessIdentity recorded_owner(const std::byte* slot_head) noexcept;

class ProcessTable {
 public:
  // A view of the table at `table` (its header first) in this process's mapping, which owns
  // `liveness_file` from now on: a description of its own (see platform::open_second_description)
  // tagged by tag_description, which gave `identity`. `path` (empty: none) names the file, to open
  // it again should the application close the descriptor.
  ProcessTable(std::byte* table, FileHandle liveness_file, const platform::FileIdentity& identity,
               std::string path) noexcept;
  // Releases the slot when it is still claimed and closes the description when it is still ours.
  ~ProcessTable();
  ProcessTable(const ProcessTable&) = delete;
  ProcessTable& operator=(const ProcessTable&) = delete;

  // Claims a slot: the lowest one that nobody holds (free, or left by a dead owner). false with
  // errno EBUSY when every slot is held by a live owner, or the system's errno.
  [[nodiscard]] bool claim() noexcept;
  // Gives the slot back: marks it free and drops the byte-range lock. The caller has emptied what
  // it kept in the slot. Does nothing in a forked child or when no slot is claimed.
  void release() noexcept;

  [[nodiscard]] bool has_slot() const noexcept { return slot_index_ != no_slot; }
  [[nodiscard]] std::uint32_t slot_index() const noexcept { return slot_index_; }
  // The token of the calling thread: this table's token base and the thread's tag.
  [[nodiscard]] std::uint64_t token() const noexcept { return token_base_ | current_thread_tag(); }
  [[nodiscard]] std::uint64_t token_base() const noexcept { return token_base_; }
  // Whether the claimed slot had been left in use by an owner that died (its records need repair).
  [[nodiscard]] bool took_over_dead_slot() const noexcept { return took_over_dead_slot_; }
  [[nodiscard]] bool belongs_to_this_process() const noexcept { return fork_generation_ == fork_generation(); }

  // Whether the holder named by `token` may still be alive: its slot has the token's generation and
  // its claim is alive (see is_claim_alive; this process's own slot: always alive). A token that
  // names no slot of the table is dead. While the lock is held: three system calls, no /proc.
  // A dead holder can look alive again for a moment: a claimer of its slot holds the slot's lock
  // before it raises the generation. So an answer "dead" is acted on and never asked again to undo
  // what was decided on it; "alive" only ever makes the caller wait.
  [[nodiscard]] bool is_holder_alive(std::uint64_t token) const noexcept;
  // Whether slot `index` is claimed by a live owner now (a dead or free slot: false).
  [[nodiscard]] bool is_slot_alive(std::uint32_t index) const noexcept;

  // Gives a new description of the memory file its tag (a position no other description of this
  // process has) and reads its identity. false (errno set) on failure.
  [[nodiscard]] static bool tag_description(FileHandle file, platform::FileIdentity& identity) noexcept;
  // The memory file's device and inode: what every descriptor of it names.
  [[nodiscard]] platform::FileIdentity file_identity() const noexcept {
    return {identity_.device, identity_.inode, 0};
  }

  [[nodiscard]] ProcessSlot* slot(std::uint32_t index) const noexcept;
  [[nodiscard]] ProcessSlot* own_slot() const noexcept { return slot(slot_index_); }
  [[nodiscard]] std::uint32_t slot_count() const noexcept { return slot_count_; }
  // The heap's end as it was checked against the mapping when this process opened the file: a later
  // write to the file's copy cannot enlarge what this process touches.
  [[nodiscard]] std::uint64_t heap_end() const noexcept { return heap_end_; }
  void set_heap_end(std::uint64_t heap_end) noexcept { heap_end_ = heap_end; }
  // Every slot ever claimed lies below this (a snapshot).
  [[nodiscard]] std::uint32_t high_water() const noexcept;

  // In a forked child: closes the child's copy of the description that holds the parent's claim, so
  // that the parent's death can be seen. Only the fork handler calls it.
  void forget_after_fork() noexcept;

  inline static constexpr std::uint32_t no_slot = 0xFFFFFFFF;

 private:
  [[nodiscard]] ProcessTableHeader* header() const noexcept;
  // Whether the claim of slot `index` made with `generation` is alive: its byte-range lock is held,
  // or /proc shows its owner running; where /proc cannot tell, the lock alone decides, and a
  // question that cannot be asked counts as alive (nothing is ever taken over on a doubt).
  [[nodiscard]] bool is_claim_alive(std::uint32_t index, std::uint32_t generation) const noexcept;
  // What /proc says of the owner of the claim of slot `index` made with `generation` (gone when the
  // slot has been claimed again since).
  [[nodiscard]] platform::ProcessState owner_state(std::uint32_t index,
                                                   std::uint32_t generation) const noexcept;
  // The description to ask through, when it is still ours, else one opened again (invalid_handle
  // when the file cannot be opened again).
  [[nodiscard]] FileHandle liveness_file() const noexcept;
  [[nodiscard]] FileHandle reopen_liveness_file(FileHandle lost) const noexcept;
  // Takes this process's byte-range lock on its slot again through `file`.
  void retake_claim(FileHandle file) const noexcept;

  std::byte* table_;
  std::uint32_t slot_count_;
  std::uint64_t lock_base_;
  // The description that holds the claim: replaced (never closed) when the application closed it.
  mutable std::atomic<FileHandle> liveness_file_;
  platform::FileIdentity identity_;  // of the description, its tag included; every replacement has it
  std::string path_;
  platform::ProcessIdentity own_identity_;  // this process's, read when it claims
  mutable std::atomic<bool> needs_relock_{false};  // the claim's lock could not be taken again yet
  alignas(8) mutable std::uint64_t reopen_lock_ = lock_word_free;  // process-local: one reopener at a time
  std::uint32_t slot_index_ = no_slot;
  std::uint64_t token_base_ = 0;
  bool took_over_dead_slot_ = false;
  std::uint64_t fork_generation_;
  std::uint64_t heap_end_ = 0;
};

// The process table of the mapping whose heap base is `heap` in this process, or null.
[[nodiscard]] ProcessTable* process_table_of(Allocator heap) noexcept;
// The heap's end for this process: as checked when the file was opened (the file's copy only for a
// heap with no process table, which only tests make).
[[nodiscard]] std::uint64_t heap_end_of(Allocator heap) noexcept;

}  // namespace corvana
