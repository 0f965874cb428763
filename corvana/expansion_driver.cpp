// The Python-side expansion driver: quillmap.expansion(parallelism), the worker task
// dict_expansion(name, target_length) and _expansion_worker, the body of one worker process.
//
// expansion() reads the number of bucket chunks in use once and starts `parallelism` worker
// processes with multiprocessing's default start method. Each runs the same task,
// dict_expansion(name, 2 * chunks in use), once, sends its outcome to the calling process through a
// pipe of its own and ends. The caller waits until every worker has ended and reports the failure
// of the first worker (in start order) that failed as one RuntimeError. Each worker opens the map
// by its name and joins the expansion; one whose check comes after the doubling only opens and
// closes the map. Both return 1 when the map has the target number of bucket chunks afterwards,
// else 0.
//
// Why processes of its own and not a pool: the workers of a pool share one task queue whose lock an
// idle worker holds while it waits; a worker killed there leaves every other worker, and the pool's
// own shutdown, waiting for that lock for ever. Here no lock, queue or pipe is shared by two workers,
// so a death, whenever it comes, ends only the dead worker's pipe, and the caller sees it at once
// through the process's sentinel. The live workers go on with the doubling (a broken pool of the
// standard executor would terminate them all in the middle of it). The caller takes part itself
// only when the doubling stalls: a worker died inside it, or every worker died before it was done.
// Whichever way the call ends, no worker outlives it: the caller reaps each one, ends those still
// running some seconds after the doubling is done, and kills those left when an exception (such as
// KeyboardInterrupt) ends the call.
#include <algorithm>
#include <string>
#include <vector>

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

const char expansion_worker_doc[] =
    "_expansion_worker(connection, task, name: bytes, target_length: int) -> None\n"
    "the body of one worker process of quillmap.expansion(): sends (True, task(name, target_length)), or "
    "(False, the Exception it raised), through connection and closes it";

constexpr const char* expansion_names[] = {"parallelism"};
constexpr const char* dict_expansion_names[] = {"name", "target_length"};
constexpr Signature expansion_signature{"expansion", expansion_names, 0};
constexpr Signature dict_expansion_signature{"dict_expansion", dict_expansion_names, 2};
constexpr const char* expansion_worker_names[] = {"connection", "task", "name", "target_length"};
constexpr Signature expansion_worker_signature{"_expansion_worker", expansion_worker_names, 4};

OwnedRef call_method(PyObject* object, PyObject* name) {
  return OwnedRef::checked(PyObject_CallMethodNoArgs(object, name));
}

OwnedRef call_method(PyObject* object, PyObject* name, PyObject* argument) {
  return OwnedRef::checked(PyObject_CallMethodOneArg(object, name, argument));
}

OwnedRef attribute(PyObject* object, PyObject* name) {
  return OwnedRef::checked(PyObject_GetAttr(object, name));
}

// Whether a started process has ended (its exitcode is set; looking reaps it when it has).
bool has_exited(PyObject* process) {
  return attribute(process, state.strings.exitcode.get()).get() != Py_None;
}

OwnedRef float_from(double value) {
  return OwnedRef::checked(PyFloat_FromDouble(value));
}

double monotonic_seconds() noexcept {
  return static_cast<double>(platform::monotonic_nanoseconds()) / 1e9;
}

// Takes the failure that a task raised (an Exception) out of the error indicator; anything else,
// KeyboardInterrupt for one, propagates.
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
  const OwnedRef traceback = OwnedRef::steal(error_traceback);
  if (traceback) {
    python::check_status(PyException_SetTraceback(value.get(), traceback.get()));
  }
  return value;
}

// How long the workers may go on once the doubling they were sent for is done (a live worker may
// still be starting, or opening and closing the map) before the caller ends them; how long a worker
// asked to terminate has before it is killed; and how long the caller waits for a worker's news
// before it looks again whether the doubling has stalled.
constexpr double straggler_grace_seconds = 5.0;
constexpr double terminate_grace_seconds = 1.0;
constexpr double poll_seconds = 0.05;

// The worker processes of one expansion() call. Each runs one task and sends (True, result) or
// (False, the Exception it raised) through its own pipe; a worker that ends without sending one
// (it was killed, or a BaseException ended it) has lost its task. GIL: held by every member.
class WorkerProcesses {
 public:
  WorkerProcesses() = default;
  WorkerProcesses(const WorkerProcesses&) = delete;
  WorkerProcesses& operator=(const WorkerProcesses&) = delete;
  // Kills and reaps every worker still running, keeping the error being raised (if any): a call
  // that an exception ends leaves no worker behind.
  ~WorkerProcesses();

