// The class `quillmap`: instance layout, construction, lifetime and the refusal of pickling.
//
// An instance owns one in-process map object (chm) over a memory file that other processes open by
// its name. Construction binds and converts the arguments, initialises the pellrook base with the
// hash function, chooses the serializer and creates or opens the map; a failing step keeps the
// effects of the steps before it. The map object is destroyed once, by the finalizer (or by a
// second __init__, which replaces it); the memory file and its data stay for other processes.
#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "corvana/arguments.hpp"
#include "corvana/canonical_keys.hpp"
#include "corvana/errors.hpp"
#include "corvana/quillmap_internal.hpp"
#include "map/map.hpp"

namespace corvana::quillmap {
namespace {

using python::OwnedRef;
using python::PythonErrorSet;

constexpr std::uint64_t default_size = 650000000;
constexpr std::uint8_t default_bucket_chunk_size_exponent = 20;
constexpr std::uint64_t default_bucket_chunk_number = 100;
constexpr std::uint8_t default_chunk_size_exponent = 5;

constexpr const char* pickling_refused_text =
    "self.chm,self.size cannot be converted to a Python object for pickling";

constexpr const char* init_names[] = {
    "name",       "size",          "bucket_chunk_size_exponent", "bucket_chunk_number", "chunk_size_exponent",
    "serializer", "hash_function", "lock_timeout"};
constexpr Signature init_signature{"__init__", init_names, 0, 1};

const char init_doc[] =
    "__init__(self, name: bytes = None, size: int = 650000000, bucket_chunk_size_exponent: int = 20, "
    "bucket_chunk_number: int = 100, chunk_size_exponent: int = 5, serializer: unicode = u'pickle', "
    "hash_function: Callable = hash)\n"
    "constructor of quillmap\n"
    ":param name: the path of an existing memory file to open; None or empty bytes create a new memory file, "
    "whose path becomes the name\n"
    ":param size: the heap size in bytes of the memory file\n"
    ":param bucket_chunk_size_exponent: log2 of the number of buckets in one bucket chunk (20 gives "
    "1048576)\n"
    ":param bucket_chunk_number: the number of bucket chunks\n"
    ":param chunk_size_exponent: log2 of the data chunk size in bytes (5 gives 32)\n"
    ":param serializer: the serializer of keys and values, one of 'msgspec', 'pickle', 'orjson', 'msgpack' "
    "and 'json'\n"
    ":param hash_function: the function that hashes keys; any user-defined callable can be given; "
    "the default is hash\n"
    ":param lock_timeout: (keyword only) seconds that one operation may wait for locks held by live processes before it "
    "raises LockTimeoutError (a TimeoutError) with nothing changed; None waits for as long as they hold them\n";

struct MapParameters {
  std::uint64_t size = default_size;
  std::uint8_t bucket_chunk_size_exponent = default_bucket_chunk_size_exponent;
  std::uint64_t bucket_chunk_number = default_bucket_chunk_number;
  std::uint8_t chunk_size_exponent = default_chunk_size_exponent;
};

// Deletes a map object only in the process that made it. A forked child's copy of the object shares
// the parent's per-process chunk caches: destroying it in the child would give chunks back to the
// shared heap that the parent still hands out, and the parent's own destruction would then free
// them a second time. The child's copy is left for the end of the child process.
struct MapDeleter {
  std::uint64_t generation;
  void operator()(ConcurrentHashMap_string* map) const noexcept {
    if (generation == fork_generation()) {
      // make_map creates exactly a ConcurrentHashMap_string, so its destructor is the right one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"
      delete map;
#pragma GCC diagnostic pop
    }
  }
};

// Constructs a map object (creating a map when `name` is empty, which it then rewrites to the new
// file's path). The map constructor takes the size after the bucket chunk number. When it throws,
// the object's memory is released and nothing else has changed.
std::shared_ptr<ConcurrentHashMap_string> make_map(std::string& name, const MapParameters& parameters) {
  auto map = std::make_unique<ConcurrentHashMap_string>(name, parameters.bucket_chunk_size_exponent,
                                                        parameters.bucket_chunk_number, parameters.size,
                                                        parameters.chunk_size_exponent);
  return {map.release(), MapDeleter{fork_generation()}};
}

// Makes `map` the instance's map object; the one it replaces is destroyed (unless an operation
// still uses it, or it was inherited through a fork).
void install_map(QuillmapObject* self, std::shared_ptr<ConcurrentHashMap_string> map) noexcept {
  std::shared_ptr<ConcurrentHashMap_string> replaced = std::exchange(self->chm, std::move(map));
  self->map_generation = fork_generation();
  self->is_closed = 0;
  replaced.reset();
}

}  // namespace

// Destroys the instance's map object, if any. A pending Python exception survives.
void destroy_map(QuillmapObject* self) noexcept {
  if (!self->chm) {
    return;
  }
  python::SavedError pending;
  // The field is emptied before the map is destroyed; an operation still running on another thread
  // keeps its own reference and destroys the map when it returns.
  std::shared_ptr<ConcurrentHashMap_string> map = std::move(self->chm);
  map.reset();
  pending.restore();
}

namespace {

// The serializers by name, and the adapter module whose dumps and loads the operations call instead
// of the package's (null: the package itself).
struct SerializerChoice {
  python::OwnedRef Strings::* name;
  const char* adapter;
  bool is_optional;  // installed by an extra of the package
};
constexpr SerializerChoice serializer_choices[] = {
    {&Strings::pickle, nullptr, false},
    {&Strings::orjson, nullptr, true},
    {&Strings::msgpack, nullptr, true},
    {&Strings::json, json_adapter, false},
    {&Strings::msgspec, msgspec_adapter, true},
};

// The serializer object named by `serializer` (None or exactly str): the module whose dumps and
// loads a map of that serializer calls.
OwnedRef serializer_named(PyObject* serializer) {
  const SerializerChoice* chosen = nullptr;
  if (serializer != Py_None) {
    for (const SerializerChoice& choice : serializer_choices) {
      const int equal = PyUnicode_Compare(serializer, (state.strings.*choice.name).get());
      if (equal == -1 && PyErr_Occurred() != nullptr) {
        throw PythonErrorSet{};
      }
      if (equal == 0) {
        chosen = &choice;
        break;
      }
    }
  }
  if (chosen == nullptr) {
    PyErr_SetString(PyExc_ValueError, "Invalid serializer!");
    throw PythonErrorSet{};
  }
  PyObject* name = (state.strings.*chosen->name).get();
  if (chosen->is_optional) {
    // An optional package that was not importable: the NameError of the unbound global, as a
    // SerializerNotInstalledError that names the extra which installs it.
    const int bound = PyDict_Contains(PyModule_GetDict(state.module.get()), name);
    python::check_status(bound);
    if (bound == 0 && PyDict_Contains(PyModule_GetDict(state.builtins.get()), name) == 0) {
      throw SerializerNotInstalled(PyUnicode_AsUTF8(name));
    }
  }
  // The module global must be bound, as for every choice, also where an adapter serializes.
  OwnedRef module = module_global(name);
  if (chosen->adapter != nullptr) {
    module = OwnedRef::checked(PyImport_ImportModule(chosen->adapter));
  }
  return module;
}

// Makes the serializer object named by `serializer` (None or exactly str) the instance's.
void choose_serializer(QuillmapObject* self, PyObject* serializer) {
  python::replace_field(self->serializer_module, serializer_named(serializer));
}

constexpr const char* serialize_key_names[] = {"key", "serializer"};
constexpr Signature serialize_key_signature{"_serialize_key", serialize_key_names, 2};

const char serialize_key_doc[] =
    "_serialize_key(key, serializer: str) -> bytes\n"
    "the bytes a map of that serializer stores for the key: equal keys give equal bytes in every "
    "process (a frozenset in its canonical order, whatever the hash seed)";

PyObject* function_serialize_key_impl(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap._serialize_key", nullptr, [&]() -> PyObject* {
    PyObject* bound[2];
    bind_arguments(serialize_key_signature, args, nargs, kwnames, bound);
    check_argument_type(bound[1], &PyUnicode_Type, "serializer", false);
    const OwnedRef serializer = serializer_named(bound[1]);
    return serialize_key(serializer.get(), bound[0]).release();
  });
}

