// Initialisation of corvana.quillmap (multi-phase): a create step that makes the one module object
// of the process, and an execute step that fills it and its state, in this order: builtins and
// version check, strings and constants, sys.modules entry, the native API table, the sibling
// corvana.pellrook and the class, the built-in type checks and corvana.tarnwick, the siblings'
// native names, the standard modules, the optional serializers, the functions, the default hash
// function, the class's methods, DamagedFileError and the exception classes of corvana._exceptions.
//
// The module lives in one interpreter per process and is initialised at most once; a failed
// initialisation clears the registration, so that the next import starts again from the start.
// Everything here runs with the GIL and the import lock held.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <source_location>

#include "corvana/arguments.hpp"
#include "corvana/errors.hpp"
#include "corvana/quillmap_internal.hpp"

namespace corvana::quillmap {

ModuleStateStorage module_state_storage;

namespace {

using python::OwnedRef;
using python::PythonErrorSet;

constexpr const char* module_qualified_name = "corvana.quillmap";
constexpr const char* pellrook_module_name = "corvana.pellrook";
constexpr const char* tarnwick_module_name = "corvana.tarnwick";

// Where the execute step is: the traceback entry of a failed import names this line.
struct InitProgress {
  std::source_location where = std::source_location::current();
  void at(std::source_location here = std::source_location::current()) noexcept { where = here; }
};

// The interpreter that first created the module: the process's, not the module's, since it decides
// whether a module may be created at all (-1 before the first creation).
std::int64_t module_interpreter_id = -1;

PyObject* module_dict() {
  return PyModule_GetDict(state.module.get());
}

void set_module_attribute(const char* name, PyObject* value) {
  python::check_status(PyDict_SetItemString(module_dict(), name, value));
}

// ---------------------------------------------------------------------------------------------
// Checks of what the siblings offer

// The type `type_name` of `module`, accepted when its instances are at least `expected_size` bytes.
OwnedRef import_type(PyObject* module, const char* module_name, const char* type_name,
                     Py_ssize_t expected_size, std::size_t alignment) {
  OwnedRef attribute = OwnedRef::checked(PyObject_GetAttrString(module, type_name));
  if (!PyType_Check(attribute.get())) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, type_name);
    throw PythonErrorSet{};
  }
  auto* type = reinterpret_cast<PyTypeObject*>(attribute.get());
  const Py_ssize_t basic_size = type->tp_basicsize;
  Py_ssize_t item_size = type->tp_itemsize;
  if (item_size != 0) {
    // A variable-size type counts one item, at least as wide as the alignment of the record.
    if (static_cast<std::size_t>(expected_size) % alignment != 0) {
      alignment = static_cast<std::size_t>(expected_size) % alignment;
    }
    item_size = std::max(item_size, static_cast<Py_ssize_t>(alignment));
  }
  if (basic_size + item_size < expected_size) {
    PyErr_Format(
        PyExc_ValueError,
        "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got "
        "%zd from PyObject",
        module_name, type_name, expected_size, basic_size);
    throw PythonErrorSet{};
  }
  if (basic_size > expected_size) {
    char warning[400];
    std::snprintf(
        warning, sizeof warning,
        "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from "
        "PyObject",
        module_name, type_name, static_cast<std::size_t>(expected_size),
        static_cast<std::size_t>(basic_size));
    python::check_status(PyErr_WarnEx(nullptr, warning, 0));
  }
  return attribute;
}

// The address published by a type's native method table.
const void* import_methods(PyTypeObject* type) {
  const OwnedRef key = OwnedRef::checked(PyUnicode_FromString(native_api::methods_key));
  const OwnedRef capsule = OwnedRef::checked(PyObject_GetItem(type->tp_dict, key.get()));
  void* address = PyCapsule_IsValid(capsule.get(), PyCapsule_GetName(capsule.get())) != 0
                      ? PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()))
                      : nullptr;
  if (address == nullptr) {
    PyErr_Clear();
    PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
    throw PythonErrorSet{};
  }
  return address;
}

enum class EntryKind { variable, function };

// The address of `name` in the native API table of `module`, accepted when its signature text is
// `signature`.
void* import_entry(PyObject* module, const char* module_name, const char* name, const char* signature,
                   EntryKind kind) {
  const char* kind_text = kind == EntryKind::variable ? "variable" : "function";
  const OwnedRef table = OwnedRef::checked(PyObject_GetAttrString(module, native_api::api_attribute));
  PyObject* capsule = PyDict_Check(table.get()) ? PyDict_GetItemString(table.get(), name) : nullptr;
  if (capsule == nullptr) {
    PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %s %.200s", module_name, kind_text,
                 name);
    throw PythonErrorSet{};
  }
  const char* found = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
  if (found == nullptr || std::strcmp(found, signature) != 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "C %s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                 kind_text, module_name, name, signature, found != nullptr ? found : "(no signature)");
    throw PythonErrorSet{};
  }
  void* address = PyCapsule_GetPointer(capsule, signature);
  if (address == nullptr) {
    throw PythonErrorSet{};
  }
  return address;
}

