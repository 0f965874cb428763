// The exceptions of the heap layer: what its callers tell apart (damage, no room, an ended wait)
// and the fixed texts they carry. Private to the heap layer; other layers include heap/heap.hpp.
#pragma once

#include <stdexcept>
#include <string>

namespace corvana {

// The memory file holds something that cannot be (an offset that names no record of the kind it
// should, a list that does not end): the file is damaged. Nothing is followed past the damage.
class DamagedFile : public std::runtime_error {
 public:
  explicit DamagedFile(const std::string& what)
      : std::runtime_error("the memory file is damaged: " + what), detail_(what) {}
  // What is wrong, without the leading words.
  [[nodiscard]] const std::string& detail() const noexcept { return detail_; }

 private:
  std::string detail_;
};

// The heap's text for an allocation that found no room.
inline constexpr char heap_exhausted_text[] = "mm:alloc: out of memory";

// The heap has no room for what was asked; nothing was taken. A distinct type so that a caller
// with a way that needs no room can take it instead. Its text is the allocator's, or the one given
// (the chunk-cache API reports strerror(ENOMEM)).
class HeapExhausted : public std::runtime_error {
 public:
  HeapExhausted() : std::runtime_error(heap_exhausted_text) {}
  explicit HeapExhausted(const char* text) : std::runtime_error(text) {}
};

// Every slot of the memory file's process table is held by a mapping that is open now, so the file
// at `path` cannot be opened once more until one of them is closed. Its text is the opening's:
// "cannot open 'PATH': REASON".
class ProcessSlotsExhausted : public std::runtime_error {
 public:
  ProcessSlotsExhausted(const std::string& path, const std::string& reason)
      : std::runtime_error("cannot open '" + path + "': " + reason), path_(path) {}
  [[nodiscard]] const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
};

// A wait for a lock ended because a signal handler raised; the Python error is set. Nothing was
// taken: the caller's locks unwind as for any exception.
class InterruptedWait : public std::runtime_error {
 public:
  InterruptedWait() : std::runtime_error("interrupted while waiting for a lock") {}
};

// A wait for a lock held by a live process lasted past its deadline (see WaitLimits). Nothing was
// taken: the caller's locks unwind as for any exception, and the holder keeps its lock.
class LockTimeout : public std::runtime_error {
 public:
  LockTimeout() : std::runtime_error("a lock of the map stayed held by a live process for longer than the lock timeout") {}
};

// An Interrupt::retreat wait gave up so that its caller can release its locks and look at signals
// (see Interrupt). Never leaves the map layer: the step that holds the locks catches it, holding none.
class WaitRetreat : public std::runtime_error {
 public:
  WaitRetreat() : std::runtime_error("a lock wait gave its other locks up to look at signals") {}
};

// The text of the runtime_error thrown where python_malloc gives no memory.
inline constexpr char python_malloc_failed_text[] = "PyMem_Malloc failed!";

}  // namespace corvana
