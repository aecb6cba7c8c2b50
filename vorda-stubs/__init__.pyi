from typing import SupportsFloat, SupportsIndex, TypeAlias, final

__all__ = [
    "SinOsc",
    "WhiteNoise",
    "Lfo",
    "Biquad",
    "LeakDc",
    "DelayS",
    "DelayN",
    "DelayL",
    "CombS",
    "CombN",
    "CombL",
    "AllpassS",
    "AllpassN",
    "AllpassL",
    "pan2",
    "RingBufferS",
    "RingBufferN",
    "RingBufferL",
]

# Samples, rates, times and coefficients are narrowed to float32 from
# anything the interpreter can turn into a float (int and numpy scalars
# included); counts (of samples, the Lfo waveform, the noise seed) take
# anything with __index__.
_Sample: TypeAlias = SupportsFloat | SupportsIndex

@final
class SinOsc:
    """A simple phase-accumulating sine oscillator.

    This oscillator generates a continuous sine waveform
    using normalized phase accumulation.

    Characteristics:
    - Audio-rate oscillator
    - Stateless API with internal phase state
    - Deterministic and reproducible given the same inputs

    Phase model:
    - Phase is normalized to the range [0, 1)
    - Output is computed as `sin(phase * TAU)`

    Notes:
    - No band-limiting is applied
    - High frequencies may produce aliasing
    """
    def __new__(cls, sample_rate: _Sample, phase: _Sample = 0.0) -> SinOsc: ...
    def process(self, frequency: _Sample) -> float:
        """Process one sample of the oscillator.

        # Parameters
        - `frequency`: oscillator frequency in Hz

        # Returns
        The current sine output sample.
        """
    def reset(self) -> None:
        """Reset the internal phase to zero.

        After reset, the next output will be `sin(0) = 0`.
        """
    @property
    def sample_rate(self) -> float:
        """Get the current sample rate."""
    @property
    def phase(self) -> float:
        """Get the current normalized phase."""

@final
class WhiteNoise:
    """White noise signal generator.

    This generator produces independent, uniformly distributed
    random samples in the range [-1.0, 1.0].

    Characteristics:
    - Stateless from the user's perspective
    - Internally uses a fast, small RNG
    - Suitable for noise sources, modulation, and testing

    Notes:
    - The distribution is uniform, not Gaussian
    - The RNG is seeded from the operating system
    """
    def __new__(cls, seed: SupportsIndex | None = None) -> WhiteNoise: ...
    def process(self) -> float:
        """Generate one white noise sample.

        # Returns
        A random value uniformly distributed in [-1.0, 1.0].
        """

@final
class Lfo:
    """Low-frequency oscillator (LFO).

    This LFO produces a main output and a quarter-phase-shifted output.
    It is designed for modulation purposes rather than audio-rate synthesis.

    Characteristics:
    - Stateless per-sample API (explicit state inside the object)
    - Deterministic phase accumulation
    - Multiple waveform types

    Outputs:
    - Main phase output
    - Quarter-phase (90°) advanced output

    Notes:
    - The sine waveform uses a fast approximation and may slightly exceed ±1.0
    - Phase is always normalized to [0, 1)
    """
    def __new__(cls, sample_rate: _Sample, waveform: SupportsIndex = 0) -> Lfo: ...
    def process(self, frequency: _Sample) -> tuple[float, float]:
        """Process one sample step of the LFO.

        # Parameters
        - `frequency`: LFO frequency in Hz

        # Returns
        A tuple `(y, y_qp)` where:
        - `y` is the main phase output
        - `y_qp` is the quarter-phase-shifted output
        """
    def reset(self) -> None:
        """Reset the internal phase state.

        After reset:
        - main phase = 0.0
        - quarter phase = 0.25
        """
    @property
    def sample_rate(self) -> float:
        """Get the current sample rate."""

