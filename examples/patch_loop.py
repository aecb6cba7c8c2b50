"""
The loop a patch stands for
===========================

The per-sample Python loop that a patch stands for.

`PatchLoop(patch).run(...)` performs a patch's recorded steps one sample at
a time through vorda's per-sample calls, with Python floats between them:
what `patch.run(...)` computes in C++, written as its users would write it.
The demo renders with it when asked for `--per-sample`, and the tests hold
`Patch.run` to its bits, driving twins of the patch's instances.

Run on its own, it records a plucked string as a patch, prints the calls
one sample of it makes, and runs a copy of the patch both ways: the same
bits, at very different speeds.

    python examples/patch_loop.py [--seconds S]
"""

from __future__ import annotations

import argparse
import copy
import math
import time
import types
from collections.abc import Callable, Mapping
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

import vorda
import vorda_blocks as vb
from _util import summary

Number: TypeAlias = float | int
Given: TypeAlias = float | int | npt.NDArray[Any]


def divide(a: float, b: float) -> float:
    """a / b as IEEE arithmetic has it (a patch does not raise ZeroDivisionError)."""
    if b == 0.0:
        with np.errstate(all="ignore"):
            return float(np.float64(a) / np.float64(b))
    return a / b


ARITHMETIC: dict[str, Callable[..., float]] = {
    "+": lambda a, b: a + b,
    "-": lambda a, b: a - b,
    "*": lambda a, b: a * b,
    "/": divide,
    "neg": lambda a: -a,
    "abs": abs,
    "min": min,
    "max": max,
    "tanh": math.tanh,
}


class PatchLoop:
    """Runs `patch` per sample. `twins` maps id(instance) to the object to call
    instead (by default the patch's own instances are called). The loop keeps
    its own feedback values, starting from the patch's; with
    `update_patch=True` it writes them back after each run, so that the patch
    continues from where the loop stopped."""

    def __init__(
        self, patch: vb.Patch, twins: Mapping[int, object] | None = None, update_patch: bool = False
    ) -> None:
        self.patch = patch
        self.twins = dict(twins or {})
        self.update_patch = update_patch
        self.feedbacks = patch.feedbacks
        self.memory: dict[int, Number] = {f.index: f.value for f in self.feedbacks}

    def _target(self, obj: object) -> Any:
        return self.twins.get(id(obj), obj)

    def run(
        self, n: int | None = None, **given: Given
    ) -> npt.NDArray[Any] | tuple[npt.NDArray[Any], ...] | None:
        patch = self.patch
        inputs = patch.inputs
        if set(given) != set(inputs):
            raise TypeError(f"inputs {sorted(given)} do not match the patch's {sorted(inputs)}")
        lengths = {len(v) for v in given.values() if isinstance(v, np.ndarray)}
        if n is None:
            (n,) = lengths
        steps = patch.steps
        sources = {f.index: f.source for f in self.feedbacks}
        outputs = patch.outputs
        results: dict[str, list[float]] = {name: [] for name in outputs}
        columns = {}
        for name, value in given.items():
            cast: Any = int if inputs[name].count else float
            if isinstance(value, np.ndarray):
                columns[inputs[name].index] = [cast(v) for v in value.tolist()]
            else:
                columns[inputs[name].index] = [cast(value)] * n

        env: dict[int, Number] = {}

        def get(arg: object) -> Number:
            return env[arg.index] if isinstance(arg, vb.Value) else arg  # type: ignore[return-value]

        for i in range(n):
            env.clear()
            env.update(self.memory)
            for index, column in columns.items():
                env[index] = column[i]
            for name, target, args, outcome in steps:
                values = [get(a) for a in args]
                got: Any
                if name in ARITHMETIC:
                    got = (ARITHMETIC[name](*values),)
                elif name == "pan2":
                    got = vorda.pan2(*values)
                elif name == "set":
                    continue  # takes effect after the sample
                else:
                    obj = self._target(target)
                    if isinstance(getattr(type(obj), name), types.GetSetDescriptorType):
                        setattr(obj, name, *values)
                        continue
                    got = getattr(obj, name)(*values)
                    got = got if isinstance(got, tuple) else (got,)
                for produced, result in zip(outcome, got):
                    env[produced.index] = result
            for name, (source, _) in outputs.items():
                results[name].append(get(source))
            self.memory = {index: get(source) for index, source in sources.items()}
        if self.update_patch:
            for f in self.feedbacks:
                f.value = self.memory[f.index]
        arrays = [np.array(results[name], dtype=dtype) for name, (_, dtype) in outputs.items()]
        if not arrays:
            return None
        return arrays[0] if len(arrays) == 1 else tuple(arrays)


def plucked_string(sample_rate: int) -> vb.Patch:
    """A string at 220 Hz: a DelayL loop through a Biquad low-pass."""
    lowpass = (0.0675, 0.135, 0.0675, -1.143, 0.413)  # about 2.6 kHz at 48 kHz
    p = vb.Patch()
    x = p.input("x")
    v = p.feedback()
    fed = p.process(vorda.DelayL(sample_rate, 0.02), v, 0.00454)
    damped = 0.996 * p.process(vorda.Biquad(*lowpass), fed)
    v.set(x + damped)
    p.output("y", p.process(vorda.LeakDc(), damped))
    return p


def describe(steps: tuple[tuple[str, object, tuple[Any, ...], tuple[vb.Value, ...]], ...]) -> list[str]:
    """The steps as lines of Python, values named v0, v1, ... by index."""

    def shown(a: object) -> str:
        return f"v{a.index}" if isinstance(a, vb.Value) else f"{a:.6g}"

    lines = []
    for name, target, args, results in steps:
        shown_args = [shown(a) for a in args]
        if name == "set":
            lines.append(f"{shown(target)}.set({shown_args[0]})")
            continue
        if name in ("+", "-", "*", "/"):
            call = f" {name} ".join(shown_args)
        elif name in ARITHMETIC:
            call = f"{name}({', '.join(shown_args)})"
        else:
            callee = "vorda.pan2" if name == "pan2" else f"{type(target).__name__}.{name}"
            call = f"{callee}({', '.join(shown_args)})"
        lines.append(f"{', '.join(shown(r) for r in results)} = {call}")
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=summary(__doc__))
    parser.add_argument("--seconds", type=float, default=1.0, help="length (default: 1)")
    args = parser.parse_args()
    sample_rate = 48000
    n = max(1, round(args.seconds * sample_rate))
    patch = plucked_string(sample_rate)
    twin = copy.deepcopy(patch)  # the same recording, on instances of its own
    burst = np.zeros(n, np.float32)
    burst[:218] = vb.process(vorda.WhiteNoise(seed=1), n=min(n, 218))

    print("One sample of the patch, as the loop performs it (v0 is the input x, v1 the feedback):")
    for line in describe(patch.steps):
        print("   ", line)

    started = time.perf_counter()
    fast = patch.run(x=burst)
    in_cpp = time.perf_counter() - started
    started = time.perf_counter()
    slow = PatchLoop(twin).run(x=burst)
    in_python = time.perf_counter() - started
    same = isinstance(slow, np.ndarray) and np.array_equal(fast, slow)
    print(f"{n} samples: Patch.run {in_cpp * 1e3:.1f} ms, the Python loop {in_python * 1e3:.0f} ms; "
          f"the same bits: {same}")


if __name__ == "__main__":
    main()
