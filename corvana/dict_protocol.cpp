// What makes a quillmap behave like a dict: q[key], q[key] = value, del q[key], key in q, len(q),
// bool(q), repr(q), lookup with a default; the read-modify-write methods setdefault, pop,
// compare_and_set and add; keys(), values(), items() and iteration; close(), unlink() and the
// context manager.
//
// Every read-modify-write runs as one map operation under the key's bucket lock. No Python code runs
// while a bucket lock is held: keys and values are serialized before the map is called and the
// bytes it hands out are deserialized after it has returned. add() is a retry loop of such steps.
// A walk (the iterator) reads the map a group of buckets at a time (see walk_groups in the map) and
// deserializes each batch after the locks are released.
#include <cerrno>
#include <memory>
#include <new>
#include <string>

#include "corvana/arguments.hpp"
#include "corvana/errors.hpp"
#include "corvana/quillmap_internal.hpp"
#include "heap/heap.hpp"
#include "map/map.hpp"

namespace corvana::quillmap {

const char method_lookup_doc[] =
    "lookup(self, key, default=None) -> object\n"
    "the value stored for key, or default when the key is absent (dict.get under another name: get keeps "
    "its list result)";
const char method_setdefault_doc[] =
    "setdefault(self, key, default=None) -> object\n"
    "stores default for key when the key is absent; returns the value stored for key afterwards. Atomic: "
    "of several processes calling it at once for one key, exactly one stores its default and all of them "
    "return that value";
const char method_pop_doc[] =
    "pop(self, key[, default]) -> object\n"
    "removes key and returns its value; when the key is absent returns default, or raises KeyError when "
    "no default is given. Atomic: of several processes popping one key, exactly one gets its value";
const char method_compare_and_set_doc[] =
    "compare_and_set(self, key, expected, new) -> bool\n"
    "replaces the value of key by new only when the serialized bytes of the stored value equal those of "
    "expected; returns whether it replaced it. An absent key is never inserted (returns False)";
const char method_add_doc[] =
    "add(self, key, delta=1) -> int\n"
    "atomically adds the int delta to the int stored for key (an absent key counts as 0) and returns the "
    "new value; the stored value stays an ordinary serialized int";
const char method_keys_doc[] =
    "keys(self) -> iterator\n"
    "an iterator over the keys, walking the buckets a few at a time (weakly consistent: see the README)";
const char method_values_doc[] =
    "values(self) -> iterator\n"
    "an iterator over the values, walking the buckets a few at a time (weakly consistent: see the README)";
const char method_items_doc[] =
    "items(self) -> iterator\n"
    "an iterator over (key, value) pairs, walking the buckets a few at a time (weakly consistent: see the "
    "README)";
const char method_close_doc[] =
    "close(self) -> None\n"
    "releases this process's view of the map now; every later operation on this instance raises "
    "RuntimeError. The memory file and its entries stay for other processes. Closing twice does nothing";
const char method_unlink_doc[] =
    "unlink(self) -> None\n"
    "removes the memory file from the file system; processes that have the map open keep working, and its "
    "space is freed when the last one closes it. A second unlink raises FileNotFoundError";
const char method___enter___doc[] = "__enter__(self) -> quillmap\nreturns the instance itself";
const char method___exit___doc[] = "__exit__(self, *exc_info) -> bool\ncloses the instance; returns False";

namespace {

using python::OwnedRef;
using python::PythonErrorSet;

// Entries deserialized per step of a walk: enough to make the per-step cost small, few enough to
// keep each step's pause short.
constexpr std::uint64_t walk_batch_entries = 1024;

// A bytes object holding a buffer the map handed out; the buffer is freed here in every case.
OwnedRef bytes_from_buffer(char* buffer, std::int64_t length) {
  const std::unique_ptr<char, PythonFree> owned(buffer);
  return OwnedRef::checked(PyBytes_FromStringAndSize(owned.get(), static_cast<Py_ssize_t>(length)));
}

OwnedRef load(PyObject* serializer, PyObject* bytes) {
  const OwnedRef loads = serializer_loads(serializer);
  return OwnedRef::checked(PyObject_CallOneArg(loads.get(), bytes));
}

OwnedRef load_buffer(PyObject* serializer, char* buffer, std::int64_t length) {
  const OwnedRef bytes = bytes_from_buffer(buffer, length);
  return load(serializer, bytes.get());
}

// Sets KeyError(key), with the key wrapped as dict does so that a tuple key shows as itself. A
// missing key is an answer, not a failure: the caller returns its failure value at once, without a
// C++ exception or a traceback entry, so that a miss costs about what a hit costs.
void set_key_error(PyObject* key) noexcept {
  const OwnedRef arguments = OwnedRef::steal(PyTuple_Pack(1, key));
  if (arguments) {  // else MemoryError is set
    PyErr_SetObject(PyExc_KeyError, arguments.get());
  }
}

// The stored value of key, or null when absent.
OwnedRef lookup_value(QuillmapObject* self, PyObject* key) {
  const KeyCall call = prepare(self, key);
  const OwnedRef bytes = stored_bytes(*call.map, call.key(), call.key_length(), call.hash);
  if (!bytes) {
    return {};
  }
  return load(call.serializer.get(), bytes.get());
}

constexpr const char* lookup_names[] = {"key", "default"};
constexpr const char* setdefault_names[] = {"key", "default"};
constexpr const char* pop_names[] = {"key", "default"};
constexpr const char* compare_and_set_names[] = {"key", "expected", "new"};
constexpr const char* add_names[] = {"key", "delta"};
constexpr Signature lookup_signature{"lookup", lookup_names, 1};
constexpr Signature setdefault_signature{"setdefault", setdefault_names, 1};
constexpr Signature pop_signature{"pop", pop_names, 1};
constexpr Signature compare_and_set_signature{"compare_and_set", compare_and_set_names, 3};
constexpr Signature add_signature{"add", add_names, 1};

// ---------------------------------------------------------------------------------------------
// The iterator of keys(), values(), items() and iter(q)

enum class WalkKind : int { keys, values, items };

struct IteratorObject {
  PyObject_HEAD
  PyObject* owner;           // the quillmap walked (owned)
  PyObject* pending;         // a list of the current batch's entries as stored (owned): a bytes object
                             // per entry, or its key's then its value's for items; or null
  Py_ssize_t pending_index;  // the first bytes object of the next entry of `pending` to return
  PyObject* loads;           // the serializer's loads (owned), or null before the first batch
  std::uint64_t walk_chunks;  // bucket chunks in use when the walk started
  std::uint64_t next_group;   // the next group of buckets to read
  std::uint64_t group_count;  // B * walk_chunks
  WalkKind kind;
};

PyTypeObject iterator_type = [] {
  PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
  type.tp_name = "corvana.quillmap.quillmap_iterator";
  type.tp_basicsize = sizeof(IteratorObject);
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  type.tp_doc = "a weakly consistent walk over the entries of a quillmap";
  return type;
}();

IteratorObject* as_iterator(PyObject* object) noexcept {
  return reinterpret_cast<IteratorObject*>(object);
}

OwnedRef new_iterator(PyObject* owner, WalkKind kind) {
  QuillmapObject* self = as_quillmap(owner);
  const std::shared_ptr<ConcurrentHashMap_string> map = require_map(self);
  auto* iterator = PyObject_GC_New(IteratorObject, &iterator_type);
  if (iterator == nullptr) {
    throw PythonErrorSet{};
  }
  iterator->owner = Py_NewRef(owner);
  iterator->pending = nullptr;
  iterator->pending_index = 0;
  iterator->loads = nullptr;
  iterator->walk_chunks = map->bucket_chunk_in_use();
  iterator->next_group = 0;
  iterator->group_count = map->bucket_chunk_size() * iterator->walk_chunks;
  iterator->kind = kind;
  PyObject_GC_Track(iterator);
  return OwnedRef::steal(reinterpret_cast<PyObject*>(iterator));
}

// Reads the next batch into `pending`, as stored: each entry is loaded when next() returns it, so
// that an entry whose value cannot be loaded raises by itself and the walk goes on after it.
// Returns false when the walk is over.
// GIL: held, but given away while the map is scanned, so two threads calling next() on one iterator
// may read the same groups (each thread gets whole entries; such a shared iterator may repeat keys).
bool refill(IteratorObject* iterator) {
  while (iterator->next_group < iterator->group_count) {
    QuillmapObject* self = as_quillmap(iterator->owner);
    const std::shared_ptr<ConcurrentHashMap_string> map = require_map(self);
    if (iterator->loads == nullptr) {
      iterator->loads = serializer_loads(self->serializer_module).release();
    }
    const bool with_keys = iterator->kind != WalkKind::values;
    const bool with_values = iterator->kind != WalkKind::keys;
    ConcurrentHashMap_string::WalkBatch batch;
    {
      // The scan touches no Python object: other threads run meanwhile (a sparse map's step may
      // scan many empty buckets).
      InterpreterLockRelease released;
      iterator->next_group = map->walk_groups(iterator->walk_chunks, iterator->next_group, walk_batch_entries,
                                              with_keys, with_values, batch);
    }
    const std::size_t per_entry = with_keys && with_values ? 2 : 1;
    const std::size_t entries = batch.lengths.size() / per_entry;
    if (entries == 0) {
      continue;
    }
    OwnedRef stored = OwnedRef::checked(PyList_New(static_cast<Py_ssize_t>(entries * per_entry)));
    std::size_t at = 0;
    for (std::size_t index = 0; index < entries * per_entry; ++index) {
      const std::size_t length = batch.lengths[index];
      PyObject* bytes = PyBytes_FromStringAndSize(batch.bytes.data() + at, static_cast<Py_ssize_t>(length));
      if (bytes == nullptr) {
        throw PythonErrorSet{};
      }
      at += length;
      PyList_SET_ITEM(stored.get(), static_cast<Py_ssize_t>(index), bytes);
    }
    python::replace_field(iterator->pending, std::move(stored));
    iterator->pending_index = 0;
    return true;
  }
  return false;
}

PyObject* iterator_next(PyObject* object) {
  IteratorObject* iterator = as_iterator(object);
  return translate_errors<PyObject*>("corvana.quillmap.quillmap_iterator.__next__", nullptr, iterator->owner,
                                     [&]() -> PyObject* {
    while (true) {
      if (iterator->pending != nullptr && iterator->pending_index < PyList_GET_SIZE(iterator->pending)) {
        // Passed before it is loaded: an entry that cannot be loaded is raised for once, and the
        // next call goes on with the entry after it.
        const OwnedRef pending = OwnedRef::incref(iterator->pending);
        const Py_ssize_t first = iterator->pending_index;
        const bool is_item = iterator->kind == WalkKind::items;
        iterator->pending_index += is_item ? 2 : 1;
        const OwnedRef loads = OwnedRef::incref(iterator->loads);
        OwnedRef first_object = OwnedRef::checked(PyObject_CallOneArg(loads.get(), PyList_GET_ITEM(pending.get(), first)));
        if (!is_item) {
          return first_object.release();
        }
        const OwnedRef value =
            OwnedRef::checked(PyObject_CallOneArg(loads.get(), PyList_GET_ITEM(pending.get(), first + 1)));
        return OwnedRef::checked(PyTuple_Pack(2, first_object.get(), value.get())).release();
      }
      python::replace_field(iterator->pending, OwnedRef());
      if (!refill(iterator)) {
        return nullptr;  // exhausted: no exception set
      }
    }
  });
}

int iterator_traverse(PyObject* object, visitproc visit, void* arg) {
  IteratorObject* iterator = as_iterator(object);
  Py_VISIT(iterator->owner);
  Py_VISIT(iterator->pending);
  Py_VISIT(iterator->loads);
  return 0;
}

int iterator_clear(PyObject* object) {
  IteratorObject* iterator = as_iterator(object);
  Py_CLEAR(iterator->pending);
  Py_CLEAR(iterator->loads);
  Py_CLEAR(iterator->owner);
  return 0;
}

void iterator_dealloc(PyObject* object) {
  PyObject_GC_UnTrack(object);
  iterator_clear(object);
  PyObject_GC_Del(object);
}

PyObject* method_walk(PyObject* self, WalkKind kind, const char* traceback_name) {
  return translate_errors<PyObject*>(traceback_name, nullptr, self, [&] { return new_iterator(self, kind).release(); });
}

// ---------------------------------------------------------------------------------------------
// Slots of the dict protocol

Py_ssize_t quillmap_length(PyObject* self) {
  return translate_errors<Py_ssize_t>("corvana.quillmap.quillmap.__len__", -1, self, [&] {
    // element_count sums one counter per writer record of each process slot ever claimed: it does not
    // depend on the entries, and is exact when no change is under way.
    return static_cast<Py_ssize_t>(require_map(as_quillmap(self))->element_count());
  });
}

PyObject* quillmap_subscript(PyObject* self, PyObject* key) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.__getitem__", nullptr, self, [&] {
    OwnedRef value = lookup_value(as_quillmap(self), key);
    if (!value) {
      set_key_error(key);
    }
    return value.release();
  });
}

