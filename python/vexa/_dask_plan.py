"""Chunk sizes for a memory budget: what one chunk task of ``vexa.dask`` holds at its peak.

A task holds the input chunks its halo reaches (they are its arguments), the
chunk with halo cut from them (in the input's dtype), the result it returns,
and the peak of
its largest stage call on its own box (``planning.estimate_stage_memory``:
the scaled input, the stage's output and pilot, weights, noise tables, block
buffers and every job's working memory). Chunks run one at a time per
process, so this is also what a worker needs beyond its baseline.
"""

from __future__ import annotations

import math
import numbers
from typing import Optional, Tuple

import numpy as np

from ._checks import INT_MAX
from ._halo import Halo, halo_for
from ._order import library_shape
from .adaptation import flatness_of
from .api import STAGES, _resolve_profile
from .errors import VexaMemoryError
from .planning import _fmt, available_memory, plan_stage
from .stages import fit_to_shape, stages_for, thread_count

__all__ = ["halo", "chunk_memory", "plan_chunks"]

AUTO_SHARE = 0.25  # chunks="auto" without memory_limit: a quarter of the memory available
# Chunks are planned for this share of memory_limit: the rest is left to the
# allocator's slack (freed blocks it keeps) and the worker's own bookkeeping.
HEADROOM = 0.85


def _stage_key(stage):
    key = STAGES.get(stage) if isinstance(stage, str) else None
    if key is None:
        raise ValueError(f"stage must be one of 'all', 'hard', 'wiener', got {stage!r}")
    return key


def _shape(shape) -> Tuple[int, ...]:
    try:
        out = tuple(int(s) for s in shape)
    except (TypeError, ValueError):
        out = ()
    if len(out) not in (2, 3) or any(s < 1 for s in out):
        raise ValueError(f"shape must have 2 or 3 positive components, got {shape!r}")
    return out


def _resolved_for(shape, profile, stage, noise_psd=None):
    """The profile for data of ``shape`` (any size), search radii clamped to it."""
    ndim = len(shape)
    flatness = flatness_of(noise_psd, ndim) if noise_psd is not None else None
    resolved = _resolve_profile(profile, ndim, flatness, shape)
    # The clamp and the checks only look at an axis up to radius + block: a proxy
    # of that size stands for a volume beyond the library's size limit.
    cap = [0] * ndim
    for st in (resolved.hard, resolved.wiener):
        for a in range(ndim):
            lib = ndim - 1 - a
            cap[a] = max(cap[a], st.search_radius[lib] + st.block_size[lib] + 1)
    proxy = tuple(min(n, c) for n, c in zip(shape, cap))
    return fit_to_shape(resolved, proxy, stages_for(stage))


def _halo_of(resolved, stage) -> Halo:
    names = stages_for(stage)
    shared = bool(resolved.reuse_matches) and stage == "all"
    return halo_for([getattr(resolved, n) for n in names], resolved.ndim, shared)


def halo(shape, profile=None, stage: str = "all", *, psd=None) -> Halo:
    """The halo a run on data of ``shape`` needs (``.depths()``, ``.minimum_chunk()``).

    Give the noise ``psd`` when it is not white: it may change the blocks.
    """
    shape = _shape(shape)
    stage = _stage_key(stage)
    return _halo_of(_resolved_for(shape, profile, stage, psd), stage)


def check_box_size(h: Halo, edge, shape, stage) -> None:
    """Refuses chunks whose boxes exceed the library's 2**31 - 1 samples."""
    for name, box in zip(stages_for(stage), _worst_boxes(h, edge, shape)):
        if math.prod(box) > INT_MAX:
            raise ValueError(
                f"chunks of {tuple(edge)} give {name} stage boxes of {box} voxels, more than the "
                "library's 2**31 - 1 samples; use smaller chunks"
            )


def _worst_boxes(h: Halo, edge, shape):
    """Per stage, the largest box shape of a chunk of ``edge`` anywhere in ``shape``."""
    stages = len(h.stages)
    sizes = [[0] * len(shape) for _ in range(stages)]
    for a, n in enumerate(shape):
        e = min(edge[a], n)
        if e >= n:
            for k in range(stages):
                sizes[k][a] = n
            continue
        left, right = h.depth(a)
        period = math.lcm(*(per_axis[a].step for per_axis in h.stages))
        for shift in range(period):
            start = left + shift  # an interior chunk, for every grid phase
            big = start + e + right + left
            for k, (b0, b1) in enumerate(h.boxes(start, start + e, big, a)):
                sizes[k][a] = max(sizes[k][a], min(n, b1 - b0))
    return [tuple(s) for s in sizes]