// ---------------------------------------------------------------------------------------------
// The steps of the execute step

void check_version() {
  int running_major = 0;
  int running_minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &running_major, &running_minor) != 2 ||
      running_major != PY_MAJOR_VERSION || running_minor != PY_MINOR_VERSION) {
    python::check_status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                          "compile time Python version %d.%d of module '%.100s' %s runtime "
                                          "version %d.%d",
                                          PY_MAJOR_VERSION, PY_MINOR_VERSION, module_qualified_name,
                                          "does not match", running_major, running_minor));
  }
}

void create_constants() {
  for (const StringText& entry : string_texts) {
    state.strings.*entry.field = OwnedRef::checked(PyUnicode_InternFromString(entry.text));
  }
  state.empty_tuple = OwnedRef::checked(PyTuple_New(0));
}

void register_in_sys_modules() {
  PyObject* modules = PyImport_GetModuleDict();
  const int present =
      PyDict_Contains(modules, OwnedRef::checked(PyUnicode_FromString(module_qualified_name)).get());
  python::check_status(present);
  if (present == 0) {
    python::check_status(PyDict_SetItemString(modules, module_qualified_name, state.module.get()));
  }
}

OwnedRef builtin(const char* name) {
  OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(state.builtins.get(), name));
  if (!value) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) {
      throw PythonErrorSet{};
    }
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw PythonErrorSet{};
  }
  return value;
}

void export_native_entries() {
  struct Export {
    const char* name;
    void* address;
    const char* signature;
  };
  const Export exports[] = {
      {"dict_insert", reinterpret_cast<void*>(&native_dict_insert), native_api::dict_insert_signature},
      {"dict_get", reinterpret_cast<void*>(&native_dict_get), native_api::dict_get_signature},
      {"dict_remove", reinterpret_cast<void*>(&native_dict_remove), native_api::dict_remove_signature},
  };
  for (const Export& entry : exports) {
    python::check_status(
        native_api::publish_entry(state.module.get(), entry.name, entry.address, entry.signature));
  }
}

void import_pellrook_and_ready_class() {
  const OwnedRef pellrook = OwnedRef::checked(PyImport_ImportModule(pellrook_module_name));
  // The class keeps its base as a borrowed pointer: pellrook is a static type, never deallocated.
  const OwnedRef base = import_type(pellrook.get(), pellrook_module_name, "pellrook", native_api::pellrook_size,
                                    alignof(native_api::PellrookObject));
  python::check_status(ready_quillmap_type(reinterpret_cast<PyTypeObject*>(base.get())));
  python::check_status(ready_iterator_type());
  set_module_attribute("quillmap", reinterpret_cast<PyObject*>(&quillmap_type));
}

// Checks what the module was compiled against: the sizes of built-in types and of tarnwick's types,
// and the native method table of atomic_object.
void check_builtin_types_and_import_tarnwick() {
  const OwnedRef builtins_module = state.builtins;
  import_type(builtins_module.get(), "builtins", "type", sizeof(PyHeapTypeObject), alignof(PyHeapTypeObject));
  import_type(builtins_module.get(), "builtins", "bool", sizeof(PyLongObject), alignof(PyLongObject));
  import_type(builtins_module.get(), "builtins", "complex", sizeof(PyComplexObject),
              alignof(PyComplexObject));
  const OwnedRef tarnwick = OwnedRef::checked(PyImport_ImportModule(tarnwick_module_name));
  const OwnedRef atomic_object_type =
      import_type(tarnwick.get(), tarnwick_module_name, "atomic_object", native_api::atomic_object_size, 8);
  static_cast<void>(import_methods(reinterpret_cast<PyTypeObject*>(atomic_object_type.get())));
  static_cast<void>(import_type(tarnwick.get(), tarnwick_module_name, "array2d", native_api::array2d_size, 8));
}

