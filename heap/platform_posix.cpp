// The operating-system calls of the heap layer on POSIX (Linux). Each function keeps errno as the
// failed call left it, so that callers can report it.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <new>
#include <string>

#include "heap/platform.hpp"

namespace corvana::platform {

namespace {

// A descriptor from a handle; -1 for a handle that cannot name one.
int descriptor_of(FileHandle file) noexcept {
  if (file < 0 || file > std::numeric_limits<int>::max()) {
    return -1;
  }
  return static_cast<int>(file);
}

}  // namespace

int last_error() noexcept { return errno; }

void set_last_error(int code) noexcept { errno = code; }

int current_process_id() noexcept { return static_cast<int>(::getpid()); }

std::int32_t system_page_size() noexcept {
  const long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 && size <= std::numeric_limits<std::int32_t>::max() ? static_cast<std::int32_t>(size) : 4096;
}

std::string temp_directory() {
  const char* from_environment = std::getenv("TMPDIR");
  std::string directory = from_environment != nullptr && from_environment[0] != '\0' ? from_environment : "/tmp";
  while (directory.size() > 1 && directory.back() == '/') {
    directory.pop_back();
  }
  return directory;
}

FileHandle create_unique_file(const std::string& directory, const std::string& prefix,
                              std::string& path) noexcept {
  try {
    std::string name_template = directory;
    if (name_template.empty() || name_template.back() != '/') {
      name_template += '/';
    }
    name_template += prefix;
    name_template += "XXXXXX";
    // mkostemp creates the file (mode 0600, owner read-write) and opens it read-write, so the name
    // cannot be taken by anybody else between its choice and its creation.
    const int descriptor = ::mkostemp(name_template.data(), O_CLOEXEC);
    if (descriptor < 0) {
      return invalid_handle;
    }
    path = std::move(name_template);
    return descriptor;
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return invalid_handle;
  }
}

FileHandle open_file(const char* path) noexcept {
  if (path == nullptr) {
    errno = EINVAL;
    return invalid_handle;
  }
  int descriptor;
  do {
    descriptor = ::open(path, O_RDWR | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor < 0 ? invalid_handle : descriptor;
}

bool set_file_length(FileHandle file, std::uint64_t length) noexcept {
  const int descriptor = descriptor_of(file);
  if (descriptor < 0) {
    errno = EBADF;
    return false;
  }
  if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = EFBIG;
    return false;
  }
  int result;
  do {
    result = ::ftruncate(descriptor, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool close_file(FileHandle file) noexcept {
  const int descriptor = descriptor_of(file);
  if (descriptor < 0) {
    errno = EBADF;
    return false;
  }
  // Linux releases the descriptor even when close reports EINTR, so it is never retried.
  return ::close(descriptor) == 0;
}

bool full_path(const char* path, std::string& resolved) {
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  char* canonical = ::realpath(path, nullptr);
  if (canonical == nullptr) {
    return false;
  }
  try {
    resolved = canonical;
  } catch (...) {
    std::free(canonical);
    throw;
  }
  std::free(canonical);
  return true;
}

bool full_path_of(FileHandle file, std::string& resolved) {
  const int descriptor = descriptor_of(file);
  if (descriptor < 0) {
    errno = EBADF;
    return false;
  }
  // The kernel's link for an open descriptor names the file it opened.
  return full_path(("/proc/self/fd/" + std::to_string(descriptor)).c_str(), resolved);
}

bool file_length(const char* path, std::uint64_t& length) noexcept {
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  struct stat status {};
  if (::stat(path, &status) != 0) {
    return false;
  }
  length = static_cast<std::uint64_t>(status.st_size);
  return true;
}

bool file_length(FileHandle file, std::uint64_t& length) noexcept {
  const int descriptor = descriptor_of(file);
  if (descriptor < 0) {
    errno = EBADF;
    return false;
  }
  struct stat status {};
  if (::fstat(descriptor, &status) != 0) {
    return false;
  }
  length = static_cast<std::uint64_t>(status.st_size);
  return true;
}

bool remove_file(const char* path) noexcept {
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  return ::unlink(path) == 0;
}

void* map_file(FileHandle file, std::uint64_t length) noexcept {
  const int descriptor = descriptor_of(file);
  if (descriptor < 0) {
    errno = EBADF;
    return nullptr;
  }
  if (length == 0 || length > std::numeric_limits<std::size_t>::max()) {
    errno = EINVAL;
    return nullptr;
  }
  void* address = ::mmap(nullptr, static_cast<std::size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED,
                         descriptor, 0);
  return address == MAP_FAILED ? nullptr : address;
}

bool unmap_file(void* address, std::uint64_t length) noexcept {
  if (address == nullptr || length == 0 || length > std::numeric_limits<std::size_t>::max()) {
    errno = EINVAL;
    return false;
  }
  return ::munmap(address, static_cast<std::size_t>(length)) == 0;
}

void prefault_for_write(void* address, std::uint64_t length) noexcept {
#ifdef MADV_POPULATE_WRITE
  const auto page = static_cast<std::uintptr_t>(system_page_size());
  const auto begin = reinterpret_cast<std::uintptr_t>(address) / page * page;
  const auto end = reinterpret_cast<std::uintptr_t>(address) + length;
  if (length == 0 || end <= begin) {
    return;
  }
  const int saved_errno = errno;
  // EINVAL before Linux 5.14; any error only means the pages fault in one by one later.
  static_cast<void>(::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE));
  errno = saved_errno;
#else
  static_cast<void>(address);
  static_cast<void>(length);
#endif
}

void sleep_milliseconds(unsigned milliseconds) noexcept {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  const int saved_errno = errno;
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
  errno = saved_errno;
}

void yield_processor() noexcept { ::sched_yield(); }

}  // namespace corvana::platform
