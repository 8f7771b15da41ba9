"""Data and noise in the library's units: the data mapped onto [0, 1], the noise PSD with it.

The library computes in float32. The host maps the data onto [0, 1] in
float64, so any finite float64 data is usable (also values near the float64
limits, where ``max - min`` itself overflows), and describes the noise in the
same units. The noise level is supported from ``NOISE_RANGE[0]`` to
``NOISE_RANGE[1]`` times the data's range (``max - min``; 1 for constant
data): within it every variance, threshold and weight the library forms
stays a finite, normal float32. Errors name the value the caller passed.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass

import numpy as np

from . import _checks as check
from ._checks import INT_MAX, all_finite, slabs as _slabs

__all__ = [
    "NOISE_RANGE", "Scaling", "data_scaling", "to_unit", "from_unit", "from_unit_as", "all_finite",
    "noise_psd",
]

NOISE_RANGE = (1e-12, 1e12)

_F32_MAX = float(np.finfo(np.float32).max)


@dataclass(frozen=True)
class Scaling:
    """unit = (value / 2 - low / 2) / half; ``half`` is half the data's range."""

    low: float
    half: float

    @property
    def log10_range(self) -> float:
        return math.log10(self.half) + math.log10(2.0)


def data_scaling(z: np.ndarray) -> Scaling:
    """The map of finite data ``z`` onto [0, 1] (constant data: range 1)."""
    lo = float(np.min(z))
    hi = float(np.max(z))
    half = hi * 0.5 - lo * 0.5  # finite even where hi - lo is not
    if not half > 0:
        half = 0.5
    return Scaling(lo, half)


# Slabs of the conversions: their float64 scratch (512 KiB) stays in the caches.
_CONVERT_ELEMENTS = 1 << 16


def _float64_slabs(a: np.ndarray):
    """(index, float64 copy of ``a[index]``) per slab, all copies in one reused
    buffer: each is overwritten by the next."""
    n = max(1, min(int(check.SLAB_ELEMENTS), _CONVERT_ELEMENTS, int(a.size)))
    buf = np.empty(n, dtype=np.float64)
    for idx in _slabs(a.shape, n):
        part = a[idx]
        b = buf[: part.size].reshape(part.shape)
        b[...] = part  # exact in float64, integers included
        yield idx, b


def _from_unit_in_place(b: np.ndarray, s: Scaling) -> None:
    """from_unit's map on a float64 array, in place."""
    with np.errstate(over="ignore"):
        np.multiply(b, s.half, out=b)
        np.add(b, s.low * 0.5, out=b)
        np.multiply(b, 2.0, out=b)
    big = np.finfo(np.float64).max
    np.clip(b, -big, big, out=b)


def to_unit(a: np.ndarray, s: Scaling) -> np.ndarray:
    """``a`` in the library's units, float32, C-ordered.

    Mapped in float64 one slab at a time in one small reused buffer, so the
    only large allocation is the result (fresh pages for every slab's
    temporaries cost more than the arithmetic).
    """
    a = np.asarray(a)
    out = np.empty(a.shape, dtype=np.float32)
    shift = s.low * 0.5
    with np.errstate(over="ignore"):
        for idx, b in _float64_slabs(a):
            np.multiply(b, 0.5, out=b)
            np.subtract(b, shift, out=b)
            np.divide(b, s.half, out=b)
            out[idx] = b
    return out


def from_unit(result: np.ndarray, s: Scaling) -> np.ndarray:
    """A result in the library's units back in the data's units, float64.

    A result a little outside [0, 1] near the float64 limits is held at the
    largest finite value rather than becoming infinite.
    """
    out = np.asarray(result).astype(np.float64)
    _from_unit_in_place(out, s)
    return out


