// corvana_pointer_map_test: an extension module built only for the tests. It drives the exported
// ConcurrentHashMap_pointer from Python objects the way another extension module of the package
// would: it includes only the map layer's front door and links the map layer's static library.
//
//   PointerMap(name="", bucket_chunk_size_exponent=0, bucket_chunk_number=64)
//     .name .insert(key, value, hash=None) .get(key, hash=None) -> (found, value)
//     .probe(key, hash=None) -> (found, value, pending comparison error or None)
//     .remove(key, hash=None) -> bool   .destroy()   .close()   .expansion_helper()
//     .check() -> dict   .bucket_state(i) -> (length, link_count)   .is_bucket_moving(i)
//     .element_count .bucket_chunk_in_use .expansion_workers .bucket_chunk_size .bucket_chunk_number
//   expansion_helper(name, target_length)
// A hash of None means hash(key). Every method holds the interpreter lock; the map's waits give it
// away.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "map/map.hpp"

namespace {

using corvana::ConcurrentHashMap_pointer;

// The one translation of native exceptions into Python exceptions. A bare logic_error comes from the
// map's checker and becomes AssertionError.
void set_python_error_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc& error) {
    PyErr_SetString(PyExc_MemoryError, error.what());
  } catch (const std::invalid_argument& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::out_of_range& error) {
    PyErr_SetString(PyExc_IndexError, error.what());
  } catch (const std::logic_error& error) {
    PyErr_SetString(PyExc_AssertionError, error.what());
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
  }
}

template <class Body>
PyObject* translate_errors(Body body) {
  try {
    return body();
  } catch (...) {
    set_python_error_from_current_exception();
    return nullptr;
  }
}

struct PointerMapObject {
  PyObject_HEAD
  ConcurrentHashMap_pointer* map;
  PyObject* name;  // str
};

bool text_argument(PyObject* object, std::string& text) {
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;
    text.assign(data, static_cast<std::size_t>(size));
    return true;
  }
  if (PyBytes_Check(object)) {
    text.assign(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
    return true;
  }
  PyErr_Format(PyExc_TypeError, "a name is str or bytes, not %.200s", Py_TYPE(object)->tp_name);
  return false;
}

// The hash of `key`: `hash_object` when it is not None, else hash(key).
bool hash_argument(PyObject* key, PyObject* hash_object, std::int64_t& hash) {
  if (hash_object == nullptr || hash_object == Py_None) {
    const Py_hash_t value = PyObject_Hash(key);
    if (value == -1 && PyErr_Occurred()) return false;
    hash = value;
    return true;
  }
  const long long value = PyLong_AsLongLong(hash_object);
  if (value == -1 && PyErr_Occurred()) return false;
  hash = value;
  return true;
}

ConcurrentHashMap_pointer* open_map(PointerMapObject* self) {
  if (self->map == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the map object is closed");
  }
  return self->map;
}

// The map, refusing a closed object and a destroyed map (whose cells are gone).
ConcurrentHashMap_pointer* live_map(PointerMapObject* self) {
  ConcurrentHashMap_pointer* map = open_map(self);
  if (map != nullptr && map->is_destroyed()) {
    PyErr_SetString(PyExc_RuntimeError, "the map has been destroyed!");
    return nullptr;
  }
  return map;
}

PyObject* PointerMap_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"name", "bucket_chunk_size_exponent", "bucket_chunk_number", nullptr};
  PyObject* name_object = nullptr;
  unsigned char exponent = 0;
  Py_ssize_t chunk_number = 64;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|Obn", const_cast<char**>(keywords), &name_object, &exponent,
                                   &chunk_number)) {
    return nullptr;
  }
  if (chunk_number < 0) {
    PyErr_SetString(PyExc_ValueError, "bucket_chunk_number must not be negative");
    return nullptr;
  }
  std::string name;
  if (name_object != nullptr && name_object != Py_None && !text_argument(name_object, name)) {
    return nullptr;
  }
  auto* self = reinterpret_cast<PointerMapObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->map = nullptr;
  self->name = nullptr;
  PyObject* result = translate_errors([&]() -> PyObject* {
    self->map = new ConcurrentHashMap_pointer(name, exponent, static_cast<std::size_t>(chunk_number));
    self->name = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    return self->name == nullptr ? nullptr : reinterpret_cast<PyObject*>(self);
  });
  if (result == nullptr) {
    Py_DECREF(self);
  }
  return result;
}

void PointerMap_dealloc(PointerMapObject* self) {
  delete self->map;
  Py_XDECREF(self->name);
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyObject* PointerMap_insert(PointerMapObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"key", "value", "hash", nullptr};
  PyObject *key, *value, *hash_object = nullptr;
  std::int64_t hash = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O", const_cast<char**>(keywords), &key, &value, &hash_object) ||
      !hash_argument(key, hash_object, hash)) {
    return nullptr;
  }
  ConcurrentHashMap_pointer* map = live_map(self);
  if (map == nullptr) return nullptr;
  return translate_errors([&]() -> PyObject* {
    map->insert(key, value, hash);
    if (PyErr_Occurred()) return nullptr;  // a comparison's error, left pending by the map
    Py_RETURN_NONE;
  });
}

