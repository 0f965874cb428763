// The heap layer's calls into the Python interpreter, when one runs: giving its lock away around
// long work and waits, running pending signal handlers, and process memory that Python may own.
// Everything here works without an interpreter too (native tests and programs). Private to the heap
// layer; other layers include heap/heap.hpp.
#pragma once

#include <cstddef>

namespace corvana {

// Sleeps one millisecond; gives the interpreter lock away while it sleeps when this thread holds it.
void sleep_wait_step() noexcept;

// Gives the interpreter lock away for its lifetime when this thread holds it (and an interpreter
// runs and is not finalizing), so that long work that touches no Python object lets the process's
// other threads run; takes it back when it ends, also on an exception. Code inside must not use the
// Python API except through the helpers of this layer that take the lock themselves.
class InterpreterLockRelease {
 public:
  InterpreterLockRelease() noexcept;
  ~InterpreterLockRelease();
  InterpreterLockRelease(const InterpreterLockRelease&) = delete;
  InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;
  // Runs pending signal handlers (throws InterruptedWait, with the Python error set, when one
  // raised): when this object gave the interpreter lock away, it takes it back for them and gives it
  // away again after; else check_interrupts() takes it for them.
  void check_signals();

 private:
  void* saved_ = nullptr;  // the thread state given away, or null
};
// True while the interpreter is finalizing: its lock can then not be handed around.
[[nodiscard]] bool interpreter_is_finalizing() noexcept;
// Runs pending signal handlers when an interpreter runs (taking the interpreter lock if needed);
// throws InterruptedWait when one raised. Requires: the caller holds no lock of the heap or maps.
void check_interrupts();

// Memory from PyMem_Malloc while an interpreter runs or finalizes (the caller holds the interpreter
// lock), else from malloc. Buffers handed to Python come from here and go back through python_free.
[[nodiscard]] void* python_malloc(std::size_t bytes) noexcept;
void python_free(void* buffer) noexcept;
// The deleter of a buffer from python_malloc that the caller has not handed over yet.
struct PythonFree {
  void operator()(void* buffer) const noexcept { python_free(buffer); }
};

}  // namespace corvana
