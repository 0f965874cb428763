#include "corvana/errors.hpp"

#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

namespace corvana::quillmap {

void set_python_error_from_current_exception() noexcept {
  // The order of the handlers is the order of the rows: a derived exception takes the first row of
  // a class it derives from (ios_base::failure before the runtime_error it derives from).
  try {
    throw;
  } catch (const python::PythonErrorSet&) {
    // The Python error is already set.
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
  _PyTraceback_Add(function_name, where.file_name(), static_cast<int>(where.line()));
}

}  // namespace corvana::quillmap
