"""The denoising entry points: :func:`denoise` (keywords), :func:`vexa` (positional) and
:func:`plan_memory`."""

from __future__ import annotations

import numbers
from dataclasses import replace
from typing import Optional

import numpy as np

from . import _checks as check
from . import multiscale
from ._order import library_shape, split_in_array_order
from ._run import make_reporter
from .adaptation import flatness_of
from .matches import MatchStore
from .profiles import ResolvedProfile, VEXAProfile
from .psd import psd_flatness, psd_from_kernel
from .stages import (
    Call,
    check_noise,
    fit_to_shape,
    memory_limit_of,
    plans,
    run_stages,
    stages_for,
    thread_count,
)

__all__ = ["denoise", "vexa", "plan_memory", "MatchStore", "STAGES", "split_in_array_order"]

STAGES = {"all": "all", "hard": "hard", "ht": "hard", "wiener": "wiener", "wie": "wiener"}


def _stage_key(stage) -> str:
    key = STAGES.get(stage) if isinstance(stage, str) else None
    if key is None:
        raise ValueError(f"stage must be one of 'all', 'hard', 'wiener', got {stage!r}")
    return key


def _resolve_profile(
    profile, ndim, flatness=None, data_shape=None, for_multiscale=False
) -> ResolvedProfile:
    if profile is None:
        profile = VEXAProfile()
    elif isinstance(profile, str):
        profile = VEXAProfile.from_name(profile)
    elif not isinstance(profile, VEXAProfile):
        raise ValueError(
            f"profile must be None, a preset name or a VEXAProfile, got {type(profile).__name__}"
        )
    return profile.resolve(ndim, flatness, data_shape, for_multiscale)


def _spatial_axes(arr, channel_axis, data_name):
    """(number of spatial axes, channel axis index or None) of the data."""
    axis = None if channel_axis is None else check.channel_axis(channel_axis, arr.ndim)
    spatial = arr.ndim - (0 if axis is None else 1)
    if spatial in (2, 3) and any(n == 0 for i, n in enumerate(arr.shape) if i != axis):
        raise ValueError(f"{data_name} must have at least 1 sample on every axis, got shape "
                         f"{arr.shape}" + ("" if axis is None else f" (channel_axis={channel_axis})"))
    if spatial not in (2, 3):
        raise ValueError(
            f"{data_name} must have 2 or 3 spatial axes (plus channel_axis), got shape {arr.shape}"
            + ("" if channel_axis is None else f" with channel_axis={channel_axis}")
        )
    return spatial, axis


def _per_channel(noise, name, channels):
    """One noise argument per channel: a 1-D sequence of scalars gives one each, a list
    of arrays (estimated PSDs) one array each."""
    if isinstance(noise, list) and any(np.ndim(v) > 0 for v in noise):
        if len(noise) != channels:
            raise ValueError(f"{name} as one PSD per channel needs {channels}, got {len(noise)}")
        return noise
    if not isinstance(noise, numbers.Real) and np.ndim(noise) == 1:
        values = list(np.asarray(noise, dtype=np.float64))
        if len(values) != channels:
            raise ValueError(
                f"{name} as one value per channel needs {channels} values, got {len(values)}"
            )
        return [float(v) for v in values]
    return [noise] * channels


def estimated_psd(arr, profile, spatial, channel_axis):
    """The noise PSD estimated from the data on the profile's PSD grid (one per channel)."""
    from .estimation import estimate_psd

    grid = _resolve_profile(profile, spatial).psd_shape
    return estimate_psd(arr, grid, channel_axis=channel_axis)


def _run_channel(z, noise, basic, store, call, profile, spatial, out_dtype=np.float64):
    """One channel: the multiscale path where the resolved profile turns it on and the
    data is large enough to decimate (with the fine level's own settings) and, unless the
    caller forced it, its arrays fit the memory; else the single-scale stages."""
    if call.resolved.multiscale and call.stage == "all":

        def resolve(flatness, shape, for_multiscale=False):
            return _resolve_profile(profile, spatial, flatness, shape, for_multiscale)

        fine = resolve(flatness_of(noise, spatial), z.shape, True)
        forced = isinstance(profile, VEXAProfile) and profile.multiscale is True
        limit = memory_limit_of(call.resolved, call.memory_limit)
        if multiscale.big_enough(fine, z.shape) and (
            forced or multiscale.fits_memory(z.shape, limit)
        ):
            fine_call = replace(call, resolved=fine)
            return multiscale.run(z, noise, store, fine_call, resolve, run_stages)
    return run_stages(z, noise, basic, store, call, out_dtype)


