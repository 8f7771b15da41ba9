"""The noise PSD estimated from the noisy data itself.

Method, in two steps.

1. Tiles. The data is cut into tiles of a few times the correlation length;
   each tile's trend (its mean, or a plane where that lowers the variance
   clearly) is removed and its variance measured. Tiles of flat signal hold
   noise only, and their variances scatter around the noise variance by a
   known relative amount; tiles holding structure have larger variances. A
   robust, iterated selection keeps the tiles whose variance is consistent
   with the noise level (the tiles of ``mask`` when given). The
   autocovariance of the kept tiles at small lags (products summed over all
   pairs of samples and divided by their number) is corrected for the
   removed trends and folded onto the PSD grid, whose DFT is the PSD: this
   samples the noise spectrum at the grid frequencies, the same convention
   as ``psd_from_kernel``.
2. Residuals (without ``mask``). Where no tile holds noise alone, structure
   leaks into the lowest frequencies of step 1; the estimate is refined
   twice on the residual of a quick denoising pass, with the pass's own
   loss of noise measured on synthetic noise and divided out, and the zero
   frequency, which the pass keeps, taken from the largest lags (residual.py).

Tiles without a mask are full: their lag pairs are counted directly and their
trends projected out one by one (mean and ramps are orthogonal on a full
tile); masked tiles take the weighted least-squares path.

The lag range is half the grid per axis, capped at 4 samples on volumes and 8
on images (tiles of 16 and 32 samples), which covers the correlation of noise
filtered by kernels of up to 9 taps; longer correlations come out smoothed.
Small data gets smaller tiles and lags.
"""

from __future__ import annotations

import numbers

import numpy as np

from . import _checks as check
from .psd import _check_shape

__all__ = ["estimate_psd", "default_psd_shape"]

# Largest lag (per axis) of the autocovariance estimate and the tile edge, by
# spatial dimensionality. Tiles 4x the lag range keep the correction for the
# removed tile means small (below 30 % of the DC power).
_LAG_CAP = {2: 8, 3: 4}
_TILE_PER_LAG = 4
_MIN_TILE = {2: 16, 3: 8}
# Fewest tiles before the tiles (and lags) shrink.
_MIN_TILES = 16
# Tiles used at most for the autocovariance (evenly spread over the kept ones).
_MAX_TILES = 3000
# Kept tiles: variance below the reference times (1 + _ACCEPT * relative spread).
_ACCEPT = 3.0
# Planes are removed from the tiles when that lowers the noise variance below this share.
_PLANE_GAIN = 0.95
# Floor of the estimate, relative to its mean (estimation noise can dip below 0).
_FLOOR = 1e-3


def default_psd_shape(ndim: int) -> tuple:
    """The default profile's PSD grid in array order: (8, 8, 8) for volumes, (32, 32) for images."""
    from .presets import preset_values

    if ndim not in (2, 3):
        raise ValueError(f"data must have 2 or 3 spatial axes, got {ndim}")
    size = preset_values("default", ndim)["psd_resample_size"]
    if isinstance(size, numbers.Integral):
        return (int(size),) * ndim
    return tuple(int(s) for s in size)


