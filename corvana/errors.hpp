// The one place where the quillmap module turns C++ exceptions into Python exceptions.
//
// Every entry point (Python methods and functions, native entries, type slots) runs its body
// inside translate_errors(). A body reports a failed C-API call by throwing PythonErrorSet (the
// Python error is already set); every other exception is translated by
// set_python_error_from_current_exception(). No other catch exists in corvana/.
#pragma once

#include <cstdint>
#include <source_location>
#include <stdexcept>
#include <string>
#include <utility>

#include "corvana/python_ref.hpp"

namespace corvana::quillmap {

// The serializer chosen by name is a package that was not importable when the module was loaded.
// Becomes SerializerNotInstalledError, a NameError "name '<package>' is not defined".
class SerializerNotInstalled : public std::runtime_error {
 public:
  explicit SerializerNotInstalled(const std::string& package)
      : std::runtime_error("name '" + package + "' is not defined"), package_(package) {}
  [[nodiscard]] const std::string& package() const noexcept { return package_; }

 private:
  std::string package_;
};

// What the constructor of quillmap is making, for the translation of its failures: a missing file
// names `name`, a heap too small names `size` and the smallest that works. One per thread at a time;
// it must outlive translate_errors (declare it before the call) because the handler runs after the
// body's locals are gone. GIL: held.
class ConstructionContext {
 public:
  ConstructionContext() noexcept;
  ~ConstructionContext();
  ConstructionContext(const ConstructionContext&) = delete;
  ConstructionContext& operator=(const ConstructionContext&) = delete;

  PyObject* name = nullptr;  // borrowed from the constructor's arguments: the file being opened, or null
  bool creates = false;      // a new map is being made (its parameters below are the ones it gets)
  std::uint64_t size = 0;
  std::uint8_t bucket_chunk_size_exponent = 0;
  std::uint64_t bucket_chunk_number = 0;

 private:
  ConstructionContext* previous_;
};

// Sets the Python exception for the exception being handled:
//   bad_alloc -> MemoryError; bad_cast, bad_typeid -> TypeError;
//   domain_error, invalid_argument -> ValueError; ios_base::failure -> OSError;
//   out_of_range -> IndexError; overflow_error -> OverflowError;
//   range_error, underflow_error -> ArithmeticError; any other std::exception -> RuntimeError;
//   anything else -> RuntimeError "Unknown exception". The message is the exception's what().
//   PythonErrorSet leaves the Python error as it is.
// Where a failure has a standard Python meaning the class raised is a subclass of the row's class
// that is also the standard one, with the same text (see corvana/_exceptions.py):
//   runtime_error "file status wrong with errno: N" -> MemoryFileError (RuntimeError + OSError;
//     FileNotFoundError for ENOENT) with errno and the file's name;
//   the heap's out-of-memory -> MapFullError (RuntimeError + MemoryError), with the smallest size
//     that works when a new map is being made;
//   SerializerNotInstalled -> SerializerNotInstalledError (a NameError) with the extra to install;
//   ProcessSlotsExhausted -> ProcessSlotsFullError (RuntimeError + OSError, errno EBUSY) with the
//     file's name and the number of slots.
// Requires: called inside a catch handler. GIL: held.
void set_python_error_from_current_exception() noexcept;

// Adds a traceback entry naming `function_name` at the given source line of this module.
void add_traceback(const char* function_name, const std::source_location& where) noexcept;

// Runs `body`; on any exception sets the Python error, adds a traceback entry named
// `traceback_name` (none when null) and returns `failure`. GIL: held.
template <class Result, class Body>
Result translate_errors(const char* traceback_name, Result failure, Body&& body,
                        const std::source_location where = std::source_location::current()) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    set_python_error_from_current_exception();
  }
  if (traceback_name != nullptr) {
    add_traceback(traceback_name, where);
  }
  return failure;
}

}  // namespace corvana::quillmap
