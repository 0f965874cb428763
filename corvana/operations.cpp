// Insert, get and remove from Python: the methods of quillmap, the module functions dict_insert,
// dict_get and dict_remove, their native entries and the native method table's slots.
//
// Every operation serializes the key (and the value) with `dumps` of the instance's serializer
// object, hashes the key (see KeyCall) and calls the map operation of the same name. The map copies the bytes straight from the bytes objects; a get copies the value once,
// straight into the result's bytes object. GIL: held throughout; the map's lock waits may let other
// threads run, which is why an operation keeps its own reference to the map object.
#include <memory>

#include "corvana/arguments.hpp"
#include "corvana/errors.hpp"
#include "corvana/quillmap_internal.hpp"
#include "heap/heap.hpp"
#include "map/map.hpp"

namespace corvana::quillmap {

const char method_insert_doc[] =
    "insert(self, input_key, input_value) -> int\n"
    "insert the quillstore with input_key and input_value\n"
    ":param input_key: the key object\n"
    ":param input_value: the value object\n"
    ":return: 1 if successful";
const char method_get_doc[] =
    "get(self, input_key) -> list\n"
    "get the target object from quillstore with input_key\n"
    ":param input_key: the key object\n"
    ":return: list in form of [Boolean, object]. The first boolean value indicates whether the input_key is "
    "in "
    "the dict. The second python object is the target object if the first boolean value is True. ";
const char method_remove_doc[] =
    "remove(self, input_key) -> int\n"
    "remove the target object from quillstore with input_key\n"
    ":param input_key: the key object\n"
    ":return: 1 if successfully removed, 0 if the input_key not in the target quillstore";

using python::OwnedRef;
using python::PythonErrorSet;

namespace {

// The dictionary watcher's callback: what was remembered of a module whose dictionary changed is
// forgotten.
void forget_changed_module(PyObject* dict) noexcept {
  for (RememberedAttribute* remembered : {&state.remembered_dumps, &state.remembered_loads}) {
    if (remembered->module && PyModule_GetDict(remembered->module.get()) == dict) {
      remembered->is_valid = false;
    }
  }
}

// The attribute `name` of the serializer, as a lookup now finds it (see RememberedAttribute).
OwnedRef serializer_attribute(PyObject* serializer, PyObject* name, RememberedAttribute& remembered) {
  if (!PyModule_CheckExact(serializer)) {
    return OwnedRef::checked(PyObject_GetAttr(serializer, name));
  }
  PyObject* dict = PyModule_GetDict(serializer);
  if (remembered.module.get() == serializer &&
      (python_compat::has_dict_version_tags ? remembered.dict_tag == python_compat::dict_version_tag(dict)
                                            : remembered.is_valid)) {
    return remembered.value;
  }
  OwnedRef value = OwnedRef::checked(PyObject_GetAttr(serializer, name));
  if constexpr (python_compat::has_dict_version_tags) {
    remembered.dict_tag = python_compat::dict_version_tag(dict);  // the lookup changes nothing
  } else {
    if (state.dict_watcher < 0) {
      state.dict_watcher = python_compat::add_dict_watcher<forget_changed_module>();
    }
    if (state.dict_watcher < 0 || python_compat::watch_dict(state.dict_watcher, dict) < 0) {
      PyErr_Clear();  // without a watcher nothing is remembered
      return value;
    }
    remembered.is_valid = true;
  }
  remembered.module = OwnedRef::incref(serializer);
  remembered.value = value;
  return value;
}

}  // namespace

OwnedRef serializer_dumps(PyObject* serializer) {
  return serializer_attribute(serializer, state.strings.dumps.get(), state.remembered_dumps);
}

OwnedRef serializer_loads(PyObject* serializer) {
  return serializer_attribute(serializer, state.strings.loads.get(), state.remembered_loads);
}

// dumps(object) of the serializer, looked up afresh: exactly bytes, or None.
OwnedRef serialize(PyObject* serializer, PyObject* object) {
  const OwnedRef dumps = serializer_dumps(serializer);
  OwnedRef serialized = OwnedRef::checked(PyObject_CallOneArg(dumps.get(), object));
  if (!PyBytes_CheckExact(serialized.get()) && serialized.get() != Py_None) {
    raise_unexpected_type("bytes", serialized.get());
  }
  return serialized;
}

namespace {

// pellrook's hash_key of the key object; a set exception is the failure.
std::int64_t hash_key_of(QuillmapObject* self, PyObject* key) {
  if (state.hash_key == nullptr) {
    raise_not_initialised();
  }
  const Py_ssize_t hash = state.hash_key(&self->base, key);
  if (PyErr_Occurred() != nullptr) {
    throw PythonErrorSet{};
  }
  return hash;
}

// Keys the built-in hash never refuses.
bool surely_hashable(PyObject* key) noexcept {
  return PyUnicode_CheckExact(key) || PyLong_CheckExact(key) || PyBytes_CheckExact(key) ||
         PyFloat_CheckExact(key) || PyBool_Check(key) || key == Py_None;
}

}  // namespace

bool hash_serialized_key(QuillmapObject* self, KeyCall& call) noexcept {
  if (self->base.uses_default_hash == 0 || !PyBytes_CheckExact(call.key_bytes.get())) {
    return false;
  }
  call.hash = key_hash(call.key(), call.key_length());
  return true;
}

void finish_hash(QuillmapObject* self, PyObject* key, KeyCall& call, bool hashed) {
  if (self->base.uses_default_hash == 0) {
    call.hash = hash_key_of(self, key);
  } else if (!surely_hashable(key)) {
    static_cast<void>(hash_key_of(self, key));  // only whether the key is hashable
  }
  if (hashed) {
    call.map->prefetch_entries(call.hash);
  }
}

KeyCall prepare(QuillmapObject* self, PyObject* key) {
  KeyCall call;
  call.map = require_map(self);
  call.serializer = OwnedRef::incref(self->serializer_module);
  call.key_bytes = serialize_key(call.serializer.get(), key);
  finish_hash(self, key, call, hash_serialized_key(self, call));
  if (call.key_bytes.get() == Py_None) {
    raise_none_for_bytes();
  }
  return call;
}

namespace {

// A bytes object of the value's length, made under the bucket lock or in a read without it:
// allocating a bytes object runs no Python code (bytes are not tracked by the cyclic collector, so no
// collection can start). A read that is discarded and made again asks for another; the earlier one
// is released then, and the last one when the get finds nothing.
class BytesSink final : public ValueSink {
 public:
  char* buffer_for(std::uint64_t length) override {
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
      PyErr_NoMemory();
      throw PythonErrorSet{};
    }
    bytes_ = OwnedRef::checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    return PyBytes_AS_STRING(bytes_.get());
  }
  OwnedRef take() noexcept { return std::move(bytes_); }

