"""Argument checks shared by the host modules: one message format, naming the parameter."""

from __future__ import annotations

import math
import numbers

import numpy as np

from ._order import to_library

__all__ = [
    "INT_MAX",
    "boolean",
    "integer",
    "number",
    "per_axis",
    "real_array",
    "finite",
    "channel_axis",
    "thread_setting",
    "memory_limit",
    "float32_setting",
    "MAX_THREADS",
]

INT_MAX = 2**31 - 1


def boolean(name, value) -> bool:
    if isinstance(value, bool) or (isinstance(value, numbers.Integral) and value in (0, 1)):
        return bool(value)
    raise ValueError(f"{name} must be True or False, got {value!r}")


def integer(name, value, lo, hi) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or not lo <= value <= hi:
        raise ValueError(f"{name} must be an integer in {lo} .. {hi}, got {value!r}")
    return int(value)


def number(name, value, minimum, strict=False) -> float:
    ok = isinstance(value, numbers.Real) and not isinstance(value, bool) and math.isfinite(value)
    ok = ok and (value > minimum if strict else value >= minimum)
    if not ok:
        sign = ">" if strict else ">="
        raise ValueError(f"{name} must be a finite number {sign} {minimum}, got {value!r}")
    return float(value)


def per_axis(name, value, ndim, minimum, pad):
    """An array-order setting (one int for every axis, or ``ndim`` ints) in library order."""
    wrong = f"{name} must be an integer or {ndim} integers >= {minimum}, got {value!r}"
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        items = [int(value)] * ndim
    else:
        try:
            items = list(value)
        except TypeError:
            raise ValueError(wrong) from None
        if len(items) != ndim or not all(
            isinstance(v, numbers.Integral) and not isinstance(v, bool) for v in items
        ):
            raise ValueError(wrong)
        items = [int(v) for v in items]
    if any(v < minimum for v in items):
        raise ValueError(wrong)
    if any(v > INT_MAX for v in items):
        raise ValueError(f"{name} components must be below 2**31, got {value!r}")
    return to_library(items, ndim, pad)


def real_array(name, a, allow_none=False):
    """``a`` as an array of an integer or float dtype."""
    if a is None and allow_none:
        return None
    arr = np.asarray(a)
    if arr.dtype.kind not in "iuf":
        raise ValueError(
            f"{name} must hold real numbers (integer or float dtype), got dtype {arr.dtype}"
        )
    return arr


# Element count of one slab of slab-wise passes over volumes: their float64
# temporaries stay a few MiB whatever the volume's size.
SLAB_ELEMENTS = 1 << 20


def slabs(shape, elements=None):
    """Index tuples that cut an array of ``shape`` into slabs along its first axes,
    each of at most ``elements`` (default ``SLAB_ELEMENTS``) elements."""
    if elements is None:
        elements = SLAB_ELEMENTS
    if len(shape) == 0:
        yield ()
        return
    inner = int(np.prod(shape[1:], dtype=np.int64)) if len(shape) > 1 else 1
    if inner > elements and len(shape) > 1:
        for i in range(shape[0]):
            for rest in slabs(shape[1:], elements):
                yield (i,) + rest
        return
    rows = max(1, elements // max(inner, 1))
    for i in range(0, shape[0], rows):
        yield (slice(i, i + rows),)


def all_finite(a: np.ndarray) -> bool:
    """np.all(np.isfinite(a)) without a boolean array of a's size."""
    a = np.asarray(a)
    return all(bool(np.isfinite(a[idx]).all()) for idx in slabs(a.shape))


def finite(name, a) -> None:
    if not all_finite(a):
        raise ValueError(f"{name} must not contain NaN or infinite values")


def channel_axis(axis, ndim) -> int:
    """``axis`` of an array of ``ndim`` axes, as a non-negative index."""
    if isinstance(axis, bool) or not isinstance(axis, numbers.Integral) or not -ndim <= axis < ndim:
        raise ValueError(f"channel_axis must be an integer in [{-ndim}, {ndim - 1}], got {axis!r}")
    return int(axis) % ndim


# The library runs a stage on at most this many threads.
MAX_THREADS = 1024

# float32, the library's number type: the largest finite value and the
# smallest normal one. A positive setting outside this range would become
# infinite or (silently) zero there.
FLOAT32_MAX = float(np.finfo(np.float32).max)
FLOAT32_TINY = float(np.finfo(np.float32).tiny)


def thread_setting(n) -> int:
    if isinstance(n, bool) or not isinstance(n, numbers.Integral) or not 0 <= n <= MAX_THREADS:
        raise ValueError(
            f"num_threads must be an integer in 0 .. {MAX_THREADS} (0: all cores), got {n!r}"
        )
    return int(n)


def memory_limit(limit):
    if limit is not None and (
        isinstance(limit, bool)
        or not isinstance(limit, numbers.Real)
        or not math.isfinite(limit)
        or not limit > 0
    ):
        raise ValueError(
            f"memory_limit must be a positive, finite number of bytes or None, got {limit!r}"
        )
    return limit


def float32_setting(name, value, strict, largest=FLOAT32_MAX) -> float:
    """A number >= 0 (> 0 when ``strict``) that float32 holds: at most ``largest`` and,
    when strictly positive, at least the smallest normal float32."""
    x = number(name, value, 0.0, strict)
    if x > largest or (strict and x < FLOAT32_TINY):
        low = f"{FLOAT32_TINY:.3g}" if strict else "0"
        raise ValueError(
            f"{name} must be a finite number in {low} .. {largest:.3g} (the library computes "
            f"in float32), got {value!r}"
        )
    return x
