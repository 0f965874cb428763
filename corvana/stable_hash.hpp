// Hashes of keys that are the same in every process, whatever PYTHONHASHSEED says.
//
// Python salts the built-in hash of str and bytes per process, so a map shared between processes
// cannot use it for them: a key inserted in one process would not be found in another. For keys
// built from str, bytes, int, float, bool, None and tuples of these, stable_hash() gives a value
// that depends only on the key's content:
//   - str and bytes: SipHash-1-3 under a fixed key, mixed with a type tag (and for str the width
//     of its canonical representation), over the object's content;
//   - int, float and bool: the built-in hash, which is not salted (a NaN hashes to 0, since the
//     built-in hash of a NaN depends on the object's identity);
//   - None: a fixed value (its built-in hash depends on its address before Python 3.12);
//   - tuple: the element hashes combined in order, as the built-in tuple hash combines them.
// Any other key, also inside a tuple, is reported as unsupported; the caller then hashes it with
// its hash function as given.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace corvana::stable_hash {

enum class Outcome : std::uint8_t {
  hashed,       // `hash` holds the key's stable hash
  unsupported,  // the key is not made of the types above; nothing is set
  failed,       // a Python exception is set
};

// GIL: required.
Outcome hash_object(PyObject* key, std::int64_t& hash);

// SipHash-1-3 of `length` bytes under the 128-bit key (k0, k1).
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t length) noexcept;

}  // namespace corvana::stable_hash