def estimate_psd(image, shape=None, *, mask=None, channel_axis=None):
    """Estimates the PSD of stationary noise from a noisy 2-D image or 3-D volume.

    Parameters
    ----------
    image : array_like
        Noisy data, 2 or 3 spatial axes (plus ``channel_axis``).
    shape : sequence of int, optional
        The PSD grid in array order, one entry per spatial axis. Default: the
        default profile's grid, (8, 8, 8) for volumes and (32, 32) for images.
    mask : array_like of bool, optional
        True where the data holds noise only (a background); only tiles mostly
        inside it are used. Without it, tiles of flat signal are found
        automatically and the estimate is refined on the residual of quick
        denoising passes over one block of the data (64**3 samples on large
        volumes, 48**3 on smaller ones, 256**2 on images): a few per cent of
        the time of denoising a large volume, about a tenth of it on a 96**3
        one or an image.
    channel_axis : int, optional
        Axis holding channels; each channel gets its own estimate.

    Returns
    -------
    numpy.ndarray or list of numpy.ndarray
        The PSD in the library's convention (unscaled DFT: white noise of
        variance s**2 is the constant s**2 * N on a grid of N points), float32;
        with ``channel_axis`` one PSD per channel.

    Notes
    -----
    Accuracy (bench/README.md, bench/estimate_cost.py): on noise-only data the
    total power is within 5 % and the mean absolute error over the grid 5-12 %
    of the mean power; on an MRI crop and two photographs with white,
    low-pass, line and CT-like noise the denoising result is within 0.2 dB of
    the true PSD's.
    The result is deterministic for a given number of threads.
    """
    a = np.asarray(image)
    if a.dtype.kind not in "biuf":
        raise ValueError(f"image must hold real numbers, got dtype {a.dtype}")
    m = None
    if mask is not None:
        m = np.asarray(mask)
        if m.dtype.kind not in "biu":
            raise ValueError(f"mask must be a boolean array, got dtype {m.dtype}")
        if m.shape != a.shape:
            raise ValueError(f"mask must have the image's shape {a.shape}, got {m.shape}")
        m = m.astype(bool)
    if channel_axis is not None:
        axis = check.channel_axis(channel_axis, a.ndim)
        return [
            estimate_psd(
                np.take(a, c, axis=axis),
                shape,
                mask=None if m is None else np.take(m, c, axis=axis),
            )
            for c in range(a.shape[axis])
        ]
    if a.ndim not in (2, 3):
        raise ValueError(
            f"image must have 2 or 3 spatial axes (plus channel_axis), got shape {a.shape}"
        )
    grid = default_psd_shape(a.ndim) if shape is None else _check_shape(shape)
    if len(grid) != a.ndim:
        raise ValueError(f"shape must have {a.ndim} entries like the image, got {grid}")
    x = a.astype(np.float64)
    if not np.all(np.isfinite(x)):
        raise ValueError("image must not contain NaN or infinite values")
    lags, tile = _geometry(grid, x.shape, a.ndim)
    tiles, weights = _tiles(x, tile, m)
    if tiles.shape[0] == 0:
        raise ValueError("mask must cover at least half of one tile of "
                         f"{tile} samples; it holds too few noise samples")
    cov = _tile_estimate(tiles, weights, lags, robust_start=m is None)
    del tiles, weights  # a copy of the data: not held through the refinement
    if m is None:
        from . import residual

        cov = residual.refine(x, cov, lags, tile, grid)
    return _psd_from_autocovariance(cov, lags, grid)


def _tile_estimate(tiles, weights, lags, robust_start, detail=False):
    """Autocovariance from the tiles whose variance is consistent with noise only
    (with ``detail``: also the indices of those tiles and whether planes were removed)."""
    found = []
    for plane in (False, True):
        keep = _select(tiles, weights, lags, robust_start=robust_start, plane=plane)
        found.append((_autocovariance(tiles[keep], _subset(weights, keep), lags, plane), keep, plane))
    # Ramps of the signal across tiles (gradients, shading) inflate the low
    # frequencies of the mean-removed estimate; removing planes costs a larger,
    # noisier correction, so it is taken only when it lowers the variance clearly.
    centre = found[0][0].size // 2
    best = found[1] if found[1][0].flat[centre] < _PLANE_GAIN * found[0][0].flat[centre] else found[0]
    return best if detail else best[0]


# --------------------------------------------------------------------------- tiles


