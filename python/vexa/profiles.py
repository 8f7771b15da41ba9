"""Denoising profiles: every host-visible setting, per stage.

Per-axis settings are given in the array's axis order, (Y, X) for an image
and (Z, Y, X) for a volume; a single integer applies to every axis.
:meth:`VEXAProfile.resolve` maps them to the library's x-fastest order.

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

Every unset field takes the value of the profile's preset
(:mod:`vexa.presets`), or for correlated noise that of the noise adaptation
(:mod:`vexa.adaptation`).
"""

from __future__ import annotations

import copy
import math
import numbers
from dataclasses import dataclass, field, fields
from typing import Optional, Sequence, Tuple, Union

from . import _checks as check
from ._order import to_array, to_library
from .adaptation import NOISE_ADAPTATION, adapt
from .multiscale import multiscale_setting
from .presets import PRESETS, preset_names, preset_values

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
    """Weight of the correction removing the noise's expected share of block distances (>= 0)."""
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
    multiscale
        Denoise a coarser level (the data mirrored at its borders, low-pass
        filtered and decimated by 2 per axis, with the exactly derived
        coarse noise PSD) and let it replace the low band of the Wiener
        stage's pilot (:mod:`vexa.multiscale`). None: with
        ``adapt_to_noise``, on for noise whose PSD flatness is below
        ``MULTISCALE_MAX_FLATNESS[ndim]`` (strongly low-pass noise on
        volumes), else off; True or False force it. Used when both stages
        run on data large enough to decimate; elsewhere, and when off, the
        single-scale path runs unchanged.
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
    multiscale: Optional[bool] = None

    def adapted_settings(self, ndim: int, psd_flatness: float, data_shape=None) -> dict:
        """The noise-dependent values this profile takes for a PSD of ``psd_flatness``.

        ``{"hard": {...}, "wiener": {...}}`` with only the settings that
        change (empty without adaptation), in array axis order.
        """
        base = preset_values(self.preset, ndim)
        before = copy.deepcopy(base)
        if check.boolean("adapt_to_noise", self.adapt_to_noise):
            adapt(self, base, ndim, psd_flatness, data_shape)
        return {
            st: {k: v for k, v in base[st].items() if before[st][k] != v}
            for st in ("hard", "wiener")
            if base[st] != before[st]
        }

    @classmethod
    def from_name(cls, name: str) -> "VEXAProfile":
        """The named preset as a profile (``"default"``, ``"fast"``, ``"refine"``)."""
        preset_values(name, 3)
        return cls(preset=name)

    def resolve(
        self, ndim: int, psd_flatness: Optional[float] = None, data_shape=None,
        for_multiscale: bool = False,
    ) -> "ResolvedProfile":
        """Concrete, validated values for data of ``ndim`` spatial axes, in library order.

        ``psd_flatness`` (see :func:`vexa.psd.psd_flatness`; None or 1 for
        white noise) lets ``adapt_to_noise`` pick the noise-dependent values;
        ``data_shape`` (array order) keeps adapted blocks within the data.
        ``for_multiscale``: the values of the fine level of the multiscale
        path, where the adaptation keeps the preset's blocks.
        """
        if ndim not in (2, 3):
            raise ValueError(f"data must have 2 or 3 spatial axes, got {ndim}")
        if not isinstance(self.preset, str):
            raise ValueError(f"profile.preset must be one of {', '.join(map(repr, PRESETS))}")
        base = preset_values(self.preset, ndim)
        adapting = check.boolean("adapt_to_noise", self.adapt_to_noise)
        if adapting and psd_flatness is not None:
            adapt(self, base, ndim, psd_flatness, data_shape, keep_blocks=bool(for_multiscale))
        hard = _resolve_stage("hard", self.hard, base["hard"], ndim)
        wiener = _resolve_stage("wiener", self.wiener, base["wiener"], ndim)
        resample = check.per_axis(
            "psd_resample_size",
            base["psd_resample_size"] if self.psd_resample_size is None else self.psd_resample_size,
            ndim,
            minimum=1,
            pad=1,
        )
        if any(r not in PSD_RESAMPLE_SIZES for r in resample):
            raise ValueError(
                "psd_resample_size components must each be one of "
                f"{', '.join(map(str, PSD_RESAMPLE_SIZES))}, got {to_array(resample, ndim)}"
            )
        for stage in (hard, wiener):
            if any(r < b for r, b in zip(resample, stage.block_size)):
                raise ValueError(
                    f"psd_resample_size {to_array(resample, ndim)} must be at least the "
                    f"{stage.name} block_size {to_array(stage.block_size, ndim)} on every axis"
                )
        symmetry = base["psd_symmetry"] if self.psd_symmetry is None else self.psd_symmetry
        symmetry = check.boolean("psd_symmetry", symmetry)
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
            split = to_library([bool(b) for b in items], ndim, False)
        threads = check.thread_setting(self.num_threads)
        limit = check.memory_limit(self.memory_limit)
        reuse = check.boolean("reuse_matches", self.reuse_matches)
        multiscale = multiscale_setting(self.multiscale, ndim, psd_flatness if adapting else None)
        if reuse:
            _check_reuse(hard, wiener, ndim)
        return ResolvedProfile(
            ndim=ndim,
            hard=hard,
            wiener=wiener,
            psd_resample_size=resample,
            psd_symmetry=symmetry,
            split_block_extraction=split,
            num_threads=threads,
            reuse_matches=reuse,
            memory_limit=None if limit is None else int(limit),
            multiscale=multiscale,
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
    """A profile's values for data of ``ndim`` spatial axes, in library order (x, y, z)."""

    ndim: int
    hard: ResolvedStage
    wiener: ResolvedStage
    psd_resample_size: Tuple[int, int, int]
    psd_symmetry: bool
    split_block_extraction: Union[str, Tuple[bool, bool, bool]]
    num_threads: int
    reuse_matches: bool
    memory_limit: Optional[int]
    multiscale: bool = False

    @property
    def psd_shape(self) -> Tuple[int, ...]:
        """The frequency grid ``psd_resample_size`` in array order: a PSD of this
        shape is used as it is, without resampling."""
        return to_array(self.psd_resample_size, self.ndim)


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
    block = check.per_axis(p + "block_size", values["block_size"], ndim, minimum=1, pad=1)
    step = check.per_axis(p + "step", values["step"], ndim, minimum=1, pad=1)
    if any(s > b for s, b in zip(step, block)):
        raise ValueError(
            f"{p}step must be in 1 .. block_size on every axis (block_size "
            f"{to_array(block, ndim)}), got {to_array(step, ndim)}"
        )
    radius = check.per_axis(p + "search_radius", values["search_radius"], ndim, minimum=0, pad=0)
    max_group = check.integer(p + "max_group_size", values["max_group_size"], 1, MAX_GROUP_SIZE)
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
    variance_group = check.integer(
        p + "variance_group_size", values["variance_group_size"], 0, MAX_GROUP_SIZE
    )
    match = check.number(p + "match_threshold", values["match_threshold"], 0.0)

    def positive(key, strict=False):
        return check.float32_setting(p + key, values[key], strict)

    if name == "hard":
        extra = dict(
            # The library takes the threshold squared.
            threshold=check.float32_setting(
                p + "threshold", values["threshold"], False, math.sqrt(check.FLOAT32_MAX)
            ),
            match_noise_factor=positive("match_noise_factor"),
            sharpen=check.boolean(p + "sharpen", values["sharpen"]),
            sharpen_variances=check.boolean(p + "sharpen_variances", values["sharpen_variances"]),
            sharpen_alpha=positive("sharpen_alpha", strict=True),
            sharpen_alpha_first_slice=positive("sharpen_alpha_first_slice", strict=True),
        )
    else:
        extra = dict(wiener_factor=positive("wiener_factor", strict=True))
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
            f"{to_array(hard.block_size, ndim)} / {to_array(wiener.block_size, ndim)} "
            f"and step {to_array(hard.step, ndim)} / {to_array(wiener.step, ndim)}"
        )
    if any(h > w for h, w in zip(hard.search_radius, wiener.search_radius)):
        raise ValueError(
            "reuse_matches needs hard.search_radius <= wiener.search_radius on every axis, got "
            f"{to_array(hard.search_radius, ndim)} / {to_array(wiener.search_radius, ndim)}"
        )
    if hard.max_group_size > wiener.max_group_size:
        raise ValueError(
            "reuse_matches needs hard.max_group_size <= wiener.max_group_size, got "
            f"{hard.max_group_size} / {wiener.max_group_size}"
        )
