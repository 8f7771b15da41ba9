"""Stage driving: one single-channel call, from checked arguments to the library's stages.

The road of a call: the data is scaled to [0, 1] and the noise described as
a PSD in the same units (:func:`prepare`); each stage's settings are checked
against the data's shape (:func:`fit_to_shape`), its memory planned
(:func:`plans`), its parameter block filled in library order
(:func:`parameters`), and the entry point run on a worker thread
(:func:`vexa._run.run_stage_call`); the estimate is scaled back.
"""

from __future__ import annotations

import dataclasses
import os
from dataclasses import dataclass
from typing import Callable, List, Optional, Tuple

import numpy as np

from . import _checks as check
from . import _lib
from ._checks import INT_MAX
from ._order import library_shape, to_array
from ._run import as_float_ptr, run_stage_call
from .matches import MatchStore
from .planning import StagePlan, plan_stage
from .profiles import ResolvedProfile, ResolvedStage
from .psd import noise_variance
from .scaling import Scaling, all_finite, data_scaling, from_unit_as, noise_psd, to_unit
from .transforms import BUILTIN_BLOCK_SIZES, HostTransformSet, library_transforms

__all__ = [
    "Call",
    "stages_for",
    "fit_to_shape",
    "prepare",
    "thread_count",
    "stage_plan",
    "plans",
    "run_stages",
]


@dataclass(frozen=True)
class Call:
    """What every channel of one call shares."""

    resolved: ResolvedProfile
    stage: str  # "all", "hard" or "wiener"
    data_name: str  # the arguments' names, for messages
    noise_name: str
    reporter: Optional[Callable] = None
    num_threads: Optional[int] = None
    memory_limit: Optional[float] = None
    deterministic: bool = False


def stages_for(stage: str) -> Tuple[str, ...]:
    """The stages a ``stage`` key ("all", "hard" or "wiener") runs, in order."""
    return ("hard", "wiener") if stage == "all" else (stage,)


