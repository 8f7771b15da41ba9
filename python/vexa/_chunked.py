"""Denoising one chunk of a larger volume: the boxes its stages run on, the
volume-wide scaling, and the library calls. ``vexa.dask`` builds the task
graph around :func:`denoise_block`; this module needs numpy and the library
only, so a worker process imports nothing else to run it.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass
from typing import Optional, Tuple

import numpy as np

from . import _lib
from ._halo import Halo
from .scaling import Scaling, from_unit, to_unit
from ._order import library_shape
from ._run import as_float_ptr, run_stage_call
from .matches import MatchStore
from .profiles import ResolvedProfile
from .stages import Prepared, _parameters, _transforms_for, fit_to_shape, plans, thread_count

__all__ = ["ChunkJob", "denoise_block", "denoise_pieces", "scaled", "unscaled"]

# One chunk at a time per process: the library runs one stage at a time per
# process anyway, and a chunk waiting for it would hold its working memory.
_chunk_lock = threading.Lock()


@dataclass(frozen=True)
class ChunkJob:
    """Everything every chunk of one run shares (sent to every worker)."""

    resolved: ResolvedProfile  # fitted to the whole volume's shape
    stages: Tuple[str, ...]  # ("hard", "wiener"), ("hard",) or ("wiener",)
    halo: Halo
    shape: Tuple[int, ...]  # the whole volume
    chunks: Tuple[Tuple[int, ...], ...]  # the output's chunks
    psd: np.ndarray  # in the scaled units, array order
    variance: float
    scaling: Scaling  # the volume-wide map onto the library's units
    out_dtype: str
    num_threads: Optional[int] = None
    memory_limit: Optional[int] = None

    def core(self, block_id) -> Tuple[Tuple[int, int], ...]:
        """[start, stop) of the chunk ``block_id`` in the whole volume, per axis."""
        out = []
        for sizes, i in zip(self.chunks, block_id):
            start = sum(sizes[:i])
            out.append((start, start + sizes[i]))
        return tuple(out)

    def extended(self, block_id) -> Tuple[Tuple[int, int], ...]:
        """[start, stop) of the chunk with the halo that dask hands over."""
        out = []
        for a, (start, stop) in enumerate(self.core(block_id)):
            left, right = self.halo.depth(a)
            out.append((max(0, start - left), min(self.shape[a], stop + right)))
        return tuple(out)


def scaled(a: np.ndarray, s: Scaling) -> np.ndarray:
    """``a`` in the library's units (the whole-array call's map), one slice at a time."""
    out = np.empty(a.shape, dtype=np.float32)
    for i in range(a.shape[0]):
        out[i] = to_unit(a[i], s)
    return out


def unscaled(a: np.ndarray, s: Scaling, dtype) -> np.ndarray:
    out = np.empty(a.shape, dtype=dtype)
    for i in range(a.shape[0]):
        out[i] = from_unit(a[i], s)
    return out


def _threads(job: ChunkJob) -> int:
    if job.num_threads is not None:
        return thread_count(job.resolved, job.num_threads)
    try:  # a dask.distributed worker: its own share of the cores
        from distributed import get_worker

        return max(1, int(get_worker().state.nthreads))
    except (ImportError, ValueError, AttributeError):
        return thread_count(job.resolved, None)


def _crop(a: np.ndarray, outer, inner) -> np.ndarray:
    """The part [inner) of ``a``, which covers [outer), as a contiguous copy."""
    index = tuple(slice(i0 - o0, i1 - o0) for (o0, _), (i0, i1) in zip(outer, inner))
    return np.ascontiguousarray(a[index])


def _run_stage(name, noisy, pilot, job: ChunkJob, threads, store) -> np.ndarray:
    resolved = fit_to_shape(job.resolved, noisy.shape, (name,))
    image_xyz = library_shape(noisy.shape)
    prep = Prepared(
        noisy, job.psd, library_shape(job.psd.shape), image_xyz, job.variance, job.scaling
    )
    st = getattr(resolved, name)
    slots = 0 if store is None else store._slots(image_xyz, st.step)
    (plan,) = plans(resolved, image_xyz, job.psd.size, (name,), threads, job.memory_limit, slots)
    params = _parameters(st, prep, resolved, plan.split_block_extraction, threads)
    owner, transforms = _transforms_for(st)
    output = np.zeros(noisy.shape, dtype=np.float32)
    storage, reading = None, False
    if store is not None:
        max_matches = max(resolved.hard.max_group_size, resolved.wiener.max_group_size)
        storage, reading = store._prepare(st, image_xyz, max_matches)
    storage_ptr = None if storage is None else _lib.ctypes.pointer(storage)
    lib = _lib.load_library()
    noisy_ptr, psd_ptr = as_float_ptr(noisy), as_float_ptr(job.psd)
    if name == "hard":
        args = (noisy_ptr, psd_ptr, params, transforms, as_float_ptr(output), storage_ptr)
        run_stage_call("hard", lib.vexaInterfaceHT, args, output, None)
    else:
        pilot_ptr = as_float_ptr(pilot)
        args = (
            noisy_ptr,
            psd_ptr,
            params,
            transforms,
            pilot_ptr,
            as_float_ptr(output),
            storage_ptr,
        )
        run_stage_call("wiener", lib.vexaInterfaceWie, args, output, None)
    if store is not None and not reading:
        store._filled_by(st, image_xyz)
    del owner
    return output


def stage_boxes(job: ChunkJob, block_id):
    """Per stage, the box (per axis [begin, end)) it runs on for chunk ``block_id``."""
    core = job.core(block_id)
    per_axis = [job.halo.boxes(lo, hi, job.shape[a], a) for a, (lo, hi) in enumerate(core)]
    return [tuple(axis[k] for axis in per_axis) for k in range(len(job.stages))]


def denoise_block(block, *pilot, block_id=None, job: ChunkJob = None) -> np.ndarray:
    """The estimate of chunk ``block_id`` from its block with halo (and the pilot's)."""
    extended = job.extended(block_id)
    expected = tuple(hi - lo for lo, hi in extended)
    if block.shape != expected:
        raise RuntimeError(
            f"vexa.dask: chunk {block_id} arrived with shape {block.shape}, expected {expected} "
            "(the halo the graph was built with)"
        )
    boxes = stage_boxes(job, block_id)
    core = job.core(block_id)
    with _chunk_lock:
        threads = _threads(job)
        noisy = scaled(_crop(block, extended, boxes[0]), job.scaling)
        guide = None
        if pilot:
            guide = scaled(_crop(pilot[0], extended, boxes[0]), job.scaling)
        store = MatchStore() if job.halo.shared_box else None
        box = boxes[0]
        for name, next_box in zip(job.stages, boxes):
            if next_box != box:
                noisy = _crop(noisy, box, next_box)
                guide = _crop(guide, box, next_box)
                box = next_box
            guide = _run_stage(name, noisy, guide, job, threads, store)
        del noisy
        return unscaled(_crop(guide, box, core), job.scaling, job.out_dtype)


def _assemble(pieces, origins, extended, dtype) -> np.ndarray:
    """The block covering ``extended`` from the neighbouring chunks that overlap it."""
    out = np.empty(tuple(hi - lo for lo, hi in extended), dtype=dtype)
    for piece, origin in zip(pieces, origins):
        src, dst = [], []
        for (lo, hi), o, n in zip(extended, origin, piece.shape):
            a, b = max(lo, o), min(hi, o + n)
            src.append(slice(a - o, b - o))
            dst.append(slice(a - lo, b - lo))
        out[tuple(dst)] = piece[tuple(src)]
    return out


def denoise_pieces(pieces, origins, pilot_pieces, block_id, job: ChunkJob) -> np.ndarray:
    """:func:`denoise_block` of chunk ``block_id`` given the input chunks around it (and
    the pilot's), each with its origin in the volume; the halo is cut from them here, so
    no intermediate halo block outlives the task."""
    extended = job.extended(block_id)
    block = _assemble(pieces, origins, extended, pieces[0].dtype)
    pilot = ()
    if pilot_pieces:
        pilot = (_assemble(pilot_pieces, origins, extended, pilot_pieces[0].dtype),)
    return denoise_block(block, *pilot, block_id=block_id, job=job)