@final
class Biquad:
    """A stateful biquad filter processor.

    This struct exposes a minimal and explicit API:
    - Construct with normalized coefficients
    - Process samples one-by-one
    - Reset or update coefficients explicitly
    """
    def __new__(cls, b0: _Sample, b1: _Sample, b2: _Sample, a1: _Sample, a2: _Sample) -> Biquad: ...
    def process(self, x: _Sample) -> float:
        """Process one input sample and return the output.

        This method performs no allocations and updates
        the internal state in-place.
        """
    def reset(self) -> None:
        """Reset the internal delay state to zero.

        This clears filter memory but keeps the current coefficients.
        """
    def set_coefs(self, b0: _Sample, b1: _Sample, b2: _Sample, a1: _Sample, a2: _Sample) -> None:
        """Update filter coefficients in-place.

        This allows efficient coefficient modulation without
        reallocating or recreating the filter object.
        """

@final
class LeakDc:
    """A simple DC blocking (leak DC) filter.

    This filter removes DC offset from a signal while allowing
    slow signal changes to pass through. It is commonly used
    after nonlinear processing such as rectification, distortion,
    or waveshaping.

    Difference equation:

    ```text
    y[n] = x[n] - x[n-1] + coef * y[n-1]
    ```

    Properties:
    - High-pass characteristic near DC
    - Very low computational cost
    - Stateful (one-sample memory)

    Notes:
    - `coef` should typically be close to 1.0 (e.g. 0.995–0.999)
    - Larger values remove DC more slowly but preserve low frequencies better
    """
    def __new__(cls, coef: _Sample = 0.995) -> LeakDc: ...
    def process(self, xn: _Sample) -> float:
        """Process one input sample and return the DC-blocked output.

        This method updates the internal state in-place.
        """
    def reset(self) -> None:
        """Reset the internal filter state.

        This clears any accumulated DC history.
        """
    @property
    def coef(self) -> float:
        """Feedback coefficient controlling the cutoff frequency.

        Values closer to 1.0 result in slower DC removal.
        """
    @coef.setter
    def coef(self, value: _Sample) -> None: ...

@final
class DelayS:
    """Integer-sample delay line.

    This delay operates on discrete sample offsets only.
    Fractional delays are not supported.
    """
    def __new__(cls, max_delay_samp: SupportsIndex) -> DelayS: ...
    def process(self, xn: _Sample, delay_samp: SupportsIndex) -> float:
        """Process one input sample and return the delayed output."""

@final
class DelayN:
    """Time-based delay line without interpolation.

    Fractional delay times are truncated to integer samples.
    """
    def __new__(cls, sample_rate: _Sample, max_delay_sec: _Sample) -> DelayN: ...
    def process(self, xn: _Sample, delay_sec: _Sample) -> float:
        """Process one input sample with a time-based delay."""

@final
class DelayL:
    """Time-based delay line with linear interpolation.

    Fractional delays are handled smoothly via linear interpolation.
    """
    def __new__(cls, sample_rate: _Sample, max_delay_sec: _Sample) -> DelayL: ...
    def process(self, xn: _Sample, delay_sec: _Sample) -> float:
        """Process one input sample with a fractional delay."""

@final
class CombS:
    """Integer-sample comb filter.

    A feedback delay line whose decay is the time, in samples, for the
    circulating signal to fall by 60 dB.
    """
    def __new__(cls, max_delay_samp: SupportsIndex) -> CombS: ...
    def process(self, xn: _Sample, delay_samp: SupportsIndex, decay_samp: SupportsIndex) -> float:
        """Process one sample through the comb filter."""

@final
class CombN:
    """Time-based comb filter without interpolation."""
    def __new__(cls, sample_rate: _Sample, max_delay_sec: _Sample) -> CombN: ...
    def process(self, xn: _Sample, delay_sec: _Sample, decay_sec: _Sample) -> float:
        """Process one sample through the comb filter."""

@final
class CombL:
    """Time-based comb filter with linear interpolation."""
    def __new__(cls, sample_rate: _Sample, max_delay_sec: _Sample) -> CombL: ...
    def process(self, xn: _Sample, delay_sec: _Sample, decay_sec: _Sample) -> float:
        """Process one sample through the comb filter."""