  // Starts one worker: runner(writer end of a new pipe, task, name, target) in a new process of
  // `context`, daemonic, as a pool's workers are.
  void start(PyObject* context, PyObject* runner, PyObject* task, PyObject* name, PyObject* target);
  [[nodiscard]] bool any_running() const noexcept;
  // Waits until a running worker sends its outcome or ends, at most `seconds`, with the
  // interpreter lock given away (multiprocessing.connection.wait); Ctrl-C ends the wait.
  void wait(PyObject* wait_function, double seconds) const;
  // Takes the outcomes that have arrived and reaps the workers that have ended.
  void collect();
  // Asks the workers still running to terminate, kills those that have not after a grace, and
  // reaps them all.
  void end_running();
  // The failure of the first worker, in start order, that reported one; null when none did.
  [[nodiscard]] OwnedRef first_error() const;
  [[nodiscard]] bool lost_a_task() const noexcept;

 private:
  struct Worker {
    OwnedRef process;
    OwnedRef reader;  // the caller's end of the worker's pipe; null once the outcome or EOF came
    OwnedRef error;   // the failure the worker reported, or null
    bool has_outcome = false;
    bool has_ended = false;
  };
  static void receive(Worker& worker);
  static void close_reader(Worker& worker);

  std::vector<Worker> workers_;
};

WorkerProcesses::~WorkerProcesses() {
  python::SavedError raised;
  for (Worker& worker : workers_) {
    if (worker.has_ended) {
      continue;
    }
    // Failures are dropped here: the error being raised is the one the caller is told of.
    for (PyObject* method : {state.strings.kill.get(), state.strings.join.get()}) {
      static_cast<void>(OwnedRef::steal(PyObject_CallMethodNoArgs(worker.process.get(), method)));
      PyErr_Clear();
    }
  }
  raised.restore();
}

void WorkerProcesses::start(PyObject* context, PyObject* runner, PyObject* task, PyObject* name,
                            PyObject* target) {
  const OwnedRef pipe = call_method(context, state.strings.pipe.get(), Py_False);  // (reader, writer)
  Worker worker;
  worker.reader = OwnedRef::checked(PySequence_GetItem(pipe.get(), 0));
  const OwnedRef writer = OwnedRef::checked(PySequence_GetItem(pipe.get(), 1));
  const OwnedRef arguments = OwnedRef::checked(PyTuple_Pack(4, writer.get(), task, name, target));
  const OwnedRef keywords = OwnedRef::checked(PyDict_New());
  python::check_status(PyDict_SetItem(keywords.get(), state.strings.target.get(), runner));
  python::check_status(PyDict_SetItem(keywords.get(), state.strings.args.get(), arguments.get()));
  python::check_status(PyDict_SetItem(keywords.get(), state.strings.daemon.get(), Py_True));
  const OwnedRef process_class = attribute(context, state.strings.process.get());
  worker.process = OwnedRef::checked(PyObject_Call(process_class.get(), state.empty_tuple.get(), keywords.get()));
  // Kept before it starts: a start that an exception cuts short after the fork leaves a process
  // that only the destructor can end.
  workers_.push_back(std::move(worker));
  call_method(workers_.back().process.get(), state.strings.start.get());
  // Only the worker may hold the writing end: the process object keeps its arguments alive.
  call_method(writer.get(), state.strings.close.get());
}

bool WorkerProcesses::any_running() const noexcept {
  for (const Worker& worker : workers_) {
    if (!worker.has_ended) {
      return true;
    }
  }
  return false;
}

void WorkerProcesses::wait(PyObject* wait_function, double seconds) const {
  const OwnedRef awaited = OwnedRef::checked(PyList_New(0));
  for (const Worker& worker : workers_) {
    if (worker.has_ended) {
      continue;
    }
    if (worker.reader) {
      python::check_status(PyList_Append(awaited.get(), worker.reader.get()));
    }
    const OwnedRef sentinel = attribute(worker.process.get(), state.strings.sentinel.get());
    python::check_status(PyList_Append(awaited.get(), sentinel.get()));
  }
  const OwnedRef timeout = float_from(seconds);
  static_cast<void>(
      OwnedRef::checked(PyObject_CallFunctionObjArgs(wait_function, awaited.get(), timeout.get(), nullptr)));
}

