// The operating-system calls of the heap layer on POSIX (Linux) that concern processes, time and
// waits: errno, the process id and page size, a process's identity as /proc shows it and whether it
// still runs, sleeps and clocks, waits on a word shared between processes (futex), and the fork
// handler. Each function keeps errno as the failed call left it, so that callers can report it.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
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

#include "heap/platform.hpp"

namespace corvana::platform {

int last_error() noexcept { return errno; }

void set_last_error(int code) noexcept { errno = code; }

int current_process_id() noexcept { return static_cast<int>(::getpid()); }

std::int32_t system_page_size() noexcept {
  const long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 && size <= std::numeric_limits<std::int32_t>::max() ? static_cast<std::int32_t>(size) : 4096;
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
