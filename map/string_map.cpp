// ConcurrentHashMap_string: construction, opening, destruction, the data operations, the
// read-modify-write operations (setdefault, pop, compare_and_set) and the weakly consistent walk.
//
// Every operation locks the bucket of its hash, chosen from N (bucket_chunk_in_use) read before the
// lock was taken; once it holds the lock it reads the bucket's moving_to and then N again, and starts
// over when N changed, so it never works on a bucket that an expansion completed under it.
// Lock order: a bucket, then (get and remove, while the bucket is being moved) its sibling, then a
// chunk cache, then the heap. expansion_lock is only taken with no bucket lock held.
#include "map/string_map.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

#include "map/entry_list.hpp"
#include "map/map_records.hpp"
#include "map/map_support.hpp"

namespace corvana {

using map_layout::aligned_block_bytes;
using map_layout::Bucket;
using map_layout::ChunkList;
using map_layout::empty_chunks_text;
using map_layout::Entry;
using map_layout::EntryCursor;
using map_layout::heap_error_text;
using map_layout::MapHeader;
using map_layout::TakenRun;

namespace {

constexpr std::uint64_t max_uint64 = std::numeric_limits<std::uint64_t>::max();

constexpr char bucket_chunk_number_text[] = "bucket chunk number should be greater than zero!";
constexpr char string_chunk_size_exponent_text[] = "string_chunk_size_exponent should be greater than 2!";
constexpr char size_text[] = "size should be greater than zero!";
constexpr char bad_allocation_text[] = "bad allocation";
constexpr char python_malloc_failed_text[] = "PyMem_Malloc failed!";
constexpr char string_chunk_too_large_text[] =
    "string_chunk_size_exponent should be at most 7: a larger string chunk does not fit its one-byte unit!";
constexpr char bucket_chunk_too_large_text[] =
    "bucket_chunk_size_exponent is too large: a bucket chunk of that many buckets does not fit in 64 bits!";
constexpr char chunk_number_too_large_text[] =
    "bucket chunk number is too large: its table does not fit in 64 bits!";
constexpr char size_too_large_text[] = "size is too large: the memory file would not fit in 64 bits!";

// Largest string_chunk_size_exponent: 2^7 - 2 rounded up to 8 is 128; 2^8 would not fit a unit byte.
constexpr std::uint8_t max_chunk_size_exponent = 7;
constexpr std::uint8_t min_chunk_size_exponent = 3;

// The exception objects of construction, made once per process and thrown as copies.
class BadAllocation : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return bad_allocation_text; }
};
const std::invalid_argument& bucket_chunk_number_exception() {
  static const std::invalid_argument exception(bucket_chunk_number_text);
  return exception;
}
const std::invalid_argument& string_chunk_size_exponent_exception() {
  static const std::invalid_argument exception(string_chunk_size_exponent_text);
  return exception;
}
const std::invalid_argument& size_exception() {
  static const std::invalid_argument exception(size_text);
  return exception;
}
const BadAllocation& bad_alloc_exception() {
  static const BadAllocation exception;
  return exception;
}

// (2^exponent - 2) rounded up to a multiple of 8: 8, 16, 32, 64, 128 for the exponents 3 to 7.
constexpr std::uint8_t string_unit_for(std::uint8_t chunk_size_exponent) noexcept {
  const std::uint64_t unrounded = (std::uint64_t{1} << chunk_size_exponent) - 2;
  return static_cast<std::uint8_t>((unrounded + 7) & ~std::uint64_t{7});
}
static_assert(string_unit_for(3) == 8 && string_unit_for(5) == 32 && string_unit_for(7) == 128);

bool is_string_unit(std::uint64_t unit) noexcept {
  for (std::uint8_t exponent = min_chunk_size_exponent; exponent <= max_chunk_size_exponent; ++exponent) {
    if (unit == string_unit_for(exponent)) {
      return true;
    }
  }
  return false;
}

// An 8-aligned record of `bytes` bytes in a new raw block; throws the heap's error when it has no room.
std::byte* alloc_aligned_record(Allocator heap, std::uint64_t bytes_with_slack) {
  std::byte* payload = heap_alloc_bytes(heap, bytes_with_slack);
  if (payload == nullptr) {
    throw std::runtime_error(heap_error_text());
  }
  return payload + map_layout::aligned_block_slack;
}

// Runs `on_failure` when the scope is left by an exception, unless dismissed.
template <class OnFailure>
class FailureGuard {
 public:
  explicit FailureGuard(OnFailure on_failure) noexcept : on_failure_(on_failure) {}
  ~FailureGuard() {
    if (!is_dismissed_) {
      on_failure_();
    }
  }
  FailureGuard(const FailureGuard&) = delete;
  FailureGuard& operator=(const FailureGuard&) = delete;
  void dismiss() noexcept { is_dismissed_ = true; }

 private:
  OnFailure on_failure_;
  bool is_dismissed_ = false;
};

[[noreturn]] void refuse_file(const std::string& name, const std::string& reason) {
  throw std::runtime_error("not a map file: '" + name + "': " + reason);
}

