// Declarations shared by the source files of the corvana.quillmap extension module: its module
// state, the class, and the entry points that module initialisation binds. Private to the module.
//
// The module's files, by what they own (a key goes from q[k] = v through arguments, operations and
// canonical_keys to the map layer's ConcurrentHashMap_string::insert):
//   quillmap_module.cpp   initialisation, the module state's life, module globals
//   quillmap_type.cpp     the class: construction, the serializer chosen, the map object's life
//   arguments.cpp         argument binding and conversions, and the texts of their errors
//   operations.cpp        insert, get and remove (methods, functions, native entries, slots);
//                         serialization and hashing of keys; overrides of the native method table
//   canonical_keys.cpp    the form of a key that equal keys share in every process
//   dict_protocol.cpp     the mapping protocol, read-modify-write methods, iteration, close/unlink
//   expansion_driver.cpp  expansion() and the worker processes that double the map
//   check.cpp, liveness.cpp  the command line's file check and process-slot question
//   errors.cpp            the one translation of C++ exceptions into Python exceptions
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "corvana/arguments.hpp"
#include "corvana/canonical_keys.hpp"
#include "corvana/native_api.hpp"
#include "corvana/quillmap.hpp"

namespace corvana::quillmap {

// Interned strings: every attribute name and literal the module uses, created once at import.
struct Strings {
  python::OwnedRef dumps;
  python::OwnedRef loads;
  python::OwnedRef insert;
  python::OwnedRef get;
  python::OwnedRef remove;
  python::OwnedRef expansion;
  python::OwnedRef init;
  python::OwnedRef json;
  python::OwnedRef msgspec;
  python::OwnedRef pickle;
  python::OwnedRef orjson;
  python::OwnedRef msgpack;
  python::OwnedRef os;
  python::OwnedRef cpu_count;
  python::OwnedRef multiprocessing;
  python::OwnedRef get_context;
  python::OwnedRef process;
  python::OwnedRef pipe;
  python::OwnedRef target;
  python::OwnedRef args;
  python::OwnedRef daemon;
  python::OwnedRef start;
  python::OwnedRef sentinel;
  python::OwnedRef exitcode;
  python::OwnedRef poll;
  python::OwnedRef recv;
  python::OwnedRef send;
  python::OwnedRef close;
  python::OwnedRef join;
  python::OwnedRef terminate;
  python::OwnedRef kill;
  python::OwnedRef wait;
  python::OwnedRef dict_expansion;
  python::OwnedRef expansion_worker;
  python::OwnedRef format;
  python::OwnedRef expansion_error_text;  // "Subprocess finished with error{}"
};

// Each field of Strings with its text.
struct StringText {
  python::OwnedRef Strings::* field;
  const char* text;
};
inline constexpr StringText string_texts[] = {
    {&Strings::dumps, "dumps"},
    {&Strings::loads, "loads"},
    {&Strings::insert, "insert"},
    {&Strings::get, "get"},
    {&Strings::remove, "remove"},
    {&Strings::expansion, "expansion"},
    {&Strings::init, "__init__"},
    {&Strings::json, "json"},
    {&Strings::msgspec, "msgspec"},
    {&Strings::pickle, "pickle"},
    {&Strings::orjson, "orjson"},
    {&Strings::msgpack, "msgpack"},
    {&Strings::os, "os"},
    {&Strings::cpu_count, "cpu_count"},
    {&Strings::multiprocessing, "multiprocessing"},
    {&Strings::get_context, "get_context"},
    {&Strings::process, "Process"},
    {&Strings::pipe, "Pipe"},
    {&Strings::target, "target"},
    {&Strings::args, "args"},
    {&Strings::daemon, "daemon"},
    {&Strings::start, "start"},
    {&Strings::sentinel, "sentinel"},
    {&Strings::exitcode, "exitcode"},
    {&Strings::poll, "poll"},
    {&Strings::recv, "recv"},
    {&Strings::send, "send"},
    {&Strings::close, "close"},
    {&Strings::join, "join"},
    {&Strings::terminate, "terminate"},
    {&Strings::kill, "kill"},
    {&Strings::wait, "wait"},
    {&Strings::dict_expansion, "dict_expansion"},
    {&Strings::expansion_worker, "_expansion_worker"},
    {&Strings::format, "format"},
    {&Strings::expansion_error_text, "Subprocess finished with error{}"},
};

// What the last lookup of one attribute (dumps or loads) found on a serializer module, kept while
// the module's dictionary is unchanged: a lookup then gives exactly what a fresh one would, without
// its cost. Only plain modules qualify (a module of another type may compute its attributes). The
// references are owned, so neither address can be reused while remembered. GIL: guards it.
struct RememberedAttribute {
  python::OwnedRef module;
  python::OwnedRef value;
  std::uint64_t dict_tag = 0;  // with dictionary version tags: the tag when `value` was found
  bool is_valid = false;       // without them: cleared by the dictionary watcher at any change
};

// The override lookup of one slot of the native method table (see find_override): the version
// tags under which no override was found.
struct OverrideMemory {
  std::uint64_t type_tag = 0;
  std::uint64_t dict_tag = 0;
};

// The module state: every object that the module keeps for its lifetime, owned here, and what the
// module remembers between calls. There is one, for the one module object of the process: the
// module is made once per process (a second interpreter is refused), a re-import hands back the
// same module object, and the class is a static type whose methods have no module at hand, so they
// reach the state as this one object. The module's m_traverse visits the owned objects and its
// m_clear and m_free release them. `module` is the process's own reference to the module, not
// visited: it keeps the module, and so this state, alive for as long as any instance of the class
// may run. Filled while the module executes (GIL and import lock held); used with the GIL.
struct ModuleState {
  python::OwnedRef module;    // null until the module executes
  python::OwnedRef builtins;  // the builtins module
  Strings strings;
  python::OwnedRef empty_tuple;
  python::OwnedRef builtin_super;
  python::OwnedRef damaged_file_error;  // corvana.quillmap.DamagedFileError
  python::OwnedRef exceptions;          // the module corvana._exceptions (its classes and factories)
  // The default of hash_function: the built-in hash as found at import.
  python::OwnedRef default_hash_function;
  // corvana.pellrook's hash_key, checked against its signature at import.
  native_api::HashKeyFunction hash_key = nullptr;
  // The class of canonical frozensets (canonical_keys.cpp), made at its first use.
  python::OwnedRef sorted_frozenset_type;
  RememberedAttribute remembered_dumps;
  RememberedAttribute remembered_loads;
  int dict_watcher = -1;  // the dictionary watcher of the remembered attributes, once added
  OverrideMemory insert_override;
  OverrideMemory get_override;
  OverrideMemory remove_override;
  OverrideMemory expansion_override;