// Reads the outcome a worker has sent, or the end of its pipe. A worker that died while sending
// leaves a cut message: that counts as no outcome, as an end of file does. A message that arrived
// but cannot be unpickled here is reported as the worker's failure.
void WorkerProcesses::receive(Worker& worker) {
  const OwnedRef outcome =
      OwnedRef::steal(PyObject_CallMethodNoArgs(worker.reader.get(), state.strings.recv.get()));
  if (!outcome) {
    if (PyErr_ExceptionMatches(PyExc_EOFError) != 0 || PyErr_ExceptionMatches(PyExc_OSError) != 0) {
      PyErr_Clear();
    } else {
      worker.error = fetch_task_error();
      worker.has_outcome = true;
    }
  } else if (PyTuple_Check(outcome.get()) && PyTuple_GET_SIZE(outcome.get()) == 2) {
    worker.has_outcome = true;
    if (PyTuple_GET_ITEM(outcome.get(), 0) != Py_True) {
      worker.error = OwnedRef::incref(PyTuple_GET_ITEM(outcome.get(), 1));
    }
  }
  close_reader(worker);
}

void WorkerProcesses::close_reader(Worker& worker) {
  if (worker.reader) {
    call_method(worker.reader.get(), state.strings.close.get());
    worker.reader.reset();
  }
}

void WorkerProcesses::collect() {
  for (Worker& worker : workers_) {
    if (worker.has_ended) {
      continue;
    }
    // The exit code first: once the process has ended, all it sent is in the pipe.
    const bool has_exited_now = has_exited(worker.process.get());
    if (worker.reader) {
      const OwnedRef is_readable = call_method(worker.reader.get(), state.strings.poll.get());
      if (PyObject_IsTrue(is_readable.get()) == 1) {
        receive(worker);
      }
    }
    if (has_exited_now) {
      call_method(worker.process.get(), state.strings.join.get());  // returns at once
      worker.has_ended = true;
      close_reader(worker);
    }
  }
}

void WorkerProcesses::end_running() {
  for (const Worker& worker : workers_) {
    if (!worker.has_ended) {
      call_method(worker.process.get(), state.strings.terminate.get());
    }
  }
  const double deadline = monotonic_seconds() + terminate_grace_seconds;
  for (const Worker& worker : workers_) {
    if (!worker.has_ended) {
      const OwnedRef timeout = float_from(std::max(0.0, deadline - monotonic_seconds()));
      call_method(worker.process.get(), state.strings.join.get(), timeout.get());
      if (!has_exited(worker.process.get())) {
        call_method(worker.process.get(), state.strings.kill.get());
        call_method(worker.process.get(), state.strings.join.get());
      }
    }
  }
  collect();
}

OwnedRef WorkerProcesses::first_error() const {
  for (const Worker& worker : workers_) {
    if (worker.error) {
      return worker.error;
    }
  }
  return {};
}

bool WorkerProcesses::lost_a_task() const noexcept {
  for (const Worker& worker : workers_) {
    if (worker.has_ended && !worker.has_outcome) {
      return true;
    }
  }
  return false;
}

// Waits until every worker has ended. While the doubling is below its target and has stalled (a
// participant died inside it), the caller takes part in it itself, as a worker would, with the
// interpreter lock given away. Once the target is reached, the workers still running get a grace
// to end by themselves, and are then ended.
void wait_for_workers(WorkerProcesses& workers, PyObject* wait_function, ConcurrentHashMap_string& map,
                      std::string& name, std::uint64_t target_length) {
  double done_at = -1;
  while (workers.any_running()) {
    workers.wait(wait_function, poll_seconds);
    workers.collect();
    if (map.bucket_chunk_in_use() < target_length) {
      if (map.expansion_needs_help()) {
        python_expansion_helper_string(name, target_length);
      }
      continue;
    }
    const double now = monotonic_seconds();
    if (done_at < 0) {
      done_at = now;
    } else if (now - done_at > straggler_grace_seconds) {
      workers.end_running();
    }
  }
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
    const OwnedRef os = module_global(state.strings.os.get());
    parallelism = to_size_t(call_method(os.get(), state.strings.cpu_count.get()).get());
  }
  const OwnedRef multiprocessing = module_global(state.strings.multiprocessing.get());
  const OwnedRef context = call_method(multiprocessing.get(), state.strings.get_context.get());
  const OwnedRef connection = OwnedRef::checked(PyImport_ImportModule("multiprocessing.connection"));
  const OwnedRef wait_function = attribute(connection.get(), state.strings.wait.get());
  const OwnedRef runner = module_global(state.strings.expansion_worker.get());
  const OwnedRef task = module_global(state.strings.dict_expansion.get());
  const OwnedRef target = OwnedRef::checked(PyLong_FromUnsignedLongLong(target_length));

  WorkerProcesses workers;
  for (std::uint64_t i = 0; i < parallelism; ++i) {
    workers.start(context.get(), runner.get(), task.get(), name, target.get());
  }
  std::string map_name = path_from_name(name);
  wait_for_workers(workers, wait_function.get(), *map, map_name, target_length);
  const OwnedRef error = workers.first_error();
  if (!error && workers.lost_a_task() && map->bucket_chunk_in_use() < target_length) {
    // Workers died before the doubling was done, and nobody is left to do it.
    python_expansion_helper_string(map_name, target_length);
  }

  if (error) {
    const OwnedRef errors = OwnedRef::checked(PyList_New(0));
    python::check_status(PyList_Append(errors.get(), error.get()));
    const OwnedRef message =
        call_method(state.strings.expansion_error_text.get(), state.strings.format.get(), errors.get());
    PyErr_SetObject(PyExc_RuntimeError, message.get());
    throw PythonErrorSet{};
  }
  return map->bucket_chunk_in_use() >= target_length ? 1 : 0;
}