// Why the mapped file at `heap` (the file being `file_length` bytes long) cannot hold a map this
// code can use; empty when it can, with the bucket chunks in use that were checked in `in_use`.
// Reads only; every Offset and size is checked before it is used. Other processes may be working on
// the map meanwhile: the checks rely only on what they never change (heap_end, the map header) or
// only let grow (heap_next, bucket_chunk_in_use and the table slots below it).
std::string map_file_defect(Allocator heap, std::uint64_t file_length, std::uint64_t& in_use) {
  const auto& heap_header = *reinterpret_cast<const HeapHeader*>(heap);
  const std::uint64_t heap_end = heap_header.heap_end;
  // relaxed: a lower bound is enough, and heap_next only grows
  const std::uint64_t heap_next =
      map_layout::word_at(heap + offsetof(HeapHeader, heap_next)).load(std::memory_order_relaxed);
  if (file_length < file_header_bytes || heap_end > file_length - file_header_bytes) {
    return "the heap it claims (" + std::to_string(heap_end) + " bytes) is longer than the file (" +
           std::to_string(file_length) + " bytes)";
  }
  if (heap_next < map_layout::first_record_offset || heap_next > heap_end) {
    return "its heap holds no map header";
  }
  const auto& chunk = *reinterpret_cast<const ChunkHeader*>(heap + map_layout::map_header_chunk_offset);
  if (chunk.chunk_size != map_layout::map_header_chunk_size || chunk.unit != map_header_unit) {
    return "the map header's chunk header is wrong";
  }
  const auto& header = *reinterpret_cast<const MapHeader*>(heap + map_layout::map_header_offset);
  const std::uint64_t number = header.bucket_chunk_number;
  const std::uint64_t buckets_per_chunk = header.bucket_chunk_size;
  std::uint64_t ignored = 0;
  if (number == 0 || !aligned_block_bytes(number, sizeof(std::uint64_t), ignored)) {
    return "its bucket chunk number (" + std::to_string(number) + ") is impossible";
  }
  if (!std::has_single_bit(buckets_per_chunk) ||
      !aligned_block_bytes(buckets_per_chunk, sizeof(Bucket), ignored)) {
    return "its bucket chunk size (" + std::to_string(buckets_per_chunk) + ") is impossible";
  }
  if (!is_string_unit(header.string_unit) || header.string_unit != heap_header.string_unit) {
    return "its string unit (" + std::to_string(header.string_unit) + ") is impossible";
  }
  // A record of `bytes` bytes at `offset`: 8-aligned, past the map header, inside the heap.
  const auto holds_record = [heap_end](std::uint64_t offset, std::uint64_t bytes) {
    return offset % map_layout::word_alignment == 0 && offset >= map_layout::first_record_offset &&
           offset <= heap_end && bytes <= heap_end - offset;
  };
  if (!holds_record(static_cast<std::uint64_t>(header.table), number * sizeof(std::uint64_t))) {
    return "its bucket chunk table lies outside the heap";
  }
  const Offset cells[] = {header.bucket_chunk_in_use, header.expansion_workers, header.expansion_lock,
                          header.migration_cursor, header.element_count};
  for (const Offset cell : cells) {
    if (!holds_record(static_cast<std::uint64_t>(cell), sizeof(std::uint64_t))) {
      return "a shared cell lies outside the heap";
    }
  }
  // acquire: the chunks below it were published before it doubled
  in_use = map_layout::word_at(heap + static_cast<std::uint64_t>(header.bucket_chunk_in_use))
               .load(std::memory_order_acquire);
  if (in_use == 0 || in_use > number || !std::has_single_bit(in_use) ||
      in_use > max_uint64 / 2 / buckets_per_chunk) {
    return "its number of bucket chunks in use (" + std::to_string(in_use) + ") is impossible";
  }
  std::byte* table = heap + static_cast<std::uint64_t>(header.table);
  for (std::uint64_t chunk = 0; chunk < in_use; ++chunk) {
    // acquire: as every reader of a slot
    const std::uint64_t slot = map_layout::table_slot_word(table, chunk).load(std::memory_order_acquire);
    if (!holds_record(slot, buckets_per_chunk * sizeof(Bucket))) {
      return "bucket chunk " + std::to_string(chunk) + " lies outside the heap";
    }
  }
  return {};
}

}  // namespace

// A bucket locked for an operation; with its sibling while an expansion moves the bucket. The guards
// release in reverse order: the sibling first.
struct ConcurrentHashMap_string::LockedBuckets {
  Bucket* bucket = nullptr;
  Bucket* sibling = nullptr;
  std::uint64_t moving_to = 0;
  std::optional<LockWordGuard> bucket_guard;
  std::optional<LockWordGuard> sibling_guard;
};

// ---------------------------------------------------------------------------------------------
// Construction and destruction

ConcurrentHashMap_string::ConcurrentHashMap_string(std::string& name, std::uint8_t bucket_chunk_size_exponent,
                                                   std::uint64_t bucket_chunk_number, std::uint64_t size,
                                                   std::uint8_t chunk_size_exponent) {
  bucket_chunk_number_ = bucket_chunk_number;
  bucket_chunk_size_ = std::uint64_t{1} << (bucket_chunk_size_exponent % 64);
  if (size == 0) {
    throw size_exception();
  }
  if (chunk_size_exponent < min_chunk_size_exponent) {
    throw string_chunk_size_exponent_exception();
  }
  if (bucket_chunk_number == 0) {
    throw bucket_chunk_number_exception();
  }
  if (name.empty()) {
    create_map(name, bucket_chunk_size_exponent, bucket_chunk_number, size, chunk_size_exponent);
  } else {
    open_map(name);
  }
}

ConcurrentHashMap_string::~ConcurrentHashMap_string() {
  release();
}

