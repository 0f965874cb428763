// Canonical keys. The map finds a key by its serialized bytes (compared, and with the default hash
// also hashed), so equal keys must serialize to equal bytes in every process. Two things break that:
//  - a frozenset is serialized in its iteration order, which follows its elements' hashes, and str
//    and bytes hashes are salted per process: frozenset({"x", "y"}) comes out in another order in
//    a process with another hash seed;
//  - pickle writes an object that it already wrote in the same dumps as a reference to the first,
//    so ("ab", "ab") made from one constant and the same tuple made from two strings built at run
//    time give different bytes.
// So before a key is serialized, it is rebuilt where either could matter:
//  - pickle: an exact frozenset becomes an object that pickles as frozenset(<list>), the list sorted
//    in code point order when all elements are str, else by the elements' own canonical bytes; it
//    loads as an equal frozenset. Within the key, equal
//    exact str and bytes objects, equal tuples (parts of the same types and values) and equal
//    frozensets all become the first one met, so pickle links equal parts alike everywhere.
//  - msgspec: an exact frozenset becomes the list of its elements, sorted the same way: msgspec
//    encodes both as the same array (and decodes either as a list, as before).
// Only exact tuples and frozensets are looked into: a frozenset inside another object (a dataclass
// field, a tuple subclass) keeps its process-dependent order, and equal objects of other types are
// linked by pickle only when they are the same object. orjson, msgpack and json refuse frozensets
// and link nothing, and any other serializer is the caller's: their keys are serialized as they are.
#include "corvana/canonical_keys.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "corvana/quillmap_internal.hpp"

namespace corvana::quillmap {

using python::OwnedRef;
using python::PythonErrorSet;

namespace {

// Keys whose serialization never depends on the process or on object identity.
bool is_atom(PyObject* object) noexcept {
  return PyUnicode_CheckExact(object) || PyLong_CheckExact(object) || PyBytes_CheckExact(object) ||
         PyFloat_CheckExact(object) || PyBool_Check(object) || object == Py_None;
}

// The objects that pickle links to their first occurrence: exact str and bytes.
bool is_text(PyObject* object) noexcept { return PyUnicode_CheckExact(object) || PyBytes_CheckExact(object); }

// Whether two distinct text objects hold the same value (and so should be one object).
bool equal_texts(PyObject* left, PyObject* right) {
  if (Py_TYPE(left) != Py_TYPE(right)) {
    return false;
  }
  if (PyBytes_CheckExact(left)) {
    return PyBytes_GET_SIZE(left) == PyBytes_GET_SIZE(right) &&
           std::memcmp(PyBytes_AS_STRING(left), PyBytes_AS_STRING(right), PyBytes_GET_SIZE(left)) == 0;
  }
  if (!python_compat::unicode_is_ready(left) || !python_compat::unicode_is_ready(right)) {
    return PyUnicode_Compare(left, right) == 0;  // a str of the legacy API: no length to compare yet
  }
  return PyUnicode_GET_LENGTH(left) == PyUnicode_GET_LENGTH(right) && PyUnicode_Compare(left, right) == 0;
}

// Whether a tuple key serializes as it is to its canonical bytes: it holds only atoms and tuples of
// them, no two of its str or bytes parts are equal without being one object, and no two of its
// inner tuples could be equal without being one object. Past a few parts of either kind it gives
// up, and the general path decides.
class PlainTuple {
 public:
  PlainTuple() noexcept {}  // leaves the arrays as they are: only their first `count` entries are read

  bool check(PyObject* tuple, int depth) {
    const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
    for (Py_ssize_t index = 0; index < size; ++index) {
      PyObject* item = PyTuple_GET_ITEM(tuple, index);
      if (is_text(item)) {
        if (!remember(item, texts_, text_count_, equal_texts)) {
          return false;
        }
      } else if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) != 0) {
        const auto same_size = [](PyObject* left, PyObject* right) {
          return PyTuple_GET_SIZE(left) == PyTuple_GET_SIZE(right);
        };
        if (depth == max_depth || !remember(item, tuples_, tuple_count_, same_size) ||
            !check(item, depth + 1)) {
          return false;
        }
      } else if (!is_atom(item) && !PyTuple_CheckExact(item)) {
        return false;
      }
    }
    return true;
  }

 private:
  static constexpr std::size_t most = 8;
  static constexpr int max_depth = 4;

  // Adds `item` to `seen` unless it is there; false when an object that may equal it is there, or
  // there is no more room.
  template <class MayEqual>
  static bool remember(PyObject* item, PyObject* (&seen)[most], std::size_t& count, MayEqual may_equal) {
    for (std::size_t index = 0; index < count; ++index) {
      if (seen[index] == item) {
        return true;
      }
      if (may_equal(seen[index], item)) {
        return false;
      }
    }
    if (count == most) {
      return false;
    }
    seen[count++] = item;
    return true;
  }

