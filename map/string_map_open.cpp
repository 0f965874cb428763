// ConcurrentHashMap_string: creating and opening a map (and what makes a file one this code can
// use), destroying the object, and the element count.
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "map/entry_pages.hpp"
#include "map/map_errors.hpp"
#include "map/map_records.hpp"
#include "map/map_support.hpp"
#include "map/map_texts.hpp"
#include "map/string_map.hpp"

namespace corvana {

using map_layout::aligned_block_bytes;
using map_layout::Bucket;
using map_layout::ClassCaches;
using map_layout::HeapAccess;
using map_layout::heap_error_text;
using map_layout::MapHeader;

namespace {

constexpr std::uint64_t max_uint64 = std::numeric_limits<std::uint64_t>::max();

// The shared cells of a new map: bucket_chunk_in_use, expansion_workers, expansion_lock,
// migration_cursor, element_count. Each lies in a raw block of its own (cell_block_bytes).
constexpr std::uint64_t cell_initial_values[] = {1, 0, lock_word_free, 0, 0};
constexpr std::size_t cell_count = std::size(cell_initial_values);

// Largest string_chunk_size_exponent: 2^7 - 2 rounded up to 8 is 128; 2^8 would not fit a unit byte.
constexpr std::uint8_t max_chunk_size_exponent = 7;
constexpr std::uint8_t min_chunk_size_exponent = 3;

// The exception objects of construction, made once per process and thrown as copies.
class BadAllocation : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return map_texts::bad_allocation; }
};
const std::invalid_argument& bucket_chunk_number_exception() {
  static const std::invalid_argument exception(map_texts::bucket_chunk_number);
  return exception;
}
const std::invalid_argument& string_chunk_size_exponent_exception() {
  static const std::invalid_argument exception(map_texts::string_chunk_size_exponent);
  return exception;
}
const std::invalid_argument& size_exception() {
  static const std::invalid_argument exception(map_texts::size);
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
    map_layout::HeapFailure().raise();
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
    try {
      create_map(name, bucket_chunk_size_exponent, bucket_chunk_number, size, chunk_size_exponent);
    } catch (const HeapExhausted&) {
      const std::uint64_t minimum = smallest_size(bucket_chunk_size_exponent, bucket_chunk_number);
      if (minimum != 0 && size < minimum) {
        throw MapSizeTooSmall(minimum, size);
      }
      throw;
    }
  } else {
    open_map(name);
  }
}

ConcurrentHashMap_string::~ConcurrentHashMap_string() {
  release();
}

std::uint64_t ConcurrentHashMap_string::smallest_size(std::uint8_t bucket_chunk_size_exponent,
                                                      std::uint64_t bucket_chunk_number) noexcept {
  // What create_map carves, in its order: the map header's chunk (from the heap's first chunk on),
  // the shared cells, the bucket chunk table and bucket chunk 0, each cell and the last two a raw
  // block with room to start on a cache line.
  std::uint64_t chunk_bytes = 0;
  std::uint64_t table_bytes = 0;
  if (!aligned_block_bytes(std::uint64_t{1} << (bucket_chunk_size_exponent % 64), sizeof(Bucket), chunk_bytes) ||
      !aligned_block_bytes(bucket_chunk_number, sizeof(std::uint64_t), table_bytes) ||
      chunk_bytes > max_raw_block_size || table_bytes > max_raw_block_size) {
    return 0;
  }
  std::uint64_t total = map_layout::first_record_offset - heap_header_bytes +
                        cell_count * raw_block_bytes(map_layout::cell_block_bytes);
  if (__builtin_add_overflow(total, raw_block_bytes(table_bytes), &total) ||
      __builtin_add_overflow(total, raw_block_bytes(chunk_bytes), &total)) {
    return 0;
  }
  return total;
}

