// The native-module convention of the corvana package, shared by corvana.quillmap and its two
// sibling modules corvana.pellrook and corvana.tarnwick, and the contract between them.
//
// Native API table. A module that offers C-level entries to other extension modules has a module
// attribute `__native_api__`: a dict from entry name to a capsule. The capsule holds the entry's
// address (a function, or a variable whose address is exported) and is named by the entry's
// signature text below. An importer accepts an entry only when the capsule's name equals the
// signature text it was compiled against, so a changed signature fails at import, not at call.
//
// Native method tables. A type whose methods other extension modules may call directly publishes
// a capsule holding the address of its method table under the key `__native_methods__` of the
// type's own dictionary; its instances also carry that address in a field.
//
// Every text here is written once and used on both sides.
#pragma once

#include <cstddef>
#include <cstdint>

#include "map/map.hpp"

namespace corvana::native_api {

inline constexpr const char* api_attribute = "__native_api__";
inline constexpr const char* methods_key = "__native_methods__";

// ---------------------------------------------------------------------------------------------
// corvana.pellrook: the base class `pellrook` and `hash_key`.

// Instance layout of `pellrook` (40 bytes). Subclasses place their own fields after it.
struct PellrookObject {
  PyObject ob_base;               // 0: reference count and type
  PyObject* name;                 // 16: the name slot; always holds a reference (None until set)
  PyObject* hash_function;        // 24: what __init__ was given; null before __init__
  std::int64_t uses_default_hash;  // 32: 1 when hash_function is the built-in hash captured at import
};
static_assert(sizeof(PellrookObject) == 40);
static_assert(offsetof(PellrookObject, name) == 16 && offsetof(PellrookObject, hash_function) == 24);
static_assert(sizeof(Py_ssize_t) == sizeof(std::int64_t), "hashes are signed 64-bit values");

inline constexpr Py_ssize_t pellrook_size = 40;

// Hashes `key` for the pellrook `self`. A failure is reported only by a set Python exception;
// the value returned then means nothing. GIL: required.
using HashKeyFunction = Py_ssize_t (*)(PellrookObject* self, PyObject* key);
inline constexpr const char* hash_key_name = "hash_key";
inline constexpr const char* hash_key_signature = "Py_ssize_t (struct pellrook *, PyObject *)";

// ---------------------------------------------------------------------------------------------
// corvana.tarnwick: variables, a function and two types whose presence quillmap checks.

inline constexpr const char* int_variable_signature = "int";
inline constexpr const char* object_variable_signature = "PyObject *";
inline constexpr const char* mystring_from_pointer_signature = "PyObject *(void *)";
using MystringFromPointerFunction = PyObject* (*)(void* text);

inline constexpr const char* platform_name = "platform";
inline constexpr const char* unsigned_type_name = "unsigned_type";
inline constexpr const char* mmap_flags_name = "mmap_flags";
inline constexpr const char* mmap_privilege_name = "mmap_privilege";
inline constexpr const char* mystring_from_pointer_name = "mystring_from_pointer";

inline constexpr Py_ssize_t atomic_object_size = 56;
inline constexpr Py_ssize_t array2d_size = 88;
inline constexpr const char* atomic_object_methods_signature = "struct atomic_object_methods";

// ---------------------------------------------------------------------------------------------
// corvana.quillmap: the entries it exports (see corvana/quillmap.hpp for their types).

inline constexpr const char* dict_insert_signature = "int (struct quillmap *, PyObject *, PyObject *, int)";
inline constexpr const char* dict_get_signature = "PyObject *(struct quillmap *, PyObject *, int)";
inline constexpr const char* dict_remove_signature = "int (struct quillmap *, PyObject *, int)";
inline constexpr const char* quillmap_methods_signature = "struct quillmap_methods";

// ---------------------------------------------------------------------------------------------
// Helpers for the side that publishes. They report failure as -1 with the Python error set.

// Adds `name` -> capsule(address, signature) to the module's native API table, creating the table
// when the module has none.
inline int publish_entry(PyObject* module, const char* name, void* address, const char* signature) {
  using python::OwnedRef;
  OwnedRef table = OwnedRef::steal(PyObject_GetAttrString(module, api_attribute));
  if (!table) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      return -1;
    }
    PyErr_Clear();
    table = OwnedRef::steal(PyDict_New());
    if (!table || PyObject_SetAttrString(module, api_attribute, table.get()) < 0) {
      return -1;
    }
  }
  const OwnedRef capsule = OwnedRef::steal(PyCapsule_New(address, signature, nullptr));
  return capsule ? PyDict_SetItemString(table.get(), name, capsule.get()) : -1;
}

// Publishes a ready type's native method table in its own dictionary.
inline int publish_methods(PyTypeObject* type, const void* methods, const char* signature) {
  const python::OwnedRef capsule =
      python::OwnedRef::steal(PyCapsule_New(const_cast<void*>(methods), signature, nullptr));
  if (!capsule || PyDict_SetItemString(type->tp_dict, methods_key, capsule.get()) < 0) {
    return -1;
  }
  PyType_Modified(type);
  return 0;
}

}  // namespace corvana::native_api
