// The operating-system calls of the heap layer on POSIX (Linux) that work on files: creating,
// opening, sizing, backing and removing them, mapping them, the byte-range locks that prove a
// process alive, and the identity of an open file description. Each function keeps errno as the
// failed call left it, so that callers can report it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

bool write_zeros(FileHandle file, std::uint64_t offset, std::uint64_t length) noexcept {
  const int descriptor = descriptor_of(file);
  if (descriptor < 0) {
    errno = EBADF;
    return false;
  }
  static const char zeros[64 * 1024] = {};
  while (length > 0) {
    const std::size_t piece = length < sizeof zeros ? static_cast<std::size_t>(length) : sizeof zeros;
    const ssize_t written = ::pwrite(descriptor, zeros, piece, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      if (written == 0) {
        errno = ENOSPC;
      }
      return false;
    }
    offset += static_cast<std::uint64_t>(written);
    length -= static_cast<std::uint64_t>(written);
  }
  return true;
}

bool may_hold_data(FileHandle file, std::uint64_t offset, std::uint64_t length) noexcept {
  const int descriptor = descriptor_of(file);
  if (descriptor < 0 || offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return true;
  }
  const int saved_errno = errno;
  const off_t data = ::lseek(descriptor, static_cast<off_t>(offset), SEEK_DATA);
  const int error = errno;
  errno = saved_errno;
  if (data < 0) {
    return error != ENXIO;  // ENXIO: no data from `offset` to the end of the file
  }
  return static_cast<std::uint64_t>(data) - offset < length;
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

namespace {

// The status of an open file; false (errno set) on failure.
bool file_status(FileHandle file, struct stat& status) noexcept {
  const int descriptor = descriptor_of(file);
  if (descriptor < 0) {
    errno = EBADF;
    return false;
  }
  return ::fstat(descriptor, &status) == 0;
}

}  // namespace

bool file_length(FileHandle file, std::uint64_t& length) noexcept {
  struct stat status {};
  if (!file_status(file, status)) {
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
  static_cast<void>(reserve_for_write(address, length));  // a failure only means later faults
}

bool reserve_for_write(void* address, std::uint64_t length) noexcept {
#ifdef MADV_POPULATE_WRITE
  const auto page = static_cast<std::uintptr_t>(system_page_size());
  const auto begin = reinterpret_cast<std::uintptr_t>(address) / page * page;
  const auto end = reinterpret_cast<std::uintptr_t>(address) + length;
  if (length == 0 || end <= begin) {
    return true;
  }
  const int saved_errno = errno;
  int result = 0;
  int error = 0;
  for (int attempt = 0; attempt < 8; ++attempt) {
    result = ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
    error = errno;
    if (result == 0 || error != EINTR) {
      break;
    }
  }
  errno = saved_errno;
  // EFAULT: a page could not be backed (the file system is full); ENOMEM: no memory for it. EINVAL
  // comes from kernels before 5.14, which cannot tell: the pages then fault in as they are written.
  return result == 0 || (error != EFAULT && error != ENOMEM);
#else
  static_cast<void>(address);
  static_cast<void>(length);
  return true;
#endif
}

FileHandle open_second_description(FileHandle file) noexcept {
  const int descriptor = descriptor_of(file);
  if (descriptor < 0) {
    errno = EBADF;
    return invalid_handle;
  }
  // The kernel's link for an open descriptor reopens the very file, also after it was unlinked, as
  // a new open file description (which is what a byte-range lock of its own needs).
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", descriptor);
  int second;
  do {
    second = ::open(link, O_RDWR | O_CLOEXEC);
  } while (second < 0 && errno == EINTR);
  return second < 0 ? invalid_handle : second;
}

namespace {

// An open-file-description lock request on [offset, offset + length).
struct flock byte_range(short type, std::uint64_t offset, std::uint64_t length) noexcept {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(offset);
  range.l_len = static_cast<off_t>(length);
  range.l_pid = 0;  // required by open-file-description locks
  return range;
}

bool fits_lock_range(std::uint64_t offset, std::uint64_t length) noexcept {
  const auto limit = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  return offset <= limit && length <= limit - offset;
}

}  // namespace

bool try_lock_byte(FileHandle file, std::uint64_t offset) noexcept {
  const int descriptor = descriptor_of(file);
  if (descriptor < 0 || !fits_lock_range(offset, 1)) {
    errno = descriptor < 0 ? EBADF : EINVAL;
    return false;
  }
  struct flock range = byte_range(F_WRLCK, offset, 1);
  int result;
  do {
    result = ::fcntl(descriptor, F_OFD_SETLK, &range);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

void unlock_byte(FileHandle file, std::uint64_t offset) noexcept {
  const int descriptor = descriptor_of(file);
  if (descriptor < 0 || !fits_lock_range(offset, 1)) {
    return;
  }
  const int saved_errno = errno;
  struct flock range = byte_range(F_UNLCK, offset, 1);
  static_cast<void>(::fcntl(descriptor, F_OFD_SETLK, &range));
  errno = saved_errno;
}

int byte_range_is_locked(FileHandle file, std::uint64_t offset, std::uint64_t length) noexcept {
  const int descriptor = descriptor_of(file);
  if (descriptor < 0 || length == 0 || !fits_lock_range(offset, length)) {
    errno = descriptor < 0 ? EBADF : EINVAL;
    return -1;
  }
  // Asks whether an exclusive lock could be taken: any lock of another open file description on the
  // range would stand in its way and is reported; this description's own locks never are.
  struct flock range = byte_range(F_WRLCK, offset, length);
  int result;
  do {
    result = ::fcntl(descriptor, F_OFD_GETLK, &range);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    return -1;
  }
  return range.l_type == F_UNLCK ? 0 : 1;
}

bool identify_file(FileHandle file, FileIdentity& identity) noexcept {
  struct stat status {};
  if (!file_status(file, status)) {
    return false;
  }
  const off_t position = ::lseek(descriptor_of(file), 0, SEEK_CUR);
  if (position < 0) {
    return false;
  }
  identity.device = static_cast<std::uint64_t>(status.st_dev);
  identity.inode = static_cast<std::uint64_t>(status.st_ino);
  identity.position = static_cast<std::uint64_t>(position);
  return true;
}

bool set_position(FileHandle file, std::uint64_t position) noexcept {
  const int descriptor = descriptor_of(file);
  if (descriptor < 0 || position > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    errno = descriptor < 0 ? EBADF : EINVAL;
    return false;
  }
  return ::lseek(descriptor, static_cast<off_t>(position), SEEK_SET) >= 0;
}

bool names_file(FileHandle file, const FileIdentity& identity) noexcept {
  const int saved_errno = errno;
  FileIdentity now;
  const bool is_same = identify_file(file, now) && now.device == identity.device &&
                       now.inode == identity.inode &&
                       (identity.position == 0 || now.position == identity.position);
  errno = saved_errno;
  return is_same;
}

}  // namespace corvana::platform