// Creates a new map (name None or empty) or opens the one at `name`, and names the instance after it.
void create_or_open_map(QuillmapObject* self, PyObject* name, const MapParameters& parameters) {
  const bool creates = name == Py_None || PyBytes_GET_SIZE(name) == 0;
  // An empty map name makes the map create a new file.
  std::string map_name = creates ? std::string() : path_from_name(name);
  // When the constructor throws, the instance keeps its former map and name.
  install_map(self, make_map(map_name, parameters));
  if (creates) {
    // The constructor rewrote map_name to the path of the file it created.
    python::replace_field(self->base.name, OwnedRef::checked(PyBytes_FromStringAndSize(
                                               map_name.data(), static_cast<Py_ssize_t>(map_name.size()))));
  } else {
    python::replace_field(self->base.name, OwnedRef::incref(name));
  }
}

int quillmap_init(PyObject* object, PyObject* args, PyObject* kwargs) {
  PyObject* name = Py_None;  // the file a failure names: the one opened, once bound
  return translate_errors("corvana.quillmap.quillmap.__init__", -1, name, [&] {
    PyObject* bound[std::size(init_names)];
    bind_arguments(init_signature, args, kwargs, bound);
    MapParameters parameters;
    if (bound[1] != nullptr) {
      parameters.size = to_size_t(bound[1]);
    }
    if (bound[2] != nullptr) {
      parameters.bucket_chunk_size_exponent = to_unsigned_char(bound[2]);
    }
    if (bound[3] != nullptr) {
      parameters.bucket_chunk_number = to_size_t(bound[3]);
    }
    if (bound[4] != nullptr) {
      parameters.chunk_size_exponent = to_unsigned_char(bound[4]);
    }
    name = bound[0] != nullptr ? bound[0] : Py_None;
    PyObject* serializer = bound[5] != nullptr ? bound[5] : state.strings.pickle.get();
    PyObject* hash_function = bound[6] != nullptr ? bound[6] : state.default_hash_function.get();
    check_argument_type(name, &PyBytes_Type, "name", true);
    check_argument_type(serializer, &PyUnicode_Type, "serializer", true);
    const std::uint64_t lock_timeout_ns =
        bound[7] != nullptr && bound[7] != Py_None ? to_nanoseconds(bound[7], "lock_timeout") : 0;

    // super(quillmap, self).__init__(hash_function): the class after quillmap in the instance's MRO.
    const OwnedRef super_object = OwnedRef::checked(PyObject_CallFunctionObjArgs(
        state.builtin_super.get(), reinterpret_cast<PyObject*>(&quillmap_type), object, nullptr));
    const OwnedRef base_init = OwnedRef::checked(PyObject_GetAttr(super_object.get(), state.strings.init.get()));
    const OwnedRef ignored = OwnedRef::checked(PyObject_CallOneArg(base_init.get(), hash_function));

    QuillmapObject* self = as_quillmap(object);
    choose_serializer(self, serializer);
    create_or_open_map(self, name, parameters);
    self->chm->set_lock_timeout(lock_timeout_ns);
    return 0;
  });
}

