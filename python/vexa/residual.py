"""The noise estimate refined on the residual of a first denoising pass.

Where no region of the data holds noise alone (a crop inside an organ, a
textured photograph), tiles of the raw data mix structure into the lowest
frequencies of the estimate. The residual of a quick denoising pass (the hard
stage of the ``fast`` preset with the current estimate) holds the noise and
little structure, but lacks the part of the noise the pass left in its
output. That loss is measured by the same pass on synthetic noise of the
current estimate added to the pass's output, and divided out per frequency:

    P_new = P_residual / T,   T = P(residual of synthetic noise) / P(synthetic noise)

Where the pass keeps nearly all the noise (the zero frequency of strongly
low-pass noise: blocks share it), the residual cannot tell its power; there
the zero frequency is set so that the autocovariance vanishes at the largest
lags, as it does for noise correlated over fewer samples than the lag range.

The passes run on one block of the data (64**3 samples on large volumes,
48**3 on smaller ones, 256**2 on images, where the raw tiles are flattest),
which keeps their cost to a tenth of denoising the data or less.
"""

from __future__ import annotations

import numpy as np

__all__ = ["refine"]

# Block of the refining passes, in tiles per axis: on data holding at least
# _BLOCKS_IN_DATA such blocks, else the smaller one (a 96**3 volume: 48**3), which
# keeps the passes' cost to a tenth of denoising while the PSNR stays within
# 0.05 dB of the larger block's (bench/estimate_cost.py).
_BLOCK_TILES = {2: (8, 8), 3: (4, 3)}
_BLOCKS_IN_DATA = 8
# Least share of the noise the residual is taken to keep per frequency: where the
# pass removes more (the lowest frequencies of strongly low-pass noise), the
# estimate comes out low.
_MIN_TRANSFER = 0.2
_SEED = 20240612


