// ConcurrentHashMap_pointer under an embedded interpreter, so that the native build and its
// AddressSanitizer + UBSan variant run the map's code. The interpreter allocates with plain malloc
// here, so the sanitizers see every block the map takes and frees. The behaviour seen from Python is
// covered by tests/python/test_pointer_map.py through the test module of this directory.
#include <Python.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "map/map.hpp"

namespace {

using corvana::ConcurrentHashMap_pointer;

// Starts the interpreter once for the whole program and leaves it running: the maps keep their
// entries' references by design, and the process ends right after the tests.
class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override {
    PyPreConfig preconfig;
    PyPreConfig_InitIsolatedConfig(&preconfig);
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    ASSERT_FALSE(PyStatus_Exception(Py_PreInitialize(&preconfig)));
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    const PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    ASSERT_FALSE(PyStatus_Exception(status));
    // A key type whose comparison gives the interpreter lock away while its bucket is locked.
    ASSERT_EQ(PyRun_SimpleString("import time\n"
                                 "class YieldingKey:\n"
                                 "    __slots__ = ('ident',)\n"
                                 "    def __init__(self, ident): self.ident = ident\n"
                                 "    def __eq__(self, other):\n"
                                 "        time.sleep(0)\n"
                                 "        return self.ident == other.ident\n"),
              0);
    PyEval_SaveThread();  // every test takes the interpreter lock through Gil
  }
};
const auto* const interpreter = ::testing::AddGlobalTestEnvironment(new Interpreter);

class Gil {
 public:
  Gil() : state_(PyGILState_Ensure()) {}
  ~Gil() { PyGILState_Release(state_); }
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;

 private:
  PyGILState_STATE state_;
};

// A new reference, dropped at the end of the scope.
class Ref {
 public:
  explicit Ref(PyObject* object) : object_(object) {
    if (object_ == nullptr) throw std::runtime_error("a Python call failed");
  }
  ~Ref() { Py_XDECREF(object_); }
  Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  [[nodiscard]] PyObject* get() const { return object_; }
  [[nodiscard]] Py_ssize_t count() const { return Py_REFCNT(object_); }

 private:
  PyObject* object_;
};

Ref text(const std::string& value) { return Ref(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()))); }

Ref yielding_key(long long ident) {
  Ref type(PyObject_GetAttrString(PyImport_AddModule("__main__"), "YieldingKey"));
  return Ref(PyObject_CallFunction(type.get(), "L", ident));
}

TEST(PointerMap, StoresReplacesAndRemovesWithExactReferenceCounts) {
  Gil gil;
  std::string name;
  ConcurrentHashMap_pointer map(name, 0, 1024);
  std::vector<Ref> keys, values, replacements;
  constexpr int count = 600;
  for (int index = 0; index < count; ++index) {
    keys.push_back(text("key-" + std::to_string(index)));
    values.push_back(text("value-" + std::to_string(index)));
    replacements.push_back(text("replacement-" + std::to_string(index)));
    map.insert(keys.back().get(), values.back().get(), index % 37);  // collisions, and expansions
  }
  EXPECT_EQ(map.element_count(), static_cast<std::uint64_t>(count));
  EXPECT_GT(map.bucket_chunk_in_use(), 64u);
  for (int index = 0; index < count; ++index) {
    ASSERT_EQ(keys[index].count(), 2) << index;
    PyObject* found = nullptr;
    ASSERT_TRUE(map.get(keys[index].get(), index % 37, found)) << index;
    EXPECT_EQ(found, values[index].get());
    EXPECT_EQ(values[index].count(), 2);  // get lends, it does not add
  }
  for (int index = 0; index < count; index += 2) {
    Ref equal_key = text("key-" + std::to_string(index));
    map.insert(equal_key.get(), replacements[index].get(), index % 37);
    EXPECT_EQ(equal_key.count(), 1);  // the stored key object stays
    EXPECT_EQ(values[index].count(), 1);
    EXPECT_EQ(replacements[index].count(), 2);
  }
  for (int index = 0; index < count; index += 3) {
    ASSERT_TRUE(map.remove(keys[index].get(), index % 37)) << index;
    EXPECT_FALSE(map.remove(keys[index].get(), index % 37));
    EXPECT_EQ(keys[index].count(), 1);
  }
  const ConcurrentHashMap_pointer::CheckSummary summary = map.check();
  EXPECT_EQ(summary.entries, static_cast<std::uint64_t>(count - count / 3));
  EXPECT_FALSE(PyErr_Occurred());

  map.destroy();  // the entries' references stay with their objects: the caller drops them
  for (int index = 0; index < count; ++index) {
    if (index % 3 == 0) continue;
    ASSERT_EQ(keys[index].count(), 2);
    Py_DECREF(keys[index].get());
    Py_DECREF((index % 2 == 0 ? replacements : values)[index].get());
  }
  PyObject* ignored = nullptr;
  EXPECT_THROW(map.get(keys[1].get(), 1, ignored), std::runtime_error);
}