 private:
  OwnedRef bytes_;
};

}  // namespace

OwnedRef stored_bytes(ConcurrentHashMap_string& map, const char* key, std::uint64_t key_len, std::int64_t hash) {
  BytesSink sink;
  if (!map.get(key, key_len, hash, sink)) {
    return {};
  }
  return sink.take();
}

namespace {

const char dict_insert_doc[] =
    "dict_insert(target: quillmap, input_key, input_value) -> int\n"
    "insert the target quillstore with input_key and input_value\n"
    ":param target: the quillmap to insert into\n"
    ":param input_key: the key object\n"
    ":param input_value: the value object\n"
    ":return: 1 if successful";
const char dict_get_doc[] =
    "dict_get(target: quillmap, input_key) -> list\n"
    "get the target object from quillstore with input_key\n"
    ":param target: the quillmap to read from\n"
    ":param input_key: the key object\n"
    ":return: list in form of [Boolean, object]. The first boolean value indicates whether the input_key is "
    "in "
    "the dict. The second python object is the target object if the first boolean value is True. ";
const char dict_remove_doc[] =
    "dict_remove(target: quillmap, input_key) -> int\n"
    "remove the target object from quillstore with input_key\n"
    ":param target: the quillmap to remove from\n"
    ":param input_key: the key object\n"
    ":return: 1 if successfully removed, 0 if the input_key not in the target quillstore";

constexpr const char* key_value_names[] = {"input_key", "input_value"};
constexpr const char* key_names[] = {"input_key"};
constexpr const char* target_key_value_names[] = {"target", "input_key", "input_value"};
constexpr const char* target_key_names[] = {"target", "input_key"};

constexpr Signature insert_signature{"insert", key_value_names, 2};
constexpr Signature get_signature{"get", key_names, 1};
constexpr Signature remove_signature{"remove", key_names, 1};
constexpr Signature dict_insert_signature{"dict_insert", target_key_value_names, 3};
constexpr Signature dict_get_signature{"dict_get", target_key_names, 2};
constexpr Signature dict_remove_signature{"dict_remove", target_key_names, 2};

int insert_routine(QuillmapObject* self, PyObject* key, PyObject* value) {
  PyObject* const values[] = {value};
  OwnedRef value_bytes[1];
  const KeyCall call = prepare(self, key, values, value_bytes);
  call.map->insert(call.key(), bytes_data(value_bytes[0]), call.key_length(), bytes_length(value_bytes[0]), call.hash);
  return 1;
}

OwnedRef get_routine(QuillmapObject* self, PyObject* key) {
  const KeyCall call = prepare(self, key);
  const OwnedRef value_bytes = stored_bytes(*call.map, call.key(), call.key_length(), call.hash);
  if (!value_bytes) {
    OwnedRef absent = OwnedRef::checked(PyList_New(1));
    PyList_SET_ITEM(absent.get(), 0, Py_NewRef(Py_False));
    return absent;
  }
  const OwnedRef loads = serializer_loads(call.serializer.get());
  OwnedRef value = OwnedRef::checked(PyObject_CallOneArg(loads.get(), value_bytes.get()));
  OwnedRef present = OwnedRef::checked(PyList_New(2));
  PyList_SET_ITEM(present.get(), 0, Py_NewRef(Py_True));
  PyList_SET_ITEM(present.get(), 1, value.release());
  return present;
}

int remove_routine(QuillmapObject* self, PyObject* key) {
  const KeyCall call = prepare(self, key);
  return call.map->remove(call.key(), call.key_length(), call.hash) ? 1 : 0;
}

PyObject* new_int(int value) {
  return OwnedRef::checked(PyLong_FromLong(value)).release();
}

// `target` of the module functions: a quillmap or an instance of a subclass.
QuillmapObject* check_target(PyObject* target) {
  if (!PyObject_TypeCheck(target, &quillmap_type)) {
    raise_incorrect_type("target", &quillmap_type, target);
  }
  return as_quillmap(target);
}

// The version tag of the instance's attribute dictionary (0: no dictionary).
std::uint64_t instance_dict_tag(QuillmapObject* self) noexcept {
  return self->dict != nullptr ? python_compat::dict_version_tag(self->dict) : 0;
}

PyObject* function_dict_insert_impl(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  PyObject* target = nullptr;  // what a failure names, once bound
  return translate_errors<PyObject*>("corvana.quillmap.dict_insert", nullptr, target, [&] {
    PyObject* bound[3];
    bind_arguments(dict_insert_signature, args, nargs, kwnames, bound);
    target = bound[0];
    return new_int(insert_routine(check_target(target), bound[1], bound[2]));
  });
}

PyObject* function_dict_get_impl(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* target = nullptr;  // what a failure names, once bound
  return translate_errors<PyObject*>("corvana.quillmap.dict_get", nullptr, target, [&] {
    PyObject* bound[2];
    bind_arguments(dict_get_signature, args, nargs, kwnames, bound);
    target = bound[0];
    return get_routine(check_target(target), bound[1]).release();
  });
}

PyObject* function_dict_remove_impl(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  PyObject* target = nullptr;  // what a failure names, once bound
  return translate_errors<PyObject*>("corvana.quillmap.dict_remove", nullptr, target, [&] {
    PyObject* bound[2];
    bind_arguments(dict_remove_signature, args, nargs, kwnames, bound);
    target = bound[0];
    return new_int(remove_routine(check_target(target), bound[1]));
  });
}

}  // namespace

