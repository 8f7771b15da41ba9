"""The denoising API: ``vexa`` (positional, as the library's own advice names it) and ``denoise``."""

from __future__ import annotations

import dataclasses
import numbers
import os
from dataclasses import dataclass
from typing import List, Optional, Tuple

import numpy as np

from . import _lib
from ._run import as_float_ptr, make_reporter, run_stage_call
from .planning import StagePlan, plan_stage, split_in_array_order
from .profiles import INT_MAX, ResolvedProfile, ResolvedStage, VEXAProfile, _array_order
from .psd import estimate_sigma, noise_variance, psd_flatness, psd_from_kernel, psd_white
from .transforms import BUILTIN_BLOCK_SIZES, HostTransformSet, library_transforms

__all__ = ["vexa", "denoise", "MatchStore", "plan_memory", "STAGES"]

STAGES = {"all": "all", "hard": "hard", "ht": "hard", "wiener": "wiener", "wie": "wiener"}


class MatchStore:
    """Block matches kept by the host between stage calls.

    Pass the same store to several calls (``vexa(..., matches=store)``): the
    first stage that runs with an empty store fills it, every later stage
    over the same grid reads the stored groups back instead of matching.
    Only for single-channel data.
    """

    def __init__(self):
        self.clear()

    def clear(self) -> None:
        self._counts = None
        self._positions = None
        self._relative = None
        self._struct = None
        self.grid = None
        self.max_matches = 0
        self.source: Optional[ResolvedStage] = None

    @property
    def filled(self) -> bool:
        return self.source is not None

    def _slots(self, image_xyz, step):
        n = 1
        for size, s in zip(image_xyz, step):
            n *= size // s + 1
        return n

    def _prepare(self, stage: ResolvedStage, image_xyz, max_matches: int):
        """The storage struct for ``stage``: reading when filled, else (re)allocated for writing."""
        grid = (tuple(image_xyz), stage.step, stage.block_size)
        if self.filled:
            src = self.source
            if grid != self.grid:
                raise ValueError(
                    "matches: the store holds matches of another grid (image size, step, "
                    f"block_size {self.grid}); this stage has {grid}. Use a new MatchStore"
                )
            if any(a > b for a, b in zip(src.search_radius, stage.search_radius)):
                raise ValueError(
                    "matches: stored matches come from search_radius "
                    f"{src.search_radius}, larger than this stage's {stage.search_radius}"
                )
            if src.max_group_size > stage.max_group_size:
                raise ValueError(
                    f"matches: stored groups of up to {src.max_group_size} blocks exceed this "
                    f"stage's max_group_size {stage.max_group_size}"
                )
            self._struct.reuseMatches = 1
            return self._struct, True
        slots = self._slots(image_xyz, stage.step)
        max_matches = max(max_matches, stage.max_group_size)
        if slots * max_matches * 3 > INT_MAX:
            raise ValueError(
                f"matches: {slots} reference slots of {max_matches} matches exceed the "
                "library's index range; use a larger step"
            )
        self._counts = np.zeros(slots, dtype=np.int32)
        self._positions = np.zeros(slots * max_matches * 3, dtype=np.int32)
        self._relative = np.zeros(slots * max_matches * 3, dtype=np.int32)
        s = _lib.BlockMatchStorage()
        s.maxMatches = max_matches
        s.matchCounts = self._counts.ctypes.data_as(_lib.IntPtr)
        s.matchPositions = self._positions.ctypes.data_as(_lib.IntPtr)
        s.matchRelativePositions = self._relative.ctypes.data_as(_lib.IntPtr)
        s.referenceCount = 0
        s.reuseMatches = 0
        self._struct = s
        self.grid = grid
        self.max_matches = max_matches
        return s, False

    def _filled_by(self, stage: ResolvedStage, image_xyz):
        if self._struct.referenceCount != self._slots(image_xyz, stage.step):
            self.clear()
            raise RuntimeError("vexa: the library filled the match store for another grid")
        self.source = stage

    def counts(self) -> np.ndarray:
        """Stored group length per reference slot (a copy)."""
        return np.array(self._counts) if self._counts is not None else np.zeros(0, np.int32)


# --------------------------------------------------------------------------- helpers


