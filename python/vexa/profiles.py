"""Denoising profiles: every host-visible setting, per stage, with named presets.

Per-axis settings are given in the array's axis order, (Y, X) for an image
and (Z, Y, X) for a volume; a single integer applies to every axis. The host
maps them to the library's x-fastest order.

Threshold scales (independent of the data's intensity range and block size):

* ``HardThresholdSettings.threshold`` is lambda, the hard threshold in units
  of each coefficient's noise standard deviation (the library receives
  lambda**2).
* ``match_threshold`` is the largest accepted block distance per block
  coefficient, in units of the noise variance per voxel (the PSD's variance
  after the host's normalisation). The library receives
  ``match_threshold * block_size.prod() * noise_variance``. For reference:
  two noise-only blocks of white noise are 2.0 apart on this scale, less
  when the hard stage's ``match_noise_factor`` removes the expected noise
  distance.

How the presets were chosen: by a coordinate sweep of every setting on the
96**3 crop of a T1 MRI volume and on two 512**2 photographs, with white and
correlated noise, trading 0.15 dB of mean PSNR against each doubling of the
time (0.6 dB for ``fast``); bench/README.md lists the sweep and where the
committed values differ from its picks. Volumes use 4x4x4 blocks, steps of 3,
groups of 16 (hard) and 32 (Wiener), lambda 2.7, a Wiener factor of 0.7 and
an 8**3 frequency grid; images 8x8 blocks, steps of 3 and a 32**2 grid.
``fast`` trades quality for speed (larger steps, smaller windows and
groups), ``refine`` the reverse (about four times the default's time).

The presets hold the values for white noise. Correlated noise takes the
values of ``NOISE_ADAPTATION`` where its PSD is far from flat (see
``psd.psd_flatness``): on volumes, strongly low-pass noise (flatness below
0.15, e.g. a Gaussian of std 1 along every axis: 0.064) gets 6x6x6 blocks,
lambda 3.5 and a Wiener factor of 1.3 (+1.7 dB on the tuning crop for 2.5
times the time); on images, noise of flatness below 0.5 gets 12x12 Wiener
blocks. Other correlated noise on volumes (flatness below 0.5, e.g. 5 taps
along one axis: 0.29) keeps the preset's blocks, where larger ones cost
0.6 dB, and takes the Wiener factor 1.0 instead of 0.7.
"""

from __future__ import annotations

import copy
import math
import numbers
from dataclasses import dataclass, field, fields
from typing import Optional, Sequence, Tuple, Union

__all__ = [
    "HardThresholdSettings",
    "WienerSettings",
    "VEXAProfile",
    "PRESETS",
    "NOISE_ADAPTATION",
    "preset_names",
    "ResolvedStage",
    "ResolvedProfile",
]

PerAxis = Union[int, Sequence[int]]

PSD_RESAMPLE_SIZES = (1, 4, 8, 16, 32, 64)
MAX_GROUP_SIZE = 64
INT_MAX = 2**31 - 1