PyObject* quillmap_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return translate_errors<PyObject*>(nullptr, nullptr, [&] {
    // The base allocates the whole instance zero-filled, with the name slot holding a reference.
    OwnedRef object = OwnedRef::checked(quillmap_type.tp_base->tp_new(type, args, kwargs));
    QuillmapObject* self = as_quillmap(object.get());
    self->native_methods = &quillmap_methods;
    new (&self->chm) std::shared_ptr<ConcurrentHashMap_string>();
    self->map_generation = fork_generation();
    self->is_closed = 0;
    self->serializer_module = Py_NewRef(Py_None);
    self->dict = OwnedRef::checked(PyDict_New()).release();
    return object.release();
  });
}

void quillmap_finalize(PyObject* object) {
  destroy_map(as_quillmap(object));
}

void quillmap_dealloc(PyObject* object) {
  if (Py_TYPE(object)->tp_finalize != nullptr && PyObject_GC_IsFinalized(object) == 0) {
    if (PyObject_CallFinalizerFromDealloc(object) < 0) {
      return;  // resurrected
    }
  }
  QuillmapObject* self = as_quillmap(object);
  PyObject_GC_UnTrack(object);
  // A Python subclass whose __del__ replaces the finalizer leaves the map to be destroyed here.
  destroy_map(self);
  self->chm.~shared_ptr();
  if (self->dict != nullptr) {
    PyDict_Clear(self->dict);
  }
  Py_CLEAR(self->serializer_module);
  Py_CLEAR(self->dict);
  PyTypeObject* base = quillmap_type.tp_base;
  if (PyType_IS_GC(base)) {
    PyObject_GC_Track(object);
  }
  base->tp_dealloc(object);
}

