// The CPython API as this package uses it on every version it supports (3.9 to 3.13): Python.h,
// and one name here for each call that is private to the interpreter (a leading underscore, a
// field of an interpreter struct) or exists on some of those versions only. Code elsewhere calls
// these names and never the private or version-gated calls themselves, so that each difference
// between versions is handled, and explained, once.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
// PyMemberDef's type codes and flags (T_OBJECT, READONLY): in this header up to 3.11; 3.12 moved
// them into Python.h under new names (Py_T_OBJECT_EX, Py_READONLY) and keeps these for older code.
#include <structmember.h>
#if PY_VERSION_HEX >= 0x030D0000
#include <frameobject.h>
#endif

#include <cstdint>

#if PY_VERSION_HEX < 0x030A0000
// 3.9 lacks the reference helpers that 3.10 added; these behave as those do.
inline PyObject* Py_NewRef(PyObject* object) {
  Py_INCREF(object);
  return object;
}
inline PyObject* Py_XNewRef(PyObject* object) {
  Py_XINCREF(object);
  return object;
}
// Adds `value` to the module under `name` without stealing the reference; -1 with an error set.
inline int PyModule_AddObjectRef(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError, "PyModule_AddObjectRef() was given no value and no error");
    }
    return -1;
  }
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) < 0) {
    Py_DECREF(value);
    return -1;
  }
  return 0;
}
#endif

namespace corvana::python_compat {

// Whether the interpreter is finalizing: public as Py_IsFinalizing from 3.13, private before.
// Reads a flag of the static runtime state: false when no interpreter was ever started.
[[nodiscard]] inline bool is_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// The short name of a type ("quillmap" for corvana.quillmap.quillmap), as repr shows it. Private
// (_PyType_Name) on every version: the public PyType_GetName (3.11 on) makes a new str instead.
[[nodiscard]] inline const char* type_name(PyTypeObject* type) noexcept {
  return _PyType_Name(type);
}

// Version tags, which tell that a dictionary (or a class and the dictionaries along its MRO) has
// not changed since a tag was read. Dictionaries carry theirs in the private field ma_version_tag
// up to 3.11; from 3.12 it is deprecated, and dictionary watchers (below) tell of changes instead.
// A class's tp_version_tag is valid while Py_TPFLAGS_VALID_VERSION_TAG is set; without dictionary
// tags it is of no use here, so it too is read up to 3.11 only. Both read 0 where not available.
inline constexpr bool has_dict_version_tags = PY_VERSION_HEX < 0x030C0000;
[[nodiscard]] inline std::uint64_t dict_version_tag(PyObject* dict) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#else
  static_cast<void>(dict);
  return 0;
#endif
}
[[nodiscard]] inline std::uint64_t type_version_tag(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#else
  static_cast<void>(type);
  return 0;
#endif
}

// Dictionary watchers (3.12 on): add_dict_watcher<on_change>() registers one whose callback calls
// on_change(dict) at every change of a watched dictionary, and returns its id; watch_dict makes it
// watch `dict`; clear_dict_watcher removes it. Before 3.12 there are none: add_dict_watcher returns
// -1 and nothing is set. Each returns -1 with a Python error set where the interpreter refuses.
template <void (*on_change)(PyObject* dict) noexcept>
[[nodiscard]] int add_dict_watcher() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyDict_AddWatcher([](PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept -> int {
    on_change(dict);
    return 0;
  });
#else
  return -1;
#endif
}
[[nodiscard]] inline int watch_dict(int watcher, PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyDict_Watch(watcher, dict);
#else
  static_cast<void>(watcher);
  static_cast<void>(dict);
  return -1;
#endif
}
inline void clear_dict_watcher(int watcher) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  if (watcher >= 0 && PyDict_ClearWatcher(watcher) < 0) {
    PyErr_Clear();  // an id that is not ours to clear: nothing of ours is left watching
  }
#else
  static_cast<void>(watcher);
#endif
}

// Whether a str of the legacy Py_UNICODE API (3.11 and earlier) has its canonical form yet; every
// str is ready from 3.12 on, where the legacy API and PyUnicode_IS_READY are gone.
[[nodiscard]] inline bool unicode_is_ready(PyObject* text) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  return PyUnicode_IS_READY(text) != 0;
#else
  static_cast<void>(text);
  return true;
#endif
}

// Adds an entry naming `function_name` at `file_name`:`line` to the traceback of the exception
// being raised. Up to 3.12 the private _PyTraceback_Add does it; 3.13 took it out of the headers,
// so there the same entry is made from public calls: an empty code object whose first line is
// `line`, a frame running it, and that frame added to the traceback. A failure keeps the exception
// as it was (only the entry is lost).
inline void add_traceback_entry(const char* function_name, const char* file_name, int line) noexcept {
#if PY_VERSION_HEX < 0x030D0000
  _PyTraceback_Add(function_name, file_name, line);
#else
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) {
    return;  // no exception to add an entry to
  }
  PyObject* globals = PyDict_New();
  PyCodeObject* code = globals != nullptr ? PyCode_NewEmpty(file_name, function_name, line) : nullptr;
  PyFrameObject* frame = code != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
  Py_XDECREF(code);
  Py_XDECREF(globals);
  PyErr_Clear();
  PyErr_SetRaisedException(raised);
  if (frame != nullptr) {
    static_cast<void>(PyTraceBack_Here(frame));
    Py_DECREF(frame);
  }
#endif
}

// Gives the slot wrapper `wrapper` (a type's __init__ in its dictionary) the docstring `doc`. The
// wrapper reads its docstring from its wrapperbase, which every type shares; `own_copy` (static,
// one per type) becomes this wrapper's own copy with the doc. The wrapper's struct is an internal
// one of every version (cpython/descrobject.h). Anything but a slot wrapper is left as it is.
inline void set_slot_wrapper_doc(PyObject* wrapper, wrapperbase& own_copy, const char* doc) noexcept {
  if (Py_IS_TYPE(wrapper, &PyWrapperDescr_Type)) {
    auto* descriptor = reinterpret_cast<PyWrapperDescrObject*>(wrapper);
    own_copy = *descriptor->d_base;
    own_copy.doc = doc;
    descriptor->d_base = &own_copy;
  }
}

}  // namespace corvana::python_compat
