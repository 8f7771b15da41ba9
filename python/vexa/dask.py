"""Chunked and distributed denoising of Dask arrays, equal to the whole-volume run.

``vexa.dask.denoise(array, sigma, ...)`` takes a ``dask.array.Array`` (or
anything array-like), takes the same keywords as :func:`vexa.denoise`, and
returns a lazy ``dask.array.Array`` of the estimate with the input's chunks:
every chunk is denoised with a halo borrowed from its neighbours, and only its
own voxels are kept. The graph is ``map_overlap``'s halo exchange with one task
per chunk that cuts its halo from the neighbouring chunks itself, so no halo
block waits in a worker's memory between tasks. It runs on
any Dask scheduler, ``dask.distributed`` clusters included. Needs the
optional extra: ``pip install 'vexa[dask]'``.

Why the result is exact
-----------------------
One stage (block edge B, search radius R, reference step s along an axis)
writes an output voxel v only through the groups whose members cover v. A
member lies within R of its reference, so the references that reach v lie in
[v - B + 1 - R, v + R]; each of them matches blocks in its search window,
whose blocks cover [r - R, r + R + B - 1]. So v depends on the data in
[v - L, v + L] with L = 2R + B - 1, and on three more things that a box cut
out of the volume must reproduce:

1. The reference grid. The library places references at 0, s, 2s, ... from
   the box's origin, so a box starts at a multiple of s (or at the volume's
   start): then its grid is the volume's grid.
2. The search windows. The library clips a window at the box's faces; every
   reference that reaches v has its whole window inside [v - L, v + L], so a
   box reaching L beyond the output range clips only what the volume clips.
3. The clamped last position. The library adds one reference at the box's
   last block origin (end - B) when the grid misses it; it reaches voxels from
   end - B - R on. Keeping the box's end max(L, R + B) past the output range
   keeps it away (the true volume end has the same position in both runs).

The Wiener stage matches on the basic estimate and filters the noisy data
with the same geometry, so its output range needs the basic estimate right
on [start - L2, stop + L2]; the hard stage then runs on a box reaching L1
(aligned to its step) before that and max(L1, R1 + B1) after it. Per axis, a
chunk therefore borrows at most

    left  = L1 + L2 + s1 - 1          right = L2 + max(L1, R1 + B1)

voxels (``halo(...).depths()``), with L = 2R + B - 1 per stage. Boxes stop at
the volume's faces, where both runs see the same border. Both stages of a
chunk run on its own boxes (the Wiener box cut from the hard box), the data
is scaled with the volume-wide minimum and maximum, and the noise PSD is the
same for every chunk, so each stage call sees exactly the numbers the
whole-volume call sees around those voxels. The estimate agrees with
:func:`vexa.denoise` on the whole array bit for bit with ``num_threads=1``.
With more threads the library's aggregation order depends on how its jobs
cut the box, and block matching turns that rounding into rare changed groups:
chunked and whole runs then differ as much as the whole run does between
thread counts (1e-5 relative RMS on a 64**3 phantom, default profile). With
``reuse_matches`` both stages run on the hard box (the stored matches belong
to its grid).

Chunks always run single-scale: the multiscale path (``VEXAProfile.multiscale``,
:mod:`vexa.multiscale`) filters the whole spectrum, which no chunk sees. The
estimate equals :func:`vexa.denoise` with ``multiscale=False``; a profile that
forces ``multiscale=True`` is refused.

Chunks must be at least ``max(left, right)`` along every axis that has more
than one chunk (dask takes the halo from the next chunk only): smaller
chunks are refused with the minimum in the message; ``chunks=`` rechunks.
For the default 3-D profile the halo is (22, 20) voxels per axis.

``memory_limit`` is the budget of one worker: ``chunks="auto"`` picks the
largest cubic chunks whose run, halo and Dask's copies included, fits it
(:func:`plan_chunks`, :func:`chunk_memory`).
"""

from __future__ import annotations

import importlib
import numbers
from typing import Optional, Sequence

import numpy as np

from . import _checks as check
from . import _chunked
from ._dask_plan import (
    HEADROOM,
    _halo_of,
    _resolved_for,
    _stage_key,
    check_box_size,
    chunk_memory,
    halo,
    plan_chunks,
    task_bytes,
)
from .api import _resolve_profile
from .psd import estimate_sigma, noise_variance, psd_from_kernel
from .scaling import Scaling, noise_psd
from .stages import stages_for

