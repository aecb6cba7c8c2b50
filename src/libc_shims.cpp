// What the statically linked C++ runtime would otherwise take from a C
// library newer than the oldest one the wheels promise (glibc 2.28).
//
// libstdc++.a was built against this machine's glibc, so it refers to
// symbols that appeared later: __libc_single_threaded (2.32), which it
// reads to skip atomic operations, and arc4random (2.36), for
// std::random_device, which nothing here constructs. Defined in the module
// itself, they bind at link time and the module needs no such version.
// The definitions are hidden: they stay inside the module.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

extern "C" {

// Always "there may be other threads": the runtime then always uses atomic
// operations, which is what it does anyway once a thread has started.
[[gnu::visibility("hidden")]] char __libc_single_threaded = 0;

[[gnu::visibility("hidden")]] std::uint32_t arc4random() {
  std::uint32_t value = 0;
  if (getentropy(&value, sizeof value) != 0) std::abort();  // as arc4random, which cannot fail
  return value;
}
}
