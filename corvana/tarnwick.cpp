// corvana.tarnwick: small native helpers of the corvana package.
//
// - atomic_object(value=0): a 64-bit integer cell whose operations are atomic, with a native
//   method table published under the package convention (native_api.hpp);
// - array2d(rows, columns): a zero-filled 2-D array of signed 64-bit integers that exposes its
//   memory through the buffer protocol (memoryview(a)[i, j]);
// - native variables `platform`, `unsigned_type`, `mmap_flags`, `mmap_privilege` and the native
//   function `mystring_from_pointer`, published in the native API table.
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <limits>

#include "corvana/native_api.hpp"

namespace corvana::tarnwick {
namespace {

using python::OwnedRef;

// ---------------------------------------------------------------------------------------------
// Native variables and function

int platform_id = 1;  // 1: Linux (POSIX mmap); other platforms get their own number
PyObject* unsigned_type = reinterpret_cast<PyObject*>(&PyLong_Type);  // the type of unsigned values
int mmap_flags = MAP_SHARED;
int mmap_privilege = PROT_READ | PROT_WRITE;

// A new bytes object with the NUL-terminated text at `text`; None for null.
PyObject* mystring_from_pointer(void* text) {
  if (text == nullptr) {
    return Py_NewRef(Py_None);
  }
  return PyBytes_FromString(static_cast<const char*>(text));
}

// ---------------------------------------------------------------------------------------------
// atomic_object

struct AtomicObject;

struct AtomicObjectMethods {
  std::int64_t (*load)(AtomicObject* self);
  void (*store)(AtomicObject* self, std::int64_t value);
  std::int64_t (*fetch_add)(AtomicObject* self, std::int64_t delta);
};

struct AtomicObject {                  // 56 bytes
  PyObject ob_base;                    //  0
  const AtomicObjectMethods* methods;  // 16: the native method table
  alignas(8) std::int64_t value;       // 24: atomic
  std::int64_t reserved[3];            // 32: keeps the size promised to importers; unused
};
static_assert(sizeof(AtomicObject) == native_api::atomic_object_size);
static_assert(offsetof(AtomicObject, value) % 8 == 0);

std::atomic_ref<std::int64_t> value_word(AtomicObject* self) noexcept {
  return std::atomic_ref<std::int64_t>(self->value);
}

// seq_cst: the cell is a general-purpose counter; callers may use it to order other accesses.
std::int64_t atomic_load(AtomicObject* self) {
  return value_word(self).load(std::memory_order_seq_cst);
}
void atomic_store(AtomicObject* self, std::int64_t value) {
  value_word(self).store(value, std::memory_order_seq_cst);
}
std::int64_t atomic_fetch_add(AtomicObject* self, std::int64_t delta) {
  return value_word(self).fetch_add(delta, std::memory_order_seq_cst);
}

const AtomicObjectMethods atomic_object_methods = {atomic_load, atomic_store, atomic_fetch_add};

PyObject* atomic_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"value", nullptr};
  long long value = 0;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "|L:atomic_object", const_cast<char**>(keywords), &value) ==
      0) {
    return nullptr;
  }
  auto* self = reinterpret_cast<AtomicObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) {
    return nullptr;
  }
  self->methods = &atomic_object_methods;
  atomic_store(self, value);
  return reinterpret_cast<PyObject*>(self);
}

PyObject* atomic_py_load(PyObject* self, PyObject* /*unused*/) {
  return PyLong_FromLongLong(atomic_load(reinterpret_cast<AtomicObject*>(self)));
}

PyObject* atomic_py_store(PyObject* self, PyObject* value) {
  const long long converted = PyLong_AsLongLong(value);
  if (converted == -1 && PyErr_Occurred() != nullptr) {
    return nullptr;
  }
  atomic_store(reinterpret_cast<AtomicObject*>(self), converted);
  Py_RETURN_NONE;
}

PyObject* atomic_py_fetch_add(PyObject* self, PyObject* delta) {
  const long long converted = PyLong_AsLongLong(delta);
  if (converted == -1 && PyErr_Occurred() != nullptr) {
    return nullptr;
  }
  return PyLong_FromLongLong(atomic_fetch_add(reinterpret_cast<AtomicObject*>(self), converted));
}