  PyObject* texts_[most];
  std::size_t text_count_ = 0;
  PyObject* tuples_[most];
  std::size_t tuple_count_ = 0;
};

enum class Form { as_is, pickle, msgspec };

// What canonical form the serializer needs, by the module it is.
Form form_of(PyObject* serializer) noexcept {
  if (!PyModule_CheckExact(serializer)) {
    return Form::as_is;
  }
  const char* name = PyModule_GetName(serializer);
  if (name == nullptr) {
    PyErr_Clear();
    return Form::as_is;
  }
  if (std::strcmp(name, "pickle") == 0) {
    return Form::pickle;
  }
  return std::strcmp(name, msgspec_adapter) == 0 ? Form::msgspec : Form::as_is;
}

// A frozenset's elements in canonical order; pickles as frozenset(elements).
struct SortedFrozenset {
  PyObject_HEAD
  PyObject* elements;  // a list (owned)
};

void sorted_frozenset_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<SortedFrozenset*>(self)->elements);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyObject* sorted_frozenset_reduce(PyObject* self, PyObject* /*unused*/) {
  return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(&PyFrozenSet_Type),
                       reinterpret_cast<SortedFrozenset*>(self)->elements);
}

PyMethodDef sorted_frozenset_methods[] = {
    {"__reduce__", sorted_frozenset_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot sorted_frozenset_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(sorted_frozenset_dealloc)},
    {Py_tp_methods, sorted_frozenset_methods},
    {0, nullptr},
};
PyType_Spec sorted_frozenset_spec = {"corvana.quillmap.SortedFrozenset", sizeof(SortedFrozenset), 0,
                                     Py_TPFLAGS_DEFAULT, sorted_frozenset_slots};
OwnedRef new_sorted_frozenset(OwnedRef elements) {
  if (!state.sorted_frozenset_type) {  // made at first use, kept by the module state
    state.sorted_frozenset_type = OwnedRef::checked(PyType_FromSpec(&sorted_frozenset_spec));
  }
  auto* type = reinterpret_cast<PyTypeObject*>(state.sorted_frozenset_type.get());
  OwnedRef object = OwnedRef::checked(PyType_GenericAlloc(type, 0));
  reinterpret_cast<SortedFrozenset*>(object.get())->elements = elements.release();
  return object;
}