__all__ = ["denoise", "halo", "plan_chunks", "chunk_memory", "estimate_noise"]

SAMPLE_CHUNKS = 8


def _dask_array():
    try:
        return importlib.import_module("dask.array")
    except ImportError:
        raise ImportError("vexa.dask needs dask: pip install 'vexa[dask]'") from None


def _noise_argument(sigma, psd, kernel, resolved_grid):
    if psd is not None and kernel is not None:
        raise ValueError("give at most one of psd and kernel")
    if psd is not None:
        if sigma is not None:
            raise ValueError("give either sigma or psd, not both")
        return psd
    if kernel is not None:
        return psd_from_kernel(kernel, resolved_grid, sigma=1.0 if sigma is None else sigma)
    return sigma


def _stage_limit(memory_limit, the_halo, array, stage):
    """The share of ``memory_limit`` left to a chunk's stage calls."""
    if memory_limit is None:
        return None
    edge = tuple(max(c) for c in array.chunks)
    extra = task_bytes(the_halo, edge, array.shape, stage, array.dtype)
    return max(1, int(memory_limit * HEADROOM) - extra)


def _check_budget(edge, shape, memory_limit, profile, stage, noise, num_threads, dtype):
    """Refuses chunks whose task would not fit ``memory_limit``, before any work."""
    from .errors import VexaMemoryError
    from .planning import _fmt

    target = int(memory_limit * HEADROOM)
    psd = None if np.ndim(noise) == 0 else noise
    try:
        need = chunk_memory(
            edge,
            shape,
            profile,
            stage,
            psd=psd,
            num_threads=num_threads,
            dtype=dtype,
            memory_limit=target,
        )
    except VexaMemoryError:
        need = None
    if need is None or need > target:
        shown = "more" if need is None else f"about {_fmt(need)}"
        raise VexaMemoryError(
            f"vexa.dask: chunks of {edge} need {shown} per task, more than "
            f"{HEADROOM:.0%} of memory_limit ({_fmt(int(memory_limit))}); use chunks='auto' "
            "or smaller chunks (vexa.dask.plan_chunks)"
        )


def _sample_blocks(arr, count):
    """Up to ``count`` chunks spread over the array, as dask arrays."""
    grid = arr.numblocks
    total = int(np.prod(grid))
    picks = sorted(set(np.linspace(0, total - 1, min(count, total)).round().astype(int)))
    return [arr.blocks[np.unravel_index(i, grid)] for i in picks]


def estimate_noise(samples, psd_shape=None):
    """The noise of sampled chunks: a PSD of ``psd_shape`` when :func:`vexa.estimate_psd`
    exists, else the median white-noise sigma (:func:`vexa.estimate_sigma`)."""
    vexa_pkg = importlib.import_module("vexa")
    if psd_shape is not None and hasattr(vexa_pkg, "estimate_psd"):
        psds = [np.asarray(vexa_pkg.estimate_psd(s, psd_shape), np.float64) for s in samples]
        return np.mean(psds, axis=0).astype(np.float32)
    return float(np.median([estimate_sigma(s) for s in samples]))


def _check_chunks(arr, minimum, ndim):
    for a in range(ndim):
        sizes = arr.chunks[a]
        if len(sizes) > 1 and min(sizes) < minimum[a]:
            raise ValueError(
                f"chunks along axis {a} must be at least {minimum[a]} voxels (the halo this "
                f"profile needs) when the axis is split, got {min(sizes)} in {sizes}; pass "
                f"chunks= (e.g. chunks={max(minimum) * 4}) or chunks='auto' to rechunk"
            )


