// The memory file: creating, opening and closing the mapped file that carries one heap, and the
// process-wide last heap error text.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "heap/heap.hpp"
#include "heap/heap_layout.hpp"

namespace corvana {

namespace {

// Flags of every failure of the memory file: the core prefix and the system's text for errno.
constexpr std::uint32_t core_error_flags = heap_error_core_prefix | heap_error_with_errno;

// Bytes in front of the usable heap: the file header and the heap header.
constexpr std::uint64_t header_bytes = file_header_bytes + heap_header_bytes;

// The two leading bytes {chunk_size, unit} of the size classes of units 176 and 16, each written as
// one little-endian 16-bit store: 178, 176 and 18, 16.
constexpr std::uint16_t class_176_leading_bytes = 0xB0B2;
constexpr std::uint16_t class_16_leading_bytes = 0x1012;

char last_error_text[heap_error_capacity + 1] = {};
std::int32_t cached_page_size = 0;

// The length of every mapping this process made, by its address, so that closing unmaps exactly
// what was mapped even when the caller no longer has the mapping handle.
struct MappingRecord {
  std::byte* address;
  std::uint64_t length;
};
std::mutex mappings_mutex;
std::vector<MappingRecord> mappings;

void remember_mapping(std::byte* address, std::uint64_t length) noexcept {
  try {
    std::lock_guard<std::mutex> guard(mappings_mutex);
    mappings.push_back({address, length});
  } catch (...) {
    // Without the record, closing relies on the mapping handle, which carries the same length.
  }
}

// The recorded length of the mapping at `address`, forgetting it; 0 when none was recorded.
std::uint64_t forget_mapping(std::byte* address) noexcept {
  std::lock_guard<std::mutex> guard(mappings_mutex);
  auto found = std::find_if(mappings.begin(), mappings.end(),
                            [address](const MappingRecord& record) { return record.address == address; });
  if (found == mappings.end()) {
    return 0;
  }
  const std::uint64_t length = found->length;
  mappings.erase(found);
  return length;
}

// Records `message` with the core prefix and the system text of `code`, and leaves errno = code.
void report_core_failure(const char* message, int code) noexcept {
  errno = code;
  heap_set_error(core_error_flags, message);
  errno = code;
}

// The same for a message that carries the decimal error code in place of its "%lu".
void report_core_failure_with_code(const char* format, int code) noexcept {
  char message[256];
  std::snprintf(message, sizeof message, format, static_cast<unsigned long>(code));
  report_core_failure(message, code);
}

// Everything a create or open has acquired so far; released in reverse order on every exit path
// unless the call succeeded (dismiss). A file that was opened by path is never removed. Releasing
// keeps errno and the last heap error text as the failure left them.
struct PartialFile {
  platform::FileHandle file = platform::invalid_handle;
  std::string created_path;  // non-empty only for a file this call created
  void* address = nullptr;
  std::uint64_t length = 0;
  std::unique_ptr<ProcessTable> table;  // releases its slot (if claimed) and its description

  PartialFile() = default;
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;
  ~PartialFile() { release(); }

  void dismiss() noexcept {
    file = platform::invalid_handle;
    created_path.clear();
    address = nullptr;
    static_cast<void>(table.release());
  }