void ConcurrentHashMap_string::create_map(std::string& name, std::uint8_t bucket_chunk_size_exponent,
                                          std::uint64_t bucket_chunk_number, std::uint64_t size,
                                          std::uint8_t chunk_size_exponent) {
  // Dimensions whose arithmetic would not fit in 64 bits are refused, never wrapped.
  if (chunk_size_exponent > max_chunk_size_exponent) {
    throw std::invalid_argument(string_chunk_too_large_text);
  }
  std::uint64_t chunk_bytes = 0;
  std::uint64_t table_bytes = 0;
  if (!aligned_block_bytes(bucket_chunk_size_, sizeof(Bucket), chunk_bytes)) {
    throw std::invalid_argument(bucket_chunk_too_large_text);
  }
  if (!aligned_block_bytes(bucket_chunk_number, sizeof(std::uint64_t), table_bytes)) {
    throw std::invalid_argument(chunk_number_too_large_text);
  }
  if (size > max_uint64 - heap_header_bytes || mapped_size_for(size) == 0) {
    throw std::invalid_argument(size_too_large_text);
  }
  bucket_chunk_shift_ = bucket_chunk_size_exponent % 64;
  string_unit_ = string_unit_for(chunk_size_exponent);

  base_ = create_memory_file(size, nullptr, string_unit_, file_, mapping_);
  if (base_ == nullptr) {
    throw bad_alloc_exception();
  }
  std::string path;
  if (!platform::full_path_of(file_, path)) {
    const int code = platform::last_error();
    // Without its path the file cannot be unlinked; emptying it gives its space back at least.
    static_cast<void>(platform::set_file_length(file_, 0));
    release();
    throw std::runtime_error("GetFinalPathNameByHandleW failed with " + std::to_string(code));
  }
  // From here on, any failure closes the new file and deletes it before the exception leaves.
  FailureGuard remove_new_file([this, &path]() noexcept {
    release();
    static_cast<void>(platform::remove_file(path.c_str()));
  });
  heap_end_ = reinterpret_cast<const HeapHeader*>(base_)->heap_end;

  std::byte* header_chunk = heap_alloc_chunks(base_, 1, map_header_unit);
  if (header_chunk == nullptr) {
    throw std::runtime_error(heap_error_text());
  }
  if (header_chunk != base_ + map_layout::map_header_chunk_offset) {
    throw std::runtime_error("the map header did not land at heap offset 64");
  }

  // The first bucket chunk's record blocks come from one refill of exactly B items.
  block_cache_ = std::make_unique<ChunkCache>(base_, CacheKind::blocks, map_layout::entries_per_block);
  block_cache_->fill(bucket_chunk_size_);

  chunk_addresses_ = static_cast<std::byte**>(python_malloc(bucket_chunk_number * sizeof(std::byte*)));
  if (chunk_addresses_ == nullptr) {
    throw std::runtime_error(python_malloc_failed_text);
  }
  std::fill_n(chunk_addresses_, bucket_chunk_number, nullptr);

  table_ = alloc_aligned_record(base_, table_bytes);
  table_offset_ = offset_of(base_, table_);
  std::memset(table_, 0, bucket_chunk_number * sizeof(std::uint64_t));
  std::byte* chunk = alloc_aligned_record(base_, chunk_bytes);
  chunk_addresses_[0] = chunk;
  const auto chunk_offset = static_cast<std::uint64_t>(offset_of(base_, chunk));
  std::memcpy(table_, &chunk_offset, sizeof chunk_offset);

  ChunkLink* link = block_cache_->take(bucket_chunk_size_);
  for (std::uint64_t position = 0; position < bucket_chunk_size_; ++position) {
    if (position > 0) {
      link = map_layout::link_at(base_, link->next);
    }
    initialise_bucket(reinterpret_cast<Bucket*>(chunk + position * sizeof(Bucket)), link);
  }

  // bucket_chunk_in_use, expansion_workers, expansion_lock, migration_cursor, element_count
  constexpr std::uint64_t initial_values[] = {1, 0, lock_word_free, 0, 0};
  constexpr std::size_t cell_count = std::size(initial_values);
  Offset cell_offsets[cell_count];
  for (std::size_t index = 0; index < cell_count; ++index) {
    std::byte* block = heap_alloc_bytes(base_, map_layout::cell_block_bytes);
    if (block == nullptr) {
      throw std::runtime_error(heap_error_text());
    }
    const auto padding =
        static_cast<std::size_t>(-reinterpret_cast<std::uintptr_t>(block) % map_layout::cache_line_bytes);
    std::byte* cell = block + padding;
    std::memcpy(cell, &initial_values[index], sizeof(std::uint64_t));
    cell_offsets[index] = offset_of(base_, cell);
  }

  auto& header = *reinterpret_cast<MapHeader*>(base_ + map_layout::map_header_offset);
  std::memset(&header, 0, sizeof header - sizeof header.unused);
  header.bucket_chunk_number = bucket_chunk_number;
  header.bucket_chunk_size = bucket_chunk_size_;
  header.table = table_offset_;
  header.bucket_chunk_in_use = cell_offsets[0];
  header.expansion_workers = cell_offsets[1];
  header.expansion_lock = cell_offsets[2];
  header.migration_cursor = cell_offsets[3];
  header.element_count = cell_offsets[4];
  header.string_unit = string_unit_;
  adopt_cells(&header);

  string_cache_ = std::make_unique<ChunkCache>(base_, CacheKind::strings, string_unit_);
  remove_new_file.dismiss();
  name = std::move(path);
}

void ConcurrentHashMap_string::open_map(const std::string& name) {
  std::uint64_t file_length = 0;
  if (!platform::file_length(name.c_str(), file_length)) {
    throw std::runtime_error("file status wrong with errno: " + std::to_string(platform::last_error()));
  }
  if (file_length < file_header_bytes + map_layout::first_record_offset) {
    refuse_file(name, "the file is too short to hold a map (" + std::to_string(file_length) + " bytes)");
  }
  base_ = create_memory_file(file_length, name.c_str(), 0, file_, mapping_);
  if (base_ == nullptr) {
    // The memory file refuses a file without a sound heap header with EINVAL.
    if (platform::last_error() == EINVAL) {
      refuse_file(name, heap_error_text());
    }
    throw bad_alloc_exception();
  }
  // A refused or failed opening closes the mapping and deletes nothing.
  FailureGuard close_file([this]() noexcept { release(); });
  std::uint64_t checked_chunks = 0;
  const std::string defect = map_file_defect(base_, file_length, checked_chunks);
  if (!defect.empty()) {
    refuse_file(name, defect);
  }
  heap_end_ = reinterpret_cast<const HeapHeader*>(base_)->heap_end;
  const auto& header = *reinterpret_cast<const MapHeader*>(base_ + map_layout::map_header_offset);
  bucket_chunk_number_ = header.bucket_chunk_number;
  bucket_chunk_size_ = header.bucket_chunk_size;
  bucket_chunk_shift_ = static_cast<unsigned>(std::countr_zero(bucket_chunk_size_));
  string_unit_ = header.string_unit;
  table_offset_ = header.table;
  table_ = address_of(base_, table_offset_);

  block_cache_ = std::make_unique<ChunkCache>(base_, CacheKind::blocks, map_layout::entries_per_block);
  chunk_addresses_ = static_cast<std::byte**>(python_malloc(bucket_chunk_number_ * sizeof(std::byte*)));
  if (chunk_addresses_ == nullptr) {
    throw std::runtime_error(python_malloc_failed_text);
  }
  std::fill_n(chunk_addresses_, bucket_chunk_number_, nullptr);
  adopt_cells(&header);
  // The chunks checked above; later ones are looked up (and checked) on first use.
  for (std::uint64_t chunk = 0; chunk < checked_chunks; ++chunk) {
    // relaxed: the slot was read with acquire while it was checked, and published slots never change
    chunk_addresses_[chunk] =
        base_ + map_layout::table_slot_word(table_, chunk).load(std::memory_order_relaxed);
  }
  string_cache_ = std::make_unique<ChunkCache>(base_, CacheKind::strings, string_unit_);
  close_file.dismiss();
}

