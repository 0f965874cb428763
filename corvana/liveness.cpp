// corvana.quillmap._slot_owner_runs(slot): whether the process recorded in a process slot of a
// memory file still runs, as /proc tells it, for the command line's count of the processes that
// have a file open (python -m corvana info, list). It reads the bytes it is given, never a file.
#include "corvana/arguments.hpp"
#include "corvana/errors.hpp"
#include "corvana/quillmap_internal.hpp"
#include "map/map.hpp"

namespace corvana::quillmap {
namespace {

using python::PythonErrorSet;

const char slot_owner_runs_doc[] =
    "_slot_owner_runs(slot: bytes) -> bool | None\n"
    "whether the process recorded in a process slot (its first bytes, as read from the memory file) "
    "still runs: True, False, or None when /proc cannot tell (another PID namespace, no /proc)";

constexpr const char* slot_owner_runs_names[] = {"slot"};
constexpr Signature slot_owner_runs_signature{"_slot_owner_runs", slot_owner_runs_names, 1};

PyObject* function_slot_owner_runs_impl(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap._slot_owner_runs", nullptr, [&]() -> PyObject* {
    PyObject* bound[1];
    bind_arguments(slot_owner_runs_signature, args, nargs, kwnames, bound);
    check_argument_type(bound[0], &PyBytes_Type, "slot", false);
    if (static_cast<std::size_t>(PyBytes_GET_SIZE(bound[0])) < process_slot_head_bytes) {
      PyErr_Format(PyExc_ValueError, "_slot_owner_runs needs the first %zu bytes of a process slot",
                   process_slot_head_bytes);
      throw PythonErrorSet{};
    }
    const auto* slot = reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(bound[0]));
    switch (platform::process_state(recorded_owner(slot), platform::current_process_identity())) {
      case platform::ProcessState::runs:
        Py_RETURN_TRUE;
      case platform::ProcessState::gone:
        Py_RETURN_FALSE;
      case platform::ProcessState::unknown:
        break;
    }
    Py_RETURN_NONE;
  });
}

}  // namespace

PyMethodDef function_slot_owner_runs = {
    "_slot_owner_runs",
    as_cfunction(function_slot_owner_runs_impl),
    METH_FASTCALL | METH_KEYWORDS, slot_owner_runs_doc};

}  // namespace corvana::quillmap