def refine(x, cov, lags, tile, grid, iterations=2):
    """The autocovariance ``cov`` (lags -L..L) refined on denoising residuals of ``x``."""
    from . import estimation as est

    # the passes see the block at unit noise level and zero median, so that their float32
    # hard decisions do not depend on the data's units
    z = x[_flattest_block(x, tile)]
    unit = float(np.sqrt(cov.flat[cov.size // 2]))
    if not unit > 0:
        unit = 1.0
    z = (z - float(np.median(z))) / unit
    cov = cov / unit**2
    white = _white_spectrum(z.shape)
    for _ in range(iterations):
        psd = est._psd_from_autocovariance(cov, lags, grid)
        y = _pass(z, psd)
        tiles, _ = est._tiles(z - y, tile, None)
        residual, keep, plane = est._tile_estimate(tiles, None, lags, robust_start=True, detail=True)
        noise = _synthesise(z.shape, cov, lags, white)
        y_noise = _pass(y + noise, psd)
        # the loss is measured on the tiles the residual was measured on, where the
        # pass met the same signal
        made = _spectrum(_cov_on(noise, tile, lags, keep, plane), lags, grid)
        kept = _spectrum(_cov_on(y + noise - y_noise, tile, lags, keep, plane), lags, grid)
        transfer = kept / np.maximum(made, 1e-9 * made.mean())
        refined = _spectrum(residual, lags, grid) / np.clip(transfer, _MIN_TRANSFER, 1.0)
        if not transfer.flat[0] >= _MIN_TRANSFER:
            refined.flat[0] = _zero_at_the_edge(refined, lags, grid)
        cov = _lags_of(refined, lags, grid)
    return cov * unit**2


def _cov_on(x, tile, lags, keep, plane):
    """Autocovariance of ``x`` over the tiles ``keep``, their trends (planes or means) removed."""
    from . import estimation as est

    tiles, _ = est._tiles(x, tile, None)
    return est._autocovariance(tiles[keep], None, lags, plane)


def _zero_at_the_edge(psd, lags, grid):
    """The zero-frequency value of ``psd`` that makes its autocovariance vanish (in the median)
    at the largest lags: the pass keeps nearly all noise there, so the residual cannot tell."""
    cov = np.real(np.fft.ifftn(psd))
    dist = np.indices(grid)
    edge = np.zeros(grid, bool)
    for axis, (lag, n) in enumerate(zip(lags, grid)):
        if lag > 0:
            k = np.minimum(dist[axis], n - dist[axis])
            edge |= k >= lag
    if not edge.any():
        return psd.flat[0]
    return psd.flat[0] - float(np.median(cov[edge])) * psd.size


def _pass(z, psd):
    from .api import vexa
    from .profiles import VEXAProfile

    profile = VEXAProfile(preset="fast", adapt_to_noise=False)
    out = vexa(z.astype(np.float32), psd, profile, stage="hard", progress=False)
    return out.astype(np.float64)


def _spectrum(cov, lags, grid):
    """The PSD-convention spectrum of an autocovariance, unfloored (float64)."""
    folded = np.zeros(grid)
    index = np.ix_(*[np.arange(-lag, lag + 1) % n for lag, n in zip(lags, grid)])
    np.add.at(folded, index, cov)
    return np.real(np.fft.fftn(folded)) * folded.size


def _lags_of(psd, lags, grid):
    """Autocovariance at lags -L..L of a spectrum on the grid (inverse of _spectrum; a lag
    of half the grid, which both signs fold onto, is shared between them)."""
    cov_grid = np.real(np.fft.ifftn(psd)) / psd.size
    index = np.ix_(*[np.arange(-lag, lag + 1) % n for lag, n in zip(lags, grid)])
    cov = cov_grid[index].copy()
    for axis, (lag, n) in enumerate(zip(lags, grid)):
        if lag > 0 and 2 * lag == n:
            edge = [slice(None)] * cov.ndim
            edge[axis] = [0, -1]
            cov[tuple(edge)] *= 0.5
    return cov


def _white_spectrum(shape):
    """The spectrum (rfftn) of the refinement's fixed white noise on ``shape``."""
    key = tuple(shape)
    spectrum = _WHITE.get(key)
    if spectrum is None:
        spectrum = np.fft.rfftn(np.random.default_rng(_SEED).standard_normal(key))
        spectrum.flags.writeable = False
        _WHITE.clear()  # one shape kept: the block of the data being estimated
        _WHITE[key] = spectrum
    return spectrum


_WHITE = {}


def _synthesise(shape, cov, lags, white):
    """Stationary Gaussian noise of autocovariance ``cov`` (circular on ``shape``), shaped from
    the white noise spectrum ``white`` (rfftn of unit white noise on ``shape``)."""
    a = np.zeros(shape)
    index = np.ix_(*[np.arange(-lag, lag + 1) % n for lag, n in zip(lags, shape)])
    np.add.at(a, index, cov)
    axes = tuple(range(len(shape)))
    spectrum = np.maximum(np.real(np.fft.rfftn(a, axes=axes)), 0.0)
    return np.fft.irfftn(white * np.sqrt(spectrum), s=shape, axes=axes)


def _flattest_block(x, tile):
    """Slices of the block of tiles holding the most low-variance tiles."""
    from . import estimation as est

    counts = [s // t for s, t in zip(x.shape, tile)]
    large, small = _BLOCK_TILES[x.ndim]
    edge = large if large**x.ndim * _BLOCKS_IN_DATA <= np.prod(counts) else small
    k = [min(c, edge) for c in counts]
    tiles, weights = est._tiles(x, tile, None)
    var, _ = est._tile_variances(tiles, weights)
    low = (var <= np.quantile(var, 0.25)).astype(np.float64).reshape(counts)
    # sums over every window of k tiles per axis
    sums = low
    for axis, kk in enumerate(k):
        pad = [(1, 0) if a == axis else (0, 0) for a in range(x.ndim)]
        c = np.cumsum(np.pad(sums, pad), axis=axis)
        n = sums.shape[axis] - kk + 1
        sums = np.take(c, np.arange(kk, kk + n), axis=axis) - np.take(c, np.arange(n), axis=axis)
    start = np.unravel_index(int(np.argmax(sums)), sums.shape)
    return tuple(slice(s * t, (s + kk) * t) for s, kk, t in zip(start, k, tile))