def task_bytes(h: Halo, edge, shape, stage, dtype) -> int:
    """What a task holds besides its stage calls: the input chunks its halo reaches
    (all in memory while it runs: up to 3 per split axis), the chunk with halo cut
    from them (twice with a pilot), and the result with the copy a store encodes."""
    item = np.dtype(dtype).itemsize
    out_item = 8 if np.dtype(dtype) == np.float64 else 4
    extended = core = around = 1
    for a, n in enumerate(shape):
        e = min(edge[a], n)
        left, right = h.depth(a)
        extended *= min(n, e + left + right)
        core *= e
        around *= min(3, -(-n // e))
    inputs = 2 if stage == "wiener" else 1
    return inputs * (around * core + extended) * item + 2 * core * out_item


def chunk_memory(
    chunk,
    shape,
    profile=None,
    stage: str = "all",
    *,
    psd=None,
    num_threads: Optional[int] = None,
    dtype=np.float32,
    memory_limit: Optional[int] = None,
) -> int:
    """Bytes one chunk task needs at its peak, for chunks of edge ``chunk`` (an int or
    one per axis) of data of ``shape`` and ``dtype``.

    ``memory_limit`` lets each stage window its block buffers to fit (as the
    run will); raises VexaMemoryError when a stage cannot fit at all.
    """
    shape = _shape(shape)
    stage = _stage_key(stage)
    edge = _edge(chunk, len(shape))
    resolved = _resolved_for(shape, profile, stage, psd)
    h = _halo_of(resolved, stage)
    threads = thread_count(resolved, num_threads)
    check_box_size(h, edge, shape, stage)
    extra = task_bytes(h, edge, shape, stage, dtype)
    psd_points = int(np.prod(resolved.psd_resample_size)) if psd is None else int(np.size(psd))
    stage_limit = None if memory_limit is None else max(1, int(memory_limit) - extra)
    peak = 0
    for name, box in zip(stages_for(stage), _worst_boxes(h, edge, shape)):
        fitted = fit_to_shape(resolved, box, (name,))
        plan = plan_stage(
            getattr(fitted, name),
            library_shape(box),
            psd_points,
            resolved.psd_resample_size,
            resolved.psd_symmetry,
            resolved.split_block_extraction,
            threads,
            wiener=(name == "wiener"),
            memory_limit=stage_limit,
        )
        peak = max(peak, plan.estimate)
    return int(peak + extra)


def _edge(chunk, ndim) -> Tuple[int, ...]:
    if isinstance(chunk, numbers.Integral) and not isinstance(chunk, bool):
        edge = (int(chunk),) * ndim
    else:
        try:
            edge = tuple(int(c) for c in chunk)
        except (TypeError, ValueError):
            edge = ()
    if len(edge) != ndim or any(e < 1 for e in edge):
        raise ValueError(f"chunk must be a positive int or {ndim} positive ints, got {chunk!r}")
    return edge


def plan_chunks(
    shape,
    memory_limit: Optional[int] = None,
    *,
    profile=None,
    stage: str = "all",
    psd=None,
    num_threads: Optional[int] = None,
    dtype=np.float32,
) -> Tuple[int, ...]:
    """The largest cubic chunk edge (per axis, capped at the shape) whose task fits
    ``HEADROOM`` (85 %) of ``memory_limit`` bytes (default: a quarter of the memory
    available now).

    Raises VexaMemoryError, naming the smallest chunk's need, when even the
    smallest chunk the halo allows does not fit.
    """
    shape = _shape(shape)
    stage = _stage_key(stage)
    if memory_limit is None:
        memory_limit = int(available_memory() * AUTO_SHARE)
    if (
        isinstance(memory_limit, bool)
        or not isinstance(memory_limit, numbers.Real)
        or not memory_limit > 0
    ):
        raise ValueError(f"memory_limit must be a positive number of bytes, got {memory_limit!r}")
    resolved = _resolved_for(shape, profile, stage, psd)
    minimum = _halo_of(resolved, stage).minimum_chunk()
    kwargs = dict(profile=profile, stage=stage, psd=psd, num_threads=num_threads, dtype=dtype)
    target = int(memory_limit * HEADROOM)

    def need(e):
        edge = tuple(min(max(e, m), n) for m, n in zip(minimum, shape))
        try:
            return chunk_memory(edge, shape, memory_limit=target, **kwargs), edge
        except (VexaMemoryError, ValueError):  # no windowing fits, or boxes too large
            return math.inf, edge

    lo = max(minimum)
    cost, edge = need(lo)
    if cost > target:
        shown = "an unknown amount" if cost == math.inf else f"about {_fmt(int(cost))}"
        raise VexaMemoryError(
            f"vexa.dask: the smallest chunks the halo allows ({edge}) need {shown} per task, "
            f"more than {HEADROOM:.0%} of memory_limit ({_fmt(int(memory_limit))}); raise it, "
            "use fewer threads or a profile with smaller search windows"
        )
    hi = max(shape)
    if need(hi)[0] <= target:
        return need(hi)[1]
    while hi - lo > 1:  # cost grows with the edge
        mid = (lo + hi) // 2
        if need(mid)[0] <= target:
            lo = mid
        else:
            hi = mid
    return need(lo)[1]