TEST(PointerMap, NamesOfNoLiveMapAreRefusedWithoutBeingRead) {
  Gil gil;
  std::string name;
  auto* creator = new ConcurrentHashMap_pointer(name, 2, 8);
  std::string same = name;
  {
    ConcurrentHashMap_pointer opened(same, 0, 1);
    EXPECT_EQ(opened.bucket_chunk_size(), 4u);
  }
  creator->destroy();
  delete creator;  // the name now names freed memory: it must not be read
  const auto refusal = [](std::string candidate) -> std::string {
    try {
      ConcurrentHashMap_pointer map(candidate, 0, 1);
    } catch (const std::exception& error) {
      return error.what();
    }
    return "opened";
  };
  EXPECT_EQ(refusal(name), "old quillmoor is impossible to open!");
  EXPECT_EQ(refusal("17"), "old quillmoor is impossible to open!");
  EXPECT_EQ(refusal("x17"), "invalid stoll argument");
  EXPECT_EQ(refusal("170000000000000000000000"), "stoll argument out of range");
  std::string empty;
  EXPECT_THROW(ConcurrentHashMap_pointer(empty, 0, 0), std::invalid_argument);
  EXPECT_THROW(corvana::python_expansion_helper_pointer(empty, 4), std::invalid_argument);
}

// Writers insert, remove and read their own keys (whose hashes collide across writers and whose
// comparisons give the interpreter lock away under the bucket lock) while helpers keep expanding.
TEST(PointerMap, ThreadsInsertRemoveAndExpandTogether) {
  constexpr int writers = 4, per_writer = 500, hashes = 41;
  std::string name;
  ConcurrentHashMap_pointer* map = nullptr;
  {
    Gil gil;
    map = new ConcurrentHashMap_pointer(name, 0, 1 << 12);
  }
  std::vector<std::string> failures(writers);
  std::atomic<int> writers_left{writers};
  std::vector<std::thread> threads;
  for (int writer = 0; writer < writers; ++writer) {
    threads.emplace_back([&, writer] {
      Gil gil;
      std::string own_name = name;
      ConcurrentHashMap_pointer own(own_name, 0, 1);  // every writer works through its own object
      for (int index = 0; index < per_writer; ++index) {
        const long long ident = writer * 1000000LL + index;
        Ref key = yielding_key(ident);
        own.insert(key.get(), key.get(), index % hashes);
        if (index % 4 == 3) {
          Ref gone = yielding_key(ident - 1);
          if (!own.remove(gone.get(), (index - 1) % hashes)) failures[writer] += "remove missed; ";
        }
        if (PyErr_Occurred()) {
          PyErr_Print();
          failures[writer] += "python error; ";
        }
      }
      writers_left.fetch_sub(1);
    });
  }
  for (int helper = 0; helper < 2; ++helper) {
    threads.emplace_back([&, helper] {
      Gil gil;
      while (writers_left.load() > 0) {
        if (helper == 0) {
          map->python_expansion_helper(0);
        } else {
          std::string helper_name = name;
          corvana::python_expansion_helper_pointer(helper_name, 2 * map->bucket_chunk_in_use());
        }
        Py_BEGIN_ALLOW_THREADS std::this_thread::yield();
        Py_END_ALLOW_THREADS
      }
    });
  }
  for (std::thread& thread : threads) thread.join();  // this thread does not hold the interpreter lock
  Gil gil;
  for (int writer = 0; writer < writers; ++writer) EXPECT_EQ(failures[writer], "") << writer;
  EXPECT_EQ(map->expansion_workers(), 0u);
  std::uint64_t expected = 0;
  for (int writer = 0; writer < writers; ++writer) {
    for (int index = 0; index < per_writer; ++index) {
      const bool is_removed = index % 4 == 2;
      expected += is_removed ? 0 : 1;
      Ref key = yielding_key(writer * 1000000LL + index);
      PyObject* found = nullptr;
      ASSERT_EQ(map->get(key.get(), index % hashes, found), !is_removed) << writer << " " << index;
    }
  }
  EXPECT_EQ(map->check().entries, expected);
  EXPECT_FALSE(PyErr_Occurred());
  // Removing drops the references the map holds; destroy would leave them.
  for (int writer = 0; writer < writers; ++writer) {
    for (int index = 0; index < per_writer; ++index) {
      Ref key = yielding_key(writer * 1000000LL + index);
      ASSERT_EQ(map->remove(key.get(), index % hashes), index % 4 != 2);
    }
  }
  EXPECT_EQ(map->element_count(), 0u);
  map->destroy();
  delete map;
}

}  // namespace