PyMethodDef atomic_methods[] = {
    {"load", atomic_py_load, METH_NOARGS, PyDoc_STR("load() -> int: the current value")},
    {"store", atomic_py_store, METH_O, PyDoc_STR("store(value: int): replaces the value")},
    {"fetch_add", atomic_py_fetch_add, METH_O,
     PyDoc_STR("fetch_add(delta: int) -> int: adds delta (wrapping), returns the former value")},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject atomic_object_type = [] {
  PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "corvana.tarnwick.atomic_object";
  type.tp_basicsize = sizeof(AtomicObject);
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc =
      PyDoc_STR("atomic_object(value: int = 0)\nA signed 64-bit integer cell with atomic operations.");
  type.tp_new = atomic_new;
  type.tp_methods = atomic_methods;
  return type;
}();

// ---------------------------------------------------------------------------------------------
// array2d

struct Array2d {            // 88 bytes
  PyObject ob_base;         //  0
  std::int64_t* items;      // 16: rows * columns items, row-major; PyMem_Calloc
  Py_ssize_t shape[2];      // 24: rows, columns
  Py_ssize_t strides[2];    // 40: bytes between rows, between columns
  Py_ssize_t count_items;   // 56: rows * columns
  Py_ssize_t length_bytes;  // 64: count_items * item_bytes
  Py_ssize_t item_bytes;    // 72: 8
  PyObject* weakrefs;       // 80
};
static_assert(sizeof(Array2d) == native_api::array2d_size);

PyObject* array2d_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"rows", "columns", nullptr};
  Py_ssize_t rows = 0;
  Py_ssize_t columns = 0;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "nn:array2d", const_cast<char**>(keywords), &rows,
                                  &columns) == 0) {
    return nullptr;
  }
  if (rows < 0 || columns < 0) {
    PyErr_SetString(PyExc_ValueError, "array2d: rows and columns must not be negative");
    return nullptr;
  }
  constexpr auto item_bytes = static_cast<Py_ssize_t>(sizeof(std::int64_t));
  if (columns != 0 && rows > std::numeric_limits<Py_ssize_t>::max() / item_bytes / columns) {
    PyErr_SetString(PyExc_OverflowError, "array2d: too many items");
    return nullptr;
  }
  OwnedRef object = OwnedRef::steal(type->tp_alloc(type, 0));
  if (!object) {
    return nullptr;
  }
  auto* self = reinterpret_cast<Array2d*>(object.get());
  const Py_ssize_t count = rows * columns;
  self->items =
      static_cast<std::int64_t*>(PyMem_Calloc(count == 0 ? 1 : static_cast<std::size_t>(count), item_bytes));
  if (self->items == nullptr) {
    return PyErr_NoMemory();
  }
  self->shape[0] = rows;
  self->shape[1] = columns;
  self->strides[0] = columns * item_bytes;
  self->strides[1] = item_bytes;
  self->count_items = count;
  self->length_bytes = count * item_bytes;
  self->item_bytes = item_bytes;
  return object.release();
}

void array2d_dealloc(PyObject* object) {
  auto* self = reinterpret_cast<Array2d*>(object);
  if (self->weakrefs != nullptr) {
    PyObject_ClearWeakRefs(object);
  }
  PyMem_Free(self->items);
  Py_TYPE(object)->tp_free(object);
}

int array2d_getbuffer(PyObject* object, Py_buffer* view, int flags) {
  // The items are C-contiguous, so every request can be served: a shape without strides, or no
  // shape at all (a plain byte view), describes the same memory.
  auto* self = reinterpret_cast<Array2d*>(object);
  view->obj = Py_NewRef(object);
  view->buf = self->items;
  view->len = self->length_bytes;
  view->readonly = 0;
  view->itemsize = self->item_bytes;
  view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>("q") : nullptr;
  view->ndim = 2;
  view->shape = (flags & PyBUF_ND) != 0 ? self->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? self->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  if ((flags & PyBUF_ND) == 0) {
    view->ndim = 1;
  }
  return 0;
}

PyBufferProcs array2d_buffer = {array2d_getbuffer, nullptr};

PyObject* array2d_shape(PyObject* object, void* /*unused*/) {
  auto* self = reinterpret_cast<Array2d*>(object);
  return Py_BuildValue("(nn)", self->shape[0], self->shape[1]);
}

PyGetSetDef array2d_getset[] = {
    {"shape", array2d_shape, nullptr, PyDoc_STR("(rows, columns)"), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject array2d_type = [] {
  PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "corvana.tarnwick.array2d";
  type.tp_basicsize = sizeof(Array2d);
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = PyDoc_STR(
      "array2d(rows: int, columns: int)\n"
      "A zero-filled 2-D array of signed 64-bit integers; use memoryview(a)[i, j] to read and write.");
  type.tp_new = array2d_new;
  type.tp_dealloc = array2d_dealloc;
  type.tp_as_buffer = &array2d_buffer;
  type.tp_getset = array2d_getset;
  type.tp_weaklistoffset = offsetof(Array2d, weakrefs);
  return type;
}();

PyModuleDef tarnwick_module = {
    PyModuleDef_HEAD_INIT,
    "corvana.tarnwick",
    PyDoc_STR("Small native helpers of the corvana package."),
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corvana::tarnwick

PyMODINIT_FUNC PyInit_tarnwick() {
  using namespace corvana;
  using namespace corvana::tarnwick;
  if (PyType_Ready(&atomic_object_type) < 0 || PyType_Ready(&array2d_type) < 0 ||
      native_api::publish_methods(&atomic_object_type, &atomic_object_methods,
                                  native_api::atomic_object_methods_signature) < 0) {
    return nullptr;
  }
  python::OwnedRef module = python::OwnedRef::steal(PyModule_Create(&tarnwick_module));
  if (!module) {
    return nullptr;
  }
  PyObject* m = module.get();
  if (PyModule_AddObjectRef(m, "atomic_object", reinterpret_cast<PyObject*>(&atomic_object_type)) < 0 ||
      PyModule_AddObjectRef(m, "array2d", reinterpret_cast<PyObject*>(&array2d_type)) < 0 ||
      native_api::publish_entry(m, native_api::platform_name, &platform_id,
                                native_api::int_variable_signature) < 0 ||
      native_api::publish_entry(m, native_api::unsigned_type_name, &unsigned_type,
                                native_api::object_variable_signature) < 0 ||
      native_api::publish_entry(m, native_api::mmap_flags_name, &mmap_flags,
                                native_api::int_variable_signature) < 0 ||
      native_api::publish_entry(m, native_api::mmap_privilege_name, &mmap_privilege,
                                native_api::int_variable_signature) < 0 ||
      native_api::publish_entry(m, native_api::mystring_from_pointer_name,
                                reinterpret_cast<void*>(&mystring_from_pointer),
                                native_api::mystring_from_pointer_signature) < 0) {
    return nullptr;
  }
  return module.release();
}