def _geometry(grid, shape, ndim):
    """(lag range, tile edge) per axis. Small data gets smaller tiles (and lags), down to
    _MIN_TILES tiles, so that some of them can miss the structure."""
    cap = _LAG_CAP[ndim]
    while True:
        lags = tuple(max(0, min(n // 2, cap, (s - 1) // 2)) for n, s in zip(grid, shape))
        tile = tuple(
            min(s, max(_TILE_PER_LAG * lag, _MIN_TILE[ndim] * cap // _LAG_CAP[ndim]))
            for lag, s in zip(lags, shape)
        )
        count = int(np.prod([s // t for s, t in zip(shape, tile)]))
        if count >= _MIN_TILES or cap <= 1:
            return lags, tile
        cap -= 1


def _tiles(x, tile, mask):
    """Non-overlapping tiles (T, *tile) of x and their weights (1 where usable, else 0;
    None without a mask: every sample counts)."""
    counts = [s // t for s, t in zip(x.shape, tile)]
    cut = tuple(slice(0, c * t) for c, t in zip(counts, tile))

    def split(a):
        shape = []
        for c, t in zip(counts, tile):
            shape += [c, t]
        b = a[cut].reshape(shape)
        d = a.ndim
        order = list(range(0, 2 * d, 2)) + list(range(1, 2 * d, 2))
        return b.transpose(order).reshape((-1,) + tuple(tile))

    tiles = split(x)
    if mask is None:
        return tiles, None
    weights = split(mask).astype(np.float64)
    cover = weights.reshape(len(weights), -1).mean(axis=1)
    use = cover >= 0.5
    return tiles[use], weights[use]


def _ramp(t, axis, d):
    """The centred linear ramp along ``axis`` of a tile, shaped to broadcast over (T, *tile)."""
    ramp = np.arange(t, dtype=np.float64) - (t - 1) / 2.0
    shape = [1] * (d + 1)
    shape[axis + 1] = t
    return ramp.reshape(shape)


def _basis(tile, plane):
    """The trend each tile loses: its mean, and with ``plane`` a linear ramp per axis."""
    d = len(tile)
    out = [np.ones(tile)]
    if plane:
        out += [np.broadcast_to(_ramp(t, a, d)[0], tile) for a, t in enumerate(tile)]
    return np.stack(out)


def _detrended(tiles, weights, plane):
    """(tiles less their weighted least-squares trend, times the weights; samples per tile)."""
    d = tiles.ndim - 1
    axes = tuple(range(1, d + 1))
    if weights is None:
        # on full tiles the mean and the ramps are orthogonal: one projection each
        n = np.full(len(tiles), float(np.prod(tiles.shape[1:])))
        c = tiles - tiles.mean(axis=axes, keepdims=True)
        if plane:
            for axis, t in enumerate(tiles.shape[1:]):
                ramp = _ramp(t, axis, d)
                coef = (c * ramp).sum(axis=axes, keepdims=True) / (float((ramp * ramp).sum()) * n[0] / t)
                c -= coef * ramp
        return c, n
    n = weights.sum(axis=axes)
    if not plane:
        mean = (tiles * weights).sum(axis=axes) / n
        return (tiles - mean.reshape((-1,) + (1,) * d)) * weights, n
    b = _basis(tiles.shape[1:], True).reshape(d + 1, -1)
    t = tiles.reshape(len(tiles), -1)
    w = weights.reshape(len(tiles), -1)
    gram = np.einsum("ip,tp,jp->tij", b, w, b)
    gram += 1e-9 * np.eye(d + 1) * gram.max(axis=(1, 2), keepdims=True)
    rhs = np.einsum("ip,tp->ti", b, w * t)
    coef = np.linalg.solve(gram, rhs[..., None])[..., 0]
    return ((t - coef @ b) * w).reshape(tiles.shape), n


def _tile_variances(tiles, weights, plane=False, chunk=512):
    """Variance of each tile about its trend, and its sample count."""
    axes = tuple(range(1, tiles.ndim))
    var, count = [], []
    for start in range(0, len(tiles), chunk):
        w = None if weights is None else weights[start : start + chunk]
        centred, n = _detrended(tiles[start : start + chunk], w, plane)
        flat = centred.reshape(len(centred), -1)
        var.append(np.einsum("tp,tp->t", flat, flat) / n)
        count.append(n)
    return np.concatenate(var), np.concatenate(count)


def _subset(weights, index):
    return None if weights is None else weights[index]


def _select(tiles, weights, lags, robust_start=True, plane=False):
    """Indices of the tiles whose variance is consistent with noise only."""
    var, n = _tile_variances(tiles, weights, plane)
    scale = float(np.max(var)) if var.size else 0.0
    # constant (clipped) tiles hold no noise
    alive = np.flatnonzero(var > 1e-12 * max(scale, 1e-300))
    if alive.size == 0:
        raise ValueError("image has no noise to estimate: every tile is constant")
    v = var[alive]
    if alive.size <= 4:
        return alive
    order = np.argsort(v)
    if robust_start:
        # the lowest tenth (at least 4 tiles) anchors the noise level
        low = order[: max(4, alive.size // 10)]
    else:
        low = order
    ref = float(np.median(v[low]))
    picked = alive[low]
    spread = _relative_spread(tiles[picked], _subset(weights, picked), lags, float(np.mean(n)), plane)
    keep = v <= ref * (1.0 + _ACCEPT * spread)
    for _ in range(4):
        ref_new = float(np.median(v[keep]))
        keep_new = v <= ref_new * (1.0 + _ACCEPT * spread)
        if np.array_equal(keep_new, keep):
            break
        keep = keep_new
    chosen = alive[keep]
    if chosen.size > _MAX_TILES:
        chosen = chosen[np.linspace(0, chosen.size - 1, _MAX_TILES).astype(int)]
    return chosen


def _relative_spread(tiles, weights, lags, samples, plane):
    """Relative std of a noise-only tile's variance: sqrt(2 * sum(rho**2) / samples)."""
    cov = _autocovariance(tiles, weights, lags, plane)
    if not cov.flat[cov.size // 2] > 0:
        return 0.5
    rho = cov / cov.flat[cov.size // 2]
    return float(np.sqrt(2.0 * np.sum(rho * rho) / max(samples, 1.0)))


# --------------------------------------------------------------------------- autocovariance


def _autocovariance(tiles, weights, lags, plane=False, chunk=256):
    """Autocovariance at lags -L..L per axis, averaged over tiles, corrected for the tile means.

    Each tile's mean is removed over its weighted samples; the products at each
    lag are summed over all tiles and divided by the number of pairs. Removing
    the mean lowers every lag's expectation by about sum(R) / n (n samples per
    tile), removing a plane by about (1 + ndim) * sum(R) / n; the correction
    solves for that shift.
    """
    d = tiles.ndim - 1
    axes = tuple(range(1, d + 1))
    size = tuple(t + lag for t, lag in zip(tiles.shape[1:], lags))
    products = 0.0
    pairs = 0.0
    inv_n = 0.0
    for start in range(0, len(tiles), chunk):
        t = tiles[start : start + chunk]
        w = _subset(weights, slice(start, start + chunk))
        c, n = _detrended(t, w, plane)
        f = np.fft.rfftn(c, s=size, axes=axes)
        products = products + (f.real**2 + f.imag**2).sum(axis=0)
        if w is not None:
            g = np.fft.rfftn(w, s=size, axes=axes)
            pairs = pairs + (g.real**2 + g.imag**2).sum(axis=0)
        inv_n += float(np.sum(1.0 / n))
    raw = np.fft.irfftn(products, s=size, axes=tuple(range(d)))
    # lags -L..L per axis, centred
    index = np.ix_(*[np.arange(-lag, lag + 1) % s for lag, s in zip(lags, size)])
    raw = raw[index]
    if weights is None:
        # full tiles: (t - |k|) pairs per axis at lag k, in every tile
        count = float(len(tiles))
        for t, lag in zip(tiles.shape[1:], lags):
            count = np.multiply.outer(count, t - np.abs(np.arange(-lag, lag + 1)))
    else:
        count = np.fft.irfftn(pairs, s=size, axes=tuple(range(d)))
        count = np.maximum(np.rint(count[index]), 1.0)
    cov = raw / count
    cov = 0.5 * (cov + cov[tuple(slice(None, None, -1) for _ in range(d))])  # R(k) = R(-k)
    c = (1 + (d if plane else 0)) * inv_n / max(len(tiles), 1)
    n_lags = cov.size
    if c * n_lags < 0.9:
        cov = cov + c * float(cov.sum()) / (1.0 - c * n_lags)
    return cov


def _psd_from_autocovariance(cov, lags, grid):
    """Folds the autocovariance onto the grid and takes its DFT (times the grid's point count)."""
    folded = np.zeros(grid)
    index = np.ix_(*[np.arange(-lag, lag + 1) % n for lag, n in zip(lags, grid)])
    np.add.at(folded, index, cov)
    psd = np.real(np.fft.fftn(folded)) * folded.size
    mean = float(psd.mean())
    if not mean > 0:
        raise ValueError("image has no noise to estimate: the estimated noise power is zero")
    return np.maximum(psd, _FLOOR * mean).astype(np.float32)