int quillmap_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  if (value == nullptr) {
    return translate_errors("corvana.quillmap.quillmap.__delitem__", -1, self, [&] {
      const KeyCall call = prepare(as_quillmap(self), key);
      if (!call.map->remove(call.key(), call.key_length(), call.hash)) {
        set_key_error(key);
        return -1;
      }
      return 0;
    });
  }
  return translate_errors("corvana.quillmap.quillmap.__setitem__", -1, self, [&] {
    PyObject* const values[1] = {value};
    OwnedRef serialized[1];
    const KeyCall call = prepare(as_quillmap(self), key, values, serialized);
    call.map->insert(call.key(), bytes_data(serialized[0]), call.key_length(), bytes_length(serialized[0]), call.hash);
    return 0;
  });
}

int quillmap_contains(PyObject* self, PyObject* key) {
  return translate_errors("corvana.quillmap.quillmap.__contains__", -1, self, [&] {
    const KeyCall call = prepare(as_quillmap(self), key);
    return call.map->contains(call.key(), call.key_length(), call.hash) ? 1 : 0;
  });
}

}  // namespace

PyMappingMethods quillmap_as_mapping = {quillmap_length, quillmap_subscript, quillmap_ass_subscript};

PySequenceMethods quillmap_as_sequence = [] {
  PySequenceMethods methods{};
  methods.sq_contains = quillmap_contains;
  return methods;
}();

