"""Memory planning: what one stage call needs, and which block buffers to window.

Sizes follow the library's own allocations: the block buffers (one per
volume the stage reads: the noisy volume, and in the Wiener stage the basic
estimate too) hold blockCount * totalBlockSize floats, shared by all jobs
when no axis is windowed, one set per job otherwise; every job also holds
its group buffers and scratch, and the stage its weights (a ring of slices
along the cut axis behind the walk; the whole volume in deterministic runs)
and noise
tables.
"""

from __future__ import annotations

import math
import os
import sys
from dataclasses import dataclass
from typing import Optional, Tuple

from .errors import VexaMemoryError
from ._checks import INT_MAX
from ._order import split_in_array_order
from .profiles import ResolvedStage

__all__ = ["StagePlan", "estimate_stage_memory", "plan_stage", "available_memory"]

FLOAT = 4
COMPLEX = 8
BLOCK_RECORD = 48  # one group member record (pointer, distance, two positions, padding)
LONG_IS_32_BITS = sys.platform.startswith("win")
# Without memory_limit, "auto" keeps the fewest windowed axes whose plan takes
# at most this share of the available memory (and at most 80 % in any case).
AUTO_SHARE = 0.25
# ... and, for blocks of up to AUTO_CAPPED_BLOCK coefficients, whose block
# buffers take at most AUTO_SMALL_BUFFERS on volumes of up to
# AUTO_SMALL_VOLUME bytes as float32 (crops up to some 100^3 keep whole
# buffers, the fastest plan; larger crops window the cut axis, whose buffers
# slide from line to line at almost no cost), and at most AUTO_LARGE_SHARE of
# the volume's float32 size beyond (large volumes window y and z: a few MiB
# per job, for some 10 % more time, as each line refills its search windows),
# so that the stage's peak stays near 3 to 4 times the volume. Larger blocks
# cost more to refill (about the fourth power of the edge), so they keep the
# cheaper plan while it fits AUTO_SHARE.
AUTO_SMALL_VOLUME = 64 << 20
AUTO_SMALL_BUFFERS = 512 << 20
AUTO_LARGE_SHARE = 0.25
AUTO_CAPPED_BLOCK = 64
UNREACHABLE = 1 << 62

# Candidate windowings in library order (x, y, z), fewest windowed axes first.
# The cut axis (z for a volume, y for an image) is windowed first, as the
# library's own advice says.
_CANDIDATES_3D = (
    (False, False, False),
    (False, False, True),
    (False, True, True),
    (True, True, True),
)
_CANDIDATES_2D = ((False, False, False), (False, True, False), (True, True, False))


def _candidates(stage, image_xyz, flat):
    """The windowings "auto" tries, in order.

    On a volume whose cut axis is longer than its search window, the window
    along z comes first, before whole buffers: its buffers slide from line to
    line (one thread) or within each chunk of lines (several), so a block is
    extracted once or a little more, and they skip the page faults of
    whole-volume buffers (on a 96^3 crop, white noise: 5.5 against 6.8 CPU
    seconds on one thread, 38 against 406 MiB).
    """
    if flat:
        return _CANDIDATES_2D
    origins = image_xyz[2] - stage.block_size[2] + 1
    if 2 * stage.search_radius[2] + 1 < origins:
        return _CANDIDATES_3D[1:2] + _CANDIDATES_3D[:1] + _CANDIDATES_3D[2:]
    return _CANDIDATES_3D


@dataclass(frozen=True)
class StagePlan:
    """The outcome of planning one stage."""

    stage: str
    split_block_extraction: Tuple[bool, bool, bool]
    """Library order (x, y, z)."""
    estimate: int
    """Bytes the stage call is expected to use at its peak (host buffers included)."""
    block_buffers: int
    """Of which the block buffers."""
    limit: int
    num_threads: int


