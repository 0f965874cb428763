// ConcurrentHashMap_string: construction, opening, destruction, the data operations, the
// read-modify-write operations (setdefault, pop, compare_and_set), repair after a death, and the
// weakly consistent walk.
//
// Every operation locks the bucket of its hash, chosen from N (bucket_chunk_in_use) read before the
// lock was taken; once it holds the lock it reads the bucket's moving_to and then N again, and starts
// over when N changed, so it never works on a bucket that an expansion completed under it.
// Lock order: a bucket, then (get and remove, while the bucket is being moved) its sibling, then the
// heap. expansion_lock is only taken with no bucket lock held.
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
#include <utility>

#include "map/entry_pages.hpp"
#include "map/map_records.hpp"
#include "map/map_support.hpp"

namespace corvana {

using map_layout::aligned_block_bytes;
using map_layout::Bucket;
using map_layout::ClassCaches;
using map_layout::empty_chunks_text;
using map_layout::EntryView;
using map_layout::HeapAccess;
using map_layout::heap_error_text;
using map_layout::IntentKind;
using map_layout::MapHeader;
using map_layout::NewString;
using map_layout::PageHeader;
using map_layout::PageView;
using map_layout::WriterIntent;
using map_layout::for_each_entry;
using map_layout::for_each_page;
using map_layout::give_back_page;
using map_layout::new_page;
using map_layout::page_link_of;

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

// A record of `bytes` bytes on a cache line, in a new raw block; throws the heap's error when it has
// no room. Fresh heap space is zero (also where its pages have no backing yet).
std::byte* alloc_aligned_record(Allocator heap, std::uint64_t bytes_with_slack, Backing backing = Backing::ahead) {
  std::byte* payload = heap_alloc_bytes(heap, bytes_with_slack, backing);
  if (payload == nullptr) {
    throw std::runtime_error(heap_error_text());
  }
  return map_layout::line_aligned(payload);
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

void ConcurrentHashMap_string::BucketHold::take(ConcurrentHashMap_string& map, Bucket* bucket, Interrupt interrupt) {
  map.lock_bucket(bucket, interrupt);
  bucket_ = bucket;
}

void ConcurrentHashMap_string::BucketHold::release() noexcept {
  if (bucket_ != nullptr) {
    release_lock_word(map_layout::lock_address(std::exchange(bucket_, nullptr)));
  }
}

// A mutation's hold on writer record r = current_thread_tag() % writer_records of this object, from
// before its bucket lock is taken until after it is released: the record, and its slab caches, have
// one writer at a time. Threads whose tags share r take turns. A thread that asks again for the record
// it holds (a signal handler that runs map code inside an operation of its own thread) is refused
// rather than left waiting for itself.
ConcurrentHashMap_string::WriterHold::WriterHold(ConcurrentHashMap_string& map)
    : map_(map), tag_(current_thread_tag()), record_(tag_ % map_layout::writer_records) {
  std::atomic_ref<std::uint32_t> lock(map_.writer_locks_[record_]);
  std::uint32_t expected = 0;
  // acquire: the previous writer's changes to the record and its caches are visible
  while (!lock.compare_exchange_weak(expected, tag_, std::memory_order_acquire, std::memory_order_relaxed)) {
    if (expected == tag_) {
      throw std::logic_error("a map operation was started inside another operation of the same thread");
    }
    expected = 0;
    sleep_wait_step();  // gives the interpreter lock away: the holder may need it to finish
  }
}

ConcurrentHashMap_string::WriterHold::~WriterHold() {
  // release: our changes to the record and its caches are visible to the next writer
  std::atomic_ref<std::uint32_t>(map_.writer_locks_[record_]).store(0, std::memory_order_release);
}

WriterIntent* ConcurrentHashMap_string::WriterHold::intent() const noexcept {
  return &map_.own_records_->intents[record_];
}

std::int64_t ConcurrentHashMap_string::WriterHold::count() const noexcept {
  // relaxed: this thread is the record's only writer now
  return static_cast<std::int64_t>(map_layout::count_word(map_.own_records_, record_).load(std::memory_order_relaxed));
}

void ConcurrentHashMap_string::WriterHold::store_count(std::int64_t count) const noexcept {
  crash_order_barrier();
  // relaxed: summed by readers as a statistic; a repair reads it after the writer's death
  map_layout::count_word(map_.own_records_, record_).store(static_cast<std::uint64_t>(count), std::memory_order_relaxed);
  crash_order_barrier();
}

void ConcurrentHashMap_string::WriterHold::begin(IntentKind kind, std::int8_t delta) const noexcept {
  crash_order_barrier();
  // relaxed: read by this thread, or by a repair after this process died (the barrier orders)
  map_layout::intent_state_word(intent()).store(
      map_layout::intent_state(kind, delta, token_generation(map_.process_table_->token_base())),
      std::memory_order_relaxed);
  crash_order_barrier();
}

void ConcurrentHashMap_string::WriterHold::end() const noexcept {
  crash_order_barrier();
  // relaxed: as in begin
  map_layout::intent_state_word(intent()).store(0, std::memory_order_relaxed);
  crash_order_barrier();
}

// A bucket locked for an operation; with its sibling while an expansion moves the bucket. The holds
// release in reverse order: the sibling first.
struct ConcurrentHashMap_string::LockedBuckets {
  Bucket* bucket = nullptr;
  Bucket* sibling = nullptr;
  std::uint64_t moving_to = 0;
  BucketHold bucket_hold;
  BucketHold sibling_hold;
  void release() noexcept {
    sibling_hold.release();
    bucket_hold.release();
  }
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
  make_backed_regions();
  adopt_process_slot();

  std::byte* header_chunk = heap_alloc_chunks(base_, 1, map_header_unit);
  if (header_chunk == nullptr) {
    throw std::runtime_error(heap_error_text());
  }
  if (header_chunk != base_ + map_layout::map_header_chunk_offset) {
    throw std::runtime_error("the map header did not land at heap offset 64");
  }
  make_caches();

  chunk_addresses_ = static_cast<std::byte**>(python_malloc(bucket_chunk_number * sizeof(std::byte*)));
  if (chunk_addresses_ == nullptr) {
    throw std::runtime_error(python_malloc_failed_text);
  }
  std::fill_n(chunk_addresses_, bucket_chunk_number, nullptr);

  // The cells and the table first: they lie in the first pages of the heap, backed with the file.
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

  // The table and bucket chunk 0 are fresh heap space, which is zero: every slot is empty and every
  // bucket is an empty bucket without links. The chunk's pages get backing as buckets are used.
  table_ = alloc_aligned_record(base_, table_bytes);
  table_offset_ = offset_of(base_, table_);
  std::byte* chunk = alloc_aligned_record(base_, chunk_bytes, Backing::by_user);
  chunk_addresses_[0] = chunk;
  const auto chunk_offset = static_cast<std::uint64_t>(offset_of(base_, chunk));
  std::memcpy(table_, &chunk_offset, sizeof chunk_offset);

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
    // The memory file refuses a file that is not a memory file of this format with EINVAL, and one
    // of another format version with EPROTO.
    if (platform::last_error() == EPROTO) {
      throw std::runtime_error("unsupported map file: '" + name + "': " + heap_error_text());
    }
    if (platform::last_error() == EINVAL) {
      refuse_file(name, heap_error_text());
    }
    if (platform::last_error() == EBUSY) {
      throw ProcessSlotsExhausted("cannot open '" + name + "': " + heap_error_text());
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
  make_backed_regions();
  const auto& header = *reinterpret_cast<const MapHeader*>(base_ + map_layout::map_header_offset);
  bucket_chunk_number_ = header.bucket_chunk_number;
  bucket_chunk_size_ = header.bucket_chunk_size;
  bucket_chunk_shift_ = static_cast<unsigned>(std::countr_zero(bucket_chunk_size_));
  string_unit_ = header.string_unit;
  table_offset_ = header.table;
  table_ = address_of(base_, table_offset_);

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
  adopt_process_slot();
  make_caches();
  if (process_table_->took_over_dead_slot()) {
    repair_inherited_slot();
  }
  close_file.dismiss();
}

void ConcurrentHashMap_string::adopt_process_slot() {
  process_table_ = process_table_of(base_);
  if (process_table_ == nullptr || !process_table_->has_slot()) {
    throw std::runtime_error("the memory file has no process slot for this map");
  }
  own_records_ = map_layout::slot_records(process_table_->own_slot());
  expansion_liveness_ = process_table_;
  generation_ = fork_generation();
  access_ = std::make_unique<HeapAccess>();
  access_->base = base_;
  access_->slabs = slab_view(base_);
  access_->heap_end = heap_end_;
  if (access_->slabs.header == nullptr) {
    throw std::runtime_error("the memory file has no slab directory");
  }
}

void ConcurrentHashMap_string::make_caches() {
  // The caches' chunks are recorded in this object's slot, where a taker of the slot finds them.
  ProcessSlot* slot = process_table_->own_slot();
  for (std::uint32_t record = 0; record < map_layout::writer_records; ++record) {
    writer_caches_[record] = std::make_unique<ClassCaches>(base_, access_->slabs, slot->slab_caches[record]);
  }
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
  // The caches give their chunks back to the heap, which must still be mapped.
  for (std::unique_ptr<ClassCaches>& caches : writer_caches_) {
    caches.reset();
  }
  access_.reset();
  backed_regions_.reset();
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
  process_table_ = nullptr;
  table_offset_ = Offset::null;
  own_records_ = nullptr;
  expansion_liveness_ = nullptr;
  bucket_chunk_in_use_ = nullptr;
  expansion_workers_ = nullptr;
  expansion_lock_ = nullptr;
  migration_cursor_ = nullptr;
  element_count_ = nullptr;
  close_memory_file(base, file, mapping);
}

void ConcurrentHashMap_string::refuse_use() const {
  if (base_ == nullptr) {
    throw std::runtime_error(empty_chunks_text);
  }
  throw std::logic_error(
      "this map object belongs to the process that made it; a forked child must open the map again by its name");
}

// ---------------------------------------------------------------------------------------------
// Counting

std::uint64_t ConcurrentHashMap_string::element_count() const noexcept {
  if (process_table_ == nullptr) {
    return 0;
  }
  std::int64_t total = 0;
  const std::uint32_t end = process_table_->high_water();
  for (std::uint32_t index = 0; index < end; ++index) {
    map_layout::SlotRecords* records = map_layout::slot_records(process_table_->slot(index));
    for (std::uint32_t record = 0; record < map_layout::writer_records; ++record) {
      // relaxed: a sum of statistics, exact when no change is under way
      total += static_cast<std::int64_t>(map_layout::count_word(records, record).load(std::memory_order_relaxed));
    }
  }
  return total > 0 ? static_cast<std::uint64_t>(total) : 0;
}

std::uint64_t ConcurrentHashMap_string::count_after_append() noexcept {
  // The exact sum reads a line per slot ever claimed; between two sums this object counts only its
  // own appends, which is close enough to decide when a doubling is due (checked exactly under
  // expansion_lock). Small maps, where a few entries matter, sum more often.
  const std::uint64_t bucket_count = bucket_chunk_size_ * bucket_chunk_in_use();
  const std::uint64_t interval = std::clamp<std::uint64_t>(bucket_count / 8, 1, 256);
  // relaxed: a private estimate of this object; threads racing on it only blur it
  std::atomic_ref<std::uint64_t> since(appends_since_count_);
  std::atomic_ref<std::uint64_t> counted(counted_entries_);
  const std::uint64_t appends = since.load(std::memory_order_relaxed) + 1;
  since.store(appends, std::memory_order_relaxed);
  if (appends >= interval) {
    since.store(0, std::memory_order_relaxed);
    counted.store(element_count(), std::memory_order_relaxed);
    return counted.load(std::memory_order_relaxed);
  }
  return counted.load(std::memory_order_relaxed) + appends;
}

// ---------------------------------------------------------------------------------------------
// Finding buckets

std::byte* ConcurrentHashMap_string::chunk_address(std::uint64_t chunk) const {
  if (chunk >= bucket_chunk_number_) {
    // Only a damaged bucket_chunk_in_use leads here; the address array has no such slot.
    throw DamagedFile("bucket chunk " + std::to_string(chunk) + " is missing from the table");
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
  if (slot == 0 || map_layout::is_creator_marker(slot) || slot % map_layout::word_alignment != 0 || slot > heap_end_ ||
      chunk_bytes > heap_end_ - slot) {
    throw DamagedFile("bucket chunk " + std::to_string(chunk) + " is missing from the table");
  }
  address = base_ + slot;
  // release: another thread that finds the address also finds the buckets initialised
  cached.store(address, std::memory_order_release);
  return address;
}

std::byte* ConcurrentHashMap_string::published_chunk_address(std::uint64_t chunk) const noexcept {
  if (chunk >= bucket_chunk_number_) {
    return nullptr;
  }
  // acquire: as in chunk_address
  if (std::byte* address = std::atomic_ref<std::byte*>(chunk_addresses_[chunk]).load(std::memory_order_acquire)) {
    return address;
  }
  const std::uint64_t slot = map_layout::table_slot_word(table_, chunk).load(std::memory_order_acquire);
  if (slot == 0 || map_layout::is_creator_marker(slot)) {
    return nullptr;
  }
  try {
    return chunk_address(chunk);
  } catch (const std::exception&) {
    return nullptr;  // a slot that names no chunk
  }
}

Bucket* ConcurrentHashMap_string::marked_sibling(std::uint64_t bucket_number, Bucket* bucket,
                                                 std::uint64_t chunks_in_use) const {
  // acquire: a mark, or its clearing together with the doubling before it, is visible
  const std::uint64_t mark = map_layout::moving_to_word(bucket).load(std::memory_order_acquire);
  if (mark == 0 || chunks_in_use > bucket_chunk_number_ / 2) {
    return nullptr;
  }
  const std::uint64_t sibling_number = bucket_number + bucket_chunk_size_ * chunks_in_use;
  std::byte* chunk = published_chunk_address(sibling_number >> bucket_chunk_shift_);
  if (chunk == nullptr) {
    return nullptr;
  }
  auto* sibling = reinterpret_cast<Bucket*>(chunk + (sibling_number & (bucket_chunk_size_ - 1)) * sizeof(Bucket));
  if (static_cast<std::uint64_t>(offset_of(base_, sibling)) != mark) {
    return nullptr;
  }
  back_bucket(sibling);
  return sibling;
}

Bucket* ConcurrentHashMap_string::bucket_at(std::uint64_t bucket) const {
  std::byte* chunk = chunk_address(bucket >> bucket_chunk_shift_);
  auto* address = reinterpret_cast<Bucket*>(chunk + (bucket & (bucket_chunk_size_ - 1)) * sizeof(Bucket));
  back_bucket(address);
  return address;
}

void ConcurrentHashMap_string::make_backed_regions() {
  // Regions of a page (128 buckets), so that the file grows by the pages of the buckets used; larger
  // where the heap would need more than 2^18 of them (heaps past 1 GiB).
  backed_region_shift_ = 12;
  while ((heap_end_ >> backed_region_shift_) >= (std::uint64_t{1} << 18)) {
    ++backed_region_shift_;
  }
  backed_regions_ = std::make_unique<std::uint8_t[]>(((heap_end_ + file_header_bytes) >> backed_region_shift_) + 1);
}

// Regions are counted in offsets of the file (the heap starts file_header_bytes into it), so that a
// region is whole pages of the file.
std::uint64_t ConcurrentHashMap_string::file_offset_of(const Bucket* bucket) const noexcept {
  return static_cast<std::uint64_t>(reinterpret_cast<const std::byte*>(bucket) - base_) + file_header_bytes;
}

std::uint64_t ConcurrentHashMap_string::buckets_in_unwritten_page(std::uint64_t bucket) const {
  std::byte* chunk = chunk_address(bucket >> bucket_chunk_shift_);
  const auto* address = reinterpret_cast<const Bucket*>(chunk + (bucket & (bucket_chunk_size_ - 1)) * sizeof(Bucket));
  if (is_backed(address)) {
    return 0;
  }
  const std::uint64_t offset = file_offset_of(address);
  const auto page_bytes = static_cast<std::uint64_t>(platform::system_page_size());
  const std::uint64_t page_end = (offset | (page_bytes - 1)) + 1;
  if (memory_file_may_hold_data(base_, file_, offset, page_end - offset)) {
    return 0;
  }
  const std::uint64_t chunk_left = bucket_chunk_size_ - (bucket & (bucket_chunk_size_ - 1));
  return std::min((page_end - offset) / sizeof(Bucket), chunk_left);
}

bool ConcurrentHashMap_string::is_backed(const Bucket* bucket) const noexcept {
  const std::uint64_t offset = file_offset_of(bucket);
  // relaxed: whether a page has backing is the kernel's to keep; the flag only spares this process
  // the system call
  return std::atomic_ref<std::uint8_t>(backed_regions_[offset >> backed_region_shift_])
             .load(std::memory_order_relaxed) != 0;
}

void ConcurrentHashMap_string::back_bucket(const Bucket* bucket) const {
  if (is_backed(bucket)) [[likely]] {
    return;
  }
  const std::uint64_t region = file_offset_of(bucket) >> backed_region_shift_;
  const std::uint64_t begin = region << backed_region_shift_;
  const std::uint64_t end = std::min(begin + (std::uint64_t{1} << backed_region_shift_), heap_end_ + file_header_bytes);
  std::byte* const file_start = base_ - file_header_bytes;  // the mapping's start
  if (platform::reserve_for_write(file_start + begin, end - begin)) {
    std::atomic_ref<std::uint8_t>(backed_regions_[region]).store(1, std::memory_order_relaxed);
    return;
  }
  // The file system could not back the whole region; the bucket's own page may still be backed (by
  // another process), or get backing. Otherwise the map is full for this bucket.
  if (!platform::reserve_for_write(const_cast<Bucket*>(bucket), sizeof(Bucket))) {
    throw HeapExhausted();
  }
}

Bucket* ConcurrentHashMap_string::bucket_at_offset(Offset offset) const {
  const auto wanted = static_cast<std::uint64_t>(offset);
  const std::uint64_t chunk_bytes = bucket_chunk_size_ * sizeof(Bucket);
  // Any chunk published so far: those in use and, during a doubling, the new ones.
  for (std::uint64_t chunk = 0; chunk < bucket_chunk_number_; ++chunk) {
    // acquire: as every reader of a slot
    const std::uint64_t slot = map_layout::table_slot_word(table_, chunk).load(std::memory_order_acquire);
    if (slot == 0) {
      break;  // chunks are published in order from 0: none past an empty slot
    }
    if (map_layout::is_creator_marker(slot) || slot > heap_end_ || chunk_bytes > heap_end_ - slot) {
      continue;
    }
    if (wanted >= slot && wanted < slot + chunk_bytes && (wanted - slot) % sizeof(Bucket) == 0) {
      auto* bucket = reinterpret_cast<Bucket*>(base_ + wanted);
      back_bucket(bucket);
      return bucket;
    }
  }
  return nullptr;
}

std::uint64_t ConcurrentHashMap_string::bucket_index(std::int64_t hash,
                                                     std::uint64_t chunks_in_use) const noexcept {
  // B and N are powers of 2, so the unsigned remainder is a mask.
  return bucket_bits(hash) & (bucket_chunk_size_ * chunks_in_use - 1);
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
  const auto* address = reinterpret_cast<const Bucket*>(chunk + (bucket & (bucket_chunk_size_ - 1)) * sizeof(Bucket));
  return is_backed(address) ? address : nullptr;
}

void ConcurrentHashMap_string::prefetch_bucket(std::int64_t hash) const noexcept {
  if (const Bucket* bucket = cached_bucket_of(hash); bucket != nullptr) {
    // Its lock is taken first: the line is asked for writing.
    __builtin_prefetch(bucket, 1);
  }
}

void ConcurrentHashMap_string::prefetch_entries(std::int64_t hash) const noexcept {
  const Bucket* bucket = cached_bucket_of(hash);
  if (bucket == nullptr) {
    return;
  }
  // relaxed: a hint only; the bucket's first page is read again under its lock
  const std::uint64_t page = map_layout::page_word(const_cast<Bucket*>(bucket)).load(std::memory_order_relaxed);
  if (page == 0) {
    return;
  }
  // The page's header and first entry, in its first two lines. Integer arithmetic: the address is
  // only a hint and a prefetch never faults.
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(base_) + page;
  __builtin_prefetch(reinterpret_cast<const void*>(address));
  __builtin_prefetch(reinterpret_cast<const void*>(address + map_layout::cache_line_bytes));
}

void ConcurrentHashMap_string::lock_bucket(Bucket* bucket, Interrupt interrupt) {
  const LockAcquired acquired =
      acquire_lock_word(map_layout::lock_address(bucket), process_table_->token(), process_table_, interrupt);
  if (acquired.took_over) {
    try {
      repair_bucket(bucket, acquired.previous_holder);
    } catch (...) {
      release_lock_word(map_layout::lock_address(bucket));
      throw;
    }
  }
}

// Locks: the bucket; with `with_sibling` and a bucket being moved, then its sibling. The sibling's
// number is the bucket's plus B * N, so bucket locks are always taken in ascending bucket order,
// as the mover takes them; that order keeps two-bucket holders free of deadlock.
// N is read again after each lock: an expansion that splits a bucket published the N it doubled
// before, so the same N after the lock means no later expansion has touched the bucket.
void ConcurrentHashMap_string::lock_bucket_of(std::int64_t hash, bool with_sibling, LockedBuckets& locked) {
  require_usable();
  while (true) {
    const std::uint64_t chunks_in_use = bucket_chunk_in_use();
    const std::uint64_t bucket_number = bucket_index(hash, chunks_in_use);
    Bucket* bucket = bucket_at(bucket_number);
    locked.bucket_hold.take(*this, bucket, Interrupt::when_free);
    Bucket* sibling = marked_sibling(bucket_number, bucket, chunks_in_use);
    if (bucket_chunk_in_use() != chunks_in_use) {
      // An expansion completed between the choice and the lock: the bucket may be the wrong one.
      locked.bucket_hold.release();
      continue;
    }
    const std::uint64_t moving_to = sibling != nullptr ? static_cast<std::uint64_t>(offset_of(base_, sibling)) : 0;
    if (with_sibling && sibling != nullptr) {
      locked.sibling_hold.take(*this, sibling, Interrupt::never);
      if (bucket_chunk_in_use() != chunks_in_use) {
        // The expansion completed while we waited for the sibling, and a next one may have split
        // the sibling in turn: its entries may have moved on.
        locked.release();
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
  if (!is_crowded(count) || !has_room_to_double()) {
    return false;
  }
  std::uint64_t refused = 0;
  std::memcpy(&refused, map_header_field(offsetof(map_layout::MapHeader, refused_chunks_in_use)), sizeof refused);
  if (refused == bucket_chunk_in_use()) {
    return false;  // this doubling could not be made (the heap had no room): not tried on every insert
  }
  try {
    // Checked again under expansion_lock, with the count summed afresh.
    if (!join_expansion([&] { return is_crowded(element_count()); })) {
      return false;
    }
    expand_released();
  } catch (const std::exception&) {
    // The caller's own change is complete; an expansion that could not run leaves the map working at
    // its size, and a later insert tries again.
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Changes under a bucket lock
//
// A change begins its intent under the bucket's lock, records each chunk it makes (new pages,
// out-of-line strings) as it makes it, then the word it publishes through (`link`), and publishes
// with one store into that word (the bucket's `page` or the previous page's `next`). Then it raises
// or lowers the writer's count, gives what it replaced back to the writer's caches one chunk at a
// time (the intent keeping track), and clears the intent. A repair after the writer's death reads
// the word: holding the new target, the change was published (the count is raised if it was not,
// and the rest of what it replaced is freed); otherwise it was not (what it had made is freed).

// Where an entry lies: its page, the word that names the page, and the entry.
// When the key is absent: the bucket's last page (address null when it has none) and the word that
// names it (the bucket's page word when it has none), where an append goes.
struct ConcurrentHashMap_string::Location {
  bool is_found = false;
  Offset link = Offset::null;  // the heap offset of the 8-byte word that names `page`
  PageView page;
  EntryView entry;             // set when found
  explicit operator bool() const noexcept { return is_found; }
};

namespace {

// The field of an entry as a string to store again (its bytes, or its chain, which moves with it).
NewString kept_string(const map_layout::StringField& field) noexcept {
  NewString string;
  string.length = field.length;
  if (field.is_out_of_line) {
    string.ref = field.ref;
  } else {
    string.bytes = reinterpret_cast<const char*>(field.bytes);
  }
  return string;
}

// Frees pages and out-of-line strings that nobody else can reach: to `caches`, or (null) to the
// shared lists.
void free_pages_and_strings(const HeapAccess& heap, ClassCaches* caches, const Offset (&pages)[2],
                            const Offset (&strings)[2]) {
  for (const Offset page : pages) {
    if (page == Offset::null) {
      continue;
    }
    if (caches != nullptr) {
      give_back_page(heap, *caches, page);
    } else {
      static_cast<void>(slab_free(heap.base, heap.slabs, page));
    }
  }
  for (const Offset string : strings) {
    if (string != Offset::null) {
      map_layout::free_chain(heap, caches, string);
    }
  }
}

// Whether `word` is an 8-byte aligned word after the header of the slab chunk `page`, where the
// fields word of one of its entries can be.
bool is_entry_word_of_page(const HeapAccess& heap, Offset word, Offset page) noexcept {
  const std::uint32_t klass = slab_chunk_class(heap.base, heap.slabs, page);
  if (klass == no_slab_class) {
    return false;
  }
  const auto first = static_cast<std::uint64_t>(page) + sizeof(PageHeader);
  const auto at = static_cast<std::uint64_t>(word);
  return at >= first && at + sizeof(std::uint64_t) <= static_cast<std::uint64_t>(page) + slab_class_bytes(klass) &&
         (at - first) % 8 == 0;
}

}  // namespace

// A change under way, from its intent's beginning: on an exit before publish() (an exception), the
// intent is cleared and what the change had made goes back to the caches.
class ConcurrentHashMap_string::Change {
 public:
  Change(const HeapAccess& heap, const WriterHold& writer, Offset bucket, std::int8_t delta,
         IntentKind kind = IntentKind::change)
      : heap_(heap), writer_(writer), intent_(writer.intent()), kind_(kind) {
    intent_->link = Offset::null;
    intent_->old_target = Offset::null;
    intent_->new_target = Offset::null;
    intent_->old_page = Offset::null;
    intent_->new_pages[0] = intent_->new_pages[1] = Offset::null;
    intent_->old_strings[0] = intent_->old_strings[1] = Offset::null;
    intent_->new_strings[0] = intent_->new_strings[1] = Offset::null;
    intent_->pending_next[0] = intent_->pending_next[1] = Offset::null;
    intent_->bucket = bucket;
    intent_->count_before = writer.count();
    writer.begin(kind, delta);
    crash_point("change.begun");
  }
  ~Change() {
    if (is_published_) {
      return;
    }
    const Offset pages[2] = {intent_->new_pages[0], intent_->new_pages[1]};
    const Offset strings[2] = {intent_->new_strings[0], intent_->new_strings[1]};
    writer_.end();
    try {
      free_pages_and_strings(heap_, &writer_.caches(), pages, strings);
    } catch (...) {
      // What this thread just made cannot be damaged; were it, it would only be lost.
    }
  }
  Change(const Change&) = delete;
  Change& operator=(const Change&) = delete;

  [[nodiscard]] WriterIntent* intent() const noexcept { return intent_; }
  // A string for the entry, its chain (if any) recorded as new string `index`.
  [[nodiscard]] NewString prepare(const char* bytes, std::uint64_t length, int index) {
    return map_layout::prepare_string(heap_, writer_.caches(), bytes, length, intent_->new_strings[index]);
  }
  // An out-of-line string the change drops (given back after publication), as old string `index`.
  void drop_string(int index, const map_layout::StringField& field) noexcept {
    const Offset first = field.is_out_of_line ? field.ref.first : Offset::null;
    intent_->old_strings[index] = first;
    intent_->pending_next[index] = first;  // the chain's give-back has not begun
  }
  // A new page, recorded as new page `index`.
  std::byte* new_page(std::uint64_t entry_bytes, std::uint32_t entry_count, Offset next, Offset& offset, int index) {
    std::byte* page = map_layout::new_page(heap_, writer_.caches(), entry_bytes, entry_count, next, offset);
    map_layout::record_in_intent(intent_->new_pages[index], offset);
    return page;
  }
  // Publishes: `link` goes from `old_target` to `new_target`; `old_page` and `old_strings` (set by
  // the caller) are given back after.
  void publish(Offset link, Offset old_target, Offset new_target, std::int8_t delta) {
    intent_->old_target = old_target;
    intent_->new_target = new_target;
    map_layout::record_in_intent(intent_->link, link);
    is_published_ = true;
    // release: a reader that takes the bucket's lock later sees the pages whole (the lock orders that
    // already; the release also keeps every store of the new pages before this one)
    map_layout::word_at(heap_.base + static_cast<std::uint64_t>(link))
        .store(static_cast<std::uint64_t>(new_target), std::memory_order_release);
    crash_point("change.published");
    if (delta != 0) {
      writer_.store_count(intent_->count_before + delta);
      crash_point("change.counted");
    }
    give_back_replaced();
    writer_.end();
    crash_point("change.ended");
    writer_.caches().trim();
  }

 private:
  // Gives the old page, then the old strings' chunks, back to the writer's caches one at a time,
  // each kept at the head of its cache until the intent has moved past it.
  void give_back_replaced() {
    ClassCaches& caches = writer_.caches();
    if (const Offset page = intent_->old_page; page != Offset::null && kind_ != IntentKind::erase) {
      caches.keep(page, heap_.chunk_class(page, "an entry page"));
      map_layout::record_in_intent(intent_->old_page, Offset::null);
      crash_point("change.freeing");
    }
    for (int index = 0; index < 2; ++index) {
      Offset& string = intent_->old_strings[index];
      Offset& pending = intent_->pending_next[index];
      std::uint64_t budget = heap_.heap_end / slab_class_bytes(0) + 1;
      while (string != Offset::null) {
        if (budget-- == 0) {
          throw DamagedFile("an out-of-line string does not end");
        }
        const Offset chunk = string;
        const std::uint32_t klass = heap_.chunk_class(chunk, "a string chunk");
        Offset next;
        std::memcpy(&next, heap_.base + static_cast<std::uint64_t>(chunk), sizeof next);
        map_layout::record_in_intent(pending, next);
        caches.keep(chunk, klass);
        crash_point("change.freeing");
        map_layout::record_in_intent(string, next);
      }
    }
  }

  const HeapAccess& heap_;
  const WriterHold& writer_;
  WriterIntent* intent_;
  IntentKind kind_;
  bool is_published_ = false;
};

ConcurrentHashMap_string::Location ConcurrentHashMap_string::find(Bucket* bucket, const char* key,
                                                                  std::uint64_t key_len, std::int64_t hash) const {
  const HeapAccess& heap = *access_;
  Location where;
  Offset link = page_link_of(heap, bucket);
  // relaxed: the bucket's lock orders its changes
  auto page_offset = static_cast<Offset>(map_layout::page_word(bucket).load(std::memory_order_relaxed));
  std::uint64_t budget = map_layout::page_budget(heap);
  while (page_offset != Offset::null) {
    if (budget-- == 0) [[unlikely]] {
      throw DamagedFile("the entry pages of a bucket do not end");
    }
    PageView& page = where.page;
    map_layout::read_page(heap, page_offset, page);
    std::byte* at = page.entries;
    for (std::uint32_t index = 0; index < page.entry_count; ++index) {
      // An entry of another hash is only stepped over.
      if (page.entries_end - at < static_cast<std::ptrdiff_t>(sizeof(map_layout::EntryHeader))) [[unlikely]] {
        map_layout::throw_damaged_entry("an entry runs past its page");
      }
      map_layout::EntryHeader header;
      std::memcpy(&header, at, sizeof header);
      if (header.hash != hash) {
        at += map_layout::stored_entry_bytes(header, at, page.entries_end);
        continue;
      }
      map_layout::read_entry(at, page.entries_end, where.entry);
      if (!where.entry.is_removed && map_layout::string_equals(heap, where.entry.key, key, key_len)) {
        where.is_found = true;
        where.link = link;
        return where;
      }
      at += where.entry.bytes;
    }
    where.link = link;
    link = page.offset;  // a page's next is its first word
    page_offset = page.next;
  }
  if (where.page.address == nullptr) {
    where.link = link;
  }
  return where;
}

std::uint64_t ConcurrentHashMap_string::append_entry(Bucket* bucket, const Location& absent, const char* key,
                                                     const char* value, std::uint64_t key_len, std::uint64_t value_len,
                                                     std::int64_t hash, const WriterHold& writer) {
  const HeapAccess& heap = *access_;
  const PageView& last = absent.page;
  const Offset last_link = absent.link;
  const bool was_empty = last.address == nullptr;
  const std::uint64_t bytes = map_layout::entry_bytes(key_len, value_len);

  Change change(heap, writer, heap.offset_of(bucket), +1);
  const NewString key_string = change.prepare(key, key_len, 0);
  const NewString value_string = change.prepare(value, value_len, 1);
  const std::uint64_t last_bytes = was_empty ? 0 : static_cast<std::uint64_t>(last.entries_end - last.entries);
  Offset page_offset;
  if (!was_empty && last_bytes + bytes <= map_layout::page_entry_capacity) {
    // The last page again, with the entry added.
    std::byte* page = change.new_page(last_bytes + bytes, last.entry_count + 1, last.next, page_offset, 0);
    std::memcpy(page + sizeof(PageHeader), last.entries, last_bytes);
    map_layout::write_entry(page + sizeof(PageHeader) + last_bytes, hash, key_string, value_string);
    change.intent()->old_page = last.offset;
    change.publish(last_link, last.offset, page_offset, +1);
  } else {
    // A page of its own, after the last one (named by its next), or the bucket's first.
    std::byte* page = change.new_page(bytes, 1, Offset::null, page_offset, 0);
    map_layout::write_entry(page + sizeof(PageHeader), hash, key_string, value_string);
    change.publish(was_empty ? last_link : last.offset, Offset::null, page_offset, +1);
  }
  // An entry that fills an empty bucket never starts an expansion: no count is needed for it.
  return was_empty ? 0 : count_after_append();
}

void ConcurrentHashMap_string::replace_value(Bucket* bucket, const Location& where, const char* value,
                                             std::uint64_t value_len, const WriterHold& writer) {
  const HeapAccess& heap = *access_;
  Change change(heap, writer, heap.offset_of(bucket), 0);
  const NewString value_string = change.prepare(value, value_len, 0);
  const NewString key_string = kept_string(where.entry.key);
  const std::uint64_t new_bytes = map_layout::entry_bytes(where.entry.key.length, value_len);
  const PageView& page = where.page;
  const std::uint64_t page_bytes = static_cast<std::uint64_t>(page.entries_end - page.entries);
  const std::uint64_t before = static_cast<std::uint64_t>(where.entry.address - page.entries);
  const std::uint64_t after = page_bytes - before - where.entry.bytes;
  Offset first_page;
  if (page_bytes - where.entry.bytes + new_bytes <= map_layout::page_entry_capacity) {
    // The page again, with the entry's new value in its place.
    std::byte* copy =
        change.new_page(page_bytes - where.entry.bytes + new_bytes, page.entry_count, page.next, first_page, 0);
    std::byte* at = copy + sizeof(PageHeader);
    std::memcpy(at, page.entries, before);
    map_layout::write_entry(at + before, where.entry.hash, key_string, value_string);
    std::memcpy(at + before + new_bytes, where.entry.address + where.entry.bytes, after);
  } else {
    // The longer entry does not fit the page: it goes on a page of its own, which comes first and
    // names the page again without it (which has other entries, or the entry alone would have fit).
    Offset rest_page;
    std::byte* rest =
        change.new_page(page_bytes - where.entry.bytes, page.entry_count - 1, page.next, rest_page, 1);
    std::memcpy(rest + sizeof(PageHeader), page.entries, before);
    std::memcpy(rest + sizeof(PageHeader) + before, where.entry.address + where.entry.bytes, after);
    std::byte* own = change.new_page(new_bytes, 1, rest_page, first_page, 0);
    map_layout::write_entry(own + sizeof(PageHeader), where.entry.hash, key_string, value_string);
  }
  change.intent()->old_page = page.offset;
  change.drop_string(0, where.entry.value);
  change.publish(where.link, page.offset, first_page, 0);
}

void ConcurrentHashMap_string::remove_at(Bucket* bucket, const Location& where, const WriterHold& writer) {
  // A page of one entry needs no scan: nothing is left of it.
  const map_layout::LiveEntries rest = where.page.entry_count == 1
                                           ? map_layout::LiveEntries{}
                                           : map_layout::live_entries(where.page, where.entry.address);
  try {
    remove_with_page(bucket, where, rest, writer);
  } catch (const HeapExhausted&) {
    // No room for the page without the entry (the change undid itself; a page left with no entry
    // needs none). A full map must still let its entries be removed, which is how room is made: the
    // entry is marked removed where it lies.
    erase_in_place(bucket, where, writer);
  }
}

void ConcurrentHashMap_string::remove_with_page(Bucket* bucket, const Location& where,
                                                const map_layout::LiveEntries& rest, const WriterHold& writer) {
  const HeapAccess& heap = *access_;
  const PageView& page = where.page;
  Change change(heap, writer, heap.offset_of(bucket), -1);
  Offset new_target = page.next;  // a page left without entries is unlinked
  if (rest.count != 0) {
    std::byte* copy = change.new_page(rest.bytes, rest.count, page.next, new_target, 0);
    if (rest.has_removed) {
      map_layout::copy_live_entries(page, where.entry.address, copy + sizeof(PageHeader));  // drops them
    } else {
      const std::uint64_t before = static_cast<std::uint64_t>(where.entry.address - page.entries);
      std::memcpy(copy + sizeof(PageHeader), page.entries, before);
      std::memcpy(copy + sizeof(PageHeader) + before, where.entry.address + where.entry.bytes,
                  rest.bytes - before);
    }
  }
  change.intent()->old_page = page.offset;
  change.drop_string(0, where.entry.key);
  change.drop_string(1, where.entry.value);
  change.publish(where.link, page.offset, new_target, -1);
}

void ConcurrentHashMap_string::erase_in_place(Bucket* bucket, const Location& where, const WriterHold& writer) {
  const HeapAccess& heap = *access_;
  Change change(heap, writer, heap.offset_of(bucket), -1, IntentKind::erase);
  std::byte* fields = where.entry.address + offsetof(map_layout::EntryHeader, key_field);
  // relaxed: the bucket's lock orders its changes
  const std::uint64_t before = map_layout::word_at(fields).load(std::memory_order_relaxed);
  // key_field is the low half of the little-endian word, value_field the high half
  const std::uint64_t removed = map_layout::removed_field | std::uint64_t{where.entry.bytes} << 32;
  change.intent()->old_page = where.page.offset;  // names the page for a repair; it stays
  change.drop_string(0, where.entry.key);
  change.drop_string(1, where.entry.value);
  crash_point("erase.marking");
  change.publish(heap.offset_of(fields), static_cast<Offset>(before), static_cast<Offset>(removed), -1);
}

bool ConcurrentHashMap_string::remove_from(Bucket* bucket, const char* key, std::uint64_t key_len, std::int64_t hash,
                                           const WriterHold& writer) {
  const Location where = find(bucket, key, key_len, hash);
  if (!where) {
    return false;
  }
  remove_at(bucket, where, writer);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Repair after a death

void ConcurrentHashMap_string::repair_bucket(Bucket* bucket, std::uint64_t dead_holder) {
  const std::uint32_t slot_index = token_slot(dead_holder);
  if (slot_index >= process_table_->slot_count()) {
    return;  // a word that names no slot (a damaged file): nothing is known of the change
  }
  resolve_intent(bucket, process_table_->slot(slot_index), token_thread(dead_holder) % map_layout::writer_records,
                 token_generation(dead_holder));
}

void ConcurrentHashMap_string::resolve_intent(Bucket* bucket, ProcessSlot* slot, std::uint32_t record,
                                              std::uint32_t generation) {
  map_layout::SlotRecords* records = map_layout::slot_records(slot);
  WriterIntent* intent = &records->intents[record];
  // acquire: the writer is dead and its stores are all visible (see crash_order_barrier)
  const std::uint64_t state = map_layout::intent_state_word(intent).load(std::memory_order_acquire);
  const HeapAccess& heap = *access_;
  if (state == 0 || map_layout::intent_generation(state) != generation || intent->bucket != heap.offset_of(bucket)) {
    return;  // the holder was not changing this bucket: nothing was left half done
  }
  const auto clear = [intent] {
    crash_order_barrier();
    map_layout::intent_state_word(intent).store(0, std::memory_order_relaxed);
    crash_order_barrier();
  };
  if (map_layout::intent_kind(state) == IntentKind::split) {
    repair_split(bucket, slot->slab_caches[record], intent);  // clears the intent
    return;
  }
  const IntentKind kind = map_layout::intent_kind(state);
  if (kind != IntentKind::change && kind != IntentKind::erase) {
    clear();
    return;
  }
  // Each repair below clears the intent before it frees: a repairer that dies in between leaks
  // what it was freeing rather than letting the next one free it twice.
  const Offset new_pages[2] = {intent->new_pages[0], intent->new_pages[1]};
  const Offset new_strings[2] = {intent->new_strings[0], intent->new_strings[1]};
  // The word the change publishes through, written just before the publishing store: null, the
  // change was still being made.
  const Offset link = intent->link;
  if (link == Offset::null) {
    clear();
    free_pages_and_strings(heap, nullptr, new_pages, new_strings);
    return;
  }
  // It is the bucket's page word or the first word of one of its pages (a slab chunk); for a
  // remove in place, the fields word of an entry inside the page it names. Anything else is not
  // followed.
  const bool is_link_valid = kind == IntentKind::erase ? is_entry_word_of_page(heap, link, intent->old_page)
                                                      : link == page_link_of(heap, bucket) ||
                                                            slab_chunk_class(base_, heap.slabs, link) != no_slab_class;
  if (!is_link_valid) {
    clear();
    throw DamagedFile("a change left by a dead process names a word that is not one of its bucket");
  }
  // acquire: as the state above
  const auto current = static_cast<Offset>(
      map_layout::word_at(base_ + static_cast<std::uint64_t>(link)).load(std::memory_order_acquire));
  if (current == intent->new_target) {
    // Published: the count, then the rest of what the change replaced. The writer gave it back to
    // its caches in order, each chunk at the head of its cache until the intent moved past it: of
    // what the intent still names, only the first can be given back already.
    const std::int8_t delta = map_layout::intent_delta(state);
    std::atomic_ref<std::uint64_t> count = map_layout::count_word(records, record);
    // relaxed: the record's writer is dead; this thread writes for it, under the bucket's lock
    if (delta != 0 && static_cast<std::int64_t>(count.load(std::memory_order_relaxed)) == intent->count_before) {
      crash_order_barrier();
      count.store(static_cast<std::uint64_t>(intent->count_before + delta), std::memory_order_relaxed);
      crash_order_barrier();
    }
    const auto is_given_back = [&](Offset chunk) {
      return map_layout::is_given_back(heap, slot->slab_caches[record], chunk);
    };
    // The old page's link is never followed; each old string's chain is freed from what its give-
    // back left (see chain_remainder), its first chunk by itself when that one's link is in doubt.
    Offset lone_chunks[2] = {kind == IntentKind::erase ? Offset::null : intent->old_page, Offset::null};
    if (lone_chunks[0] != Offset::null && is_given_back(lone_chunks[0])) {
      lone_chunks[0] = Offset::null;
    }
    Offset old_strings[2];
    for (int index = 0; index < 2; ++index) {
      const map_layout::ChainRemainder left = map_layout::chain_remainder(
          heap, slot->slab_caches[record], intent->old_strings[index], intent->pending_next[index]);
      old_strings[index] = left.rest;
      if (left.lone != Offset::null) {
        lone_chunks[1] = left.lone;  // at most one chain has begun its give-back and not finished it
      }
    }
    clear();
    free_pages_and_strings(heap, nullptr, lone_chunks, old_strings);
    return;
  }
  clear();
  if (current == intent->old_target) {
    // Never published: what the change had made goes back.
    free_pages_and_strings(heap, nullptr, new_pages, new_strings);
  }
}

void ConcurrentHashMap_string::repair_inherited_slot() {
  // The previous owner of this slot died: every change it left half done holds its bucket's lock
  // (intents are set and cleared under it), so taking that lock repairs the change, or waits for
  // whoever is repairing it. Nothing else of the slot's records is used until then.
  for (std::uint32_t record = 0; record < map_layout::writer_records; ++record) {
    WriterIntent* intent = &own_records_->intents[record];
    // acquire: as in resolve_intent
    const std::uint64_t state = map_layout::intent_state_word(intent).load(std::memory_order_acquire);
    if (state == 0) {
      continue;
    }
    Bucket* bucket = bucket_at_offset(intent->bucket);
    if (bucket == nullptr) {
      // An intent that names no bucket cannot have changed one.
      map_layout::intent_state_word(intent).store(0, std::memory_order_relaxed);
      continue;
    }
    BucketHold hold;
    hold.take(*this, bucket, Interrupt::never);
    resolve_intent(bucket, process_table_->own_slot(), record, map_layout::intent_generation(state));
  }
}

// ---------------------------------------------------------------------------------------------
// insert, get, remove

namespace {

// A python_malloc buffer of length + 1 bytes, for the callers that free it with python_free.
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

// Copies a stored string into the buffer that `sink` provides for it.
void copy_to_sink(const HeapAccess& heap, const map_layout::StringField& stored, ValueSink& sink) {
  char* buffer = sink.buffer_for(map_layout::checked_length(heap, stored));
  map_layout::copy_string(heap, stored, buffer);
}

// A python_malloc copy of a stored string (length + 1 bytes, the last one not written).
void hand_out_copy(const HeapAccess& heap, const map_layout::StringField& stored, char*& value,
                   std::int64_t& value_len) {
  PythonMallocSink sink;
  copy_to_sink(heap, stored, sink);
  sink.hand_over(value, value_len);
}

}  // namespace

void ConcurrentHashMap_string::insert(const char* key, const char* value, std::uint64_t key_len,
                                      std::uint64_t value_len, std::int64_t hash) {
  while (true) {
    std::uint64_t count = 0;
    {
      WriterHold writer(*this);
      LockedBuckets locked;
      lock_bucket_of(hash, false, locked);
      if (locked.moving_to == 0) {
        const Location where = find(locked.bucket, key, key_len, hash);
        if (where) {
          replace_value(locked.bucket, where, value, value_len, writer);
          return;
        }
        // An entry that fills an empty bucket never starts an expansion (append_entry gives no count
        // then): a map is crowded only where entries share buckets.
        count = append_entry(locked.bucket, where, key, value, key_len, value_len, hash, writer);
        if (count == 0) {
          return;
        }
      }
    }
    if (count != 0) {
      join_if_crowded(count);  // with no lock and no writer record held
      return;
    }
    wait_while_moving();  // the bucket is being moved
  }
}

void ConcurrentHashMap_string::wait_while_moving() {
  if (help_expansion()) {
    return;
  }
  sleep_wait_step();  // gives the interpreter lock away while it sleeps
  check_interrupts();
}

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
  Location where = find(locked.bucket, key, key_len, hash);
  if (!where && locked.sibling != nullptr) {
    // The entry may already have moved to the sibling of a bucket being split.
    where = find(locked.sibling, key, key_len, hash);
  }
  if (!where) {
    return false;
  }
  copy_to_sink(*access_, where.entry.value, sink);
  return true;
}

bool ConcurrentHashMap_string::remove(const char* key, std::uint64_t key_len, std::int64_t hash) {
  WriterHold writer(*this);
  LockedBuckets locked;
  lock_bucket_of(hash, true, locked);
  if (remove_from(locked.bucket, key, key_len, hash, writer)) {
    return true;
  }
  // The entry may already have moved to the sibling of a bucket being split.
  return locked.sibling != nullptr && remove_from(locked.sibling, key, key_len, hash, writer);
}

// ---------------------------------------------------------------------------------------------
// Read-modify-write under one bucket lock
//
// Each operation below locks the key's bucket as get and remove do (with its sibling while an
// expansion moves the bucket), so the read and the write it makes are one step for every other
// operation on the key. Nothing here runs Python code: the caller serializes before and
// deserializes after.

bool ConcurrentHashMap_string::contains(const char* key, std::uint64_t key_len, std::int64_t hash) {
  LockedBuckets locked;
  lock_bucket_of(hash, true, locked);
  if (find(locked.bucket, key, key_len, hash)) {
    return true;
  }
  return locked.sibling != nullptr && static_cast<bool>(find(locked.sibling, key, key_len, hash));
}

bool ConcurrentHashMap_string::setdefault(const char* key, const char* value, std::uint64_t key_len,
                                          std::uint64_t value_len, std::int64_t hash, char*& stored,
                                          std::int64_t& stored_len) {
  while (true) {
    std::uint64_t count = 0;
    {
      WriterHold writer(*this);
      LockedBuckets locked;
      lock_bucket_of(hash, true, locked);
      Location where = find(locked.bucket, key, key_len, hash);
      if (!where && locked.sibling != nullptr) {
        where = find(locked.sibling, key, key_len, hash);
      }
      if (where) {
        hand_out_copy(*access_, where.entry.value, stored, stored_len);
        return false;
      }
      // Absent, but while the bucket is being split a new entry may only be added once the
      // expansion is over (as insert does), and the key is looked for again then, since another
      // process may have added it meanwhile.
      if (locked.moving_to == 0) {  // then no sibling was searched: `where` is the bucket's
        count = append_entry(locked.bucket, where, key, value, key_len, value_len, hash, writer);
        if (count == 0) {
          return true;  // an entry that fills an empty bucket never starts an expansion
        }
      }
    }
    if (count != 0) {
      join_if_crowded(count);  // with no lock and no writer record held
      return true;
    }
    wait_while_moving();
  }
}

bool ConcurrentHashMap_string::pop(const char* key, std::uint64_t key_len, std::int64_t hash, char*& value,
                                   std::int64_t& value_len) {
  WriterHold writer(*this);
  LockedBuckets locked;
  lock_bucket_of(hash, true, locked);
  Bucket* bucket = locked.bucket;
  Location where = find(bucket, key, key_len, hash);
  if (!where && locked.sibling != nullptr) {
    bucket = locked.sibling;
    where = find(bucket, key, key_len, hash);
  }
  if (!where) {
    return false;
  }
  // The copy comes first: when it cannot be made, nothing has been removed.
  char* buffer = nullptr;
  std::int64_t length = 0;
  hand_out_copy(*access_, where.entry.value, buffer, length);
  std::unique_ptr<char, void (*)(void*)> owned(buffer, python_free);
  remove_at(bucket, where, writer);
  value = owned.release();
  value_len = length;
  return true;
}

bool ConcurrentHashMap_string::compare_and_set(const char* key, std::uint64_t key_len, std::int64_t hash,
                                               const char* expected, std::uint64_t expected_len,
                                               const char* value, std::uint64_t value_len) {
  WriterHold writer(*this);
  LockedBuckets locked;
  lock_bucket_of(hash, true, locked);
  Bucket* bucket = locked.bucket;
  Location where = find(bucket, key, key_len, hash);
  if (!where && locked.sibling != nullptr) {
    bucket = locked.sibling;
    where = find(bucket, key, key_len, hash);
  }
  if (!where || !map_layout::string_equals(*access_, where.entry.value, expected, expected_len)) {
    return false;
  }
  replace_value(bucket, where, value, value_len, writer);
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

}  // namespace

// Bucket locks held together, released in the reverse order of taking.
class ConcurrentHashMap_string::HeldBuckets {
 public:
  explicit HeldBuckets(ConcurrentHashMap_string& map) noexcept : map_(map) {}
  HeldBuckets(const HeldBuckets&) = delete;
  HeldBuckets& operator=(const HeldBuckets&) = delete;
  ~HeldBuckets() { release(); }
  // Takes the bucket's lock (repairing it when its holder died). Only the first lock of a group
  // may be interrupted: a thread that holds others must not run signal handlers.
  void lock(Bucket* bucket) {
    buckets_.reserve(buckets_.size() + 1);  // may throw: nothing is held for it yet
    map_.lock_bucket(bucket, buckets_.empty() ? Interrupt::when_free : Interrupt::never);
    buckets_.push_back(bucket);
  }
  void release() noexcept {
    while (!buckets_.empty()) {
      release_lock_word(map_layout::lock_address(buckets_.back()));
      buckets_.pop_back();
    }
  }
  [[nodiscard]] const std::vector<Bucket*>& buckets() const noexcept { return buckets_; }
  [[nodiscard]] bool holds(const Bucket* bucket) const noexcept {
    return std::find(buckets_.begin(), buckets_.end(), bucket) != buckets_.end();
  }

 private:
  ConcurrentHashMap_string& map_;
  std::vector<Bucket*> buckets_;
};

namespace {

void append_string(const HeapAccess& heap, const map_layout::StringField& field, std::string& bytes) {
  const std::size_t at = bytes.size();
  // may throw bad_alloc; the caller's locks are released by their guards
  bytes.resize(at + map_layout::checked_length(heap, field));
  map_layout::copy_string(heap, field, bytes.data() + at);
}

}  // namespace

std::uint64_t ConcurrentHashMap_string::walk_one_group(std::uint64_t walk_chunks, std::uint64_t group,
                                                       bool with_keys, bool with_values, WalkBatch& batch) {
  const std::uint64_t group_count = bucket_chunk_size_ * walk_chunks;
  HeldBuckets held(*this);
  std::vector<Bucket*> siblings;
  while (true) {
    const std::uint64_t chunks_in_use = bucket_chunk_in_use();
    const std::uint64_t bucket_count = bucket_chunk_size_ * chunks_in_use;
    for (std::uint64_t bucket = group; bucket < bucket_count; bucket += group_count) {
      held.lock(bucket_at(bucket));
    }
    // A bucket being split has its sibling above every member. Only a mark that names the sibling
    // for this N counts: one left by an earlier doubling (cleared right after it, or never when a
    // death cut the clearing short) names something else and is skipped.
    siblings.clear();
    std::uint64_t number = group;
    for (Bucket* member : held.buckets()) {
      Bucket* sibling = marked_sibling(number, member, chunks_in_use);
      number += group_count;
      if (sibling != nullptr && !held.holds(sibling)) {
        siblings.push_back(sibling);
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
  const HeapAccess& heap = *access_;
  for (Bucket* bucket : held.buckets()) {
    for_each_page(heap, bucket, [&](const PageView& page, Offset) {
      for_each_entry(page, [&](const EntryView& entry) {
        if (with_keys) {
          append_string(heap, entry.key, batch.bytes);
          batch.lengths.push_back(entry.key.length);
        }
        if (with_values) {
          append_string(heap, entry.value, batch.bytes);
          batch.lengths.push_back(entry.value.length);
        }
        ++added;
      });
      return false;
    });
  }
  return added;
}

std::uint64_t ConcurrentHashMap_string::walk_groups(std::uint64_t walk_chunks, std::uint64_t group,
                                                    std::uint64_t min_entries, bool with_keys, bool with_values,
                                                    WalkBatch& batch) {
  require_usable();
  if (walk_chunks == 0 || !std::has_single_bit(walk_chunks) || walk_chunks > bucket_chunk_in_use()) {
    throw std::invalid_argument("a walk must start from a number of bucket chunks the map has had");
  }
  const std::uint64_t group_count = bucket_chunk_size_ * walk_chunks;
  std::uint64_t added = 0;
  while (group < group_count && added < min_entries) {
    // A group is one bucket while the map has not grown since the walk began; a page of such
    // buckets that was never written holds no entry, and is passed without being backed.
    if (walk_chunks == bucket_chunk_in_use()) {
      if (const std::uint64_t unwritten = buckets_in_unwritten_page(group); unwritten > 0) {
        group += unwritten;
        continue;
      }
    }
    added += walk_one_group(walk_chunks, group, with_keys, with_values, batch);
    ++group;
  }
  return std::min(group, group_count);
}

}  // namespace corvana
