#include "corvana/errors.hpp"

#if PY_VERSION_HEX >= 0x030D0000
#include <frameobject.h>
#endif

#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "corvana/quillmap_internal.hpp"
#include "heap/heap.hpp"

namespace corvana::quillmap {

namespace {

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