void ConcurrentHashMap_string::adopt_cells(const void* header_address) {
  const auto& header = *static_cast<const MapHeader*>(header_address);
  const auto cell = [this](Offset offset) {
    return reinterpret_cast<std::uint64_t*>(address_of(base_, offset));
  };
  bucket_chunk_in_use_ = cell(header.bucket_chunk_in_use);
  expansion_workers_ = cell(header.expansion_workers);
  expansion_lock_ = cell(header.expansion_lock);
  migration_cursor_ = cell(header.migration_cursor);
  element_count_ = cell(header.element_count);
}

void ConcurrentHashMap_string::release() noexcept {
  // The caches give their items back to the heap, which must still be mapped.
  string_cache_.reset();
  block_cache_.reset();
  if (chunk_addresses_ != nullptr) {
    python_free(chunk_addresses_);
    chunk_addresses_ = nullptr;
  }
  // Fields first, then the mapping, so nothing is left naming an unmapped heap.
  Allocator base = base_;
  const FileHandle file = file_;
  const MappingHandle mapping = mapping_;
  base_ = nullptr;
  file_ = platform::invalid_handle;
  mapping_ = platform::invalid_handle;
  table_ = nullptr;
  bucket_chunk_in_use_ = nullptr;
  expansion_workers_ = nullptr;
  expansion_lock_ = nullptr;
  migration_cursor_ = nullptr;
  element_count_ = nullptr;
  close_memory_file(base, file, mapping);
}

void ConcurrentHashMap_string::initialise_bucket(Bucket* bucket, ChunkLink* link) noexcept {
  std::memset(static_cast<void*>(bucket), 0, sizeof(Bucket));
  ChunkList* entries = map_layout::entries_of(bucket);
  entries->head = offset_of(base_, link);
  entries->length = 0;
  entries->link_count = 1;
  entries->unit = map_layout::entries_per_block;
  entries->base = 0;
}

// ---------------------------------------------------------------------------------------------
// Finding buckets

std::byte* ConcurrentHashMap_string::chunk_address(std::uint64_t chunk) const {
  if (chunk >= bucket_chunk_number_) {
    // Only a damaged bucket_chunk_in_use leads here; the address array has no such slot.
    throw std::runtime_error("bucket chunk " + std::to_string(chunk) + " is missing from the table");
  }
  std::atomic_ref<std::byte*> cached(chunk_addresses_[chunk]);
  // acquire: pairs with the release below, made by another thread of this process
  std::byte* address = cached.load(std::memory_order_acquire);
  if (address != nullptr) {
    return address;
  }
  // acquire: the chunk's buckets, initialised before the slot was published, are visible
  const std::uint64_t slot = map_layout::table_slot_word(table_, chunk).load(std::memory_order_acquire);
  const std::uint64_t chunk_bytes = bucket_chunk_size_ * sizeof(Bucket);
  if (slot <= map_layout::table_slot_creating || slot % map_layout::word_alignment != 0 || slot > heap_end_ ||
      chunk_bytes > heap_end_ - slot) {
    throw std::runtime_error("bucket chunk " + std::to_string(chunk) + " is missing from the table");
  }
  address = base_ + slot;
  // release: another thread that finds the address also finds the buckets initialised
  cached.store(address, std::memory_order_release);
  return address;
}

Bucket* ConcurrentHashMap_string::bucket_at(std::uint64_t bucket) const {
  std::byte* chunk = chunk_address(bucket >> bucket_chunk_shift_);
  return reinterpret_cast<Bucket*>(chunk + (bucket & (bucket_chunk_size_ - 1)) * sizeof(Bucket));
}

std::uint64_t ConcurrentHashMap_string::bucket_index(std::int64_t hash,
                                                     std::uint64_t chunks_in_use) const noexcept {
  // B and N are powers of 2, so the unsigned remainder is a mask.
  return static_cast<std::uint64_t>(hash) & (bucket_chunk_size_ * chunks_in_use - 1);
}

std::uint64_t ConcurrentHashMap_string::bucket_of(std::int64_t hash) const noexcept {
  return bucket_index(hash, bucket_chunk_in_use());
}

