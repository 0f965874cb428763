// The memory file: sizing, the bytes of a new file, opening, closing and the last heap error text.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "tests/heap/heap_test_support.hpp"

namespace corvana {
namespace {

using testing_support::MemoryFileTest;
using testing_support::read_file_header;
using testing_support::read_heap_header;
using testing_support::value_of;

std::string last_error_string() {
  const char* text = heap_last_error();
  return text == nullptr ? std::string("<null>") : std::string(text);
}

std::string system_text(int code) { return std::strerror(code); }

std::uint64_t length_of(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return static_cast<std::uint64_t>(status.st_size);
}

bool is_mapped_in_this_process(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find(path) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Points TMPDIR at a private, empty directory for the life of the object.
class PrivateTempDirectory {
 public:
  PrivateTempDirectory() {
    const char* previous = std::getenv("TMPDIR");
    had_previous_ = previous != nullptr;
    if (had_previous_) {
      previous_ = previous;
    }
    std::string name_template = platform::temp_directory() + "/corvana-heap-test-XXXXXX";
    EXPECT_NE(::mkdtemp(name_template.data()), nullptr);
    path_ = name_template;
    ::setenv("TMPDIR", path_.c_str(), 1);
  }
  ~PrivateTempDirectory() {
    if (had_previous_) {
      ::setenv("TMPDIR", previous_.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    ::rmdir(path_.c_str());
  }
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] bool is_empty() const {
    const std::string command = "test -z \"$(ls -A '" + path_ + "')\"";
    return std::system(command.c_str()) == 0;
  }

 private:
  std::string path_;
  std::string previous_;
  bool had_previous_ = false;
};

// ---------------------------------------------------------------------------------------------
// Sizing rule

TEST(MemoryFileSizing, AddsHeadersAndRoundsUpToThePage) {
  if (page_size() != 4096) {
    GTEST_SKIP() << "the examples assume a 4096-byte page";
  }
  // The heap's pages, then the process table on pages of its own (1 MiB and a 64-byte header).
  constexpr std::uint64_t table_pages = (process_table_bytes + 4095) / 4096 * 4096;
  EXPECT_EQ(mapped_size_for(4008), 4096u + table_pages);
  EXPECT_EQ(mapped_size_for(4009), 8192u + table_pages);
  EXPECT_EQ(mapped_size_for(1), 4096u + table_pages);
  EXPECT_EQ(mapped_size_for(8104), 8192u + table_pages);
}

TEST(MemoryFileSizing, RefusesSizesThatOverflow) {
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(mapped_size_for(max), 0u);
  EXPECT_EQ(mapped_size_for(max - 87), 0u);  // size + 88 wraps
  EXPECT_EQ(mapped_size_for(max - 88), 0u);  // fits, but the page round-up wraps

  FileHandle file = 7;
  MappingHandle mapping = 7;
  errno = 0;
  EXPECT_EQ(create_memory_file(max - 10, nullptr, 64, file, mapping), nullptr);
  EXPECT_EQ(errno, EOVERFLOW);
  EXPECT_EQ(file, platform::invalid_handle);
  EXPECT_EQ(mapping, platform::invalid_handle);
  const std::string text = last_error_string();
  EXPECT_EQ(text.rfind("mm:core: memory file size ", 0), 0u) << text;
  EXPECT_NE(text.find("is too large"), std::string::npos) << text;
}

TEST(MemoryFileSizing, PageSizeIsTheSystemsAndStaysCached) {
  EXPECT_EQ(page_size(), static_cast<std::int32_t>(::sysconf(_SC_PAGESIZE)));
  EXPECT_EQ(page_size(), page_size());
}

// ---------------------------------------------------------------------------------------------
// Creating

class MemoryFileCreate : public MemoryFileTest {
 protected:
  void SetUp() override {}  // each test makes its own file
};

TEST_F(MemoryFileCreate, NewFileHasTheInitialHeaderBytes) {
  remake_heap(1000, 40);
  const std::uint64_t mapped_size = mapped_size_for(1000);
  EXPECT_EQ(length_of(path_), mapped_size);

  const FileHeader file_header = read_file_header(heap_);
  EXPECT_EQ(value_of(file_header.mapped_size), mapped_size);
  EXPECT_EQ(value_of(file_header.region_size), 1064u);
  EXPECT_EQ(value_of(file_header.heap_lock), 0);

  const auto* bytes = reinterpret_cast<const std::uint8_t*>(heap_);
  const HeapHeader header = read_heap_header(heap_);
  EXPECT_EQ(value_of(header.heap_end), 1064u);
  EXPECT_EQ(value_of(header.heap_next), 64u);
  EXPECT_EQ(bytes[16], 40);
  EXPECT_EQ(bytes[17], 0);  // general: reserved, free_count 0, free_head 0
  EXPECT_EQ(bytes[18], 0);
  EXPECT_EQ(value_of(header.general.free_head), 0);
  EXPECT_EQ(bytes[27], 178);
  EXPECT_EQ(bytes[28], 176);
  EXPECT_EQ(value_of(header.class_176.free_head), 0);
  EXPECT_EQ(bytes[37], 18);
  EXPECT_EQ(bytes[38], 16);
  EXPECT_EQ(value_of(header.class_16.free_head), 0);
  EXPECT_EQ(bytes[47], 42);
  EXPECT_EQ(bytes[48], 40);
  EXPECT_EQ(value_of(header.class_string.free_head), 0);
}

TEST_F(MemoryFileCreate, NewFileIsNamedAfterTheProcessInTheTempDirectory) {
  PrivateTempDirectory directory;
  remake_heap(100, 64);
  const std::string expected_prefix = directory.path() + "/mm" + std::to_string(::getpid());
  std::string canonical_prefix;
  ASSERT_TRUE(platform::full_path(directory.path().c_str(), canonical_prefix));
  canonical_prefix += "/mm" + std::to_string(::getpid());
  EXPECT_EQ(path_.rfind(canonical_prefix, 0), 0u) << path_;
  EXPECT_GT(path_.size(), canonical_prefix.size());
  drop_heap();
  EXPECT_TRUE(directory.is_empty());
}

TEST_F(MemoryFileCreate, ZeroSizeFailsWithEinvalAndLeavesTheText) {
  heap_set_error(heap_error_core_prefix, "earlier text");
  errno = 0;
  EXPECT_EQ(create_memory_file(0, nullptr, 64, file_, mapping_), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(create_memory_file(0, "/nonexistent/file", 64, file_, mapping_), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(last_error_string(), "mm:core: earlier text");
}

TEST_F(MemoryFileCreate, MissingTempDirectoryFailsToGenerateAName) {
  PrivateTempDirectory directory;
  const std::string missing = directory.path() + "/missing";
  ::setenv("TMPDIR", missing.c_str(), 1);
  EXPECT_EQ(create_memory_file(100, nullptr, 64, file_, mapping_), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(last_error_string(), "mm:core: failed to generate memory file name (" + system_text(ENOENT) + ")");
}

TEST_F(MemoryFileCreate, LengthThatCannotBeSetRemovesTheNewFile) {
  PrivateTempDirectory directory;
  // Far past what any file system holds, but within 64 bits.
  EXPECT_EQ(create_memory_file(std::uint64_t{1} << 62, nullptr, 64, file_, mapping_), nullptr);
  const int code = errno;
  EXPECT_NE(code, 0);
  EXPECT_EQ(last_error_string(), "mm:core: failed to write memory file, last error: " + std::to_string(code) +
                                     " (" + system_text(code) + ")");
  EXPECT_EQ(file_, platform::invalid_handle);
  EXPECT_TRUE(directory.is_empty());
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

TEST_F(MemoryFileTest, OpeningAdoptsTheHeaderAndKeepsTheFileLength) {
  ASSERT_NE(heap_alloc_chunks(heap_, 3, link_unit), nullptr);
  const std::uint64_t length = length_of(path_);
  HeapHeader before = read_heap_header(heap_);

  FileHandle file = platform::invalid_handle;
  MappingHandle mapping = platform::invalid_handle;
  Allocator second = create_memory_file(length, path_.c_str(), 99, file, mapping);
  ASSERT_NE(second, nullptr) << heap_last_error();
  EXPECT_NE(second, heap_);
  EXPECT_EQ(std::memcmp(second, &before, sizeof before), 0);
  EXPECT_EQ(read_heap_header(second).string_unit, string_unit_);  // 99 is not used
  EXPECT_EQ(length_of(path_), length);
  EXPECT_EQ(value_of(read_file_header(second).mapped_size), length);
  EXPECT_EQ(value_of(read_file_header(second).region_size), length + 64);
  EXPECT_EQ(static_cast<std::uint64_t>(mapping), length);

  // Both views are the same shared memory.
  std::byte* chunk = heap_alloc_chunks(second, 1, record_block_unit);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(testing_support::heap_next_of(heap_), testing_support::heap_next_of(second));
  std::memset(chunk + 2, 0x5A, record_block_unit);
  EXPECT_EQ(std::to_integer<int>(heap_[chunk - second + 2]), 0x5A);

  close_memory_file(second, file, mapping);
  EXPECT_EQ(length_of(path_), length);
  EXPECT_TRUE(testing_support::check_heap(heap_));
}

TEST_F(MemoryFileTest, OpeningAMissingPathReportsIt) {
  const std::string missing = path_ + ".missing";
  EXPECT_EQ(create_memory_file(4096, missing.c_str(), 64, file_, mapping_), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(last_error_string(), "mm:core: failed to create memory file (" + system_text(ENOENT) + ")");
}

TEST_F(MemoryFileTest, OpeningAFileWithoutAHeapIsRefusedAndKeepsTheFile) {
  const std::string foreign = path_ + ".foreign";
  {
    std::ofstream out(foreign, std::ios::binary);
    out << "too short";
  }
  FileHandle file = platform::invalid_handle;
  MappingHandle mapping = platform::invalid_handle;
  EXPECT_EQ(create_memory_file(9, foreign.c_str(), 64, file, mapping), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(last_error_string().rfind("mm:core: memory file is too small to hold a heap: 9 bytes", 0), 0u);

  // Long enough, but its heap header claims space past the end of the file.
  ASSERT_EQ(::truncate(foreign.c_str(), 4096), 0);
  {
    std::fstream out(foreign, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(24);
    const std::uint64_t heap_end = 1 << 20;
    out.write(reinterpret_cast<const char*>(&heap_end), sizeof heap_end);
  }
  EXPECT_EQ(create_memory_file(4096, foreign.c_str(), 64, file, mapping), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(last_error_string().rfind("mm:core: not a corvana memory file (no magic number)", 0), 0u);
  EXPECT_FALSE(is_mapped_in_this_process(foreign));

  // With the magic of this format and a heap that does not fit the file.
  {
    std::fstream out(foreign, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(24 + offsetof(HeapHeader, format_magic));
    out.write(reinterpret_cast<const char*>(&memory_file_magic), sizeof memory_file_magic);
    out.write(reinterpret_cast<const char*>(&memory_file_format_version), sizeof memory_file_format_version);
  }
  EXPECT_EQ(create_memory_file(4096, foreign.c_str(), 64, file, mapping), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(last_error_string().rfind("mm:core: memory file has no valid heap header", 0), 0u);
  EXPECT_FALSE(is_mapped_in_this_process(foreign));
  EXPECT_EQ(length_of(foreign), 4096u);
  ::unlink(foreign.c_str());
}

TEST_F(MemoryFileTest, CloseSkipsInvalidHandlesAndStillUnmaps) {
  close_memory_file(nullptr, file_, mapping_);  // does nothing
  EXPECT_TRUE(is_mapped_in_this_process(path_));

  heap_set_error(heap_error_core_prefix, "unchanged");
  close_memory_file(heap_, platform::invalid_handle, platform::invalid_handle);
  heap_ = nullptr;
  EXPECT_EQ(last_error_string(), "mm:core: unchanged");
  EXPECT_FALSE(is_mapped_in_this_process(path_));
  // The file was left open for its owner.
  EXPECT_NE(::fcntl(static_cast<int>(file_), F_GETFD), -1);
  EXPECT_EQ(::close(static_cast<int>(file_)), 0);
}

TEST_F(MemoryFileTest, CloseReportsAFileThatCannotBeClosed) {
  const FileHandle file = file_;
  ASSERT_EQ(::close(static_cast<int>(file)), 0);
  close_memory_file(heap_, file, mapping_);
  heap_ = nullptr;
  EXPECT_EQ(last_error_string(),
            "mm:core: failed to close handle error: " + std::to_string(EBADF) + " (" + system_text(EBADF) + ")");
  EXPECT_FALSE(is_mapped_in_this_process(path_));
}

// ---------------------------------------------------------------------------------------------
// The last heap error text

TEST(HeapErrorText, PrefixesAndErrnoSuffix) {
  errno = ENOENT;
  heap_set_error(heap_error_alloc_prefix, "a");
  EXPECT_EQ(last_error_string(), "mm:alloc: a");
  heap_set_error(heap_error_core_prefix, "b");
  EXPECT_EQ(last_error_string(), "mm:core: b");
  heap_set_error(heap_error_alloc_prefix | heap_error_core_prefix, "c");
  EXPECT_EQ(last_error_string(), "mm:alloc: c");
  heap_set_error(heap_error_core_prefix | heap_error_with_errno, "d");
  EXPECT_EQ(last_error_string(), "mm:core: d (" + system_text(ENOENT) + ")");
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  heap_set_error(heap_error_core_prefix | heap_error_with_errno, "e");
  EXPECT_EQ(last_error_string(), "mm:core: e");
}

TEST(HeapErrorText, NullTextEmptiesTheBuffer) {
  heap_set_error(heap_error_core_prefix, "something");
  ASSERT_NE(heap_last_error(), nullptr);
  heap_set_error(heap_error_core_prefix, nullptr);
  EXPECT_EQ(heap_last_error(), nullptr);
}

TEST(HeapErrorText, LongTextsAreCutAt1024Characters) {
  const std::string prefix = "mm:core: ";
  const std::string error = system_text(EACCES);
  const auto compose = [&](std::size_t text_length) {
    errno = EACCES;
    const std::string text(text_length, 'x');
    heap_set_error(heap_error_core_prefix | heap_error_with_errno, text.c_str());
    return last_error_string();
  };
  // Longer than the buffer: cut, and no suffix.
  EXPECT_EQ(compose(2000), prefix + std::string(1024 - prefix.size(), 'x'));
  // 1023 characters before the suffix: no " (", the system text as far as it fits.
  EXPECT_EQ(compose(1023 - prefix.size()), prefix + std::string(1023 - prefix.size(), 'x') + error.substr(0, 1));
  // 1022: the same, two characters of the system text.
  EXPECT_EQ(compose(1022 - prefix.size()), prefix + std::string(1022 - prefix.size(), 'x') + error.substr(0, 2));
  // 1021: " (" fits, then one character of the system text fills the buffer.
  EXPECT_EQ(compose(1021 - prefix.size()), prefix + std::string(1021 - prefix.size(), 'x') + " (" + error.substr(0, 1));
  // The closing parenthesis needs the text to be shorter than 1023 characters before it.
  const std::size_t fitting = 1024 - prefix.size() - error.size() - 4;
  EXPECT_EQ(compose(fitting), prefix + std::string(fitting, 'x') + " (" + error + ")");
  EXPECT_EQ(compose(fitting + 1), prefix + std::string(fitting + 1, 'x') + " (" + error);
}

}  // namespace
}  // namespace corvana