PyObject* function_dict_expansion_impl(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  PyObject* name = nullptr;  // the file a failure names, once bound
  return translate_errors<PyObject*>("corvana.quillmap.dict_expansion", nullptr, name, [&] {
    PyObject* bound[2];
    bind_arguments(dict_expansion_signature, args, nargs, kwnames, bound);
    const std::uint64_t target_length = to_size_t(bound[1]);  // before the name is looked at
    name = bound[0];
    check_argument_type(name, &PyBytes_Type, "name", true);
    if (name == Py_None) {
      raise_none_for_bytes();
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

// The body of one worker process of expansion(): calls task(name, target_length) and sends its
// outcome through `connection`, (True, the result) or (False, the Exception the task raised), then
// closes it. An outcome that cannot be pickled is replaced by (False, the error that says so). A
// BaseException that is not an Exception (KeyboardInterrupt, SystemExit) sends nothing and
// propagates: the process ends, and the caller counts the task as lost.
PyObject* function_expansion_worker_impl(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap._expansion_worker", nullptr, [&] {
    PyObject* bound[4];
    bind_arguments(expansion_worker_signature, args, nargs, kwnames, bound);
    PyObject* connection = bound[0];
    OwnedRef outcome;
    if (const OwnedRef result =
            OwnedRef::steal(PyObject_CallFunctionObjArgs(bound[1], bound[2], bound[3], nullptr))) {
      outcome = OwnedRef::checked(PyTuple_Pack(2, Py_True, result.get()));
    } else {
      outcome = OwnedRef::checked(PyTuple_Pack(2, Py_False, fetch_task_error().get()));
    }
    if (!OwnedRef::steal(PyObject_CallMethodOneArg(connection, state.strings.send.get(), outcome.get()))) {
      const OwnedRef failure = OwnedRef::checked(PyTuple_Pack(2, Py_False, fetch_task_error().get()));
      call_method(connection, state.strings.send.get(), failure.get());
    }
    call_method(connection, state.strings.close.get());
    return Py_NewRef(Py_None);
  });
}

}  // namespace

PyObject* method_expansion(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.expansion", nullptr, self, [&] {
    PyObject* bound[1];
    bind_arguments(expansion_signature, args, nargs, kwnames, bound);
    const std::uint64_t parallelism = bound[0] != nullptr ? to_size_t(bound[0]) : 0;
    return OwnedRef::checked(PyLong_FromLong(expansion_routine(as_quillmap(self), parallelism))).release();
  });
}

int slot_expansion(QuillmapObject* self, int skip_override, const ExpansionArguments* optional) {
  return translate_errors("corvana.quillmap.quillmap.expansion", -1, as_object(self), [&] {
    const std::uint64_t parallelism =
        optional != nullptr && optional->count_given > 0 ? optional->parallelism : std::uint64_t{0};
    if (skip_override == 0) {
      if (const OwnedRef override = find_override(self, state.strings.expansion.get(), as_cfunction(method_expansion),
                                                  state.expansion_override)) {
        const OwnedRef argument = OwnedRef::checked(PyLong_FromUnsignedLongLong(parallelism));
        return to_c_int(OwnedRef::checked(PyObject_CallOneArg(override.get(), argument.get())).get());
      }
    }
    return expansion_routine(self, parallelism);
  });
}

PyMethodDef function_dict_expansion = {"dict_expansion", as_cfunction(function_dict_expansion_impl),
                                       METH_FASTCALL | METH_KEYWORDS, dict_expansion_doc};

PyMethodDef function_expansion_worker = {"_expansion_worker", as_cfunction(function_expansion_worker_impl),
                                         METH_FASTCALL | METH_KEYWORDS, expansion_worker_doc};

}  // namespace corvana::quillmap