// get and probe: the map's get, and the pending comparison error either raised or handed back.
PyObject* lookup(PointerMapObject* self, PyObject* args, PyObject* kwargs, bool hand_back_error) {
  static const char* keywords[] = {"key", "hash", nullptr};
  PyObject *key, *hash_object = nullptr;
  std::int64_t hash = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O", const_cast<char**>(keywords), &key, &hash_object) ||
      !hash_argument(key, hash_object, hash)) {
    return nullptr;
  }
  ConcurrentHashMap_pointer* map = live_map(self);
  if (map == nullptr) return nullptr;
  return translate_errors([&]() -> PyObject* {
    PyObject* value = nullptr;  // borrowed from the map
    const bool found = map->get(key, hash, value);
    PyObject* found_value = found ? value : Py_None;
    if (!hand_back_error) {
      if (PyErr_Occurred()) return nullptr;
      return Py_BuildValue("(OO)", found ? Py_True : Py_False, found_value);
    }
    PyObject *type, *error, *traceback;
    PyErr_Fetch(&type, &error, &traceback);
    PyErr_NormalizeException(&type, &error, &traceback);
    PyObject* result = Py_BuildValue("(OOO)", found ? Py_True : Py_False, found_value, error != nullptr ? error : Py_None);
    Py_XDECREF(type);
    Py_XDECREF(error);
    Py_XDECREF(traceback);
    return result;
  });
}

PyObject* PointerMap_get(PointerMapObject* self, PyObject* args, PyObject* kwargs) {
  return lookup(self, args, kwargs, false);
}

PyObject* PointerMap_probe(PointerMapObject* self, PyObject* args, PyObject* kwargs) {
  return lookup(self, args, kwargs, true);
}

PyObject* PointerMap_remove(PointerMapObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"key", "hash", nullptr};
  PyObject *key, *hash_object = nullptr;
  std::int64_t hash = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O", const_cast<char**>(keywords), &key, &hash_object) ||
      !hash_argument(key, hash_object, hash)) {
    return nullptr;
  }
  ConcurrentHashMap_pointer* map = live_map(self);
  if (map == nullptr) return nullptr;
  return translate_errors([&]() -> PyObject* {
    const bool removed = map->remove(key, hash);
    if (PyErr_Occurred()) return nullptr;
    return PyBool_FromLong(removed ? 1 : 0);
  });
}

PyObject* PointerMap_destroy(PointerMapObject* self, PyObject*) {
  ConcurrentHashMap_pointer* map = open_map(self);
  if (map == nullptr) return nullptr;
  return translate_errors([&]() -> PyObject* {
    map->destroy();
    Py_RETURN_NONE;
  });
}

PyObject* PointerMap_close(PointerMapObject* self, PyObject*) {
  ConcurrentHashMap_pointer* map = self->map;
  self->map = nullptr;
  delete map;
  Py_RETURN_NONE;
}

PyObject* PointerMap_expansion_helper(PointerMapObject* self, PyObject*) {
  ConcurrentHashMap_pointer* map = live_map(self);
  if (map == nullptr) return nullptr;
  return translate_errors([&]() -> PyObject* {
    map->python_expansion_helper(0);
    Py_RETURN_NONE;
  });
}

PyObject* PointerMap_check(PointerMapObject* self, PyObject*) {
  ConcurrentHashMap_pointer* map = live_map(self);
  if (map == nullptr) return nullptr;
  return translate_errors([&]() -> PyObject* {
    const ConcurrentHashMap_pointer::CheckSummary summary = map->check();
    return Py_BuildValue("{sKsKsK}", "entries", static_cast<unsigned long long>(summary.entries), "buckets",
                         static_cast<unsigned long long>(summary.buckets), "longest",
                         static_cast<unsigned long long>(summary.longest));
  });
}

PyObject* PointerMap_bucket_state(PointerMapObject* self, PyObject* index_object) {
  const unsigned long long index = PyLong_AsUnsignedLongLong(index_object);
  if (PyErr_Occurred()) return nullptr;
  ConcurrentHashMap_pointer* map = live_map(self);
  if (map == nullptr) return nullptr;
  return translate_errors([&]() -> PyObject* {
    const ConcurrentHashMap_pointer::BucketState state = map->bucket_state(index);
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(state.length),
                         static_cast<unsigned long long>(state.link_count));
  });
}

PyObject* PointerMap_is_bucket_moving(PointerMapObject* self, PyObject* index_object) {
  const unsigned long long index = PyLong_AsUnsignedLongLong(index_object);
  if (PyErr_Occurred()) return nullptr;
  ConcurrentHashMap_pointer* map = live_map(self);
  if (map == nullptr) return nullptr;
  return translate_errors([&]() -> PyObject* { return PyBool_FromLong(map->is_bucket_moving(index) ? 1 : 0); });
}

template <std::uint64_t (*Read)(const ConcurrentHashMap_pointer&)>
PyObject* counter_getter(PointerMapObject* self, void*) {
  ConcurrentHashMap_pointer* map = live_map(self);
  if (map == nullptr) return nullptr;
  return PyLong_FromUnsignedLongLong(Read(*map));
}

