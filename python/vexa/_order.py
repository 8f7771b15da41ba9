"""Array order and library order, converted here and nowhere else.

Arrays and every per-axis setting a caller gives are in NumPy axis order:
(Y, X) for an image, (Z, Y, X) for a volume, the last axis varying fastest.
The library takes (x, y, z) triples, x fastest; an image is a volume with a
flat z axis (size 1, step 1, search radius 0).
"""

from __future__ import annotations

from typing import Sequence, Tuple

__all__ = ["to_library", "to_array", "library_shape", "split_in_array_order"]


def to_library(values: Sequence, ndim: int, pad) -> tuple:
    """``ndim`` values in array order as a library-order triple, ``pad`` on the missing axes."""
    return tuple(reversed(list(values))) + (pad,) * (3 - ndim)


def to_array(xyz: Sequence, ndim: int) -> tuple:
    """A library-order triple as the ``ndim`` values of the array order."""
    return tuple(reversed(tuple(xyz)[:ndim]))


def library_shape(shape: Sequence[int]) -> Tuple[int, int, int]:
    """The library's (x, y, z) size of an array of ``shape`` (2 or 3 axes)."""
    return to_library((int(s) for s in shape), len(shape), 1)


def split_in_array_order(split_xyz, flat: bool) -> list:
    """Library-order flags (for instance a plan's ``split_block_extraction``) in array order."""
    return list(to_array(split_xyz, 2 if flat else 3))
