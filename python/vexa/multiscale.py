"""Multiscale denoising: a coarser level helps where the noise is strongly low-pass.

Low-pass noise defeats block matching at a single scale: blocks matched at
small offsets carry the same noise, so averaging them removes less than it
seems, and the Wiener stage's pilot (the basic estimate) keeps that noise.
One level down the noise is whiter. The data is padded by mirroring (never
assumed periodic), low-pass filtered with an ideal filter and decimated by 2
along every axis (:func:`decimate`); the coarse noise PSD follows exactly
from the fine one (:func:`coarse_psd`); the coarse level gets a hard stage
of its own, and its estimate, brought back by ideal interpolation
(:func:`upsample`), replaces the low band of the basic estimate in the
Wiener stage's pilot, and the low band of the result where the data is
flat (:func:`run`). The coarse level costs about an eighth of the fine one
on volumes.

``VEXAProfile.multiscale`` chooses it: None turns it on for noise whose PSD
flatness is below ``MULTISCALE_MAX_FLATNESS[ndim]`` (see
:func:`vexa.psd.psd_flatness`), True and False force it. It applies to both
stages run together (``stage="all"``) on data whose every spatial axis holds
at least ``MIN_COARSE_BLOCKS`` blocks at the coarse level
(:func:`big_enough`), and, when chosen automatically, whose arrays fit the
memory (:func:`fits_memory`); elsewhere the single-scale path runs, bit for
bit.
The coarse level takes the caller's profile, resolved for the coarse data
and noise, with the hard-stage values of ``COARSE_HARD`` where they exceed
it.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
from typing import Callable, Optional, Sequence, Tuple

import numpy as np

from .psd import noise_variance, psd_flatness, psd_white

__all__ = [
    "MULTISCALE_MAX_FLATNESS",
    "MIN_COARSE_BLOCKS",
    "PAD",
    "COARSE_HARD",
    "FLAT_ACTIVITY",
    "ACTIVITY_BOXES",
    "big_enough",
    "box_mean",
    "flat_weight",
    "coarse_estimate",
    "multiscale_setting",
    "pad_even",
    "decimate",
    "upsample",
    "low_band",
    "resample_psd",
    "coarse_psd",
    "coarse_shape",
    "run",
]

# Automatic choice: multiscale for noise whose PSD flatness is below these
# values (None: never automatically). Chosen by bench/multiscale.py: a Gaussian
# of std 1 (volumes 0.064, images 0.16) gains 1.1 dB on the T1 crop and 1.7 dB
# on the whole T1 volume, 0.6 dB on camera and 0.04 dB less on astronaut; line
# noise (0.29) gains 0.9 dB on the whole volume, whose background is large,
# for 0.1 dB less on the crop, and loses 0.3 to 0.4 dB on images; CT-like noise
# (0.40) loses 0.5 dB on the crop.
MULTISCALE_MAX_FLATNESS = {3: 0.3, 2: 0.2}
# Every spatial axis of the coarse level must hold this many of its blocks.
MIN_COARSE_BLOCKS = 2
# Mirrored margin around the data before filtering, in fine samples.
PAD = 8
# The coarse level's hard stage, at least: lambda, search radius and group size.
# Its noise is whiter and it costs an eighth of the fine level, so a wider
# search and larger groups pay (+0.15 dB on the Wiener estimate over the
# preset's values, crop with Gaussian low-pass noise).
COARSE_HARD = dict(threshold=3.5, search_radius=5, max_group_size=32)
# The final combination: boxes (widths in samples) of the local activity's
# mean, its RMS and the spread of the flat weight; the activity threshold in
# units of the noise's standard deviation.
ACTIVITY_BOXES = (5, 7, 5)
FLAT_ACTIVITY = 0.5
# The path's own arrays (float64 levels and FFTs of the padded data, beside the
# library's block buffers) at their peak, in bytes per sample of the data: 32
# times a float32 sample on a 96**3 volume (tracemalloc), with a margin.
HOST_BYTES_PER_SAMPLE = 160


def multiscale_setting(value, ndim: int, flatness: Optional[float]) -> bool:
    """The resolved ``multiscale`` of a profile: ``value`` (None, True or False) for noise
    of ``flatness`` (None: white) on data of ``ndim`` spatial axes.

    >>> multiscale_setting(None, 3, 0.06), multiscale_setting(None, 3, None)
    (True, False)
    """
    if value is not None and not isinstance(value, (bool, np.bool_)):
        raise ValueError(f"multiscale must be None (automatic), True or False, got {value!r}")
    if value is not None:
        return bool(value)
    limit = MULTISCALE_MAX_FLATNESS.get(ndim)
    return limit is not None and flatness is not None and flatness < limit


def fits_memory(shape, memory_limit: Optional[float]) -> bool:
    """Whether the path's arrays for data of ``shape`` fit: within ``memory_limit``
    (bytes) when given, else within half the memory available now (the rest is left to
    the library's block buffers, which the automatic plan windows to fit)."""
    from .planning import available_memory

    need = HOST_BYTES_PER_SAMPLE * math.prod(int(n) for n in shape)
    budget = memory_limit if memory_limit is not None else 0.5 * available_memory()
    return need <= budget


def _axes(ndim: int, axes) -> Tuple[int, ...]:
    return tuple(range(ndim)) if axes is None else tuple(sorted(a % ndim for a in axes))


def pad_even(a: np.ndarray, margin: int = PAD, axes=None):
    """``a`` mirrored by ``margin`` samples on both sides of every axis of ``axes`` (all by
    default; one more after, where needed for an even length), and the pads. The mirror
    repeats the edge sample, so no jump appears at the border; a margin beyond an axis'
    length repeats the mirror."""
    axes = _axes(a.ndim, axes)
    pads = tuple(
        (margin, margin + (n + 2 * margin) % 2) if i in axes else (0, 0)
        for i, n in enumerate(a.shape)
    )
    return np.pad(a, pads, mode="symmetric"), pads


def _unpad(a: np.ndarray, pads, shape) -> np.ndarray:
    return a[tuple(slice(p, p + n) for (p, _), n in zip(pads, shape))]


def _bands(coarse: int) -> Tuple[int, int, bool]:
    """(positive frequencies, negative ones, has a Nyquist bin) of a coarse axis."""
    positive = (coarse + 1) // 2
    nyquist = coarse % 2 == 0
    return positive, coarse - positive - int(nyquist), nyquist


def decimate(a: np.ndarray, axes=None) -> np.ndarray:
    """Ideal low-pass filter and decimation by 2 along every axis of ``axes`` (all by
    default; even lengths).

    The coarse sample ``p`` is the low-passed data at fine sample ``2 p``: the
    spectrum is cut to its lower half on every axis, the two fine bins at
    +-1/4 cycle per sample (kept by the filter) folding onto the coarse
    Nyquist bin.
    """
    axes = _axes(a.ndim, axes)
    if any(a.shape[i] % 2 or a.shape[i] < 2 for i in axes):
        raise ValueError(f"decimate needs even lengths of at least 2, got shape {a.shape}")
    spectrum = np.fft.fftn(np.asarray(a, dtype=np.float64), axes=axes)
    for axis in axes:
        n = a.shape[axis]
        c = n // 2
        positive, negative, nyquist = _bands(c)
        parts = [np.take(spectrum, np.arange(positive), axis=axis)]
        if nyquist:
            at = [c // 2, n - c // 2]
            parts.append(np.take(spectrum, at, axis=axis).sum(axis=axis, keepdims=True))
        if negative:
            parts.append(np.take(spectrum, np.arange(n - negative, n), axis=axis))
        spectrum = np.concatenate(parts, axis=axis)
    return np.real(np.fft.ifftn(spectrum, axes=axes)) / 2 ** len(axes)


def upsample(y: np.ndarray, axes=None) -> np.ndarray:
    """Ideal interpolation of ``y`` onto a grid twice as fine along every axis of ``axes``
    (all by default): every second fine sample is a sample of ``y``, and
    ``decimate(upsample(y, axes), axes) == y``."""
    axes = _axes(y.ndim, axes)
    spectrum = np.fft.fftn(np.asarray(y, dtype=np.float64), axes=axes)
    for axis in axes:
        c = y.shape[axis]
        n = 2 * c
        positive, negative, nyquist = _bands(c)
        shape = list(spectrum.shape)
        shape[axis] = n
        out = np.zeros(shape, dtype=complex)

        def put(dst, src, weight=1.0, out=out, axis=axis):
            index = [slice(None)] * y.ndim
            index[axis] = dst
            source = [slice(None)] * y.ndim
            source[axis] = src
            out[tuple(index)] = weight * spectrum[tuple(source)]

        put(slice(0, positive), slice(0, positive))
        if nyquist:
            # the coarse Nyquist bin is shared by the fine bins at +-1/4
            put(slice(c // 2, c // 2 + 1), slice(c // 2, c // 2 + 1), 0.5)
            put(slice(n - c // 2, n - c // 2 + 1), slice(c // 2, c // 2 + 1), 0.5)
        if negative:
            put(slice(n - negative, n), slice(c - negative, c))
        spectrum = out
    return np.real(np.fft.ifftn(spectrum, axes=axes)) * 2 ** len(axes)


def low_band(a: np.ndarray, margin: int = PAD, axes=None) -> np.ndarray:
    """The part of ``a`` below a quarter cycle per sample on every axis of ``axes`` (all by
    default), the data mirror-padded."""
    padded, pads = pad_even(np.asarray(a, dtype=np.float64), margin, axes)
    return _unpad(upsample(decimate(padded, axes), axes), pads, a.shape)


def _along(matrix: np.ndarray, a: np.ndarray, axis: int) -> np.ndarray:
    return np.moveaxis(np.tensordot(matrix, np.moveaxis(a, axis, 0), axes=(1, 0)), 0, axis)


def resample_psd(psd, grid: Sequence[int]) -> np.ndarray:
    """The PSD on another frequency grid (unscaled-DFT convention, see :mod:`vexa.psd`).

    Through the noise's autocorrelation: lags within half the smaller grid
    are kept, the one at exactly half shared between its two ends. Exact when
    the autocorrelation is shorter than that; the variance is kept.
    """
    p = np.asarray(psd, dtype=np.float64)
    grid = tuple(int(g) for g in grid)
    if len(grid) != p.ndim or any(g < 1 for g in grid):
        raise ValueError(f"grid must have {p.ndim} positive lengths, got {grid}")
    lags = np.real(np.fft.ifftn(p)) / p.size
    for axis, (old, new) in enumerate(zip(p.shape, grid)):
        keep = min(old, new)
        m = np.zeros((new, old))
        for lag in range(-(keep // 2), keep // 2 + 1):
            half = keep % 2 == 0 and 2 * abs(lag) == keep
            m[lag % new, lag % old] += 0.5 if half else 1.0
        lags = _along(m, lags, axis)
    return np.maximum(np.real(np.fft.fftn(lags)) * float(np.prod(grid)), 0.0)


def coarse_psd(psd, grid: Sequence[int], axes=None) -> np.ndarray:
    """The PSD, on the coarse frequency ``grid``, of noise of ``psd`` after
    :func:`decimate` along ``axes`` (all by default).

    The fine PSD is taken on a grid twice as fine along those axes; the ideal
    filter keeps the lower half of each, the coarse Nyquist bin taking the
    mean of the two fine bins at +-1/4 (the spectrum's value at the cut-off;
    the one bin of the data's own grid where both fold together is too
    narrow to matter). In the unscaled-DFT convention a coarse bin holds
    ``4**-k`` times its fine bin for ``k`` decimated axes, so white noise of
    variance ``s**2`` becomes white noise of variance ``s**2 / 2**k``.
    """
    grid = tuple(int(g) for g in grid)
    axes = _axes(len(grid), axes)
    fine = resample_psd(psd, [2 * g if i in axes else g for i, g in enumerate(grid)])
    for axis in axes:
        c = grid[axis]
        positive, negative, nyquist = _bands(c)
        m = np.zeros((c, 2 * c))
        m[np.arange(positive), np.arange(positive)] = 1.0
        if nyquist:
            m[c // 2, c // 2] = m[c // 2, 2 * c - c // 2] = 0.5
        if negative:
            m[np.arange(c - negative, c), np.arange(2 * c - negative, 2 * c)] = 1.0
        fine = _along(m, fine, axis)
    return fine / 4 ** len(axes)


def coarse_shape(shape, margin: int = PAD, axes=None) -> Tuple[int, ...]:
    """The shape of the coarse level of data of ``shape``, decimated along ``axes``."""
    axes = _axes(len(shape), axes)
    return tuple(
        (n + 2 * margin + (n + 2 * margin) % 2) // 2 if i in axes else n
        for i, n in enumerate(shape)
    )


def big_enough(resolved, shape) -> bool:
    """Whether data of ``shape`` (array order) is large enough to decimate."""
    block = max(max(resolved.hard.block_size), max(resolved.wiener.block_size))
    return min(shape) // 2 >= MIN_COARSE_BLOCKS * block


def _as_psd(noise, grid) -> np.ndarray:
    if isinstance(noise, numbers.Real) or np.ndim(noise) == 0:
        return psd_white(float(noise), grid)
    return np.asarray(noise, dtype=np.float64)


def box_mean(a: np.ndarray, width: int) -> np.ndarray:
    """The mean of ``a`` over a ``width``-sample box on every axis (odd width), the border
    mirrored."""
    h = width // 2
    out = np.asarray(a, dtype=np.float64)
    for axis, n in enumerate(out.shape):
        if n < 2:
            continue
        pads = [(0, 0)] * out.ndim
        pads[axis] = (h + 1, h)
        c = np.cumsum(np.pad(out, pads, mode="symmetric"), axis=axis)
        upper = np.take(c, np.arange(width, width + n), axis=axis)
        lower = np.take(c, np.arange(0, n), axis=axis)
        out = (upper - lower) / width
    return out


def flat_weight(estimate: np.ndarray, sigma: float) -> np.ndarray:
    """How flat the data is around every sample, 0 .. 1: the share of the neighbourhood
    where the local activity of ``estimate`` (the RMS, over a box of
    ``ACTIVITY_BOXES[1]``, of its deviation from its mean over ``ACTIVITY_BOXES[0]``)
    is below ``FLAT_ACTIVITY`` times the noise's standard deviation ``sigma``."""
    inner, outer, spread = ACTIVITY_BOXES
    detail = estimate - box_mean(estimate, inner)
    activity = np.sqrt(box_mean(detail * detail, outer))
    return box_mean((activity < FLAT_ACTIVITY * sigma).astype(np.float64), spread)


def _coarse_profile(resolved):
    hard = resolved.hard
    radius = tuple(
        max(r, COARSE_HARD["search_radius"]) if b > 1 else r
        for r, b in zip(hard.search_radius, hard.block_size)
    )
    hard = dataclasses.replace(
        hard,
        threshold=max(hard.threshold, COARSE_HARD["threshold"]),
        max_group_size=max(COARSE_HARD["max_group_size"], hard.max_group_size),
        search_radius=radius,
    )
    return dataclasses.replace(resolved, hard=hard, multiscale=False)


def coarse_estimate(z, noise, call, resolve: Callable, run_stages: Callable) -> np.ndarray:
    """The coarse level's basic estimate of ``z``, brought back to z's grid (float64)."""
    padded, pads = pad_even(np.asarray(z, dtype=np.float64))
    small = decimate(padded)
    del padded
    grid = resolve(None, small.shape).psd_shape
    psd_c = coarse_psd(_as_psd(noise, call.resolved.psd_shape), grid)
    resolved_c = _coarse_profile(resolve(psd_flatness(psd_c), small.shape))
    call_c = dataclasses.replace(call, resolved=resolved_c, stage="hard")
    estimate_c = run_stages(small, psd_c, None, None, call_c)
    return _unpad(upsample(estimate_c), pads, z.shape)


def run(z, noise, store, call, resolve: Callable, run_stages: Callable) -> np.ndarray:
    """Both stages on one channel ``z`` with a coarse level: the multiscale path.

    ``noise`` is a standard deviation or a PSD array in z's units, ``call``
    a :class:`vexa.stages.Call` with ``stage="all"``, ``resolve(flatness,
    shape)`` the caller's profile resolved for other noise and data (the
    coarse level), ``run_stages`` the single-scale path. Returns float64 in
    z's units. The steps (docs/design.md, "Multiscale path"):

    1. the fine basic estimate (hard stage);
    2. the coarse level's basic estimate, with ``COARSE_HARD``'s settings
       (at an eighth of the cost, a larger search and larger groups pay);
    3. the Wiener stage with the pilot: the coarse estimate's band plus the
       fine basic estimate above it;
    4. where the data is flat (:func:`flat_weight`), the coarse estimate's
       band plus the Wiener estimate above it; elsewhere the mean of the
       Wiener and the basic estimates, whose errors partly cancel.
    """
    from .matches import MatchStore

    if store is None and call.resolved.reuse_matches:
        store = MatchStore()
    basic = run_stages(z, noise, None, store, dataclasses.replace(call, stage="hard"))
    coarse = coarse_estimate(z, noise, call, resolve, run_stages)
    pilot = coarse + (basic - low_band(basic))
    final = run_stages(z, noise, pilot, store, dataclasses.replace(call, stage="wiener"))
    del pilot
    sigma = math.sqrt(noise_variance(_as_psd(noise, call.resolved.psd_shape)))
    w = flat_weight(basic, sigma)
    flat = coarse + (final - low_band(final))
    return w * flat + (1.0 - w) * (0.5 * (final + basic))