// pellrook's hash_key, which the operations call; and the checks of tarnwick's native names, which
// only have to be there with the signatures this module was compiled against.
void import_native_names() {
  const OwnedRef tarnwick = OwnedRef::checked(PyImport_ImportModule(tarnwick_module_name));
  const OwnedRef pellrook = OwnedRef::checked(PyImport_ImportModule(pellrook_module_name));
  const struct {
    const char* name;
    const char* signature;
    EntryKind kind;
  } checked_names[] = {
      {native_api::platform_name, native_api::int_variable_signature, EntryKind::variable},
      {native_api::unsigned_type_name, native_api::object_variable_signature, EntryKind::variable},
      {native_api::mmap_flags_name, native_api::int_variable_signature, EntryKind::variable},
      {native_api::mmap_privilege_name, native_api::int_variable_signature, EntryKind::variable},
  };
  for (const auto& entry : checked_names) {
    static_cast<void>(import_entry(tarnwick.get(), tarnwick_module_name, entry.name, entry.signature, entry.kind));
  }
  state.hash_key = reinterpret_cast<native_api::HashKeyFunction>(
      import_entry(pellrook.get(), pellrook_module_name, native_api::hash_key_name,
                   native_api::hash_key_signature, EntryKind::function));
  static_cast<void>(import_entry(tarnwick.get(), tarnwick_module_name, native_api::mystring_from_pointer_name,
                                 native_api::mystring_from_pointer_signature, EntryKind::function));
}

// `import <module>` (attribute empty) or `from <module> import <attribute>`, bound as `bound_name`.
void import_and_bind(const char* module_name, const char* attribute, const char* bound_name) {
  OwnedRef value = OwnedRef::checked(PyImport_ImportModule(module_name));
  if (attribute != nullptr) {
    value = OwnedRef::checked(PyObject_GetAttrString(value.get(), attribute));
  }
  set_module_attribute(bound_name, value.get());
}

void import_standard_modules() {
  import_and_bind("logging", nullptr, "logging");
  import_and_bind("pathlib", "Path", "Path");
  import_and_bind("logging.handlers", "RotatingFileHandler", "RotatingFileHandler");
  import_and_bind("multiprocessing", nullptr, "multiprocessing");
  import_and_bind("os", nullptr, "os");
  import_and_bind("typing", "Callable", "Callable");
}

// import <name>, bound as <name>; false (and nothing bound) when the import raises ImportError.
bool guarded_import(const char* name) {
  const OwnedRef module = OwnedRef::steal(PyImport_ImportModule(name));
  if (!module) {
    if (PyErr_ExceptionMatches(PyExc_ImportError) == 0) {
      throw PythonErrorSet{};
    }
    PyErr_Clear();
    return false;
  }
  set_module_attribute(name, module.get());
  return true;
}

void import_serializers() {
  guarded_import("pickle");
  guarded_import("json");
  guarded_import("orjson");
  guarded_import("msgpack");
  if (guarded_import("msgspec")) {
    // `import msgspec.json` binds the package, which is bound already; the submodule is loaded.
    const OwnedRef submodule = OwnedRef::steal(PyImport_ImportModule("msgspec.json"));
    if (!submodule) {
      if (PyErr_ExceptionMatches(PyExc_ImportError) == 0) {
        throw PythonErrorSet{};
      }
      PyErr_Clear();
    }
  }
}

void bind_functions() {
  const OwnedRef module_name = OwnedRef::checked(PyModule_GetNameObject(state.module.get()));
  for (PyMethodDef* definition :
       {&function_dict_insert, &function_dict_get, &function_dict_remove, &function_dict_expansion,
        &function_expansion_worker, &function_check_file, &function_slot_owner_runs,
        &function_serialize_key}) {
    const OwnedRef function =
        OwnedRef::checked(PyCFunction_NewEx(definition, state.module.get(), module_name.get()));
    set_module_attribute(definition->ml_name, function.get());
  }
}

// The exceptions that keep the type and text of a failure and add the standard type a user catches
// (corvana._exceptions): kept for the translation of failures and bound in the module.
void import_exceptions() {
  state.exceptions = OwnedRef::checked(PyImport_ImportModule("corvana._exceptions"));
  for (const char* name : {"MemoryFileError", "MemoryFileNotFoundError", "MemoryFilePermissionError", "MapFullError",
                           "SerializerNotInstalledError", "LockTimeoutError", "ProcessSlotsFullError"}) {
    set_module_attribute(name, OwnedRef::checked(PyObject_GetAttrString(state.exceptions.get(), name)).get());
  }
}

