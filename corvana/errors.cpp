#include "corvana/errors.hpp"

#include <cerrno>
#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "corvana/quillmap_internal.hpp"

namespace corvana::quillmap {

namespace {

using python::OwnedRef;

// A path of the file system decoded as a str (as os.fsdecode does), or a new reference to None when
// it is empty or cannot be decoded; never fails with an error set.
OwnedRef decoded_path(const char* path, std::size_t length) noexcept {
  PyObject* decoded =
      length > 0 ? PyUnicode_DecodeFSDefaultAndSize(path, static_cast<Py_ssize_t>(length)) : nullptr;
  PyErr_Clear();  // a name that cannot be decoded only leaves the exception without it
  return decoded != nullptr ? OwnedRef::steal(decoded) : OwnedRef::incref(Py_None);
}
OwnedRef decoded_path(const std::string& path) noexcept { return decoded_path(path.data(), path.size()); }

// The name of the map that `subject` works on (see translate_errors) decoded as a str, or None.
OwnedRef subject_file_name(PyObject* subject) noexcept {
  PyObject* name = subject != nullptr && PyObject_TypeCheck(subject, &quillmap_type) != 0
                       ? as_quillmap(subject)->base.name
                       : subject;
  if (name == nullptr || !PyBytes_Check(name)) {
    return OwnedRef::incref(Py_None);
  }
  return decoded_path(PyBytes_AS_STRING(name), static_cast<std::size_t>(PyBytes_GET_SIZE(name)));
}

// Raises what corvana._exceptions.<factory>(*arguments, **keywords) returns; false (nothing set)
// when the module or the factory is missing or fails, so that the caller raises the plain row.
bool raise_made_exception(const char* factory, PyObject* arguments, PyObject* keywords) noexcept {
  if (!state.exceptions || arguments == nullptr) {
    PyErr_Clear();
    return false;
  }
  const OwnedRef callable = OwnedRef::steal(PyObject_GetAttrString(state.exceptions.get(), factory));
  const OwnedRef exception =
      callable ? OwnedRef::steal(PyObject_Call(callable.get(), arguments, keywords)) : OwnedRef();
  if (!exception || !PyExceptionInstance_Check(exception.get())) {
    PyErr_Clear();
    return false;
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return true;
}

// MemoryFileError (FileNotFoundError for ENOENT, ...) with the errno and the path; the plain
// RuntimeError when that cannot be made.
void set_memory_file_error(const FileStatusUnavailable& error) noexcept {
  const OwnedRef filename = decoded_path(error.path());
  const OwnedRef arguments =
      OwnedRef::steal(Py_BuildValue("(siO)", error.what(), error.error_number(), filename.get()));
  if (!raise_made_exception("memory_file_error", arguments.get(), nullptr)) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
}

// MapFullError for the heap's out-of-memory: for a new map whose size is below the smallest that
// works (`too_small`), with that smallest size and the size asked for; otherwise with neither.
void set_map_full_error(const HeapExhausted& error, const MapSizeTooSmall* too_small) noexcept {
  OwnedRef keywords = OwnedRef::steal(PyDict_New());
  if (too_small != nullptr && keywords) {
    const OwnedRef minimum = OwnedRef::steal(PyLong_FromUnsignedLongLong(too_small->minimum_size()));
    const OwnedRef requested = OwnedRef::steal(PyLong_FromUnsignedLongLong(too_small->requested_size()));
    if (!minimum || !requested || PyDict_SetItemString(keywords.get(), "minimum", minimum.get()) != 0 ||
        PyDict_SetItemString(keywords.get(), "requested", requested.get()) != 0) {
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
// path and the number of slots; the plain RuntimeError when that cannot be made.
void set_process_slots_full_error(const ProcessSlotsExhausted& error) noexcept {
  const OwnedRef keywords = OwnedRef::steal(Py_BuildValue("{sisNsI}", "errno", EBUSY, "filename",
                                                          decoded_path(error.path()).release(), "slot_count",
                                                          static_cast<unsigned>(process_slot_count)));
  const OwnedRef arguments = OwnedRef::steal(Py_BuildValue("(s)", error.what()));
  if (!keywords || !raise_made_exception("ProcessSlotsFullError", arguments.get(), keywords.get())) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
}

// DamagedFileError "the memory file NAME is damaged: DETAIL" with `filename`, NAME being the name of
// `subject`'s map; without a name the exception's own text. RuntimeError before the module made the
// class.
void set_damaged_file_error(const DamagedFile& error, PyObject* subject) noexcept {
  if (!state.damaged_file_error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return;
  }
  const OwnedRef filename = subject_file_name(subject);
  const OwnedRef message = OwnedRef::steal(
      filename.get() != Py_None
          ? PyUnicode_FromFormat("the memory file %U is damaged: %s", filename.get(), error.detail().c_str())
          : PyUnicode_FromString(error.what()));
  const OwnedRef exception =
      message ? OwnedRef::steal(PyObject_CallOneArg(state.damaged_file_error.get(), message.get())) : OwnedRef();
  if (exception && filename.get() != Py_None) {
    static_cast<void>(PyObject_SetAttrString(exception.get(), "filename", filename.get()));
  }
  if (exception) {
    PyErr_SetObject(state.damaged_file_error.get(), exception.get());
  } else if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
}

}  // namespace

void set_python_error_from_current_exception(PyObject* subject) noexcept {
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
    set_damaged_file_error(error, subject);
  } catch (const LockTimeout& error) {
    const OwnedRef arguments = OwnedRef::steal(Py_BuildValue("(s)", error.what()));
    const OwnedRef keywords = OwnedRef::steal(PyDict_New());
    if (!arguments || !keywords || !raise_made_exception("LockTimeoutError", arguments.get(), keywords.get())) {
      PyErr_SetString(PyExc_TimeoutError, error.what());
    }
  } catch (const MapSizeTooSmall& error) {
    set_map_full_error(error, &error);
  } catch (const HeapExhausted& error) {
    set_map_full_error(error, nullptr);
  } catch (const FileStatusUnavailable& error) {
    set_memory_file_error(error);
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
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
  }
}

void add_traceback(const char* function_name, const std::source_location& where) noexcept {
  python_compat::add_traceback_entry(function_name, where.file_name(), static_cast<int>(where.line()));
}

}  // namespace corvana::quillmap