PyObject* quillmap_iter(PyObject* self) {
  return method_walk(self, WalkKind::keys, "corvana.quillmap.quillmap.__iter__");
}

PyObject* quillmap_repr(PyObject* self) {
  return translate_errors<PyObject*>(nullptr, nullptr, [&] {
    QuillmapObject* quillmap = as_quillmap(self);
    const char* type_name = python_compat::type_name(Py_TYPE(self));
    PyObject* name = quillmap->base.name != nullptr ? quillmap->base.name : Py_None;
    if (quillmap->is_closed != 0 || !quillmap->chm) {
      return OwnedRef::checked(PyUnicode_FromFormat("%s(name=%R, closed)", type_name, name)).release();
    }
    // Read through whichever object this process holds (an inherited one maps the same file).
    const auto count = static_cast<unsigned long long>(quillmap->chm->element_count());
    return OwnedRef::checked(PyUnicode_FromFormat("%s(name=%R, len=%llu)", type_name, name, count)).release();
  });
}

// ---------------------------------------------------------------------------------------------
// Methods

PyObject* method_lookup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.lookup", nullptr, self, [&] {
    PyObject* bound[2];
    bind_arguments(lookup_signature, args, nargs, kwnames, bound);
    OwnedRef value = lookup_value(as_quillmap(self), bound[0]);
    if (!value) {
      return Py_NewRef(bound[1] != nullptr ? bound[1] : Py_None);
    }
    return value.release();
  });
}

