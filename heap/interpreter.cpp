// The heap layer's calls into the Python interpreter (see heap/interpreter.hpp): the only file of
// the layer that uses the Python API. Every function works without an interpreter too (native tests
// link libpython without starting it): then it does without.
#include "heap/heap.hpp"

#include <cstdlib>

namespace corvana {

namespace {

// An interpreter runs in this process: initialised and not yet finalizing.
bool interpreter_runs() noexcept { return Py_IsInitialized() != 0; }

// The interpreter's memory functions own a block from allocation to release, finalization
// included (Py_IsInitialized() turns false while the interpreter finalizes).
bool python_owns_memory() noexcept { return interpreter_runs() || interpreter_is_finalizing(); }

}  // namespace

InterpreterLockRelease::InterpreterLockRelease() noexcept {
  if (interpreter_runs() && !interpreter_is_finalizing() && PyGILState_Check() != 0) {
    saved_ = PyEval_SaveThread();
  }
}

InterpreterLockRelease::~InterpreterLockRelease() {
  if (saved_ != nullptr) {
    PyEval_RestoreThread(static_cast<PyThreadState*>(saved_));
  }
}

void InterpreterLockRelease::check_signals() {
  if (saved_ == nullptr) {
    check_interrupts();  // takes the interpreter lock for the handlers when an interpreter runs
    return;
  }
  PyEval_RestoreThread(static_cast<PyThreadState*>(saved_));
  saved_ = nullptr;
  if (PyErr_CheckSignals() != 0) {
    throw InterruptedWait();  // holding the interpreter lock, as the caller had it
  }
  saved_ = PyEval_SaveThread();
}

void sleep_wait_step() noexcept {
  if (interpreter_runs() && !interpreter_is_finalizing() && PyGILState_Check() != 0) {
    // The thread we wait for may need the interpreter lock to get where it releases our lock.
    PyThreadState* saved = PyEval_SaveThread();
    platform::sleep_milliseconds(1);
    PyEval_RestoreThread(saved);
    return;
  }
  platform::sleep_milliseconds(1);
}

bool interpreter_is_finalizing() noexcept { return python_compat::is_finalizing(); }

void check_interrupts() {
  if (!interpreter_runs() || interpreter_is_finalizing()) {
    return;
  }
  const PyGILState_STATE state = PyGILState_Ensure();
  const int status = PyErr_CheckSignals();
  PyGILState_Release(state);
  if (status != 0) {
    throw InterruptedWait();
  }
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

}  // namespace corvana
