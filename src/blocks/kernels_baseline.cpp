// Every kernel, built for the baseline instruction set (targets.hpp).
#include "blocks/kernels.hpp"

namespace vorda::blocks {

template Kernels kernels_for<Baseline>();

}  // namespace vorda::blocks