PyObject* method_setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.setdefault", nullptr, self, [&] {
    PyObject* bound[2];
    bind_arguments(setdefault_signature, args, nargs, kwnames, bound);
    PyObject* const values[1] = {bound[1] != nullptr ? bound[1] : Py_None};
    OwnedRef serialized[1];
    const KeyCall call = prepare(as_quillmap(self), bound[0], values, serialized);
    char* stored = nullptr;
    std::int64_t stored_length = 0;
    if (call.map->setdefault(call.key(), bytes_data(serialized[0]), call.key_length(), bytes_length(serialized[0]),
                             call.hash, stored, stored_length)) {
      return Py_NewRef(values[0]);
    }
    return load_buffer(call.serializer.get(), stored, stored_length).release();
  });
}

PyObject* method_pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.pop", nullptr, self, [&] {
    PyObject* bound[2];
    bind_arguments(pop_signature, args, nargs, kwnames, bound);
    const KeyCall call = prepare(as_quillmap(self), bound[0]);
    char* value = nullptr;
    std::int64_t value_length = 0;
    if (!call.map->pop(call.key(), call.key_length(), call.hash, value, value_length)) {
      if (bound[1] == nullptr) {
        set_key_error(bound[0]);
        return static_cast<PyObject*>(nullptr);
      }
      return Py_NewRef(bound[1]);
    }
    const OwnedRef bytes = bytes_from_buffer(value, value_length);
    const OwnedRef loads = serializer_loads(call.serializer.get());
    OwnedRef loaded = OwnedRef::steal(PyObject_CallOneArg(loads.get(), bytes.get()));
    if (!loaded) {
      // The value cannot be loaded: it goes back (unless the key was stored again meanwhile), so a
      // pop that raises loses nothing. The loader's error is what the caller sees.
      python::SavedError load_error;
      char* stored = nullptr;
      std::int64_t stored_length = 0;
      if (!call.map->setdefault(call.key(), bytes_data(bytes), call.key_length(), bytes_length(bytes), call.hash,
                                stored, stored_length)) {
        python_free(stored);
      }
      load_error.restore();
      throw PythonErrorSet{};
    }
    return loaded.release();
  });
}