def from_unit_as(result: np.ndarray, s: Scaling, dtype) -> np.ndarray:
    """``from_unit(result, s)`` held at ``dtype``'s finite range and cast to it.

    Slab by slab in one small reused float64 buffer; a float32 result is converted
    in place (``result`` is then the returned array), so no volume-sized
    temporary is made.
    """
    dtype = np.dtype(dtype)
    info = np.finfo(dtype)
    out = result if result.dtype == dtype and result.flags.c_contiguous else np.empty(result.shape, dtype)
    for idx, b in _float64_slabs(result):
        _from_unit_in_place(b, s)
        np.clip(b, float(info.min), float(info.max), out=b)
        out[idx] = b
    return out


def _scientific(log10_value: float) -> str:
    exponent = math.floor(log10_value)
    mantissa = 10 ** (log10_value - exponent)
    if mantissa >= 9.995:
        mantissa, exponent = 1.0, exponent + 1
    return f"{mantissa:.3g}e{exponent:+d}" if abs(exponent) > 4 else f"{10**log10_value:.4g}"


def _check_level(log10_std: float, what: str, s: Scaling) -> None:
    log_ratio = log10_std - s.log10_range
    lo, hi = NOISE_RANGE
    if not math.log10(lo) <= log_ratio <= math.log10(hi):
        raise ValueError(
            f"{what} {_scientific(log_ratio)} times the data's range (max - min = "
            f"{_scientific(s.log10_range)}); the noise level must be {lo:g} .. {hi:g} times "
            "the data's range"
        )


def noise_psd(noise, name: str, psd_shape, ndim: int, s: Scaling) -> np.ndarray:
    """The noise PSD in the library's units (array order, float32).

    ``noise`` is a standard deviation or a PSD array of ``ndim`` axes, any size.
    """
    if isinstance(noise, (str, bytes)):
        raise TypeError(f"{name} must be a number or an array of numbers, got {noise!r}")
    if np.ndim(noise) == 0 and not isinstance(noise, (bool, np.bool_)):
        if not isinstance(noise, (numbers.Real, np.ndarray)):
            raise TypeError(
                f"{name} must be a number or an array of numbers, got {type(noise).__name__}"
            )
        try:
            sigma = float(noise)
        except (TypeError, ValueError, OverflowError):
            raise ValueError(f"{name} must be a finite number > 0, got {noise!r}") from None
        if not math.isfinite(sigma) or sigma <= 0:
            raise ValueError(
                f"{name} as a noise standard deviation must be finite and > 0, got {noise!r}"
            )
        _check_level(math.log10(sigma), f"{name} = {noise!r} is", s)
        ratio = (sigma * 0.5) / s.half
        n = int(np.prod(psd_shape))
        return np.full(psd_shape, ratio * ratio * n, dtype=np.float32)
    psd = check.real_array(name, noise)
    if psd.ndim != ndim:
        raise ValueError(
            f"{name} must be a scalar or a PSD array with {ndim} axes like the data, got "
            f"shape {psd.shape}"
        )
    if psd.size == 0 or psd.size > INT_MAX:
        raise ValueError(f"{name} must have between 1 and 2**31 - 1 points, got shape {psd.shape}")
    check.finite(name, psd)
    psd = psd.astype(np.float64)
    if np.any(psd < 0):
        raise ValueError(f"{name} must be non-negative everywhere (a power spectral density)")
    peak = float(psd.max())
    if not peak > 0:
        raise ValueError(f"{name} must describe noise of positive power (not all zeros)")
    # The noise variance is sum(P) / N**2, formed without overflow.
    log10_var = math.log10(peak) + math.log10(float(np.mean(psd / peak))) - math.log10(psd.size)
    std = _scientific(0.5 * log10_var)
    _check_level(0.5 * log10_var, f"{name} describes noise of std {std}, which is", s)
    f = 0.5 / s.half
    unit = (psd * f) * f
    if float(unit.max()) > _F32_MAX:
        raise ValueError(
            f"{name} peaks at {_scientific(math.log10(peak))}, beyond what float32 holds in the "
            "library's units; the PSD is too concentrated for its level"
        )
    return np.ascontiguousarray(unit, dtype=np.float32)
