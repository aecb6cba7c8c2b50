// Every kernel, built for the x86-64-v3 instruction set (targets.hpp).
#if defined(__x86_64__)
#include "blocks/kernels.hpp"

namespace vorda::blocks {

template Kernels kernels_for<X86_64_V3>();

}  // namespace vorda::blocks
#endif