const Bucket* ConcurrentHashMap_string::cached_bucket_of(std::int64_t hash) const noexcept {
  if (base_ == nullptr) {
    return nullptr;
  }
  const std::uint64_t bucket = bucket_index(hash, bucket_chunk_in_use());
  const std::uint64_t chunk_number = bucket >> bucket_chunk_shift_;
  if (chunk_number >= bucket_chunk_number_) {
    return nullptr;  // a damaged bucket_chunk_in_use; the operation itself reports it
  }
  // acquire: as in chunk_address; a chunk not looked up yet gives nothing
  const std::byte* chunk =
      std::atomic_ref<std::byte*>(chunk_addresses_[chunk_number]).load(std::memory_order_acquire);
  if (chunk == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<const Bucket*>(chunk + (bucket & (bucket_chunk_size_ - 1)) * sizeof(Bucket));
}

void ConcurrentHashMap_string::prefetch_bucket(std::int64_t hash) const noexcept {
  if (const Bucket* bucket = cached_bucket_of(hash); bucket != nullptr) {
    // A bucket may straddle two cache lines; the lock is taken first, so both are asked for writing.
    const auto* first = reinterpret_cast<const std::byte*>(bucket);
    __builtin_prefetch(first, 1);
    __builtin_prefetch(first + sizeof(Bucket) - 1, 1);
  }
}

void ConcurrentHashMap_string::prefetch_entries(std::int64_t hash) const noexcept {
  const Bucket* bucket = cached_bucket_of(hash);
  if (bucket == nullptr) {
    return;
  }
  Offset head;
  std::memcpy(&head, reinterpret_cast<const std::byte*>(bucket) + offsetof(Bucket, entries) +
                         offsetof(ChunkList, head), sizeof head);
  // A fresh first block sits right after its link (a 24-byte link chunk, then the 184-byte block);
  // the link, entry 0 and entry 1's start span at most the next 128 bytes. Integer arithmetic: the
  // address is only a hint and a prefetch never faults.
  const std::uintptr_t link = reinterpret_cast<std::uintptr_t>(base_) + static_cast<std::uint64_t>(head);
  for (std::uintptr_t offset = 0; offset <= 2 * map_layout::cache_line_bytes; offset += map_layout::cache_line_bytes) {
    __builtin_prefetch(reinterpret_cast<const void*>(link + offset));
  }
}

// Locks: the bucket; with `with_sibling` and a bucket being moved, then its sibling. The sibling's
// number is the bucket's plus B * N, so bucket locks are always taken in ascending bucket order,
// as the mover takes them; that order keeps two-bucket holders free of deadlock.
// N is read again after each lock: an expansion that splits a bucket published the N it doubled
// before, so the same N after the lock means no later expansion has touched the bucket.
void ConcurrentHashMap_string::lock_bucket_of(std::int64_t hash, bool with_sibling, LockedBuckets& locked) {
  if (base_ == nullptr) {
    throw std::runtime_error(empty_chunks_text);
  }
  while (true) {
    const std::uint64_t chunks_in_use = bucket_chunk_in_use();
    Bucket* bucket = bucket_at(bucket_index(hash, chunks_in_use));
    locked.bucket_guard.emplace(map_layout::lock_word(bucket), LockWait::spin);
    // acquire: a mark, or its clearing together with the doubling before it, is visible
    const std::uint64_t moving_to = map_layout::moving_to_word(bucket).load(std::memory_order_acquire);
    if (bucket_chunk_in_use() != chunks_in_use) {
      // An expansion completed between the choice and the lock: the bucket may be the wrong one.
      locked.bucket_guard.reset();
      continue;
    }
    if (with_sibling && moving_to != 0) {
      Bucket* sibling = reinterpret_cast<Bucket*>(address_of(base_, static_cast<Offset>(moving_to)));
      locked.sibling_guard.emplace(map_layout::lock_word(sibling), LockWait::spin);
      if (bucket_chunk_in_use() != chunks_in_use) {
        // The expansion completed while we waited for the sibling, and a next one may have split
        // the sibling in turn: its entries may have moved on.
        locked.sibling_guard.reset();
        locked.bucket_guard.reset();
        continue;
      }
      locked.sibling = sibling;
    }
    locked.bucket = bucket;
    locked.moving_to = moving_to;
    return;
  }
}

bool ConcurrentHashMap_string::join_if_crowded(std::uint64_t count) noexcept {
  const auto is_crowded = [this](std::uint64_t entries) {
    std::uint64_t twice_buckets = 0;
    if (__builtin_mul_overflow(bucket_chunk_size_ * 2, bucket_chunk_in_use(), &twice_buckets)) {
      return false;
    }
    return twice_buckets < entries;
  };
  if (!is_crowded(count)) {
    return false;
  }
  try {
    // Checked again under expansion_lock, with the count read afresh.
    if (!enter_expansion([&] { return is_crowded(element_count()); })) {
      return false;
    }
    expand();
  } catch (const std::exception&) {
    // The caller's own change is complete; an expansion that could not run leaves the map working at
    // its size, and a later insert tries again.
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// insert, get, remove

void ConcurrentHashMap_string::insert(const char* key, const char* value, std::uint64_t key_len,
                                      std::uint64_t value_len, std::int64_t hash) {
  bool may_join = true;
  while (true) {
    LockedBuckets locked;
    lock_bucket_of(hash, false, locked);
    if (locked.moving_to != 0) {
      // The bucket is being moved: wait until the expansion is over, helping it once per call.
      locked.bucket_guard.reset();
      if (may_join) {
        may_join = false;
        if (join_if_crowded(element_count())) {
          continue;
        }
      }
      sleep_wait_step();  // gives the interpreter lock away while it sleeps
      continue;
    }

    ChunkList* entries = map_layout::entries_of(locked.bucket);
    const std::uint64_t length = entries->length;
    const std::uint8_t unit = string_unit_;
    if (length == 0) {
      // Everything the entry needs is taken before the list changes.
      TakenRun key_run(*string_cache_, map_layout::links_for_bytes(key_len, unit));
      TakenRun value_run(*string_cache_, map_layout::links_for_bytes(value_len, unit));
      Entry* entry = map_layout::entry_in_block(base_, map_layout::link_at(base_, entries->head), 0);
      map_layout::write_new_string(base_, map_layout::key_of(entry), key, key_len, unit, key_run);
      map_layout::write_new_string(base_, map_layout::value_of(entry), value, value_len, unit, value_run);
      entry->hash = hash;
      entries->length = 1;
      // relaxed: element_count is a statistic (it decides when to expand); nothing is published through it
      count_word().fetch_add(1, std::memory_order_relaxed);
      return;
    }

    EntryCursor cursor(base_, entries);
    while (true) {
      Entry* entry = cursor.entry();
      if (map_layout::key_matches(base_, entry, key, key_len, hash, unit)) {
        map_layout::store_bytes(base_, map_layout::value_of(entry), value, value_len, *string_cache_);
        return;
      }
      if (cursor.index() + 1 == length) {
        break;
      }
      cursor.advance();
    }

    // Append at index `length`. A new record block is needed only when every slot of every link is
    // in use; it and the key's and value's chunks are taken before the list changes.
    const bool needs_block = length == map_layout::entries_per_block * entries->link_count;
    TakenRun block(*block_cache_, needs_block ? 1 : 0);
    TakenRun key_run(*string_cache_, map_layout::links_for_bytes(key_len, unit));
    TakenRun value_run(*string_cache_, map_layout::links_for_bytes(value_len, unit));
    ChunkLink* link = cursor.link();
    if (length % map_layout::entries_per_block == 0) {
      if (needs_block) {
        ChunkLink* added = block.release();
        link->next = offset_of(base_, added);
        entries->link_count = entries->link_count + 1;
        link = added;
      } else {
        link = map_layout::link_at(base_, link->next);
      }
    }
    Entry* entry = map_layout::entry_in_block(base_, link, length % map_layout::entries_per_block);
    map_layout::write_new_string(base_, map_layout::key_of(entry), key, key_len, unit, key_run);
    map_layout::write_new_string(base_, map_layout::value_of(entry), value, value_len, unit, value_run);
    entry->hash = hash;
    entries->length = length + 1;
    // relaxed: as above; the count it returns is the freshest there is for the join rule
    const std::uint64_t count = count_word().fetch_add(1, std::memory_order_relaxed) + 1;
    locked.bucket_guard.reset();
    join_if_crowded(count);
    return;
  }
}

namespace {

// A buffer of length + 1 bytes from python_malloc, for the callers that free it with python_free.
class PythonMallocSink final : public ValueSink {
 public:
  char* buffer_for(std::uint64_t length) override {
    if (length >= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw std::runtime_error(python_malloc_failed_text);
    }
    buffer_ = static_cast<char*>(python_malloc(length + 1));
    if (buffer_ == nullptr) {
      throw std::runtime_error(python_malloc_failed_text);
    }
    length_ = static_cast<std::int64_t>(length);
    return buffer_;
  }
  void hand_over(char*& value, std::int64_t& value_len) const noexcept {
    value = buffer_;
    value_len = length_;
  }

 private:
  char* buffer_ = nullptr;
  std::int64_t length_ = 0;
};

// Copies the string `stored` into the buffer that `sink` provides for it.
void copy_to_sink(Allocator heap, const ChunkList* stored, std::uint8_t unit, ValueSink& sink) {
  char* buffer = sink.buffer_for(stored->length);
  map_layout::copy_string(heap, stored, buffer, unit);
}

// A python_malloc copy of the string `stored` (length + 1 bytes, the last one not written).
void hand_out_copy(Allocator heap, const ChunkList* stored, std::uint8_t unit, char*& value,
                   std::int64_t& value_len) {
  PythonMallocSink sink;
  copy_to_sink(heap, stored, unit, sink);
  sink.hand_over(value, value_len);
}

// The entry of `entries` that holds the key, or null.
Entry* find_entry(Allocator heap, ChunkList* entries, const char* key, std::uint64_t key_len,
                  std::int64_t hash, std::uint8_t unit) {
  const std::uint64_t length = entries->length;
  if (length == 0) {
    return nullptr;
  }
  EntryCursor cursor(heap, entries);
  while (true) {
    Entry* entry = cursor.entry();
    if (map_layout::key_matches(heap, entry, key, key_len, hash, unit)) {
      return entry;
    }
    if (cursor.index() + 1 == length) {
      return nullptr;
    }
    cursor.advance();
  }
}

}  // namespace

bool ConcurrentHashMap_string::get(const char* key, std::uint64_t key_len, std::int64_t hash, char*& value,
                                   std::int64_t& value_len) {
  PythonMallocSink sink;
  if (!get(key, key_len, hash, sink)) {
    return false;
  }
  sink.hand_over(value, value_len);
  return true;
}

bool ConcurrentHashMap_string::get(const char* key, std::uint64_t key_len, std::int64_t hash, ValueSink& sink) {
  LockedBuckets locked;
  lock_bucket_of(hash, true, locked);
  Entry* entry = find_entry(base_, map_layout::entries_of(locked.bucket), key, key_len, hash, string_unit_);
  if (entry == nullptr && locked.sibling != nullptr) {
    // The entry may already have moved to the sibling of a bucket being split.
    entry = find_entry(base_, map_layout::entries_of(locked.sibling), key, key_len, hash, string_unit_);
  }
  if (entry == nullptr) {
    return false;
  }
  copy_to_sink(base_, map_layout::value_of(entry), string_unit_, sink);
  return true;
}

namespace {

// Removes the key from `entries` when it is there: the last entry fills the hole, and the list keeps
// max(1, ceil(length / 2)) links. Every list is consistent before anything goes back to a cache.
// Requires: the lock of the bucket that owns `entries`.
bool remove_entry(Allocator heap, ChunkList* entries, const char* key, std::uint64_t key_len,
                  std::int64_t hash, std::uint8_t unit, ChunkCache& blocks, ChunkCache& strings,
                  std::atomic_ref<std::uint64_t> element_count) {
  const std::uint64_t length = entries->length;
  if (length == 0) {
    return false;
  }
  EntryCursor cursor(heap, entries);
  Entry* found = nullptr;
  while (true) {
    Entry* entry = cursor.entry();
    if (found == nullptr && map_layout::key_matches(heap, entry, key, key_len, hash, unit)) {
      found = entry;
    }
    if (cursor.index() + 1 == length) {
      break;
    }
    cursor.advance();
  }
  if (found == nullptr) {
    return false;
  }
  Entry* last = cursor.entry();
  ChunkList* found_key = map_layout::key_of(found);
  ChunkList* found_value = map_layout::value_of(found);
  const std::uint64_t key_links = found_key->link_count;
  const std::uint64_t value_links = found_value->link_count;
  ChunkLink* key_chunks = key_links > 0 ? map_layout::link_at(heap, found_key->head) : nullptr;
  ChunkLink* value_chunks = value_links > 0 ? map_layout::link_at(heap, found_value->head) : nullptr;
  if (found != last) {
    // The last entry's list records fill the hole; no key or value bytes move.
    std::memcpy(static_cast<void*>(found_key), map_layout::key_of(last), sizeof(ChunkList));
    std::memcpy(static_cast<void*>(found_value), map_layout::value_of(last), sizeof(ChunkList));
    found->hash = last->hash;
  }
  map_layout::clear_list(map_layout::key_of(last));
  map_layout::clear_list(map_layout::value_of(last));
  last->hash = 0;

  // Keep max(1, ceil((length - 1) / 2)) links: that is either every link up to the cursor's (the one
  // holding the last entry), or those before it when the last entry was alone in its record block.
  const std::uint64_t remaining = length - 1;
  const std::uint64_t keep = map_layout::links_for_entries(remaining);
  const std::uint64_t last_link_index = remaining / map_layout::entries_per_block;
  const std::uint64_t spare_links = entries->link_count - keep;
  ChunkLink* spare = nullptr;
  if (spare_links > 0) {
    spare = keep == last_link_index ? cursor.link() : map_layout::link_at(heap, cursor.link()->next);
  }
  entries->length = remaining;
  entries->link_count = keep;
  // relaxed: element_count is a statistic; nothing is published through it
  element_count.fetch_sub(1, std::memory_order_relaxed);

  map_layout::give_back_run(strings, key_links, key_chunks);
  map_layout::give_back_run(strings, value_links, value_chunks);
  map_layout::give_back_run(blocks, spare_links, spare);
  return true;
}

}  // namespace

bool ConcurrentHashMap_string::remove(const char* key, std::uint64_t key_len, std::int64_t hash) {
  LockedBuckets locked;
  lock_bucket_of(hash, true, locked);
  if (remove_entry(base_, map_layout::entries_of(locked.bucket), key, key_len, hash, string_unit_,
                   *block_cache_, *string_cache_, count_word())) {
    return true;
  }
  // The entry may already have moved to the sibling of a bucket being split.
  return locked.sibling != nullptr &&
         remove_entry(base_, map_layout::entries_of(locked.sibling), key, key_len, hash, string_unit_,
                      *block_cache_, *string_cache_, count_word());
}

// ---------------------------------------------------------------------------------------------
// Read-modify-write under one bucket lock
//
// Each operation below locks the key's bucket as get and remove do (with its sibling while an
// expansion moves the bucket), so the read and the write it makes are one step for every other
// operation on the key. Nothing here runs Python code: the caller serializes before and
// deserializes after.

std::uint64_t ConcurrentHashMap_string::append_entry(Bucket* bucket, const char* key, const char* value,
                                                     std::uint64_t key_len, std::uint64_t value_len,
                                                     std::int64_t hash) {
  ChunkList* entries = map_layout::entries_of(bucket);
  const std::uint64_t length = entries->length;
  const std::uint8_t unit = string_unit_;
  // Everything the entry needs is taken before the list changes.
  const bool needs_block = length == map_layout::entries_per_block * entries->link_count;
  TakenRun block(*block_cache_, needs_block ? 1 : 0);
  TakenRun key_run(*string_cache_, map_layout::links_for_bytes(key_len, unit));
  TakenRun value_run(*string_cache_, map_layout::links_for_bytes(value_len, unit));
  ChunkLink* head = map_layout::link_at(base_, entries->head);
  ChunkLink* link = nullptr;
  if (needs_block) {
    ChunkLink* last = map_layout::walk_links(base_, head, entries->link_count - 1);
    ChunkLink* added = block.release();
    last->next = offset_of(base_, added);
    entries->link_count = entries->link_count + 1;
    link = added;
  } else {
    link = map_layout::walk_links(base_, head, length / map_layout::entries_per_block);
  }
  Entry* entry = map_layout::entry_in_block(base_, link, length % map_layout::entries_per_block);
  map_layout::write_new_string(base_, map_layout::key_of(entry), key, key_len, unit, key_run);
  map_layout::write_new_string(base_, map_layout::value_of(entry), value, value_len, unit, value_run);
  entry->hash = hash;
  entries->length = length + 1;
  // relaxed: element_count is a statistic; nothing is published through it
  return count_word().fetch_add(1, std::memory_order_relaxed) + 1;
}

bool ConcurrentHashMap_string::contains(const char* key, std::uint64_t key_len, std::int64_t hash) {
  LockedBuckets locked;
  lock_bucket_of(hash, true, locked);
  if (find_entry(base_, map_layout::entries_of(locked.bucket), key, key_len, hash, string_unit_) != nullptr) {
    return true;
  }
  return locked.sibling != nullptr &&
         find_entry(base_, map_layout::entries_of(locked.sibling), key, key_len, hash, string_unit_) != nullptr;
}

bool ConcurrentHashMap_string::setdefault(const char* key, const char* value, std::uint64_t key_len,
                                          std::uint64_t value_len, std::int64_t hash, char*& stored,
                                          std::int64_t& stored_len) {
  bool may_join = true;
  while (true) {
    LockedBuckets locked;
    lock_bucket_of(hash, true, locked);
    Entry* entry = find_entry(base_, map_layout::entries_of(locked.bucket), key, key_len, hash, string_unit_);
    if (entry == nullptr && locked.sibling != nullptr) {
      entry = find_entry(base_, map_layout::entries_of(locked.sibling), key, key_len, hash, string_unit_);
    }
    if (entry != nullptr) {
      hand_out_copy(base_, map_layout::value_of(entry), string_unit_, stored, stored_len);
      return false;
    }
    if (locked.moving_to != 0) {
      // Absent, but the bucket is being split: a new entry may only be added once the expansion is
      // over (as insert does), and the key is looked for again then, since another process may
      // have added it meanwhile.
      locked.sibling_guard.reset();
      locked.bucket_guard.reset();
      if (may_join) {
        may_join = false;
        if (join_if_crowded(element_count())) {
          continue;
        }
      }
      sleep_wait_step();
      continue;
    }
    const std::uint64_t count = append_entry(locked.bucket, key, value, key_len, value_len, hash);
    locked.bucket_guard.reset();
    join_if_crowded(count);
    return true;
  }
}

bool ConcurrentHashMap_string::pop(const char* key, std::uint64_t key_len, std::int64_t hash, char*& value,
                                   std::int64_t& value_len) {
  LockedBuckets locked;
  lock_bucket_of(hash, true, locked);
  ChunkList* entries = map_layout::entries_of(locked.bucket);
  Entry* entry = find_entry(base_, entries, key, key_len, hash, string_unit_);
  if (entry == nullptr && locked.sibling != nullptr) {
    entries = map_layout::entries_of(locked.sibling);
    entry = find_entry(base_, entries, key, key_len, hash, string_unit_);
  }
  if (entry == nullptr) {
    return false;
  }
  // The copy comes first: when it cannot be made, nothing has been removed.
  char* buffer = nullptr;
  std::int64_t length = 0;
  hand_out_copy(base_, map_layout::value_of(entry), string_unit_, buffer, length);
  value = buffer;
  value_len = length;
  try {
    static_cast<void>(remove_entry(base_, entries, key, key_len, hash, string_unit_, *block_cache_,
                                   *string_cache_, count_word()));
  } catch (const std::exception& error) {
    // Only giving chunks back can fail here, after the entry has left the list: the key is removed
    // and its value is the caller's, so the pop succeeded; the refused chunks are reported.
    std::fprintf(stderr, "corvana: chunks of a popped entry were not given back: %s\n", error.what());
  }
  return true;
}

bool ConcurrentHashMap_string::compare_and_set(const char* key, std::uint64_t key_len, std::int64_t hash,
                                               const char* expected, std::uint64_t expected_len,
                                               const char* value, std::uint64_t value_len) {
  LockedBuckets locked;
  lock_bucket_of(hash, true, locked);
  Entry* entry = find_entry(base_, map_layout::entries_of(locked.bucket), key, key_len, hash, string_unit_);
  if (entry == nullptr && locked.sibling != nullptr) {
    entry = find_entry(base_, map_layout::entries_of(locked.sibling), key, key_len, hash, string_unit_);
  }
  if (entry == nullptr ||
      !map_layout::string_equals(base_, map_layout::value_of(entry), expected, expected_len, string_unit_)) {
    return false;
  }
  map_layout::store_bytes(base_, map_layout::value_of(entry), value, value_len, *string_cache_);
  return true;
}

// ---------------------------------------------------------------------------------------------
// The weakly consistent walk
//
// Why every key present and unchanged for the whole walk is returned exactly once.
// Let W be the number of bucket chunks when the walk starts and G = B*W its number of groups. N only
// grows, by doublings, so B*N is always a multiple of G, and the bucket of a key with hash h,
// h mod B*N, is congruent to h mod G: a key lives in a bucket of group h mod G for as long as it is
// in the map, whatever the number of chunks. An expansion moves an entry from bucket j to j + B*N
// only, inside the same group. So the entries of group g are exactly those held by the buckets
// g, g + G, g + 2G, ... below B*N, plus the siblings of those buckets that an expansion in progress
// is filling. walk_one_group locks all of them (members ascending, then the siblings, which are all
// above the members: ascending bucket order, as every holder of two bucket locks takes them, so no
// deadlock), checks that N did not change meanwhile, and reads them while it holds every lock: no
// entry of the group can move, appear or vanish during the read, so each is read exactly once. The
// walk visits every group once, in increasing order. A key present for the whole walk is therefore
// found when its group is visited, once; a key inserted or removed meanwhile may or may not be; and
// no key is ever returned twice by one walk, since its group is read once.
// When no expansion ran since the walk started (N == W) and none is running, a group is a single
// bucket and exactly one lock is held at a time.

namespace {

// Bucket locks held together, released in the reverse order of taking.
class HeldBuckets {
 public:
  HeldBuckets() = default;
  HeldBuckets(const HeldBuckets&) = delete;
  HeldBuckets& operator=(const HeldBuckets&) = delete;
  ~HeldBuckets() { release(); }
  void lock(Bucket* bucket) {
    buckets_.reserve(buckets_.size() + 1);  // may throw: nothing is held for it yet
    lock_word(map_layout::lock_word(bucket), LockWait::spin);
    buckets_.push_back(bucket);
  }
  void release() noexcept {
    while (!buckets_.empty()) {
      unlock_word(map_layout::lock_word(buckets_.back()));
      buckets_.pop_back();
    }
  }
  [[nodiscard]] const std::vector<Bucket*>& buckets() const noexcept { return buckets_; }
  [[nodiscard]] bool holds(const Bucket* bucket) const noexcept {
    return std::find(buckets_.begin(), buckets_.end(), bucket) != buckets_.end();
  }

 private:
  std::vector<Bucket*> buckets_;
};

void append_string(Allocator heap, const ChunkList* list, std::uint8_t unit, std::string& bytes) {
  const std::uint64_t length = list->length;
  const std::size_t at = bytes.size();
  bytes.resize(at + length);  // may throw bad_alloc; the caller's locks are released by their guards
  map_layout::copy_string(heap, list, bytes.data() + at, unit);
}

}  // namespace

std::uint64_t ConcurrentHashMap_string::walk_one_group(std::uint64_t walk_chunks, std::uint64_t group,
                                                       bool with_keys, bool with_values, WalkBatch& batch) {
  const std::uint64_t group_count = bucket_chunk_size_ * walk_chunks;
  HeldBuckets held;
  std::vector<Bucket*> siblings;
  while (true) {
    const std::uint64_t chunks_in_use = bucket_chunk_in_use();
    const std::uint64_t bucket_count = bucket_chunk_size_ * chunks_in_use;
    for (std::uint64_t bucket = group; bucket < bucket_count; bucket += group_count) {
      held.lock(bucket_at(bucket));
    }
    // A bucket being split has its sibling above every member; a mark left by an expansion that
    // has just doubled names a member (it is cleared right after the doubling) and is skipped.
    siblings.clear();
    for (Bucket* member : held.buckets()) {
      // acquire: as in lock_bucket_of
      const std::uint64_t moving_to = map_layout::moving_to_word(member).load(std::memory_order_acquire);
      if (moving_to != 0) {
        Bucket* sibling = reinterpret_cast<Bucket*>(address_of(base_, static_cast<Offset>(moving_to)));
        if (!held.holds(sibling)) {
          siblings.push_back(sibling);
        }
      }
    }
    if (bucket_chunk_in_use() != chunks_in_use) {
      held.release();  // a doubling completed before every member was locked: the group grew
      continue;
    }
    for (Bucket* sibling : siblings) {
      held.lock(sibling);
    }
    if (bucket_chunk_in_use() != chunks_in_use) {
      held.release();
      continue;
    }
    break;
  }
  std::uint64_t added = 0;
  for (Bucket* bucket : held.buckets()) {
    ChunkList* entries = map_layout::entries_of(bucket);
    const std::uint64_t length = entries->length;
    if (length == 0) {
      continue;
    }
    EntryCursor cursor(base_, entries);
    while (true) {
      Entry* entry = cursor.entry();
      // Lengths are copied out by value: a packed field cannot bind a reference.
      if (with_keys) {
        const std::uint64_t key_length = map_layout::key_of(entry)->length;
        append_string(base_, map_layout::key_of(entry), string_unit_, batch.bytes);
        batch.lengths.push_back(key_length);
      }
      if (with_values) {
        const std::uint64_t value_length = map_layout::value_of(entry)->length;
        append_string(base_, map_layout::value_of(entry), string_unit_, batch.bytes);
        batch.lengths.push_back(value_length);
      }
      ++added;
      if (cursor.index() + 1 == length) {
        break;
      }
      cursor.advance();
    }
  }
  return added;
}

std::uint64_t ConcurrentHashMap_string::walk_groups(std::uint64_t walk_chunks, std::uint64_t group,
                                                    std::uint64_t min_entries, bool with_keys, bool with_values,
                                                    WalkBatch& batch) {
  if (base_ == nullptr) {
    throw std::runtime_error(empty_chunks_text);
  }
  if (walk_chunks == 0 || !std::has_single_bit(walk_chunks) || walk_chunks > bucket_chunk_in_use()) {
    throw std::invalid_argument("a walk must start from a number of bucket chunks the map has had");
  }
  const std::uint64_t group_count = bucket_chunk_size_ * walk_chunks;
  std::uint64_t added = 0;
  while (group < group_count && added < min_entries) {
    added += walk_one_group(walk_chunks, group, with_keys, with_values, batch);
    ++group;
  }
  return std::min(group, group_count);
}

}  // namespace corvana
