#include "corvana/errors.hpp"

#if PY_VERSION_HEX >= 0x030D0000
#include <frameobject.h>
#endif

#include <cerrno>
#include <charconv>
#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <string_view>
#include <typeinfo>

#include "corvana/quillmap_internal.hpp"
#include "heap/heap.hpp"

namespace corvana::quillmap {

namespace {

using python::OwnedRef;

thread_local ConstructionContext* current_construction = nullptr;

// The map's text for a file whose status could not be read, followed by the errno.
constexpr std::string_view file_status_prefix = "file status wrong with errno: ";
// The texts of the heap's out-of-memory: the allocator's last error, and strerror(ENOMEM) where a
// cache refill reports it.
constexpr std::string_view heap_full_texts[] = {"mm:alloc: out of memory", "Cannot allocate memory"};

// What an empty map takes of the heap when it is made: its first bucket chunk (empty_bucket_bytes a
// bucket), its bucket chunk table (one word a chunk) and its header and shared cells. These mirror
// the map's records; a test checks that the smallest size computed here makes a map and one byte
// less does not.
constexpr std::uint64_t empty_bucket_bytes = 32;
constexpr std::uint64_t table_slot_bytes = 8;
constexpr std::uint64_t empty_map_overhead_bytes = 944;
// Exponents above this make the bucket chunk alone larger than any size a map could be given.
constexpr unsigned largest_sized_exponent = 50;

// The smallest `size` that makes an empty map of these dimensions, or 0 when it would not fit in
// 64 bits.
std::uint64_t smallest_size(const ConstructionContext& made) noexcept {
  if (made.bucket_chunk_size_exponent > largest_sized_exponent ||
      made.bucket_chunk_number > (std::uint64_t{1} << 56) / table_slot_bytes) {
    return 0;
  }
  return (std::uint64_t{1} << made.bucket_chunk_size_exponent) * empty_bucket_bytes +
         made.bucket_chunk_number * table_slot_bytes + empty_map_overhead_bytes;
}

// The name (bytes) decoded as a str, or a new reference to None; never fails with an error set.
OwnedRef decoded_name(PyObject* name) noexcept {
  PyObject* decoded = name != nullptr && PyBytes_Check(name) && PyBytes_GET_SIZE(name) > 0
                          ? PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(name))
                          : nullptr;
  PyErr_Clear();  // a name that cannot be decoded only leaves the exception without it
  return decoded != nullptr ? OwnedRef::steal(decoded) : OwnedRef::incref(Py_None);
}

// Raises what corvana._exceptions.<factory>(*arguments, **keywords) returns; false (nothing set)
// when the module or the factory is missing or fails, so that the caller raises the plain row.
bool raise_made_exception(const char* factory, PyObject* arguments, PyObject* keywords) noexcept {
  if (state.exceptions == nullptr || arguments == nullptr) {
    PyErr_Clear();
    return false;
  }
  const OwnedRef callable = OwnedRef::steal(PyObject_GetAttrString(state.exceptions, factory));
  const OwnedRef exception =
      callable ? OwnedRef::steal(PyObject_Call(callable.get(), arguments, keywords)) : OwnedRef();
  if (!exception || !PyExceptionInstance_Check(exception.get())) {
    PyErr_Clear();
    return false;
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return true;
}

// MemoryFileError (FileNotFoundError for ENOENT, ...) for the map's "file status wrong with errno: N";
// false for any other text.
bool set_memory_file_error(const std::runtime_error& error) noexcept {
  const std::string_view text = error.what();
  if (!text.starts_with(file_status_prefix)) {
    return false;
  }
  int code = 0;
  const std::string_view digits = text.substr(file_status_prefix.size());
  std::from_chars(digits.data(), digits.data() + digits.size(), code);
  PyObject* name = current_construction != nullptr && current_construction->name != nullptr
                       ? current_construction->name
                       : current_map_name();
  const OwnedRef filename = decoded_name(name);
  const OwnedRef arguments = OwnedRef::steal(Py_BuildValue("(siO)", error.what(), code, filename.get()));
  return raise_made_exception("memory_file_error", arguments.get(), nullptr);
}

bool is_heap_full_text(std::string_view text) noexcept {
  for (const std::string_view full : heap_full_texts) {
    if (text == full) {
      return true;
    }
  }
  return false;
}

// MapFullError for the heap's out-of-memory: during the making of a new map whose size is below the
// smallest that works, with that smallest size; otherwise with none.
void set_map_full_error(const std::exception& error) noexcept {
  const ConstructionContext* made = current_construction;
  const std::uint64_t minimum = made != nullptr && made->creates ? smallest_size(*made) : 0;
  OwnedRef keywords = OwnedRef::steal(PyDict_New());
  if (keywords && minimum != 0 && made->size < minimum) {
    const OwnedRef minimum_value = OwnedRef::steal(PyLong_FromUnsignedLongLong(minimum));
    const OwnedRef requested_value = OwnedRef::steal(PyLong_FromUnsignedLongLong(made->size));
    if (!minimum_value || !requested_value || PyDict_SetItemString(keywords.get(), "minimum", minimum_value.get()) != 0 ||
        PyDict_SetItemString(keywords.get(), "requested", requested_value.get()) != 0) {
      keywords = OwnedRef();
    }
  }
  const OwnedRef arguments = OwnedRef::steal(Py_BuildValue("(s)", error.what()));
  if (!keywords || !raise_made_exception("MapFullError", arguments.get(), keywords.get())) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
}

void set_serializer_not_installed_error(const SerializerNotInstalled& error) noexcept {
  const OwnedRef keywords = OwnedRef::steal(Py_BuildValue("{ss}", "name", error.package().c_str()));
  const OwnedRef arguments = OwnedRef::steal(Py_BuildValue("(s)", error.what()));
  if (!keywords || !raise_made_exception("SerializerNotInstalledError", arguments.get(), keywords.get())) {
    PyErr_SetString(PyExc_NameError, error.what());
  }
}

// ProcessSlotsFullError (RuntimeError + OSError, errno EBUSY) with the opening's text, the file's
// name and the number of slots; the plain RuntimeError when that cannot be made.
void set_process_slots_full_error(const ProcessSlotsExhausted& error) noexcept {
  PyObject* name = current_construction != nullptr && current_construction->name != nullptr
                       ? current_construction->name
                       : current_map_name();
  const OwnedRef keywords = OwnedRef::steal(Py_BuildValue("{sisNsI}", "errno", EBUSY, "filename",
                                                          decoded_name(name).release(), "slot_count",
                                                          static_cast<unsigned>(process_slot_count)));
  const OwnedRef arguments = OwnedRef::steal(Py_BuildValue("(s)", error.what()));
  if (!keywords || !raise_made_exception("ProcessSlotsFullError", arguments.get(), keywords.get())) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
}

// DamagedFileError "the memory file NAME is damaged: DETAIL" with `filename`; RuntimeError with the
// exception's own text before the module made the class.
void set_damaged_file_error(const DamagedFile& error) noexcept {
  if (state.damaged_file_error == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return;
  }
  PyObject* name = current_map_name();
  PyObject* filename = name != nullptr && PyBytes_Check(name) && PyBytes_GET_SIZE(name) > 0
                           ? PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(name))
                           : nullptr;
  PyErr_Clear();  // a name that cannot be decoded only leaves the message without it
  PyObject* message = filename != nullptr
                          ? PyUnicode_FromFormat("the memory file %U is damaged: %s", filename, error.detail().c_str())
                          : PyUnicode_FromString(error.what());
  PyObject* exception =
      message != nullptr ? PyObject_CallOneArg(state.damaged_file_error, message) : nullptr;
  if (exception != nullptr && filename != nullptr) {
    static_cast<void>(PyObject_SetAttrString(exception, "filename", filename));
  }
  if (exception != nullptr) {
    PyErr_SetObject(state.damaged_file_error, exception);
  } else if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  Py_XDECREF(exception);
  Py_XDECREF(message);
  Py_XDECREF(filename);
}

}  // namespace