# ---------------------------------------------------------------------------
# PRESET VALUES: the one place where the defaults live (tuned by the
# benchmarks). Per-axis values are in array axis order; an int broadcasts.
# ---------------------------------------------------------------------------
PRESETS = {
    "default": {
        2: {
            "hard": dict(
                block_size=8,
                step=3,
                search_radius=8,
                max_group_size=16,
                min_group_size=1,
                variance_group_size=4,
                match_threshold=3.0,
                threshold=2.7,
                match_noise_factor=1.0,
                sharpen=False,
                sharpen_variances=False,
                sharpen_alpha=1.0,
                sharpen_alpha_first_slice=1.0,
            ),
            "wiener": dict(
                block_size=8,
                step=3,
                search_radius=8,
                max_group_size=32,
                min_group_size=1,
                variance_group_size=2,
                match_threshold=0.25,
                wiener_factor=1.0,
            ),
            "psd_resample_size": 32,
            "psd_symmetry": True,
        },
        3: {
            "hard": dict(
                block_size=4,
                step=3,
                search_radius=3,
                max_group_size=16,
                min_group_size=1,
                variance_group_size=4,
                match_threshold=3.0,
                threshold=2.7,
                match_noise_factor=1.0,
                sharpen=False,
                sharpen_variances=False,
                sharpen_alpha=1.0,
                sharpen_alpha_first_slice=1.0,
            ),
            "wiener": dict(
                block_size=4,
                step=3,
                search_radius=4,
                max_group_size=32,
                min_group_size=1,
                variance_group_size=4,
                match_threshold=0.25,
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
# ---------------------------------------------------------------------------


def preset_names() -> Tuple[str, ...]:
    return tuple(PRESETS)


def _preset_values(name: str, ndim: int) -> dict:
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


@dataclass
class _StageSettings:
    """Settings both stages have; ``None`` takes the preset's value."""

    block_size: Optional[PerAxis] = None
    """Block edge lengths. (4, 4, 4) and (8, 8) use the library's own transforms."""
    step: Optional[PerAxis] = None
    """Spacing of the reference blocks, 1 .. block_size on every axis."""
    search_radius: Optional[PerAxis] = None
    """Half-size of the block-matching window, >= 0."""
    max_group_size: Optional[int] = None
    """Largest group, 1 .. 64."""
    min_group_size: Optional[int] = None
    """Smallest group whatever the distances: 1 or a power of two up to max_group_size."""
    variance_group_size: Optional[int] = None
    """Group coefficients whose noise variance is computed exactly, 0 .. 64."""
    match_threshold: Optional[float] = None
    """Largest block distance per coefficient, in units of the noise variance (>= 0)."""


@dataclass
class HardThresholdSettings(_StageSettings):
    """Settings of the hard-thresholding stage (basic estimate)."""

    threshold: Optional[float] = None
    """lambda: coefficients below lambda noise standard deviations are zeroed (>= 0)."""
    match_noise_factor: Optional[float] = None
    """Weight of the correction that removes the noise's expected share of block distances (>= 0)."""
    sharpen: Optional[bool] = None
    """Alpha-rooting of the filtered spectrum."""
    sharpen_variances: Optional[bool] = None
    """With sharpen, also rescale the variances."""
    sharpen_alpha: Optional[float] = None
    """Alpha beyond the first z frequency slice (> 0; 1 leaves coefficients unchanged)."""
    sharpen_alpha_first_slice: Optional[float] = None
    """Alpha within the first z frequency slice (> 0); images use only this one."""


@dataclass
class WienerSettings(_StageSettings):
    """Settings of the Wiener stage (final estimate)."""

    wiener_factor: Optional[float] = None
    """Factor on the noise variance in the Wiener weight (> 0)."""


@dataclass
class VEXAProfile:
    """Every setting of one denoising run.

    ``preset`` names the values that every ``None`` field takes: one of
    ``"default"``, ``"fast"`` and ``"refine"``. Fields set explicitly override
    it. Per-axis values are in array axis order.

    Attributes
    ----------
    hard, wiener
        Per-stage settings (block matching, grouping, thresholds).
    psd_resample_size
        Frequency grid of the noise variances, components in {1, 4, 8, 16,
        32, 64} and at least the block size (1 on a flat axis of a block).
    psd_symmetry
        Work on half the frequency grid along x (exact for real noise).
    split_block_extraction
        ``"auto"`` (plan from the memory available) or one bool per axis:
        window the block buffers along that axis to save memory.
    num_threads
        Worker threads, 0 for all cores.
    reuse_matches
        Let the Wiener stage reuse the hard stage's block matches (needs
        equal block sizes and steps, hard search radii and group sizes not
        above the Wiener stage's).
    memory_limit
        Bytes the run may use. ``None``: with ``split_block_extraction="auto"``
        the fewest windowed axes whose plan takes at most a quarter of the
        available memory (windowing costs little time), and never more than
        80 % of it.
    adapt_to_noise
        Let the noise PSD choose the settings left unset: noise whose PSD
        flatness (``psd_flatness``) falls in a band of
        ``NOISE_ADAPTATION[ndim]`` takes that band's values (larger blocks
        and stronger thresholds for strongly low-pass noise). White noise
        keeps the preset.
    """

    preset: str = "default"
    hard: HardThresholdSettings = field(default_factory=HardThresholdSettings)
    wiener: WienerSettings = field(default_factory=WienerSettings)
    psd_resample_size: Optional[PerAxis] = None
    psd_symmetry: Optional[bool] = None
    split_block_extraction: Union[str, Sequence[bool]] = "auto"
    num_threads: int = 0
    reuse_matches: bool = False
    memory_limit: Optional[int] = None
    adapt_to_noise: bool = True

    def adapted_settings(self, ndim: int, psd_flatness: float, data_shape=None) -> dict:
        """The noise-dependent values this profile takes for a PSD of ``psd_flatness``.

        ``{"hard": {...}, "wiener": {...}}`` with only the settings that
        change (empty without adaptation), in array axis order.
        """
        base = _preset_values(self.preset, ndim)
        before = copy.deepcopy(base)
        if _boolean("adapt_to_noise", self.adapt_to_noise):
            self._adapt(base, ndim, psd_flatness, data_shape)
        return {
            st: {k: v for k, v in base[st].items() if before[st][k] != v}
            for st in ("hard", "wiener")
            if base[st] != before[st]
        }

    def _adapt(self, base: dict, ndim: int, psd_flatness, data_shape=None) -> None:
        if (
            isinstance(psd_flatness, bool)
            or not isinstance(psd_flatness, numbers.Real)
            or not 0 <= psd_flatness <= 1 + 1e-9
        ):
            raise ValueError(f"psd_flatness must be a number in [0, 1], got {psd_flatness!r}")
        table = next(
            (band for band in NOISE_ADAPTATION.get(ndim, ()) if psd_flatness < band["max_flatness"]),
            None,
        )
        if table is None:
            return
        grid = self.psd_resample_size
        if grid is None:
            grid = base["psd_resample_size"]
        grid = [grid] * ndim if isinstance(grid, numbers.Integral) else list(grid)
        if data_shape is not None:
            grid = grid + list(data_shape)[-ndim:]  # blocks must fit the data as well
        changes = {st: dict(table.get(st, {})) for st in ("hard", "wiener")}
        for st, values in changes.items():
            own = getattr(self, st)
            for key in list(values):
                if getattr(own, key, None) is not None:
                    del values[key]  # the caller's value wins
            block = values.get("block_size")
            if block is not None and any(
                isinstance(g, numbers.Integral) and g < block for g in grid
            ):
                del values["block_size"]  # larger than the caller's PSD grid or the data
        if self.reuse_matches:
            # matches are shared only between equal block grids
            blocks = [
                changes[st].get("block_size", getattr(self, st).block_size or base[st]["block_size"])
                for st in ("hard", "wiener")
            ]
            if blocks[0] != blocks[1]:
                for st in ("hard", "wiener"):
                    changes[st].pop("block_size", None)
        for st, values in changes.items():
            base[st].update(values)

    @classmethod
    def from_name(cls, name: str) -> "VEXAProfile":
        """The named preset as a profile (``"default"``, ``"fast"``, ``"refine"``)."""
        _preset_values(name, 3)
        return cls(preset=name)

    def resolve(
        self, ndim: int, psd_flatness: Optional[float] = None, data_shape=None
    ) -> "ResolvedProfile":
        """Concrete, validated values for data of ``ndim`` spatial axes, in library order.

        ``psd_flatness`` (see :func:`vexa.psd.psd_flatness`; None or 1 for
        white noise) lets ``adapt_to_noise`` pick the noise-dependent values;
        ``data_shape`` (array order) keeps adapted blocks within the data.
        """
        if ndim not in (2, 3):
            raise ValueError(f"data must have 2 or 3 spatial axes, got {ndim}")
        if not isinstance(self.preset, str):
            raise ValueError(f"profile.preset must be one of {', '.join(map(repr, PRESETS))}")
        base = _preset_values(self.preset, ndim)
        adapt = _boolean("adapt_to_noise", self.adapt_to_noise)
        if adapt and psd_flatness is not None:
            self._adapt(base, ndim, psd_flatness, data_shape)
        hard = _resolve_stage("hard", self.hard, base["hard"], ndim)
        wiener = _resolve_stage("wiener", self.wiener, base["wiener"], ndim)
        resample = _per_axis(
            "psd_resample_size",
            base["psd_resample_size"] if self.psd_resample_size is None else self.psd_resample_size,
            ndim,
            minimum=1,
            pad=1,
        )
        if any(r not in PSD_RESAMPLE_SIZES for r in resample):
            raise ValueError(
                "psd_resample_size components must each be one of "
                f"{', '.join(map(str, PSD_RESAMPLE_SIZES))}, got {_array_order(resample, ndim)}"
            )
        for stage in (hard, wiener):
            if any(r < b for r, b in zip(resample, stage.block_size)):
                raise ValueError(
                    f"psd_resample_size {_array_order(resample, ndim)} must be at least the "
                    f"{stage.name} block_size {_array_order(stage.block_size, ndim)} on every axis"
                )
        symmetry = base["psd_symmetry"] if self.psd_symmetry is None else self.psd_symmetry
        symmetry = _boolean("psd_symmetry", symmetry)
        split = self.split_block_extraction
        if isinstance(split, str):
            if split != "auto":
                raise ValueError(
                    f"split_block_extraction must be 'auto' or one bool per axis, got {split!r}"
                )
        else:
            try:
                items = list(split)
            except TypeError:
                raise ValueError(
                    f"split_block_extraction must be 'auto' or one bool per axis, got {split!r}"
                ) from None
            if len(items) != ndim or not all(isinstance(b, (bool, int)) for b in items):
                raise ValueError(
                    f"split_block_extraction must be 'auto' or {ndim} bools (one per axis), "
                    f"got {split!r}"
                )
            lib = [bool(b) for b in reversed(items)]
            split = tuple(lib + [False] * (3 - ndim))
        threads = self.num_threads
        if isinstance(threads, bool) or not isinstance(threads, numbers.Integral) or threads < 0:
            raise ValueError(f"num_threads must be an integer >= 0 (0: all cores), got {threads!r}")
        limit = self.memory_limit
        if limit is not None and (
            isinstance(limit, bool) or not isinstance(limit, numbers.Real) or not limit > 0
        ):
            raise ValueError(
                f"memory_limit must be a positive number of bytes or None, got {limit!r}"
            )
        reuse = _boolean("reuse_matches", self.reuse_matches)
        if reuse:
            _check_reuse(hard, wiener, ndim)
        return ResolvedProfile(
            ndim=ndim,
            hard=hard,
            wiener=wiener,
            psd_resample_size=resample,
            psd_symmetry=symmetry,
            split_block_extraction=split,
            num_threads=int(threads),
            reuse_matches=reuse,
            memory_limit=None if limit is None else int(limit),
        )


@dataclass(frozen=True)
class ResolvedStage:
    """One stage's values in library order (x, y, z)."""

    name: str
    block_size: Tuple[int, int, int]
    step: Tuple[int, int, int]
    search_radius: Tuple[int, int, int]
    max_group_size: int
    min_group_size: int
    variance_group_size: int
    match_threshold: float
    threshold: float = 0.0
    match_noise_factor: float = 0.0
    sharpen: bool = False
    sharpen_variances: bool = False
    sharpen_alpha: float = 1.0
    sharpen_alpha_first_slice: float = 1.0
    wiener_factor: float = 1.0

    @property
    def block_count(self) -> int:
        return self.block_size[0] * self.block_size[1] * self.block_size[2]


@dataclass(frozen=True)
class ResolvedProfile:
    ndim: int
    hard: ResolvedStage
    wiener: ResolvedStage
    psd_resample_size: Tuple[int, int, int]
    psd_symmetry: bool
    split_block_extraction: Union[str, Tuple[bool, bool, bool]]
    num_threads: int
    reuse_matches: bool
    memory_limit: Optional[int]


def _array_order(lib_xyz, ndim):
    """A library-order triple shown in the caller's array axis order."""
    return tuple(reversed(lib_xyz[:ndim]))


def _boolean(name, value):
    if isinstance(value, bool) or (isinstance(value, numbers.Integral) and value in (0, 1)):
        return bool(value)
    raise ValueError(f"{name} must be True or False, got {value!r}")


def _per_axis(name, value, ndim, minimum, pad):
    """Array-order value (int or ndim ints) to a library-order triple."""
    if isinstance(value, numbers.Integral) and not isinstance(value, bool):
        items = [int(value)] * ndim
    else:
        try:
            items = list(value)
        except TypeError:
            raise ValueError(
                f"{name} must be an integer or {ndim} integers >= {minimum}, got {value!r}"
            ) from None
        if len(items) != ndim or not all(
            isinstance(v, numbers.Integral) and not isinstance(v, bool) for v in items
        ):
            raise ValueError(
                f"{name} must be an integer or {ndim} integers >= {minimum}, got {value!r}"
            )
        items = [int(v) for v in items]
    if any(v < minimum for v in items):
        raise ValueError(
            f"{name} must be an integer or {ndim} integers >= {minimum}, got {value!r}"
        )
    if any(v > INT_MAX for v in items):
        raise ValueError(f"{name} components must be below 2**31, got {value!r}")
    lib = list(reversed(items)) + [pad] * (3 - ndim)
    return tuple(lib)


def _number(name, value, minimum, strict=False):
    ok = isinstance(value, numbers.Real) and not isinstance(value, bool) and math.isfinite(value)
    ok = ok and (value > minimum if strict else value >= minimum)
    if not ok:
        sign = ">" if strict else ">="
        raise ValueError(f"{name} must be a finite number {sign} {minimum}, got {value!r}")
    return float(value)


def _integer(name, value, lo, hi):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or not lo <= value <= hi:
        raise ValueError(f"{name} must be an integer in {lo} .. {hi}, got {value!r}")
    return int(value)


def _resolve_stage(name, settings, base, ndim) -> ResolvedStage:
    expected = HardThresholdSettings if name == "hard" else WienerSettings
    if not isinstance(settings, expected):
        raise ValueError(
            f"profile.{name} must be a {expected.__name__}, got {type(settings).__name__}"
        )
    values = dict(base)
    for f in fields(settings):
        v = getattr(settings, f.name)
        if v is not None:
            values[f.name] = v
    p = f"{name}."
    block = _per_axis(p + "block_size", values["block_size"], ndim, minimum=1, pad=1)
    step = _per_axis(p + "step", values["step"], ndim, minimum=1, pad=1)
    if any(s > b for s, b in zip(step, block)):
        raise ValueError(
            f"{p}step must be in 1 .. block_size on every axis (block_size "
            f"{_array_order(block, ndim)}), got {_array_order(step, ndim)}"
        )
    radius = _per_axis(p + "search_radius", values["search_radius"], ndim, minimum=0, pad=0)
    max_group = _integer(p + "max_group_size", values["max_group_size"], 1, MAX_GROUP_SIZE)
    min_group = values["min_group_size"]
    if (
        isinstance(min_group, bool)
        or not isinstance(min_group, numbers.Integral)
        or min_group < 1
        or min_group > max_group
        or min_group & (min_group - 1)
    ):
        raise ValueError(
            f"{p}min_group_size must be a power of two in 1 .. max_group_size ({max_group}), "
            f"got {min_group!r}"
        )
    variance_group = _integer(
        p + "variance_group_size", values["variance_group_size"], 0, MAX_GROUP_SIZE
    )
    match = _number(p + "match_threshold", values["match_threshold"], 0.0)
    extra = {}
    if name == "hard":
        extra["threshold"] = _number(p + "threshold", values["threshold"], 0.0)
        extra["match_noise_factor"] = _number(
            p + "match_noise_factor", values["match_noise_factor"], 0.0
        )
        extra["sharpen"] = _boolean(p + "sharpen", values["sharpen"])
        extra["sharpen_variances"] = _boolean(p + "sharpen_variances", values["sharpen_variances"])
        extra["sharpen_alpha"] = _number(p + "sharpen_alpha", values["sharpen_alpha"], 0.0, True)
        extra["sharpen_alpha_first_slice"] = _number(
            p + "sharpen_alpha_first_slice", values["sharpen_alpha_first_slice"], 0.0, True
        )
    else:
        extra["wiener_factor"] = _number(p + "wiener_factor", values["wiener_factor"], 0.0, True)
    return ResolvedStage(
        name=name,
        block_size=block,
        step=step,
        search_radius=radius,
        max_group_size=max_group,
        min_group_size=int(min_group),
        variance_group_size=variance_group,
        match_threshold=match,
        **extra,
    )


def _check_reuse(hard: ResolvedStage, wiener: ResolvedStage, ndim: int) -> None:
    # The stored groups must fit the Wiener stage's buffers and search box.
    if hard.block_size != wiener.block_size or hard.step != wiener.step:
        raise ValueError(
            "reuse_matches needs equal hard and wiener block_size and step, got block_size "
            f"{_array_order(hard.block_size, ndim)} / {_array_order(wiener.block_size, ndim)} "
            f"and step {_array_order(hard.step, ndim)} / {_array_order(wiener.step, ndim)}"
        )
    if any(h > w for h, w in zip(hard.search_radius, wiener.search_radius)):
        raise ValueError(
            "reuse_matches needs hard.search_radius <= wiener.search_radius on every axis, got "
            f"{_array_order(hard.search_radius, ndim)} / {_array_order(wiener.search_radius, ndim)}"
        )
    if hard.max_group_size > wiener.max_group_size:
        raise ValueError(
            "reuse_matches needs hard.max_group_size <= wiener.max_group_size, got "
            f"{hard.max_group_size} / {wiener.max_group_size}"
        )
