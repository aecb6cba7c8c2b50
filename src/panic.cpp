#include "panic.hpp"

#include <execinfo.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vorda {
namespace {

// Cleared by the first panic that prints the hint, so the hint appears once.
std::atomic<bool> hint_pending{true};

bool backtrace_requested() {
  const char* value = std::getenv(kBacktraceVariable);
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

std::string thread_name() {
  // The system calls themselves rather than gettid() and
  // pthread_getname_np(), which older C libraries do not have (or have in
  // libpthread): the wheels must load on them.
  if (syscall(SYS_gettid) == getpid()) return "main";
  // Threads inherit the process name unless someone named them; only a name
  // of their own is worth reporting.
  char own[64] = {};  // PR_GET_NAME writes at most 16 bytes
  char process[64] = {};
  if (prctl(PR_GET_NAME, own) != 0 || own[0] == '\0') return "<unnamed>";
  if (FILE* comm = std::fopen("/proc/self/comm", "r")) {
    if (std::fgets(process, sizeof process, comm) != nullptr)
      process[std::strcspn(process, "\n")] = '\0';
    std::fclose(comm);
  }
  if (std::strcmp(own, process) == 0) return "<unnamed>";
  return own;
}

void write_all(const std::string& text) {
  std::fflush(stderr);
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written <= 0) return;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace

void report_panic(const std::string& message, const std::source_location& where) noexcept {
  try {
    std::string text = "\nthread '" + thread_name() + "' panicked at " + where.file_name() + ":" +
                       std::to_string(where.line()) + ":" + std::to_string(where.column()) +
                       ":\n" + message + "\n";
    if (backtrace_requested()) {
      write_all(text + "stack backtrace:\n");
      void* frames[64];
      int depth = ::backtrace(frames, 64);
      ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
      return;
    }
    if (hint_pending.exchange(false))
      text += std::string("note: run with `") + kBacktraceVariable +
              "=1` environment variable to display a backtrace\n";
    write_all(text);
  } catch (...) {
    // Out of memory while formatting: the exception still carries the message.
  }
}

void panic(std::string message, std::source_location where) {
  report_panic(message, where);
  throw Panic{std::move(message)};
}

void assertion_failed(const char* condition, std::source_location where) {
  panic(std::string("assertion failed: ") + condition, where);
}

void index_out_of_bounds(std::uint64_t len, std::uint64_t index, std::source_location where) {
  panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
            std::to_string(index),
        where);
}

}  // namespace vorda
