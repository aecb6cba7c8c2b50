"""
The loop a patch stands for
===========================

The per-sample Python loop that a patch stands for.

`PatchLoop(patch).run(...)` performs a patch's recorded steps one sample at
a time through vorda's per-sample calls, with Python floats between them:
what `patch.run(...)` computes in C++, written as its users would write it.
The demo renders with it when asked for `--per-sample`, and the tests hold
`Patch.run` to its bits, driving twins of the patch's instances.
"""

from __future__ import annotations

import math
import types
from collections.abc import Callable, Mapping
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

import vorda
import vorda_blocks as vb

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
