// Waiting for a lock word, and process memory that Python may own. The only file of the heap layer
// that calls the interpreter.
#include <Python.h>

#include <cassert>
#include <cstdint>
#include <cstdlib>

#include "heap/heap.hpp"

namespace corvana {

namespace {

// An interpreter runs in this process: initialised and not yet finalizing. Native tests link
// libpython without starting it, and then every wait only yields or sleeps.
bool interpreter_runs() noexcept { return Py_IsInitialized() != 0; }

// The interpreter's memory functions own a block from allocation to release, finalization
// included (Py_IsInitialized() turns false while the interpreter finalizes).
bool python_owns_memory() noexcept { return interpreter_runs() || interpreter_is_finalizing(); }

}  // namespace

void spin_wait_step() noexcept {
  if (!interpreter_runs()) {
    platform::yield_processor();
    return;
  }
  // Lets another Python thread run once, whether or not this thread held the interpreter lock, and
  // leaves this thread in the state it started in.
  const PyGILState_STATE state = PyGILState_Ensure();
  PyEval_RestoreThread(PyEval_SaveThread());
  PyGILState_Release(state);
}

void sleep_wait_step() noexcept {
  if (interpreter_runs() && PyGILState_Check() != 0) {
    // The thread we wait for may need the interpreter lock to get where it releases our lock.
    PyThreadState* saved = PyEval_SaveThread();
    platform::sleep_milliseconds(1);
    PyEval_RestoreThread(saved);
    return;
  }
  platform::sleep_milliseconds(1);
}

bool interpreter_is_finalizing() noexcept {
  // Reads a flag of the runtime state, which is static: false when no interpreter was ever started.
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

void* python_malloc(std::size_t bytes) noexcept {
  return python_owns_memory() ? PyMem_Malloc(bytes) : std::malloc(bytes);
}

void python_free(void* buffer) noexcept {
  if (python_owns_memory()) {
    PyMem_Free(buffer);
  } else {
    std::free(buffer);
  }
}

std::atomic_ref<std::uint64_t> lock_word_at(std::uint64_t* word) noexcept {
  assert(reinterpret_cast<std::uintptr_t>(word) % std::atomic_ref<std::uint64_t>::required_alignment == 0);
  return std::atomic_ref<std::uint64_t>(*word);
}

bool try_lock_word(std::atomic_ref<std::uint64_t> word) noexcept {
  std::uint64_t expected = lock_word_free;
  // acquire: writes made by the previous holder become visible once we own the word
  return word.compare_exchange_strong(expected, lock_word_held, std::memory_order_acquire,
                                      std::memory_order_relaxed);
}

void lock_word(std::atomic_ref<std::uint64_t> word, LockWait wait) noexcept {
  std::uint64_t expected = lock_word_free;
  // acquire: as in try_lock_word
  while (!word.compare_exchange_weak(expected, lock_word_held, std::memory_order_acquire,
                                     std::memory_order_relaxed)) {
    expected = lock_word_free;
    // While the interpreter finalizes, its lock cannot be handed around: retry at once.
    if (interpreter_is_finalizing()) {
      continue;
    }
    if (wait == LockWait::spin) {
      spin_wait_step();
    } else {
      sleep_wait_step();
    }
  }
}

void unlock_word(std::atomic_ref<std::uint64_t> word) noexcept {
  // release: our writes under the lock happen-before the next holder's acquire
  word.exchange(lock_word_free, std::memory_order_release);
}

}  // namespace corvana
