"""Whole numpy arrays through vorda's processors, bit for bit as the per-sample calls."""

from collections.abc import Sequence
from types import TracebackType
from typing import (
    Any, ClassVar, Literal, NoReturn, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, final,
    overload, type_check_only,
)

from typing_extensions import Buffer, Self, disjoint_base

import numpy as np
import numpy.typing as npt
import vorda

# A parameter is one value for the whole block or a 1-D array of per-sample
# values; Sample arrays of any real dtype are narrowed to float32, count
# arrays take integers and booleans.
_Samples: TypeAlias = SupportsFloat | SupportsIndex | npt.ArrayLike
_Counts: TypeAlias = SupportsIndex | npt.ArrayLike
_Block: TypeAlias = npt.NDArray[np.float32]
_Pair: TypeAlias = tuple[_Block, _Block]

@overload
def process(
    obj: vorda.SinOsc, /, frequency: _Samples, *, n: SupportsIndex | None = None,
    out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.WhiteNoise, /, *, n: SupportsIndex | None = None, out: _Block | None = None
) -> _Block: ...
@overload
def process(
    obj: vorda.Lfo, /, frequency: _Samples, *, n: SupportsIndex | None = None,
    out: _Pair | list[_Block] | None = None,
) -> _Pair: ...
@overload
def process(
    obj: vorda.Biquad, /, x: _Samples, *, n: SupportsIndex | None = None,
    out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.Biquad, /, x: _Samples, *, b0: _Samples, b1: _Samples, b2: _Samples,
    a1: _Samples, a2: _Samples, n: SupportsIndex | None = None, out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.LeakDc, /, xn: _Samples, *, coef: _Samples = ...,
    n: SupportsIndex | None = None, out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.DelayS, /, xn: _Samples, delay_samp: _Counts, *,
    n: SupportsIndex | None = None, out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.DelayN | vorda.DelayL, /, xn: _Samples, delay_sec: _Samples, *,
    n: SupportsIndex | None = None, out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.CombS | vorda.AllpassS, /, xn: _Samples, delay_samp: _Counts,
    decay_samp: _Counts, *, n: SupportsIndex | None = None, out: _Block | None = None,
) -> _Block: ...
@overload
def process(
    obj: vorda.CombN | vorda.CombL | vorda.AllpassN | vorda.AllpassL, /, xn: _Samples,
    delay_sec: _Samples, decay_sec: _Samples, *, n: SupportsIndex | None = None,
    out: _Block | None = None,
) -> _Block: ...
@overload
def read(
    obj: vorda.RingBufferS, /, delay_samp: _Counts, *, n: SupportsIndex | None = None,
    out: _Block | None = None,
) -> _Block: ...
@overload
def read(
    obj: vorda.RingBufferN | vorda.RingBufferL, /, delay_sec: _Samples, *,
    n: SupportsIndex | None = None, out: _Block | None = None,
) -> _Block: ...
def write(
    obj: vorda.RingBufferS | vorda.RingBufferN | vorda.RingBufferL, /, xn: _Samples, *,
    n: SupportsIndex | None = None,
) -> None:
    """Write a block of samples into a ring buffer: that many `obj.write` calls."""

def pan2(
    x: _Samples, pos: _Samples = 0.0, *, n: SupportsIndex | None = None,
    out: _Pair | list[_Block] | None = None,
) -> _Pair:
    """`vorda.pan2` over a block: returns the float32 arrays (left, right)."""

instruction_set: str
"""The build of the block and patch kernels that runs: "x86-64-v3" (AVX2) where the
CPU has it, else "baseline"; VORDA_ISA=baseline in the environment forces the baseline."""

class PanicException(BaseException):
    """
    The exception raised when vorda's native code panics.

    Like SystemExit, this exception is derived from BaseException so that it
    will typically propagate all the way through the stack and cause the
    Python interpreter to exit.
    """

# --- Snapshots ----------------------------------------------------------------

_Instance: TypeAlias = (
    vorda.SinOsc | vorda.WhiteNoise | vorda.Lfo | vorda.Biquad | vorda.LeakDc | vorda.DelayS
    | vorda.DelayN | vorda.DelayL | vorda.CombS | vorda.CombN | vorda.CombL | vorda.AllpassS
    | vorda.AllpassN | vorda.AllpassL | vorda.RingBufferS | vorda.RingBufferN | vorda.RingBufferL
)  # fmt: skip

def snapshot(obj: _Instance | Patch, /, *, instances: bool = True) -> bytes:
    """The state of a vorda instance or a Patch, as bytes: everything a later
    call or property read can observe. `vb.restore` makes a twin of it that
    continues bit for bit where `obj` stands; `obj` is not changed.

    A patch's snapshot holds its instances (shared ones once); with
    instances=False it leaves them out, and restore takes them back."""

