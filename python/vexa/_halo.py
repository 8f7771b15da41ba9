"""Halo geometry of chunked denoising: which part of the volume a chunk must see.

Everything here is in array axis order and in voxels of the whole volume;
``vexa.dask`` explains why these boxes make a chunk's result equal to the
whole-volume run.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Sequence, Tuple

__all__ = ["StageGeometry", "reach", "Halo", "halo_for"]


@dataclass(frozen=True)
class StageGeometry:
    """One stage along one axis: block edge, search radius and reference step."""

    block: int
    radius: int
    step: int


def reach(g: StageGeometry) -> Tuple[int, int]:
    """(left, right) margins around an output range that one stage needs.

    ``left`` = 2 * radius + block - 1 is how far the data that can reach an
    output voxel extends on either side; ``right`` adds the rule that the
    clamped last reference position of a box (block - 1 + radius before its
    end at most) stays clear of the output range.
    """
    left = 2 * g.radius + g.block - 1
    return left, max(left, g.radius + g.block)


def _align_down(value: int, step: int) -> int:
    return 0 if value <= 0 else (value // step) * step


@dataclass(frozen=True)
class Halo:
    """The margins of one run (hard stage first), per array axis.

    ``shared_box``: both stages run on the same box (the Wiener stage reads
    the hard stage's stored matches, which belong to that box's grid).
    """

    stages: Tuple[Tuple[StageGeometry, ...], ...]  # per stage, per axis
    shared_box: bool = False

    @property
    def ndim(self) -> int:
        return len(self.stages[0])

    def depth(self, axis: int) -> Tuple[int, int]:
        """(left, right) voxels a chunk borrows from its neighbours on ``axis``, at most."""
        left = right = 0
        for k, per_axis in enumerate(reversed(self.stages)):
            lo, hi = reach(per_axis[axis])
            left += lo
            right += hi if k == len(self.stages) - 1 else lo
        first = self.stages[0][axis]
        return left + first.step - 1, right

    def depths(self) -> Tuple[Tuple[int, int], ...]:
        return tuple(self.depth(a) for a in range(self.ndim))

    def minimum_chunk(self) -> Tuple[int, ...]:
        """Smallest chunk edge per axis when an axis has more than one chunk."""
        return tuple(max(d) for d in self.depths())

    def boxes(self, start: int, stop: int, size: int, axis: int) -> Tuple[Tuple[int, int], ...]:
        """Per stage, the [begin, end) range it runs on so that [start, stop) comes out exact.

        Every stage's box begins on its reference grid (a multiple of its
        step) or at 0, and ends ``right`` past the range it must get right or
        at the volume's end; the range a stage must get right is the data
        range that the next stage's output range depends on.
        """
        lo, hi = start, stop
        out = []
        for per_axis in reversed(self.stages):
            g = per_axis[axis]
            left, right = reach(g)
            out.append((_align_down(lo - left, g.step), min(size, hi + right)))
            lo, hi = max(0, lo - left), min(size, hi + left)
        out.reverse()
        if self.shared_box:
            out = [out[0]] * len(out)
        return tuple(out)


def halo_for(stages: Sequence, ndim: int, shared_box: bool = False) -> Halo:
    """The halo of resolved stages (library order x, y, z) for data of ``ndim`` axes."""
    per_stage = []
    for st in stages:
        axes = []
        for a in reversed(range(ndim)):  # library x, y, z -> array order
            axes.append(StageGeometry(st.block_size[a], st.search_radius[a], st.step[a]))
        per_stage.append(tuple(axes))
    return Halo(tuple(per_stage), shared_box)