def _flatness_of(sigma_psd, ndim):
    """The PSD's flatness for the profile's noise adaptation; None for a sigma or a bad PSD
    (which the PSD checks then report)."""
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


def _resolve_profile(profile, ndim, psd_flatness_value=None, data_shape=None) -> ResolvedProfile:
    if profile is None:
        profile = VEXAProfile()
    elif isinstance(profile, str):
        profile = VEXAProfile.from_name(profile)
    elif not isinstance(profile, VEXAProfile):
        raise ValueError(
            f"profile must be None, a preset name or a VEXAProfile, got {type(profile).__name__}"
        )
    return profile.resolve(ndim, psd_flatness_value, data_shape)


def _check_array(name, a, allow_none=False):
    if a is None and allow_none:
        return None
    arr = np.asarray(a)
    if arr.dtype.kind not in "iuf":
        raise ValueError(
            f"{name} must hold real numbers (integer or float dtype), got dtype {arr.dtype}"
        )
    return arr


def _check_finite(name, a):
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name} must not contain NaN or infinite values")


def _xyz(shape):
    lib = list(reversed(shape)) + [1] * (3 - len(shape))
    return tuple(int(v) for v in lib)


def _stages_for(stage):
    if stage == "all":
        return ("hard", "wiener")
    return (stage,)


def _check_geometry(st: ResolvedStage, image_xyz, ndim, resample_points):
    shape = _array_order(image_xyz, ndim)
    if any(b > s for b, s in zip(st.block_size, image_xyz)):
        raise ValueError(
            f"{st.name}.block_size {_array_order(st.block_size, ndim)} must not exceed the data "
            f"shape {shape} on any axis"
        )
    window = 1
    for r, s, b in zip(st.search_radius, image_xyz, st.block_size):
        window *= min(r, s - b) + 1
    if st.min_group_size > window:
        raise ValueError(
            f"{st.name}.min_group_size must be at most {window}, the blocks a search window "
            f"holds at the border for search_radius {_array_order(st.search_radius, ndim)} on "
            f"shape {shape}; got {st.min_group_size}"
        )
    b = st.block_count
    r = st.search_radius
    checks = {
        "block_size * max_group_size": b * st.max_group_size,
        "the search window (2 * search_radius + 1 per axis)": (2 * r[0] + 1)
        * (2 * r[1] + 1)
        * (2 * r[2] + 1),
        "block_size * psd_resample_size": b * resample_points,
    }
    for what, value in checks.items():
        if value > INT_MAX:
            raise ValueError(
                f"{st.name}: {what} holds {value} elements, more than the library's limit "
                "of 2**31 - 1; use smaller values"
            )


@dataclass
class _Prepared:
    noisy: np.ndarray
    psd: np.ndarray
    psd_xyz: Tuple[int, int, int]
    image_xyz: Tuple[int, int, int]
    variance: float
    offset: float
    scale: float


def _psd_for(sigma_psd, ndim, resolved: ResolvedProfile, scale: float):
    """PSD in normalised units, C-ordered (array axis order)."""
    if np.ndim(sigma_psd) == 0 and not isinstance(sigma_psd, (bool, np.bool_)):
        try:
            sigma = float(sigma_psd)
        except (TypeError, ValueError):
            raise ValueError(
                f"sigma_psd must be a number or a PSD array, got {sigma_psd!r}"
            ) from None
        if not np.isfinite(sigma) or sigma <= 0:
            raise ValueError(
                f"sigma_psd as a noise standard deviation must be finite and > 0, got {sigma_psd!r}"
            )
        shape = _array_order(resolved.psd_resample_size, ndim)
        return psd_white(sigma / scale, shape)
    psd = _check_array("sigma_psd", sigma_psd)
    if psd.ndim != ndim:
        raise ValueError(
            f"sigma_psd must be a scalar or a PSD array with {ndim} axes like the data, got "
            f"shape {psd.shape}"
        )
    if psd.size == 0 or psd.size > INT_MAX:
        raise ValueError(
            f"sigma_psd must have between 1 and 2**31 - 1 points, got shape {psd.shape}"
        )
    _check_finite("sigma_psd", psd)
    if np.any(psd < 0):
        raise ValueError("sigma_psd must be non-negative everywhere (a power spectral density)")
    if not np.any(psd > 0):
        raise ValueError("sigma_psd must describe noise of positive power (not all zeros)")
    return np.ascontiguousarray(psd / (scale * scale), dtype=np.float32)