def restore(data: Buffer, /, instances: Sequence[_Instance] | None = None) -> Any:
    """The instance or Patch a snapshot was taken of, as a new object.

    `instances` gives a patch snapshot taken with instances=False its
    instances, in the order of `Patch.instances`. Bytes that are not a
    snapshot this vorda_blocks can read raise ValueError saying why."""

# --- Patches ------------------------------------------------------------------

# A patch argument: a value of the patch or a number (fixed when recorded).
_In: TypeAlias = Value | SupportsFloat | SupportsIndex
# Only an int or an input declared with count=True takes a `_samp` argument:
# the patch refuses any value computed from them.
_Count: TypeAlias = _CountInput | SupportsIndex
_Number: TypeAlias = float | int | np.floating[Any] | np.integer[Any] | np.bool_
_Step: TypeAlias = tuple[str, object, tuple[Value | float | int, ...], tuple[Value, ...]]
_Given: TypeAlias = SupportsFloat | SupportsIndex | npt.ArrayLike

@disjoint_base
class Value:
    """A value of a patch: an input, a feedback, or what an operation or
    arithmetic gives on each sample. It has no number until the patch
    runs; arithmetic on it records arithmetic."""

    __array_ufunc__: ClassVar[None]
    @property
    def patch(self) -> Patch:
        """The patch the value belongs to."""
    @property
    def index(self) -> int:
        """The value's number within its patch."""
    @property
    def count(self) -> bool:
        """Whether it is a count input."""
    def __add__(self, value: Value | _Number, /) -> Value: ...
    def __radd__(self, value: float, /) -> Value: ...
    def __sub__(self, value: Value | _Number, /) -> Value: ...
    def __rsub__(self, value: float, /) -> Value: ...
    def __mul__(self, value: Value | _Number, /) -> Value: ...
    def __rmul__(self, value: float, /) -> Value: ...
    def __truediv__(self, value: Value | _Number, /) -> Value: ...
    def __rtruediv__(self, value: float, /) -> Value: ...
    def __neg__(self) -> Value: ...
    def __pos__(self) -> Value: ...
    def __abs__(self) -> Value: ...
    def __float__(self) -> NoReturn: ...
    def __int__(self) -> NoReturn: ...
    def __bool__(self) -> NoReturn: ...
    def __lt__(self, value: object, /) -> NoReturn: ...
    def __le__(self, value: object, /) -> NoReturn: ...
    def __gt__(self, value: object, /) -> NoReturn: ...
    def __ge__(self, value: object, /) -> NoReturn: ...
    def __eq__(self, value: object, /) -> NoReturn: ...  # type: ignore[override]
    def __ne__(self, value: object, /) -> NoReturn: ...  # type: ignore[override]
    __hash__: ClassVar[None]  # type: ignore[assignment]

@type_check_only
class _CountInput:
    """An input declared with count=True: it takes part only as a count (a
    `_samp` argument), never as a sample or in arithmetic. At run time it is
    a Value; the stubs tell it apart so that the type checker refuses what
    the patch refuses."""

    @property
    def patch(self) -> Patch: ...
    @property
    def index(self) -> int: ...
    @property
    def count(self) -> bool: ...

@final
class Feedback(Value):
    """A patch's one-sample memory (Patch.feedback): a value that reads what
    set() was given on the previous sample."""

    def set(self, /, value: Value | _Number) -> None:
        """What the next sample reads from this feedback: a value or a number.
        Called exactly once."""
    @property
    def name(self) -> str | None:
        """The name given, or None."""
    @property
    def initial(self) -> float:
        """What the first sample read."""
    @property
    def value(self) -> float:
        """What the next sample reads: `initial` until the patch runs, then what
        the last sample set. It can be assigned (to start a loop afresh)."""
    @value.setter
    def value(self, value: _Number) -> None: ...
    @property
    def source(self) -> Value | float | None:
        """What set() was given, or None."""

