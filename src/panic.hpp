// Panics: how a processor reports a broken precondition without knowing Python.
//
// A panic is written to standard error where it happens (so the report names
// the processor's own source line) and then unwinds as `Panic` until the
// call frame turns it into a Python exception.
#pragma once

#include <cstdint>
#include <source_location>
#include <string>

namespace vorda {

struct Panic {
  std::string message;
};

// Memory a processor needed and could not have: the frame raises
// MemoryError saying how much.
struct OutOfMemory {
  std::uint64_t samples;  // Samples (32-bit floats) asked for
};

// Writes the panic report for `message` at `where`, then throws `Panic`.
[[noreturn, gnu::cold]] void panic(std::string message,
                                   std::source_location where = std::source_location::current());

[[noreturn, gnu::cold]] void assertion_failed(const char* condition, std::source_location where);
[[noreturn, gnu::cold]] void index_out_of_bounds(std::uint64_t len, std::uint64_t index,
                                                 std::source_location where);

// `condition` is the text users see after "assertion failed: ", so it is
// written as the documented condition rather than as the C++ expression.
inline void check(bool holds, const char* condition,
                  std::source_location where = std::source_location::current()) {
  if (!holds) [[unlikely]]
    assertion_failed(condition, where);
}

inline void check_index(std::uint64_t index, std::uint64_t len,
                        std::source_location where = std::source_location::current()) {
  if (index >= len) [[unlikely]]
    index_out_of_bounds(len, index, where);
}

// Writes a panic report without throwing; used for the abort path, where
// there is nothing left to unwind into.
void report_panic(const std::string& message, const std::source_location& where) noexcept;

// The environment variable that replaces the first-panic note by a backtrace.
inline constexpr const char* kBacktraceVariable = "VORDA_BACKTRACE";

}  // namespace vorda
