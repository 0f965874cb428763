// The operating-system calls of the heap layer, one function per need. Only platform_posix_files.cpp
// (files, mappings, byte-range locks) and platform_posix_processes.cpp (processes, time, waits)
// implement them; another OS adds its own files beside them. Every function reports failure through
// its result and leaves the system's error code in errno (last_error()); none throws.
#pragma once

#include <cstdint>
#include <string>

namespace corvana::platform {

// An open file: a descriptor on POSIX.
using FileHandle = std::intptr_t;
// The mapping of a file: on POSIX there is no mapping object, so the handle carries the mapped
// length in bytes, which unmapping needs.
using MappingHandle = std::intptr_t;
// All bits set: "no handle"; closing skips it.
inline constexpr std::intptr_t invalid_handle = -1;

// The error code of the last failed call of this thread (errno).
int last_error() noexcept;
void set_last_error(int code) noexcept;

int current_process_id() noexcept;
std::int32_t system_page_size() noexcept;

// The directory for temporary files, chosen as Python's tempfile does: TMPDIR when set and
// non-empty, else /tmp. No trailing slash.
std::string temp_directory();

// Creates a new, empty, uniquely named file in `directory` whose name starts with `prefix`, and
// opens it read-write. On success stores its path in `path` and returns the handle.
FileHandle create_unique_file(const std::string& directory, const std::string& prefix,
                              std::string& path) noexcept;
// Opens an existing file read-write; invalid_handle on failure.
FileHandle open_file(const char* path) noexcept;
bool set_file_length(FileHandle file, std::uint64_t length) noexcept;
bool close_file(FileHandle file) noexcept;
// The canonical absolute path of `path` (symbolic links resolved).
bool full_path(const char* path, std::string& resolved);
// The canonical absolute path of the file that `file` has open (what another process passes to
// open_file to reach the same file).
bool full_path_of(FileHandle file, std::string& resolved);
// The current length of the file at `path`; false (errno set) when it has no status.
bool file_length(const char* path, std::uint64_t& length) noexcept;
// The current length of an open file.
bool file_length(FileHandle file, std::uint64_t& length) noexcept;
bool remove_file(const char* path) noexcept;

// Writes zeros over [offset, offset + length) of a file that nobody has mapped or written yet, so
// that those pages have backing before they are mapped: cheaper on some file systems than backing
// them by faults, and a full file system fails here. false (errno set) on failure.
bool write_zeros(FileHandle file, std::uint64_t offset, std::uint64_t length) noexcept;

// Whether [offset, offset + length) of the file may hold data: false only when the file system says
// the whole range is a hole (never written since the file was made; it reads as zeros). true
// wherever the system cannot tell.
bool may_hold_data(FileHandle file, std::uint64_t offset, std::uint64_t length) noexcept;

// Maps `length` bytes of `file` from offset 0, shared and read-write; null on failure.
void* map_file(FileHandle file, std::uint64_t length) noexcept;
bool unmap_file(void* address, std::uint64_t length) noexcept;
// Makes the pages of [address, address + length) of a mapping present and writable in this process
// in one call, as first writes would one page fault at a time. Best effort: a system without the
// call, or a failure, changes nothing but speed; errno is left as it was.
void prefault_for_write(void* address, std::uint64_t length) noexcept;
// The same, but reports whether the file system could back the pages: false when it has no space
// for them (a first write would then raise SIGBUS). true where the system cannot tell; errno is
// left as it was.
[[nodiscard]] bool reserve_for_write(void* address, std::uint64_t length) noexcept;

void sleep_milliseconds(unsigned milliseconds) noexcept;
void yield_processor() noexcept;
// One short pause inside a spin loop (the processor's spin-wait hint).
void cpu_pause() noexcept;
// A monotonic clock in nanoseconds.
std::uint64_t monotonic_nanoseconds() noexcept;
// The wall clock in nanoseconds since the epoch (for diagnostics only).
std::uint64_t wall_clock_nanoseconds() noexcept;

// ---- Proof of life ---------------------------------------------------------------------------
// A process proves that it is alive by holding an exclusive byte-range lock on one byte of a
// memory file through an open file description of its own. The kernel drops the lock when the last
// descriptor of that description closes, which happens at the latest when the process dies (any
// death: SIGKILL included), and a lock never outlives its owner, so pid reuse cannot fake it.
// Byte ranges far past the end of the file are allowed: the locks never touch the file's data.

// A new, separate open file description of the file that `file` has open (it works after the
// file was unlinked), close-on-exec. invalid_handle on failure.
FileHandle open_second_description(FileHandle file) noexcept;
// Takes the lock on byte `offset` through `file` without waiting; false when another open file
// description holds it (errno EAGAIN) or the call fails.
bool try_lock_byte(FileHandle file, std::uint64_t offset) noexcept;
void unlock_byte(FileHandle file, std::uint64_t offset) noexcept;
// Whether an open file description other than `file`'s holds a lock on any byte of
// [offset, offset + length): 1 held, 0 free, -1 the question could not be asked (errno set).
int byte_range_is_locked(FileHandle file, std::uint64_t offset, std::uint64_t length) noexcept;

// The application may close the descriptor too (code that closes every descriptor, as daemons
// do), which drops the lock while the process lives on and keeps the file mapped. Two things stand
// against that: a description is tagged when it is opened, so that a descriptor number that the
// application closed and reused is known to be no longer ours, and a second witness of life that
// needs no descriptor, the process's identity as /proc shows it.

// What names an open file description: the file's device and inode, and the position the
// description was given when it was opened (0: the position is not part of the identity; a tagged
// description is only ever read and written with pread and pwrite, or not at all).
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t position = 0;
};
// The identity of `file` now, its current position included. false (errno set) on failure.
bool identify_file(FileHandle file, FileIdentity& identity) noexcept;
// Sets the position of the description of `file`: its tag. false (errno set) on failure.
bool set_position(FileHandle file, std::uint64_t position) noexcept;
// Whether `file` names the file of `identity` (and, when identity.position is not 0, a description
// at that position): false when it is closed or names anything else.
[[nodiscard]] bool names_file(FileHandle file, const FileIdentity& identity) noexcept;

