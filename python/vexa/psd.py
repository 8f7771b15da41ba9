"""Noise power spectral densities in the library's convention, and a sigma estimate.

Convention: unscaled DFT, so white noise of variance sigma**2 has the constant
PSD sigma**2 * (number of PSD points), and the noise variance of a PSD P on a
grid of N points is sum(P) / N**2. Arrays are in NumPy axis order.
"""

from __future__ import annotations

import numbers

import numpy as np

from . import _checks as check

__all__ = ["psd_white", "psd_from_kernel", "estimate_sigma", "noise_variance", "psd_flatness"]

# Median absolute deviation of a standard normal variable.
_MAD_TO_SIGMA = 0.6744897501960817


def _check_shape(shape, name="shape"):
    if isinstance(shape, numbers.Integral):
        shape = (int(shape),)
    try:
        shape = tuple(int(s) for s in shape)
    except TypeError:
        raise ValueError(f"{name} must be a sequence of positive integers, got {shape!r}") from None
    if not shape or any(s < 1 for s in shape):
        raise ValueError(f"{name} must be a sequence of positive integers, got {shape!r}")
    return shape


def psd_white(sigma: float, shape) -> np.ndarray:
    """PSD of white noise with standard deviation ``sigma`` on a grid of ``shape``."""
    shape = _check_shape(shape)
    if not isinstance(sigma, numbers.Real) or not np.isfinite(sigma) or sigma < 0:
        raise ValueError(f"sigma must be a finite number >= 0, got {sigma!r}")
    n = int(np.prod(shape))
    return np.full(shape, float(sigma) ** 2 * n, dtype=np.float32)


def psd_from_kernel(kernel, shape, sigma: float = 1.0) -> np.ndarray:
    """PSD of white noise of std ``sigma`` convolved with ``kernel``, on a grid of ``shape``.

    The kernel has one axis per grid axis. A kernel longer than the grid is
    folded (wrapped) onto it, which samples its spectrum exactly at the grid
    frequencies; its placement does not matter, only the magnitude of the
    spectrum enters.
    """
    shape = _check_shape(shape)
    k = np.asarray(kernel, dtype=np.float64)
    if k.ndim != len(shape):
        raise ValueError(
            f"kernel must have {len(shape)} axes to match shape {shape}, got {k.ndim} axes"
        )
    if k.size == 0 or not np.all(np.isfinite(k)):
        raise ValueError("kernel must be a non-empty array of finite values")
    if not isinstance(sigma, numbers.Real) or not np.isfinite(sigma) or sigma < 0:
        raise ValueError(f"sigma must be a finite number >= 0, got {sigma!r}")
    folded = np.zeros(shape)
    index = np.ix_(*[np.arange(n) % s for n, s in zip(k.shape, shape)])
    np.add.at(folded, index, k)
    spectrum = np.abs(np.fft.fftn(folded)) ** 2
    return (spectrum * (float(sigma) ** 2 * folded.size)).astype(np.float32)


def noise_variance(psd) -> float:
    """Variance of the noise a PSD describes (sum of the PSD over N**2)."""
    p = np.asarray(psd, dtype=np.float64)
    return float(p.sum() / float(p.size) ** 2)


def psd_flatness(psd) -> float:
    """How evenly a PSD spreads the noise power over the frequencies.

    ``mean(P)**2 / mean(P**2)``: 1 for white noise, about ``1/k`` when the
    power sits evenly on a k-th of the frequencies; independent of the noise
    level and, for a PSD sampled finely enough, of the grid size. Noise
    filtered by a Gaussian of std 1 sample along every axis gives 0.16 on
    images and 0.064 on volumes; noise averaged over 5 samples along one
    axis gives 25/85 = 0.29.
    """
    p = np.asarray(psd, dtype=np.float64)
    if p.size == 0 or not np.all(np.isfinite(p)) or np.any(p < 0):
        raise ValueError("psd must be a non-empty array of finite values >= 0")
    peak = float(p.max())
    if not peak > 0:
        raise ValueError("psd must not be zero everywhere")
    p = p / peak  # keeps the squares finite for any scale
    mean_square = float(np.mean(p * p))
    return float(np.mean(p)) ** 2 / mean_square


def _finest_detail(a: np.ndarray) -> np.ndarray:
    # High-pass orthonormal Haar step along every axis longer than one sample.
    d = a
    for axis in range(a.ndim):
        n = d.shape[axis]
        if n < 2:
            continue
        even = np.take(d, np.arange(0, n - 1, 2), axis=axis)
        odd = np.take(d, np.arange(1, n, 2), axis=axis)
        d = (even - odd) / np.sqrt(2.0)
    return d


def estimate_sigma(image, average_sigmas: bool = False, *, channel_axis=None):
    """Robust estimate of the standard deviation of white Gaussian noise.

    The median absolute value of the finest-scale detail coefficients (the
    all-high-pass orthonormal Haar band) divided by 0.6745. Correlated noise
    is underestimated: its power lies mostly below the finest scale.

    Parameters
    ----------
    image : array_like
        Data of any number of axes (at least one of 2 or more samples).
    average_sigmas : bool
        With ``channel_axis``, return the mean of the channels' estimates.
    channel_axis : int, optional
        The axis holding channels, each estimated on its own.

    Returns
    -------
    float or list of float
        The estimate; with ``channel_axis`` a list of one per channel, or
        their mean when ``average_sigmas`` is true.

    Examples
    --------
    >>> rng = np.random.default_rng(0)
    >>> round(estimate_sigma(0.5 * rng.standard_normal((64, 64))), 1)
    0.5
    >>> noise = rng.standard_normal((64, 64, 2)) * [1.0, 3.0]
    >>> [round(s) for s in estimate_sigma(noise, channel_axis=-1)]
    [1, 3]
    >>> round(estimate_sigma(noise, True, channel_axis=-1))
    2
    """
    a = np.asarray(image)
    if a.dtype.kind not in "biuf":
        raise ValueError(f"image must hold real numbers, got dtype {a.dtype}")
    average = check.boolean("average_sigmas", average_sigmas)
    if channel_axis is not None:
        axis = check.channel_axis(channel_axis, a.ndim)
        sigmas = [estimate_sigma(np.take(a, c, axis=axis)) for c in range(a.shape[axis])]
        return float(np.mean(sigmas)) if average else sigmas
    a = a.astype(np.float64)
    if a.ndim < 1 or a.size < 2 or all(n < 2 for n in a.shape):
        raise ValueError(f"image must have an axis of at least 2 samples, got shape {a.shape}")
    if not np.all(np.isfinite(a)):
        raise ValueError("image must not contain NaN or infinite values")
    detail = _finest_detail(a)
    return float(np.median(np.abs(detail)) / _MAD_TO_SIGMA)