OwnedRef find_override(QuillmapObject* self, PyObject* method_name, PyCFunction own, OverrideMemory& memory) {
  PyTypeObject* type = Py_TYPE(self);
  // Only a class whose instances or subclasses can carry their own attributes can override.
  if (type->tp_dictoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT | Py_TPFLAGS_HEAPTYPE)) {
    return {};
  }
  // Without dictionary version tags every call looks the method up.
  if constexpr (python_compat::has_dict_version_tags) {
    const std::uint64_t type_tag = python_compat::type_version_tag(type);
    if (type_tag != 0 && memory.type_tag == type_tag && memory.dict_tag == instance_dict_tag(self)) {
      return {};
    }
  }
  OwnedRef attribute = OwnedRef::checked(PyObject_GetAttr(reinterpret_cast<PyObject*>(self), method_name));
  if (PyCFunction_Check(attribute.get()) && PyCFunction_GET_FUNCTION(attribute.get()) == own) {
    // Read after the lookup, which assigns the class its tag when it has none.
    memory.type_tag = python_compat::type_version_tag(type);
    memory.dict_tag = instance_dict_tag(self);
    return {};
  }
  return attribute;
}

PyObject* method_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.insert", nullptr, self, [&] {
    PyObject* bound[2];
    bind_arguments(insert_signature, args, nargs, kwnames, bound);
    return new_int(insert_routine(as_quillmap(self), bound[0], bound[1]));
  });
}