std::uint64_t read_element_count(const ConcurrentHashMap_pointer& map) { return map.element_count(); }
std::uint64_t read_chunks_in_use(const ConcurrentHashMap_pointer& map) { return map.bucket_chunk_in_use(); }
std::uint64_t read_workers(const ConcurrentHashMap_pointer& map) { return map.expansion_workers(); }
std::uint64_t read_chunk_size(const ConcurrentHashMap_pointer& map) { return map.bucket_chunk_size(); }
std::uint64_t read_chunk_number(const ConcurrentHashMap_pointer& map) { return map.bucket_chunk_number(); }

PyObject* PointerMap_name(PointerMapObject* self, void*) {
  Py_INCREF(self->name);
  return self->name;
}

PyMethodDef pointer_map_methods[] = {
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(PointerMap_insert)),
     METH_VARARGS | METH_KEYWORDS, "insert(key, value, hash=None)"},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(PointerMap_get)),
     METH_VARARGS | METH_KEYWORDS, "get(key, hash=None) -> (found, value)"},
    {"probe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(PointerMap_probe)),
     METH_VARARGS | METH_KEYWORDS, "probe(key, hash=None) -> (found, value, pending error)"},
    {"remove", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(PointerMap_remove)),
     METH_VARARGS | METH_KEYWORDS, "remove(key, hash=None) -> bool"},
    {"destroy", reinterpret_cast<PyCFunction>(PointerMap_destroy), METH_NOARGS, "releases the shared map"},
    {"close", reinterpret_cast<PyCFunction>(PointerMap_close), METH_NOARGS, "runs the native destructor"},
    {"expansion_helper", reinterpret_cast<PyCFunction>(PointerMap_expansion_helper), METH_NOARGS,
     "joins an expansion (python_expansion_helper)"},
    {"check", reinterpret_cast<PyCFunction>(PointerMap_check), METH_NOARGS, "verifies the invariants"},
    {"bucket_state", reinterpret_cast<PyCFunction>(PointerMap_bucket_state), METH_O, "(length, link_count)"},
    {"is_bucket_moving", reinterpret_cast<PyCFunction>(PointerMap_is_bucket_moving), METH_O, "moving mark set"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pointer_map_getset[] = {
    {"name", reinterpret_cast<getter>(PointerMap_name), nullptr, nullptr, nullptr},
    {"element_count", reinterpret_cast<getter>(counter_getter<read_element_count>), nullptr, nullptr, nullptr},
    {"bucket_chunk_in_use", reinterpret_cast<getter>(counter_getter<read_chunks_in_use>), nullptr, nullptr, nullptr},
    {"expansion_workers", reinterpret_cast<getter>(counter_getter<read_workers>), nullptr, nullptr, nullptr},
    {"bucket_chunk_size", reinterpret_cast<getter>(counter_getter<read_chunk_size>), nullptr, nullptr, nullptr},
    {"bucket_chunk_number", reinterpret_cast<getter>(counter_getter<read_chunk_number>), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject pointer_map_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* module_expansion_helper(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"name", "target_length", nullptr};
  PyObject* name_object;
  Py_ssize_t target_length;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On", const_cast<char**>(keywords), &name_object, &target_length)) {
    return nullptr;
  }
  std::string name;
  if (!text_argument(name_object, name)) return nullptr;
  return translate_errors([&]() -> PyObject* {
    corvana::python_expansion_helper_pointer(name, static_cast<std::size_t>(target_length < 0 ? 0 : target_length));
    Py_RETURN_NONE;
  });
}

PyMethodDef module_methods[] = {
    {"expansion_helper", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(module_expansion_helper)),
     METH_VARARGS | METH_KEYWORDS, "expansion_helper(name, target_length): python_expansion_helper_pointer"},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
  pointer_map_type.tp_name = "corvana_pointer_map_test.PointerMap";
  pointer_map_type.tp_basicsize = sizeof(PointerMapObject);
  pointer_map_type.tp_flags = Py_TPFLAGS_DEFAULT;
  pointer_map_type.tp_doc = "A ConcurrentHashMap_pointer driven from Python, for the tests.";
  pointer_map_type.tp_new = PointerMap_new;
  pointer_map_type.tp_dealloc = reinterpret_cast<destructor>(PointerMap_dealloc);
  pointer_map_type.tp_methods = pointer_map_methods;
  pointer_map_type.tp_getset = pointer_map_getset;
  if (PyType_Ready(&pointer_map_type) < 0) return -1;
  Py_INCREF(&pointer_map_type);
  if (PyModule_AddObject(module, "PointerMap", reinterpret_cast<PyObject*>(&pointer_map_type)) < 0) {
    Py_DECREF(&pointer_map_type);
    return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "corvana_pointer_map_test", "Drives ConcurrentHashMap_pointer for the tests.", 0,
    module_methods,        module_slots,               nullptr,                                           nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_corvana_pointer_map_test() { return PyModuleDef_Init(&module_definition); }