@final
class AllpassS:
    """Integer-sample allpass filter."""
    def __new__(cls, max_delay_samp: SupportsIndex) -> AllpassS: ...
    def process(self, xn: _Sample, delay_samp: SupportsIndex, decay_samp: SupportsIndex) -> float:
        """Process one sample through the allpass filter."""

@final
class AllpassN:
    """Time-based allpass filter without interpolation."""
    def __new__(cls, sample_rate: _Sample, max_delay_sec: _Sample) -> AllpassN: ...
    def process(self, xn: _Sample, delay_sec: _Sample, decay_sec: _Sample) -> float:
        """Process one sample through the allpass filter."""

@final
class AllpassL:
    """Time-based allpass filter with linear interpolation."""
    def __new__(cls, sample_rate: _Sample, max_delay_sec: _Sample) -> AllpassL: ...
    def process(self, xn: _Sample, delay_sec: _Sample, decay_sec: _Sample) -> float:
        """Process one sample through the allpass filter."""

def pan2(x: _Sample, pos: _Sample = 0.0) -> tuple[float, float]:
    """Equal-power mono-to-stereo panner.

    This function maps a mono signal into stereo using an
    equal-power panning law. The perceived loudness remains
    approximately constant across the stereo field.

    Panning model:
    - `pos` ∈ [-1.0, 1.0]
        - -1.0: full left
        -  0.0: center
        -  1.0: full right

    Internally, `pos` is mapped to an angle θ ∈ [0, π/2]:

    ```text
    θ = (pos + 1) * (π / 4)
    left  = x * cos(θ)
    right = x * sin(θ)
    ```

    Properties:
    - Power-preserving: `left^2 + right^2 ≈ x^2`
    - Stateless and deterministic

    Notes:
    - This is intended as a lightweight utility, not a full spatialization model.
    - Input values outside [-1, 1] are clamped.
    """

@final
class RingBufferS:
    """Ring buffer with integer-sample delay access.

    This buffer is optimized for integer delays and uses a power-of-two
    internal buffer size with bit masking for wrap-around.

    Typical use cases:
    - Integer-sample delay lines
    - Comb filters
    - Feedback delay networks
    """
    def __new__(cls, max_delay_samp: SupportsIndex) -> RingBufferS: ...
    def read(self, delay_samp: SupportsIndex) -> float:
        """Read a sample delayed by `delay_samp` samples.

        No bounds checking is performed; delays larger than the internal
        buffer size will wrap around cyclically.
        """
    def write(self, xn: _Sample) -> None:
        """Write a new sample into the buffer."""
    @property
    def max_delay_samp(self) -> int:
        """Maximum delay in samples (requested by the user)."""

@final
class RingBufferN:
    """Ring buffer with delay specified in seconds (no interpolation).

    The delay time is converted to samples using:

    ```text
    delay_samples = floor(sample_rate * delay_sec)
    ```

    Fractional delays are truncated.
    """
    def __new__(cls, sample_rate: _Sample, max_delay_sec: _Sample) -> RingBufferN: ...
    def read(self, delay_sec: _Sample) -> float:
        """Read a delayed sample (fractional part is truncated)."""
    def write(self, xn: _Sample) -> None:
        """Write a new sample into the buffer."""
    @property
    def sample_rate(self) -> float:
        ...
    @property
    def max_delay_sec(self) -> float:
        ...

@final
class RingBufferL:
    """Ring buffer with fractional-delay support using linear interpolation.

    This is suitable for:
    - Modulated delays
    - Chorus / flanger effects
    - Fractional-delay allpass structures

    Linear interpolation is used between adjacent samples.
    """
    def __new__(cls, sample_rate: _Sample, max_delay_sec: _Sample) -> RingBufferL: ...
    def read(self, delay_sec: _Sample) -> float:
        """Read a delayed sample using linear interpolation."""
    def write(self, xn: _Sample) -> None:
        """Write a new sample into the buffer."""
    @property
    def sample_rate(self) -> float:
        ...
    @property
    def max_delay_sec(self) -> float:
        ...