  // Calls visit(object) for every owned object but `module`, while it returns 0; returns what it
  // returned last.
  template <class Visit>
  int visit_owned(Visit&& visit) {
    python::OwnedRef* const owned[] = {&builtins, &empty_tuple, &builtin_super, &damaged_file_error, &exceptions,
                                       &default_hash_function, &sorted_frozenset_type, &remembered_dumps.module,
                                       &remembered_dumps.value, &remembered_loads.module, &remembered_loads.value};
    for (python::OwnedRef* field : owned) {
      if (const int status = field->get() != nullptr ? visit(field->get()) : 0) {
        return status;
      }
    }
    for (const StringText& entry : string_texts) {
      PyObject* text = (strings.*entry.field).get();
      if (const int status = text != nullptr ? visit(text) : 0) {
        return status;
      }
    }
    return 0;
  }
};

// The storage of the module state: a union member, which is never destroyed. Static objects are
// destroyed after the interpreter has gone, and releasing references then would call into it; the
// module's m_clear and m_free are what release them while it runs.
union ModuleStateStorage {
  ModuleState state;
  ModuleStateStorage() : state() {}
  ~ModuleStateStorage() {}
};
extern ModuleStateStorage module_state_storage;
inline ModuleState& state = module_state_storage.state;
// The modules whose dumps and loads serialize where the package's own do not store bytes ("json":
// json.dumps gives str) or are not in the package ("msgspec": its JSON codec is msgspec.json).
inline constexpr char json_adapter[] = "corvana._json_codec";
inline constexpr char msgspec_adapter[] = "corvana._msgspec_codec";


// The class (quillmap_type.cpp).
extern PyTypeObject quillmap_type;
extern const QuillmapMethods quillmap_methods;
// Readies the class on `base`, gives __init__ its docstring and publishes the native method table.
int ready_quillmap_type(PyTypeObject* base);

// RuntimeError "corvana.quillmap is not initialised": the module has not executed (or its execution
// failed). require_initialised raises it unless the module state holds the module. Throw PythonErrorSet.
[[noreturn]] void raise_not_initialised();
void require_initialised();
// The value of a global of the module: its dictionary first, then the builtins. NameError
// "name '<name>' is not defined" when neither has it. Throws PythonErrorSet.
python::OwnedRef module_global(PyObject* name);

// RuntimeError "this quillmap is closed" once close() ran on the instance. Throws PythonErrorSet.
void refuse_if_closed(QuillmapObject* self);
// The map of an instance, or RuntimeError when it holds none (or is closed). In a forked child whose instance
// was inherited, first replaces the parent's map object by one of its own, opened by name.
// Throws PythonErrorSet and what the map constructor throws.
std::shared_ptr<ConcurrentHashMap_string> require_map(QuillmapObject* self);
// The instance that a quillmap (or subclass) object is; callers check the type where it may be
// another (check_target). And back.
inline QuillmapObject* as_quillmap(PyObject* object) noexcept {
  return reinterpret_cast<QuillmapObject*>(object);
}
inline PyObject* as_object(QuillmapObject* self) noexcept {
  return reinterpret_cast<PyObject*>(self);
}

// A function of another calling convention (METH_FASTCALL | METH_KEYWORDS, METH_VARARGS, ...) as
// the PyCFunction that a PyMethodDef holds.
template <class Function>
PyCFunction as_cfunction(Function function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Methods of the class (METH_FASTCALL | METH_KEYWORDS) and module functions.
PyObject* method_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_expansion(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern PyMethodDef function_dict_insert;
extern PyMethodDef function_dict_get;
extern PyMethodDef function_dict_remove;
extern PyMethodDef function_dict_expansion;
extern PyMethodDef function_expansion_worker;
extern PyMethodDef function_check_file;
extern PyMethodDef function_slot_owner_runs;
extern PyMethodDef function_serialize_key;  // quillmap_type.cpp
extern const char method_insert_doc[];
extern const char method_get_doc[];
extern const char method_remove_doc[];
extern const char method_expansion_doc[];

// The serialization steps shared by every operation (operations.cpp; serialize and serialize_key in
// canonical_keys.hpp). A key or value that serialized to None is refused by raise_none_for_bytes.
// The serializer's dumps and loads, each as a lookup of the attribute now would find it.
python::OwnedRef serializer_dumps(PyObject* serializer);
python::OwnedRef serializer_loads(PyObject* serializer);
// The stored value of the key as a bytes object, copied once from the map straight into it; null
// when the key is absent. Raises MemoryError (thrown as PythonErrorSet) when the object cannot be made.
python::OwnedRef stored_bytes(ConcurrentHashMap_string& map, const char* key, std::uint64_t key_len,
                              std::int64_t hash);

// The content and the length of the bytes object that `bytes` holds.
inline const char* bytes_data(const python::OwnedRef& bytes) noexcept {
  return PyBytes_AS_STRING(bytes.get());
}
inline std::uint64_t bytes_length(const python::OwnedRef& bytes) noexcept {
  return static_cast<std::uint64_t>(PyBytes_GET_SIZE(bytes.get()));
}

// What every operation on a key needs: the map object (kept alive for the call), the serializer
// and the key's bytes and hash, made in the order insert makes them.
//
// The key's hash. With the built-in hash as hash_function (the default) it is XXH3 of the key's
// serialized bytes: the same in every process for every key the serializer accepts, whatever the
// key's own __hash__ does (salted str, identity-based objects). The built-in hash is still asked,
// its result dropped, for keys of other types than exact str, bytes, int, float, bool and None, so
// that an unhashable key fails with its TypeError as it always did. With any other function, the
// hash is that function's hash of the key object (pellrook's hash_key).
struct KeyCall;
// Right after the key's serialization: for the default hash, computes it. Returns whether it did.
bool hash_serialized_key(QuillmapObject* self, KeyCall& call) noexcept;
// After every serialization, where insert takes the hash: the rest of the key's hashing, and a
// prefetch of the key's first entry page (whose bucket an operation with values prefetched before
// serializing them, so that its miss overlapped their serialization).
void finish_hash(QuillmapObject* self, PyObject* key, KeyCall& call, bool hashed);

struct KeyCall {
  std::shared_ptr<ConcurrentHashMap_string> map;
  python::OwnedRef serializer;
  python::OwnedRef key_bytes;
  std::int64_t hash = 0;

  [[nodiscard]] const char* key() const noexcept { return bytes_data(key_bytes); }
  [[nodiscard]] std::uint64_t key_length() const noexcept { return bytes_length(key_bytes); }
};

// The key serialized, then hashed, as every operation on one key does it.
KeyCall prepare(QuillmapObject* self, PyObject* key);

// `values` are serialized after the key and before the hash, as insert does.
template <std::size_t Count>
KeyCall prepare(QuillmapObject* self, PyObject* key, PyObject* const (&values)[Count],
                python::OwnedRef (&serialized)[Count]) {
  KeyCall call;
  call.map = require_map(self);
  call.serializer = python::OwnedRef::incref(self->serializer_module);
  call.key_bytes = serialize_key(call.serializer.get(), key);
  const bool hashed = hash_serialized_key(self, call);
  if (hashed) {
    call.map->prefetch_bucket(call.hash);
  }
  for (std::size_t index = 0; index < Count; ++index) {
    serialized[index] = serialize(call.serializer.get(), values[index]);
  }
  finish_hash(self, key, call, hashed);
  if (call.key_bytes.get() == Py_None) {
    raise_none_for_bytes();
  }
  for (const python::OwnedRef& bytes : serialized) {
    if (bytes.get() == Py_None) {
      raise_none_for_bytes();
    }
  }
  return call;
}

// The dict protocol, read-modify-write methods, iteration and lifetime (dict_protocol.cpp).
extern PyMappingMethods quillmap_as_mapping;
extern PySequenceMethods quillmap_as_sequence;
PyObject* quillmap_iter(PyObject* self);
PyObject* quillmap_repr(PyObject* self);
// Methods of the class beyond insert, get, remove and expansion, and their docstrings.
#define CORVANA_DECLARE_METHOD(name)                                                              \
  PyObject* method_##name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames); \
  extern const char method_##name##_doc[]
CORVANA_DECLARE_METHOD(lookup);
CORVANA_DECLARE_METHOD(setdefault);
CORVANA_DECLARE_METHOD(pop);
CORVANA_DECLARE_METHOD(compare_and_set);
CORVANA_DECLARE_METHOD(add);
#undef CORVANA_DECLARE_METHOD
PyObject* method_keys(PyObject* self, PyObject* unused);
PyObject* method_values(PyObject* self, PyObject* unused);
PyObject* method_items(PyObject* self, PyObject* unused);
PyObject* method_close(PyObject* self, PyObject* unused);
PyObject* method_unlink(PyObject* self, PyObject* unused);
PyObject* method___enter__(PyObject* self, PyObject* unused);
PyObject* method___exit__(PyObject* self, PyObject* args);
extern const char method_keys_doc[];
extern const char method_values_doc[];
extern const char method_items_doc[];
extern const char method_close_doc[];
extern const char method_unlink_doc[];
extern const char method___enter___doc[];
extern const char method___exit___doc[];
// Destroys the instance's map object now, if any, as finalization does (quillmap_type.cpp).
void destroy_map(QuillmapObject* self) noexcept;
// Readies the iterator class; called once by the module's execute step.
int ready_iterator_type();

// Native entries (operations.cpp, expansion_driver.cpp).
int native_dict_insert(QuillmapObject* target, PyObject* key, PyObject* value, int flag);
PyObject* native_dict_get(QuillmapObject* target, PyObject* key, int flag);
int native_dict_remove(QuillmapObject* target, PyObject* key, int flag);
int slot_insert(QuillmapObject* self, PyObject* key, PyObject* value, int skip_override);
PyObject* slot_get(QuillmapObject* self, PyObject* key, int skip_override);
int slot_remove(QuillmapObject* self, PyObject* key, int skip_override);
int slot_expansion(QuillmapObject* self, int skip_override, const ExpansionArguments* optional);

// The override lookup of the native method table: the attribute `method_name` of `self` when it is
// not this module's own method `own` (a new reference), else null. Remembers, per `memory`, the
// version tags under which no override was found and skips the lookup while they are unchanged.
python::OwnedRef find_override(QuillmapObject* self, PyObject* method_name, PyCFunction own,
                               OverrideMemory& memory);

}  // namespace corvana::quillmap
