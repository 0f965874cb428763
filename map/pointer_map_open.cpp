// ConcurrentHashMap_pointer: creating and opening a map (the process-wide registry of live maps by
// name), destroying the object and the map, and making and releasing bucket chunks.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "map/map_texts.hpp"
#include "map/pointer_map.hpp"
#include "map/pointer_map_support.hpp"
#include "map/python_ref.hpp"

namespace corvana {

using namespace pointer_map_detail;

struct PointerMapLife {
  std::atomic<bool> is_destroyed{false};
};

namespace {

using python::OwnedRef;

// Frees the links a list owns (link_count of them, at least its head). The entries' references are
// not touched.
void free_list_links(PointerList& list) noexcept {
  LocalLink* link = list.head;
  const std::uint64_t count = std::max<std::uint64_t>(list.link_count, 1);
  for (std::uint64_t index = 0; index < count && link != nullptr; ++index) {
    LocalLink* next = link->next;
    python_free(link);
    link = next;
  }
  list.head = nullptr;
  list.link_count = 0;
  list.length = 0;
}

// Process-wide registry of the live creating objects, by name. A name is resolved only through it,
// so a name that does not belong to a live map of this process is never dereferenced.
struct LiveMaps {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, ConcurrentHashMap_pointer*> creators;
};

// Key of the registry in the interpreter's dictionary for extension state. Every extension module
// that links the map layer holds its own copy of this code (modules keep their symbols private), so
// the registry is kept where all copies find the same one. The version names the LiveMaps layout.
constexpr char live_maps_capsule_name[] = "corvana.map.pointer_map.live_maps.v1";

[[nodiscard]] LiveMaps* find_shared_live_maps() noexcept {
  if (Py_IsInitialized() == 0) {
    return nullptr;
  }
  // Leaves the caller's pending error (if any) as it found it.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  LiveMaps* maps = nullptr;
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
  if (state != nullptr) {
    PyObject* capsule = PyDict_GetItemString(state, live_maps_capsule_name);  // borrowed
    if (capsule != nullptr) {
      maps = static_cast<LiveMaps*>(PyCapsule_GetPointer(capsule, live_maps_capsule_name));
    } else {
      auto* fresh = new (std::nothrow) LiveMaps();
      const OwnedRef made =
          OwnedRef::steal(fresh == nullptr ? nullptr : PyCapsule_New(fresh, live_maps_capsule_name, nullptr));
      if (made.get() != nullptr && PyDict_SetItemString(state, live_maps_capsule_name, made.get()) == 0) {
        maps = fresh;  // never freed: maps may be created and destroyed until the process ends
      } else {
        delete fresh;
      }
    }
  }
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  return maps;
}

// Requires: the interpreter lock, when an interpreter runs.
LiveMaps& live_maps() {
  static LiveMaps* shared = nullptr;  // guarded by the interpreter lock
  if (shared == nullptr) {
    shared = find_shared_live_maps();
  }
  if (shared != nullptr) {
    return *shared;
  }
  static LiveMaps* const own = new LiveMaps();  // without an interpreter: this module's own registry
  return *own;
}

// The name as strtoll reads it in base 10: leading white space and a sign accepted, reading stops at
// the first non-digit.
[[nodiscard]] std::uintptr_t parse_name(const std::string& name) {
  const char* text = name.c_str();
  char* end = nullptr;
  errno = 0;
  const long long number = std::strtoll(text, &end, 10);
  if (end == text) {
    throw std::invalid_argument(map_texts::pointer_invalid_name);
  }
  if (errno == ERANGE) {
    throw std::out_of_range(map_texts::pointer_name_out_of_range);
  }
  return static_cast<std::uintptr_t>(number);
}

using OwnedBlock = std::unique_ptr<void, PythonFree>;

[[nodiscard]] std::uint64_t* make_cell(std::uint64_t initial, OwnedBlock& owner) {
  void* block = python_malloc(sizeof(std::uint64_t));
  if (block == nullptr) {
    throw std::runtime_error(std::strerror(errno));
  }
  owner.reset(block);
  auto* cell = static_cast<std::uint64_t*>(block);
  *cell = initial;
  return cell;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction and destruction

ConcurrentHashMap_pointer::ConcurrentHashMap_pointer(std::string& name, std::uint8_t bucket_chunk_size_exponent,
                                                     std::size_t bucket_chunk_number) {
  bucket_chunk_number_ = bucket_chunk_number;
  bucket_chunk_size_ = std::uint64_t{1} << (bucket_chunk_size_exponent & 63);
  if (bucket_chunk_number == 0) {
    throw std::invalid_argument(map_texts::bucket_chunk_number);
  }
  if (name.empty()) {
    create_map(name);
  } else {
    open_map(name);
  }
}

void ConcurrentHashMap_pointer::create_map(std::string& name) {
  refuse_reentry();
  if (bucket_chunk_number_ > std::numeric_limits<std::size_t>::max() / sizeof(PointerBucket*)) {
    throw std::runtime_error(map_texts::python_malloc_failed);
  }
  OwnedBlock addresses(python_malloc(bucket_chunk_number_ * sizeof(PointerBucket*)));
  if (addresses == nullptr) {
    throw std::runtime_error(map_texts::python_malloc_failed);
  }
  std::memset(addresses.get(), 0, bucket_chunk_number_ * sizeof(PointerBucket*));
  chunk_addresses_ = static_cast<PointerBucket**>(addresses.get());
  block_cache_ = std::make_unique<LocalChunkCache>(pointer_entries_per_link);

  struct ChunkOwner {  // gives chunk 0 back if a later step fails
    ConcurrentHashMap_pointer* map;
    PointerBucket* chunk;
    ~ChunkOwner() {
      if (chunk != nullptr) map->release_bucket_chunk(chunk);
    }
  } chunk_zero{this, nullptr};
  try {
    chunk_zero.chunk = make_bucket_chunk();

    OwnedBlock in_use_cell, workers_cell, lock_cell, cursor_cell, count_cell;
    bucket_chunk_in_use_ = make_cell(1, in_use_cell);
    expansion_workers_ = make_cell(0, workers_cell);
    expansion_lock_ = make_cell(lock_word_free, lock_cell);
    migration_cursor_ = make_cell(0, cursor_cell);
    element_count_ = make_cell(0, count_cell);
    life_ = std::make_shared<PointerMapLife>();
    name_key_ = reinterpret_cast<std::uintptr_t>(this);
    std::string own_name = std::to_string(name_key_);
    {
      LiveMaps& maps = live_maps();
      std::lock_guard<std::mutex> guard(maps.mutex);
      maps.creators[name_key_] = this;
    }
    // Nothing can fail from here on: the map owns what was allocated.
    chunk_addresses_[0] = std::exchange(chunk_zero.chunk, nullptr);
    static_cast<void>(addresses.release());
    for (OwnedBlock* cell : {&in_use_cell, &workers_cell, &lock_cell, &cursor_cell, &count_cell}) {
      static_cast<void>(cell->release());
    }
    name.swap(own_name);
  } catch (...) {
    chunk_addresses_ = nullptr;
    bucket_chunk_in_use_ = expansion_workers_ = expansion_lock_ = migration_cursor_ = element_count_ = nullptr;
    throw;
  }
}

void ConcurrentHashMap_pointer::open_map(const std::string& name) {
  refuse_reentry();
  const std::uintptr_t key = parse_name(name);
  {
    LiveMaps& maps = live_maps();
    std::lock_guard<std::mutex> guard(maps.mutex);
    const auto found = maps.creators.find(key);
    if (found == maps.creators.end()) {
      throw std::runtime_error(map_texts::pointer_stale_name);
    }
    const ConcurrentHashMap_pointer& creator = *found->second;
    bucket_chunk_size_ = creator.bucket_chunk_size_;
    bucket_chunk_number_ = creator.bucket_chunk_number_;
    chunk_addresses_ = creator.chunk_addresses_;
    bucket_chunk_in_use_ = creator.bucket_chunk_in_use_;
    expansion_workers_ = creator.expansion_workers_;
    expansion_lock_ = creator.expansion_lock_;
    migration_cursor_ = creator.migration_cursor_;
    element_count_ = creator.element_count_;
    life_ = creator.life_;
  }
  name_key_ = key;
  block_cache_ = std::make_unique<LocalChunkCache>(pointer_entries_per_link);
  // Opening puts B links into the new object's own cache, as many as a bucket chunk takes.
  block_cache_->fill(bucket_chunk_size_);
}

ConcurrentHashMap_pointer::~ConcurrentHashMap_pointer() {
  {
    LiveMaps& maps = live_maps();
    std::lock_guard<std::mutex> guard(maps.mutex);
    const auto found = maps.creators.find(name_key_);
    if (found != maps.creators.end() && found->second == this) {
      maps.creators.erase(found);
    }
  }
  block_cache_.reset();
}

void ConcurrentHashMap_pointer::destroy() {
  refuse_reentry();
  // acq_rel: exactly one call releases the map, and every later look at the flag sees that it did
  if (life_ == nullptr || life_->is_destroyed.exchange(true, std::memory_order_acq_rel)) {
    return;
  }
  {
    LiveMaps& maps = live_maps();
    std::lock_guard<std::mutex> guard(maps.mutex);
    const auto found = maps.creators.find(name_key_);
    if (found != maps.creators.end() && found->second->life_ == life_) {
      maps.creators.erase(found);
    }
  }
  const std::uint64_t chunks = bucket_chunk_in_use();
  for (std::uint64_t chunk = 0; chunk < chunks && chunk < bucket_chunk_number_; ++chunk) {
    PointerBucket* buckets = chunk_slot(chunk).load(std::memory_order_acquire);
    if (buckets != nullptr) {
      release_bucket_chunk(buckets);
    }
  }
  python_free(chunk_addresses_);
  for (std::uint64_t* cell : {bucket_chunk_in_use_, expansion_workers_, expansion_lock_, migration_cursor_,
                              element_count_}) {
    python_free(cell);
  }
  chunk_addresses_ = nullptr;
  bucket_chunk_in_use_ = expansion_workers_ = expansion_lock_ = migration_cursor_ = element_count_ = nullptr;
}

bool ConcurrentHashMap_pointer::is_destroyed() const noexcept {
  // acquire: pairs with destroy's exchange
  return life_ == nullptr || life_->is_destroyed.load(std::memory_order_acquire);
}

void ConcurrentHashMap_pointer::check_usable() const {
  refuse_reentry();
  if (is_destroyed()) {
    throw std::runtime_error(map_texts::pointer_destroyed);
  }
}

// ---------------------------------------------------------------------------------------------
// Bucket chunks

std::atomic_ref<PointerBucket*> ConcurrentHashMap_pointer::chunk_slot(std::uint64_t chunk) const noexcept {
  return std::atomic_ref<PointerBucket*>(chunk_addresses_[chunk]);
}

PointerBucket* ConcurrentHashMap_pointer::bucket_at(std::uint64_t index) const noexcept {
  // acquire: chunks below N were published (by the doubling or the constructor) before N was read
  return chunk_slot(index / bucket_chunk_size_).load(std::memory_order_acquire) + index % bucket_chunk_size_;
}

PointerBucket* ConcurrentHashMap_pointer::chunk_marker() const noexcept {
  // Chunk 0 lives as long as the map, so its address is never the address of another chunk.
  return chunk_slot(0).load(std::memory_order_relaxed);  // relaxed: written once, before any sharing
}

PointerBucket* ConcurrentHashMap_pointer::make_bucket_chunk() {
  const std::uint64_t buckets = bucket_chunk_size_;
  if (buckets > std::numeric_limits<std::size_t>::max() / sizeof(PointerBucket)) {
    throw std::runtime_error(map_texts::python_malloc_failed);
  }
  auto* chunk = static_cast<PointerBucket*>(python_malloc(buckets * sizeof(PointerBucket)));
  if (chunk == nullptr) {
    throw std::runtime_error(map_texts::python_malloc_failed);
  }
  LocalLink* link = nullptr;
  try {
    link = block_cache_->take(buckets);
  } catch (...) {
    python_free(chunk);
    throw;
  }
  for (std::uint64_t index = 0; index < buckets; ++index) {
    PointerBucket& bucket = chunk[index];
    std::memset(&bucket, 0, sizeof(PointerBucket));
    bucket.entries.head = link;
    bucket.entries.link_count = 1;
    bucket.entries.unit = pointer_entries_per_link;
    if (index + 1 < buckets) {
      link = link->next;
    }
  }
  return chunk;
}

void ConcurrentHashMap_pointer::release_bucket_chunk(PointerBucket* chunk) noexcept {
  for (std::uint64_t index = 0; index < bucket_chunk_size_; ++index) {
    free_list_links(chunk[index].entries);
  }
  python_free(chunk);
}

}  // namespace corvana
