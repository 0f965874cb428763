// Owned Python references and the exception that carries a Python error through C++ frames: the
// one owned-reference type of the package, used by the pointer-keyed map (which holds Python
// objects) and by the extension modules. Private to the map layer; other layers include map/map.hpp.
//
// Rules of use: a function that returns a new reference returns an OwnedRef; parameters are
// borrowed plain PyObject* pointers named for what they are. Py_DECREF appears only here, in
// tp_dealloc / tp_clear functions and in the module state's clear function.
#pragma once

#include <utility>

#include "heap/heap.hpp"

namespace corvana::python {

// Thrown inside C++ code after a C-API call failed: the Python error is already set. The one
// translation function of the quillmap module leaves it as it is.
struct PythonErrorSet {};

// Exactly one owned reference, or none.
class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  // Takes over a new reference (may be null).
  [[nodiscard]] static OwnedRef steal(PyObject* new_reference) noexcept { return OwnedRef(new_reference); }
  // Adds a reference to a borrowed object (may be null).
  [[nodiscard]] static OwnedRef incref(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return OwnedRef(borrowed);
  }
  // Takes over the new reference that a C-API call returned; throws PythonErrorSet for null.
  [[nodiscard]] static OwnedRef checked(PyObject* new_reference) {
    if (new_reference == nullptr) {
      throw PythonErrorSet{};
    }
    return OwnedRef(new_reference);
  }

  OwnedRef(const OwnedRef& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  [[nodiscard]] explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  // Drops the reference now. The field is cleared before the object is released, so code that
  // the release runs never sees a dangling pointer here.
  void reset() noexcept {
    PyObject* old = std::exchange(object_, nullptr);
    Py_XDECREF(old);
  }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Throws PythonErrorSet when a C-API call that reports failure by -1 failed.
inline void check_status(int status) {
  if (status < 0) {
    throw PythonErrorSet{};
  }
}

// Stores `value` (a new reference, may be null) into a field that owns its object, releasing the
// former object after the field has changed.
inline void replace_field(PyObject*& field, OwnedRef value) noexcept {
  PyObject* old = field;
  field = value.release();
  Py_XDECREF(old);
}

// The Python error indicator, taken out while other work runs (which may set its own error) and
// put back by restore(); dropped if never restored.
class SavedError {
 public:
  SavedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~SavedError() {
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  void restore() noexcept {
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(traceback_, nullptr));
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

}  // namespace corvana::python