PyObject* method_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.get", nullptr, self, [&] {
    PyObject* bound[1];
    bind_arguments(get_signature, args, nargs, kwnames, bound);
    return get_routine(as_quillmap(self), bound[0]).release();
  });
}

PyObject* method_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.remove", nullptr, self, [&] {
    PyObject* bound[1];
    bind_arguments(remove_signature, args, nargs, kwnames, bound);
    return new_int(remove_routine(as_quillmap(self), bound[0]));
  });
}

PyMethodDef function_dict_insert = {"dict_insert", as_cfunction(function_dict_insert_impl),
                                    METH_FASTCALL | METH_KEYWORDS, dict_insert_doc};
PyMethodDef function_dict_get = {"dict_get", as_cfunction(function_dict_get_impl),
                                 METH_FASTCALL | METH_KEYWORDS, dict_get_doc};
PyMethodDef function_dict_remove = {"dict_remove", as_cfunction(function_dict_remove_impl),
                                    METH_FASTCALL | METH_KEYWORDS, dict_remove_doc};

int native_dict_insert(QuillmapObject* target, PyObject* key, PyObject* value, int /*flag*/) {
  return translate_errors("corvana.quillmap.dict_insert", -1, as_object(target),
                          [&] { return insert_routine(target, key, value); });
}

PyObject* native_dict_get(QuillmapObject* target, PyObject* key, int /*flag*/) {
  return translate_errors<PyObject*>("corvana.quillmap.dict_get", nullptr, as_object(target),
                                     [&] { return get_routine(target, key).release(); });
}

int native_dict_remove(QuillmapObject* target, PyObject* key, int /*flag*/) {
  return translate_errors("corvana.quillmap.dict_remove", -1, as_object(target),
                          [&] { return remove_routine(target, key); });
}

int slot_insert(QuillmapObject* self, PyObject* key, PyObject* value, int skip_override) {
  return translate_errors("corvana.quillmap.quillmap.insert", -1, as_object(self), [&] {
    if (skip_override == 0) {
      if (const OwnedRef override = find_override(self, state.strings.insert.get(), as_cfunction(method_insert),
                                                  state.insert_override)) {
        return to_c_int(
            OwnedRef::checked(PyObject_CallFunctionObjArgs(override.get(), key, value, nullptr)).get());
      }
    }
    return insert_routine(self, key, value);
  });
}

PyObject* slot_get(QuillmapObject* self, PyObject* key, int skip_override) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.get", nullptr, as_object(self), [&] {
    if (skip_override == 0) {
      if (const OwnedRef override =
              find_override(self, state.strings.get.get(), as_cfunction(method_get), state.get_override)) {
        OwnedRef result = OwnedRef::checked(PyObject_CallOneArg(override.get(), key));
        if (!PyList_CheckExact(result.get()) && result.get() != Py_None) {
          raise_unexpected_type("list", result.get());
        }
        return result.release();
      }
    }
    return get_routine(self, key).release();
  });
}

int slot_remove(QuillmapObject* self, PyObject* key, int skip_override) {
  return translate_errors("corvana.quillmap.quillmap.remove", -1, as_object(self), [&] {
    if (skip_override == 0) {
      if (const OwnedRef override = find_override(self, state.strings.remove.get(), as_cfunction(method_remove),
                                                  state.remove_override)) {
        return to_c_int(OwnedRef::checked(PyObject_CallOneArg(override.get(), key)).get());
      }
    }
    return remove_routine(self, key);
  });
}

}  // namespace corvana::quillmap