def _prepare(z: np.ndarray, sigma_psd, resolved: ResolvedProfile) -> _Prepared:
    ndim = resolved.ndim
    image_xyz = _xyz(z.shape)
    _check_finite("z", z)
    lo = float(np.min(z))
    hi = float(np.max(z))
    scale = hi - lo
    if not np.isfinite(scale) or scale <= 0:
        scale = 1.0
    noisy = np.ascontiguousarray((z.astype(np.float64) - lo) / scale, dtype=np.float32)
    psd = _psd_for(sigma_psd, ndim, resolved, scale)
    var = noise_variance(psd)
    if not var > 0 or not np.isfinite(var):
        raise ValueError("sigma_psd must describe noise of positive, finite power")
    return _Prepared(noisy, psd, _xyz(psd.shape), image_xyz, var, lo, scale)


def _parameters(st: ResolvedStage, prep: _Prepared, resolved: ResolvedProfile, split, threads):
    p = _lib.VexaParameters()
    p.blockSize = _lib.Vec3i(*st.block_size)
    p.psdResampleSize = _lib.Vec3i(*resolved.psd_resample_size)
    p.psdSymmetry = 1 if resolved.psd_symmetry else 0
    p.maxGroupSize = st.max_group_size
    p.varianceGroupSize = st.variance_group_size
    p.hardThreshold = st.threshold * st.threshold
    p.wienerFactor = st.wiener_factor
    p.matchNoiseFactor = st.match_noise_factor
    p.searchRadius = _lib.Vec3i(*st.search_radius)
    p.imageSize = _lib.Vec3i(*prep.image_xyz)
    p.psdSize = _lib.Vec3i(*prep.psd_xyz)
    p.step = _lib.Vec3i(*st.step)
    p.minGroupSize = st.min_group_size
    p.matchThreshold = min(st.match_threshold * st.block_count * prep.variance, 3.0e38)
    for a in range(3):
        p.splitBlockExtraction[a] = 1 if split[a] else 0
    p.gridShiftCount = _lib.Vec3i(0, 0, 0)
    p.sharpen = 1 if st.sharpen else 0
    p.sharpenVariances = 1 if st.sharpen_variances else 0
    p.sharpenAlpha = st.sharpen_alpha
    p.sharpenAlphaFirstSlice = st.sharpen_alpha_first_slice
    p.numThreads = threads
    return p


def _transforms_for(st: ResolvedStage):
    if st.block_size in BUILTIN_BLOCK_SIZES:
        return None, library_transforms()
    owner = HostTransformSet(st.block_size)
    return owner, owner.as_struct()


def _thread_count(resolved: ResolvedProfile, num_threads):
    n = resolved.num_threads if num_threads is None else num_threads
    if isinstance(n, bool) or not isinstance(n, numbers.Integral) or n < 0:
        raise ValueError(f"num_threads must be an integer >= 0 (0: all cores), got {n!r}")
    if n == 0:
        try:
            n = _lib.default_thread_count()
        except OSError:
            n = os.cpu_count() or 1
    return max(1, int(n))


def _plans(resolved, prep, stages, threads, memory_limit, store_slots) -> List[StagePlan]:
    limit = resolved.memory_limit if memory_limit is None else memory_limit
    if limit is not None and (
        isinstance(limit, bool) or not isinstance(limit, numbers.Real) or limit <= 0
    ):
        raise ValueError(f"memory_limit must be a positive number of bytes or None, got {limit!r}")
    plans = []
    for name in stages:
        st = getattr(resolved, name)
        plans.append(
            plan_stage(
                st,
                prep.image_xyz,
                prep.psd.size,
                resolved.psd_resample_size,
                resolved.psd_symmetry,
                resolved.split_block_extraction,
                threads,
                wiener=(name == "wiener"),
                memory_limit=limit,
                store_slots=store_slots,
            )
        )
    return plans


