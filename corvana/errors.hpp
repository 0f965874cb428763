// The one place where the quillmap module turns C++ exceptions into Python exceptions.
//
// Every entry point (Python methods and functions, native entries, type slots) runs its body
// inside translate_errors(). A body reports a failed C-API call by throwing PythonErrorSet (the
// Python error is already set); every other exception is translated by
// set_python_error_from_current_exception(). No other catch exists in corvana/.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>
#include <utility>

#include "map/map.hpp"

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

// Sets the Python exception for the exception being handled:
//   bad_alloc -> MemoryError; bad_cast, bad_typeid -> TypeError;
//   domain_error, invalid_argument -> ValueError; ios_base::failure -> OSError;
//   out_of_range -> IndexError; overflow_error -> OverflowError;
//   range_error, underflow_error -> ArithmeticError; any other std::exception -> RuntimeError;
//   anything else -> RuntimeError "Unknown exception". The message is the exception's what().
//   PythonErrorSet leaves the Python error as it is.
// Where a failure has a standard Python meaning the class raised is a subclass of the row's class
// that is also the standard one, with the same text (see corvana/_exceptions.py), made from what
// the exception carries:
//   FileStatusUnavailable -> MemoryFileError (RuntimeError + OSError; FileNotFoundError for ENOENT)
//     with its errno and path;
//   HeapExhausted -> MapFullError (RuntimeError + MemoryError); MapSizeTooSmall adds the smallest
//     size that works and the size asked for;
//   SerializerNotInstalled -> SerializerNotInstalledError (a NameError) with the extra to install;
//   ProcessSlotsExhausted -> ProcessSlotsFullError (RuntimeError + OSError, errno EBUSY) with the
//     file's path and the number of slots;
//   DamagedFile -> DamagedFileError "the memory file NAME is damaged: DETAIL", NAME being the name
//     of `subject`'s map (see translate_errors), or without a name when there is none;
//   LockTimeout -> LockTimeoutError (a TimeoutError); InterruptedWait leaves the error that the
//     signal handler raised.
// Requires: called inside a catch handler. GIL: held.
void set_python_error_from_current_exception(PyObject* subject) noexcept;

// Adds a traceback entry naming `function_name` at the given source line of this module.
void add_traceback(const char* function_name, const std::source_location& where) noexcept;

// Runs `body`; on any exception sets the Python error, adds a traceback entry named
// `traceback_name` (none when null) and returns `failure`. GIL: held.
//
// `subject` is what the entry point works on, read only when a failure is translated: a quillmap
// (its name then), the name (bytes) of the map it opens, or null. Its variable may be set by the
// body (once the arguments are bound); the caller's arguments keep the object alive throughout.
template <class Result, class Body>
Result translate_errors(const char* traceback_name, Result failure, PyObject* const& subject, Body&& body,
                        const std::source_location where = std::source_location::current()) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    set_python_error_from_current_exception(subject);
  }
  if (traceback_name != nullptr) {
    add_traceback(traceback_name, where);
  }
  return failure;
}

// translate_errors for an entry point that works on no map.
template <class Result, class Body>
Result translate_errors(const char* traceback_name, Result failure, Body&& body,
                        const std::source_location where = std::source_location::current()) noexcept {
  PyObject* const no_subject = nullptr;
  return translate_errors(traceback_name, failure, no_subject, std::forward<Body>(body), where);
}

}  // namespace corvana::quillmap