@disjoint_base
class Patch:
    """A network of vorda processors with feedback between them, recorded
    once and run per sample in C++.

    Record with input(), feedback(), process(), read(), write(),
    pan2(), arithmetic on the values they return, and output(); then
    run(). Each sample performs the recorded operations in order,
    bit for bit as the Python loop making the same calls would, with
    Python floats between them."""

    def __init__(self) -> None: ...
    @overload
    def input(self, /, name: str, count: Literal[True]) -> _CountInput:
        """A value given to run() by `name`, one per sample: an array or a number.

        With count=True it is a count (for `_samp` arguments only), and run()
        takes an integer array or an int for it."""
    @overload
    def input(self, /, name: str, count: Literal[False] = False) -> Value: ...
    @overload
    def input(self, /, name: str, count: bool) -> Value | _CountInput: ...
    def feedback(self, /, initial: _Number = 0.0, name: str | None = None) -> Feedback:
        """A one-sample memory: reading it gives what its set() was given on the
        previous sample (`initial` on the first one)."""
    @overload
    def process(self, obj: vorda.SinOsc, /, frequency: _In) -> Value:
        """Record `obj.process(*args, **kwargs)`: the arguments are patch values or
        numbers; returns the value (a pair for `Lfo`). `Biquad` also takes `b0`
        to `a2` and `LeakDc` `coef`, set before each sample as a block does."""
    @overload
    def process(self, obj: vorda.WhiteNoise, /) -> Value: ...
    @overload
    def process(self, obj: vorda.Lfo, /, frequency: _In) -> tuple[Value, Value]: ...
    @overload
    def process(self, obj: vorda.Biquad, /, x: _In) -> Value: ...
    @overload
    def process(
        self, obj: vorda.Biquad, /, x: _In, *, b0: _In, b1: _In, b2: _In, a1: _In, a2: _In
    ) -> Value: ...
    @overload
    def process(self, obj: vorda.LeakDc, /, xn: _In, *, coef: _In = ...) -> Value: ...
    @overload
    def process(self, obj: vorda.DelayS, /, xn: _In, delay_samp: _Count) -> Value: ...
    @overload
    def process(self, obj: vorda.DelayN | vorda.DelayL, /, xn: _In, delay_sec: _In) -> Value: ...
    @overload
    def process(
        self, obj: vorda.CombS | vorda.AllpassS, /, xn: _In, delay_samp: _Count,
        decay_samp: _Count,
    ) -> Value: ...
    @overload
    def process(
        self, obj: vorda.CombN | vorda.CombL | vorda.AllpassN | vorda.AllpassL, /, xn: _In,
        delay_sec: _In, decay_sec: _In,
    ) -> Value: ...
    @overload
    def read(self, obj: vorda.RingBufferS, /, delay_samp: _Count) -> Value:
        """Record `obj.read(delay)` of a ring buffer."""
    @overload
    def read(self, obj: vorda.RingBufferN | vorda.RingBufferL, /, delay_sec: _In) -> Value: ...
    def write(
        self, obj: vorda.RingBufferS | vorda.RingBufferN | vorda.RingBufferL, /, xn: _In
    ) -> None:
        """Record `obj.write(xn)` of a ring buffer."""
    def pan2(self, /, x: _In, pos: _In = 0.0) -> tuple[Value, Value]:
        """Record `vorda.pan2(x, pos)`: returns (left, right)."""
    def min(self, /, a: Value | _Number, b: Value | _Number) -> Value:
        """Record Python's `min(a, b)`."""
    def max(self, /, a: Value | _Number, b: Value | _Number) -> Value:
        """Record Python's `max(a, b)`."""
    def tanh(self, /, a: Value | _Number) -> Value:
        """Record `math.tanh(a)`."""
    def output(
        self, /, name: str, value: Value | _Number, dtype: npt.DTypeLike = "float32"
    ) -> None:
        """Make `value` an output of run(), as an array of `dtype` (float32, or
        float64 to keep the double)."""
    def compile(self, /) -> None:
        """Turn the recording into a schedule (the first run does it otherwise).
        Nothing more can be recorded after it."""
    # What run() returns depends on how many outputs were recorded, which no
    # type can follow: an array for one, a tuple for several, None for none.
    def run(self, /, n: SupportsIndex | None = None, **inputs: _Given) -> Any:
        """Run the patch over n samples: each input by name, a 1-D array or a
        number. Returns the only output's array, or a tuple of them in the order
        they were declared (None without outputs). The patch and its instances
        keep their state: a run continues where the last one stopped."""
    @property
    def steps(self) -> tuple[_Step, ...]:
        """The recording as the per-sample loop performs it: tuples (name, target,
        args, results), one per call, in order. `name` is a method of `target`
        (or the property `coef`, assigned), 'pan2', 'set' (target: the feedback)
        or an arithmetic operation ('+', '-', '*', '/', 'neg', 'abs', 'min',
        'max', 'tanh'); args are values or numbers."""
    @property
    def inputs(self) -> dict[str, Value]:
        """The inputs by name."""
    @property
    def outputs(self) -> dict[str, tuple[Value | float, np.dtype[Any]]]:
        """The outputs by name: (value, dtype)."""
    @property
    def feedbacks(self) -> tuple[Feedback, ...]:
        """The feedbacks, in order of creation."""
    @property
    def schedule(self) -> tuple[tuple[str, str | tuple[str, ...]], ...] | None:
        """Once compiled, how a chunk runs: ('block', operation) for an operation
        run over the whole chunk, ('per sample', operations) for operations
        that take turns sample by sample; None before."""
    @property
    def chunk(self) -> int | None:
        """Once compiled, the chunk length in samples."""
    @property
    def instances(self) -> tuple[_Instance, ...]:
        """The instances the patch uses, each once, in order of first use."""
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[bytes, tuple[_Instance, ...], dict[str, Any] | None], /) -> None: ...
    def __copy__(self) -> Self: ...