def _fit_to_shape(resolved: ResolvedProfile, shape, used=("hard", "wiener")) -> ResolvedProfile:
    """Checks the stages against the data's shape and clamps each search radius to it.

    A radius beyond the last block origin gives the same (clipped) search window,
    so the clamp changes no result; it only keeps the noise-distance table small.
    """
    image_xyz = _xyz(shape)
    if int(np.prod(shape, dtype=np.int64)) > INT_MAX:
        raise ValueError(
            f"data has {int(np.prod(shape, dtype=np.int64))} samples; the library "
            "takes at most 2**31 - 1"
        )
    stages = {}
    for name in ("hard", "wiener"):
        st = getattr(resolved, name)
        radius = tuple(
            min(r, max(s - b, 0)) for r, s, b in zip(st.search_radius, image_xyz, st.block_size)
        )
        st = dataclasses.replace(st, search_radius=radius)
        if name in used:
            _check_geometry(st, image_xyz, resolved.ndim, int(np.prod(resolved.psd_resample_size)))
        stages[name] = st
    return dataclasses.replace(resolved, **stages)


def _denoise_single(
    z, sigma_psd, resolved, stage, basic, store, reporter, num_threads, memory_limit
):
    stages = _stages_for(stage)
    resolved = _fit_to_shape(resolved, z.shape, stages)
    prep = _prepare(z, sigma_psd, resolved)
    pilot = None
    if stage == "wiener":
        if basic is None:
            raise ValueError("basic_estimate is required for stage='wiener'")
        if basic.shape != z.shape:
            raise ValueError(
                f"basic_estimate must have the data's shape {z.shape}, got {basic.shape}"
            )
        _check_finite("basic_estimate", basic)
        pilot = np.ascontiguousarray(
            (basic.astype(np.float64) - prep.offset) / prep.scale, dtype=np.float32
        )
    threads = _thread_count(resolved, num_threads)
    if store is None and resolved.reuse_matches and stage == "all":
        store = MatchStore()
    max_matches = max(resolved.hard.max_group_size, resolved.wiener.max_group_size)
    slots = 0
    if store is not None:
        st0 = getattr(resolved, stages[0])
        slots = store._slots(prep.image_xyz, st0.step)
    plans = _plans(resolved, prep, stages, threads, memory_limit, slots)

    lib = _lib.load_library()
    noisy_ptr = as_float_ptr(prep.noisy)
    psd_ptr = as_float_ptr(prep.psd)
    result = None
    for name, plan in zip(stages, plans):
        st = getattr(resolved, name)
        params = _parameters(st, prep, resolved, plan.split_block_extraction, threads)
        owner, transforms = _transforms_for(st)
        output = np.zeros(prep.noisy.shape, dtype=np.float32)
        storage = None
        reading = False
        if store is not None:
            storage, reading = store._prepare(st, prep.image_xyz, max_matches)
        storage_ptr = None if storage is None else _lib.ctypes.pointer(storage)
        if name == "hard":
            args = (noisy_ptr, psd_ptr, params, transforms, as_float_ptr(output), storage_ptr)
            run_stage_call("hard", lib.vexaInterfaceHT, args, output, reporter)
        else:
            args = (
                noisy_ptr,
                psd_ptr,
                params,
                transforms,
                as_float_ptr(pilot),
                as_float_ptr(output),
                storage_ptr,
            )
            run_stage_call("wiener", lib.vexaInterfaceWie, args, output, reporter)
        if store is not None and not reading:
            store._filled_by(st, prep.image_xyz)
        del owner
        pilot = output
        result = output
    return result.astype(np.float64) * prep.scale + prep.offset


def _sigma_per_channel(sigma_psd, channels):
    """One sigma_psd per channel: a 1-D sequence of scalars gives one each."""
    if not isinstance(sigma_psd, numbers.Real) and np.ndim(sigma_psd) == 1:
        values = list(np.asarray(sigma_psd, dtype=np.float64))
        if len(values) != channels:
            raise ValueError(
                f"sigma_psd as one value per channel needs {channels} values, got {len(values)}"
            )
        return [float(v) for v in values]
    return [sigma_psd] * channels


# --------------------------------------------------------------------------- public API


