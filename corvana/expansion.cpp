// The parallel expansion driver: quillmap.expansion(parallelism) and the worker task
// dict_expansion(name, target_length).
//
// expansion() reads the number of bucket chunks in use once, hands every worker of a process pool
// the same task, dict_expansion(name, 2 * chunks in use), waits for the results in order, closes
// and joins the pool, and reports the first failure met as one RuntimeError. Each worker opens the
// map by its name and joins the expansion; one whose check comes after the doubling only opens and
// closes the map. The calling process takes part only when the expansion stalls (a worker died in
// it, or none came); a worker that died never returns its task, so once the doubling is done the
// driver stops waiting for such tasks and terminates the pool. Both return 1 when the map has the
// target number of bucket chunks afterwards, else 0.
#include <string>

#include "corvana/arguments.hpp"
#include "corvana/errors.hpp"
#include "corvana/quillmap_internal.hpp"
#include "heap/heap.hpp"
#include "map/map.hpp"

namespace corvana::quillmap {

const char method_expansion_doc[] =
    "expansion(self, parallelism: int = 0) -> int\n"
    "expand the quillstore in parallel\n"
    ":param parallelism: the number of worker processes; 0 means the number of logical CPUs the calling "
    "thread "
    "is restricted to, the same as os.cpu_count()\n"
    ":return: 1 if successfully expanded";

namespace {

using python::OwnedRef;
using python::PythonErrorSet;

const char dict_expansion_doc[] =
    "dict_expansion(name: bytes, target_length: int)\n"
    "expand the named quillstore with target length\n"
    ":param name: the file name of the quillstore\n"
    ":param target_length: the target expansion length of the quillstore\n"
    ":return: 1 if successfully expanded";

constexpr const char* expansion_names[] = {"parallelism"};
constexpr const char* dict_expansion_names[] = {"name", "target_length"};
constexpr Signature expansion_signature{"expansion", expansion_names, 0};
constexpr Signature dict_expansion_signature{"dict_expansion", dict_expansion_names, 2};

OverrideMemory expansion_override_memory;

QuillmapObject* as_quillmap(PyObject* object) noexcept {
  return reinterpret_cast<QuillmapObject*>(object);
}

OwnedRef call_method(PyObject* object, PyObject* name) {
  const OwnedRef method = OwnedRef::checked(PyObject_GetAttr(object, name));
  return OwnedRef::checked(PyObject_CallNoArgs(method.get()));
}

// Takes the first failure that a task raised (an Exception) out of the error indicator; anything
// else, KeyboardInterrupt for one, propagates.
OwnedRef fetch_task_error() {
  if (PyErr_ExceptionMatches(PyExc_Exception) == 0) {
    throw PythonErrorSet{};
  }
  PyObject* error_type = nullptr;
  PyObject* error_value = nullptr;
  PyObject* error_traceback = nullptr;
  PyErr_Fetch(&error_type, &error_value, &error_traceback);
  PyErr_NormalizeException(&error_type, &error_value, &error_traceback);
  const OwnedRef type = OwnedRef::steal(error_type);
  OwnedRef value = OwnedRef::steal(error_value);
  if (error_traceback != nullptr) {
    python::check_status(PyException_SetTraceback(value.get(), error_traceback));
  }
  const OwnedRef traceback = OwnedRef::steal(error_traceback);
  return value;
}

// How long the driver waits for a task that has not returned once the doubling it was sent for is
// done (its worker may have died with it: the pool never hands such a task back), and how long it
// lets the tasks run without any result before it looks whether the expansion has stalled.
constexpr double lost_task_grace_seconds = 2.0;
constexpr double stall_check_seconds = 1.0;

struct WaitOutcome {
  OwnedRef first_error;    // the first failure a task raised, or null
  bool lost_tasks = false;  // tasks never returned: the pool is terminated, not joined
};

// Waits for the results in submission order. The first failure that is an Exception ends the wait
// (the workers not waited for still run to their end; the pool's join waits for them). A task whose
// worker died never returns: once the doubling is done the driver stops waiting for it after a
// grace; while the expansion is stalled (a worker died inside it, or no worker ever came), the
// driver takes part in it itself, as a worker would, with the interpreter lock given away.
WaitOutcome wait_for_results(PyObject* results, ConcurrentHashMap_string& map, std::string& name,
                             std::uint64_t target_length) {
  WaitOutcome outcome;
  const Py_ssize_t count = PyList_GET_SIZE(results);
  const OwnedRef poll_seconds = OwnedRef::checked(PyFloat_FromDouble(0.05));
  double last_progress = static_cast<double>(platform::monotonic_nanoseconds()) / 1e9;
  double done_at = -1;
  for (Py_ssize_t i = 0; i < count;) {
    PyObject* result = PyList_GET_ITEM(results, i);
    const OwnedRef ready = call_method(result, state.strings.ready);
    if (PyObject_IsTrue(ready.get()) == 1) {
      const OwnedRef get = OwnedRef::checked(PyObject_GetAttr(result, state.strings.get));
      const OwnedRef value = OwnedRef::steal(PyObject_CallNoArgs(get.get()));
      if (!value) {
        outcome.first_error = fetch_task_error();
        return outcome;
      }
      ++i;
      last_progress = static_cast<double>(platform::monotonic_nanoseconds()) / 1e9;
      continue;
    }
    const OwnedRef wait = OwnedRef::checked(PyObject_GetAttr(result, state.strings.wait));
    static_cast<void>(OwnedRef::checked(PyObject_CallOneArg(wait.get(), poll_seconds.get())));
    const double now = static_cast<double>(platform::monotonic_nanoseconds()) / 1e9;
    if (map.bucket_chunk_in_use() >= target_length) {
      if (done_at < 0) {
        done_at = now;
      } else if (now - done_at > lost_task_grace_seconds) {
        outcome.lost_tasks = true;
        return outcome;
      }
      continue;
    }
    if (map.expansion_needs_help() || (!map.expansion_under_way() && now - last_progress > stall_check_seconds)) {
      python_expansion_helper_string(name, target_length);
      last_progress = static_cast<double>(platform::monotonic_nanoseconds()) / 1e9;
    }
  }
  return outcome;
}

int expansion_routine(QuillmapObject* self, std::uint64_t parallelism) {
  const std::shared_ptr<ConcurrentHashMap_string> map = require_map(self);
  const std::uint64_t target_length = map->bucket_chunk_in_use() * 2;  // wraps at 64 bits, as the workers expect
  PyObject* name = self->base.name;
  if (!PyBytes_Check(name)) {
    PyErr_SetString(PyExc_RuntimeError, "this quillmap has no name to hand to the workers");
    throw PythonErrorSet{};
  }
  if (parallelism == 0) {
    const OwnedRef os = module_global(state.strings.os);
    parallelism = to_size_t(call_method(os.get(), state.strings.cpu_count).get());
  }
  const OwnedRef results = OwnedRef::checked(PyList_New(0));
  const OwnedRef errors = OwnedRef::checked(PyList_New(0));

  const OwnedRef multiprocessing = module_global(state.strings.multiprocessing);
  const OwnedRef pool_class = OwnedRef::checked(PyObject_GetAttr(multiprocessing.get(), state.strings.pool));
  const OwnedRef worker_count = OwnedRef::checked(PyLong_FromUnsignedLongLong(parallelism));
  const OwnedRef pool = OwnedRef::checked(PyObject_CallOneArg(pool_class.get(), worker_count.get()));

  const OwnedRef target = OwnedRef::checked(PyLong_FromUnsignedLongLong(target_length));
  const OwnedRef task_arguments = OwnedRef::checked(PyTuple_Pack(2, name, target.get()));
  for (std::uint64_t i = 0; i < parallelism; ++i) {
    const OwnedRef apply_async = OwnedRef::checked(PyObject_GetAttr(pool.get(), state.strings.apply_async));
    const OwnedRef task = module_global(state.strings.dict_expansion);
    const OwnedRef result = OwnedRef::checked(
        PyObject_CallFunctionObjArgs(apply_async.get(), task.get(), task_arguments.get(), nullptr));
    python::check_status(PyList_Append(results.get(), result.get()));
  }

  std::string map_name = path_from_name(name);
  const WaitOutcome outcome = wait_for_results(results.get(), *map, map_name, target_length);
  if (outcome.first_error) {
    python::check_status(PyList_Append(errors.get(), outcome.first_error.get()));
  }
  if (outcome.lost_tasks) {
    call_method(pool.get(), state.strings.terminate);  // a join would wait for the lost tasks for ever
  } else {
    call_method(pool.get(), state.strings.close);
  }
  call_method(pool.get(), state.strings.join);

  if (PyList_GET_SIZE(errors.get()) != 0) {
    const OwnedRef format =
        OwnedRef::checked(PyObject_GetAttr(state.strings.expansion_error_text, state.strings.format));
    const OwnedRef message = OwnedRef::checked(PyObject_CallOneArg(format.get(), errors.get()));
    PyErr_SetObject(PyExc_RuntimeError, message.get());
    throw PythonErrorSet{};
  }
  return map->bucket_chunk_in_use() >= target_length ? 1 : 0;
}

PyObject* function_dict_expansion_impl(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap.dict_expansion", nullptr, [&] {
    PyObject* bound[2];
    bind_arguments(dict_expansion_signature, args, nargs, kwnames, bound);
    const std::uint64_t target_length = to_size_t(bound[1]);  // before the name is looked at
    PyObject* name = bound[0];
    check_argument_type(name, &PyBytes_Type, "name", true);
    if (name == Py_None) {
      PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
      throw PythonErrorSet{};
    }
    if (PyBytes_GET_SIZE(name) == 0) {
      // An empty name would make the map layer create a new, empty map instead of opening one.
      PyErr_SetString(PyExc_ValueError,
                      "dict_expansion needs the name of an existing map; the name is empty");
      throw PythonErrorSet{};
    }
    std::string map_name = path_from_name(name);
    const bool has_target = python_expansion_helper_string(map_name, target_length);
    return OwnedRef::checked(PyLong_FromLong(has_target ? 1 : 0)).release();
  });
}

}  // namespace

