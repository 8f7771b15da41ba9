"""Named presets: the one place where the default settings live.

Per-axis values are in array axis order; an int applies to every axis.

How the presets were chosen: by a coordinate sweep of every setting on the
96**3 crop of a T1 MRI volume and on two 512**2 photographs, with white and
correlated noise, trading 0.15 dB of mean PSNR against each doubling of the
time (0.6 dB for ``fast``); bench/README.md lists the sweep and where the
committed values differ from its picks. Volumes use 4x4x4 blocks, steps of 3,
groups of 16 (hard) and 32 (Wiener), lambda 2.7, a Wiener factor of 0.7 and
an 8**3 frequency grid; images 8x8 blocks, steps of 3 and a 32**2 grid.
``fast`` trades quality for speed (larger steps, smaller windows and
groups), ``refine`` the reverse (about four times the default's time).

The presets hold the values for white noise; :mod:`vexa.adaptation` changes
some of them for correlated noise.
"""

from __future__ import annotations

import copy
from typing import Tuple

__all__ = ["PRESETS", "preset_names", "preset_values"]

# Values both dimensionalities share.
_HARD = dict(
    min_group_size=1,
    variance_group_size=4,
    match_threshold=3.0,
    threshold=2.7,
    match_noise_factor=1.0,
    sharpen=False,
    sharpen_variances=False,
    sharpen_alpha=1.0,
    sharpen_alpha_first_slice=1.0,
)
_WIENER = dict(min_group_size=1, match_threshold=0.25)

PRESETS = {
    "default": {
        2: {
            "hard": dict(_HARD, block_size=8, step=3, search_radius=8, max_group_size=16),
            "wiener": dict(
                _WIENER,
                block_size=8,
                step=3,
                search_radius=8,
                max_group_size=32,
                variance_group_size=2,
                wiener_factor=1.0,
            ),
            "psd_resample_size": 32,
            "psd_symmetry": True,
        },
        3: {
            "hard": dict(_HARD, block_size=4, step=3, search_radius=3, max_group_size=16),
            "wiener": dict(
                _WIENER,
                block_size=4,
                step=3,
                search_radius=4,
                max_group_size=32,
                variance_group_size=4,
                wiener_factor=0.7,
            ),
            "psd_resample_size": 8,
            "psd_symmetry": True,
        },
    },
    "fast": {
        2: {
            "hard": dict(step=6, threshold=3.0, max_group_size=16),
            "wiener": dict(step=6, search_radius=5, max_group_size=16),
            "psd_resample_size": 16,
        },
        3: {
            "hard": dict(step=4, search_radius=2, max_group_size=8),
            "wiener": dict(step=4, search_radius=3),
        },
    },
    "refine": {
        2: {
            "hard": dict(step=2, search_radius=10, max_group_size=32, variance_group_size=8),
            "wiener": dict(step=2, search_radius=10, max_group_size=64, variance_group_size=8),
            "psd_resample_size": 64,
        },
        3: {
            "hard": dict(step=2, search_radius=4, max_group_size=32),
            "wiener": dict(step=2, search_radius=4, max_group_size=32),
        },
    },
}


def preset_names() -> Tuple[str, ...]:
    """The names a profile's ``preset`` may take.

    >>> preset_names()
    ('default', 'fast', 'refine')
    """
    return tuple(PRESETS)


def preset_values(name: str, ndim: int) -> dict:
    """The full set of values of a preset: 'default' overlaid with the preset's own."""
    if name not in PRESETS:
        raise ValueError(f"profile must be one of {', '.join(map(repr, PRESETS))}, got {name!r}")
    merged = copy.deepcopy(PRESETS["default"][ndim])
    own = PRESETS[name].get(ndim, {})
    for key, value in own.items():
        if isinstance(value, dict):
            merged[key].update(value)
        else:
            merged[key] = value
    return merged
