// The serialized form of a key that equal keys share in every process (canonical_keys.cpp).
#pragma once

#include <Python.h>

#include "corvana/python_ref.hpp"

namespace corvana::quillmap {

// dumps(key) of the serializer, exactly bytes or None as serialize() gives it, with the key first
// brought into the form that every equal key shares, whatever the process's hash seed and however
// the key's parts were made. Exact str, bytes, int, float, bool and None keys, and tuples of them
// whose str and bytes parts are all unequal or the same object, are serialized as they are.
python::OwnedRef serialize_key(PyObject* serializer, PyObject* key);

}  // namespace corvana::quillmap