ConstructionContext::ConstructionContext() noexcept : previous_(std::exchange(current_construction, this)) {}
ConstructionContext::~ConstructionContext() { current_construction = previous_; }

void set_python_error_from_current_exception() noexcept {
  // The order of the handlers is the order of the rows: a derived exception takes the first row of
  // a class it derives from (ios_base::failure before the runtime_error it derives from).
  try {
    throw;
  } catch (const python::PythonErrorSet&) {
    // The Python error is already set.
  } catch (const InterruptedWait& error) {
    // A signal handler raised while the operation waited for a lock: its exception (Ctrl-C gives
    // KeyboardInterrupt) is already set and is what the caller sees.
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_RuntimeError, error.what());
    }
  } catch (const DamagedFile& error) {
    set_damaged_file_error(error);
  } catch (const LockTimeout& error) {
    const OwnedRef arguments = OwnedRef::steal(Py_BuildValue("(s)", error.what()));
    const OwnedRef keywords = OwnedRef::steal(PyDict_New());
    if (!arguments || !keywords || !raise_made_exception("LockTimeoutError", arguments.get(), keywords.get())) {
      PyErr_SetString(PyExc_TimeoutError, error.what());
    }
  } catch (const HeapExhausted& error) {
    set_map_full_error(error);
  } catch (const SerializerNotInstalled& error) {
    set_serializer_not_installed_error(error);
  } catch (const ProcessSlotsExhausted& error) {
    set_process_slots_full_error(error);
  } catch (const std::bad_alloc& error) {
    PyErr_SetString(PyExc_MemoryError, error.what());
  } catch (const std::bad_cast& error) {
    PyErr_SetString(PyExc_TypeError, error.what());
  } catch (const std::bad_typeid& error) {
    PyErr_SetString(PyExc_TypeError, error.what());
  } catch (const std::domain_error& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::invalid_argument& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::ios_base::failure& error) {
    PyErr_SetString(PyExc_OSError, error.what());
  } catch (const std::out_of_range& error) {
    PyErr_SetString(PyExc_IndexError, error.what());
  } catch (const std::overflow_error& error) {
    PyErr_SetString(PyExc_OverflowError, error.what());
  } catch (const std::range_error& error) {
    PyErr_SetString(PyExc_ArithmeticError, error.what());
  } catch (const std::underflow_error& error) {
    PyErr_SetString(PyExc_ArithmeticError, error.what());
  } catch (const std::runtime_error& error) {
    if (is_heap_full_text(error.what())) {
      set_map_full_error(error);
    } else if (!set_memory_file_error(error)) {
      PyErr_SetString(PyExc_RuntimeError, error.what());
    }
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
  }
}

void add_traceback(const char* function_name, const std::source_location& where) noexcept {
#if PY_VERSION_HEX < 0x030D0000
  _PyTraceback_Add(function_name, where.file_name(), static_cast<int>(where.line()));
#else
  // The interpreter no longer offers its helper for this; the same entry is made from public calls:
  // an empty code object whose first line is `where`, a frame running it, and that frame added to
  // the traceback of the exception being raised. A failure keeps the original exception.
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) {
    return;  // no exception to add an entry to
  }
  PyObject* globals = PyDict_New();
  PyCodeObject* code =
      globals != nullptr ? PyCode_NewEmpty(where.file_name(), function_name, static_cast<int>(where.line()))
                         : nullptr;
  PyFrameObject* frame = code != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
  Py_XDECREF(code);
  Py_XDECREF(globals);
  PyErr_Clear();  // a failure above only loses the extra traceback entry
  PyErr_SetRaisedException(raised);
  if (frame != nullptr) {
    static_cast<void>(PyTraceBack_Here(frame));
    Py_DECREF(frame);
  }
#endif
}

}  // namespace corvana::quillmap