def _check_geometry(st: ResolvedStage, image_xyz, ndim, resample_points):
    shape = to_array(image_xyz, ndim)
    if any(b > s for b, s in zip(st.block_size, image_xyz)):
        raise ValueError(
            f"{st.name}.block_size {to_array(st.block_size, ndim)} must not exceed the data "
            f"shape {shape} on any axis"
        )
    window = 1
    for r, s, b in zip(st.search_radius, image_xyz, st.block_size):
        window *= min(r, s - b) + 1
    if st.min_group_size > window:
        raise ValueError(
            f"{st.name}.min_group_size must be at most {window}, the blocks a search window "
            f"holds at the border for search_radius {to_array(st.search_radius, ndim)} on "
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


def fit_to_shape(resolved: ResolvedProfile, shape, used=("hard", "wiener")) -> ResolvedProfile:
    """Checks the stages against the data's shape and clamps each search radius to it.

    A radius beyond the last block origin gives the same (clipped) search window,
    so the clamp changes no result; it only keeps the noise-distance table small.
    """
    image_xyz = library_shape(shape)
    samples = int(np.prod(shape, dtype=np.int64))
    if samples > INT_MAX:
        raise ValueError(f"data has {samples} samples; the library takes at most 2**31 - 1")
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


@dataclass
class Prepared:
    """The data in the library's units and its noise PSD in the same units (array order)."""

    noisy: np.ndarray
    psd: np.ndarray
    psd_xyz: Tuple[int, int, int]
    image_xyz: Tuple[int, int, int]
    variance: float
    scaling: Scaling


def check_noise(z: np.ndarray, noise, call: Call, resolved: ResolvedProfile):
    """Checks ``z`` and its ``noise`` before any work: (scaling, PSD in the library's units)."""
    check.finite(call.data_name, z)
    s = data_scaling(z)
    return s, noise_psd(noise, call.noise_name, resolved.psd_shape, resolved.ndim, s)


def prepare(z: np.ndarray, noise, call: Call, resolved: ResolvedProfile) -> Prepared:
    """Maps ``z`` onto [0, 1] and describes ``noise`` as a PSD in the same units."""
    s, psd = check_noise(z, noise, call, resolved)
    noisy = to_unit(z, s)
    var = noise_variance(psd)
    return Prepared(noisy, psd, library_shape(psd.shape), library_shape(z.shape), var, s)


def _parameters(st: ResolvedStage, prep: Prepared, resolved: ResolvedProfile, split, threads):
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


def thread_count(resolved: ResolvedProfile, num_threads) -> int:
    """Worker threads for a run: ``num_threads`` or the profile's, 0 meaning every core."""
    n = check.thread_setting(resolved.num_threads if num_threads is None else num_threads)
    if n == 0:
        try:
            n = _lib.default_thread_count()
        except OSError:
            n = os.cpu_count() or 1
    return max(1, int(n))


def stage_plan(
    resolved, name, image_xyz, psd_points, threads, limit, store_slots=0, extra_bytes=0
) -> StagePlan:
    """The memory plan of stage ``name`` of ``resolved`` on an image of ``image_xyz``."""
    return plan_stage(
        getattr(resolved, name),
        image_xyz,
        psd_points,
        resolved.psd_resample_size,
        resolved.psd_symmetry,
        resolved.split_block_extraction,
        threads,
        wiener=(name == "wiener"),
        memory_limit=limit,
        store_slots=store_slots,
        extra_bytes=extra_bytes,
    )


def memory_limit_of(resolved, memory_limit):
    """The call's ``memory_limit`` (bytes), else the profile's; None for none."""
    return check.memory_limit(resolved.memory_limit if memory_limit is None else memory_limit)


def plans(
    resolved, image_xyz, psd_points, stages, threads, memory_limit, store_slots,
    deterministic=False,
) -> List[StagePlan]:
    """One memory plan per stage of ``stages``."""
    limit = memory_limit_of(resolved, memory_limit)
    voxels = image_xyz[0] * image_xyz[1] * image_xyz[2]
    # A deterministic run gives every thread its own sums and weights.
    extra = 8 * threads * voxels if deterministic and threads > 1 else 0
    return [
        stage_plan(resolved, name, image_xyz, psd_points, threads, limit, store_slots, extra)
        for name in stages
    ]


def run_stages(
    z, noise, basic, store: Optional[MatchStore], call: Call, out_dtype=np.float64
) -> np.ndarray:
    """Denoises one channel ``z`` (2 or 3 axes): ``out_dtype`` in z's units.

    The result is held at ``out_dtype``'s finite range; a float32 result is
    the last stage's own output buffer, converted in place.

    ``noise`` is a standard deviation or a PSD array, ``basic`` the pilot of
    the Wiener stage alone, ``store`` None or the matches to fill or read.
    """
    stage = call.stage
    stages = stages_for(stage)
    resolved = fit_to_shape(call.resolved, z.shape, stages)
    prep = prepare(z, noise, call, resolved)
    pilot = None
    if stage == "wiener":
        if basic is None:
            raise ValueError("basic_estimate is required for stage='wiener'")
        if basic.shape != z.shape:
            raise ValueError(
                f"basic_estimate must have the data's shape {z.shape}, got {basic.shape}"
            )
        check.finite("basic_estimate", basic)
        pilot = to_unit(basic, prep.scaling)
        if not all_finite(pilot):
            raise ValueError("basic_estimate holds values too far outside the data's range")
    threads = thread_count(resolved, call.num_threads)
    if store is None and resolved.reuse_matches and stage == "all":
        store = MatchStore()
    max_matches = max(resolved.hard.max_group_size, resolved.wiener.max_group_size)
    slots = 0
    if store is not None:
        slots = store._slots(prep.image_xyz, getattr(resolved, stages[0]).step)
    stage_plans = plans(
        resolved, prep.image_xyz, prep.psd.size, stages, threads, call.memory_limit, slots,
        call.deterministic,
    )

    lib = _lib.load_library()
    noisy_ptr = as_float_ptr(prep.noisy)
    psd_ptr = as_float_ptr(prep.psd)
    pilot_ptr = None
    result = None
    for st_name, plan in zip(stages, stage_plans):
        st = getattr(resolved, st_name)
        params = _parameters(st, prep, resolved, plan.split_block_extraction, threads)
        params.deterministic = 1 if call.deterministic else 0
        owner, transforms = _transforms_for(st)
        output = np.zeros(prep.noisy.shape, dtype=np.float32)
        storage = None
        reading = False
        if store is not None:
            storage, reading = store._prepare(st, prep.image_xyz, max_matches)
        storage_ptr = None if storage is None else _lib.ctypes.pointer(storage)
        out_ptr = as_float_ptr(output)
        if st_name == "hard":
            args = (noisy_ptr, psd_ptr, params, transforms, out_ptr, storage_ptr)
            run_stage_call("hard", lib.vexaInterfaceHT, args, output, call.reporter)
        else:
            pilot_ptr = as_float_ptr(pilot)
            args = (noisy_ptr, psd_ptr, params, transforms, pilot_ptr, out_ptr, storage_ptr)
            run_stage_call("wiener", lib.vexaInterfaceWie, args, output, call.reporter)
        if store is not None and not reading:
            store._filled_by(st, prep.image_xyz)
        del owner
        pilot = output
        result = output
    # Only the result is needed from here: the inputs in the library's units
    # go before it is converted (the pointers keep their arrays alive too).
    scaling = prep.scaling
    del prep, noisy_ptr, psd_ptr, out_ptr, pilot_ptr, args, pilot
    return from_unit_as(result, scaling, out_dtype)
