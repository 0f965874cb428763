// The serialized form of a key that equal keys share in every process (canonical_keys.cpp).
#pragma once

#include "map/map.hpp"

namespace corvana::quillmap {

// dumps(object) of the serializer, looked up afresh (operations.cpp): exactly bytes or None, else
// TypeError "Expected bytes, got <type>".
python::OwnedRef serialize(PyObject* serializer, PyObject* object);
// serialize_key for a key of any type: the part of it that is not inline.
python::OwnedRef serialize_any_key(PyObject* serializer, PyObject* key);

// dumps(key) of the serializer, exactly bytes or None as serialize() gives it, with the key first
// brought into the form that every equal key shares, whatever the process's hash seed and however
// the key's parts were made. Exact str, bytes, int, float, bool and None keys, and tuples of them
// whose str and bytes parts are all unequal or the same object, are serialized as they are; the
// most common of them are told apart here, before any call.      GIL: held.
// Throws: PythonErrorSet with the serializer's error (or RecursionError for a key nested too deep).
inline python::OwnedRef serialize_key(PyObject* serializer, PyObject* key) {
  if (PyLong_CheckExact(key) || PyUnicode_CheckExact(key) || PyBytes_CheckExact(key) ||
      PyFloat_CheckExact(key)) {
    return serialize(serializer, key);
  }
  return serialize_any_key(serializer, key);
}

}  // namespace corvana::quillmap
