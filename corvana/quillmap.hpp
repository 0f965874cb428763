// corvana.quillmap at the C level: what another extension module needs to call a quillmap
// directly. The entries themselves are published in the module's native API table and the class's
// native method table under the convention and signature texts of corvana/native_api.hpp.
//
// Every entry requires the GIL, takes a quillmap instance (or an instance of a subclass, never
// null) and reports failure as -1 or null with the Python exception set.
#pragma once

#include <cstdint>
#include <memory>

#include "corvana/native_api.hpp"

namespace corvana {
class ConcurrentHashMap_string;
}

namespace corvana::quillmap {

struct QuillmapObject;

// The optional arguments of the `expansion` slot. A null record, or count_given 0, means
// parallelism 0 (as many workers as the machine has logical processors).
struct ExpansionArguments {
  int count_given;            // optional arguments given: 0 or 1
  std::uint64_t parallelism;  // worker processes and tasks; 0: os.cpu_count()
};

// The native method table of `quillmap`, in slot order. With skip_override 0 a slot first looks for
// a Python-level override of the method of the same name (a subclass method or an instance
// attribute) and calls that instead; with skip_override 1 it always runs the native code.
// Fields are only ever appended.
struct QuillmapMethods {
  int (*insert)(QuillmapObject* self, PyObject* key, PyObject* value, int skip_override);  // 1 or -1
  PyObject* (*get)(QuillmapObject* self, PyObject* key, int skip_override);                // new ref or null
  int (*remove)(QuillmapObject* self, PyObject* key, int skip_override);                   // 1, 0 or -1
  int (*expansion)(QuillmapObject* self, int skip_override, const ExpansionArguments* optional);  // 1 or -1
};

// Instance layout of `quillmap`.
struct QuillmapObject {
  native_api::PellrookObject base;        //  0: the pellrook part; base.name is the map's name
  const QuillmapMethods* native_methods;  // 40: set when the instance is allocated
  // The in-process map object, empty until a construction succeeds and after finalization. Shared
  // ownership only so that an operation whose lock wait lets another thread re-run __init__ keeps
  // the map it started with alive until it returns.
  std::shared_ptr<ConcurrentHashMap_string> chm;  // 48
  PyObject* serializer_module;                    // 64: the object whose dumps / loads serialize; None first
  PyObject* dict;                                 // 72: the instance attribute dictionary
  // 80: the fork generation of the process that made chm. A forked child that inherits the
  // instance opens the map anew on first use instead of sharing the parent's map object.
  std::uint64_t map_generation;
  // 88: nonzero once close() ran: every later operation raises RuntimeError, until a new __init__.
  std::uint64_t is_closed;
};

// The entries of the native API table (flag: accepted and ignored).
using DictInsertFunction = int (*)(QuillmapObject* target, PyObject* key, PyObject* value, int flag);
using DictGetFunction = PyObject* (*)(QuillmapObject* target, PyObject* key, int flag);
using DictRemoveFunction = int (*)(QuillmapObject* target, PyObject* key, int flag);

}  // namespace corvana::quillmap