PyObject* method_expansion(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.expansion", nullptr, [&] {
    PyObject* bound[1];
    bind_arguments(expansion_signature, args, nargs, kwnames, bound);
    const std::uint64_t parallelism = bound[0] != nullptr ? to_size_t(bound[0]) : 0;
    return OwnedRef::checked(PyLong_FromLong(expansion_routine(as_quillmap(self), parallelism))).release();
  });
}

int slot_expansion(QuillmapObject* self, int skip_override, const ExpansionArguments* optional) {
  return translate_errors("corvana.quillmap.quillmap.expansion", -1, [&] {
    const std::uint64_t parallelism =
        optional != nullptr && optional->count_given > 0 ? optional->parallelism : std::uint64_t{0};
    if (skip_override == 0) {
      if (const OwnedRef override =
              find_override(self, state.strings.expansion,
                            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_expansion)),
                            expansion_override_memory)) {
        const OwnedRef argument = OwnedRef::checked(PyLong_FromUnsignedLongLong(parallelism));
        return to_c_int(OwnedRef::checked(PyObject_CallOneArg(override.get(), argument.get())).get());
      }
    }
    return expansion_routine(self, parallelism);
  });
}

PyMethodDef function_dict_expansion = {
    "dict_expansion",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_dict_expansion_impl)),
    METH_FASTCALL | METH_KEYWORDS, dict_expansion_doc};

}  // namespace corvana::quillmap
