"""Noise adaptation: the settings a correlated noise PSD chooses.

The presets hold the values for white noise. Correlated noise takes the
values of ``NOISE_ADAPTATION`` where its PSD is far from flat (see
:func:`vexa.psd.psd_flatness`): on volumes, strongly low-pass noise (flatness
below 0.15, e.g. a Gaussian of std 1 along every axis: 0.064) gets 6x6x6
blocks, lambda 3.5 and a Wiener factor of 1.3 (+1.7 dB on the tuning crop
for 2.5 times the time); on images, noise of flatness below 0.5 gets 12x12
Wiener blocks. Other correlated noise on volumes (flatness below 0.5, e.g.
5 taps along one axis: 0.29) keeps the preset's blocks, where larger ones
cost 0.6 dB, and takes the Wiener factor 1.0 instead of 0.7.

Only the settings a profile leaves unset (``None``) adapt, and a block is
never made larger than the PSD grid or the data.
"""

from __future__ import annotations

import numbers
from typing import Optional

import numpy as np

from .psd import psd_flatness

__all__ = ["NOISE_ADAPTATION", "adapt", "flatness_of"]

# Noise adaptation: bands of the noise PSD's flatness (``psd.psd_flatness``),
# lowest first. The first band whose ``max_flatness`` the PSD is below gives
# its values to every setting the caller left unset. Strongly low-pass noise
# on volumes wants larger blocks, a higher lambda and a stronger Wiener
# shrinkage; other correlated noise on volumes the neutral Wiener factor;
# correlated noise on images larger Wiener blocks. Chosen by the benchmarks'
# noise-kind sweep.
NOISE_ADAPTATION = {
    3: (
        {
            "max_flatness": 0.15,
            "hard": dict(block_size=6, threshold=3.5),
            "wiener": dict(block_size=6, wiener_factor=1.3),
        },
        {
            "max_flatness": 0.5,
            "wiener": dict(wiener_factor=1.0),
        },
    ),
    2: (
        {
            "max_flatness": 0.5,
            "wiener": dict(block_size=12),
        },
    ),
}


def flatness_of(sigma_psd, ndim: int) -> Optional[float]:
    """The flatness of the noise a ``sigma_psd`` argument describes, for the adaptation.

    None for a standard deviation (white noise), a sequence of them, or a
    PSD the host's checks will reject with a clear message.

    >>> flatness_of(0.1, 2) is None
    True
    >>> round(flatness_of(np.outer([1.0, 0.0], [1.0, 0.0]), 2), 3)
    0.25
    """
    if sigma_psd is None or isinstance(sigma_psd, numbers.Real):
        return None
    try:
        p = np.asarray(sigma_psd, dtype=np.float64)
    except (TypeError, ValueError):
        return None
    if p.ndim != ndim:
        return None
    try:
        return psd_flatness(p)
    except ValueError:
        return None


def adapt(profile, base: dict, ndim: int, flatness, data_shape=None, keep_blocks=False) -> None:
    """Overlays ``base`` (a preset's values, array order) with the band of ``flatness``.

    ``profile`` (a :class:`~vexa.profiles.VEXAProfile`) says which values
    the caller set; ``data_shape`` is the shape of the data without any
    channel axis, ``ndim`` values in array order. ``keep_blocks`` keeps the
    preset's block sizes: the fine level of the multiscale path, where the
    coarse level removes the low-frequency noise that larger blocks average
    out at a single scale (on the crop with Gaussian low-pass noise, 4x4x4
    blocks there give +0.5 dB over 6x6x6 at 40 % of the time).
    """
    if (
        isinstance(flatness, bool)
        or not isinstance(flatness, numbers.Real)
        or not 0 <= flatness <= 1 + 1e-9
    ):
        raise ValueError(f"psd_flatness must be a number in [0, 1], got {flatness!r}")
    table = next(
        (band for band in NOISE_ADAPTATION.get(ndim, ()) if flatness < band["max_flatness"]),
        None,
    )
    if table is None:
        return
    grid = profile.psd_resample_size
    if grid is None:
        grid = base["psd_resample_size"]
    grid = [grid] * ndim if isinstance(grid, numbers.Integral) else list(grid)
    if data_shape is not None:
        if len(data_shape) != ndim:
            raise ValueError(
                f"data_shape must have the {ndim} spatial axes only, got {tuple(data_shape)}"
            )
        grid = grid + [int(s) for s in data_shape]  # blocks must fit the data as well
    changes = {st: dict(table.get(st, {})) for st in ("hard", "wiener")}
    if keep_blocks:
        for values in changes.values():
            values.pop("block_size", None)
    for st, values in changes.items():
        own = getattr(profile, st)
        for key in list(values):
            if getattr(own, key, None) is not None:
                del values[key]  # the caller's value wins
        block = values.get("block_size")
        if block is not None and any(isinstance(g, numbers.Integral) and g < block for g in grid):
            del values["block_size"]  # larger than the caller's PSD grid or the data
    if profile.reuse_matches:
        # matches are shared only between equal block grids
        blocks = [
            changes[st].get("block_size", getattr(profile, st).block_size or base[st]["block_size"])
            for st in ("hard", "wiener")
        ]
        if blocks[0] != blocks[1]:
            for st in ("hard", "wiener"):
                changes[st].pop("block_size", None)
    for st, values in changes.items():
        base[st].update(values)