def vexa(
    z,
    sigma_psd,
    profile=None,
    stage: str = "all",
    *,
    basic_estimate=None,
    channel_axis: Optional[int] = None,
    matches: Optional[MatchStore] = None,
    progress=None,
    num_threads: Optional[int] = None,
    memory_limit: Optional[int] = None,
) -> np.ndarray:
    """Denoises a 2-D image or a 3-D volume with stationary, possibly correlated noise.

    Parameters
    ----------
    z : array_like, 2 or 3 spatial axes (plus ``channel_axis``)
        Noisy data of any real dtype and any intensity range.
    sigma_psd : float or array_like
        Noise standard deviation (white noise), or the noise PSD as an array
        with one axis per spatial axis, in the unscaled-DFT convention (white
        noise of variance s**2 is the constant s**2 * psd.size), any size. With
        ``channel_axis`` a sequence of one standard deviation per channel.
    profile : VEXAProfile, str or None
        Settings, or a preset name ("default", "fast", "refine").
    stage : {"all", "hard", "wiener"}
        Both stages, the hard-thresholding stage only (the basic estimate),
        or the Wiener stage only with ``basic_estimate``.
    basic_estimate : array_like, optional
        Pilot for ``stage="wiener"``, of z's shape.
    channel_axis : int, optional
        Axis holding channels, each denoised on its own.
    matches : MatchStore, optional
        Keeps block matches between stages and calls.
    progress : None, bool or callable
        None shows a bar on a terminal when tqdm is installed; a callable
        receives ``(stage, done, total)`` while a stage runs.
    num_threads, memory_limit
        Override the profile's values.

    Returns
    -------
    numpy.ndarray
        The estimate, of z's shape: float64 for float64 input, else float32.
    """
    stage_key = STAGES.get(stage) if isinstance(stage, str) else None
    if stage_key is None:
        raise ValueError(f"stage must be one of 'all', 'hard', 'wiener', got {stage!r}")
    arr = _check_array("z", z)
    out_dtype = np.float64 if arr.dtype == np.float64 else np.float32
    basic = _check_array("basic_estimate", basic_estimate, allow_none=True)
    if channel_axis is None:
        spatial = arr.ndim
    else:
        if (
            isinstance(channel_axis, bool)
            or not isinstance(channel_axis, numbers.Integral)
            or not -arr.ndim <= channel_axis < arr.ndim
        ):
            raise ValueError(
                f"channel_axis must be an integer in [{-arr.ndim}, {arr.ndim - 1}], got {channel_axis!r}"
            )
        spatial = arr.ndim - 1
    if spatial not in (2, 3):
        raise ValueError(
            f"z must have 2 or 3 spatial axes (plus channel_axis), got shape {arr.shape}"
            + ("" if channel_axis is None else f" with channel_axis={channel_axis}")
        )
    if matches is not None and not isinstance(matches, MatchStore):
        raise ValueError(f"matches must be a MatchStore or None, got {type(matches).__name__}")
    if stage_key != "wiener" and basic is not None:
        raise ValueError("basic_estimate is only used with stage='wiener'")
    flatness = _flatness_of(sigma_psd, spatial) if channel_axis is None else None
    resolved = _resolve_profile(profile, spatial, flatness, arr.shape)
    reporter = make_reporter(progress)
    if channel_axis is None:
        out = _denoise_single(
            arr, sigma_psd, resolved, stage_key, basic, matches, reporter, num_threads, memory_limit
        )
        return out.astype(out_dtype)
    if matches is not None:
        raise ValueError("matches cannot be combined with channel_axis")
    axis = int(channel_axis) % arr.ndim
    if basic is not None and basic.shape != arr.shape:
        raise ValueError(
            f"basic_estimate must have the data's shape {arr.shape}, got {basic.shape}"
        )
    channels = arr.shape[axis]
    sigmas = _sigma_per_channel(sigma_psd, channels)
    results = []
    for c in range(channels):
        zc = np.take(arr, c, axis=axis)
        bc = None if basic is None else np.take(basic, c, axis=axis)
        results.append(
            _denoise_single(
                zc, sigmas[c], resolved, stage_key, bc, None, reporter, num_threads, memory_limit
            )
        )
    return np.stack(results, axis=axis).astype(out_dtype)


