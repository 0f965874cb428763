// The one place where the quillmap module turns C++ exceptions into Python exceptions.
//
// Every entry point (Python methods and functions, native entries, type slots) runs its body
// inside translate_errors(). A body reports a failed C-API call by throwing PythonErrorSet (the
// Python error is already set); every other exception is translated by
// set_python_error_from_current_exception(). No other catch exists in corvana/.
#pragma once

#include <source_location>
#include <utility>

#include "corvana/python_ref.hpp"

namespace corvana::quillmap {

// Sets the Python exception for the exception being handled:
//   bad_alloc -> MemoryError; bad_cast, bad_typeid -> TypeError;
//   domain_error, invalid_argument -> ValueError; ios_base::failure -> OSError;
//   out_of_range -> IndexError; overflow_error -> OverflowError;
//   range_error, underflow_error -> ArithmeticError; any other std::exception -> RuntimeError;
//   anything else -> RuntimeError "Unknown exception". The message is the exception's what().
//   PythonErrorSet leaves the Python error as it is.
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