// Leaves the interpreter's recursion count on every exit path.
class RecursionGuard {
 public:
  RecursionGuard() {
    if (Py_EnterRecursiveCall(" while bringing a key into canonical form") != 0) {
      throw PythonErrorSet{};
    }
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Rebuilds one key; lives for one serialization.
class Canonicalizer {
 public:
  Canonicalizer(Form form, PyObject* serializer) : form_(form), serializer_(serializer) {}

  OwnedRef canonical(PyObject* object) {
    if (is_text(object)) {
      return form_ == Form::pickle ? first_text(object) : OwnedRef::incref(object);
    }
    if (PyTuple_CheckExact(object) && PyTuple_GET_SIZE(object) != 0) {
      const RecursionGuard guard;
      return canonical_tuple(object);
    }
    if (PyFrozenSet_CheckExact(object)) {
      const RecursionGuard guard;
      return canonical_frozenset(object);
    }
    return OwnedRef::incref(object);
  }

 private:
  // The first str (or bytes) object of this value met in the key.
  OwnedRef first_text(PyObject* text) {
    OwnedRef& seen = PyBytes_CheckExact(text) ? seen_bytes_ : seen_str_;
    if (!seen) {
      seen = OwnedRef::checked(PyDict_New());
    }
    PyObject* first = PyDict_SetDefault(seen.get(), text, text);  // borrowed
    if (first == nullptr) {
      throw PythonErrorSet{};
    }
    return OwnedRef::incref(first);
  }

  OwnedRef canonical_tuple(PyObject* tuple) {
    const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
    std::vector<OwnedRef> items;
    items.reserve(static_cast<std::size_t>(size));
    bool changed = false;
    for (Py_ssize_t index = 0; index < size; ++index) {
      items.push_back(canonical(PyTuple_GET_ITEM(tuple, index)));
      changed = changed || items.back().get() != PyTuple_GET_ITEM(tuple, index);
    }
    OwnedRef result = OwnedRef::incref(tuple);
    if (changed) {
      result = OwnedRef::checked(PyTuple_New(size));
      for (Py_ssize_t index = 0; index < size; ++index) {
        PyTuple_SET_ITEM(result.get(), index, items[static_cast<std::size_t>(index)].release());
      }
    }
    if (form_ != Form::pickle) {
      return result;
    }
    // Parts are canonical already, so equal tuples have parts that are one object each, or
    // atoms of one type and value.
    std::string signature = "t";
    for (Py_ssize_t index = 0; index < size; ++index) {
      append_identity(signature, PyTuple_GET_ITEM(result.get(), index));
    }
    return first_of_signature(std::move(signature), std::move(result));
  }

  // What makes a canonical part of a tuple the same as another, added to `signature`.
  static void append_identity(std::string& signature, PyObject* part) {
    const auto append = [&signature](const void* data, std::size_t length) {
      signature.append(static_cast<const char*>(data), length);
    };
    const PyTypeObject* type = Py_TYPE(part);
    append(&type, sizeof type);
    if (PyFloat_CheckExact(part)) {
      const double value = PyFloat_AS_DOUBLE(part);
      append(&value, sizeof value);
    } else if (PyLong_CheckExact(part)) {
      // Hexadecimal: no limit on the digits of a power-of-two base.
      const OwnedRef text = OwnedRef::checked(PyNumber_ToBase(part, 16));
      Py_ssize_t length = 0;
      const char* data = PyUnicode_AsUTF8AndSize(text.get(), &length);
      if (data == nullptr) {
        throw PythonErrorSet{};
      }
      append(&length, sizeof length);
      append(data, static_cast<std::size_t>(length));
    } else {
      append(&part, sizeof part);  // any other part: the object itself
    }
  }

  OwnedRef first_of_signature(std::string signature, OwnedRef object) {
    const auto [place, inserted] = seen_containers_.try_emplace(std::move(signature), object);
    return inserted ? std::move(object) : place->second;
  }

  // The elements in canonical order: code point order when all are str (the same in every process,
  // and cheaper than serializing each), else the order of their serialized bytes.
  OwnedRef canonical_frozenset(PyObject* set) {
    std::vector<OwnedRef> members;
    members.reserve(static_cast<std::size_t>(PySet_GET_SIZE(set)));
    const OwnedRef iterator = OwnedRef::checked(PyObject_GetIter(set));
    while (OwnedRef element = OwnedRef::steal(PyIter_Next(iterator.get()))) {
      members.push_back(canonical(element.get()));
    }
    if (PyErr_Occurred() != nullptr) {
      throw PythonErrorSet{};
    }
    const bool only_str = std::all_of(members.begin(), members.end(), [](const OwnedRef& member) {
      return PyUnicode_CheckExact(member.get());
    });
    std::vector<std::string> sort_keys;  // stays empty when only_str
    if (!only_str) {
      for (const OwnedRef& member : members) {
        const OwnedRef bytes = serialize(serializer_, member.get());
        std::string& sort_key = sort_keys.emplace_back();
        if (PyBytes_CheckExact(bytes.get())) {  // else None: the key's own serialization refuses it
          sort_key.assign(PyBytes_AS_STRING(bytes.get()),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
        }
      }
    }
    std::vector<std::size_t> order(members.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t left, std::size_t right) {
      return only_str ? PyUnicode_Compare(members[left].get(), members[right].get()) < 0
                      : sort_keys[left] < sort_keys[right];
    });

    OwnedRef list = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(members.size())));
    std::string signature = only_str ? "fs" : "fb";  // the str members are canonical: one object a value
    for (std::size_t index = 0; index < order.size(); ++index) {
      const std::size_t member = order[index];
      if (only_str) {
        PyObject* text = members[member].get();
        signature.append(reinterpret_cast<const char*>(&text), sizeof text);
      } else {
        const std::uint64_t length = sort_keys[member].size();
        signature.append(reinterpret_cast<const char*>(&length), sizeof length).append(sort_keys[member]);
      }
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), members[member].release());
    }
    if (form_ != Form::pickle) {
      return list;
    }
    return first_of_signature(std::move(signature), new_sorted_frozenset(std::move(list)));
  }

  Form form_;
  PyObject* serializer_;
  OwnedRef seen_str_;    // dict: each str value met -> its first object
  OwnedRef seen_bytes_;  // the same for bytes (kept apart: 'a' and b'a' hash alike)
  std::map<std::string, OwnedRef> seen_containers_;  // a tuple's or frozenset's signature -> its first object
};

// The key rebuilt where the serializer needs it, then serialized. Out of line, so that the check of
// plain keys in serialize_any_key stays small.
[[gnu::noinline]] OwnedRef serialize_rebuilt_key(PyObject* serializer, PyObject* key) {
  const Form form = form_of(serializer);
  if (form == Form::as_is) {
    return serialize(serializer, key);
  }
  const OwnedRef canonical = Canonicalizer(form, serializer).canonical(key);
  return serialize(serializer, canonical.get());
}

}  // namespace

OwnedRef serialize_any_key(PyObject* serializer, PyObject* key) {
  if (is_atom(key) || (PyTuple_CheckExact(key) && PlainTuple().check(key, 0))) {
    return serialize(serializer, key);
  }
  return serialize_rebuilt_key(serializer, key);
}

}  // namespace corvana::quillmap