def denoise(
    image,
    sigma: Optional[float] = None,
    *,
    psd=None,
    kernel=None,
    profile=None,
    stage: str = "all",
    basic_estimate=None,
    channel_axis: Optional[int] = None,
    progress=None,
    num_threads: Optional[int] = None,
    memory_limit: Optional[int] = None,
) -> np.ndarray:
    """Keyword-style wrapper of :func:`vexa`.

    Give at most one of ``sigma`` (white noise), ``psd`` (a PSD array) and
    ``kernel`` (noise = white noise of std ``sigma`` or 1 convolved with the
    kernel; the PSD is built on the profile's frequency grid). With none of
    them, sigma is estimated from the data (:func:`estimate_sigma`).
    """
    arr = _check_array("image", image)
    given = [name for name, v in (("psd", psd), ("kernel", kernel)) if v is not None]
    if len(given) > 1:
        raise ValueError("give at most one of psd and kernel")
    if psd is not None:
        if sigma is not None:
            raise ValueError("give either sigma or psd, not both")
        sigma_psd = psd
    elif kernel is not None:
        spatial = arr.ndim - (0 if channel_axis is None else 1)
        resolved = _resolve_profile(profile, spatial) if spatial in (2, 3) else None
        if resolved is None:
            raise ValueError(f"image must have 2 or 3 spatial axes, got shape {arr.shape}")
        shape = _array_order(resolved.psd_resample_size, spatial)
        s = 1.0 if sigma is None else sigma
        sigma_psd = psd_from_kernel(kernel, shape, sigma=s)
    elif sigma is not None:
        sigma_psd = sigma
    else:
        sigma_psd = estimate_sigma(arr, channel_axis=channel_axis)
        if channel_axis is None and not sigma_psd > 0:
            raise ValueError("the estimated noise level is 0; give sigma, psd or kernel")
    return vexa(
        arr,
        sigma_psd,
        profile,
        stage,
        basic_estimate=basic_estimate,
        channel_axis=channel_axis,
        progress=progress,
        num_threads=num_threads,
        memory_limit=memory_limit,
    )


def plan_memory(
    shape,
    profile=None,
    stage: str = "all",
    *,
    psd_shape=None,
    psd=None,
    num_threads: Optional[int] = None,
    memory_limit: Optional[int] = None,
):
    """The memory plan :func:`vexa` would use for data of ``shape`` (no channel axis).

    Give the noise ``psd`` (or only its ``psd_shape``) when it is not white:
    its shape sizes the noise tables and its flatness may change the blocks
    (``VEXAProfile.adapt_to_noise``).

    Returns one :class:`StagePlan` per stage; ``split_block_extraction`` of
    each plan is in library order (x, y, z), ``split_in_array_order(...)``
    shows it in array order.
    """
    shape = tuple(int(s) for s in shape)
    if len(shape) not in (2, 3) or any(s < 1 for s in shape):
        raise ValueError(f"shape must have 2 or 3 positive components, got {shape}")
    stage_key = STAGES.get(stage) if isinstance(stage, str) else None
    if stage_key is None:
        raise ValueError(f"stage must be one of 'all', 'hard', 'wiener', got {stage!r}")
    flatness = None
    if psd is not None:
        if psd_shape is not None:
            raise ValueError("give either psd or psd_shape, not both")
        psd = np.asarray(psd)
        if psd.ndim != len(shape):
            raise ValueError(
                f"psd must have one axis per axis of shape {shape}, got shape {psd.shape}"
            )
        flatness = psd_flatness(psd)
        psd_shape = psd.shape
    resolved = _resolve_profile(profile, len(shape), flatness, shape)
    psd_points = (
        int(np.prod(psd_shape))
        if psd_shape is not None
        else int(np.prod(resolved.psd_resample_size))
    )
    threads = _thread_count(resolved, num_threads)
    dummy = _Prepared(
        np.zeros(0, np.float32),
        np.zeros(psd_points, np.float32),
        (1, 1, 1),
        _xyz(shape),
        1.0,
        0.0,
        1.0,
    )
    resolved = _fit_to_shape(resolved, shape, _stages_for(stage_key))
    return _plans(resolved, dummy, _stages_for(stage_key), threads, memory_limit, 0)


__all__ += ["split_in_array_order"]
