// Python presentation of the panner: the module's one function.
#include "frame.hpp"
#include "operations.hpp"

namespace vorda {

PyMethodDef pan2_function =
    function<ops::Pan2,
             "Equal-power mono-to-stereo panner.\n\n"
             "This function maps a mono signal into stereo using an\n"
             "equal-power panning law. The perceived loudness remains\n"
             "approximately constant across the stereo field.\n\n"
             "Panning model:\n"
             "- `pos` ∈ [-1.0, 1.0]\n"
             "    - -1.0: full left\n"
             "    -  0.0: center\n"
             "    -  1.0: full right\n\n"
             "Internally, `pos` is mapped to an angle θ ∈ [0, π/2]:\n\n"
             "```text\n"
             "θ = (pos + 1) * (π / 4)\n"
             "left  = x * cos(θ)\n"
             "right = x * sin(θ)\n"
             "```\n\n"
             "Properties:\n"
             "- Power-preserving: `left^2 + right^2 ≈ x^2`\n"
             "- Stateless and deterministic\n\n"
             "Notes:\n"
             "- This is intended as a lightweight utility, not a full spatialization model.\n"
             "- Input values outside [-1, 1] are clamped.">();

}  // namespace vorda
