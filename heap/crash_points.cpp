// Crash points of test builds: a named point kills the process when it is armed (see heap.hpp).
#include "heap/heap.hpp"

#ifdef CORVANA_CRASH_POINTS

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace corvana {

namespace {

std::mutex armed_mutex;
std::string armed_name;
std::atomic<bool> is_armed{false};
std::atomic<std::uint64_t> hits_to_skip{0};
std::atomic<int> signal_to_raise{SIGKILL};
// Whether this process has read CORVANA_CRASH_AT yet. A forked child reads it again at its first
// point, so that a parent can arm the processes it forks (by setting the variable after it passed
// a point itself) without arming itself.
std::atomic<bool> environment_read{false};

void arm_point(const char* name, std::uint64_t skip) noexcept {
  std::lock_guard<std::mutex> guard(armed_mutex);
  armed_name = name != nullptr ? name : "";
  hits_to_skip.store(skip, std::memory_order_relaxed);
  is_armed.store(name != nullptr, std::memory_order_release);
}

void read_environment() {
  const char* name = std::getenv("CORVANA_CRASH_AT");
  if (name == nullptr || name[0] == '\0') {
    return;
  }
  const char* skip = std::getenv("CORVANA_CRASH_SKIP");
  const char* action = std::getenv("CORVANA_CRASH_ACTION");
  // STOP: the process stops (SIGSTOP) at the point instead, alive and holding what it holds, and
  // goes on from there when it gets SIGCONT.
  const std::uint64_t hits = skip != nullptr ? std::strtoull(skip, nullptr, 10) : 0;
  if (action != nullptr && std::strcmp(action, "STOP") == 0) {
    arm_stop_point(name, hits);
  } else {
    arm_crash_point(name, hits);
  }
}

}  // namespace

void arm_crash_point(const char* name, std::uint64_t skip) noexcept {
  signal_to_raise.store(SIGKILL);
  arm_point(name, skip);
}

void arm_stop_point(const char* name, std::uint64_t skip) noexcept {
  signal_to_raise.store(SIGSTOP);
  arm_point(name, skip);
}

static void forget_in_child() noexcept {
  environment_read.store(false);
  is_armed.store(false);
}

[[maybe_unused]] static const int fork_handler_installed = ::pthread_atfork(nullptr, nullptr, forget_in_child);

void crash_point_reached(const char* name) noexcept {
  if (!environment_read.exchange(true)) {
    read_environment();
  }
  if (!is_armed.load(std::memory_order_acquire)) {
    return;
  }
  {
    std::lock_guard<std::mutex> guard(armed_mutex);
    if (armed_name != name) {
      return;
    }
  }
  if (hits_to_skip.fetch_sub(1, std::memory_order_relaxed) != 0) {
    return;
  }
  if (signal_to_raise.load() == SIGSTOP) {
    is_armed.store(false);  // stops once; goes on normally after SIGCONT
    ::kill(::getpid(), SIGSTOP);
    return;
  }
  // Dies at once, as a process killed from outside would: no handler, no cleanup, no flush.
  ::kill(::getpid(), SIGKILL);
  ::_exit(137);
}

}  // namespace corvana

#endif
