"""The noise estimate refined on the residual of a first denoising pass.

Where no region of the data holds noise alone (a crop inside an organ, a
textured photograph), tiles of the raw data mix structure into the lowest
frequencies of the estimate. The residual of a quick denoising pass (the hard
stage of the ``fast`` preset with the current estimate) holds the noise and
little structure, but lacks the part of the noise the pass left in its
output. That loss is measured by the same pass on synthetic noise of the
current estimate added to the pass's output, and divided out per frequency:

    P_new = P_residual / T,   T = P(residual of synthetic noise) / P(synthetic noise)

The passes run on one block of the data (at most 64**3 samples on volumes and
256**2 on images, where the raw tiles are flattest), which keeps their cost
to a few per cent of denoising the whole data.
"""

from __future__ import annotations

import numpy as np

__all__ = ["refine"]

# Block of the refining passes, in tiles per axis.
_BLOCK_TILES = {2: 8, 3: 4}
# Least share of the noise the residual is taken to keep per frequency: where the
# pass removes more (the lowest frequencies of strongly low-pass noise), the
# estimate comes out low.
_MIN_TRANSFER = 0.2
_SEED = 20240612


def refine(x, cov, lags, tile, grid, iterations=2):
    """The autocovariance ``cov`` (lags -L..L) refined on denoising residuals of ``x``."""
    from . import estimation as est

    z = x[_flattest_block(x, tile)]
    white = _white_spectrum(z.shape)
    for _ in range(iterations):
        psd = est._psd_from_autocovariance(cov, lags, grid)
        y = _pass(z, psd)
        tiles, _ = est._tiles(z - y, tile, None)
        residual, keep, plane = est._tile_estimate(tiles, None, lags, robust_start=True, detail=True)
        noise = _synthesise(z.shape, cov, lags, white)
        y_noise = _pass(y + noise, psd)
        if _SHARED:
            made = _cov_on(noise, tile, lags, keep, plane)
            kept = _cov_on(y + noise - y_noise, tile, lags, keep, plane)
        else:
            made = _tiles_cov(noise, lags, tile, robust=False)
            kept = _tiles_cov(y + noise - y_noise, lags, tile, robust=False)
        p_made = _spectrum(made, lags, grid)
        transfer = _spectrum(kept, lags, grid) / np.maximum(p_made, 1e-9 * p_made.mean())
        refined = _spectrum(residual, lags, grid) / np.clip(transfer, _MIN_TRANSFER, 1.0)
        if _DC_FIX and not transfer.flat[0] >= _MIN_TRANSFER:
            refined.flat[0] = _zero_at_the_edge(refined, lags, grid)
        if _RELAX != 1.0:
            old = np.maximum(_spectrum(cov, lags, grid), 1e-3 * abs(_spectrum(cov, lags, grid).mean()))
            new = np.maximum(refined, 1e-3 * abs(refined.mean()))
            refined = old * (new / old) ** _RELAX
        cov = _lags_of(refined, lags, grid)
    return cov


_DC_FIX = True
_RELAX = 1.0


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

_SHARED = True

def _cov_on(x, tile, lags, keep, plane):
    """Autocovariance of ``x`` over the tiles ``keep``, trends (plane or mean) removed."""
    from . import estimation as est

    tiles, _ = est._tiles(x, tile, None)
    return est._autocovariance(tiles[keep], None, lags, plane)


def _pass(z, psd):
    from .api import vexa
    from .profiles import VEXAProfile

    profile = VEXAProfile(preset="fast", adapt_to_noise=False)
    out = vexa(z.astype(np.float32), psd, profile, stage="hard", progress=False)
    return out.astype(np.float64)


def _tiles_cov(x, lags, tile, robust):
    from . import estimation as est

    tiles, weights = est._tiles(x, tile, None)
    return est._tile_estimate(tiles, weights, lags, robust_start=robust)


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
    if key not in _WHITE:
        white = np.random.default_rng(_SEED).standard_normal(key)
        _WHITE.clear()  # one shape at a time: the block of the data being estimated
        _WHITE[key] = np.fft.rfftn(white)
    return _WHITE[key]


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
    k = [min(c, _BLOCK_TILES[x.ndim]) for c in counts]
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
