// Argument binding and conversions of the quillmap module. Every TypeError and OverflowError text
// about arguments is worded here, once. Each function throws PythonErrorSet with the error set.
// GIL: held by every caller.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "map/map.hpp"

namespace corvana::quillmap {

// What a Python-callable accepts: parameter names in position order; the first `required` of
// them must be given, the others are optional.
struct Signature {
  const char* function_name;  // as the messages show it: "__init__", "dict_get", ...
  std::span<const char* const> names;
  Py_ssize_t required;
  Py_ssize_t keyword_only = 0;  // the last this many names are bound by keyword only
  // Names a call may give by position.
  [[nodiscard]] Py_ssize_t positional() const noexcept {
    return static_cast<Py_ssize_t>(names.size()) - keyword_only;
  }
};

// Binds a vectorcall-style call (keyword values follow the positional ones in `args`). `bound`
// receives one borrowed pointer per parameter, null for an optional parameter not given.
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t positional_count,
                    PyObject* keyword_names, PyObject** bound);
// The same for a call with an argument tuple and a keyword dict (may be null), as tp_init gets.
void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** bound);

// An int converted to an unsigned 64-bit value. A value that is not an int is converted with its
// type's __int__ first. OverflowError "can't convert negative value to size_t" or "value too
// large to convert to size_t"; TypeError "an integer is required".
std::uint64_t to_size_t(PyObject* value);
// The same for 0..255: OverflowError "can't convert negative value to unsigned char" or "value
// too large to convert to unsigned char".
std::uint8_t to_unsigned_char(PyObject* value);

// An int (or what the value's __int__ returns) as a native int; OverflowError "value too large to
// convert to int" when it does not fit.
int to_c_int(PyObject* value);

// A duration in seconds (an int or a float, at least 0) as nanoseconds, at least 1 (so that 0 asks
// for the shortest wait, never none). TypeError naming `argument` for another type, ValueError for a
// negative or not finite number.
std::uint64_t to_nanoseconds(PyObject* seconds, const char* argument);

// TypeError "Argument '<argument>' has incorrect type (expected <expected>, got <type>)" unless
// `value` is None or its type is exactly `type` (when `none_allowed`).
void check_argument_type(PyObject* value, PyTypeObject* type, const char* argument, bool none_allowed);
// That TypeError, for an argument whose type the caller found wrong.
[[noreturn]] void raise_incorrect_type(const char* argument, PyTypeObject* expected, PyObject* value);

// The bytes of a map name as a path: ValueError "embedded null byte in name" when they hold a NUL,
// which would make the path name another file.
std::string path_from_name(PyObject* name_bytes);

// TypeError "expected bytes, NoneType found": None where bytes are needed (a map's name, or what a
// key or value serialized to).
[[noreturn]] void raise_none_for_bytes();

// TypeError "Expected <expected>, got <type of value>".
[[noreturn]] void raise_unexpected_type(const char* expected, PyObject* value);

}  // namespace corvana::quillmap