def _denoise(arr, noise, names, profile, stage, basic_estimate, channel_axis, matches, options):
    """The one path of :func:`denoise` and :func:`vexa`; ``names`` are the data's and the
    noise's argument names, ``options`` (progress, num_threads, memory_limit, deterministic)."""
    data_name, noise_name = names
    stage = _stage_key(stage)
    out_dtype = np.float64 if arr.dtype == np.float64 else np.float32
    basic = check.real_array("basic_estimate", basic_estimate, allow_none=True)
    spatial, axis = _spatial_axes(arr, channel_axis, data_name)
    if matches is not None and not isinstance(matches, MatchStore):
        raise ValueError(f"matches must be a MatchStore or None, got {type(matches).__name__}")
    if stage != "wiener" and basic is not None:
        raise ValueError("basic_estimate is only used with stage='wiener'")
    # The profile sees the shape of one channel and the noise of one channel.
    shape = arr.shape if axis is None else arr.shape[:axis] + arr.shape[axis + 1 :]
    if noise is None:
        noise = estimated_psd(arr, profile, spatial, axis)
    resolved = _resolve_profile(profile, spatial, flatness_of(noise, spatial), shape)
    progress, num_threads, memory_limit, deterministic = options
    deterministic = check.boolean("deterministic", deterministic)
    call = Call(
        resolved, stage, data_name, noise_name, make_reporter(progress), num_threads, memory_limit,
        deterministic,
    )
    if axis is None:
        result = _run_channel(arr, noise, basic, matches, call, profile, spatial, out_dtype)
        return _as_dtype(result, out_dtype)
    if matches is not None:
        raise ValueError("matches cannot be combined with channel_axis")
    if basic is not None and basic.shape != arr.shape:
        raise ValueError(
            f"basic_estimate must have the data's shape {arr.shape}, got {basic.shape}"
        )
    if arr.shape[axis] == 0:
        raise ValueError(
            f"channel_axis={channel_axis} has length 0 in {data_name} of shape {arr.shape}: "
            "there is no channel to denoise"
        )
    noises = _per_channel(noise, noise_name, arr.shape[axis])
    # Every channel's data and noise are checked before the first channel runs.
    for c, noise_c in enumerate(noises):
        check_noise(np.take(arr, c, axis=axis), noise_c, call, resolved)
    results = []
    for c, noise_c in enumerate(noises):
        bc = None if basic is None else np.take(basic, c, axis=axis)
        call_c = call
        if isinstance(noise, list) and np.ndim(noise_c) > 0:  # a PSD per channel
            flat = flatness_of(noise_c, spatial)
            call_c = replace(call, resolved=_resolve_profile(profile, spatial, flat, shape))
        channel = np.take(arr, c, axis=axis)
        results.append(_run_channel(channel, noise_c, bc, None, call_c, profile, spatial))
    return _as_dtype(np.stack(results, axis=axis), out_dtype)


def _as_dtype(result: np.ndarray, dtype) -> np.ndarray:
    """The estimate in the output dtype; an overshoot past its finite range is held at it."""
    if result.dtype == dtype:  # already held at the dtype's range by the stages
        return result
    info = np.finfo(dtype)
    return np.clip(result, float(info.min), float(info.max)).astype(dtype)


