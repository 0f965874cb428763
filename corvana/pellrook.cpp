// corvana.pellrook: the base class `pellrook` of the shared dictionary class, and `hash_key`.
//
// A pellrook holds a name (the read-only attribute `name`, None until a subclass sets it) and the
// hash function its __init__ was given. hash_key hashes keys with that function. `uses_default_hash`
// tells a subclass that the function is the built-in hash as found when this module was imported:
// the shared dictionary then hashes a key's serialized bytes instead, which are the same in every
// process, and asks hash_key only whether the key is hashable.
#include "corvana/native_api.hpp"

namespace corvana::pellrook {
namespace {

using native_api::PellrookObject;
using python::OwnedRef;

// The built-in hash captured when the module was imported. Owned for the life of the process.
PyObject* default_hash_function = nullptr;

PyObject* pellrook_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  // tp_alloc zero-fills the whole instance, the fields of subclasses included.
  auto* self = reinterpret_cast<PellrookObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) {
    return nullptr;
  }
  self->name = Py_NewRef(Py_None);
  return reinterpret_cast<PyObject*>(self);
}

int pellrook_init(PyObject* object, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"hash_function", nullptr};
  PyObject* hash_function = nullptr;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "O:__init__", const_cast<char**>(keywords), &hash_function) ==
      0) {
    return -1;
  }
  if (PyCallable_Check(hash_function) == 0) {
    PyErr_Format(PyExc_TypeError, "hash_function must be callable, not %.200s",
                 Py_TYPE(hash_function)->tp_name);
    return -1;
  }
  auto* self = reinterpret_cast<PellrookObject*>(object);
  self->uses_default_hash = hash_function == default_hash_function ? 1 : 0;
  python::replace_field(self->hash_function, OwnedRef::incref(hash_function));
  return 0;
}

int pellrook_traverse(PyObject* object, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<PellrookObject*>(object);
  Py_VISIT(self->name);
  Py_VISIT(self->hash_function);
  return 0;
}

int pellrook_clear(PyObject* object) {
  auto* self = reinterpret_cast<PellrookObject*>(object);
  Py_CLEAR(self->name);
  Py_CLEAR(self->hash_function);
  return 0;
}

void pellrook_dealloc(PyObject* object) {
  PyObject_GC_UnTrack(object);
  pellrook_clear(object);
  Py_TYPE(object)->tp_free(object);
}

// Converts what a caller's hash function returned to a 64-bit hash. Ints that do not fit are
// reduced by the built-in hash of ints, as hash() reduces what __hash__ returns.
Py_ssize_t hash_from_result(PyObject* result) {
  if (!PyLong_Check(result)) {
    PyErr_Format(PyExc_TypeError, "hash_function must return an int, not %.200s", Py_TYPE(result)->tp_name);
    return -1;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(result, &overflow);
  if (overflow != 0) {
    return PyObject_Hash(result);
  }
  return static_cast<Py_ssize_t>(value);
}

Py_ssize_t hash_key(PellrookObject* self, PyObject* key) {
  if (self->hash_function == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "pellrook.__init__ has not run: the object has no hash function");
    return -1;
  }
  if (self->uses_default_hash != 0) {
    return PyObject_Hash(key);  // what calling the built-in hash does
  }
  // The function may drop the last reference to itself (by rebinding an attribute, say).
  const OwnedRef hash_function = OwnedRef::incref(self->hash_function);
  const OwnedRef result = OwnedRef::steal(PyObject_CallOneArg(hash_function.get(), key));
  if (!result) {
    return -1;
  }
  return hash_from_result(result.get());
}

PyMemberDef pellrook_members[] = {
    {"name", T_OBJECT, offsetof(PellrookObject, name), READONLY,
     "The name of the object: for a shared dictionary, the path of its memory file (bytes)."},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject pellrook_type = [] {
  PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "corvana.pellrook.pellrook";
  type.tp_basicsize = sizeof(PellrookObject);
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  type.tp_doc = PyDoc_STR(
      "pellrook(hash_function)\n"
      "Base class of objects that hash keys with a hash function and carry a name.");
  type.tp_new = pellrook_new;
  type.tp_init = pellrook_init;
  type.tp_dealloc = pellrook_dealloc;
  type.tp_traverse = pellrook_traverse;
  type.tp_clear = pellrook_clear;
  type.tp_members = pellrook_members;
  return type;
}();

PyModuleDef pellrook_module = {
    PyModuleDef_HEAD_INIT,
    "corvana.pellrook",
    PyDoc_STR("Base class of the shared dictionary of corvana and its key hashing."),
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corvana::pellrook

PyMODINIT_FUNC PyInit_pellrook() {
  using namespace corvana;
  using python::OwnedRef;
  if (pellrook::default_hash_function == nullptr) {
    const OwnedRef builtins = OwnedRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins) {
      return nullptr;
    }
    pellrook::default_hash_function = PyObject_GetAttrString(builtins.get(), "hash");
    if (pellrook::default_hash_function == nullptr) {
      return nullptr;
    }
  }
  if (PyType_Ready(&pellrook::pellrook_type) < 0) {
    return nullptr;
  }
  OwnedRef module = OwnedRef::steal(PyModule_Create(&pellrook::pellrook_module));
  if (!module) {
    return nullptr;
  }
  if (PyModule_AddObjectRef(module.get(), "pellrook", reinterpret_cast<PyObject*>(&pellrook::pellrook_type)) <
          0 ||
      native_api::publish_entry(module.get(), native_api::hash_key_name,
                                reinterpret_cast<void*>(&pellrook::hash_key),
                                native_api::hash_key_signature) < 0) {
    return nullptr;
  }
  return module.release();
}