def regular_chunks(shape, edge, minimum):
    """Chunks of ``edge`` per axis; a last chunk below the minimum joins the one before."""
    out = []
    for a, n in enumerate(shape):
        e = max(1, min(int(edge[a]), n))
        sizes = [e] * (n // e)
        if n % e:
            if sizes and n % e < minimum[a]:
                sizes[-1] += n % e
            else:
                sizes.append(n % e)
        out.append(tuple(sizes))
    return tuple(out)


def _rechunk(arr, chunks, minimum, plan):
    if chunks is None:
        return arr
    if isinstance(chunks, str):
        if chunks != "auto":
            raise ValueError(
                f"chunks must be None, 'auto', an int or one int per axis, got {chunks!r}"
            )
        edge = plan()
    elif isinstance(chunks, numbers.Integral) and not isinstance(chunks, bool):
        edge = (int(chunks),) * arr.ndim
    else:
        try:
            edge = tuple(int(c) for c in chunks)
        except (TypeError, ValueError):
            edge = ()
        if len(edge) != arr.ndim:
            raise ValueError(
                f"chunks must be None, 'auto', an int or {arr.ndim} ints, got {chunks!r}"
            )
    if any(e < 1 for e in edge):
        raise ValueError(f"chunks must be positive, got {chunks!r}")
    target = regular_chunks(arr.shape, edge, minimum)
    return arr if target == arr.chunks else arr.rechunk(target)


def denoise(
    array,
    sigma=None,
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
    chunks=None,
    value_range: Optional[Sequence[float]] = None,
):
    """Denoises a Dask array chunk by chunk; the same estimate as :func:`vexa.denoise`.

    Takes the keywords of :func:`vexa.denoise`, plus:

    chunks : None, "auto", int or one int per axis
        None keeps the array's chunks; "auto" picks them from ``memory_limit``
        (:func:`plan_chunks`); a number rechunks (a last chunk too small for
        the halo joins its neighbour).
    value_range : (min, max), optional
        The data's minimum and maximum, when known, to skip the pass over the
        data that finds them (the volume-wide scaling must use the true ones
        for the result to equal the whole-volume run).

    ``memory_limit`` is the budget of one Dask worker (bytes); each chunk's
    stage calls plan their block buffers within it. ``num_threads`` is the
    library's threads per chunk; None uses a distributed worker's thread
    count, or every core on the local schedulers (chunks run one at a time per
    process). ``progress`` is accepted for symmetry: progress is Dask's
    (``dask.diagnostics.ProgressBar``, ``distributed.progress``). Without
    sigma, psd or kernel the noise is estimated once from up to 8 chunks
    (:func:`estimate_noise`). Computing the value range (and that sample)
    happens when this function is called; the denoising when the result is
    computed.
    """
    da = _dask_array()
    stage = _stage_key(stage)
    if memory_limit is not None and (
        isinstance(memory_limit, bool)
        or not isinstance(memory_limit, numbers.Real)
        or not memory_limit > 0
    ):
        raise ValueError(
            f"memory_limit must be a positive number of bytes or None, got {memory_limit!r}"
        )
    if not isinstance(array, da.Array):
        array = check.real_array("array", array)
        array = da.from_array(array, chunks=array.shape)
    if array.dtype.kind not in "iuf":
        raise ValueError(
            f"array must hold real numbers (integer or float dtype), got {array.dtype}"
        )
    if progress not in (None, True, False):
        raise ValueError(
            f"progress must be None, True or False here (Dask reports progress), got {progress!r}"
        )
    if stage != "wiener" and basic_estimate is not None:
        raise ValueError("basic_estimate is only used with stage='wiener'")
    if stage == "wiener" and basic_estimate is None:
        raise ValueError("basic_estimate is required for stage='wiener'")
    if channel_axis is not None:
        from ._dask_channels import denoise_channels

        return denoise_channels(
            denoise,
            array,
            sigma,
            psd,
            kernel,
            basic_estimate,
            channel_axis,
            dict(
                profile=profile,
                stage=stage,
                num_threads=num_threads,
                memory_limit=memory_limit,
                chunks=chunks,
                value_range=value_range,
            ),
        )
    if array.ndim not in (2, 3):
        raise ValueError(
            f"array must have 2 or 3 spatial axes (plus channel_axis), got shape {array.shape}"
        )
    shape = tuple(int(s) for s in array.shape)
    out_dtype = np.float64 if array.dtype == np.float64 else np.float32

    grid = _resolve_profile(profile, len(shape)).psd_shape
    noise = _noise_argument(sigma, psd, kernel, grid)
    resolved = _resolved_for(shape, profile, stage, None if np.ndim(noise) == 0 else noise)
    if getattr(profile, "multiscale", None) is True:
        raise ValueError(
            "profile.multiscale=True is not available in vexa.dask.denoise, whose chunks run "
            "single-scale; use multiscale=None or False"
        )
    the_halo = _halo_of(resolved, stage)
    minimum = the_halo.minimum_chunk()
    array = _rechunk(
        array,
        chunks,
        minimum,
        lambda: plan_chunks(
            shape,
            memory_limit,
            profile=profile,
            stage=stage,
            num_threads=num_threads,
            dtype=array.dtype,
            psd=None if np.ndim(noise) == 0 else noise,
        ),
    )
    _check_chunks(array, minimum, array.ndim)
    edge = tuple(max(c) for c in array.chunks)
    check_box_size(the_halo, edge, shape, stage)
    if memory_limit is not None:
        _check_budget(edge, shape, memory_limit, profile, stage, noise, num_threads, array.dtype)

    pending = {}
    if value_range is None:
        pending["lo"], pending["hi"] = array.min(), array.max()
    if noise is None:
        pending["samples"] = _sample_blocks(array, SAMPLE_CHUNKS)
    if pending:
        import dask

        (found,) = dask.compute(pending)
    else:
        found = {}
    if value_range is not None:
        lo, hi = (float(v) for v in value_range)
    else:
        lo, hi = float(found["lo"]), float(found["hi"])
    if not (np.isfinite(lo) and np.isfinite(hi)) or hi < lo:
        raise ValueError(
            "array must not contain NaN or infinite values (its min/max are not finite)"
        )
    if noise is None:
        noise = estimate_noise(
            found["samples"],
            grid if hasattr(importlib.import_module("vexa"), "estimate_psd") else None,
        )
        if np.ndim(noise) == 0 and not noise > 0:
            raise ValueError("the estimated noise level is 0; give sigma, psd or kernel")
    # The same map as the whole-array call's (data_scaling), from the volume's range.
    half = hi * 0.5 - lo * 0.5
    scaling = Scaling(lo, half if half > 0 else 0.5)
    norm_psd = noise_psd(
        noise, "psd" if np.ndim(noise) else "sigma", resolved.psd_shape, resolved.ndim, scaling
    )
    variance = noise_variance(norm_psd)
    if not variance > 0 or not np.isfinite(variance):
        raise ValueError("the noise must have positive, finite power")

    job = _chunked.ChunkJob(
        resolved=resolved,
        stages=stages_for(stage),
        halo=the_halo,
        shape=shape,
        chunks=array.chunks,
        psd=norm_psd,
        variance=variance,
        scaling=scaling,
        out_dtype=np.dtype(out_dtype).str,
        num_threads=num_threads,
        memory_limit=_stage_limit(memory_limit, the_halo, array, stage),
    )
    inputs = [array]
    if stage == "wiener":
        basic = basic_estimate
        if not isinstance(basic, da.Array):
            basic = da.from_array(check.real_array("basic_estimate", basic), chunks=array.chunks)
        if basic.shape != array.shape:
            raise ValueError(
                f"basic_estimate must have the data's shape {shape}, got {basic.shape}"
            )
        inputs.append(basic.rechunk(array.chunks))
    return _halo_graph(inputs, job, out_dtype)


def _neighbours(job, block_id):
    """Per axis, the chunk indexes whose voxels the chunk's halo reaches."""
    per_axis = []
    for a, ((lo, hi), sizes) in enumerate(zip(job.extended(block_id), job.chunks)):
        edges = np.cumsum((0,) + tuple(sizes))
        per_axis.append([i for i in range(len(sizes)) if edges[i] < hi and edges[i + 1] > lo])
    return per_axis


def _halo_graph(inputs, job, out_dtype):
    """One task per chunk, reading the chunks its halo reaches straight from the input
    (the halo exchange of ``map_overlap`` without its intermediate halo blocks)."""
    import itertools

    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph

    da = _dask_array()
    name = "vexa-denoise-" + tokenize(*inputs, job)
    edges = [np.cumsum((0,) + tuple(c)) for c in job.chunks]
    graph = {}
    for block_id in itertools.product(*(range(len(c)) for c in job.chunks)):
        around = list(itertools.product(*_neighbours(job, block_id)))
        origins = [tuple(int(edges[a][i]) for a, i in enumerate(idx)) for idx in around]
        pieces = [(inputs[0].name,) + idx for idx in around]
        pilot = [(inputs[1].name,) + idx for idx in around] if len(inputs) > 1 else []
        graph[(name,) + block_id] = (_chunked.denoise_pieces, pieces, origins, pilot, block_id, job)
    hlg = HighLevelGraph.from_collections(name, graph, dependencies=inputs)
    return da.Array(hlg, name, chunks=job.chunks, dtype=out_dtype)
