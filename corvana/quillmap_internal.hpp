// Declarations shared by the source files of the corvana.quillmap extension module: its process-
// wide state, the class, and the entry points that module initialisation binds. Private to the
// module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "corvana/canonical_keys.hpp"
#include "corvana/native_api.hpp"
#include "corvana/python_ref.hpp"
#include "corvana/quillmap.hpp"
#include "map/map.hpp"

namespace corvana::quillmap {

// Interned strings: every attribute name and literal the module uses, created once at import.
struct Strings {
  PyObject* dumps;
  PyObject* loads;
  PyObject* insert;
  PyObject* get;
  PyObject* remove;
  PyObject* expansion;
  PyObject* init;
  PyObject* json;
  PyObject* encode;
  PyObject* decode;
  PyObject* msgspec;
  PyObject* pickle;
  PyObject* orjson;
  PyObject* msgpack;
  PyObject* os;
  PyObject* cpu_count;
  PyObject* multiprocessing;
  PyObject* get_context;
  PyObject* process;
  PyObject* pipe;
  PyObject* target;
  PyObject* args;
  PyObject* daemon;
  PyObject* start;
  PyObject* sentinel;
  PyObject* exitcode;
  PyObject* poll;
  PyObject* recv;
  PyObject* send;
  PyObject* close;
  PyObject* join;
  PyObject* terminate;
  PyObject* kill;
  PyObject* wait;
  PyObject* dict_expansion;
  PyObject* expansion_worker;
  PyObject* format;
  PyObject* expansion_error_text;  // "Subprocess finished with error{}"
};

// Process-wide module state. Written only while the module is imported (with the GIL and the
// import lock held); read by the class and the functions afterwards.
struct ModuleState {
  PyObject* module = nullptr;        // the one module object of the process (owned); null before
  std::int64_t interpreter_id = -1;  // the interpreter that first created the module
  PyObject* builtins = nullptr;      // the builtins module
  Strings strings{};
  PyObject* int_0 = nullptr;
  PyObject* int_1 = nullptr;
  PyObject* empty_tuple = nullptr;
  PyObject* empty_bytes = nullptr;
  PyObject* empty_str = nullptr;
  // Built-ins looked up once.
  PyObject* builtin_super = nullptr;
  PyObject* builtin_range = nullptr;
  PyObject* value_error = nullptr;
  PyObject* import_error = nullptr;
  PyObject* memory_error = nullptr;
  PyObject* runtime_error = nullptr;
  PyObject* type_error = nullptr;
  PyObject* damaged_file_error = nullptr;  // corvana.quillmap.DamagedFileError
  PyObject* exceptions = nullptr;          // the module corvana._exceptions (its classes and factories)
  // The default of hash_function: the built-in hash as found at import.
  PyObject* default_hash_function = nullptr;
  // From the siblings.
  PyTypeObject* base_type = nullptr;            // corvana.pellrook.pellrook
  PyTypeObject* atomic_object_type = nullptr;   // corvana.tarnwick.atomic_object
  const void* atomic_object_methods = nullptr;  // its native method table
  PyTypeObject* array2d_type = nullptr;         // corvana.tarnwick.array2d
  native_api::HashKeyFunction hash_key = nullptr;
  native_api::MystringFromPointerFunction mystring_from_pointer = nullptr;
  const int* platform = nullptr;
  PyObject* const* unsigned_type = nullptr;
  const int* mmap_flags = nullptr;
  const int* mmap_privilege = nullptr;
};

extern ModuleState state;
// The map name used when the caller gives none: empty, which makes the map create a new file.
extern const std::string default_map_name;

// The class (quillmap_type.cpp).
extern PyTypeObject quillmap_type;
extern const QuillmapMethods quillmap_methods;
// Readies the class on `base`, gives __init__ its docstring and publishes the native method table.
int ready_quillmap_type(PyTypeObject* base);

// The value of a global of the module: its dictionary first, then the builtins. NameError
// "name '<name>' is not defined" when neither has it. Throws PythonErrorSet.
python::OwnedRef module_global(PyObject* name);

// The map of an instance, or RuntimeError when it holds none. In a forked child whose instance
// was inherited, first replaces the parent's map object by one of its own, opened by name.
// Throws PythonErrorSet and what the map constructor throws.
std::shared_ptr<ConcurrentHashMap_string> require_map(QuillmapObject* self);
// The name (bytes) of the map whose operation this thread last began through require_map, borrowed
// and valid while that operation runs; null before any. Names the file in a damaged-file error.
PyObject* current_map_name() noexcept;
// Makes `name` the current map name for a scope (for code that opens a map without an instance).
class CurrentMapName {
 public:
  explicit CurrentMapName(PyObject* name) noexcept;
  ~CurrentMapName();
  CurrentMapName(const CurrentMapName&) = delete;
  CurrentMapName& operator=(const CurrentMapName&) = delete;

 private:
  PyObject* previous_;
};


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
extern const char method_insert_doc[];
extern const char method_get_doc[];
extern const char method_remove_doc[];
extern const char method_expansion_doc[];

// The serialization steps shared by every operation (operations.cpp). serialize: dumps(object) of
// the serializer, looked up afresh, which must give exactly bytes or None (TypeError "Expected
// bytes, got <type>"); raise_serialized_none: TypeError "expected bytes, NoneType found", for a key
// or value that serialized to None.
python::OwnedRef serialize(PyObject* serializer, PyObject* object);
// The serializer's dumps and loads, each as a lookup of the attribute now would find it.
python::OwnedRef serializer_dumps(PyObject* serializer);
python::OwnedRef serializer_loads(PyObject* serializer);
[[noreturn]] void raise_serialized_none();
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
    raise_serialized_none();
  }
  for (const python::OwnedRef& bytes : serialized) {
    if (bytes.get() == Py_None) {
      raise_serialized_none();
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

// Native entries (operations.cpp, expansion.cpp).
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
struct OverrideMemory {
  std::uint64_t type_tag = 0;
  std::uint64_t dict_tag = 0;
};
python::OwnedRef find_override(QuillmapObject* self, PyObject* method_name, PyCFunction own,
                               OverrideMemory& memory);

}  // namespace corvana::quillmap
