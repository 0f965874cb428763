// corvana.quillmap._check_file(name): the soundness check of a memory file, for the command line
// (python -m corvana check FILE). It opens the map as any process does, walks every bucket under
// its lock (so changes that dead processes left half done are finished or undone first, as for any
// reader), follows every entry page and out-of-line string, and every free list and cache, and
// changes no entry. A damaged file raises RuntimeError naming what is wrong.
#include <string>

#include "corvana/arguments.hpp"
#include "corvana/errors.hpp"
#include "corvana/quillmap_internal.hpp"
#include "map/map.hpp"

namespace corvana::quillmap {
namespace {

using python::OwnedRef;
using python::PythonErrorSet;

const char check_file_doc[] =
    "_check_file(name: bytes) -> dict\n"
    "checks the memory file of an existing map: every offset in bounds, every list ending, no chunk "
    "both free and in use; returns the counts found, or raises RuntimeError naming the damage";

constexpr const char* check_file_names[] = {"name"};
constexpr Signature check_file_signature{"_check_file", check_file_names, 1};

void set_count(PyObject* dict, const char* key, std::uint64_t value) {
  const OwnedRef number = OwnedRef::checked(PyLong_FromUnsignedLongLong(value));
  python::check_status(PyDict_SetItemString(dict, key, number.get()));
}

PyObject* function_check_file_impl(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  PyObject* file_name = nullptr;  // the file a failure names, once bound
  return translate_errors<PyObject*>("corvana.quillmap._check_file", nullptr, file_name, [&] {
    PyObject* bound[1];
    bind_arguments(check_file_signature, args, nargs, kwnames, bound);
    check_argument_type(bound[0], &PyBytes_Type, "name", false);
    if (PyBytes_GET_SIZE(bound[0]) == 0) {
      PyErr_SetString(PyExc_ValueError, "_check_file needs the name of an existing map; the name is empty");
      throw PythonErrorSet{};
    }
    file_name = bound[0];
    std::string name = path_from_name(file_name);
    // These dimensions only pass the parameter checks: an existing map brings its own.
    ConcurrentHashMap_string map(name, 2, 2, 2, 3);
    const StringMapCheck found = map.check(true);
    OwnedRef result = OwnedRef::checked(PyDict_New());
    set_count(result.get(), "entries", found.entry_count);
    set_count(result.get(), "element_count", map.element_count());
    set_count(result.get(), "buckets", found.bucket_count);
    set_count(result.get(), "chunks_in_use", found.chunk_count);
    set_count(result.get(), "free_chunks", found.free_chunk_count);
    return result.release();
  });
}

}  // namespace

PyMethodDef function_check_file = {
    "_check_file", as_cfunction(function_check_file_impl),
    METH_FASTCALL | METH_KEYWORDS, check_file_doc};

}  // namespace corvana::quillmap
