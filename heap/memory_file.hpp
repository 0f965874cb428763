// The memory file: creating or opening it, mapping it whole, closing it, and the process-wide last
// heap error text that its failures and the allocator's leave. Offsets and addresses of a heap.
// Private to the heap layer; other layers include heap/heap.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "heap/heap_records.hpp"
#include "heap/platform.hpp"

namespace corvana {

using platform::FileHandle;
using platform::MappingHandle;

// Names a heap: the heap base address in the calling process.
using Allocator = std::byte*;

[[nodiscard]] inline std::byte* address_of(Allocator heap, Offset offset) noexcept {
  return heap + static_cast<std::uint64_t>(offset);
}
[[nodiscard]] inline Offset offset_of(Allocator heap, const void* address) noexcept {
  return static_cast<Offset>(static_cast<const std::byte*>(address) - heap);
}

// heap_set_error flags.
inline constexpr std::uint32_t heap_error_alloc_prefix = 1;  // "mm:alloc: "
inline constexpr std::uint32_t heap_error_core_prefix = 2;   // "mm:core: " (alloc wins when both)
inline constexpr std::uint32_t heap_error_with_errno = 4;    // append " (strerror(errno))"
inline constexpr std::size_t heap_error_capacity = 1024;     // characters, terminator excluded

// Creates (path null) or opens (path given) a memory file and maps it. Creating makes a new file
// "mm<pid>..." in the temporary directory whose heap offers exactly `size` usable bytes and writes
// the headers; opening maps the whole existing file as long as it is (its length never changes
// here), adopting its headers (the string unit is unused). Returns the heap base (mapping + 24) and
// stores both handles, or null with the reason in the last heap error text and errno, both handles
// then being invalid_handle. `size` 0: null, errno EINVAL, text unchanged. A size whose mapping
// would not fit in 64 bits: errno EOVERFLOW. A file too short for the headers, or whose heap header
// claims space outside the file: errno EINVAL, nothing mapped, the file untouched.
[[nodiscard]] std::byte* create_memory_file(std::uint64_t size, const char* path, std::uint8_t string_unit,
                                            FileHandle& file, MappingHandle& mapping) noexcept;
// Unmaps and closes; never deletes the file. A null heap base does nothing; an invalid file handle,
// or one that no longer names the memory file, is not closed (the mapping is still removed: this
// process remembers the length of every mapping it made). Failures are only recorded in the last
// heap error text.
void close_memory_file(std::byte* heap_base, FileHandle file, MappingHandle mapping) noexcept;
// Whether [offset, offset + length) of the memory file of `heap` may hold data (see
// platform::may_hold_data), asked through `file`, its descriptor; also true when `file` no longer
// names the memory file (the application closed it, and its number may name another file now).
[[nodiscard]] bool memory_file_may_hold_data(Allocator heap, FileHandle file, std::uint64_t offset,
                                             std::uint64_t length) noexcept;
// The mapped length for a heap of `size` usable bytes: size + 88 rounded up to the page size;
// 0 when that does not fit in 64 bits.
[[nodiscard]] std::uint64_t mapped_size_for(std::uint64_t size) noexcept;

void heap_set_error(std::uint32_t flags, const char* text) noexcept;
// The last heap error text of this process, or null when it is empty.
[[nodiscard]] const char* heap_last_error() noexcept;
// The system page size, cached on first use.
std::int32_t page_size() noexcept;

}  // namespace corvana
