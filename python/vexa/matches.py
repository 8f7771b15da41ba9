"""Block matches kept by the host between stage calls."""

from __future__ import annotations

from typing import Optional

import numpy as np

from . import _lib
from ._checks import INT_MAX
from .profiles import ResolvedStage

__all__ = ["MatchStore"]


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
            if stage.max_group_size > self.max_matches:
                self._grow(stage.max_group_size)
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

    def _grow(self, max_matches: int) -> None:
        """Room for ``max_matches`` per slot, keeping every stored group.

        The library needs ``maxMatches >= maxGroupSize`` of the stage reading
        the store, which may allow larger groups than the stage that filled it.
        """
        slots = self._counts.size
        if slots * max_matches * 3 > INT_MAX:
            raise ValueError(
                f"matches: {slots} reference slots of {max_matches} matches exceed the "
                "library's index range; use a larger step"
            )
        old = self.max_matches
        for name in ("_positions", "_relative"):
            grown = np.zeros((slots, max_matches, 3), dtype=np.int32)
            grown[:, :old, :] = getattr(self, name).reshape(slots, old, 3)
            setattr(self, name, grown.reshape(-1))
        self._struct.maxMatches = max_matches
        self._struct.matchPositions = self._positions.ctypes.data_as(_lib.IntPtr)
        self._struct.matchRelativePositions = self._relative.ctypes.data_as(_lib.IntPtr)
        self.max_matches = max_matches

    def _filled_by(self, stage: ResolvedStage, image_xyz):
        if self._struct.referenceCount != self._slots(image_xyz, stage.step):
            self.clear()
            raise RuntimeError("vexa: the library filled the match store for another grid")
        self.source = stage

    def counts(self) -> np.ndarray:
        """Stored group length per reference slot (a copy)."""
        return np.array(self._counts) if self._counts is not None else np.zeros(0, np.int32)