void execute_steps(InitProgress& progress) {
  progress.at();
  state.builtins = OwnedRef::checked(PyImport_ImportModule("builtins"));
  set_module_attribute("__builtins__", state.builtins.get());
  progress.at();
  check_version();
  progress.at();
  create_constants();
  progress.at();
  register_in_sys_modules();
  progress.at();
  state.builtin_super = builtin("super");
  progress.at();
  export_native_entries();
  progress.at();
  import_pellrook_and_ready_class();
  progress.at();
  check_builtin_types_and_import_tarnwick();
  progress.at();
  import_native_names();
  progress.at();
  import_standard_modules();
  progress.at();
  import_serializers();
  progress.at();
  bind_functions();
  progress.at();
  state.default_hash_function = builtin("hash");
  progress.at();
  // The methods insert, get, remove and expansion and the refusal of pickling came with the class.
  PyType_Modified(&quillmap_type);
  progress.at();
  state.damaged_file_error = OwnedRef::checked(PyErr_NewExceptionWithDoc(
      "corvana.quillmap.DamagedFileError",
      "A memory file holds what cannot be (an offset that names no record of its kind, a list that does not "
      "end): the file is damaged. Nothing was followed past the damage. The attribute filename names the file "
      "when it is known.",
      PyExc_RuntimeError, nullptr));
  set_module_attribute("DamagedFileError", state.damaged_file_error.get());
  progress.at();
  import_exceptions();
  set_module_attribute("__test__", OwnedRef::checked(PyDict_New()).get());
}

// Empties the module state: its fields first, then the objects they held are released (whose
// release may run code that looks at the state).
void clear_state() noexcept {
  ModuleState cleared = std::exchange(state, ModuleState{});
  python_compat::clear_dict_watcher(cleared.dict_watcher);
}

// The module's garbage-collector support and its end, for the module that owns the state (a module
// whose execution failed owns none, and may outlive the one made after it). See ModuleState.
int module_traverse(PyObject* module, visitproc visit, void* arg) {
  return module == state.module.get() ? state.visit_owned([&](PyObject* object) { return visit(object, arg); }) : 0;
}

int module_clear(PyObject* module) {
  if (module == state.module.get()) {
    clear_state();
  }
  return 0;
}

void module_free(void* module) {
  module_clear(static_cast<PyObject*>(module));
}

// ---------------------------------------------------------------------------------------------
// The two steps

PyObject* module_create(PyObject* spec, PyModuleDef* /*definition*/) {
  const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (module_interpreter_id == -1) {
    module_interpreter_id = interpreter_id;
    if (interpreter_id == -1) {
      return nullptr;
    }
  } else if (interpreter_id != module_interpreter_id) {
    PyErr_SetString(
        PyExc_ImportError,
        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (state.module) {
    return Py_NewRef(state.module.get());
  }
  return translate_errors<PyObject*>(nullptr, nullptr, [&] {
    const OwnedRef name = OwnedRef::checked(PyObject_GetAttrString(spec, "name"));
    OwnedRef module = OwnedRef::checked(PyModule_NewObject(name.get()));
    PyObject* dict = PyModule_GetDict(module.get());
    struct Copy {
      const char* from;
      const char* to;
      bool skip_none;
    };
    for (const Copy& copy :
         {Copy{"loader", "__loader__", false}, Copy{"origin", "__file__", false},
          Copy{"parent", "__package__", false}, Copy{"submodule_search_locations", "__path__", true}}) {
      const OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(spec, copy.from));
      if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) {
          throw PythonErrorSet{};
        }
        PyErr_Clear();
        continue;
      }
      if (copy.skip_none && value.get() == Py_None) {
        continue;
      }
      python::check_status(PyDict_SetItemString(dict, copy.to, value.get()));
    }
    return module.release();
  });
}

int module_exec(PyObject* module) {
  if (state.module) {
    if (state.module.get() == module) {
      return 0;
    }
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'quillmap' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  state.module = OwnedRef::incref(module);
  InitProgress progress;
  const int status = translate_errors(nullptr, -1, [&] {
    execute_steps(progress);
    return 0;
  });
  if (status == 0) {
    return 0;
  }
  constexpr const char* failed_step = "init corvana.quillmap";
  add_traceback(failed_step, progress.where);
  clear_state();
  if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_ImportError, failed_step);
  }
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

// m_size 0: the state is ModuleState, one per process, which m_traverse, m_clear and m_free govern.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "quillmap", nullptr, 0, nullptr, module_slots, module_traverse, module_clear, module_free,
};

}  // namespace

void raise_not_initialised() {
  PyErr_SetString(PyExc_RuntimeError, "corvana.quillmap is not initialised");
  throw PythonErrorSet{};
}

void require_initialised() {
  if (!state.module) {
    raise_not_initialised();
  }
}

OwnedRef module_global(PyObject* name) {
  require_initialised();
  PyObject* value = PyDict_GetItemWithError(module_dict(), name);
  if (value == nullptr && PyErr_Occurred() == nullptr && state.builtins) {
    value = PyDict_GetItemWithError(PyModule_GetDict(state.builtins.get()), name);
  }
  if (value == nullptr) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    throw PythonErrorSet{};
  }
  return OwnedRef::incref(value);
}

}  // namespace corvana::quillmap

PyMODINIT_FUNC PyInit_quillmap() {
  return PyModuleDef_Init(&corvana::quillmap::module_definition);
}