PyObject* method_compare_and_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.compare_and_set", nullptr, self, [&] {
    PyObject* bound[3];
    bind_arguments(compare_and_set_signature, args, nargs, kwnames, bound);
    PyObject* const values[2] = {bound[1], bound[2]};
    OwnedRef serialized[2];
    const KeyCall call = prepare(as_quillmap(self), bound[0], values, serialized);
    const bool replaced =
        call.map->compare_and_set(call.key(), call.key_length(), call.hash, bytes_data(serialized[0]),
                                  bytes_length(serialized[0]), bytes_data(serialized[1]), bytes_length(serialized[1]));
    return Py_NewRef(replaced ? Py_True : Py_False);
  });
}

PyObject* method_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.add", nullptr, self, [&] {
    PyObject* bound[2];
    bind_arguments(add_signature, args, nargs, kwnames, bound);
    const OwnedRef one = OwnedRef::checked(PyLong_FromLong(1));
    PyObject* delta = bound[1] != nullptr ? bound[1] : one.get();
    if (!PyLong_Check(delta)) {
      PyErr_Format(PyExc_TypeError, "add() needs an int delta, not %.200s", Py_TYPE(delta)->tp_name);
      throw PythonErrorSet{};
    }
    const KeyCall call = prepare(as_quillmap(self), bound[0]);
    // Read, add, and store only if nobody changed the value in between; otherwise start again. Each
    // failed attempt means another caller's change succeeded, so the callers as a whole progress.
    while (true) {
      const OwnedRef expected = stored_bytes(*call.map, call.key(), call.key_length(), call.hash);
      if (!expected) {
        const OwnedRef delta_bytes = serialize(call.serializer.get(), delta);
        if (delta_bytes.get() == Py_None) {
          raise_none_for_bytes();
        }
        char* stored = nullptr;
        std::int64_t stored_length = 0;
        if (call.map->setdefault(call.key(), bytes_data(delta_bytes), call.key_length(), bytes_length(delta_bytes),
                                 call.hash, stored, stored_length)) {
          return Py_NewRef(delta);
        }
        python_free(stored);  // another caller stored the key first: add to its value
        continue;
      }
      const OwnedRef current = load(call.serializer.get(), expected.get());
      if (!PyLong_Check(current.get())) {
        PyErr_Format(PyExc_TypeError, "add() works on int values; the value stored for this key is %.200s",
                     Py_TYPE(current.get())->tp_name);
        throw PythonErrorSet{};
      }
      OwnedRef sum = OwnedRef::checked(PyNumber_Add(current.get(), delta));
      const OwnedRef sum_bytes = serialize(call.serializer.get(), sum.get());
      if (sum_bytes.get() == Py_None) {
        raise_none_for_bytes();
      }
      if (call.map->compare_and_set(call.key(), call.key_length(), call.hash, bytes_data(expected),
                                    bytes_length(expected), bytes_data(sum_bytes), bytes_length(sum_bytes))) {
        return sum.release();
      }
    }
  });
}