void ConcurrentHashMap_string::create_map(std::string& name, std::uint8_t bucket_chunk_size_exponent,
                                          std::uint64_t bucket_chunk_number, std::uint64_t size,
                                          std::uint8_t chunk_size_exponent) {
  // Dimensions whose arithmetic would not fit in 64 bits are refused, never wrapped.
  if (chunk_size_exponent > max_chunk_size_exponent) {
    throw std::invalid_argument(map_texts::string_chunk_too_large);
  }
  std::uint64_t chunk_bytes = 0;
  std::uint64_t table_bytes = 0;
  if (!aligned_block_bytes(bucket_chunk_size_, sizeof(Bucket), chunk_bytes)) {
    throw std::invalid_argument(map_texts::bucket_chunk_too_large);
  }
  if (!aligned_block_bytes(bucket_chunk_number, sizeof(std::uint64_t), table_bytes)) {
    throw std::invalid_argument(map_texts::chunk_number_too_large);
  }
  if (size > max_uint64 - heap_header_bytes || mapped_size_for(size) == 0) {
    throw std::invalid_argument(map_texts::size_too_large);
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
    map_layout::HeapFailure().raise();
  }
  if (header_chunk != base_ + map_layout::map_header_chunk_offset) {
    throw std::runtime_error("the map header did not land at heap offset 64");
  }
  make_caches();

  chunk_addresses_ = static_cast<std::byte**>(python_malloc(bucket_chunk_number * sizeof(std::byte*)));
  if (chunk_addresses_ == nullptr) {
    throw std::runtime_error(map_texts::python_malloc_failed);
  }
  std::fill_n(chunk_addresses_, bucket_chunk_number, nullptr);

  // The cells and the table first: they lie in the first pages of the heap, backed with the file.
  Offset cell_offsets[cell_count];
  for (std::size_t index = 0; index < cell_count; ++index) {
    std::byte* block = heap_alloc_bytes(base_, map_layout::cell_block_bytes);
    if (block == nullptr) {
      map_layout::HeapFailure().raise();
    }
    const auto padding =
        static_cast<std::size_t>(-reinterpret_cast<std::uintptr_t>(block) % map_layout::cache_line_bytes);
    std::byte* cell = block + padding;
    std::memcpy(cell, &cell_initial_values[index], sizeof(std::uint64_t));
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
    throw FileStatusUnavailable(platform::last_error(), name);
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
      throw ProcessSlotsExhausted(name, heap_error_text());
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
    throw std::runtime_error(map_texts::python_malloc_failed);
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
    writer_caches_[record] = std::make_unique<ClassCaches>(base_, access_->slabs, slot->slab_caches[record],
                                                           [this] { return reclaim_cached_chunks(); });
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
  // The caches give their chunks back to the heap, which must still be mapped: each under its writer
  // record's lock, and from its records as they are now (another process may have taken what they
  // held for a full heap; see reclaim_cached_chunks).
  for (std::uint32_t record = 0; record < map_layout::writer_records; ++record) {
    if (!writer_caches_[record]) {
      continue;
    }
    const bool is_own = own_records_ != nullptr && generation_ == fork_generation();
    if (is_own) {
      const std::atomic_ref<std::uint64_t> lock(own_records_->writer_locks[record]);
      const std::uint64_t token = process_table_->token();
      while (true) {
        std::uint64_t seen = lock.load(std::memory_order_relaxed);  // relaxed: the CAS orders
        if ((seen == lock_word_free || seen == map_layout::writer_caches_taken ||
             !process_table_->is_holder_alive(seen)) &&
            lock.compare_exchange_strong(seen, token, std::memory_order_acquire, std::memory_order_relaxed)) {
          break;
        }
        platform::sleep_milliseconds(1);  // another process holds it for a moment
      }
      writer_caches_[record]->reload();
    }
    writer_caches_[record].reset();
    if (is_own) {
      // release: the emptied records are visible to whoever holds the lock next
      std::atomic_ref<std::uint64_t>(own_records_->writer_locks[record]).store(lock_word_free, std::memory_order_release);
    }
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
    throw std::runtime_error(map_texts::empty_chunks);
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

}  // namespace corvana
