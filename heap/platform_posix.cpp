// The operating-system calls of the heap layer on POSIX (Linux). Each function keeps errno as the
// failed call left it, so that callers can report it.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

void sleep_milliseconds(unsigned milliseconds) noexcept {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  const int saved_errno = errno;
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
  errno = saved_errno;
}

void yield_processor() noexcept { ::sched_yield(); }

void cpu_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

std::uint64_t monotonic_nanoseconds() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint64_t wall_clock_nanoseconds() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
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

namespace {

// Reads up to `capacity` - 1 bytes of a small file (a /proc entry) into `buffer`, terminated; the
// bytes read, or -1 with errno set.
ssize_t read_small_file(const char* path, char* buffer, std::size_t capacity) noexcept {
  int descriptor;
  do {
    descriptor = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    return -1;
  }
  std::size_t length = 0;
  while (length + 1 < capacity) {
    const ssize_t got = ::read(descriptor, buffer + length, capacity - 1 - length);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      if (got < 0) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
        return -1;
      }
      break;
    }
    length += static_cast<std::size_t>(got);
  }
  ::close(descriptor);
  buffer[length] = '\0';
  return static_cast<ssize_t>(length);
}

// What /proc/PID/stat says: the pid, the state letter and the start time, or false when the text
// is not such a line. The command name (field 2, in parentheses) may hold any byte, ')' included,
// so the fields are counted from the last ')'.
struct StatLine {
  std::uint32_t pid = 0;
  char state = '\0';
  std::uint64_t start_time = 0;
};
bool parse_stat_line(const char* text, StatLine& line) noexcept {
  const char* name_end = std::strrchr(text, ')');
  char* after_pid = nullptr;
  const unsigned long pid = std::strtoul(text, &after_pid, 10);
  if (name_end == nullptr || after_pid == text || pid == 0 || pid > UINT32_MAX || name_end[1] != ' ' ||
      name_end[2] == '\0') {
    return false;
  }
  line.pid = static_cast<std::uint32_t>(pid);
  line.state = name_end[2];
  // Field 22, the start time, is the 19th field after the state (field 3).
  const char* at = name_end + 3;
  for (int field = 4; field < 22; ++field) {
    at = std::strchr(at + 1, ' ');
    if (at == nullptr) {
      return false;
    }
  }
  char* end = nullptr;
  line.start_time = std::strtoull(at + 1, &end, 10);
  return end != at + 1;
}

// The 16 bytes of the boot id's text ("xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx").
bool parse_boot_id(const char* text, std::uint8_t (&boot_id)[16]) noexcept {
  std::size_t digits = 0;
  for (const char* at = text; *at != '\0' && *at != '\n' && digits < 32; ++at) {
    if (*at == '-') {
      continue;
    }
    const char c = *at;
    const int value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (value < 0) {
      return false;
    }
    const std::size_t byte = digits / 2;
    boot_id[byte] = static_cast<std::uint8_t>(digits % 2 == 0 ? value << 4 : boot_id[byte] | value);
    ++digits;
  }
  return digits == 32;
}

constexpr std::size_t stat_line_capacity = 1024;

}  // namespace

bool ProcessIdentity::is_known() const noexcept {
  const std::uint8_t zeros[sizeof boot_id] = {};
  return pid != 0 && start_time != 0 && pid_namespace != 0 &&
         std::memcmp(boot_id, zeros, sizeof boot_id) != 0;
}

ProcessIdentity current_process_identity() noexcept {
  const int saved_errno = errno;
  ProcessIdentity identity;
  identity.pid = static_cast<std::uint32_t>(::getpid());
  char text[stat_line_capacity];
  StatLine line;
  // /proc of another PID namespace names another process "self": then nothing else is trusted.
  if (read_small_file("/proc/self/stat", text, sizeof text) > 0 && parse_stat_line(text, line) &&
      line.pid == identity.pid) {
    identity.start_time = line.start_time;
    struct stat status {};
    if (::stat("/proc/self/ns/pid", &status) == 0) {
      identity.pid_namespace = static_cast<std::uint64_t>(status.st_ino);
    }
    if (read_small_file("/proc/sys/kernel/random/boot_id", text, sizeof text) > 0 &&
        !parse_boot_id(text, identity.boot_id)) {
      std::memset(identity.boot_id, 0, sizeof identity.boot_id);
    }
  }
  errno = saved_errno;
  return identity;
}

ProcessState process_state(const ProcessIdentity& recorded,
                           const ProcessIdentity& asker) noexcept {
  if (!recorded.is_known() || !asker.is_known()) {
    return ProcessState::unknown;
  }
  if (std::memcmp(recorded.boot_id, asker.boot_id, sizeof recorded.boot_id) != 0) {
    return ProcessState::gone;  // no process outlives a reboot
  }
  if (recorded.pid_namespace != asker.pid_namespace) {
    return ProcessState::unknown;  // its pid means another process here, or none
  }
  const int saved_errno = errno;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%u/stat", static_cast<unsigned>(recorded.pid));
  char text[stat_line_capacity];
  const ssize_t length = read_small_file(path, text, sizeof text);
  const int error = errno;
  errno = saved_errno;
  if (length < 0) {
    // /proc may hide the processes of other users (hidepid): a pid that can be signalled, or
    // that may not be, still names a process.
    const bool has_no_process = (error == ENOENT || error == ESRCH) &&
                                ::kill(static_cast<pid_t>(recorded.pid), 0) != 0 && errno == ESRCH;
    errno = saved_errno;
    return has_no_process ? ProcessState::gone : ProcessState::unknown;
  }
  StatLine line;
  if (!parse_stat_line(text, line) || line.pid != recorded.pid) {
    return ProcessState::unknown;
  }
  // Z: ended, not yet reaped; X: being reaped. A stopped process (T, t) runs.
  if (line.state == 'Z' || line.state == 'X' || line.state == 'x' || line.start_time != recorded.start_time) {
    return ProcessState::gone;
  }
  return ProcessState::runs;
}

bool wait_on_word(const std::uint32_t* address, std::uint32_t expected, unsigned timeout_microseconds) noexcept {
  const int saved_errno = errno;
  timespec timeout{static_cast<time_t>(timeout_microseconds / 1000000),
                   static_cast<long>(timeout_microseconds % 1000000) * 1000L};
  // Not FUTEX_PRIVATE_FLAG: the word lives in a shared file mapping and its waiters may be in any
  // process that maps the file.
  const long result = ::syscall(SYS_futex, address, FUTEX_WAIT, expected, &timeout, nullptr, 0);
  const bool interrupted = result != 0 && errno == EINTR;
  errno = saved_errno;
  return interrupted;
}

void wake_word_waiters(const std::uint32_t* address) noexcept {
  const int saved_errno = errno;
  static_cast<void>(::syscall(SYS_futex, address, FUTEX_WAKE, std::numeric_limits<int>::max(), nullptr, nullptr, 0));
  errno = saved_errno;
}

bool on_fork_child(void (*handler)()) noexcept { return ::pthread_atfork(nullptr, nullptr, handler) == 0; }

}  // namespace corvana::platform