// A process as /proc shows it: enough to tell it from every other process of the machine, also one
// that was given its pid after it ended. A field that /proc could not give is 0.
struct ProcessIdentity {
  std::uint32_t pid = 0;            // in its own PID namespace
  std::uint64_t start_time = 0;     // clock ticks from boot to its start (/proc/PID/stat field 22)
  std::uint64_t pid_namespace = 0;  // the inode of its PID namespace
  std::uint8_t boot_id[16] = {};    // the kernel's boot id
  [[nodiscard]] bool is_known() const noexcept;  // every field could be read
};
// The calling process's identity. Fields stay 0 where there is no /proc, or where /proc shows
// another PID namespace than the caller's (its entry for "self" then names another pid).
[[nodiscard]] ProcessIdentity current_process_identity() noexcept;

enum class ProcessState : std::uint8_t {
  runs,     // the process named runs (or is stopped)
  gone,     // it has ended: no process has its pid, or a zombie or another process has it, or it
            // ran before the kernel last booted
  unknown,  // /proc cannot tell: an identity not fully known, or another PID namespace
};
// What /proc says of the process `recorded`, asked by the process `asker` (its own identity).
[[nodiscard]] ProcessState process_state(const ProcessIdentity& recorded,
                                         const ProcessIdentity& asker) noexcept;

// ---- Waiting on a word shared between processes ----------------------------------------------
// Sleeps while the 32-bit word at `address` holds `expected`, at most `timeout_microseconds`;
// returns early when woken, when the word differs, or when a signal arrives (then true: the caller
// should look at its signals). Works across processes on a shared file mapping.
bool wait_on_word(const std::uint32_t* address, std::uint32_t expected, unsigned timeout_microseconds) noexcept;
// Wakes every thread of every process waiting on the word.
void wake_word_waiters(const std::uint32_t* address) noexcept;

// Runs `handler` in the child process after every fork (once registered, for the process's life).
// The handler must not take locks: it runs while the child has a single thread.
bool on_fork_child(void (*handler)()) noexcept;

}  // namespace corvana::platform
