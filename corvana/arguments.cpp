#include "corvana/arguments.hpp"

#include <algorithm>
#include <limits>

namespace corvana::quillmap {
namespace {

using python::OwnedRef;
using python::PythonErrorSet;

[[noreturn]] void raise_wrong_count(const Signature& signature, Py_ssize_t given) {
  const Py_ssize_t count = signature.positional();
  const char* bound_word = "exactly";
  Py_ssize_t expected = count;
  if (signature.required != count) {
    if (given < signature.required) {
      bound_word = "at least";
      expected = signature.required;
    } else {
      bound_word = "at most";
    }
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               signature.function_name, bound_word, expected, expected == 1 ? "" : "s", given);
  throw PythonErrorSet{};
}

// Binds one keyword argument; `bound` already holds the positional ones.
void bind_keyword(const Signature& signature, Py_ssize_t positional_count, PyObject* keyword, PyObject* value,
                  PyObject** bound) {
  if (!PyUnicode_Check(keyword)) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.function_name);
    throw PythonErrorSet{};
  }
  for (std::size_t i = 0; i < signature.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.names[i]) != 0) {
      continue;
    }
    if (static_cast<Py_ssize_t>(i) < positional_count || bound[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   signature.function_name, keyword);
      throw PythonErrorSet{};
    }
    bound[i] = value;
    return;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function_name,
               keyword);
  throw PythonErrorSet{};
}

void bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t positional_count,
                     PyObject** bound) {
  if (positional_count > signature.positional()) {
    raise_wrong_count(signature, positional_count);
  }
  for (std::size_t i = 0; i < signature.names.size(); ++i) {
    bound[i] = static_cast<Py_ssize_t>(i) < positional_count ? args[i] : nullptr;
  }
}

void check_required(const Signature& signature, PyObject** bound) {
  for (Py_ssize_t i = 0; i < signature.required; ++i) {
    if (bound[i] == nullptr) {
      raise_wrong_count(signature, i);
    }
  }
}

// The argument as an int: itself, or what its type's __int__ returns.
OwnedRef as_int(PyObject* value) {
  if (PyLong_Check(value)) {
    return OwnedRef::incref(value);
  }
  const PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
  if (number == nullptr || number->nb_int == nullptr) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    throw PythonErrorSet{};
  }
  OwnedRef converted = OwnedRef::checked(number->nb_int(value));
  if (!PyLong_Check(converted.get())) {
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                 Py_TYPE(converted.get())->tp_name);
    throw PythonErrorSet{};
  }
  return converted;
}

// The int's value, or a sign when it does not fit in a signed 64-bit value: -1 below, +1 above.
long long int_value(PyObject* integer, int& overflow) {
  const long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
  if (value == -1 && overflow == 0 && PyErr_Occurred() != nullptr) {
    throw PythonErrorSet{};
  }
  return value;
}

[[noreturn]] void raise_overflow(const char* text) {
  PyErr_SetString(PyExc_OverflowError, text);
  throw PythonErrorSet{};
}

}  // namespace

void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t positional_count,
                    PyObject* keyword_names, PyObject** bound) {
  bind_positional(signature, args, positional_count, bound);
  if (keyword_names != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      bind_keyword(signature, positional_count, PyTuple_GET_ITEM(keyword_names, k),
                   args[positional_count + k], bound);
    }
  }
  check_required(signature, bound);
}

void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** bound) {
  const Py_ssize_t positional_count = PyTuple_GET_SIZE(args);
  bind_positional(signature, &PyTuple_GET_ITEM(args, 0), positional_count, bound);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value) != 0) {
      bind_keyword(signature, positional_count, keyword, value, bound);
    }
  }
  check_required(signature, bound);
}

std::uint64_t to_size_t(PyObject* value) {
  const OwnedRef integer = as_int(value);
  int overflow = 0;
  const long long small = int_value(integer.get(), overflow);
  if (overflow < 0 || (overflow == 0 && small < 0)) {
    raise_overflow("can't convert negative value to size_t");
  }
  if (overflow == 0) {
    return static_cast<std::uint64_t>(small);
  }
  const unsigned long long large = PyLong_AsUnsignedLongLong(integer.get());
  if (large == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    raise_overflow("value too large to convert to size_t");
  }
  return large;
}

std::uint8_t to_unsigned_char(PyObject* value) {
  const OwnedRef integer = as_int(value);
  int overflow = 0;
  const long long small = int_value(integer.get(), overflow);
  if (overflow < 0 || (overflow == 0 && small < 0)) {
    raise_overflow("can't convert negative value to unsigned char");
  }
  if (overflow > 0 || small > std::numeric_limits<std::uint8_t>::max()) {
    raise_overflow("value too large to convert to unsigned char");
  }
  return static_cast<std::uint8_t>(small);
}

int to_c_int(PyObject* value) {
  const OwnedRef integer = as_int(value);
  int overflow = 0;
  const long long converted = int_value(integer.get(), overflow);
  if (overflow != 0 || converted < std::numeric_limits<int>::min() ||
      converted > std::numeric_limits<int>::max()) {
    raise_overflow("value too large to convert to int");
  }
  return static_cast<int>(converted);
}

void check_argument_type(PyObject* value, PyTypeObject* type, const char* argument, bool none_allowed) {
  if (Py_IS_TYPE(value, type) || (none_allowed && value == Py_None)) {
    return;
  }
  raise_incorrect_type(argument, type, value);
}

[[noreturn]] void raise_incorrect_type(const char* argument, PyTypeObject* expected, PyObject* value) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument,
               expected->tp_name, Py_TYPE(value)->tp_name);
  throw PythonErrorSet{};
}

std::string path_from_name(PyObject* name_bytes) {
  std::string path(PyBytes_AS_STRING(name_bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(name_bytes)));
  if (path.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte in name");
    throw PythonErrorSet{};
  }
  return path;
}

[[noreturn]] void raise_none_for_bytes() {
  PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
  throw PythonErrorSet{};
}

[[noreturn]] void raise_unexpected_type(const char* expected, PyObject* value) {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(value)->tp_name);
  throw PythonErrorSet{};
}

std::uint64_t to_nanoseconds(PyObject* seconds, const char* argument) {
  if (PyBool_Check(seconds) || (!PyLong_Check(seconds) && !PyFloat_Check(seconds))) {
    PyErr_Format(PyExc_TypeError, "%s must be a number of seconds or None, not %.200s", argument,
                 Py_TYPE(seconds)->tp_name);
    throw PythonErrorSet{};
  }
  const double value = PyFloat_AsDouble(seconds);
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    throw PythonErrorSet{};
  }
  if (!(value >= 0.0) || value > 1e9) {  // also NaN
    PyErr_Format(PyExc_ValueError, "%s must be from 0 to 1e9 seconds, or None", argument);
    throw PythonErrorSet{};
  }
  return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(value * 1e9));
}

}  // namespace corvana::quillmap