# --- Live streams -------------------------------------------------------------

class _Device(TypedDict):
    index: int
    name: str
    backend: str
    inputs: int
    outputs: int
    default: bool
    default_input: bool
    sample_rate: float

class _Stats(TypedDict):
    blocks: int
    late: int
    xruns: int
    load_mean: float
    load_peak: float
    protected: int
    dropped: int
    lost_events: int
    refused_events: int
    callback_seconds: float
    run_seconds: float

def devices() -> list[_Device]:
    """The audio devices the backends see, as dicts: index, name, backend
    ('jack', 'alsa', ...), inputs and outputs (channel counts), default (the
    one a Stream plays through when given none), default_input, sample_rate.
    Raises RuntimeError, saying what to install, if no audio library is found."""

@final
class Stream:
    """A compiled Patch played live through an audio device.

    The backend's audio thread runs the patch in C++ once per block, without
    the interpreter lock. `outputs` names the patch output of each channel
    (all, in order, by default); `inputs` maps a patch input to the capture
    channel it takes; every other input is a control, changed by set().
    `device` is an index or a name from devices(), `backend` one of theirs.
    Output protection (protect=True) plays NaN and infinities as 0 and clips
    to [-1, 1]. With record=True the stream keeps what it computed and what
    it was given: recording() and played_inputs()."""

    def __new__(
        cls, patch: Patch, *, outputs: Sequence[str] | str | None = None,
        inputs: dict[str, int] | None = None, sample_rate: float = 48000,
        blocksize: int = 64, device: int | str | None = None, backend: str | None = None,
        record: bool = False, protect: bool = True,
    ) -> Self: ...
    def set(self, /, name: str, value: _Number, at: int | None = None) -> None:
        """From sample `at` of the stream's clock on, control `name` holds `value`.

        With at=None the value lands at the start of the next block the audio
        thread computes; a time already computed lands there too. Events due at
        the same sample apply in the order they were set. Before start(), set()
        without `at` gives a control the value it starts with. Count inputs take
        ints. A full event queue raises RuntimeError (the audio thread never waits)."""
    def start(self, /) -> None:
        """Start playing: the clock starts from 0, and the stream holds the patch and
        every instance it uses until stop()."""
    def stop(self, /) -> None:
        """Stop playing. The patch and its instances are ordinary objects again, in
        the state the stream left them; what was recorded stays readable."""
    def close(self, /) -> None:
        """Stop, and let the device go. What was recorded stays readable."""
    def stats(self, /) -> _Stats:
        """Counters since start: blocks, late (computed slower than real time), xruns
        (as the backend reported them), load_mean and load_peak (time in the
        callback over the block's period), protected (samples the output
        protection changed), dropped and lost_events (what the recording had no
        room for), refused_events, callback_seconds and run_seconds (of which
        running the patch)."""
    def events(self, /) -> list[tuple[int, str, float | int]]:
        """The control events applied since start, in order, as (time, name, value)
        with the sample each took effect at."""
    def recording(self, /) -> npt.NDArray[Any] | tuple[npt.NDArray[Any], ...]:
        """What the patch computed since start (record=True): an array, or a tuple in
        the order of `outputs`; the patch's own output, before protection."""
    def played_inputs(self, /) -> dict[str, npt.NDArray[Any]]:
        """The inputs the patch was given since start (record=True), one array per
        input: the held control values and the captured audio, per sample. A twin
        of the patch taken before start() gives recording() from them:
        `twin.run(**s.played_inputs())`."""
    def __enter__(self) -> Self:
        """Start; the stream itself."""
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None,
        traceback: TracebackType | None, /,
    ) -> Literal[False]:
        """Close."""
    @property
    def time(self) -> int:
        """Samples computed since start."""
    @property
    def running(self) -> bool:
        """Whether the audio thread is computing."""
    @property
    def sample_rate(self) -> float:
        """Samples per second."""
    @property
    def blocksize(self) -> int:
        """Samples per block."""
    @property
    def latency(self) -> float | None:
        """Seconds from the patch's output to the device, as the backend reported it
        at start; None before."""
    @property
    def backend(self) -> str:
        """The backend: 'jack', 'alsa', ..."""
    @property
    def device(self) -> str:
        """The device's name."""
    @property
    def outputs(self) -> tuple[str, ...]:
        """The patch output of each channel."""
    @property
    def error(self) -> RuntimeError | None:
        """Why the stream stopped by itself (the exception the next call raises), or None."""