def _collection_floats(image, block, radius, split):
    """Floats of one block buffer: every block origin of a whole axis, the
    search window (2 r + 1 origins) of a windowed one."""
    n = 1
    for a in range(3):
        origins = image[a] - block[a] + 1
        n *= min(origins, 2 * radius[a] + 1) if split[a] else origins
    return n * block[0] * block[1] * block[2]


def _weight_slices(stage, image_xyz, split, num_threads):
    """Slices of the cut axis the weights take: a ring behind the walk."""
    a = 1 if image_xyz[2] == 1 else 2
    n = image_xyz[a]
    r, block, step = stage.search_radius[a], stage.block_size[a], stage.step[a]
    chunk = -(-(2 * r + block + 2 * step) // step)
    lines = 1 if num_threads <= 1 else (num_threads + 2) * chunk
    return min(n, lines * step + 2 * r + block + step + 1)


def work_width_x(resample, symmetry):
    rx, ry, rz = resample
    if symmetry and rx == ry and (rz == rx or rz == 1):
        w = math.ceil(rx * 0.5 + 1.0)
        if w < rx:
            return int(w)
    return rx


def estimate_stage_memory(
    stage: ResolvedStage,
    image_xyz,
    psd_points: int,
    resample_xyz,
    symmetry: bool,
    split,
    num_threads: int,
    wiener: bool,
    store_slots: int = 0,
) -> Tuple[int, int]:
    """(total bytes, block-buffer bytes) for one stage call."""
    voxels = image_xyz[0] * image_xyz[1] * image_xyz[2]
    b = stage.block_count
    g = stage.max_group_size
    rx, ry, rz = resample_xyz
    f = rx * ry * rz
    nx = work_width_x(resample_xyz, symmetry)
    jobs = max(1, num_threads)

    volumes = 3 if wiener else 2  # host: noisy, output, basic estimate
    host = volumes * voxels * FLOAT + psd_points * FLOAT
    if store_slots:
        host += store_slots * (1 + 6 * g) * 4

    cut = image_xyz[1] if image_xyz[2] == 1 else image_xyz[2]
    weights = voxels // max(cut, 1) * _weight_slices(stage, image_xyz, split, jobs) * FLOAT
    radius = stage.search_radius
    bias = (2 * radius[0] + 1) * (2 * radius[1] + 1) * (2 * radius[2] + 1) * FLOAT
    tables = 3 * b * f * FLOAT + f * FLOAT + b * FLOAT  # K3fT3 and its transient inputs
    temp = (
        FLOAT * rz * ry * nx * g
        + COMPLEX * f * g
        + rz * ry
        + 3 * FLOAT * b
        + 2 * COMPLEX * max(2, stage.variance_group_size) * max(resample_xyz)
        + FLOAT * g
    )
    memory = 4 * FLOAT * b * g + FLOAT * g + BLOCK_RECORD * g
    per_job = temp + memory

    collections = 2 if wiener else 1
    floats = _collection_floats(image_xyz, stage.block_size, radius, split)
    if LONG_IS_32_BITS and floats > INT_MAX:
        # One block buffer is indexed by a C long, 32 bits on Windows.
        return UNREACHABLE, UNREACHABLE
    shared = not any(split)
    copies = collections * (1 if shared else jobs)
    blocks = copies * floats * FLOAT

    total = host + weights + bias + tables + temp + jobs * per_job + blocks
    return int(total), int(blocks)


def available_memory() -> int:
    """Physical memory available now, in bytes (a conservative guess when unknown)."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    if sys.platform.startswith("win"):
        try:
            import ctypes

            class _Status(ctypes.Structure):
                _fields_ = [
                    ("dwLength", ctypes.c_ulong),
                    ("dwMemoryLoad", ctypes.c_ulong),
                    ("ullTotalPhys", ctypes.c_ulonglong),
                    ("ullAvailPhys", ctypes.c_ulonglong),
                    ("ullTotalPageFile", ctypes.c_ulonglong),
                    ("ullAvailPageFile", ctypes.c_ulonglong),
                    ("ullTotalVirtual", ctypes.c_ulonglong),
                    ("ullAvailVirtual", ctypes.c_ulonglong),
                    ("ullAvailExtendedVirtual", ctypes.c_ulonglong),
                ]

            status = _Status()
            status.dwLength = ctypes.sizeof(_Status)
            if ctypes.windll.kernel32.GlobalMemoryStatusEx(ctypes.byref(status)):
                return int(status.ullAvailPhys)
        except (AttributeError, OSError):
            pass
    try:
        return int(os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"))
    except (AttributeError, ValueError, OSError):
        return 4 << 30


def _fmt(n: int) -> str:
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB"):
        if n < 1024 or unit == "TiB":
            return f"{n:.0f} {unit}" if unit == "bytes" else f"{n:.1f} {unit}"
        n /= 1024.0
    return str(n)


def plan_stage(
    stage: ResolvedStage,
    image_xyz,
    psd_points: int,
    resample_xyz,
    symmetry: bool,
    split,
    num_threads: int,
    wiener: bool,
    memory_limit: Optional[int] = None,
    store_slots: int = 0,
    extra_bytes: int = 0,
) -> StagePlan:
    """Chooses (``split == "auto"``) or checks the windowing of the block buffers.

    ``extra_bytes`` is memory the call needs besides the stage's own estimate
    (the per-thread accumulation volumes of a deterministic run).

    Raises MemoryError, with the estimate, when nothing fits the limit.
    """
    if memory_limit is not None:
        limit = budget = int(memory_limit)
    else:
        # Windowing the cut axis costs almost no time, so without an explicit
        # limit whole-volume buffers are kept only while they stay modest.
        available = available_memory()
        limit = int(available * 0.8)
        budget = int(available * AUTO_SHARE)
    voxels = image_xyz[0] * image_xyz[1] * image_xyz[2]
    buffer_cap = (
        UNREACHABLE
        if memory_limit is not None or stage.block_count > AUTO_CAPPED_BLOCK
        else AUTO_SMALL_BUFFERS
        if voxels * FLOAT <= AUTO_SMALL_VOLUME
        else int(AUTO_LARGE_SHARE * voxels * FLOAT)
    )
    flat = image_xyz[2] == 1
    args = (stage, image_xyz, psd_points, resample_xyz, symmetry)
    if split == "auto":
        best = None
        fitting = None
        for cand in _candidates(stage, image_xyz, flat):
            total, blocks = estimate_stage_memory(*args, cand, num_threads, wiener, store_slots)
            total += extra_bytes
            if best is None or total < best[1]:
                best = (cand, total, blocks)
            if total <= budget and blocks <= buffer_cap:
                return StagePlan(stage.name, cand, total, blocks, limit, num_threads)
            if fitting is None and total <= limit:
                fitting = (cand, total, blocks)
        if fitting is not None:
            return StagePlan(stage.name, fitting[0], fitting[1], fitting[2], limit, num_threads)
        raise VexaMemoryError(
            f"vexa: the {stage.name} stage needs about {_fmt(best[1])} even with "
            f"split_block_extraction windowing every axis, more than the {_fmt(limit)} "
            "available (memory_limit); use fewer threads or a smaller search_radius"
        )
    split = tuple(bool(s) for s in split)
    total, blocks = estimate_stage_memory(*args, split, num_threads, wiener, store_slots)
    total += extra_bytes
    if total > limit:
        raise VexaMemoryError(
            f"vexa: the {stage.name} stage needs about {_fmt(total)} with "
            f"split_block_extraction {split_in_array_order(split, flat)}, more than the "
            f"{_fmt(limit)} available (memory_limit); window more axes or use 'auto'"
        )
    return StagePlan(stage.name, split, total, blocks, limit, num_threads)