def denoise(
    image,
    sigma=None,
    *,
    psd=None,
    kernel=None,
    profile=None,
    stage: str = "all",
    basic_estimate=None,
    matches: Optional[MatchStore] = None,
    channel_axis: Optional[int] = None,
    progress=None,
    num_threads: Optional[int] = None,
    memory_limit: Optional[int] = None,
    deterministic: bool = False,
) -> np.ndarray:
    """Denoises a 2-D image or a 3-D volume with stationary, possibly correlated noise.

    The noise is described by at most one of ``sigma`` alone (white noise),
    ``psd`` (its power spectral density) or ``kernel`` (white noise filtered
    by a kernel); with none of them, the noise PSD is estimated from the data
    (:func:`vexa.estimate_psd`, on the profile's PSD grid, per channel with
    ``channel_axis``).

    Parameters
    ----------
    image : array_like
        Noisy data with 2 or 3 spatial axes (plus ``channel_axis``), of any
        integer or float dtype and any intensity range. It is not modified.
    sigma : float or sequence of float, optional
        Standard deviation of white noise, in the data's units. With
        ``channel_axis``, a sequence gives one value per channel. With
        ``kernel``, the standard deviation of the white noise the kernel
        filters (default 1).
    psd : array_like, optional
        Noise PSD with one axis per spatial axis, in the unscaled-DFT
        convention (white noise of variance s**2 is the constant
        ``s**2 * psd.size``; see :func:`vexa.psd_white`), on any grid.
    kernel : array_like, optional
        Convolution kernel with one axis per spatial axis: the noise is white
        noise of std ``sigma`` filtered by it. Its PSD is built on the
        profile's frequency grid (:func:`vexa.psd_from_kernel`).
    profile : VEXAProfile or str, optional
        Settings, or a preset name: "default", "fast" or "refine". Unset
        settings follow the noise (:mod:`vexa.adaptation`).
    stage : {"all", "hard", "wiener"}
        Both stages; the hard-thresholding stage only (the basic estimate);
        or the Wiener stage only, with ``basic_estimate`` as its pilot.
    basic_estimate : array_like, optional
        The pilot of ``stage="wiener"``, of the image's shape.
    matches : MatchStore, optional
        Keeps block matches between stages and calls (single-channel data).
    channel_axis : int, optional
        The axis holding channels; each channel is denoised on its own, with
        the settings data of its shape and noise would get.
    progress : None, bool or callable
        None shows a tqdm bar on a terminal when tqdm is installed, True
        always, False never; a callable receives ``(stage, done, total)``
        while a stage runs.
    num_threads : int, optional
        Worker threads (0: every core); overrides the profile's.
    memory_limit : int, optional
        Bytes the run may use; overrides the profile's. The block buffers are
        windowed along as few axes as fit (:func:`vexa.plan_memory`).
    deterministic : bool
        With several threads, make the result bitwise reproducible from run
        to run (for a given thread count): every thread accumulates into
        volumes of its own, added in a fixed order. Costs two float32
        volumes per thread of memory and a few percent of time. Without it,
        results differ from run to run by rounding (about 1e-6 of the
        range), because groups are added in the order threads finish them.

    Returns
    -------
    numpy.ndarray
        The estimate, of the image's shape and units: float64 for float64
        input, else float32.

    Raises
    ------
    ValueError
        A bad argument; the message names it and the values it may take.
    VexaMemoryError
        (a ``MemoryError``) No windowing of the block buffers fits the
        memory available or ``memory_limit``.
    VexaCancelled
        :func:`vexa.cancel` stopped the run.
    VexaError
        (a ``RuntimeError``) The library reported another failure.
    KeyboardInterrupt
        Re-raised once the running stage has stopped; nothing is returned.

    Notes
    -----
    Each stage visits the reference blocks on a grid of ``step``, about
    ``N / prod(step)`` of them for ``N`` samples. For each it compares
    ``W = prod(2 * search_radius + 1)`` candidate blocks of
    ``B = prod(block_size)`` samples and filters a group of at most
    ``G = max_group_size`` blocks in a separable transform domain, so a stage
    costs about ``O(N / prod(step) * B * (W + G * (sum(block_size) + G)))``
    operations, shared by the worker threads. Memory is ``O(N)`` for the
    data, the estimate and the aggregation weights, plus the block buffers
    that :func:`vexa.plan_memory` sizes (``O(N * B)`` unwindowed, less when
    windowed).

    The data is scaled to [0, 1] before the library sees it and the result
    scaled back, so the intensity range does not change the result.

    Examples
    --------
    >>> import numpy as np
    >>> import vexa
    >>> rng = np.random.default_rng(0)
    >>> clean = np.zeros((48, 48))
    >>> clean[12:36, 12:36] = 1.0
    >>> noisy = clean + 0.2 * rng.standard_normal(clean.shape)
    >>> estimate = vexa.denoise(noisy, 0.2, progress=False)
    >>> estimate.shape, estimate.dtype
    ((48, 48), dtype('float64'))
    >>> bool(vexa.estimate_sigma(estimate - clean) < 0.5 * vexa.estimate_sigma(noisy - clean))
    True

    Correlated noise, by the kernel that made it from white noise of std 0.2:

    >>> kernel = np.outer([1.0, 2.0, 1.0], [1.0, 2.0, 1.0]) / 6.0
    >>> vexa.denoise(noisy, 0.2, kernel=kernel, progress=False).shape
    (48, 48)

    A 3-D volume, and channels on the last axis, each with its own
    estimated noise PSD:

    >>> volume = rng.standard_normal((16, 16, 16)).astype(np.float32)
    >>> vexa.denoise(volume, 1.0, progress=False).dtype
    dtype('float32')
    >>> pair = np.stack([noisy, 2.0 * noisy], axis=-1)
    >>> vexa.denoise(pair, channel_axis=-1, progress=False).shape
    (48, 48, 2)
    """
    arr = check.real_array("image", image)
    if psd is not None and kernel is not None:
        raise ValueError("give at most one of psd and kernel")
    if psd is not None:
        if sigma is not None:
            raise ValueError("give either sigma or psd, not both")
        noise, name = psd, "psd"
    elif kernel is not None:
        spatial, _ = _spatial_axes(arr, channel_axis, "image")
        grid = _resolve_profile(profile, spatial).psd_shape
        noise = psd_from_kernel(kernel, grid, sigma=1.0 if sigma is None else sigma)
        name = "kernel"
    elif sigma is not None:
        noise, name = sigma, "sigma"
    else:
        noise, name = None, "psd"  # estimated from the data
    options = (progress, num_threads, memory_limit, deterministic)
    return _denoise(
        arr, noise, ("image", name), profile, stage, basic_estimate, channel_axis, matches, options
    )


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
    deterministic: bool = False,
) -> np.ndarray:
    """The positional form of :func:`denoise`: ``vexa(z, sigma_psd, profile, stage)``.

    ``sigma_psd`` is the noise standard deviation (white noise) or the noise
    PSD array, and with ``channel_axis`` may be a sequence of one standard
    deviation per channel; None estimates the noise PSD from the data
    (:func:`vexa.estimate_psd`). Every other argument is that of
    :func:`denoise`, and so are the result and the exceptions.

    >>> import numpy as np
    >>> noisy = np.random.default_rng(1).standard_normal((32, 32))
    >>> vexa(noisy, 1.0, "fast", progress=False).shape
    (32, 32)
    """
    arr = check.real_array("z", z)
    options = (progress, num_threads, memory_limit, deterministic)
    return _denoise(
        arr, sigma_psd, ("z", "sigma_psd"), profile, stage, basic_estimate, channel_axis, matches,
        options,
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
    """The memory plan :func:`denoise` would use for data of ``shape`` (no channel axis).

    Give the noise ``psd`` (or only its ``psd_shape``) when it is not white:
    its shape sizes the noise tables and its flatness may change the blocks
    (``VEXAProfile.adapt_to_noise``).

    Returns one :class:`StagePlan` per stage; ``split_block_extraction`` of
    each plan is in library order (x, y, z), ``split_in_array_order(...)``
    shows it in array order.

    >>> [plan.stage for plan in plan_memory((64, 64))]
    ['hard', 'wiener']
    """
    shape = tuple(int(s) for s in shape)
    if len(shape) not in (2, 3) or any(s < 1 for s in shape):
        raise ValueError(f"shape must have 2 or 3 positive components, got {shape}")
    stages = stages_for(_stage_key(stage))
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
    grid = resolved.psd_resample_size if psd_shape is None else psd_shape
    threads = thread_count(resolved, num_threads)
    resolved = fit_to_shape(resolved, shape, stages)
    return plans(
        resolved, library_shape(shape), int(np.prod(grid)), stages, threads, memory_limit, 0
    )