  void release() noexcept {
    const int saved_errno = errno;
    table.reset();  // before the mapping goes: it writes its slot
    if (address != nullptr) {
      static_cast<void>(platform::unmap_file(address, length));
    }
    if (file != platform::invalid_handle) {
      static_cast<void>(platform::close_file(file));
    }
    if (!created_path.empty()) {
      static_cast<void>(platform::remove_file(created_path.c_str()));
    }
    errno = saved_errno;
  }
};

void write_new_headers(std::byte* mapping_address, std::uint64_t mapped_size, std::uint64_t size,
                       std::uint8_t string_unit) noexcept {
  auto* file = reinterpret_cast<FileHeader*>(mapping_address);
  file->mapped_size = mapped_size;
  file->region_size = size + heap_header_bytes;
  Allocator heap = mapping_address + file_header_bytes;
  // relaxed: nobody else can reach the file before this call returns its heap base
  lock_word_at(layout::heap_lock_word(heap)).store(lock_word_free, std::memory_order_relaxed);

  HeapHeader& header = layout::heap_header(heap);
  header.heap_end = size + heap_header_bytes;
  header.heap_next = layout::first_chunk_offset;
  header.string_unit = string_unit;
  header.general.reserved = 0;
  header.general.free_count = 0;
  header.general.free_head = 0;
  std::memcpy(heap + offsetof(HeapHeader, class_176), &class_176_leading_bytes, sizeof class_176_leading_bytes);
  header.class_176.free_head = 0;
  std::memcpy(heap + offsetof(HeapHeader, class_16), &class_16_leading_bytes, sizeof class_16_leading_bytes);
  header.class_16.free_head = 0;
  header.class_string.chunk_size = static_cast<std::uint8_t>(string_unit + 2);
  header.class_string.unit = string_unit;
  header.class_string.free_head = 0;
  header.format_magic = memory_file_magic;
  header.format_version = memory_file_format_version;
  header.reserved = 0;

  // The process table (its slots are the file's zeros until claimed), then the slab header (every
  // free list empty) and the slab directory (zeros: no slab yet).
  layout::TrailerLayout trailer;
  static_cast<void>(layout::trailer_layout(header.heap_end, trailer));  // checked by mapped_size_for
  auto& table = *reinterpret_cast<ProcessTableHeader*>(mapping_address + trailer.table_offset);
  table.magic = process_table_magic;
  table.slot_count = process_slot_count;
  table.slot_bytes = sizeof(ProcessSlot);
  table.high_water = 0;
  table.lock_base = process_lock_base;
  auto& slabs = *reinterpret_cast<SlabHeader*>(mapping_address + trailer.slab_header_offset);
  slabs.magic = slab_header_magic;
  slabs.class_count = slab_class_count;
  slabs.directory_bytes = trailer.directory_bytes;
  slabs.slab_shift = trailer.slab_shift;
}

// Why the mapped file cannot be a memory file of this format (empty when it can): its magic and
// version, its heap inside the mapping, and its process table after the heap, checked before the
// allocator or anybody else reaches past the headers. Sets `code` to the errno to report: EPROTO
// for a memory file of another format version, EINVAL for anything else.
std::string memory_file_defect(const std::byte* mapping_address, std::uint64_t mapped_size, int& code) {
  code = EINVAL;
  const auto& header = *reinterpret_cast<const HeapHeader*>(mapping_address + file_header_bytes);
  const std::uint32_t magic = header.format_magic;
  const std::uint16_t version = header.format_version;
  if (magic != memory_file_magic) {
    // Files of format 1 had no magic, but their two fixed size-class records say what they are.
    const std::byte* heap = mapping_address + file_header_bytes;
    const bool is_format_1 = magic == 0 && version == 0 &&
                             std::memcmp(heap + offsetof(HeapHeader, class_176), &class_176_leading_bytes, 2) == 0 &&
                             std::memcmp(heap + offsetof(HeapHeader, class_16), &class_16_leading_bytes, 2) == 0;
    if (is_format_1) {
      code = EPROTO;
      return "memory file format version 1 found, version " + std::to_string(memory_file_format_version) +
             " expected (the file was made by an older corvana)";
    }
    return "not a corvana memory file (no magic number)";
  }
  if (version != memory_file_format_version) {
    code = EPROTO;
    return "memory file format version " + std::to_string(version) + " found, version " +
           std::to_string(memory_file_format_version) + " expected";
  }
  const std::uint64_t heap_end = header.heap_end;
  const std::uint64_t heap_next = header.heap_next;
  if (heap_end < layout::first_chunk_offset || heap_end > mapped_size - file_header_bytes ||
      heap_next < layout::first_chunk_offset || heap_next > heap_end) {
    return "memory file has no valid heap header";
  }
  layout::TrailerLayout trailer;
  if (!layout::trailer_layout(heap_end, trailer) || trailer.end > mapped_size) {
    return "memory file is too short for its process table and slab directory";
  }
  const auto& table = *reinterpret_cast<const ProcessTableHeader*>(mapping_address + trailer.table_offset);
  if (table.magic != process_table_magic || table.slot_count != process_slot_count ||
      table.slot_bytes != sizeof(ProcessSlot) || table.lock_base != process_lock_base) {
    return "memory file has no valid process table";
  }
  const auto& slabs = *reinterpret_cast<const SlabHeader*>(mapping_address + trailer.slab_header_offset);
  if (slabs.magic != slab_header_magic || slabs.class_count != slab_class_count ||
      slabs.directory_bytes != trailer.directory_bytes || slabs.slab_shift != trailer.slab_shift) {
    return "memory file has no valid slab header";
  }
  return {};
}

// The bytes at the start of a new heap that get backing with the file: the first records (a map's
// header, table and cells) land there.
constexpr std::uint64_t early_heap_bytes = 64 * 1024;

// Backs the pages that making a new file writes, and its creator's first uses: the headers and the
// first records of the heap, the process table's header and first slot, and the slab header and
// directory. They are written as zeros before the file is mapped (nobody else can have it yet),
// which costs less than backing them by page faults. A full file system fails the creation here
// instead of raising SIGBUS later. false (errno set) when it cannot.
bool back_header_pages(FileHandle file, std::uint64_t size) noexcept {
  layout::TrailerLayout trailer;
  static_cast<void>(layout::trailer_layout(size + heap_header_bytes, trailer));  // checked by mapped_size_for
  const std::uint64_t first_slot_end = trailer.table_offset + sizeof(ProcessTableHeader) + sizeof(ProcessSlot);
  return platform::write_zeros(file, 0, header_bytes + std::min(size, early_heap_bytes)) &&
         platform::write_zeros(file, trailer.table_offset, first_slot_end - trailer.table_offset) &&
         platform::write_zeros(file, trailer.slab_header_offset, trailer.end - trailer.slab_header_offset);
}

// Claims a slot of the mapping's process table through a file description of its own and registers
// the table under the heap base. false with the failure reported.
bool attach_process_table(PartialFile& partial, std::byte* mapping_address) {
  const auto& header = *reinterpret_cast<const HeapHeader*>(mapping_address + file_header_bytes);
  const platform::FileHandle liveness_file = platform::open_second_description(partial.file);
  if (liveness_file == platform::invalid_handle) {
    report_core_failure("failed to open the memory file again to claim a process slot", platform::last_error());
    return false;
  }
  platform::FileIdentity identity;
  if (!ProcessTable::tag_description(liveness_file, identity)) {
    const int code = platform::last_error();
    static_cast<void>(platform::close_file(liveness_file));
    report_core_failure("failed to open the memory file again to claim a process slot", code);
    return false;
  }
  // The path opens the file again should the application close the description's descriptor; an
  // unlinked file has none (its link names no file), and then the lock is not taken again.
  std::string path;
  if (!platform::full_path_of(liveness_file, path)) {
    path.clear();
  }
  partial.table = std::make_unique<ProcessTable>(mapping_address + layout::process_table_offset(header.heap_end),
                                                 liveness_file, identity, std::move(path));
  partial.table->set_heap_end(header.heap_end);  // checked against the mapping by memory_file_defect
  if (!partial.table->claim()) {
    const int code = platform::last_error();
    report_core_failure(code == EBUSY ? "every process slot of the memory file is in use"
                                      : "failed to claim a process slot of the memory file",
                        code);
    return false;
  }
  if (!layout::register_process_table(mapping_address + file_header_bytes, partial.table.get())) {
    report_core_failure("too many memory files are open in this process", EMFILE);
    return false;
  }
  if (partial.table->took_over_dead_slot()) {
    // The slot's slab caches are used from now on: a change of them that the dead owner left under
    // the heap lock is finished or undone first (taking the lock over repairs it).
    layout::HeapLockGuard guard(mapping_address + file_header_bytes);
  }
  return true;
}

std::byte* create_new_file(std::uint64_t size, std::uint64_t mapped_size, std::uint8_t string_unit,
                           FileHandle& file_out, MappingHandle& mapping_out) {
  PartialFile partial;
  const std::string prefix = "mm" + std::to_string(platform::current_process_id());
  std::string created_path;
  partial.file = platform::create_unique_file(platform::temp_directory(), prefix, created_path);
  if (partial.file == platform::invalid_handle) {
    report_core_failure("failed to generate memory file name", platform::last_error());
    return nullptr;
  }
  partial.created_path = created_path;

  if (!platform::set_file_length(partial.file, mapped_size)) {
    const int code = platform::last_error();
    report_core_failure_with_code("failed to write memory file, last error: %lu", code);
    return nullptr;
  }
  std::string full_path;
  if (!platform::full_path_of(partial.file, full_path)) {
    const int code = platform::last_error();
    report_core_failure_with_code("failed to get file name error: %lu", code);
    return nullptr;
  }
  partial.created_path = full_path;

  if (!back_header_pages(partial.file, size)) {
    report_core_failure("no space on the file system for the memory file's headers", ENOSPC);
    return nullptr;
  }
  void* address = platform::map_file(partial.file, mapped_size);
  if (address == nullptr) {
    const int code = platform::last_error();
    report_core_failure_with_code("failed to open map view of file error: %lu", code);
    return nullptr;
  }
  partial.address = address;
  partial.length = mapped_size;
  auto* mapping_address = static_cast<std::byte*>(address);
  write_new_headers(mapping_address, mapped_size, size, string_unit);
  if (!attach_process_table(partial, mapping_address)) {
    return nullptr;
  }
  remember_mapping(mapping_address, mapped_size);
  file_out = partial.file;
  mapping_out = static_cast<MappingHandle>(mapped_size);
  partial.dismiss();
  return mapping_address + file_header_bytes;
}

// Maps the file's actual length and never changes it: a mapping past the end of a file faults on
// access, and growing the file at every open would leak a page per open.
std::byte* open_existing_file(std::uint64_t size, const char* path, FileHandle& file_out,
                              MappingHandle& mapping_out) {
  PartialFile partial;
  partial.file = platform::open_file(path);
  if (partial.file == platform::invalid_handle) {
    report_core_failure("failed to create memory file", platform::last_error());
    return nullptr;
  }
  std::uint64_t file_length = 0;
  if (!platform::file_length(partial.file, file_length)) {
    const int code = platform::last_error();
    report_core_failure_with_code("failed to create file mapping error: %lu", code);
    return nullptr;
  }
  if (file_length < header_bytes) {
    char message[128];
    std::snprintf(message, sizeof message, "memory file is too small to hold a heap: %" PRIu64 " bytes",
                  file_length);
    report_core_failure(message, EINVAL);
    return nullptr;
  }
  void* address = platform::map_file(partial.file, file_length);
  if (address == nullptr) {
    const int code = platform::last_error();
    report_core_failure_with_code("failed to open map view of file error: %lu", code);
    return nullptr;
  }
  partial.address = address;
  partial.length = file_length;
  auto* mapping_address = static_cast<std::byte*>(address);
  int defect_code = 0;
  if (const std::string defect = memory_file_defect(mapping_address, file_length, defect_code); !defect.empty()) {
    report_core_failure(defect.c_str(), defect_code);
    return nullptr;
  }
  if (!attach_process_table(partial, mapping_address)) {
    return nullptr;
  }
  auto* header = reinterpret_cast<FileHeader*>(mapping_address);
  header->mapped_size = file_length;
  header->region_size = size + heap_header_bytes;
  remember_mapping(mapping_address, file_length);
  file_out = partial.file;
  mapping_out = static_cast<MappingHandle>(file_length);
  partial.dismiss();
  return mapping_address + file_header_bytes;
}

}  // namespace

std::uint64_t mapped_size_for(std::uint64_t size) noexcept {
  if (size > std::numeric_limits<std::uint64_t>::max() - header_bytes) {
    return 0;
  }
  layout::TrailerLayout trailer;
  if (!layout::trailer_layout(size + heap_header_bytes, trailer)) {
    return 0;
  }
  const std::uint64_t unrounded = trailer.end;
  const auto page = static_cast<std::uint64_t>(page_size());
  const std::uint64_t remainder = unrounded % page;
  if (remainder == 0) {
    return unrounded;
  }
  const std::uint64_t padding = page - remainder;
  if (unrounded > std::numeric_limits<std::uint64_t>::max() - padding) {
    return 0;
  }
  return unrounded + padding;
}

std::byte* create_memory_file(std::uint64_t size, const char* path, std::uint8_t string_unit, FileHandle& file,
                              MappingHandle& mapping) noexcept {
  file = platform::invalid_handle;
  mapping = platform::invalid_handle;
  if (size == 0) {
    errno = EINVAL;
    return nullptr;
  }
  const std::uint64_t mapped_size = mapped_size_for(size);
  if (mapped_size == 0 || mapped_size > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    char message[128];
    std::snprintf(message, sizeof message, "memory file size %" PRIu64 " is too large", size);
    report_core_failure(message, EOVERFLOW);
    return nullptr;
  }
  try {
    return path == nullptr ? create_new_file(size, mapped_size, string_unit, file, mapping)
                           : open_existing_file(size, path, file, mapping);
  } catch (const std::bad_alloc&) {
    // Only the path strings allocate; whatever was acquired has been released on the way out.
    report_core_failure("failed to allocate space, last error: 12", ENOMEM);
    return nullptr;
  }
}

void close_memory_file(std::byte* heap_base, FileHandle file, MappingHandle mapping) noexcept {
  if (heap_base == nullptr) {
    return;
  }
  // The slot goes back before the mapping: releasing writes into it. The descriptor is closed only
  // while it names the memory file: the application may have closed it and reused its number.
  bool is_file_ours = true;
  if (ProcessTable* table = process_table_of(heap_base); table != nullptr) {
    platform::FileIdentity identity;
    // A descriptor that is not open at all is closed as before, which reports it.
    is_file_ours = platform::names_file(file, table->file_identity()) ||
                   (!platform::identify_file(file, identity) && platform::last_error() == EBADF);
    layout::unregister_process_table(heap_base);
    delete table;
  }
  std::byte* mapping_address = heap_base - file_header_bytes;
  std::uint64_t length = forget_mapping(mapping_address);
  if (length == 0 && mapping != platform::invalid_handle && mapping > 0) {
    length = static_cast<std::uint64_t>(mapping);
  }
  if (!platform::unmap_file(mapping_address, length)) {
    report_core_failure_with_code("failed to close map view error: %lu", platform::last_error());
  }
  // A POSIX mapping has no object of its own to close: unmapping released it.
  if (file != platform::invalid_handle && is_file_ours && !platform::close_file(file)) {
    report_core_failure_with_code("failed to close handle error: %lu", platform::last_error());
  }
}

bool memory_file_may_hold_data(Allocator heap, FileHandle file, std::uint64_t offset,
                               std::uint64_t length) noexcept {
  if (platform::may_hold_data(file, offset, length)) {
    return true;
  }
  // A hole is believed only of the memory file itself.
  const ProcessTable* table = process_table_of(heap);
  return table != nullptr && !platform::names_file(file, table->file_identity());
}

void heap_set_error(std::uint32_t flags, const char* text) noexcept {
  const int code = errno;
  if (text == nullptr) {
    last_error_text[0] = '\0';
    return;
  }
  std::size_t length = 0;
  const auto append = [&length](const char* piece) {
    while (*piece != '\0' && length < heap_error_capacity) {
      last_error_text[length++] = *piece++;
    }
  };
  append((flags & heap_error_alloc_prefix) != 0 ? "mm:alloc: " : "mm:core: ");
  append(text);
  if ((flags & heap_error_with_errno) != 0 && code != 0) {
    if (length < heap_error_capacity - 2) {
      append(" (");
    }
    char buffer[256];
    // GNU strerror_r: returns the text, in `buffer` or a static string; thread-safe unlike strerror.
    append(strerror_r(code, buffer, sizeof buffer));
    if (length < heap_error_capacity - 1) {
      append(")");
    }
  }
  last_error_text[length] = '\0';
  errno = code;
}

const char* heap_last_error() noexcept { return last_error_text[0] == '\0' ? nullptr : last_error_text; }

std::int32_t page_size() noexcept {
  std::atomic_ref<std::int32_t> cached(cached_page_size);
  // relaxed: every thread that fills the cache stores the same value; nothing else is published
  std::int32_t size = cached.load(std::memory_order_relaxed);
  if (size == 0) {
    size = platform::system_page_size();
    // relaxed: as above
    cached.exchange(size, std::memory_order_relaxed);
  }
  return size;
}

}  // namespace corvana