PyObject* method_keys(PyObject* self, PyObject* /*unused*/) {
  return method_walk(self, WalkKind::keys, "corvana.quillmap.quillmap.keys");
}

PyObject* method_values(PyObject* self, PyObject* /*unused*/) {
  return method_walk(self, WalkKind::values, "corvana.quillmap.quillmap.values");
}

PyObject* method_items(PyObject* self, PyObject* /*unused*/) {
  return method_walk(self, WalkKind::items, "corvana.quillmap.quillmap.items");
}

PyObject* method_close(PyObject* self, PyObject* /*unused*/) {
  QuillmapObject* quillmap = as_quillmap(self);
  quillmap->is_closed = 1;
  // An operation still running on another thread keeps the map object alive until it returns; in a
  // forked child the inherited object is left alone, as at finalization.
  destroy_map(quillmap);
  Py_RETURN_NONE;
}

PyObject* method___enter__(PyObject* self, PyObject* /*unused*/) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.__enter__", nullptr, [&] {
    refuse_if_closed(as_quillmap(self));
    return Py_NewRef(self);
  });
}

PyObject* method___exit__(PyObject* self, PyObject* /*args*/) {
  static_cast<void>(OwnedRef::steal(method_close(self, nullptr)));  // None, dropped
  Py_RETURN_FALSE;
}

PyObject* method_unlink(PyObject* self, PyObject* /*unused*/) {
  return translate_errors<PyObject*>("corvana.quillmap.quillmap.unlink", nullptr, [&] {
    PyObject* name = as_quillmap(self)->base.name;
    if (name == nullptr || !PyBytes_Check(name) || PyBytes_GET_SIZE(name) == 0) {
      PyErr_SetString(PyExc_RuntimeError, "this quillmap has no memory file to unlink");
      throw PythonErrorSet{};
    }
    const std::string path = path_from_name(name);
    if (!platform::remove_file(path.c_str())) {
      // FileNotFoundError for a file already removed, PermissionError, ...: chosen from errno.
      errno = platform::last_error();
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
      throw PythonErrorSet{};
    }
    Py_RETURN_NONE;
  });
}

int ready_iterator_type() {
  iterator_type.tp_iter = PyObject_SelfIter;
  iterator_type.tp_iternext = iterator_next;
  iterator_type.tp_traverse = iterator_traverse;
  iterator_type.tp_clear = iterator_clear;
  iterator_type.tp_dealloc = iterator_dealloc;
  return PyType_Ready(&iterator_type);
}

}  // namespace corvana::quillmap