int quillmap_traverse(PyObject* object, visitproc visit, void* arg) {
  if (quillmap_type.tp_base->tp_traverse != nullptr) {
    const int status = quillmap_type.tp_base->tp_traverse(object, visit, arg);
    if (status != 0) {
      return status;
    }
  }
  QuillmapObject* self = as_quillmap(object);
  Py_VISIT(self->serializer_module);
  Py_VISIT(self->dict);
  return 0;
}

int quillmap_clear(PyObject* object) {
  if (quillmap_type.tp_base->tp_clear != nullptr) {
    quillmap_type.tp_base->tp_clear(object);
  }
  QuillmapObject* self = as_quillmap(object);
  python::replace_field(self->serializer_module, OwnedRef::incref(Py_None));
  // Emptied rather than set to None: attribute lookups expect a dict or nothing in this field.
  Py_CLEAR(self->dict);
  return 0;
}

PyObject* refuse_pickling(PyObject* /*self*/, PyObject* /*argument*/) {
  PyErr_SetString(PyExc_TypeError, pickling_refused_text);
  return nullptr;
}

PyMethodDef quillmap_method_defs[] = {
    {"insert", as_cfunction(method_insert),
     METH_FASTCALL | METH_KEYWORDS, method_insert_doc},
    {"get", as_cfunction(method_get),
     METH_FASTCALL | METH_KEYWORDS, method_get_doc},
    {"remove", as_cfunction(method_remove),
     METH_FASTCALL | METH_KEYWORDS, method_remove_doc},
    {"expansion", as_cfunction(method_expansion),
     METH_FASTCALL | METH_KEYWORDS, method_expansion_doc},
    {"__reduce__", refuse_pickling, METH_NOARGS, nullptr},
    {"__setstate__", refuse_pickling, METH_O, nullptr},
#define CORVANA_METHOD(name, flags) \
  {#name, as_cfunction(method_##name), flags, method_##name##_doc}
    CORVANA_METHOD(lookup, METH_FASTCALL | METH_KEYWORDS),
    CORVANA_METHOD(setdefault, METH_FASTCALL | METH_KEYWORDS),
    CORVANA_METHOD(pop, METH_FASTCALL | METH_KEYWORDS),
    CORVANA_METHOD(compare_and_set, METH_FASTCALL | METH_KEYWORDS),
    CORVANA_METHOD(add, METH_FASTCALL | METH_KEYWORDS),
    CORVANA_METHOD(keys, METH_NOARGS),
    CORVANA_METHOD(values, METH_NOARGS),
    CORVANA_METHOD(items, METH_NOARGS),
    CORVANA_METHOD(close, METH_NOARGS),
    CORVANA_METHOD(unlink, METH_NOARGS),
    CORVANA_METHOD(__enter__, METH_NOARGS),
    CORVANA_METHOD(__exit__, METH_VARARGS),
#undef CORVANA_METHOD
    {nullptr, nullptr, 0, nullptr},
};

// Read-only views of the map's shared counters, for monitoring and tests.
PyObject* get_bucket_chunk_in_use(PyObject* object, void* /*closure*/) {
  return translate_errors<PyObject*>(nullptr, nullptr, [&] {
    return OwnedRef::checked(
               PyLong_FromUnsignedLongLong(require_map(as_quillmap(object))->bucket_chunk_in_use()))
        .release();
  });
}

PyObject* get_element_count(PyObject* object, void* /*closure*/) {
  return translate_errors<PyObject*>(nullptr, nullptr, object, [&] {
    return OwnedRef::checked(PyLong_FromUnsignedLongLong(require_map(as_quillmap(object))->element_count()))
        .release();
  });
}

PyObject* get_lock_timeout(PyObject* object, void* /*closure*/) {
  return translate_errors<PyObject*>(nullptr, nullptr, [&] {
    const std::uint64_t timeout_ns = require_map(as_quillmap(object))->lock_timeout();
    if (timeout_ns == 0) {
      Py_RETURN_NONE;
    }
    return OwnedRef::checked(PyFloat_FromDouble(static_cast<double>(timeout_ns) / 1e9)).release();
  });
}

int set_lock_timeout(PyObject* object, PyObject* value, void* /*closure*/) {
  return translate_errors(nullptr, -1, [&] {
    if (value == nullptr) {
      PyErr_SetString(PyExc_AttributeError, "lock_timeout cannot be deleted; set it to None");
      throw PythonErrorSet{};
    }
    const std::uint64_t timeout_ns = value == Py_None ? 0 : to_nanoseconds(value, "lock_timeout");
    require_map(as_quillmap(object))->set_lock_timeout(timeout_ns);
    return 0;
  });
}

PyGetSetDef quillmap_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"bucket_chunk_in_use", get_bucket_chunk_in_use, nullptr,
     "the number of bucket chunks in use; an expansion doubles it (read-only)", nullptr},
    {"element_count", get_element_count, nullptr,
     "the number of entries in the map, as counted by the map; exact while no operation runs (read-only)",
     nullptr},
    {"lock_timeout", get_lock_timeout, set_lock_timeout,
     "seconds that one operation of this instance may wait for locks held by live processes before it "
     "raises LockTimeoutError with nothing changed; None: no bound",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyMethodDef function_serialize_key = {
    "_serialize_key", as_cfunction(function_serialize_key_impl), METH_FASTCALL | METH_KEYWORDS,
    serialize_key_doc};

PyTypeObject quillmap_type = [] {
  PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "corvana.quillmap.quillmap";
  type.tp_basicsize = sizeof(QuillmapObject);
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  type.tp_doc = "\nclass provide quillmap\n    ";
  type.tp_new = quillmap_new;
  type.tp_init = quillmap_init;
  type.tp_dealloc = quillmap_dealloc;
  type.tp_finalize = quillmap_finalize;
  type.tp_traverse = quillmap_traverse;
  type.tp_clear = quillmap_clear;
  type.tp_methods = quillmap_method_defs;
  type.tp_getset = quillmap_getset;
  type.tp_as_mapping = &quillmap_as_mapping;
  type.tp_as_sequence = &quillmap_as_sequence;
  type.tp_iter = quillmap_iter;
  type.tp_repr = quillmap_repr;
  type.tp_dictoffset = offsetof(QuillmapObject, dict);
  return type;
}();

const QuillmapMethods quillmap_methods = {slot_insert, slot_get, slot_remove, slot_expansion};

void refuse_if_closed(QuillmapObject* self) {
  if (self->is_closed != 0) {
    PyErr_SetString(PyExc_RuntimeError, "this quillmap is closed");
    throw PythonErrorSet{};
  }
}

std::shared_ptr<ConcurrentHashMap_string> require_map(QuillmapObject* self) {
  refuse_if_closed(self);
  if (!self->chm) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this quillmap holds no map: its construction failed or never ran, or it was finalized");
    throw PythonErrorSet{};
  }
  if (self->map_generation != fork_generation()) {
    // Inherited through a fork: the parent's map object must not be used here (its caches are the
    // parent's), so this process opens the map by its name, as a new instance would.
    PyObject* name = self->base.name;
    if (!PyBytes_Check(name) || PyBytes_GET_SIZE(name) == 0) {
      PyErr_SetString(PyExc_RuntimeError,
                      "this quillmap was inherited through a fork and has no name to reopen");
      throw PythonErrorSet{};
    }
    std::string map_name = path_from_name(name);
    const std::uint64_t lock_timeout_ns = self->chm->lock_timeout();
    install_map(self, make_map(map_name, MapParameters{}));
    self->chm->set_lock_timeout(lock_timeout_ns);
  }
  return self->chm;
}

int ready_quillmap_type(PyTypeObject* base) {
  static wrapperbase init_wrapper_with_doc;
  static bool has_init_doc = false;
  quillmap_type.tp_base = base;
  if (PyType_Ready(&quillmap_type) < 0) {
    return -1;
  }
  if (!has_init_doc) {
    // The slot wrapper of tp_init in the class dictionary reads its docstring from its wrapperbase,
    // which is shared by every type; this class gets a copy of its own with the constructor's doc.
    PyObject* wrapper = PyDict_GetItemWithError(quillmap_type.tp_dict, state.strings.init.get());
    if (wrapper == nullptr) {
      if (PyErr_Occurred() == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "quillmap has no __init__ slot wrapper");
      }
      return -1;
    }
    python_compat::set_slot_wrapper_doc(wrapper, init_wrapper_with_doc, init_doc);
    has_init_doc = true;
  }
  return native_api::publish_methods(&quillmap_type, &quillmap_methods,
                                     native_api::quillmap_methods_signature);
}

}  // namespace corvana::quillmap
